#include "tools/line/line_watch.h"

#include <cmath>

namespace zrt::host {

rule_value line_lost_rule(uint32_t data_id, const std::string& port, int address, bool active) {
    rule_value r;
    r.active = active ? 1 : 0;
    r.key = "line_lost";
    r.signal_id = "99001";
    r.level = 1;
    r.sequence = 0;
    r.name = "通信中断告警";
    r.instance = address < 0 ? "串口" + port + "无应答" : "串口" + port + "地址" + std::to_string(address) + "无应答";
    r.data_id = data_id;
    return r;
}

std::optional<int> command_address(const uint8_t* p, size_t n) {
    if (n < 5 || p[0] != '~') return std::nullopt;
    auto hex = [](uint8_t c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int hi = hex(p[3]), lo = hex(p[4]);
    if (hi < 0 || lo < 0) return std::nullopt;
    return hi * 16 + lo;
}

namespace {
double seconds_between(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
}  // namespace

LineWatch::Change LineWatch::observe(uint64_t replies, Steady::time_point now, SystemClock::time_point wall,
                                     Steady::time_point opened, double timeout_s) {
    if (replies != replies_seen_) {
        replies_seen_ = replies;
        last_reply_steady_ = now;
        last_reply_ = wall;
        timeouts_in_row_ = 0;
        if (up_) return Change::None;
        up_ = true;
        up_since_ = wall;
        return Change::Up;
    }
    if (up_ && silence_s(now, opened) >= timeout_s) {
        up_ = false;
        return Change::Lost;
    }
    return Change::None;
}

double LineWatch::silence_s(Steady::time_point now, Steady::time_point opened) const {
    return seconds_between(last_reply_ ? last_reply_steady_ : opened, now);
}

LineStatus LineWatch::status(Steady::time_point now, Steady::time_point opened,
                             SystemClock::time_point opened_wall) const {
    LineStatus l;
    l.up = up_;
    l.last_reply = last_reply_;
    l.since = up_ ? up_since_ : (last_reply_ ? *last_reply_ : opened_wall);
    l.timeouts_in_row = timeouts_in_row_;
    l.silence_s = silence_s(now, opened);
    return l;
}

bool CycleBook::written(size_t n, Steady::time_point now) {
    tx_ += n;
    if (open_) return false;
    open_ = true;
    start_ = now;
    return true;
}

void CycleBook::mark() {
    tx_mark_ = tx_;
    rx_mark_ = rx_;
    bad_mark_ = bad_;
    timeouts_mark_ = timeouts_;
    garbage_mark_ = garbage_;
    open_ = false;
}

void CycleBook::drop() { mark(); }

CycleStats CycleBook::close(Steady::time_point now, SystemClock::time_point wall) {
    CycleStats c;
    c.n = cycles_ + 1;
    // Kept to 0.1 ms, as the history keeps it: every sink shows the same figure.
    c.duration_ms = std::round(std::chrono::duration<double, std::milli>(now - start_).count() * 10.0) / 10.0;
    c.tx_bytes = tx_ - tx_mark_;
    c.rx_bytes = rx_ - rx_mark_;
    c.bad_frames = bad_ - bad_mark_;
    c.timeouts = timeouts_ - timeouts_mark_;
    c.garbage = garbage_ - garbage_mark_;
    c.end = wall;
    total_errors_ += c.errors();
    c.total_errors = total_errors_;
    mark();
    cycles_ = c.n;
    return c;
}

}  // namespace zrt::host
