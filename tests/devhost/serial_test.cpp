#include <gtest/gtest.h>
#include <json/json.h>

#include "devhost/registry.h"
#include "devhost_test_util.h"

using namespace devhost_test;
using devhost::inject;
using devhost::MemoryTransport;

namespace {

struct FakeClock {
    devhost::SteadyClock::time_point t{};
    void advance(int ms) { t += std::chrono::milliseconds(ms); }
    void attach(TXQSPDevice& dev) {
        devhost::serial_state(dev).now = [this] { return t; };
    }
};

struct Rig {
    std::shared_ptr<devhost::Controller> controller = std::make_shared<devhost::Controller>();
    std::shared_ptr<Top> top = std::make_shared<Top>();
    std::shared_ptr<MemoryTransport> line = std::make_shared<MemoryTransport>();
    explicit Rig(const Json::Value& setting = Json::Value(Json::objectValue)) {
        EXPECT_TRUE(top->Init(controller, 42, setting));
        EXPECT_TRUE(devhost::attach(*top, line));
    }
};

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

// A reply to a command sent just before it: only an awaited reply reaches the device.
void answer(Rig& rig, const std::string& bytes) {
    rig.top->write_pmbus_cmd(0x40, 0x41);
    inject(*rig.top, bytes);
}

}  // namespace

TEST(FrameLayer, CommandsCarryVersionAddressAndInfo) {
    Rig rig(parse(R"({"address": 5})"));
    rig.top->version = 0x21;
    const uint8_t group = 0xFF;
    rig.top->write_pmbus_cmd(0x40, 0x41, &group, 1);
    rig.top->write_pmbus_cmd(0x40, 0x51);
    auto frames = rig.line->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], devhost::encode_frame(0x21, 5, 0x40, 0x41, &group, 1));
    EXPECT_EQ(frames[1], devhost::encode_frame(0x21, 5, 0x40, 0x51, nullptr, 0));
    EXPECT_EQ(rig.line->written, frames[0] + frames[1]);

    // Unusable info is refused and logged, not sent.
    rig.top->write_pmbus_cmd(0x40, 0x41, nullptr, 1);
    rig.top->write_pmbus_cmd(0x40, 0x41, &group, -1);
    EXPECT_EQ(rig.line->frames().size(), 2u);
    EXPECT_EQ(devhost::serial_state(*rig.top).refused_commands, 2u);
    EXPECT_EQ(rig.controller->logs.size(), 2u);
}

TEST(FrameLayer, ReplyBufferHoldsHeaderAndInfoAndNothingOfAnEarlierReply) {
    Rig rig;
    answer(rig, reply_frame(0x41, bytes_upto(200, 9), 1, 0x05));
    answer(rig, reply_frame(0x40, bytes_upto(3, 0xA0)));
    answer(rig, reply_frame(0x40, {}));
    ASSERT_EQ(rig.top->seen.size(), 3u);

    const auto& first = rig.top->seen[0];
    EXPECT_EQ(first[0], 0x20);
    EXPECT_EQ(first[1], 1);
    EXPECT_EQ(first[2], 0x41);
    EXPECT_EQ(first[3], 0x05);
    EXPECT_EQ(first[4] | first[5] << 8, 400);  // info hex characters, little-endian
    EXPECT_EQ(std::vector<uint8_t>(first.begin() + 6, first.begin() + 206), bytes_upto(200, 9));

    const auto& second = rig.top->seen[1];
    EXPECT_EQ(second[4], 6);
    EXPECT_EQ(second[5], 0);
    EXPECT_EQ(std::vector<uint8_t>(second.begin() + 6, second.begin() + 9), bytes_upto(3, 0xA0));
    for (size_t i = 9; i < second.size(); ++i) ASSERT_EQ(second[i], 0) << "stale byte at " << i;

    // An empty reply: the 20-byte model field behind it reads as zeros.
    const auto& third = rig.top->seen[2];
    for (size_t i = 4; i < third.size(); ++i) ASSERT_EQ(third[i], 0) << "stale byte at " << i;
}

