#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/line.h"
#include "base/wire_log.h"
#include "sim_test_util.h"

using namespace sim_test;
using zrt::wire::Direction;

namespace {

std::string temp_path(const char* name) {
    return ::testing::TempDir() + name + std::to_string(::getpid());
}

void add(zrt::wire::WireRecorder& r, Direction d, const std::string& bytes) {
    r.add(d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string reply(uint8_t cid1, std::vector<uint8_t> info) {
    return devhost::encode_frame(0x20, 0x01, cid1, 0, info.data(), info.size());
}

// Reads from `fd` until a CR arrives or `limit` passes.
std::string read_frame(int fd, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.empty() || got.back() != '\r') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

TEST(WireLog, EscapingKeepsEveryByteOnOneLine) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::string text = zrt::wire::escape_wire(all);
    EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos);
    EXPECT_EQ(zrt::wire::unescape_wire(text), all);
    EXPECT_THROW(zrt::wire::unescape_wire("abc\\"), zrt::wire::WireLogError);
    EXPECT_THROW(zrt::wire::unescape_wire("\\x4"), zrt::wire::WireLogError);
    EXPECT_THROW(zrt::wire::unescape_wire("\\q"), zrt::wire::WireLogError);
}

TEST(WireLog, ARecordedSessionIsReplayedReplyForReply) {
    const std::string path = temp_path("session.log");
    const std::string model = command_frame(0x40, 0x51), rc = command_frame(0x41, 0x41);
    const std::string first = reply(0x40, {'a'}), second = reply(0x40, {'b'}), rc_reply = reply(0x41, {1, 2});
    {
        zrt::wire::WireRecorder rec(path);
        add(rec, Direction::ToDevice, model.substr(0, 5));  // a command written in pieces
        add(rec, Direction::ToDevice, model.substr(5));
        add(rec, Direction::FromDevice, "\x01junk" + first.substr(0, 7));
        add(rec, Direction::FromDevice, first.substr(7));
        add(rec, Direction::ToDevice, model);
        add(rec, Direction::FromDevice, second);
        add(rec, Direction::ToDevice, rc);
        add(rec, Direction::FromDevice, rc_reply.substr(0, 9));  // cut off: flushed at the end
    }
    const auto entries = zrt::wire::read_wire_log(path);
    ASSERT_EQ(entries.size(), 7u);  // garbage before a frame keeps a line of its own
    EXPECT_EQ(entries[0].bytes, model);
    EXPECT_EQ(entries[1].bytes, "\x01junk");
    EXPECT_EQ(entries[2].bytes, first);
    EXPECT_EQ(entries[2].dir, Direction::FromDevice);
    EXPECT_EQ(entries[6].bytes, rc_reply.substr(0, 9));
    for (size_t k = 1; k < entries.size(); ++k) EXPECT_GE(entries[k].t, entries[k - 1].t);

    zrt::sim::Simulator sim(std::make_unique<zrt::sim::ReplayResponder>(entries));
    auto answer = [&sim](const std::string& cmd) {
        sim.feed(cmd);
        return sim.take_output();
    };
    EXPECT_EQ(answer(model), "\x01junk" + first);
    EXPECT_EQ(answer(model), second);
    EXPECT_EQ(answer(model), "\x01junk" + first);  // recorded replies come round again
    EXPECT_EQ(answer(rc), rc_reply.substr(0, 9));
    EXPECT_EQ(answer(command_frame(0x42, 0x46)), "");  // never recorded: no reply

    std::ofstream(path) << "0.5 TX ~2001\n0.6 XX ~2001\n";
    EXPECT_THROW(zrt::wire::read_wire_log(path), zrt::wire::WireLogError);
    std::remove(path.c_str());
}

TEST(WireLog, ThePtyLineIsPacedAtTheBaudRateAndSurvivesAReopen) {
    zrt::sim::Pty pty;
    zrt::sim::Simulator sim(std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(json("{}"))));
    zrt::sim::LineRunner runner(pty.master(), sim, 1200, 0);
    std::atomic<bool> stop{false};
    std::thread t([&] { runner.run(stop); });

    for (int round = 0; round < 2; ++round) {
        int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        const std::string cmd = command_frame(0x40, 0x51);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(::write(fd, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
        const std::string got = read_frame(fd, std::chrono::seconds(5));
        const auto took = std::chrono::steady_clock::now() - t0;
        ::close(fd);
        // The model reply is 58 characters: 10 bits each at 1200 baud cannot arrive sooner
        // than 483 ms (the bound allows for the clock's and the scheduler's grain).
        ASSERT_EQ(got.size(), 58u);
        EXPECT_EQ(got.substr(0, 9), "~20014000");
        EXPECT_GE(took, std::chrono::milliseconds(470));
    }
    stop = true;
    t.join();
    EXPECT_EQ(sim.stats().replies, 2u);
}
