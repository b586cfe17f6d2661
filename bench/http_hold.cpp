// zrt-bench-http: scrapes of /metrics (and /healthz) while idle clients (connect, send
// nothing) and slow-header clients (a byte of their request head every 200 ms) hold
// connections, each opened again as soon as the server drops it. Prints how many scrapes
// were answered, in how long, and what the server counted in zrt4600a_http_rejected_total.
//   zrt-bench-http [--port P] [--idle 200] [--slow 50] [--seconds 20]
// Without --port it runs the host's HTTP server in process with its default limits;
// with --port it loads a running host on 127.0.0.1:P (zrt4600a-host --simulate --metrics P).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <sys/socket.h>
#include <sys/time.h>

#include "tools/metrics/http_server.h"
#include "tools/metrics/metrics.h"

namespace {

using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::string exchange(uint16_t port, const std::string& request, double timeout_s) {
    asio::io_context io;
    tcp::socket s(io);
    asio::error_code ec;
    s.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return "";
    const timeval t{static_cast<time_t>(timeout_s), static_cast<suseconds_t>((timeout_s - static_cast<int>(timeout_s)) * 1e6)};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    asio::write(s, asio::buffer(request), ec);
    std::string out;
    char buf[16384];
    for (;;) {
        const size_t n = s.read_some(asio::buffer(buf), ec);
        out.append(buf, n);
        if (ec) break;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0, idle_n = 200, slow_n = 50;
    double seconds = 20;
    for (int k = 1; k + 1 < argc; k += 2) {
        const std::string a = argv[k];
        if (a == "--port") port = std::atoi(argv[k + 1]);
        else if (a == "--idle") idle_n = std::atoi(argv[k + 1]);
        else if (a == "--slow") slow_n = std::atoi(argv[k + 1]);
        else if (a == "--seconds") seconds = std::atof(argv[k + 1]);
        else {
            std::fprintf(stderr, "zrt-bench-http: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::unique_ptr<zrt::host::MetricsState> state;
    std::unique_ptr<zrt::host::MetricsServer> server;
    if (port == 0) {
        state = std::make_unique<zrt::host::MetricsState>("bench", 1);
        server = std::make_unique<zrt::host::MetricsServer>(zrt::host::ListenAddress{"127.0.0.1", 0}, *state);
        port = server->port();
    }
    const auto p = static_cast<uint16_t>(port);

    std::atomic<bool> stop{false};
    std::atomic<long> opened{0};
    std::thread pressure([&] {
        asio::io_context io;
        const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), p);
        std::vector<tcp::socket> idle, slow;
        for (int k = 0; k < idle_n; ++k) idle.emplace_back(io);
        for (int k = 0; k < slow_n; ++k) slow.emplace_back(io);
        std::vector<size_t> sent(slow.size(), 0);
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: bench\r\nX-Slow: ";
        auto keep_open = [&](tcp::socket& s) {
            asio::error_code ec;
            if (s.is_open()) {
                char c;
                s.non_blocking(true);
                const size_t n = s.read_some(asio::buffer(&c, 1), ec);
                if (n == 0 && ec == asio::error::would_block) return false;
                s.close(ec);
            }
            s.connect(at, ec);
            ++opened;
            return true;
        };
        int tick = 0;
        while (!stop) {
            for (auto& s : idle) keep_open(s);
            for (size_t k = 0; k < slow.size(); ++k) {
                if (keep_open(slow[k])) sent[k] = 0;
                if (tick % 2) continue;
                const char c = sent[k] < head.size() ? head[sent[k]] : 'x';
                ++sent[k];
                asio::error_code ec;
                asio::write(slow[k], asio::buffer(&c, 1), ec);
            }
            ++tick;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));  // every client connected once
    int tries = 0, answered = 0, health_tries = 0, health_ok = 0;
    std::vector<double> ms;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int round = 0; Clock::now() < end; ++round) {
        const bool health = round % 4 == 3;
        const auto t0 = Clock::now();
        const std::string r =
            exchange(p, health ? "GET /healthz HTTP/1.1\r\n\r\n" : "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n", 5.0);
        const bool ok = r.rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
        if (health) {
            ++health_tries;
            health_ok += ok;
        } else {
            ++tries;
            answered += ok;
            if (ok) ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    pressure.join();

    std::sort(ms.begin(), ms.end());
    std::printf("held: %d idle and %d slow-header clients for %.0f s (%ld connections opened)\n", idle_n, slow_n,
                seconds, opened.load());
    std::printf("/metrics answered: %d of %d scrapes; /healthz: %d of %d\n", answered, tries, health_ok, health_tries);
    if (!ms.empty())
        std::printf("scrape time: median %.1f ms, slowest %.1f ms\n", ms[ms.size() / 2], ms.back());
    const std::string metrics = exchange(p, "GET /metrics HTTP/1.1\r\n\r\n", 5.0);
    for (size_t at = metrics.find("\nzrt4600a_http_rejected_total"); at != std::string::npos;
         at = metrics.find("\nzrt4600a_http_rejected_total", at + 1))
        std::printf("%s\n", metrics.substr(at + 1, metrics.find('\n', at + 1) - at - 1).c_str());
    return answered == tries ? 0 : 1;
}
