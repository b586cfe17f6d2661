#include "tools/history/history_sink.h"

#include <chrono>

#include <fmt/format.h>

namespace zrt::host {

HistorySink::HistorySink(HistoryStore& store, std::function<void(const std::string&)> on_error,
                         std::function<int64_t()> now_ms)
    : store_(store), on_error_(std::move(on_error)), now_(std::move(now_ms)) {
    if (!now_)
        now_ = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
}

bool HistorySink::save(const ImageEvent& e) {
    bool taken = false;
    guarded([&] { taken = store_.save(e.raw.data_id, e.raw.device_type, e.raw.record_type, e.raw.image, e.decoded); });
    return taken;
}

bool HistorySink::save(const devhost::ImageEvent& e) {
    bool taken = false;
    guarded([&] { taken = store_.save(e.data_id, e.device_type, e.record_type, e.image); });
    return taken;
}

void HistorySink::alarm(const devhost::AlarmEvent& e) {
    guarded([&] {
        if (e.raised)
            store_.alarm_raised({e.data_id, e.device_type, e.rule.key, e.rule.sequence, e.rule.level, e.rule.signal_id,
                                 e.rule.name, e.rule.instance, iso_utc(SystemClock::now())});
        else
            store_.alarm_cleared(e.data_id, e.device_type, e.rule.key, e.rule.sequence);
        store_.record_alarm(e.data_id, e.device_type, e.rule, e.raised);
    });
}

void HistorySink::cycle_ended(const CycleStats& c) {
    guarded([&] { store_.record_cycle(c.n, c.duration_ms, c.errors(), c.bad_frames, c.timeouts, c.system.data_id); });
}

void HistorySink::status(const LineStatus&) {
    // With a few seconds' grace: the saves commit on the history worker when they can.
    guarded([&] { store_.commit_if_due(5'000); });
}

void HistorySink::report() {
    const HistoryStore::WriteState w = store_.write_state();
    const int64_t now = now_();
    const std::string& file = store_.path();
    if (w.failing && !said_failing_) {
        on_error_(fmt::format("history: cannot write {}: {}; polling goes on, what is not written is held in memory "
                              "(now {} KB, at most {} MB) and written when the file can be written again",
                              file, w.error, (w.held_bytes + 1023) / 1024, HistoryStore::kHoldBytes >> 20));
        said_failing_ = true;
        said_errors_ = w.errors;
        said_refused_ = w.refused;
        said_at_ = now;
    } else if (w.failing && w.errors != said_errors_ && now - said_at_ >= kRepeatMs) {
        std::string refused;
        if (w.refused != said_refused_)
            refused = fmt::format("; {} images not kept, the memory held being full", w.refused - said_refused_);
        on_error_(fmt::format("history: {} still cannot be written: {} failed writes since it was last said ({}); "
                              "{} KB held{}",
                              file, w.errors - said_errors_, w.error, (w.held_bytes + 1023) / 1024, refused));
        said_errors_ = w.errors;
        said_refused_ = w.refused;
        said_at_ = now;
    } else if (!w.failing && said_failing_) {
        on_error_(fmt::format("history: {} is written again; {} failed writes in all", file, w.errors));
        said_failing_ = false;
        said_errors_ = w.errors;
        said_at_ = now;
    }
}

HistoryWrites history_writes(const HistoryStore& store) {
    const HistoryStore::WriteState w = store.write_state();
    return {store.path(), w.errors, w.failing, w.error, w.held_bytes};
}

}  // namespace zrt::host
