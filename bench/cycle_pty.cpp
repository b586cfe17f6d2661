// Whole polling cycles over a pseudo-terminal, for the registered top device `zrt4600a`
// and the model class `ZRT4600` (which pauses 20 ms before each reply) in one run.
//
// The simulated equipment runs on a thread on the pty's master side and keeps the pace of
// a real line at the site's baud rate, 10 bits a byte, in both directions: it treats a
// command as received only once its bytes would have crossed the wire, answers at once
// (no turnaround), and hands each reply to the pty in small pieces no sooner than the wire
// would have delivered their last byte. The host side is the development host's frame
// layer driven by one loop: RefreshStatus every "refresh_ms", every received chunk to the
// top device's process(). History jobs run inline, so their work is inside the figures.
//
// A cycle runs from the moment its first command is written until the poller has ended it
// (every child's RoundDone done). Its wall time is divided by the wire time of all its
// bytes, commands and replies: 1.000 is the physical limit. The device's first cycle (it
// begins with the model query) is a warm-up and is not counted. These are figures, not a
// test: the program fails only when the line or the cycle itself goes wrong.
//
// Two systems on one line: two `zrt4600a` top devices at addresses 1 and 2 share the pty
// through the development host's shared line, one command at a time, and the equipment
// answers both addresses. A cycle of either device is then measured against the wire time
// of every byte on the line while it ran, the other system's included: 1.000 again means a
// line that never idles.
//
//   zrt-bench-cycle [--cycles N] [--full-reads]
//     --cycles N     measured cycles per device (default 5)
//     --full-reads   the frame layer never sets data_ready: every cycle reads every group
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/reference.h"
#include "devhost/shared_line.h"
#include "sim/line.h"

