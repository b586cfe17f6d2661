#include "tools/view/log_collapse.h"

namespace zrt::host {

void LogCollapse::log(const devhost::LogEvent& e, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mu_);
    if (last_ && last_->data_id == e.data_id && last_->text == e.text) {
        ++repeats_;
        return;
    }
    if (repeats_ > 0) repeated_(*last_, repeats_);
    repeats_ = 0;
    last_ = e;
    reported_ = now;
    show_(e);
}

void LogCollapse::flush() {
    std::lock_guard<std::mutex> lock(mu_);
    if (repeats_ > 0) repeated_(*last_, repeats_);
    repeats_ = 0;
}

void LogCollapse::remind(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mu_);
    if (repeats_ > 0 && now - reported_ >= std::chrono::seconds(30)) {
        repeated_(*last_, repeats_);
        repeats_ = 0;
        reported_ = now;
    }
}

}  // namespace zrt::host