TEST(FrameLayer, PiecesGarbageBadFramesAndOtherAddresses) {
    Rig rig;
    std::string good = reply_frame(0x42, bytes_upto(10));
    std::string bad = good;
    bad[14] = bad[14] == '0' ? '1' : '0';
    std::string stream = "\r\r junk" + bad + reply_frame(0x42, bytes_upto(10), 2) + good;
    rig.top->write_pmbus_cmd(0x42, 0x41);
    for (size_t i = 0; i < stream.size(); i += 3) inject(*rig.top, stream.substr(i, 3));

    ASSERT_EQ(rig.top->seen.size(), 1u);
    EXPECT_EQ(rig.top->seen[0][2], 0x42);
    const auto& s = devhost::serial_state(*rig.top);
    EXPECT_EQ(s.decoder.stats().bad_checksum, 1u);
    EXPECT_EQ(s.foreign_frames, 1u);
    EXPECT_EQ(s.replies, 1u);
}

TEST(FrameLayer, RefreshStatusWaitsForTheReplyOrItsTimeout) {
    Rig rig(parse(R"({"reply_timeout_ms": 1000, "guard_ms": 0})"));
    FakeClock clock;
    clock.attach(*rig.top);

    EXPECT_TRUE(rig.top->RefreshStatus());  // open line, nothing awaited
    rig.top->write_pmbus_cmd(0x40, 0x51);
    EXPECT_TRUE(rig.top->IsProcessing());
    clock.advance(999);
    EXPECT_FALSE(rig.top->RefreshStatus());

    // Bytes of a reply that is still arriving keep it alive.
    std::string reply = reply_frame(0x40, bytes_upto(20));
    inject(*rig.top, reply.substr(0, 10));
    clock.advance(900);
    EXPECT_FALSE(rig.top->RefreshStatus());
    EXPECT_FALSE(rig.top->IsStalled());
    clock.advance(100);
    EXPECT_TRUE(rig.top->IsStalled());
    EXPECT_TRUE(rig.top->RefreshStatus());
    EXPECT_EQ(rig.top->stall_count, 1u);
    EXPECT_FALSE(rig.top->IsProcessing());

    // The rest of the timed-out reply is not taken for a frame.
    inject(*rig.top, reply.substr(10));
    EXPECT_TRUE(rig.top->seen.empty());

    // An answered command frees the line at once.
    rig.top->write_pmbus_cmd(0x40, 0x51);
    inject(*rig.top, reply);
    EXPECT_EQ(rig.top->seen.size(), 1u);
    EXPECT_TRUE(rig.top->RefreshStatus());
    EXPECT_EQ(rig.top->stall_count, 1u);

    rig.line->open = false;
    EXPECT_FALSE(rig.top->RefreshStatus());
    rig.top->ClosePort();
    EXPECT_FALSE(rig.top->RefreshStatus());
}

TEST(FrameLayer, ResetForgetsThePartialFrameAndTheAwaitedCommand) {
    Rig rig(parse(R"({"guard_ms": 0})"));
    rig.top->write_pmbus_cmd(0x40, 0x51);
    std::string reply = reply_frame(0x40, bytes_upto(4));
    inject(*rig.top, reply.substr(0, 12));
    EXPECT_FALSE(rig.top->RefreshStatus());
    rig.top->Reset();
    EXPECT_FALSE(rig.top->last_update.is_special());
    EXPECT_TRUE(rig.top->RefreshStatus());
    inject(*rig.top, reply.substr(12));
    EXPECT_TRUE(rig.top->seen.empty());
}

