// The poller's conversation, driven over the in-memory line with recording children.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "poller_rig.h"
#include "power/pmbus_power.h"

namespace {

using Texts = std::vector<std::string>;
using TestBase = PMBusPower<RecAC, RecDC, RecRC>;

// The template over recording children. `fixed_path` runs the registered model's variant
// of the cycle instead of the template's own.
class TestPoller : public TestBase {
public:
    explicit TestPoller(bool fixed_path = false) : TestBase({"zrt4600a"}), fixed_path_(fixed_path) {
        device_type = "test-power";
    }
    bool process_payload() override {
        last_result = fixed_path_ ? run_cycle(zrt::kFixedPathCycle) : TestBase::process_payload();
        return last_result;
    }
    void Reset() override {
        ++resets;
        TestBase::Reset();
    }
    bool last_result = true;
    int resets = 0;

private:
    bool fixed_path_;
};

using PollerRig = Rig<TestPoller>;

const HookCall* find_call(const std::string& who, const std::string& what) {
    for (const auto& c : journal())
        if (c.who == who && c.what == what) return &c;
    return nullptr;
}

// Answers well-formed replies until `target` is the command on the line.
void advance_to(PollerRig& r, const std::string& target) {
    auto cmds = r.sent();
    for (int i = 0; i < 20 && cmds.size() == 1 && cmds[0] != target; ++i) {
        r.answer_for(cmds[0]);
        cmds = r.sent();
    }
    ASSERT_EQ(cmds, Texts{target});
}

const std::string kOverflow = "PMBusPower:ProcotolError 100 parse ";

TEST(PollerModelCheck, ModelQueryComesFirstAndIsRepeatedUntilAnswered) {
    PollerRig r(settings(1, 0));
    ASSERT_TRUE(r.init_ok);
    r.dev->last_update = zrt::local_now();  // the 2-second rule does not hold back the model query
    EXPECT_TRUE(r.dev->RefreshStatus());
    EXPECT_EQ(r.sent(), Texts{"40_51"});
    EXPECT_EQ(r.dev->poll_state, 14);

    r.answer(0x41, text("zrt4600a"));  // not an AC-group reply: ignored
    EXPECT_TRUE(r.sent().empty());
    EXPECT_TRUE(r.dev->model_check_pending);
    EXPECT_EQ(r.dev->poll_state, 14);
    r.dev->last_update = zrt::local_now();
    EXPECT_TRUE(r.dev->RefreshStatus());
    EXPECT_EQ(r.sent(), Texts{"40_51"});

    // Blanks around, a NUL after, case aside: still the supported model.
    Bytes model = text(" ZRT4600A\t");
    model.push_back(0);
    Bytes junk = text("junk");
    model.insert(model.end(), junk.begin(), junk.end());
    r.answer(0x40, model);
    EXPECT_EQ(r.dev->reported_model, "ZRT4600A");
    EXPECT_FALSE(r.dev->model_check_pending);
    EXPECT_TRUE(r.host->rules.empty());
    EXPECT_TRUE(r.host->alarms.empty());
    EXPECT_EQ(r.sent(), Texts{"40_41 FF"});
    EXPECT_EQ(r.dev->poll_state, 0);
}

TEST(PollerModelCheck, UnsupportedModelRaisesTheConfigurationAlarmAndTheCycleStillStarts) {
    PollerRig r(settings(0, 1));
    ASSERT_TRUE(r.refresh());
    ASSERT_EQ(r.sent(), Texts{"40_51"});
    // 22 characters, and a non-zero return code that the poller does not look at.
    r.answer(0x40, text("zrt4600a-rev2-build-77"), 0x02);
    EXPECT_EQ(r.dev->reported_model, "zrt4600a-rev2-build-");  // the 20-byte field only
    ASSERT_EQ(r.host->rules.size(), 1u);
    const rule_value& rule = r.host->rules[0];
    EXPECT_EQ(rule.level, 3u);
    EXPECT_EQ(rule.key, "device_model");
    EXPECT_EQ(rule.signal_id, "70319");
    EXPECT_EQ(rule.name, "设备配置检测");
    EXPECT_EQ(rule.instance, "本驱动类型:test-power 检测型号:zrt4600a-rev2-build-");
    EXPECT_EQ(rule.active, 1);
    EXPECT_EQ(rule.sequence, 0u);
    ASSERT_EQ(r.host->alarms.size(), 1u);
    EXPECT_TRUE(r.host->alarms[0].raised);
    // Without AC children the cycle starts with the rectifiers.
    EXPECT_EQ(r.sent(), Texts{"41_41"});
    EXPECT_EQ(r.dev->poll_state, 4);

    // A reply without info carries an empty model, which no list supports.
    PollerRig empty(settings(1, 0));
    ASSERT_TRUE(empty.refresh());
    ASSERT_EQ(empty.sent(), Texts{"40_51"});
    empty.answer(0x40, {});
    EXPECT_EQ(empty.dev->reported_model, "");
    ASSERT_EQ(empty.host->rules.size(), 1u);
    EXPECT_EQ(empty.host->rules[0].instance, "本驱动类型:test-power 检测型号:");
    EXPECT_EQ(empty.sent(), Texts{"40_41 FF"});
}

TEST(PollerRefresh, NothingGoesOutWithinTwoSecondsOfTheLastUpdate) {
    PollerRig r(settings(1, 0));
    r.pass_model_check();
    ASSERT_EQ(r.sent(), Texts{"40_41 FF"});
    r.answer(0x41, screens(0, 1, 1));  // wrong group in state 0: the line is reset
    ASSERT_EQ(r.dev->resets, 1);

    r.dev->stall_count = 7;
    r.dev->last_update = zrt::local_now();
    EXPECT_FALSE(r.dev->RefreshStatus());
    EXPECT_EQ(r.dev->stall_count, 0u);
    r.dev->last_update = zrt::local_now() - boost::posix_time::seconds(1);
    EXPECT_FALSE(r.dev->RefreshStatus());
    EXPECT_TRUE(r.sent().empty());

    r.dev->last_update = zrt::local_now() - boost::posix_time::seconds(2);
    EXPECT_TRUE(r.dev->RefreshStatus());
    EXPECT_EQ(r.sent(), Texts{"40_41 FF"});

    // A device whose last update was never set is not held back.
    r.answer(0x41, screens(0, 1, 1));
    r.dev->last_update = boost::posix_time::ptime();
    EXPECT_TRUE(r.dev->RefreshStatus());
    EXPECT_EQ(r.sent(), Texts{"40_41 FF"});
}

// A poll state that names no command (the host's field may hold anything): a reply is
// handed to nobody, and the next refresh starts the cycle afresh.
TEST(PollerRefresh, AStateWithoutACommandIgnoresRepliesAndRestartsTheCycle) {
    for (int state : {-1, 10, 13, 15, 0x51}) {
        SCOPED_TRACE(state);
        PollerRig r(settings(1, 1));
        r.pass_model_check();
        ASSERT_EQ(r.sent(), Texts{"40_41 FF"});
        r.dev->poll_state = state;
        const size_t before = calls().size();
        r.answer(0x40, screens(0x11, 1, 1));
        EXPECT_TRUE(r.sent().empty());
        EXPECT_EQ(r.dev->poll_state, state);
        EXPECT_EQ(calls().size(), before);
        EXPECT_EQ(r.dev->resets, 0);
        EXPECT_TRUE(r.refresh());
        EXPECT_EQ(r.sent(), Texts{"40_41 FF"});
        EXPECT_EQ(r.dev->poll_state, 0);
    }
}

TEST(PollerCycle, FullCycleHandsEachScreenItsBytesAndEndsWithRoundDoneInOrder) {
    PollerRig r(settings(2, 2));
    r.rc_flag = 0x5A;
    r.pass_model_check();
    journal().clear();
    EXPECT_EQ(r.converse(), (Texts{"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41",
                                   "42_44", "40_46", "42_46"}));

    // The screen walk starts after DATAFLAG and M; each screen gets what the ones before
    // it left.
    for (const char* hook : {"40_41", "40_43", "40_44", "42_41", "42_44"}) {
        const std::string kind = hook[1] == '0' ? "ac" : "dc";
        const HookCall* first = find_call(kind + (kind == "ac" ? "11" : "21"), hook);
        const HookCall* second = find_call(kind + (kind == "ac" ? "12" : "22"), hook);
        ASSERT_TRUE(first && second) << hook;
        EXPECT_EQ(first->len, 2 * kScreenBytes) << hook;
        EXPECT_EQ(first->first, 0xA0) << hook;
        EXPECT_EQ(second->len, kScreenBytes) << hook;
        EXPECT_EQ(second->first, 0xA1) << hook;
    }
    // The rectifier hooks get the whole info, DATAFLAG included.
    const HookCall* rc = find_call("rc100", "41_41");
    ASSERT_TRUE(rc);
    EXPECT_EQ(rc->len, 4);
    EXPECT_EQ(rc->first, 0x5A);
    EXPECT_EQ(r.dev->rc_dataflag, 0x5A);

    const Texts done{"ac11 RoundDone", "ac12 RoundDone", "dc21 RoundDone", "dc22 RoundDone", "rc100 RoundDone"};
    EXPECT_EQ(calls("RoundDone"), done);
    ASSERT_GE(journal().size(), done.size());
    EXPECT_EQ(journal()[journal().size() - done.size() - 1].what, "42_46");  // published after the last reply
    EXPECT_FALSE(r.dev->last_result);
    EXPECT_EQ(r.dev->resets, 1);
    EXPECT_EQ(r.dev->poll_state, 0);
    EXPECT_TRUE(r.host->logs.empty());

    // The next cycle starts over from the AC analogue values.
    EXPECT_EQ(r.cycle().front(), "40_41 FF");
}

TEST(PollerCycle, EveryGroupIsReadWhileDataAreNotReady) {
    struct Case {
        bool fixed_path;
        int n_ac, n_dc;
        Texts path;
    };
    const Case cases[] = {
        {false, 0, 0, {"41_41", "41_43", "41_44"}},
        {false, 1, 0, {"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "41_44"}},
        {false, 0, 1, {"41_41", "41_43", "41_44", "42_41", "42_44", "42_46"}},
        {true, 2, 1, {"40_41 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41", "42_44", "40_46", "42_46"}},
        {true, 1, 0, {"40_41 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41", "42_44", "40_46", "42_46"}},
        {true, 0, 0, {"41_41", "41_43", "41_44", "42_41", "42_44", "42_46"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.fixed_path ? "fixed" : "full") << " ac " << c.n_ac << " dc " << c.n_dc);
        PollerRig r(settings(c.n_ac, c.n_dc), c.fixed_path);
        r.pass_model_check();
        EXPECT_EQ(r.converse(), c.path);
        EXPECT_EQ(calls("RoundDone").size(), static_cast<size_t>(c.n_ac + c.n_dc + 1));
        EXPECT_EQ(r.dev->poll_state, 0);
        EXPECT_TRUE(r.host->logs.empty());
    }
}

TEST(PollerCycle, DataflagBitsShortenTheCycleOnceDataAreReady) {
    struct Case {
        bool fixed_path;
        int n_ac, n_dc;
        uint8_t ac, rc, dc;
        Texts path;
    };
    const Case cases[] = {
        {false, 1, 1, 0, 0, 0, {"40_41 FF", "41_41", "42_41", "40_46", "42_46"}},
        {false, 1, 1, 0x01, 0, 0, {"40_41 FF", "40_44 FF", "41_41", "42_41", "40_46", "42_46"}},
        {false, 1, 1, 0x10, 0, 0, {"40_41 FF", "40_43 FF", "41_41", "42_41", "40_46", "42_46"}},
        {false, 1, 1, 0x11, 0x10, 0, {"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "42_41", "40_46", "42_46"}},
        {false, 1, 1, 0, 0x01, 0x10, {"40_41 FF", "41_41", "41_44", "42_41", "42_44", "40_46", "42_46"}},
        {false, 1, 1, 0, 0x11, 0x01, {"40_41 FF", "41_41", "41_43", "41_44", "42_41", "42_44", "40_46", "42_46"}},
        {false, 0, 1, 0, 0, 0, {"41_41", "42_41", "42_46"}},
        {false, 1, 0, 0, 0, 0, {"40_41 FF", "41_41"}},
        {false, 1, 0, 0, 0x10, 0, {"40_41 FF", "41_41", "41_43"}},
        {true, 1, 1, 0x10, 0, 0, {"40_41 FF", "41_41", "42_41", "40_46", "42_46"}},
        {true, 1, 1, 0x01, 0, 0, {"40_41 FF", "40_44 FF", "41_41", "42_41", "40_46", "42_46"}},
        {true, 1, 0, 0, 0, 0, {"40_41 FF", "41_41", "42_41", "40_46", "42_46"}},
        {true, 0, 0, 0, 0, 0, {"41_41", "42_41", "42_46"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.fixed_path ? "fixed" : "full") << " ac " << c.n_ac << " dc " << c.n_dc
                                        << " flags " << int(c.ac) << "/" << int(c.rc) << "/" << int(c.dc));
        PollerRig r(settings(c.n_ac, c.n_dc), c.fixed_path);
        r.dev->data_ready = true;
        r.ac_flag = c.ac;
        r.rc_flag = c.rc;
        r.dc_flag = c.dc;
        r.pass_model_check();
        EXPECT_EQ(r.converse(), c.path);
        EXPECT_EQ(calls("RoundDone").size(), static_cast<size_t>(c.n_ac + c.n_dc + 1));
    }
}

TEST(PollerCycle, DcCommandsCarryTheGroupByteOnlyWithVersion21) {
    PollerRig r(settings(1, 1));
    r.dev->version = 0x21;
    r.pass_model_check();
    EXPECT_EQ(r.converse(), (Texts{"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41 FF",
                                   "42_44 FF", "40_46", "42_46"}));
}

TEST(PollerCycle, DcWalkStartsAtTheScreenCountWithFourOrMoreScreensInTheTemplateOnly) {
    for (bool fixed_path : {false, true}) {
        for (int n_dc : {3, 4}) {
            SCOPED_TRACE(testing::Message() << (fixed_path ? "fixed" : "full") << " dc " << n_dc);
            PollerRig r(settings(0, n_dc), fixed_path);
            r.pass_model_check();
            journal().clear();
            r.converse();
            const HookCall* first = find_call("dc21", "42_41");
            ASSERT_TRUE(first);
            const int reply_len = 2 + n_dc * kScreenBytes;
            if (!fixed_path && n_dc >= 4) {
                EXPECT_EQ(first->first, n_dc);
                EXPECT_EQ(first->len, reply_len - 1);
            } else {
                EXPECT_EQ(first->first, 0xA0);
                EXPECT_EQ(first->len, reply_len - 2);
            }
            // The walk from M falls one byte short, which only the registered variant would log.
            EXPECT_TRUE(r.host->logs.empty());
            EXPECT_EQ(calls("RoundDone").size(), static_cast<size_t>(n_dc + 1));
        }
    }
}

TEST(PollerRejects, RejectedRepliesKeepTheStateAndTheSameCommandGoesOutAgain) {
    PollerRig r(settings(1, 1));
    r.pass_model_check();
    Texts path;
    auto cmds = r.sent();
    while (cmds.size() == 1 && path.size() < 20) {
        const std::string cmd = cmds[0];
        SCOPED_TRACE(cmd);
        path.push_back(cmd);
        const int state = r.dev->poll_state;
        const int resets = r.dev->resets;
        r.answer(cmd.compare(0, 2, "40") == 0 ? 0x42 : 0x40, screens(0, 1, 1));  // another group's reply
        EXPECT_TRUE(r.sent().empty());
        EXPECT_EQ(r.dev->poll_state, state);
        // Only the AC analogue state resets the line for a foreign reply.
        EXPECT_EQ(r.dev->resets, resets + (state == 0 ? 1 : 0));
        EXPECT_EQ(r.dev->last_result, state != 0);
        EXPECT_TRUE(calls("RoundDone").empty());
        EXPECT_TRUE(r.refresh());
        EXPECT_EQ(r.sent(), Texts{cmd});
        r.answer_for(cmd);
        cmds = r.sent();
    }
    EXPECT_EQ(path, (Texts{"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41", "42_44",
                           "40_46", "42_46"}));
    EXPECT_EQ(calls("RoundDone").size(), 3u);
    EXPECT_TRUE(r.host->logs.empty());
}

TEST(PollerRejects, ScreenCountsDisagreeingWithTheConfigurationAreRefused) {
    PollerRig r(settings(1, 1));
    r.pass_model_check();
    ASSERT_EQ(r.sent(), Texts{"40_41 FF"});
    r.answer(0x40, screens(0, 2, 2));
    EXPECT_EQ(r.log_texts(), Texts{"PMBusPower:ProcotolError 100 read ac_number is 2, configured ac_number is 1"});
    EXPECT_EQ(r.dev->resets, 1);
    EXPECT_FALSE(r.dev->last_result);
    EXPECT_TRUE(calls("40_41").empty());
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.dev->poll_state, 0);

    // The DC checks log and refuse without resetting the line.
    r.host->logs.clear();
    ASSERT_TRUE(r.refresh());
    advance_to(r, "42_41");
    r.answer(0x42, screens(0, 2, 2));
    EXPECT_EQ(r.log_texts(), Texts{"PMBusPower:ProcotolError 100 read dc_number is 2, configured dc_number is 1"});
    EXPECT_EQ(r.dev->resets, 1);
    EXPECT_TRUE(r.dev->last_result);
    EXPECT_EQ(r.dev->poll_state, 7);
    EXPECT_TRUE(r.sent().empty());
    EXPECT_TRUE(calls("42_41").empty());
    ASSERT_TRUE(r.refresh());
    ASSERT_EQ(r.sent(), Texts{"42_41"});
    r.answer_for("42_41");
    ASSERT_EQ(r.sent(), Texts{"42_44"});

    r.host->logs.clear();
    r.answer(0x42, screens(0, 0, 0));
    EXPECT_EQ(r.log_texts(), Texts{"PMBusPower:ProcotolError 100 read dc_number is 0, configured dc_number is 1"});
    EXPECT_EQ(r.dev->poll_state, 8);
    EXPECT_TRUE(calls("42_44").empty());
    ASSERT_TRUE(r.refresh());
    EXPECT_EQ(r.sent(), Texts{"42_44"});
}

TEST(PollerRejects, RegisteredVariantWithoutDcChildrenNeedsAZeroScreenCount) {
    PollerRig r(settings(0, 0), true);
    r.pass_model_check();
    advance_to(r, "42_41");
    for (int round = 0; round < 2; ++round) {
        r.answer(0x42, screens(0, 1, 1));
        EXPECT_EQ(r.dev->poll_state, 7);
        EXPECT_TRUE(r.sent().empty());
        ASSERT_TRUE(r.refresh());
        EXPECT_EQ(r.sent(), Texts{"42_41"});
    }
    EXPECT_EQ(r.host->logs.size(), 2u);
    EXPECT_TRUE(calls("RoundDone").empty());
}

TEST(PollerRejects, AHookRefusalStopsTheWalkAndTheCommandIsRepeated) {
    PollerRig r(settings(3, 1));
    r.dev->ac_children[1]->script["40_41"] = -1;
    r.pass_model_check();
    ASSERT_EQ(r.sent(), Texts{"40_41 FF"});
    r.answer(0x40, screens(0, 3, 3));
    EXPECT_EQ(calls("40_41"), (Texts{"ac11 40_41", "ac12 40_41"}));
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.dev->poll_state, 0);
    EXPECT_EQ(r.dev->resets, 0);
    EXPECT_TRUE(r.host->logs.empty());
    r.dev->ac_children[1]->script.clear();
    ASSERT_TRUE(r.refresh());
    EXPECT_EQ(r.sent(), Texts{"40_41 FF"});
    r.answer_for("40_41 FF");

    // A DC refusal is silent too; a rectifier refusal is a consumption mismatch and logged.
    r.dev->dc_children[0]->script["42_41"] = -1;
    advance_to(r, "42_41");
    r.answer_for("42_41");
    EXPECT_EQ(r.dev->poll_state, 7);
    EXPECT_TRUE(r.sent().empty());
    EXPECT_TRUE(r.host->logs.empty());

    PollerRig rc(settings(0, 0));
    rc.dev->rc_child->script["41_43"] = -1;
    rc.pass_model_check();
    advance_to(rc, "41_43");
    rc.answer_for("41_43");
    EXPECT_EQ(rc.dev->poll_state, 5);
    EXPECT_TRUE(rc.sent().empty());
    EXPECT_EQ(rc.log_texts(), Texts{kOverflow + "p41_43 overflow memory boundary"});
}

TEST(PollerRejects, ConsumptionChecksRefuseOrOnlyLogAsEachCommandDemands) {
    enum Outcome { kRefused, kGoesOn, kEnds };
    struct Case {
        bool fixed_path;
        const char* cmd;
        int result;       // what the child's hook answers (the reply offers it 4 bytes)
        const char* log;  // expected log text after "parse ", or nullptr
        Outcome outcome;
    };
    const Case cases[] = {
        {false, "40_41 FF", 3, "40_41", kRefused},
        {true, "40_41 FF", 5, "40_41", kRefused},
        {false, "40_43 FF", 5, "40_43", kRefused},
        {false, "40_44 FF", 3, nullptr, kRefused},
        {true, "40_44 FF", 5, nullptr, kRefused},
        {false, "41_41", 3, "p41_41", kRefused},
        {false, "41_43", 5, "p41_43", kRefused},
        {true, "41_44", 3, "p41_44", kRefused},
        {false, "42_41", 3, nullptr, kGoesOn},
        {true, "42_41", 3, "42_41", kGoesOn},
        {false, "42_41", 5, "42_41", kGoesOn},
        {false, "42_44", 3, nullptr, kGoesOn},
        {true, "42_44", 3, "42_44", kGoesOn},
        {false, "42_44", 5, "42_44", kGoesOn},
        {false, "40_46", 3, nullptr, kGoesOn},
        {true, "40_46", 3, "40_46", kGoesOn},
        {false, "40_46", 5, "40_46", kGoesOn},
        {false, "42_46", 3, nullptr, kEnds},
        {false, "42_46", 5, "40_46", kEnds},
        {true, "42_46", 3, "40_46", kEnds},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.fixed_path ? "fixed " : "full ") << c.cmd << " answers " << c.result);
        PollerRig r(settings(1, 1), c.fixed_path);
        const std::string hook = std::string(c.cmd).substr(0, 5);
        RecordingChild* owner = r.dev->dc_children[0].get();
        if (hook == "40_46" || hook == "42_46" || hook[1] == '1')
            owner = r.dev->rc_child.get();
        else if (hook[1] == '0')
            owner = r.dev->ac_children[0].get();
        owner->script[hook] = c.result;
        r.pass_model_check();
        advance_to(r, c.cmd);
        const int state = r.dev->poll_state;
        r.answer_for(c.cmd);
        if (c.log)
            EXPECT_EQ(r.log_texts(), Texts{kOverflow + c.log + " overflow memory boundary"});
        else
            EXPECT_TRUE(r.host->logs.empty());
        const Texts next = r.sent();
        switch (c.outcome) {
        case kRefused:
            EXPECT_TRUE(next.empty());
            EXPECT_EQ(r.dev->poll_state, state);
            ASSERT_TRUE(r.refresh());
            EXPECT_EQ(r.sent(), Texts{c.cmd});
            break;
        case kGoesOn:
            EXPECT_EQ(next.size(), 1u);
            EXPECT_NE(r.dev->poll_state, state);
            break;
        case kEnds:
            EXPECT_TRUE(next.empty());
            EXPECT_EQ(r.dev->poll_state, 0);
            EXPECT_EQ(calls("RoundDone").size(), 3u);
            break;
        }
    }
}

TEST(PollerRejects, RepliesTooShortForTheirHeaderAreRefusedBeforeAnyHookRuns) {
    PollerRig r(settings(1, 1));
    r.pass_model_check();
    struct Step {
        const char* cmd;
        uint8_t cid1;
        Bytes info;
        const char* log;
    };
    const Step steps[] = {
        {"40_41 FF", 0x40, {0x11}, "40_41"},
        {"40_44 FF", 0x40, {0x01}, nullptr},
        {"41_41", 0x41, {}, "p41_41"},
        {"42_41", 0x42, {0x11}, "42_41"},
        {"42_44", 0x42, {0x00}, "42_44"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.cmd);
        advance_to(r, s.cmd);
        const int state = r.dev->poll_state;
        const uint8_t ac_flag = r.dev->ac_dataflag;
        const uint8_t rc_flag = r.dev->rc_dataflag;
        const size_t seen = journal().size();
        r.host->logs.clear();
        r.answer(s.cid1, s.info);
        EXPECT_EQ(journal().size(), seen);  // no hook was called
        EXPECT_TRUE(r.sent().empty());
        EXPECT_EQ(r.dev->poll_state, state);
        EXPECT_EQ(r.dev->resets, 0);
        EXPECT_EQ(r.dev->ac_dataflag, ac_flag);
        EXPECT_EQ(r.dev->rc_dataflag, rc_flag);
        if (s.log)
            EXPECT_EQ(r.log_texts(), Texts{kOverflow + s.log + " overflow memory boundary"});
        else
            EXPECT_TRUE(r.host->logs.empty());
        ASSERT_TRUE(r.refresh());  // the same command goes out again
    }

    // The AC switch states walk only when screens follow DATAFLAG and M.
    PollerRig sw(settings(1, 0));
    sw.pass_model_check();
    advance_to(sw, "40_43 FF");
    sw.answer(0x40, {0x00, 0x01});
    EXPECT_TRUE(calls("40_43").empty());
    EXPECT_EQ(sw.sent(), Texts{"40_44 FF"});
}

TEST(PollerRejects, AScreenNeverGetsANegativeByteCount) {
    PollerRig r(settings(2, 0));
    r.dev->ac_children[0]->script["40_41"] = 50;  // claims more than the reply holds
    r.pass_model_check();
    r.sent();
    r.answer(0x40, screens(0, 2, 2));
    const HookCall* second = find_call("ac12", "40_41");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->len, 0);
    EXPECT_EQ(second->first, -1);
    EXPECT_EQ(r.log_texts(), Texts{kOverflow + "40_41 overflow memory boundary"});
    EXPECT_EQ(r.dev->poll_state, 0);
    EXPECT_TRUE(r.sent().empty());
}

