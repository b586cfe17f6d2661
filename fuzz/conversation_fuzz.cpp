// A whole conversation of the registered top device and its real children over the
// in-memory line. Input: one byte for the configuration (AC and DC screen counts, whether
// the host sets data_ready), then a stream of operations (fuzz_util.h): refreshes with and
// without the 2-second pause, replies to the awaited command built from fuzz bytes,
// well-formed replies, replies with any CID1 and return code, raw bytes, replies cut in
// two, reply time-outs, value queries and cache loads on the children.
// Properties: a refresh or a reply sends at most one command, and only commands of the cycle;
// the poll state is always one of the cycle's; every image published has the size its
// record type allows; a cycle end publishes every child once, AC, DC, then rectifier.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "ac/ac_fields.h"
#include "children.h"
#include "dc/dc_fields.h"
#include "rc/rc_fields.h"
#include "devhost/devhost.h"
#include "fuzz_util.h"
#include "ops.h"
#include "common/cycle_end.h"
#include "power/zrt4600a.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

using namespace conversation_ops;

constexpr unsigned kTopId = 100;

bool cycle_command(uint8_t cid1, uint8_t cid2) {
    if (cid1 == 0x40) return cid2 == 0x51 || cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44 || cid2 == 0x46;
    if (cid1 == 0x41) return cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44;
    if (cid1 == 0x42) return cid2 == 0x41 || cid2 == 0x44 || cid2 == 0x46;
    return false;
}

bool image_size_fits(int record_type, size_t n) {
    for (const zrt::field::Layout* l : {&zrt::ac_fields::kLayout, &zrt::rc_fields::kLayout, &zrt::dc_fields::kLayout}) {
        if (l->record_type != record_type) continue;
        if (n < l->head_size) return false;
        return l->item_size ? (n - l->head_size) % l->item_size == 0 : n == l->head_size;
    }
    return false;
}

// The registered top device, checked at each entry the host drives: one call writes at
// most one command.
class Poller : public zrt4600a {
public:
    explicit Poller(std::shared_ptr<devhost::MemoryTransport> l) : line(std::move(l)) {}
    bool RefreshStatus() override {
        const size_t before = line->written.size();
        const bool r = zrt4600a::RefreshStatus();
        ZRT_FUZZ_CHECK(commands_since(before) <= 1);
        return r;
    }
    bool process_payload() override {
        const size_t before = line->written.size();
        const bool r = zrt4600a::process_payload();
        ZRT_FUZZ_CHECK(commands_since(before) <= 1);
        return r;
    }

private:
    size_t commands_since(size_t before) const {
        size_t n = 0;
        for (size_t i = before; i < line->written.size(); ++i) n += line->written[i] == devhost::kSOI;
        return n;
    }
    std::shared_ptr<devhost::MemoryTransport> line;
};

struct Conversation {
    Host& host = shared_host();
    // The line's clock, which the device reads; declared first so that it outlives the device.
    devhost::SteadyClock::time_point clock = devhost::SteadyClock::time_point() + std::chrono::hours(1);
    std::shared_ptr<devhost::MemoryTransport> line = std::make_shared<devhost::MemoryTransport>();
    std::shared_ptr<Poller> dev = std::make_shared<Poller>(line);
    uint8_t cid1 = 0x40, cid2 = 0x51;  // the awaited command
    std::vector<uint32_t> cycle_order;  // data ids in the order a cycle end publishes them
    // Reads what the device wrote after each step: every frame must be a command of the
    // cycle, and the last one is the command awaited next.
    devhost::FrameDecoder commands{[this](const devhost::Frame& f) {
        // On a lost line the host parks the command and probes in its place: that frame is
        // the host's, and the parked command stays the one awaited.
        if (f.cid2 == devhost::SerialState::kProbeCid2 && f.cid1 == cid1) return;
        ZRT_FUZZ_CHECK(cycle_command(f.cid1, f.cid2));
        cid1 = f.cid1;
        cid2 = f.cid2;
    }};

    explicit Conversation(uint8_t config) {
        Json::Value s(Json::objectValue);
        const int n_ac = config % 4, n_dc = (config >> 2) % 5;
        for (int i = 0; i < n_ac; ++i) s["acSetting"][i]["data_id"] = 11 + i;
        for (int i = 0; i < n_dc; ++i) s["dcSetting"][i]["data_id"] = 21 + i;
        s["rcSetting"] = Json::Value(Json::objectValue);
        s["auto_data_ready"] = (config & 0x80) != 0;
        ZRT_FUZZ_CHECK(dev->Init(host.controller, kTopId, s));
        devhost::serial_state(*dev).now = [this] { return clock; };
        devhost::attach(*dev, line);
        for (int i = 0; i < n_ac; ++i) cycle_order.push_back(11 + i);
        for (int i = 0; i < n_dc; ++i) cycle_order.push_back(21 + i);
        cycle_order.push_back(kTopId);
    }
    ~Conversation() {
        for (const auto& child : dev->GetAllChildVDevices())
            if (child) host.end_input(*child);
        host.end_input(*dev);
    }

