// The run's end on SIGINT and SIGTERM: the handler only notes the first signal, and the
// line's tick reads it.
#include <atomic>
#include <csignal>

#include "tools/app/host_app.h"

namespace zrt::host {

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
}

}  // namespace

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int received_signal() { return g_signal.load(); }

}  // namespace zrt::host
