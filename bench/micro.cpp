// The plug-in's hot paths one at a time, at the reference site's sizes: the frame decoder,
// each parse hook on its reference reply, each child's RoundDone and Get_Value. The
// devices come from a reference rig after two cycles, so that their records and buffers
// have the shape they keep in service; the controller records nothing and runs history
// jobs inline.
//
// The parse hooks write their trace lines to standard output; the figures go to the
// original standard output while the trace lines go to /dev/null.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/reference.h"
#include "devhost/frame.h"

namespace {

using zrt::sim::command;

struct Site {
    Site() : rig(zrt::bench::site_settings(true)) {
        rig.run_cycle();  // the model query, then the first cycle
        recorded = rig.run_cycle();
    }
    zrt::bench::Rig<zrt4600a> rig;
    std::vector<zrt::bench::Exchange> recorded;

    zrt4600aAC& ac() { return *rig.top->ac_children.at(0); }
    zrt4600aDC& dc() { return *rig.top->dc_children.at(0); }
    zrt4600aRC& rc() { return *rig.top->rc_child; }
};

Site& site() {
    static Site s;
    return s;
}

// A parse hook's reference input: the reply's information bytes and where the hook's part
// starts (after DATAFLAG and the screen count for the screen hooks, at the start for the
// rectifier child's whole-info hooks).
struct Input {
    Input(uint8_t cid1, uint8_t cid2, int start) : info(zrt::bench::reference_info(command(cid1, cid2))), start(start) {}
    const unsigned char* p() const { return info.data() + start; }
    int len() const { return static_cast<int>(info.size()) - start; }
    std::vector<uint8_t> info;
    int start;
};

template <class Device, class Hook>
void run_hook(benchmark::State& state, Device& dev, Hook hook, const Input& in) {
    const int used = (dev.*hook)(in.p(), in.len());
    if (used <= 0) {
        state.SkipWithError("the hook refused its reference reply");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize((dev.*hook)(in.p(), in.len()));
    state.SetBytesProcessed(state.iterations() * used);
    state.counters["bytes_used"] = used;
}

void BM_FrameDecoder_41_41(benchmark::State& state) {
    const std::vector<uint8_t> info = zrt::bench::reference_info(command(0x41, 0x41));
    const std::string frame = devhost::encode_frame(0x20, 1, 0x41, 0, info.data(), info.size());
    benchmark::IterationCount frames = 0;
    devhost::FrameDecoder decoder([&frames](const devhost::Frame&) { ++frames; });
    for (auto _ : state) decoder.feed(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    if (frames != state.iterations()) state.SkipWithError("a frame was not decoded");
    state.SetBytesProcessed(state.iterations() * frame.size());
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
}
BENCHMARK(BM_FrameDecoder_41_41);

void BM_parse40_41(benchmark::State& s) { run_hook(s, site().ac(), &zrt4600aAC::parse40_41, Input(0x40, 0x41, 2)); }
void BM_parse40_43(benchmark::State& s) { run_hook(s, site().ac(), &zrt4600aAC::parse40_43, Input(0x40, 0x43, 2)); }
void BM_parse40_44(benchmark::State& s) { run_hook(s, site().ac(), &zrt4600aAC::parse40_44, Input(0x40, 0x44, 2)); }
void BM_parse41_41(benchmark::State& s) { run_hook(s, site().rc(), &zrt4600aRC::parse41_41, Input(0x41, 0x41, 0)); }
void BM_parse41_43(benchmark::State& s) { run_hook(s, site().rc(), &zrt4600aRC::parse41_43, Input(0x41, 0x43, 0)); }
void BM_parse41_44(benchmark::State& s) { run_hook(s, site().rc(), &zrt4600aRC::parse41_44, Input(0x41, 0x44, 0)); }
void BM_parse42_41(benchmark::State& s) { run_hook(s, site().dc(), &zrt4600aDC::parse42_41, Input(0x42, 0x41, 2)); }
void BM_parse42_44(benchmark::State& s) { run_hook(s, site().dc(), &zrt4600aDC::parse42_44, Input(0x42, 0x44, 2)); }
void BM_parse40_46(benchmark::State& s) { run_hook(s, site().rc(), &zrt4600aRC::parse40_46, Input(0x40, 0x46, 0)); }
void BM_parse42_46(benchmark::State& s) { run_hook(s, site().rc(), &zrt4600aRC::parse42_46, Input(0x42, 0x46, 0)); }
BENCHMARK(BM_parse40_41);
BENCHMARK(BM_parse40_43);
BENCHMARK(BM_parse40_44);
BENCHMARK(BM_parse41_41);
BENCHMARK(BM_parse41_43);
BENCHMARK(BM_parse41_44);
BENCHMARK(BM_parse42_41);
BENCHMARK(BM_parse42_44);
BENCHMARK(BM_parse40_46);
BENCHMARK(BM_parse42_46);

// RoundDone publishes, registers the rules and runs the history job (inline here).
template <class Device>
void run_round_done(benchmark::State& state, Device& dev, const char* shape) {
    for (auto _ : state) dev.RoundDone();
    state.SetLabel(shape);
}
void BM_RoundDone_AC(benchmark::State& s) { run_round_done(s, site().ac(), "3 channels, 42 rules"); }
void BM_RoundDone_DC(benchmark::State& s) { run_round_done(s, site().dc(), "64 fuses, 66 rules"); }
void BM_RoundDone_RC(benchmark::State& s) { run_round_done(s, site().rc(), "24 modules, 24 rules"); }
BENCHMARK(BM_RoundDone_AC);
BENCHMARK(BM_RoundDone_DC);
BENCHMARK(BM_RoundDone_RC);

void run_get_value(benchmark::State& state, const std::string& key) {
    zrt4600aAC& ac = site().ac();
    ac.RoundDone();  // fresh data
    const float expected = ac.Get_Value(0, key);
    float v = 0;
    for (auto _ : state) {
        v = ac.Get_Value(0, key);
        benchmark::DoNotOptimize(v);
    }
    if (v != expected) state.SkipWithError("the value changed");
}
void BM_GetValue_Plain(benchmark::State& s) { run_get_value(s, "ia"); }
void BM_GetValue_Channel(benchmark::State& s) { run_get_value(s, "channel_2_a"); }
BENCHMARK(BM_GetValue_Plain);
BENCHMARK(BM_GetValue_Channel);

// One whole reference cycle on the in-memory line: the frame layer decodes each reply,
// the poller dispatches it, and every child ends the cycle. No line time.
void BM_Cycle_InMemory(benchmark::State& state) {
    Site& s = site();
    for (auto _ : state)
        if (!s.rig.replay(s.recorded)) {
            state.SkipWithError("the cycle took another road than the recorded one");
            break;
        }
    state.SetLabel(zrt::bench::command_names(s.recorded));
}
BENCHMARK(BM_Cycle_InMemory)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    const int figures_fd = zrt::bench::divert_trace_lines();
    if (figures_fd < 0) {
        std::perror("redirecting standard output");
        return 1;
    }
    std::ofstream figures("/proc/self/fd/" + std::to_string(figures_fd));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::ConsoleReporter console(isatty(figures_fd) ? benchmark::ConsoleReporter::OO_Defaults
                                                          : benchmark::ConsoleReporter::OO_Tabular);
    console.SetOutputStream(&figures);
    console.SetErrorStream(&figures);  // the machine context goes with the figures
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