namespace {

using Clock = std::chrono::steady_clock;

// The equipment's side of the line, at the pace of the wire.
class PacedEquipment {
public:
    // `systems` 1: one plant answering every address; more: one plant at each address from 1.
    PacedEquipment(int fd, int baud, int systems = 1)
        : fd_(fd), byte_time_(std::chrono::nanoseconds(10'000'000'000LL / baud)), systems_(systems) {}

    void run(const std::atomic<bool>& stop) {
        std::vector<zrt::sim::Simulator::System> plants;
        for (int a = 1; a <= systems_; ++a)
            plants.emplace_back(systems_ == 1 ? zrt::sim::LineScenario::kAnyAddress : a,
                                std::make_unique<zrt::sim::PlantResponder>(zrt::bench::reference_scenario()));
        zrt::sim::Simulator sim(std::move(plants));
        Clock::time_point received = Clock::now();  // when the last byte read so far was on the wire
        char buf[4096];
        while (!stop.load()) {
            pollfd pfd{fd_, POLLIN, 0};
            const int r = ::poll(&pfd, 1, 50);
            if (r < 0 && errno != EINTR) throw std::runtime_error("equipment: poll failed");
            if (r <= 0) continue;
            if (pfd.revents & POLLNVAL) return;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                    throw std::runtime_error("equipment: read failed");
                if (pfd.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            // The pty hands the bytes over at once; on the wire they arrive one byte time apart.
            received = std::max(received, Clock::now()) + byte_time_ * n;
            sim.feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
            const std::string reply = sim.take_output();
            if (!reply.empty()) send_paced(reply, received, stop);
        }
    }

private:
    // Piece k goes out once the wire would have delivered its last byte, counted from
    // `start`, when the command has been received.
    void send_paced(const std::string& bytes, Clock::time_point start, const std::atomic<bool>& stop) {
        constexpr size_t kPiece = 8;
        size_t sent = 0;
        while (sent < bytes.size() && !stop.load()) {
            const size_t n = std::min(kPiece, bytes.size() - sent);
            std::this_thread::sleep_until(start + byte_time_ * static_cast<long>(sent + n));
            size_t done = 0;
            while (done < n) {
                const ssize_t w = ::write(fd_, bytes.data() + sent + done, n - done);
                if (w > 0) {
                    done += static_cast<size_t>(w);
                } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                    pollfd pfd{fd_, POLLOUT, 0};
                    ::poll(&pfd, 1, 10);
                } else {
                    throw std::runtime_error("equipment: write failed");
                }
            }
            sent += n;
        }
    }

    int fd_;
    std::chrono::nanoseconds byte_time_;
    int systems_;
};

// The host's side of the line: the pty's slave, written from the top device.
class HostLine : public devhost::Transport {
public:
    explicit HostLine(int fd) : fd_(fd) {}
    bool is_open() const override { return fd_ >= 0; }
    bool write(const uint8_t* data, size_t n) override {
        if (on_write) on_write(n);
        if (on_command) on_command(data, n);
        while (n > 0) {
            const ssize_t w = ::write(fd_, data, n);
            if (w > 0) {
                data += w;
                n -= static_cast<size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd pfd{fd_, POLLOUT, 0};
                ::poll(&pfd, 1, 10);
            } else {
                return false;
            }
        }
        return true;
    }
    std::function<void(size_t)> on_write;  // before the bytes go out
    std::function<void(const uint8_t*, size_t)> on_command;

private:
    int fd_;
};

struct Figure {
    int cycle = 0;
    int commands = 0;
    uint64_t bytes = 0;  // both directions
    double wire_ms = 0;
    double wall_ms = 0;
    double ratio() const { return wall_ms / wire_ms; }
};

struct Run {
    std::string device;
    std::vector<Figure> cycles;
    uint64_t stalls = 0;
    uint64_t frame_errors = 0;
};

// The pty, the paced equipment behind it on a thread of its own, and the host's end opened
// as a serial port. When it goes it closes the port, then stops and joins the equipment.
struct PacedRig {
    zrt::sim::Pty pty;
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::thread equipment;
    int fd = -1;

    PacedRig(int baud, int systems) {
        equipment = std::thread([this, baud, systems] {
            try {
                PacedEquipment(pty.master(), baud, systems).run(stop);
            } catch (...) {
                failure = std::current_exception();
            }
        });
        try {
            fd = zrt::sim::open_serial(pty.path(), baud);
        } catch (...) {
            stop = true;
            equipment.join();
            throw;
        }
    }
    ~PacedRig() {
        ::close(fd);
        stop = true;
        equipment.join();
    }
    PacedRig(const PacedRig&) = delete;
    PacedRig& operator=(const PacedRig&) = delete;

    // Bytes from the equipment, waiting at most until `until`; 0 when none came. Throws what
    // the equipment failed with.
    size_t read(unsigned char* buf, size_t size, Clock::time_point until) {
        if (failure) std::rethrow_exception(failure);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(std::max<long>(0, wait.count())));
        if (r <= 0 || !(pfd.revents & POLLIN)) return 0;
        const ssize_t n = ::read(fd, buf, size);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
};

template <class Top>
Run run_device(const char* name, const Json::Value& settings, int cycles) {
    const int baud = settings.get("baud", 9600).asInt();
    const int refresh_ms = settings.get("refresh_ms", 20).asInt();

    PacedRig rig(baud, 1);

    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    controller->record_events = false;
    auto line = std::make_shared<HostLine>(rig.fd);
    auto top = std::make_shared<Top>();
    if (!top->Init(controller, settings["data_id"].asUInt(), settings))
        throw std::runtime_error("the reference settings were refused");
    devhost::attach(*top, line);

    Run run{name, {}, 0, 0};
    bool in_cycle = false;
    int counted = -1;  // the first cycle is the warm-up
    Clock::time_point started;
    Figure current;
    line->on_write = [&](size_t n) {
        if (!in_cycle) {
            in_cycle = true;
            started = Clock::now();
            current = Figure{};
        }
        ++current.commands;
        current.bytes += n;
    };

    // A generous limit: the 2-second rest and a few seconds of wire per cycle.
    const auto deadline = Clock::now() + std::chrono::seconds(20 + 10 * cycles);
    auto next_refresh = Clock::now();
    unsigned char buf[4096];
    while (counted < cycles) {
        const auto now = Clock::now();
        if (now > deadline) throw std::runtime_error(std::string(name) + ": the cycles did not complete in time");
        if (now >= next_refresh) {
            top->RefreshStatus();
            next_refresh = now + std::chrono::milliseconds(refresh_ms);
        }
        const size_t n = rig.read(buf, sizeof buf, next_refresh);
        if (n == 0) continue;
        if (in_cycle) current.bytes += n;
        top->process(buf, static_cast<int>(n));
        // The poller ends a cycle by resetting the line: no reply awaited, back in state 0.
        if (in_cycle && top->poll_state == 0 && !devhost::serial_state(*top).awaiting) {
            const auto ended = Clock::now();
            in_cycle = false;
            current.cycle = ++counted;
            current.wall_ms = std::chrono::duration<double, std::milli>(ended - started).count();
            current.wire_ms = 1000.0 * zrt::bench::wire_seconds(current.bytes, baud);
            if (counted > 0) run.cycles.push_back(current);
        }
    }
    run.stalls = top->stall_count;
    run.frame_errors = devhost::serial_state(*top).decoder.stats().errors();
    return run;
}

// The frame address of a command as written: "~", two hex digits of version, two of address.
int command_address(const uint8_t* p, size_t n) {
    if (n < 5 || p[0] != '~') return -1;
    return static_cast<int>(std::strtol(std::string(reinterpret_cast<const char*>(p) + 3, 2).c_str(), nullptr, 16));
}

// Two top devices at addresses 1 and 2 on one line; one Run per device.
std::vector<Run> run_two_systems(const Json::Value& settings, int cycles) {
    const int baud = settings.get("baud", 9600).asInt();
    const int refresh_ms = settings.get("refresh_ms", 20).asInt();

    PacedRig rig(baud, 2);

    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    controller->record_events = false;
    auto line = std::make_shared<HostLine>(rig.fd);
    auto shared = std::make_shared<devhost::SharedLine>(line);
    // The second system: address 2 and data ids of its own.
    Json::Value second = settings;
    second["address"] = 2;
    second["data_id"] = 2;
    for (const char* list : {"acSetting", "dcSetting"})
        for (Json::Value& e : second[list]) e["data_id"] = e["data_id"].asUInt() + 100;
    const Json::Value* each[2] = {&settings, &second};
    std::vector<std::shared_ptr<zrt4600a>> tops;
    for (const Json::Value* s : each) {
        auto top = std::make_shared<zrt4600a>();
        if (!top->Init(controller, (*s)["data_id"].asUInt(), *s))
            throw std::runtime_error("the reference settings were refused");
        devhost::attach(*top, shared->port(*top));
        tops.push_back(top);
    }
    struct Detacher {
        std::vector<std::shared_ptr<zrt4600a>>& tops;
        ~Detacher() {
            for (auto& t : tops) t->ClosePort();
        }
    } detacher{tops};

    std::vector<Run> runs{{"system 1", {}, 0, 0}, {"system 2", {}, 0, 0}};
    bool in_cycle[2] = {false, false};
    int counted[2] = {-1, -1};  // the first cycle is the warm-up
    Clock::time_point started[2];
    Figure current[2];
    // Every byte on the line counts for each cycle that is running.
    auto count = [&](uint64_t n) {
        for (int k = 0; k < 2; ++k)
            if (in_cycle[k]) current[k].bytes += n;
    };
    line->on_command = [&](const uint8_t* p, size_t n) {
        const int k = command_address(p, n) - 1;
        if (k < 0 || k > 1) throw std::runtime_error("a command to an unknown address");
        if (!in_cycle[k]) {
            in_cycle[k] = true;
            started[k] = Clock::now();
            current[k] = Figure{};
        }
        ++current[k].commands;
        count(n);
    };

    const auto guard = devhost::serial_state(*tops[0]).guard_at(baud);
    const auto deadline = Clock::now() + std::chrono::seconds(30 + 20 * cycles);
    auto next_refresh = Clock::now();
    unsigned char buf[4096];
    while (counted[0] < cycles || counted[1] < cycles) {
        const auto now = Clock::now();
        if (now > deadline) throw std::runtime_error("two systems: the cycles did not complete in time");
        if (now >= next_refresh) {
            for (auto& t : tops) t->RefreshStatus();
            next_refresh = now + std::chrono::milliseconds(refresh_ms);
        }
        const size_t n = rig.read(buf, sizeof buf, next_refresh);
        if (n == 0) continue;
        count(n);
        shared->feed(buf, n);
        // As the host does: the device whose turn has come sends once the line has been quiet
        // for the guard time, not at its next refresh.
        next_refresh = std::min(next_refresh, Clock::now() + guard + std::chrono::microseconds(500));
        for (int k = 0; k < 2; ++k) {
            zrt4600a& top = *tops[static_cast<size_t>(k)];
            if (in_cycle[k] && top.poll_state == 0 && !devhost::serial_state(top).awaiting) {
                in_cycle[k] = false;
                current[k].cycle = ++counted[k];
                current[k].wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - started[k]).count();
                current[k].wire_ms = 1000.0 * zrt::bench::wire_seconds(current[k].bytes, baud);
                if (counted[k] > 0 && counted[k] <= cycles) runs[static_cast<size_t>(k)].cycles.push_back(current[k]);
            }
        }
    }
    for (int k = 0; k < 2; ++k) {
        runs[static_cast<size_t>(k)].stalls = tops[static_cast<size_t>(k)]->stall_count;
        runs[static_cast<size_t>(k)].frame_errors = devhost::serial_state(*tops[static_cast<size_t>(k)]).decoder.stats().errors();
    }
    return runs;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 5;
    bool full_reads = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cycles" && i + 1 < argc) {
            cycles = std::atoi(argv[++i]);
        } else if (a == "--full-reads") {
            full_reads = true;
        } else {
            std::fprintf(stderr, "usage: zrt-bench-cycle [--cycles N] [--full-reads]\n");
            return 2;
        }
    }
    if (cycles < 1) cycles = 1;

