#include "sim/line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zrt::sim {
namespace {

using Clock = std::chrono::steady_clock;

std::string os_error(const std::string& what) { return what + ": " + std::strerror(errno); }

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) throw LineError(os_error("tcgetattr"));
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) throw LineError(os_error("tcsetattr"));
}

}  // namespace

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) throw LineError(os_error("posix_openpt"));
    try {
        if (grantpt(master_) != 0 || unlockpt(master_) != 0) throw LineError(os_error("grantpt/unlockpt"));
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) throw LineError(os_error("ptsname"));
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
        if (slave_ < 0) throw LineError(os_error("open " + path_));
        make_raw(slave_);
        if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) throw LineError(os_error("fcntl"));
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
    } catch (...) {
        if (slave_ >= 0) ::close(slave_);
        ::close(master_);
        throw;
    }
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

speed_t baud_constant(int baud) {
    static const std::pair<int, speed_t> kRates[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
        {921600, B921600},
    };
    for (const auto& [rate, constant] : kRates)
        if (rate == baud) return constant;
    throw LineError("unsupported baud rate " + std::to_string(baud));
}

int open_serial(const std::string& path, int baud) {
    const speed_t speed = baud_constant(baud);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw LineError(os_error("open " + path));
    try {
        make_raw(fd);
        termios t{};
        tcgetattr(fd, &t);
        t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        t.c_cflag |= CS8;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        if (tcsetattr(fd, TCSANOW, &t) != 0) throw LineError(os_error("tcsetattr " + path));
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

LineRunner::LineRunner(int fd, Simulator& sim, int baud, int reply_delay_ms)
    : fd_(fd),
      sim_(sim),
      byte_time_(baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / baud) : std::chrono::nanoseconds(0)),
      reply_delay_(std::max(0, reply_delay_ms)) {}

void LineRunner::run(const std::atomic<bool>& stop) {
    struct Pending {
        Clock::time_point due;
        std::string bytes;
        size_t sent = 0;
    };
    std::deque<Pending> queue;
    // The line is busy until the bytes written so far have gone out at the baud rate.
    Clock::time_point line_free = Clock::now();
    constexpr auto kSlack = std::chrono::milliseconds(1);
    // Bytes per write: about 2 ms of the wire, at least one.
    const size_t chunk = byte_time_.count() > 0
                             ? std::max<size_t>(1, static_cast<size_t>(std::chrono::nanoseconds(2'000'000) / byte_time_))
                             : 4096;
    char buf[4096];

    while (!stop.load()) {
        Clock::time_point now = Clock::now();
        bool blocked = false;
        if (!queue.empty() && queue.front().due <= now && line_free <= now + kSlack) {
            Pending& p = queue.front();
            const size_t n = std::min(chunk, p.bytes.size() - p.sent);
            ssize_t w = ::write(fd_, p.bytes.data() + p.sent, n);
            if (w > 0) {
                if (on_bytes) on_bytes(wire::Direction::FromDevice, p.bytes.substr(p.sent, static_cast<size_t>(w)));
                p.sent += static_cast<size_t>(w);
                line_free = std::max(line_free, now) + byte_time_ * w;
                if (p.sent == p.bytes.size()) queue.pop_front();
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) throw LineError(os_error("write"));
            blocked = true;  // the other side is not reading: try again shortly
        }

        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(100));
        if (blocked) {
            wait = std::chrono::milliseconds(1);
        } else if (!queue.empty()) {
            Clock::time_point next = std::max(queue.front().due, line_free - kSlack);
            wait = std::clamp<std::chrono::nanoseconds>(next - now, std::chrono::nanoseconds(0), wait);
        }
        pollfd pfd{fd_, POLLIN, 0};
        timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
        int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw LineError(os_error("poll"));
        }
        if (r == 0) continue;
        if (pfd.revents & POLLIN) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                if (on_bytes) on_bytes(wire::Direction::ToDevice, std::string(buf, static_cast<size_t>(n)));
                sim_.feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
                std::string out = sim_.take_output();
                if (!out.empty()) queue.push_back(Pending{Clock::now() + reply_delay_, std::move(out)});
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) throw LineError(os_error("read"));
        }
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (pfd.revents & POLLNVAL) throw LineError("the line was closed");
            // Nobody on the other end (yet): do not spin.
            timespec idle{0, 10'000'000};
            nanosleep(&idle, nullptr);
        }
    }
}

}  // namespace zrt::sim
