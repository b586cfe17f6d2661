// The host's serial line on a pty: its settings, and two power systems on one line, as
// on an RS-485 bus: the plug-in's top devices at
// addresses 1 and 2 share one pty through the development host, the simulator on the other
// side plays the system at address 1, and nobody answers at address 2.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "devhost/devhost.h"
#include "devhost/shared_line.h"
#include "sim/line.h"
#include "sim/simulator.h"
#include "tests/sim/sim_test_util.h"
#include "tools/app/plugin_loader.h"
#include "tools/core/host_error.h"
#include "tools/line/serial_line.h"

namespace {

// The host's end of the pty; remembers the address of every command written.
class PtyLine : public devhost::Transport {
public:
    explicit PtyLine(int fd) : fd_(fd) {}
    bool is_open() const override { return fd_ >= 0; }
    bool write(const uint8_t* data, size_t n) override {
        // "~" VER ADR ...: the address is the second hex byte.
        if (n >= 5) addresses.push_back(static_cast<int>(std::stoi(std::string(reinterpret_cast<const char*>(data) + 3, 2), nullptr, 16)));
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(fd_, data + done, n - done);
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (w > 0) done += static_cast<size_t>(w);
        }
        return true;
    }
    std::vector<int> addresses;

private:
    int fd_;
};

struct CycleCount : devhost::Observer {
    void on_publish(const devhost::ImageEvent& e) override {
        if (e.record_type == 5107) ++cycles[e.data_id];
        if (e.data_id == 21) {
            float v = 0.0f;
            std::memcpy(&v, e.image.data() + 4, 4);
            dc_v = v;
        }
    }
    std::map<uint32_t, int> cycles;  // by the top device's data id
    float dc_v = 0.0f;
};

}  // namespace

TEST(SharedLine, TwoSystemsTakeTurnsAndASilentOneDelaysTheOtherByItsTimeOutsOnly) {
    zrt::sim::Simulator sim(zrt::sim::line_scenario_from_json(sim_test::json(R"({"systems": [
        {"address": 1, "rc": {"group_value": 53.5, "module_count": 2}, "dc": [{"v": 54.25, "i": 10}]}]})")));
    zrt::sim::Pty pty;
    zrt::sim::LineRunner runner(pty.master(), sim, 0, 2);
    std::atomic<bool> stop{false};
    std::thread equipment([&] {
        try {
            runner.run(stop);
        } catch (const std::exception&) {
        }
    });

    const int fd = zrt::sim::open_serial(pty.path(), 9600);
    auto wire = std::make_shared<PtyLine>(fd);
    auto shared = std::make_shared<devhost::SharedLine>(wire);

    zrt::host::Plugin plugin(ZRT_PLUGIN);
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    CycleCount count;
    controller->add_observer(&count);
    std::shared_ptr<TXQSPDevice> a = plugin.create("zrt4600a"), b = plugin.create("zrt4600a");
    ASSERT_TRUE(a->Init(controller, 1,
                        sim_test::json(R"({"address": 1, "dcSetting": [{"data_id": 21}], "rcSetting": {}})")));
    ASSERT_TRUE(b->Init(controller, 2,
                        sim_test::json(R"({"address": 2, "reply_timeout_ms": 150, "dcSetting": [{"data_id": 22}],
                                           "rcSetting": {}})")));
    ASSERT_TRUE(devhost::attach(*a, shared->port(*a)));
    ASSERT_TRUE(devhost::attach(*b, shared->port(*b)));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uint8_t buf[4096];
    while (count.cycles[1] < 3 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) shared->feed(buf, static_cast<size_t>(n));
        }
        // No pause between cycles: the line is busy all the time.
        for (TXQSPDevice* dev : {a.get(), b.get()}) {
            dev->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1);
            dev->RefreshStatus();
        }
    }
    a->ClosePort();
    b->ClosePort();
    stop = true;
    equipment.join();
    ::close(fd);

    EXPECT_EQ(count.cycles[1], 3);
    EXPECT_EQ(count.cycles[2], 0);
    EXPECT_FLOAT_EQ(count.dc_v, 54.25f);
    const auto& sb = devhost::serial_state(*b);
    EXPECT_GT(sb.timeouts, 5u);
    EXPECT_EQ(devhost::serial_state(*a).timeouts, 0u);
    // The silent system's probes never went twice in a row while the other one waited: the
    // other one lost no more than one of its time-outs per command.
    int in_row = 0, most_in_row = 0, to_a = 0, to_b = 0;
    for (int adr : wire->addresses) {
        in_row = adr == 2 ? in_row + 1 : 0;
        most_in_row = std::max(most_in_row, in_row);
        (adr == 1 ? to_a : to_b)++;
    }
    EXPECT_EQ(most_in_row, 1);
    EXPECT_LE(to_b, to_a + 1);
    EXPECT_GT(to_b, 5);
}

TEST(SerialLine, APortThatRefusesRs485IsNamedAndOtherFormatsOpen) {
    using namespace zrt::host;
    // A pty has no RS-485 mode: the refusal names the port and the setting, and trying
    // again cannot help.
    zrt::sim::Pty pty;
    asio::io_context io;
    LineSettings ls;
    ls.rs485 = true;
    try {
        auto line = std::make_shared<SerialLine>(io, pty.path(), ls);
        ADD_FAILURE() << "the pty took the RS-485 request";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), kExitPort);
        EXPECT_TRUE(e.lasting());
        EXPECT_NE(std::string(e.what()).find("the port " + pty.path() + " refuses the setting rs485"),
                  std::string::npos)
            << e.what();
    }
    // A character format the port does not take is named with the port (this kernel's ptys
    // take eight data bits without parity only); one it takes opens.
    ls.rs485 = false;
    ls.data_bits = 7;
    ls.parity = LineSettings::Parity::Odd;
    try {
        auto line = std::make_shared<SerialLine>(io, pty.path(), ls);
        EXPECT_TRUE(line->is_open());  // a port that does take it
    } catch (const PortError& e) {
        EXPECT_NE(std::string(e.what()).find("the port " + pty.path() + " is no serial device: cannot set up 9600 baud 7O1"),
                  std::string::npos)
            << e.what();
    }
    ls.data_bits = 8;
    ls.parity = LineSettings::Parity::None;
    ls.stop_bits = 2;
    auto line = std::make_shared<SerialLine>(io, pty.path(), ls);
    EXPECT_TRUE(line->is_open());
    EXPECT_TRUE(line->write(reinterpret_cast<const uint8_t*>("~x\r"), 3));
    line->flush(devhost::Transport::Both);  // with a write under way
    line->close();
}
