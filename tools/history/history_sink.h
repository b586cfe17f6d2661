#pragma once
// The history store as a sink: saved images, alarm transitions and cycle statistics go into
// the store through its public operations. A store that fails is reported, never fatal to
// the run.
#include <functional>
#include <string>

#include "tools/core/events.h"
#include "tools/history/history_store.h"

namespace zrt::host {

class HistorySink : public Sink {
public:
    HistorySink(HistoryStore& store, std::function<void(const std::string&)> on_error)
        : store_(store), on_error_(std::move(on_error)) {}

    void image(const ImageEvent& e) override;
    void alarm(const devhost::AlarmEvent& e) override;
    void cycle_ended(const CycleStats& c) override;

private:
    template <class F>
    void guarded(F&& f) {
        try {
            f();
        } catch (const std::exception& ex) {
            on_error_(std::string("history: ") + ex.what());
        }
    }
    HistoryStore& store_;
    std::function<void(const std::string&)> on_error_;
};

}  // namespace zrt::host
