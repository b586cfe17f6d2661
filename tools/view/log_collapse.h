#pragma once
// Identical log lines in a row (same device, same text) are shown once, then counted: the
// count goes out when another line comes, at the end of a cycle, at the end of the run, and
// every 30 s while the same line repeats without end.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "devhost/devhost.h"

namespace zrt::host {

class LogCollapse {
public:
    using Clock = std::chrono::steady_clock;
    // `show` receives a line to show; `repeated` the last line's count of repeats.
    LogCollapse(std::function<void(const devhost::LogEvent&)> show,
                std::function<void(const devhost::LogEvent&, uint64_t)> repeated)
        : show_(std::move(show)), repeated_(std::move(repeated)) {}

    // A log line of the plug-in; any thread.
    void log(const devhost::LogEvent& e, Clock::time_point now = Clock::now());
    // The count so far, if any.
    void flush();
    // The count so far, when the line has repeated for 30 s since it was last shown.
    void remind(Clock::time_point now);

private:
    std::function<void(const devhost::LogEvent&)> show_;
    std::function<void(const devhost::LogEvent&, uint64_t)> repeated_;
    std::mutex mu_;
    std::optional<devhost::LogEvent> last_;
    uint64_t repeats_ = 0;
    Clock::time_point reported_;
};

}  // namespace zrt::host
