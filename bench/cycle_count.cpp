// One reference cycle of the registered top device, measured two ways:
//  - for callgrind: warm-up cycles, then one cycle between CALLGRIND_START_INSTRUMENTATION
//    and CALLGRIND_STOP_INSTRUMENTATION (run under valgrind with --instr-atstart=no; see
//    scripts/callgrind-cycle.sh);
//  - heap allocations, counted by the replaced global operator new below: the whole
//    steady-state cycle through the frame layer, then each phase of it on its own (every
//    parse hook with its reference reply, each child's RoundDone, the value queries).
// The reference cycle reads every group (the frame layer never sets data_ready), so every
// reply of the cycle is parsed: 40_41 40_44 41_41 41_43 41_44 42_41 42_44 40_46 42_46.
// Exits with 2 when the cycle does not go as recorded; the figures themselves never fail.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <valgrind/callgrind.h>

#include "bench/reference.h"

namespace {

// Plain counters: the reference cycle runs on one thread (history jobs run inline).
uint64_t g_allocations = 0;
uint64_t g_bytes = 0;

struct Count {
    uint64_t allocations = 0;
    uint64_t bytes = 0;
};

template <class F>
Count count_allocations(F&& f) {
    const uint64_t a = g_allocations, b = g_bytes;
    f();
    return {g_allocations - a, g_bytes - b};
}

}  // namespace

void* operator new(std::size_t n) {
    ++g_allocations;
    g_bytes += n;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
// Out of line, so that the compiler does not pair an inlined free() with a new-expression.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using zrt::sim::command;
using Rig = zrt::bench::Rig<zrt4600a>;

struct Row {
    std::string phase;
    int calls;
    Count count;
    bool hook;  // a parse hook: must allocate nothing
};

// A screen hook over every child of the group, as the poller walks it: each child's part
// starts where the previous child stopped, after DATAFLAG and the screen count.
template <class Kids, class Hook>
Row screen_hook(const char* name, const Kids& kids, Hook hook, uint8_t cid1, uint8_t cid2) {
    const std::vector<uint8_t> info = zrt::bench::reference_info(command(cid1, cid2));
    const int len = static_cast<int>(info.size());
    bool refused = false;
    Count c = count_allocations([&] {
        int pos = 2;
        for (const auto& kid : kids) {
            const int n = ((*kid).*hook)(info.data() + pos, len - pos);
            if (n < 0) {
                refused = true;
                return;
            }
            pos += n;
        }
    });
    if (refused) throw std::runtime_error(std::string(name) + " refused its reference reply");
    return {name, static_cast<int>(kids.size()), c, true};
}

template <class Hook>
Row whole_hook(const char* name, zrt4600aRC& rc, Hook hook, uint8_t cid1, uint8_t cid2) {
    const std::vector<uint8_t> info = zrt::bench::reference_info(command(cid1, cid2));
    int n = 0;
    Count c = count_allocations([&] { n = (rc.*hook)(info.data(), static_cast<int>(info.size())); });
    if (n < 0) throw std::runtime_error(std::string(name) + " refused its reference reply");
    return {name, 1, c, true};
}

template <class Kids>
Row round_done(const char* name, const Kids& kids) {
    Count c = count_allocations([&] {
        for (const auto& kid : kids) kid->RoundDone();
    });
    return {name, static_cast<int>(kids.size()), c, false};
}

}  // namespace

