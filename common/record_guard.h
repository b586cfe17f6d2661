#pragma once
// How a child device shares its records between the thread that feeds it replies and the
// host threads that ask it for values.
//
// Writers (the parse hooks and RoundDone on the reply thread, LoadFromCache and InitV on
// whichever thread the host calls them from) hold writer() while they read or change the
// records. Get_Value never touches the records: it answers from the view, a copy of the
// fields it reports, which a writer that changed them refreshes under a second, short lock
// before it lets go of writer(). data_ready and last_update, which the freshness rule reads,
// change under that lock too. So a query never waits for a walk, and a writer may log, trace
// and call the host in the order things happen while it holds its own lock.
#include <mutex>

#include "host/TXQVDevice.h"
#include "common/cycle_end.h"

namespace zrt {

template <class View>
class RecordGuard {
public:
    std::mutex& writer() { return writer_; }

    // What every parse hook does: runs `walk` under writer(), then refreshes the view with
    // `fill` before it lets go, and returns what the walk returned. A hook whose reply holds
    // nothing Get_Value reads passes no fill. The view is refreshed whatever the walk
    // returned: fields decoded before a refusal keep their new values.
    template <class Walk, class Fill>
    int parse(Walk&& walk, Fill&& fill) {
        std::lock_guard<std::mutex> lock(writer_);
        const int used = walk();
        refresh(fill);
        return used;
    }
    template <class Walk>
    int parse(Walk&& walk) {
        std::lock_guard<std::mutex> lock(writer_);
        return walk();
    }

    // Marks the device's data ready and fresh as of now and refreshes the view; the caller
    // holds writer(). Ends an accepted cache load, and (with nothing to refresh) a cycle.
    template <class Fill>
    void mark_fresh(TXQVDevice& dev, Fill&& fill) {
        const auto now = local_now();
        std::lock_guard<std::mutex> lock(view_mutex_);
        dev.data_ready = true;
        dev.last_update = now;
        fill(view_);
    }
    void mark_fresh(TXQVDevice& dev) {
        mark_fresh(dev, [](View&) {});
    }

    // The freshness rule (check_fresh), then `answer(view)`, under the view lock.
    template <class Answer>
    float query(const TXQVDevice& dev, Answer&& answer) const {
        std::lock_guard<std::mutex> lock(view_mutex_);
        check_fresh(dev);
        return answer(view_);
    }

private:
    // Refreshes the view from the records; the caller holds writer().
    template <class Fill>
    void refresh(Fill&& fill) {
        std::lock_guard<std::mutex> lock(view_mutex_);
        fill(view_);
    }

    std::mutex writer_;
    mutable std::mutex view_mutex_;
    View view_{};
};

}  // namespace zrt
