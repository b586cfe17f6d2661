#include "tools/history/history_sink.h"

namespace zrt::host {

void HistorySink::image(const ImageEvent& e) {
    // The device's own history job decides what is kept: its saved images, not every publication.
    if (!e.saved) return;
    guarded([&] { store_.save(e.raw.data_id, e.raw.device_type, e.raw.record_type, e.raw.image); });
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

}  // namespace zrt::host
