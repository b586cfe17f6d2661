#pragma once
// How the line runs, from the command line over the settings: the port (or the built-in
// simulator and its plant), the line format, the time-outs and the run's length.
#include <string>

#include "tools/app/host_app.h"
#include "tools/line/line_supervisor.h"

namespace zrt::host {

// The command line before the settings; a port before the simulator (empty: simulate).
// Throws HostError (kExitUsage) when there is no line to poll.
std::string choose_port(const HostOptions& opt, const HostSettings& hs);
// The built-in simulator's plant: --plant, else the settings' "plant" (a relative path read
// beside the settings file), else the default plant.
std::string plant_file(const HostOptions& opt, const HostSettings& hs);
// Everything but the port.
LineOptions line_options(const HostOptions& opt, const HostSettings& hs);

}  // namespace zrt::host
