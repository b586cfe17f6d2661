// Writes the seed corpus of every fuzz target: well-formed inputs that walk each target's
// normal road, from which libFuzzer mutates. Images for cache loads are the ones the
// devices themselves publish.
//   zrt_fuzz_corpus <dir>      writes <dir>/<target>/<seed name>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ac/zrt4600_ac.h"
#include "children.h"
#include "dc/zrt4600_dc.h"
#include "devhost/frame.h"
#include "fuzz_util.h"
#include "ops.h"
#include "rc/zrt4600_rc.h"
#include "replies.h"

using namespace zrt::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The image a device publishes after `feed` has filled it, with its 7-byte time stamp (at
// `stamp_at`) cleared so that the corpus comes out the same on every run.
template <class Dev, class Feed>
Bytes published_image(size_t stamp_at, Feed feed) {
    Host host;
    auto dev = make_child<Dev>(host, 7);
    feed(*dev);
    dev->RoundDone();
    Bytes image = host.published().back().image;
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(stamp_at),
              image.begin() + static_cast<std::ptrdiff_t>(stamp_at + 7), 0);
    return image;
}

Bytes ac_image(int channels) {
    return published_image<zrt4600aAC>(25, [channels](zrt4600aAC& d) {
        const Bytes a = ac_analog_part(channels), b = ac_alarm_part(channels, 1);
        d.parse40_41(a.data(), static_cast<int>(a.size()));
        d.parse40_44(b.data(), static_cast<int>(b.size()));
    });
}
Bytes dc_image() {
    return published_image<zrt4600aDC>(159, [](zrt4600aDC& d) {
        const Bytes a = dc_analog_block(), b = dc_alarm_block(1, 3);
        d.parse42_41(a.data(), static_cast<int>(a.size()));
        d.parse42_44(b.data(), static_cast<int>(b.size()));
    });
}
Bytes rc_image(int modules) {
    return published_image<zrt4600aRC>(58, [modules](zrt4600aRC& d) {
        const Bytes a = rc_analog(0, modules), b = rc_alarm(0, modules, 1);
        d.parse41_41(a.data(), static_cast<int>(a.size()));
        d.parse41_44(b.data(), static_cast<int>(b.size()));
    });
}

std::string frame(uint8_t cid1, uint8_t rtn, const Bytes& info) {
    return devhost::encode_frame(0x20, 0x01, cid1, rtn, info.data(), info.size());
}

void frame_decoder() {
    const std::string reply = frame(0x41, 0, rc_analog(0x11, 2));
    std::string lower = frame(0x40, 0, model_reply());
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    const std::string cut = frame(0x42, 0, dc_analog(0, 1)).substr(0, 40);

    write("frame_decoder", "one_reply", text(std::string(1, '\x05') + reply));
    write("frame_decoder", "replies_with_garbage", text("\x11" "xx\r" + reply + "junk" + frame(0x42, 2, {})));
    write("frame_decoder", "lower_case_hex", text("\x23" + lower));
    write("frame_decoder", "cut_then_whole", text("\x37" + cut + reply));
}

void ac_parse() {
    using namespace ac_ops;
    write("ac_parse", "cycle_two_channels",
          OpWriter()
              .op(kParse41, ac_analog_part(2))
              .op(kParse43, ac_switch_part())
              .op(kParse44, ac_alarm_part(2, 3))
              .op(kRoundDone)
              .op(kParse41, ac_analog_part(2))
              .bytes());
    write("ac_parse", "prime_then_other_count",
          OpWriter().op(kPrime41).op(3).op(kParse41, ac_analog_part(1)).op(kParse44, ac_alarm_part(3)).bytes());
    write("ac_parse", "load_then_parse",
          OpWriter().op(kLoad, ac_image(2)).op(kParse44, ac_alarm_part(2)).op(kRoundDone).bytes());
    write("ac_parse", "alarms_before_analog", OpWriter().op(kParse44, ac_alarm_part(0)).op(kRoundDone).bytes());
}

void dc_parse() {
    using namespace dc_ops;
    write("dc_parse", "cycle",
          OpWriter().op(kParse41, dc_analog_block()).op(kParse44, dc_alarm_block(2, 3)).op(kRoundDone).bytes());
    write("dc_parse", "load_then_parse",
          OpWriter().op(kLoad, dc_image()).op(kParse41, dc_analog_block(48.0f)).op(kRoundDone).bytes());
    write("dc_parse", "primed", OpWriter().op(kPrime).op(1).op(3).op(kRoundDone).bytes());
}

void rc_parse() {
    using namespace rc_ops;
    write("rc_parse", "cycle_three_modules",
          OpWriter()
              .op(kParse41_41, rc_analog(0x11, 3))
              .op(kParse41_43, rc_switch(0, 3))
              .op(kParse41_44, rc_alarm(0, 3, 1))
              .op(kParse40_46, ac_params())
              .op(kParse42_46, dc_params())
              .op(kRoundDone)
              .bytes());
    write("rc_parse", "prime_then_other_count",
          OpWriter().op(kPrime).op(2).op(kParse41_41, rc_analog(0, 4)).op(kParse41_44, rc_alarm(0, 2)).bytes());
    write("rc_parse", "load_then_parse",
          OpWriter().op(kLoad, rc_image(2)).op(kParse41_43, rc_switch(0, 1)).op(kRoundDone).bytes());
}