TEST(FrameLayer, SettingsAreCheckedAndApplied) {
    auto top = std::make_shared<Top>();
    EXPECT_TRUE(top->InitSetting(
        parse(R"({"address": 255, "reply_timeout_ms": 2500, "auto_data_ready": false, "guard_ms": 20})")));
    EXPECT_EQ(devhost::serial_state(*top).guard_at(9600).count(), 20000);
    EXPECT_EQ(devhost::address(*top), 255);
    EXPECT_EQ(devhost::serial_state(*top).reply_timeout.count(), 2500);
    EXPECT_FALSE(devhost::serial_state(*top).auto_data_ready);
    for (const char* bad : {R"({"address": 256})", R"({"address": -1})", R"({"address": "1"})",
                            R"({"reply_timeout_ms": 0})", R"({"auto_data_ready": 1})", R"({"guard_ms": 60001})",
                            R"({"guard_ms": -1})", R"({"guard_ms": 2.5})", "5", R"([{"address": 2}])",
                            R"("address")"}) {
        auto fresh = std::make_shared<Top>();
        EXPECT_FALSE(fresh->InitSetting(parse(bad))) << bad;
        EXPECT_EQ(devhost::address(*fresh), 1) << bad;
    }
}

TEST(FrameLayer, AnswersFromInsideWriteAreHandledInOrderAfterTheCurrentReply) {
    // A transport that answers every command at once, from inside write().
    struct Echo : devhost::Transport {
        TXQSPDevice* dev = nullptr;
        bool is_open() const override { return true; }
        bool write(const uint8_t* data, size_t) override {
            // Echo the command's CID2 characters (after "~", VER, ADR, CID1) as the info.
            inject(*dev, reply_frame(0x40, {data[7], data[8]}));
            return true;
        }
    };
    Rig rig;
    auto echo = std::make_shared<Echo>();
    echo->dev = rig.top.get();
    devhost::attach(*rig.top, echo);
    int depth = 0, max_depth = 0;
    rig.top->on_payload = [&](Top& t) {
        max_depth = std::max(max_depth, ++depth);
        if (t.seen.size() < 3) t.write_pmbus_cmd(0x40, static_cast<uint8_t>(0x41 + t.seen.size()));
        --depth;
    };
    rig.top->write_pmbus_cmd(0x40, 0x41);
    ASSERT_EQ(rig.top->seen.size(), 3u);
    EXPECT_EQ(max_depth, 1);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rig.top->seen[i][6], '4');
        EXPECT_EQ(rig.top->seen[i][7], static_cast<uint8_t>('1' + i));
    }
}

TEST(HostDuties, TheTopDevicesOwnRulesReachTheAlarmTable) {
    Rig rig;
    rig.top->on_payload = [](Top& t) {
        t.CheckThresholdBool(3, "device_model", "70319", "设备配置检测", "本驱动类型:zrt4600a", true, 0);
    };
    answer(rig, reply_frame(0x40, bytes_upto(20)));
    answer(rig, reply_frame(0x40, bytes_upto(20)));
    EXPECT_TRUE(rig.top->pending_rules.empty());
    EXPECT_TRUE(rig.top->alarm_flag);
    ASSERT_EQ(rig.controller->alarms.size(), 1u);  // raised once, not again while it holds
    EXPECT_TRUE(rig.controller->alarms[0].raised);
    EXPECT_EQ(rig.controller->alarms[0].rule.key, "device_model");
    EXPECT_EQ(rig.controller->alarms[0].data_id, 42u);
    EXPECT_EQ(rig.controller->rules.size(), 2u);
}

TEST(HostDuties, DataReadyAfterEveryChildHasPublishedItsOwnRecord) {
    Rig rig;
    auto a = std::make_shared<Child>(), b = std::make_shared<Child>();
    rig.top->children = {a, nullptr, b};
    a->LoadFromCache(nullptr, 0);  // a cached image is not a record of this run
    a->publish();
    answer(rig, reply_frame(0x40, {}));
    EXPECT_FALSE(rig.top->data_ready);
    b->publish(5108);
    answer(rig, reply_frame(0x40, {}));
    EXPECT_TRUE(rig.top->data_ready);

    Rig off(parse(R"({"auto_data_ready": false})"));
    auto c = std::make_shared<Child>();
    off.top->children = {c};
    c->publish();
    answer(off, reply_frame(0x40, {}));
    EXPECT_FALSE(off.top->data_ready);

    // A device built where a destroyed one stood has not published.
    alignas(Child) unsigned char storage[sizeof(Child)];
    auto* first = new (storage) Child;
    first->publish();
    EXPECT_TRUE(devhost::detail::has_published(first));
    first->~Child();
    auto* second = new (storage) Child;
    EXPECT_FALSE(devhost::detail::has_published(second));
    second->~Child();
}