int main() {
    const int figures_fd = zrt::bench::divert_trace_lines();
    FILE* out = figures_fd >= 0 ? fdopen(figures_fd, "w") : nullptr;
    if (!out) {
        std::perror("redirecting standard output");
        return 2;
    }
    try {
        Rig rig(zrt::bench::site_settings(true));
        // Warm-up: the model query and two cycles; the third cycle is the reference.
        rig.run_cycle();
        rig.run_cycle();
        const std::vector<zrt::bench::Exchange> cycle = rig.run_cycle();
        if (!rig.replay(cycle)) {
            std::fprintf(stderr, "the warm-up replay took another road than %s\n",
                         zrt::bench::command_names(cycle).c_str());
            return 2;
        }

        bool same_road = false;
        CALLGRIND_START_INSTRUMENTATION;
        const Count whole = count_allocations([&] { same_road = rig.replay(cycle); });
        CALLGRIND_STOP_INSTRUMENTATION;
        if (!same_road) {
            std::fprintf(stderr, "the measured cycle took another road than %s\n",
                         zrt::bench::command_names(cycle).c_str());
            return 2;
        }

        uint64_t line_bytes = 0;
        for (const auto& e : cycle) line_bytes += e.command.size() + e.reply.size();
        std::fprintf(out, "reference cycle: %s (%zu replies, %llu line bytes, %.3f s of wire at 9600 baud)\n",
                    zrt::bench::command_names(cycle).c_str(), cycle.size(),
                    static_cast<unsigned long long>(line_bytes), zrt::bench::wire_seconds(line_bytes, 9600));

        zrt4600a& top = *rig.top;
        zrt4600aRC& rc = *top.rc_child;
        std::vector<Row> rows = {
            screen_hook("parse40_41", top.ac_children, &zrt4600aAC::parse40_41, 0x40, 0x41),
            screen_hook("parse40_44", top.ac_children, &zrt4600aAC::parse40_44, 0x40, 0x44),
            whole_hook("parse41_41", rc, &zrt4600aRC::parse41_41, 0x41, 0x41),
            whole_hook("parse41_43", rc, &zrt4600aRC::parse41_43, 0x41, 0x43),
            whole_hook("parse41_44", rc, &zrt4600aRC::parse41_44, 0x41, 0x44),
            screen_hook("parse42_41", top.dc_children, &zrt4600aDC::parse42_41, 0x42, 0x41),
            screen_hook("parse42_44", top.dc_children, &zrt4600aDC::parse42_44, 0x42, 0x44),
            whole_hook("parse40_46", rc, &zrt4600aRC::parse40_46, 0x40, 0x46),
            whole_hook("parse42_46", rc, &zrt4600aRC::parse42_46, 0x42, 0x46),
            round_done("RoundDone AC", top.ac_children),
            round_done("RoundDone DC", top.dc_children),
            round_done("RoundDone RC", std::vector<std::shared_ptr<zrt4600aRC>>{top.rc_child}),
        };
        const std::string plain = "ia", channel = "channel_2_a";
        volatile float sink = 0;
        rows.push_back({"Get_Value \"ia\"", 1,
                        count_allocations([&] { sink += top.ac_children[0]->Get_Value(0, plain); }), false});
        rows.push_back({"Get_Value \"channel_2_a\"", 1,
                        count_allocations([&] { sink += top.ac_children[0]->Get_Value(0, channel); }), false});

        std::fprintf(out, "\n%-28s %6s %12s %10s\n", "phase", "calls", "allocations", "bytes");
        std::fprintf(out, "%-28s %6d %12llu %10llu\n", "whole cycle (frame layer)", 1,
                    static_cast<unsigned long long>(whole.allocations), static_cast<unsigned long long>(whole.bytes));
        uint64_t hook_allocations = 0;
        for (const Row& r : rows) {
            std::fprintf(out, "%-28s %6d %12llu %10llu\n", r.phase.c_str(), r.calls,
                        static_cast<unsigned long long>(r.count.allocations),
                        static_cast<unsigned long long>(r.count.bytes));
            if (r.hook) hook_allocations += r.count.allocations;
        }
        std::fprintf(out, "\nparse hooks, all replies of the cycle: %llu allocations (goal 0)\n",
                    static_cast<unsigned long long>(hook_allocations));
        std::fflush(out);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zrt-cycle-count: %s\n", e.what());
        return 2;
    }
}
