#include "bench/reference.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace zrt::bench {

namespace {

std::string example(const char* name) { return std::string(ZRT_SOURCE_DIR) + "/examples/" + name; }

}  // namespace

Json::Value site_settings(bool full_reads) {
    Json::Value s = sim::read_json_file(example("site.json"));
    if (full_reads) s["auto_data_ready"] = false;
    return s;
}

sim::Scenario reference_scenario() {
    sim::Scenario s = sim::load_scenario(example("plant.json"));
    s.steps.clear();
    s.faults.clear();
    s.random = sim::RandomFaults{};
    s.reply_delay_ms = 0;
    return s;
}

std::vector<uint8_t> reference_info(sim::Command c) {
    static const sim::Plant plant = reference_scenario().plant;
    switch (c) {
        case sim::command(0x40, 0x51): return sim::info_model(plant);
        case sim::command(0x40, 0x41): return sim::info_ac_analog(plant, 0);
        case sim::command(0x40, 0x43): return sim::info_ac_switch(plant, 0);
        case sim::command(0x40, 0x44): return sim::info_ac_alarm(plant, 0);
        case sim::command(0x41, 0x41): return sim::info_rc_analog(plant, 0);
        case sim::command(0x41, 0x43): return sim::info_rc_switch(plant, 0);
        case sim::command(0x41, 0x44): return sim::info_rc_alarm(plant, 0);
        case sim::command(0x42, 0x41): return sim::info_dc_analog(plant, 0);
        case sim::command(0x42, 0x44): return sim::info_dc_alarm(plant, 0);
        case sim::command(0x40, 0x46): return sim::info_ac_param(plant);
        case sim::command(0x42, 0x46): return sim::info_dc_param(plant);
        default: throw std::invalid_argument("no reference reply for " + sim::command_name(c));
    }
}

int divert_trace_lines() {
    std::fflush(stdout);
    const int figures = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (figures < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) return -1;
    close(null_fd);
    return figures;
}

bool CommandLine::write(const uint8_t* data, size_t n) {
    if (n > sizeof buf_ - n_) {
        overflow_ = true;
        return false;
    }
    std::memcpy(buf_ + n_, data, n);
    n_ += n;
    return true;
}

std::string command_names(const std::vector<Exchange>& cycle) {
    std::string out;
    for (const Exchange& e : cycle) {
        // "~" VER ADR CID1 CID2 ...: CID1 and CID2 are characters 5 to 8.
        if (!out.empty()) out += ' ';
        out += e.command.size() >= 9 ? e.command.substr(5, 2) + "_" + e.command.substr(7, 2) : "?";
    }
    return out;
}

}  // namespace zrt::bench
