#include "tools/app/line_options.h"

#include "tools/core/host_error.h"

namespace zrt::host {

std::string choose_port(const HostOptions& opt, const HostSettings& hs) {
    if (!opt.port.empty()) return opt.port;
    if (!opt.simulate && !hs.simulate) {
        if (!hs.port.empty()) return hs.port;
        throw HostError(kExitUsage, "no line to poll: give --port DEV (or \"port\" in " + opt.settings +
                                        "), or --simulate for the built-in simulator");
    }
    return "";
}

std::string plant_file(const HostOptions& opt, const HostSettings& hs) {
    std::string plant = opt.plant;
    if (plant.empty() && !hs.plant.empty()) {
        plant = hs.plant;
        const size_t slash = opt.settings.rfind('/');
        if (plant[0] != '/' && slash != std::string::npos) plant = opt.settings.substr(0, slash + 1) + plant;
    }
    return plant.empty() ? opt.default_plant : plant;
}

LineOptions line_options(const HostOptions& opt, const HostSettings& hs) {
    LineOptions lo;
    lo.settings = hs.line;
    lo.settings.baud = opt.baud > 0 ? opt.baud : hs.baud;
    if (opt.data_bits > 0) lo.settings.data_bits = opt.data_bits;
    if (!opt.parity.empty()) parse_parity(opt.parity, lo.settings.parity);
    if (opt.stop_bits > 0) lo.settings.stop_bits = opt.stop_bits;
    if (!opt.flow_control.empty()) parse_flow(opt.flow_control, lo.settings.flow);
    if (opt.rs485) lo.settings.rs485 = true;
    lo.line_timeout_s = hs.line_timeout_s;
    lo.refresh = std::chrono::milliseconds(hs.refresh_ms);
    lo.cycles = opt.cycles;
    lo.give_up_s = opt.give_up_s;
    return lo;
}

}  // namespace zrt::host
