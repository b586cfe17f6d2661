#pragma once
// Drives a top device through whole conversations on the in-memory line: what it writes is
// decoded back into command texts ("40_41 FF"), and replies are framed and injected.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include "devhost/devhost.h"
#include "common/cycle_end.h"
#include "recording_children.h"

using Bytes = std::vector<uint8_t>;

constexpr unsigned kTopId = 100;

// DATAFLAG, the screen count M, then `count` blocks of kScreenBytes bytes; block i holds
// 0xA0 + i throughout, so a hook's first byte tells which block it was handed.
inline Bytes screens(uint8_t flag, int m, int count) {
    Bytes b{flag, static_cast<uint8_t>(m)};
    for (int i = 0; i < count; ++i) b.insert(b.end(), kScreenBytes, static_cast<uint8_t>(0xA0 + i));
    return b;
}

// DATAFLAG followed by three value bytes.
inline Bytes flagged(uint8_t flag) { return Bytes{flag, 0x11, 0x22, 0x33}; }

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Top-level settings with `n_ac` AC children (ids 11, 12, ...), `n_dc` DC children (ids 21,
// 22, ...) and, when asked, the rectifier child. The host leaves data_ready alone, and
// lets a command go right after a reply (no quiet guard time: these lines have no wire).
inline Json::Value settings(int n_ac, int n_dc, bool with_rc = true) {
    Json::Value s(Json::objectValue);
    s["auto_data_ready"] = false;
    s["guard_ms"] = 0;
    for (int i = 0; i < n_ac; ++i) s["acSetting"][i]["data_id"] = 11 + i;
    for (int i = 0; i < n_dc; ++i) s["dcSetting"][i]["data_id"] = 21 + i;
    if (with_rc) s["rcSetting"] = Json::Value(Json::objectValue);
    return s;
}

inline boost::posix_time::ptime long_ago() { return zrt::local_now() - boost::posix_time::hours(1); }

template <class Dev>
struct Rig {
    std::shared_ptr<devhost::Controller> host = std::make_shared<devhost::Controller>();
    std::shared_ptr<devhost::MemoryTransport> line = std::make_shared<devhost::MemoryTransport>();
    std::shared_ptr<Dev> dev;
    // DATAFLAG bytes of the generated replies.
    uint8_t ac_flag = 0, rc_flag = 0, dc_flag = 0;

    template <class... A>
    explicit Rig(const Json::Value& s, A&&... args) : dev(std::make_shared<Dev>(std::forward<A>(args)...)) {
        journal().clear();
        init_ok = dev->Init(host, kTopId, s);
        devhost::attach(*dev, line);
    }
    bool init_ok = false;

    // Commands written since the last call.
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        devhost::FrameDecoder dec([&](const devhost::Frame& f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02X_%02X", f.cid1, f.cid2);
            std::string cmd = buf;
            for (uint8_t b : f.info) {
                std::snprintf(buf, sizeof buf, " %02X", b);
                cmd += buf;
            }
            out.push_back(cmd);
        });
        dec.feed(reinterpret_cast<const uint8_t*>(line->written.data()), line->written.size());
        line->clear();
        return out;
    }

    // A refresh that the 2-second rule does not hold back.
    bool refresh() {
        dev->last_update = long_ago();
        return dev->RefreshStatus();
    }

    void answer(uint8_t cid1, const Bytes& info, uint8_t rtn = 0) {
        devhost::inject(*dev, devhost::encode_frame(0x20, devhost::address(*dev), cid1, rtn, info.data(), info.size()));
    }

    // A well-formed reply to `cmd` for the configured children.
    void answer_for(const std::string& cmd) {
        const unsigned cid1 = std::stoul(cmd.substr(0, 2), nullptr, 16);
        const std::string cid2 = cmd.substr(3, 2);
        const int n_ac = static_cast<int>(dev->ac_children.size());
        const int n_dc = static_cast<int>(dev->dc_children.size());
        Bytes info;
        if (cid2 == "51")
            info = text("zrt4600a");
        else if (cid2 == "46")
            info = flagged(0);
        else if (cid1 == 0x40)
            info = screens(ac_flag, n_ac, n_ac);
        else if (cid1 == 0x41)
            info = flagged(rc_flag);
        else
            info = screens(dc_flag, n_dc, n_dc);
        answer(static_cast<uint8_t>(cid1), info);
    }

    // Answers every command with a well-formed reply until the device sends none; returns
    // the commands in order.
    std::vector<std::string> converse() {
        std::vector<std::string> path;
        auto cmds = sent();
        while (cmds.size() == 1 && path.size() < 20) {
            path.push_back(cmds[0]);
            answer_for(cmds[0]);
            cmds = sent();
        }
        EXPECT_TRUE(cmds.empty()) << "more than one command outstanding";
        return path;
    }

    void pass_model_check() {
        ASSERT_TRUE(refresh());
        ASSERT_EQ(sent(), std::vector<std::string>{"40_51"});
        answer(0x40, text("zrt4600a"));
    }

    // One whole cycle from its first command; the model check must be done.
    std::vector<std::string> cycle() {
        EXPECT_TRUE(refresh());
        return converse();
    }

    std::vector<std::string> log_texts() const {
        std::vector<std::string> out;
        for (const auto& l : host->logs) out.push_back(l.text);
        return out;
    }
};

// "who what" of each journal entry, optionally only those of one hook.
inline std::vector<std::string> calls(const std::string& what = "") {
    std::vector<std::string> out;
    for (const auto& c : journal())
        if (what.empty() || c.what == what) out.push_back(c.who + " " + c.what);
    return out;
}