    const int figures_fd = zrt::bench::divert_trace_lines();
    FILE* out = figures_fd >= 0 ? fdopen(figures_fd, "w") : nullptr;
    if (!out) {
        std::perror("redirecting standard output");
        return 2;
    }
    try {
        const Json::Value settings = zrt::bench::site_settings(full_reads);
        std::vector<Run> runs;
        runs.push_back(run_device<zrt4600a>("zrt4600a", settings, cycles));
        runs.push_back(run_device<ZRT4600>("ZRT4600", settings, cycles));
        for (Run& r : run_two_systems(settings, cycles)) runs.push_back(std::move(r));

        std::fprintf(out, "reference site, %d baud, %s, %d measured cycles per device\n",
                     settings.get("baud", 9600).asInt(), full_reads ? "every group read each cycle" : "site settings",
                     cycles);
        std::fprintf(out, "%-9s %5s %8s %10s %9s %9s %8s\n", "device", "cycle", "commands", "line bytes", "wire ms",
                     "wall ms", "wall/wire");
        for (const Run& r : runs)
            for (const Figure& f : r.cycles)
                std::fprintf(out, "%-9s %5d %8d %10llu %9.1f %9.1f %8.3f\n", r.device.c_str(), f.cycle, f.commands,
                             static_cast<unsigned long long>(f.bytes), f.wire_ms, f.wall_ms, f.ratio());
        std::fprintf(out, "\n%-9s %14s %10s %10s %7s %12s\n", "device", "median ratio", "min", "max", "stalls",
                     "frame errors");
        for (const Run& r : runs) {
            std::vector<double> ratios;
            for (const Figure& f : r.cycles) ratios.push_back(f.ratio());
            std::fprintf(out, "%-9s %14.3f %10.3f %10.3f %7llu %12llu\n", r.device.c_str(), median(ratios),
                         *std::min_element(ratios.begin(), ratios.end()),
                         *std::max_element(ratios.begin(), ratios.end()), static_cast<unsigned long long>(r.stalls),
                         static_cast<unsigned long long>(r.frame_errors));
        }
        std::fflush(out);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zrt-bench-cycle: %s\n", e.what());
        return 1;
    }
}