    // A frame of the line: the info is cut to the most LENID can announce.
    std::string frame(uint8_t c1, uint8_t rtn, const Bytes& info) const {
        return devhost::encode_frame(0x20, devhost::address(*dev), c1, rtn, info.data(),
                                     std::min(info.size(), devhost::kMaxInfoBytes));
    }
    void send(uint8_t c1, uint8_t rtn, const Bytes& info) { devhost::inject(*dev, frame(c1, rtn, info)); }

    // Channel counts the AC screens will accept: the fixed ones, `fallback` where none is.
    std::vector<int> channel_counts(int fallback) const {
        std::vector<int> out;
        for (const auto& ac : dev->ac_children)
            out.push_back(ac->channels.empty() ? fallback : static_cast<int>(ac->channels.size()));
        return out;
    }

    Bytes good_reply(uint8_t flag, uint8_t count) const {
        const int n_dc = static_cast<int>(dev->dc_children.size());
        const int modules = count % 5;
        switch (cid1 << 8 | cid2) {
        case 0x4051: return model_reply(count & 1 ? "ZRT4600A" : "zrt4600a");
        case 0x4041: return ac_analog(flag, channel_counts(count % 4));
        case 0x4043: {
            Bytes b{flag, static_cast<uint8_t>(dev->ac_children.size())};
            for (size_t i = 0; i < dev->ac_children.size(); ++i) put(b, ac_switch_part());
            return b;
        }
        case 0x4044: return ac_alarm(flag, channel_counts(count % 4));
        case 0x4046: return ac_params();
        case 0x4141: return rc_analog(flag, modules);
        case 0x4143: return rc_switch(flag, modules);
        case 0x4144: return rc_alarm(flag, modules, count >> 7);
        case 0x4241: return dc_analog(flag, n_dc);
        case 0x4244: return dc_alarm(flag, n_dc);
        case 0x4246: return dc_params();
        default: return Bytes{};
        }
    }

    std::shared_ptr<TXQVDevice> child(uint8_t pick) const {
        const auto all = dev->GetAllChildVDevices();
        return all[pick % all.size()];
    }

    // What the step left behind.
    void check_step() {
        commands.clear();
        commands.feed(reinterpret_cast<const uint8_t*>(line->written.data()), line->written.size());
        line->clear();

        const int s = dev->poll_state;
        ZRT_FUZZ_CHECK((s >= 0 && s <= 9) || s == 14);

        const auto& published = host.published();
        for (const auto& e : published) ZRT_FUZZ_CHECK(image_size_fits(e.record_type, e.image.size()));
        // Cache loads publish nothing, so what was published comes from cycle ends (several
        // when raw bytes carried several cycles' replies).
        ZRT_FUZZ_CHECK(published.size() % cycle_order.size() == 0);
        for (size_t i = 0; i < published.size(); ++i)
            ZRT_FUZZ_CHECK(published[i].data_id == cycle_order[i % cycle_order.size()]);
        host.forget();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    OpReader in(data, size);
    Conversation c(in.byte());
    auto& dev = *c.dev;
    while (in.more()) {
        switch (in.byte() % kCount) {
        case kRefreshLate:
            dev.last_update = zrt::local_now() - boost::posix_time::hours(1);
            dev.RefreshStatus();
            break;
        case kRefresh:
            dev.RefreshStatus();
            break;
        case kReply:
            c.send(c.cid1, 0, in.payload());
            break;
        case kReplyAny: {
            const uint8_t cid1 = in.byte();
            const uint8_t rtn = in.byte();
            c.send(cid1, rtn, in.payload());
            break;
        }
        case kRaw: {
            const Bytes raw = in.payload();
            devhost::inject(dev, std::string(raw.begin(), raw.end()));
            break;
        }
        case kGood: {
            const uint8_t flag = in.byte();
            c.send(c.cid1, 0, c.good_reply(flag, in.byte()));
            break;
        }
        case kSplit: {
            const std::string frame = c.frame(c.cid1, 0, in.payload());
            const size_t cut = in.byte() % (frame.size() + 1);
            devhost::inject(dev, frame.substr(0, cut));
            devhost::inject(dev, frame.substr(cut));
            break;
        }
        case kTimeout:
            c.clock += std::chrono::seconds(5);
            break;
        case kQuery: {
            const auto child = c.child(in.byte());
            const std::string key = in.text();
            try {
                child->Get_Value(0, key);
            } catch (const std::out_of_range&) {
            }
            break;
        }
        case kLoad: {
            const auto child = c.child(in.byte());
            HeapBytes image(in.payload());
            child->LoadFromCache(image.data(), image.size());
            break;
        }
        }
        c.check_step();
    }
    return 0;
}
