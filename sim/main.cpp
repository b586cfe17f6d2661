// zrt4600a-sim: the simulated power system on a pseudo-terminal or a serial device.
//
//   zrt4600a-sim                         the example plant on a new pty; prints its path
//   zrt4600a-sim --plant site.json --baud 9600 --link /tmp/zrt-line
//   zrt4600a-sim --device /dev/ttyUSB0 --plant site.json
//   zrt4600a-sim --replay session.log    answers with the replies of a recorded session
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "base/paths.h"
#include "base/wire_log.h"
#include "sim/line.h"
#include "sim/simulator.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

// CMD:KIND[:CYCLE[:TIMES]], e.g. 41_41:no_reply or 42_44:bad_chksum:3:2.
zrt::sim::ScriptedFault parse_fault_option(const std::string& text) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t colon; (colon = text.find(':', pos)) != std::string::npos; pos = colon + 1)
        parts.push_back(text.substr(pos, colon - pos));
    parts.push_back(text.substr(pos));
    if (parts.size() < 2 || parts.size() > 4)
        throw zrt::sim::PlantError("--fault " + text + ": expected CMD:KIND[:CYCLE[:TIMES]]");
    zrt::sim::ScriptedFault f;
    f.command = zrt::sim::parse_command(parts[0]);
    f.kind = zrt::sim::fault_from_name(parts[1]);
    try {
        if (parts.size() > 2) f.cycle = std::stoi(parts[2]);
        if (parts.size() > 3) f.times = std::stoi(parts[3]);
    } catch (const std::exception&) {
        throw zrt::sim::PlantError("--fault " + text + ": CYCLE and TIMES are numbers");
    }
    if (f.cycle < 0 || f.times < 1) throw zrt::sim::PlantError("--fault " + text + ": bad CYCLE or TIMES");
    if (!zrt::sim::fault_applies(f.kind, f.command))
        throw zrt::sim::PlantError("--fault " + text + ": that reply has no count to get wrong");
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated ZRT4600 power system on a serial line"};
    // The example plant beside this program: the build tree's, else the installed one.
    std::string plant_path = zrt::default_paths().examples + "/plant.json";
    app.set_version_flag("--version", zrt::version_text("zrt4600a-sim"));
    std::string replay_path, device, link, record_path, fault_kinds;
    int baud = 9600;
    int reply_delay = -1;
    double fault_rate = -1.0;
    uint32_t seed = 1;
    std::vector<std::string> fault_opts;
    bool trace = false;
    app.add_option("--plant", plant_path,
                   "plant file (JSON): one system that answers every address, or {\"systems\": [...]} of plants "
                   "each with its \"address\"")
        ->capture_default_str();
    app.add_option("--replay", replay_path, "answer with the replies of a recorded session instead of a plant");
    app.add_option("--device", device, "serial device to answer on (default: a new pseudo-terminal)");
    app.add_option("--link", link, "make a symbolic link with this name to the pseudo-terminal");
    app.add_option("--baud", baud, "line speed; replies are paced at 10 bits a byte (0: no pacing)")
        ->check(CLI::Range(0, 4000000));
    app.add_option("--reply-delay", reply_delay, "turnaround before each reply, in ms (overrides the plant)")
        ->check(CLI::Range(0, 60000));
    app.add_option("--fault", fault_opts, "scripted fault CMD:KIND[:CYCLE[:TIMES]] (repeatable)");
    app.add_option("--fault-rate", fault_rate, "fault each reply with this probability")->check(CLI::Range(0.0, 1.0));
    app.add_option("--fault-kinds", fault_kinds, "comma-separated fault kinds drawn at random (default: all)");
    app.add_option("--seed", seed, "seed of the random faults");
    app.add_option("--record", record_path, "write both directions of the line to this file");
    app.add_flag("--trace", trace, "print every command and reply on standard error");
    CLI11_PARSE(app, argc, argv);

    std::vector<zrt::sim::Simulator::System> systems;
    int delay_ms = 10;
    try {
        if (!replay_path.empty()) {
            auto replay = std::make_unique<zrt::sim::ReplayResponder>(zrt::wire::read_wire_log(replay_path));
            if (replay->commands() == 0) throw zrt::sim::PlantError(replay_path + ": no commands recorded");
            systems.emplace_back(zrt::sim::LineScenario::kAnyAddress, std::move(replay));
        } else {
            // One plant, or several systems at their addresses; the fault options apply to each.
            zrt::sim::LineScenario line = zrt::sim::load_line_scenario(plant_path);
            std::vector<zrt::sim::ScriptedFault> scripted;
            for (const std::string& f : fault_opts) scripted.push_back(parse_fault_option(f));
            std::vector<zrt::sim::Fault> kinds;
            if (!fault_kinds.empty()) {
                size_t pos = 0;
                for (size_t comma; (comma = fault_kinds.find(',', pos)) != std::string::npos; pos = comma + 1)
                    kinds.push_back(zrt::sim::fault_from_name(fault_kinds.substr(pos, comma - pos)));
                kinds.push_back(zrt::sim::fault_from_name(fault_kinds.substr(pos)));
            }
            for (auto& [adr, s] : line.systems) {
                s.faults.insert(s.faults.end(), scripted.begin(), scripted.end());
                if (fault_rate >= 0.0) {
                    s.random.rate = fault_rate;
                    s.random.seed = seed;
                }
                if (!kinds.empty()) s.random.kinds = kinds;
                systems.emplace_back(adr, std::make_unique<zrt::sim::PlantResponder>(std::move(s)));
            }
            delay_ms = line.reply_delay_ms;
        }
    } catch (const std::exception& e) {
        std::cerr << "zrt4600a-sim: " << e.what() << "\n";
        return 2;
    }
    if (reply_delay >= 0) delay_ms = reply_delay;

    zrt::sim::Simulator sim(std::move(systems));
    if (trace) {
        sim.on_exchange = [](const devhost::Frame& f, const zrt::sim::Answer& a) {
            std::cerr << "command " << zrt::sim::command_name(zrt::sim::command(f.cid1, f.cid2)) << " to address "
                      << static_cast<int>(f.adr);
            if (a.fault != zrt::sim::Fault::None) std::cerr << " fault " << zrt::sim::fault_name(a.fault);
            std::cerr << " reply " << zrt::wire::escape_wire(a.bytes) << "\n";
        };
    }

    std::unique_ptr<zrt::sim::Pty> pty;
    int fd = -1;
    try {
        if (!device.empty()) {
            fd = zrt::sim::open_serial(device, baud > 0 ? baud : 9600);
        } else {
            pty = std::make_unique<zrt::sim::Pty>();
            fd = pty->master();
            if (!link.empty()) {
                ::unlink(link.c_str());
                if (::symlink(pty->path().c_str(), link.c_str()) != 0)
                    throw zrt::sim::LineError("cannot make the link " + link);
            }
            std::cout << pty->path() << std::endl;
        }
    } catch (const std::exception& e) {
        std::cerr << "zrt4600a-sim: " << e.what() << "\n";
        return 3;
    }

    std::unique_ptr<zrt::wire::WireRecorder> recorder;
    try {
        if (!record_path.empty()) recorder = std::make_unique<zrt::wire::WireRecorder>(record_path);
    } catch (const std::exception& e) {
        std::cerr << "zrt4600a-sim: " << e.what() << "\n";
        return 2;
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    zrt::sim::LineRunner runner(fd, sim, baud, delay_ms);
    if (recorder) {
        runner.on_bytes = [&recorder](zrt::wire::Direction d, const std::string& bytes) {
            recorder->add(d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        };
    }
    int rc = 0;
    try {
        runner.run(g_stop);
    } catch (const std::exception& e) {
        std::cerr << "zrt4600a-sim: " << e.what() << "\n";
        rc = 1;
    }
    if (recorder) recorder->flush();
    if (!link.empty()) ::unlink(link.c_str());
    if (!device.empty()) ::close(fd);
    const zrt::sim::SimStats& st = sim.stats();
    std::cerr << "zrt4600a-sim: " << st.commands << " commands, " << st.replies << " replies, " << st.faults
              << " faults, " << sim.decoder_stats().errors() << " bad frames received\n";
    return rc;
}