TEST(PollerSettings, ASecondConfigurationReplacesTheChildren) {
    PollerRig r(settings(2, 1));
    ASSERT_TRUE(r.init_ok);
    EXPECT_TRUE(r.dev->InitSetting(settings(1, 2)));
    EXPECT_EQ(r.dev->ac_children.size(), 1u);
    EXPECT_EQ(r.dev->dc_children.size(), 2u);
    ASSERT_TRUE(r.dev->rc_child);
    EXPECT_EQ(r.dev->GetAllChildVDevices().size(), 4u);

    // Without a rectifier setting the rectifier child is gone as well.
    EXPECT_FALSE(r.dev->InitSetting(settings(1, 0, false)));
    EXPECT_EQ(r.dev->ac_children.size(), 1u);
    EXPECT_TRUE(r.dev->dc_children.empty());
    EXPECT_FALSE(r.dev->rc_child);
    const auto all = r.dev->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_FALSE(all.back());

    // Polled all the same, the rectifier replies are refused instead of reaching a missing child.
    r.pass_model_check();
    advance_to(r, "41_41");
    r.answer_for("41_41");
    EXPECT_EQ(r.dev->poll_state, 4);
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.log_texts(), Texts{kOverflow + "p41_41 overflow memory boundary"});
}

}  // namespace