TEST(LineDiscipline, ALateReplyIsDroppedAndTheNextCommandWaitsForAQuietGuardTime) {
    Rig rig(parse(R"({"reply_timeout_ms": 1000})"));  // default guard: three characters at 9600 baud
    FakeClock clock;
    clock.attach(*rig.top);
    std::vector<devhost::LineNotice> notices;
    devhost::serial_state(*rig.top).on_notice = [&](const devhost::LineNotice& n) { notices.push_back(n); };
    const auto& s = devhost::serial_state(*rig.top);
    EXPECT_EQ(s.guard_at(9600).count(), 3125);

    rig.top->write_pmbus_cmd(0x41, 0x41);
    clock.advance(1000);
    // The time-out discards the input; the command does not go again at once.
    EXPECT_FALSE(rig.top->RefreshStatus());
    EXPECT_EQ(rig.line->input_flushes, 1u);
    EXPECT_EQ(rig.top->stall_count, 1u);
    EXPECT_FALSE(rig.top->IsStalled());  // counted once

    // The late reply is not handed to the device, and it restarts the quiet time.
    clock.advance(2);
    inject(*rig.top, reply_frame(0x41, bytes_upto(8)));
    EXPECT_TRUE(rig.top->seen.empty());
    EXPECT_EQ(s.stale_frames, 1u);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, devhost::LineNotice::Stale);
    EXPECT_NE(notices[0].text.find("CID1 41"), std::string::npos) << notices[0].text;
    clock.advance(3);
    EXPECT_FALSE(rig.top->RefreshStatus());
    clock.advance(1);
    EXPECT_TRUE(rig.top->RefreshStatus());

    // One time-out is no loss: the answer to the next command is handed on.
    rig.top->write_pmbus_cmd(0x41, 0x41);
    inject(*rig.top, reply_frame(0x41, bytes_upto(8)));
    EXPECT_EQ(rig.top->seen.size(), 1u);
    EXPECT_EQ(s.resyncs, 0u);

    // A configured guard is honoured from the last byte received.
    Rig slow(parse(R"({"guard_ms": 50})"));
    FakeClock c2;
    c2.attach(*slow.top);
    slow.top->write_pmbus_cmd(0x40, 0x41);
    inject(*slow.top, reply_frame(0x40, {}));
    EXPECT_EQ(slow.top->seen.size(), 1u);
    c2.advance(49);
    EXPECT_FALSE(slow.top->RefreshStatus());
    c2.advance(1);
    EXPECT_TRUE(slow.top->RefreshStatus());
}

