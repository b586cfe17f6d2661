#pragma once
// The history store as a sink: saved images, alarm transitions and cycle statistics go into
// the store through its public operations. A store that fails is reported, never fatal to
// the run: a file that cannot be written (a full disk) is said once, naming it, then at most
// every ten minutes with the count of failed writes, and once more when it is written again.
#include <cstdint>
#include <functional>
#include <string>

#include "tools/core/events.h"
#include "tools/history/history_store.h"

namespace zrt::host {

class HistorySink : public Sink {
public:
    // `now_ms`: the clock of the messages' pace (default: the steady clock).
    HistorySink(HistoryStore& store, std::function<void(const std::string&)> on_error,
                std::function<int64_t()> now_ms = {});

    // A saved image into the store. False when the store did not take it (it has held all it
    // may while the file cannot be written): the host shows no `saved` event for it.
    bool save(const ImageEvent& e);
    // The same for an image whose values are not decoded yet (decoded through the core).
    bool save(const devhost::ImageEvent& e);
    void alarm(const devhost::AlarmEvent& e) override;
    void cycle_ended(const CycleStats& c) override;
    // Every second: a commit that is due and has not come with a save (a quiet line), and
    // what the file's writing has to say.
    void status(const LineStatus&) override;

    // How often a file that still cannot be written is said again.
    static constexpr int64_t kRepeatMs = 600'000;

private:
    template <class F>
    void guarded(F&& f) {
        try {
            f();
        } catch (const std::exception& ex) {
            on_error_(std::string("history: ") + ex.what());
        }
        report();
    }
    // Says what changed in the file's writing.
    void report();
    HistoryStore& store_;
    std::function<void(const std::string&)> on_error_;
    std::function<int64_t()> now_;
    uint64_t said_errors_ = 0;     // failed writes said so far
    bool said_failing_ = false;
    int64_t said_at_ = 0;
    uint64_t said_refused_ = 0;
};

// The store's writing as the other sinks are told it.
HistoryWrites history_writes(const HistoryStore& store);

}  // namespace zrt::host