void cache() {
    using namespace cache_ops;
    write("cache", "every_child",
          OpWriter().op(kLoadAc, ac_image(2)).op(kLoadDc, dc_image()).op(kLoadRc, rc_image(3)).bytes());
    write("cache", "primed_then_loaded",
          OpWriter().op(kPrimeAc).op(1).op(kLoadAc, ac_image(3)).op(kPrimeRc).op(2).op(kLoadRc, rc_image(0)).bytes());
}

void get_value() {
    using namespace get_value_state;
    struct Seed {
        const char* name;
        int device;
        uint8_t state;
        int channels;
        const char* key;
    };
    const Seed seeds[] = {
        {"ac_ia", 0, kFresh, 2, "ia"},
        {"ac_channel", 0, kFresh, 3, "channel_1_b"},
        {"ac_channel_inside", 0, kFresh, 2, "my_channel_01_freq"},
        {"ac_channel_out_of_range", 0, kFresh, 2, "channel_2_a"},
        {"ac_stale", 0, kStale, 1, "channel_0_c"},
        {"ac_not_ready", 0, kNoData, 1, "ic_alert"},
        {"dc_v", 1, kFresh, 0, "v"},
        {"dc_future", 1, kFuture, 0, "i"},
        {"rc_any", 2, kFresh, 2, "group"},
    };
    for (const Seed& s : seeds) {
        Bytes b{static_cast<uint8_t>(s.device | s.state << 2), static_cast<uint8_t>(s.channels)};
        const Bytes key = text(s.key);
        b.insert(b.end(), key.begin(), key.end());
        write("get_value", s.name, b);
    }
}

void init_setting() {
    write("init_setting", "two_ac_one_dc",
          text(R"({"address":1,"acSetting":[{"data_id":11,"appSetting":{"diff_v":"5","diff_i":7}},{"data_id":12}],)"
               R"("dcSetting":[{"data_id":21,"appSetting":{"diff_v":0.5}}],"rcSetting":{}})"));
    write("init_setting", "rectifiers_only", text(R"({"rcSetting":{"x":1},"reply_timeout_ms":500})"));
    write("init_setting", "no_rectifiers", text(R"({"acSetting":[{"data_id":1}],"dcSetting":[]})"));
    write("init_setting", "odd_types",
          text(R"({"acSetting":{"data_id":1},"dcSetting":[{"data_id":true},{}],"rcSetting":[],"auto_data_ready":false})"));
    // Nested past the parser's stack limit: refused by an exception, not by a false result.
    write("init_setting", "deep_nesting",
          text(R"({"rcSetting":{},"acSetting":)" + std::string(3000, '[') + std::string(3000, ']') + "}"));
    write("init_setting", "deep_objects", text(std::string(3000, '[') + "{\"rcSetting\":{}}" + std::string(3000, ']')));
}

void conversation() {
    using namespace conversation_ops;
    // One refresh and then a well-formed reply to whatever is awaited, twice round the
    // longest cycle (model query, 40_41, 40_44, 41_41, 41_43, 41_44, 42_41, 42_44, 40_46,
    // 42_46).
    auto cycles = [](uint8_t config, uint8_t flag, int times) {
        OpWriter w;
        w.op(config);
        for (int t = 0; t < times; ++t) {
            w.op(kRefreshLate);
            for (int i = 0; i < 11; ++i) w.op(kGood).op(flag).op(2);
        }
        return w.bytes();
    };
    write("conversation", "one_ac_one_dc", cycles(0x01 | 0x04, 0, 2));
    write("conversation", "three_ac_four_dc_host_ready", cycles(0x03 | 0x10 | 0x80, 0x11, 3));
    write("conversation", "rectifiers_only", cycles(0x00, 0x01, 2));

    OpWriter w;
    w.op(0x05).op(kRefreshLate).op(kGood).op(0).op(0);
    w.op(kReply, ac_analog(0, {3}));
    w.op(kReplyAny).op(0x41).op(0x00).payload(rc_analog(0, 1));
    w.op(kTimeout).op(kRefresh).op(kRefreshLate);
    w.op(kSplit, ac_analog(0, {1})).op(19);
    w.op(kRaw, text(frame(0x40, 0, ac_alarm(0, {1}))));
    w.op(kQuery).op(0).text("channel_0_a");
    w.op(kLoad).op(1).payload(dc_image());
    write("conversation", "mixed_steps", w.bytes());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zrt_fuzz_corpus <dir>\n";
        return 2;
    }
    quiet_stdout();  // the devices' trace lines
    root = argv[1];
    try {
        frame_decoder();
        ac_parse();
        dc_parse();
        rc_parse();
        cache();
        get_value();
        init_setting();
        conversation();
    } catch (const std::exception& e) {
        std::cerr << "zrt_fuzz_corpus: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