TEST(LineDiscipline, AfterALossTheAnswersToQueuedCommandsAreDroppedAndTheCycleStartsOver) {
    Rig rig(parse(R"({"reply_timeout_ms": 1000})"));
    FakeClock clock;
    clock.attach(*rig.top);
    const auto& s = devhost::serial_state(*rig.top);
    rig.top->poll_state = 7;

    // Three probes into a dead line.
    for (int i = 0; i < 3; ++i) {
        rig.top->write_pmbus_cmd(0x42, 0x41);
        clock.advance(1000);
        EXPECT_FALSE(rig.top->RefreshStatus());
        clock.advance(4);
    }
    EXPECT_EQ(s.timeouts, 3u);
    // After two time-outs the line is lost: the third command is parked, and the
    // protocol-version query of the same CID1 goes in its place.
    const std::vector<std::string> sent = rig.line->frames();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].substr(5, 4), "4241");
    EXPECT_EQ(sent[2].substr(5, 4), "424F");
    EXPECT_EQ(sent[2], devhost::encode_frame(0x20, 1, 0x42, 0x4F, nullptr, 0));
    EXPECT_EQ(s.probes, 1u);
    EXPECT_TRUE(rig.top->IsProcessing());  // its command waits

    // The equipment returns and answers two of the three probes at once, then the third
    // one a turnaround later: none of them reaches the device.
    inject(*rig.top, reply_frame(0x42, bytes_upto(6)) + reply_frame(0x42, bytes_upto(6)));
    EXPECT_EQ(s.resyncs, 1u);
    EXPECT_EQ(rig.top->poll_state, 0);  // the next refresh begins the cycle
    clock.advance(10);
    EXPECT_FALSE(rig.top->RefreshStatus());  // one answer still owed
    inject(*rig.top, reply_frame(0x42, bytes_upto(6)));
    EXPECT_TRUE(rig.top->seen.empty());
    EXPECT_EQ(s.stale_frames, 3u);
    EXPECT_FALSE(rig.top->RefreshStatus());  // not quiet yet
    clock.advance(4);
    EXPECT_TRUE(rig.top->RefreshStatus());

    // Owed answers that never come hold the line for one reply time-out of quiet at most.
    for (int i = 0; i < 2; ++i) {
        rig.top->write_pmbus_cmd(0x42, 0x41);
        clock.advance(1000);
        rig.top->RefreshStatus();
    }
    inject(*rig.top, reply_frame(0x42, bytes_upto(6)));
    EXPECT_EQ(s.resyncs, 2u);
    clock.advance(999);
    EXPECT_FALSE(rig.top->RefreshStatus());
    clock.advance(1);
    EXPECT_TRUE(rig.top->RefreshStatus());
    rig.top->write_pmbus_cmd(0x40, 0x41);
    inject(*rig.top, reply_frame(0x40, bytes_upto(6)));
    EXPECT_EQ(rig.top->seen.size(), 1u);

    // A line opened again discards both queues, and its first good frame is a resync too.
    rig.top->ClosePort();
    auto fresh = std::make_shared<MemoryTransport>();
    ASSERT_TRUE(devhost::attach(*rig.top, fresh));
    EXPECT_EQ(fresh->input_flushes, 1u);
    EXPECT_EQ(fresh->output_flushes, 1u);
    clock.advance(4);
    ASSERT_TRUE(rig.top->RefreshStatus());
    rig.top->write_pmbus_cmd(0x40, 0x41);
    inject(*rig.top, reply_frame(0x40, bytes_upto(6)));
    EXPECT_EQ(rig.top->seen.size(), 1u);
    EXPECT_EQ(s.resyncs, 3u);
}

TEST(LineDiscipline, RepliesWithAReturnCodeAreCountedNamedAndHandedOn) {
    Rig rig;
    std::vector<std::string> texts;
    devhost::serial_state(*rig.top).on_notice = [&](const devhost::LineNotice& n) {
        if (n.kind == devhost::LineNotice::Rtn) texts.push_back(n.text);
    };
    answer(rig, reply_frame(0x40, bytes_upto(4), 1, 0x02));
    answer(rig, reply_frame(0x40, {}, 1, 0x02));
    answer(rig, reply_frame(0x40, bytes_upto(4), 1, 0x06));
    answer(rig, reply_frame(0x40, bytes_upto(4), 1, 0x81));
    answer(rig, reply_frame(0x40, bytes_upto(4)));
    ASSERT_EQ(rig.top->seen.size(), 5u);
    EXPECT_EQ(rig.top->seen[0][3], 0x02);  // the device still sees the code
    const auto& counts = devhost::serial_state(*rig.top).rtn_counts;
    EXPECT_EQ(counts, (std::map<uint8_t, uint64_t>{{0x02, 2}, {0x06, 1}, {0x81, 1}}));
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_NE(texts[0].find("40_41"), std::string::npos) << texts[0];
    EXPECT_NE(texts[0].find("RTN 0x02 (CHKSUM error)"), std::string::npos) << texts[0];
    EXPECT_NE(texts[2].find("RTN 0x06 (invalid data)"), std::string::npos) << texts[2];
    EXPECT_NE(texts[3].find("RTN 0x81 (equipment-defined)"), std::string::npos) << texts[3];
}
