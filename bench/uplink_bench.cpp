// zrt-bench-uplink: what the uplink sends in a day of the reference site, and a fleet of
// uplinks against one broker.
//
// Day: the reference site's images (from real cycles against the simulator), jittering as
// a real site's do (the history benchmark's model: a daily load curve, slow wander, last
// digits flickering), one cycle every 2.5 s for a day, go through the uplink sink into a
// mosquitto started here on a free loopback port, through a proxy that counts every byte
// each way. The figure is what went over the link: every MQTT packet (CONNECT, PUBLISH with
// its topic or topic alias, PUBACK, SUBSCRIBE ...) as counted there, plus the keep-alive
// pings a real day adds (the compressed day has no quiet spells); TCP/IP headers are not
// counted. The day runs over MQTT 5 (topic aliases) and again over 3.1.1 (a broker
// without MQTT 5, topics in full).
//
// Fleet: N uplinks (each its own node id, fed from the same plant model with its own
// jitter seed) publish a cycle every 2.5 s for S seconds against one mosquitto; a
// subscriber checks that every message arrived, in seq order per node.
//
//   zrt-bench-uplink day [DIR]
//   zrt-bench-uplink fleet SITES SECONDS [DIR]
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "bench/reference.h"
#include "bench/site_model.h"
#include "power/zrt4600a.h"
#include "tools/core/image_decode.h"
#include "tools/uplink/sparkplug.h"
#include "tools/uplink/uplink_sink.h"

namespace {

using zrt::bench::Image;
using zrt::bench::Jitter;
using zrt::bench::kCycleMs;
using zrt::bench::kDayMs;
using zrt::bench::reference_images;

int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// Forwards each client connection to the broker, one at a time, and counts the bytes each
// way.
class CountingProxy {
public:
    explicit CountingProxy(int broker_port) : broker_port_(broker_port) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        listen(listen_, 4);
        thread_ = std::thread([this] { run(); });
    }
    ~CountingProxy() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    int port() const { return port_; }
    uint64_t to_broker() const { return up_; }
    uint64_t from_broker() const { return down_; }

private:
    void run() {
        while (!stop_) {
            pollfd l{listen_, POLLIN, 0};
            if (poll(&l, 1, 100) <= 0) continue;
            const int client = accept(listen_, nullptr, nullptr);
            if (client < 0) continue;
            const int broker = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(broker_port_));
            if (::connect(broker, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) pump(client, broker);
            close(broker);
            close(client);
        }
    }
    void pump(int client, int broker) {
        char buf[16384];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {broker, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0) continue;
            for (int k = 0; k < 2; ++k) {
                if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(p[k].fd, buf, sizeof buf);
                if (n <= 0) return;
                const int to = k == 0 ? broker : client;
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
                    if (w <= 0) return;
                    done += w;
                }
                (k == 0 ? up_ : down_) += static_cast<uint64_t>(n);
            }
        }
    }
    int listen_ = -1, port_ = 0, broker_port_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> up_{0}, down_{0};
    std::thread thread_;
};

pid_t start_broker(const std::string& dir, int port) {
    const std::string conf = dir + "/zrt-bench-uplink-mosquitto.conf";
    std::ofstream(conf) << "listener " << port << " 127.0.0.1\npersistence false\nallow_anonymous true\n"
                        << "max_queued_messages 100000\n";
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string log = dir + "/zrt-bench-uplink-mosquitto.log";
        freopen(log.c_str(), "w", stdout);
        freopen(log.c_str(), "a", stderr);
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return pid;
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> f;
    size_t at = close + 2;
    while (at < s.size()) {
        const size_t sp = s.find(' ', at);
        f.push_back(s.substr(at, sp - at));
        if (sp == std::string::npos) break;
        at = sp + 1;
    }
    // utime and stime are fields 14 and 15; f[0] is field 3.
    return f.size() > 13 ? (std::stod(f[11]) + std::stod(f[12])) / sysconf(_SC_CLK_TCK) : 0;
}

zrt::host::StartInfo start_info(const std::vector<Image>& refs) {
    zrt::host::StartInfo info;
    info.device_type = "zrt4600a";
    info.data_id = 1;
    info.systems.push_back({1, 1, ""});
    for (const Image& im : refs) info.system_of[im.data_id] = 0;
    info.system_of[1] = 0;
    return info;
}

zrt::uplink::UplinkOptions options(int port, const std::string& node) {
    zrt::uplink::UplinkOptions o;
    o.settings.url = "mqtt://127.0.0.1:" + std::to_string(port);
    o.settings.broker = zrt::uplink::parse_broker_url(o.settings.url);
    o.settings.replay_hours = 0;
    o.node = node;
    return o;
}

bool wait_connected(zrt::uplink::UplinkSink& s, int seconds) {
    for (int k = 0; k < seconds * 10; ++k) {
        if (s.status().connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void feed(zrt::uplink::UplinkSink& sink, std::vector<Image>& images, const std::vector<Image>& refs, Jitter& j,
          int64_t t) {
    for (size_t k = 0; k < images.size(); ++k) {
        j.apply(images[k], refs[k], t);
        const devhost::ImageEvent raw{images[k].data_id, images[k].device_type, images[k].record_type, images[k].bytes};
        const zrt::host::DecodedImage d = zrt::host::decode_image(raw.record_type, raw.image);
        sink.image({raw, d, false});
    }
}

struct DayFigures {
    bool ok = false;
    bool mqtt5 = false;
    uint64_t messages = 0, births = 0, up = 0, down = 0, counted = 0;
};

// One day through the proxy: over MQTT 5 when the broker takes it, or 3.1.1 only.
DayFigures one_day(const std::vector<Image>& refs, int broker_port, bool mqtt5) {
    DayFigures f;
    CountingProxy proxy(broker_port);
    zrt::uplink::UplinkOptions o = options(proxy.port(), "bench");
    o.mqtt5 = mqtt5;
    {
        zrt::uplink::UplinkSink sink(o, [](int, const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); });
        sink.start(start_info(refs));
        if (!wait_connected(sink, 10)) {
            std::fprintf(stderr, "zrt-bench-uplink: no connection to the broker on port %d\n", broker_port);
            return f;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        f.births = proxy.to_broker();
        std::vector<Image> images = refs;
        Jitter j(20261201);
        const int64_t cycles = kDayMs / kCycleMs;
        for (int64_t c = 0; c < cycles; ++c) {
            feed(sink, images, refs, j, c * kCycleMs);
            // Let the client write: a real day has 2.5 s between cycles.
            if (c % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const zrt::uplink::UplinkStatus s = sink.status();
        f.messages = s.messages;
        f.mqtt5 = s.mqtt5;
        f.counted = s.sent_bytes;
    }  // the NDEATH and DISCONNECT belong to the day too
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    f.up = proxy.to_broker();
    f.down = proxy.from_broker();
    f.ok = true;
    return f;
}

int day(const std::vector<Image>& refs, const std::string& dir) {
    const int port = free_port();
    const pid_t broker = start_broker(dir, port);
    const DayFigures v5 = one_day(refs, port, true);
    const DayFigures v3 = v5.ok ? one_day(refs, port, false) : DayFigures{};
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    if (!v5.ok || !v3.ok) return 1;
    // PINGREQ and PINGRESP, two bytes each, at most every 30 s of a quiet link.
    const uint64_t pings = 4 * (kDayMs / 1000 / 30);
    const auto mb = [](uint64_t b) { return b / 1e6; };
    const auto ull = [](uint64_t b) { return static_cast<unsigned long long>(b); };
    std::printf("reference site's jittering day: %lld cycles, %llu messages; CONNECT, SUBSCRIBE and NBIRTH %llu bytes\n",
                static_cast<long long>(kDayMs / kCycleMs), ull(v5.messages), ull(v5.births));
    std::printf("  on the wire (counted by a proxy): to the broker %llu + from it %llu bytes, + keep-alive pings %llu"
                " (the uplink's own count of its PUBLISH packets: %llu)\n",
                ull(v5.up), ull(v5.down), ull(pings), ull(v5.counted));
    const uint64_t total = v5.up + v5.down + pings;
    std::printf("uplink bytes a day: %llu (%.2f MB; aim: 2 MB; %s)\n", ull(total), mb(total),
                v5.mqtt5 ? "MQTT 5, topic aliases" : "the broker took only MQTT 3.1.1");
    const uint64_t total3 = v3.up + v3.down + pings;
    std::printf("  over MQTT 3.1.1 (a broker without MQTT 5, topics in full): %llu (%.2f MB), %llu messages\n",
                ull(total3), mb(total3), ull(v3.messages));
    return 0;
}

// Counts every message per node and checks its seq follows the one before.
struct Checker {
    std::mutex mu;
    std::map<std::string, int> last_seq;
    uint64_t messages = 0, gaps = 0;
    static void on_message(struct mosquitto*, void* obj, const struct mosquitto_message* m) {
        auto* self = static_cast<Checker*>(obj);
        const std::string topic = m->topic;
        std::string payload(static_cast<const char*>(m->payload), m->payloadlen);
        // spBv1.0/<group>/<type>/<node>[/<device>]
        const size_t a = topic.find('/', 8), b = topic.find('/', a + 1), c = topic.find('/', b + 1);
        const std::string type = topic.substr(a + 1, b - a - 1);
        const std::string node = topic.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
        if (type == "NDEATH") return;
        // The seq is field 3 after the metrics; read the last varint field 3 of the payload.
        int seq = -1;
        for (size_t k = 0; k + 1 < payload.size();) {
            // A light scan: a payload field key, then its body.
            const uint8_t key = static_cast<uint8_t>(payload[k]);
            uint64_t v = 0;
            size_t n = k + 1;
            int shift = 0;
            const uint32_t wire = key & 7;
            if (wire == 0 || wire == 2) {
                while (n < payload.size()) {
                    const uint8_t byte = static_cast<uint8_t>(payload[n++]);
                    v |= static_cast<uint64_t>(byte & 0x7F) << shift;
                    shift += 7;
                    if (!(byte & 0x80)) break;
                }
            }
            if (key == (3 << 3)) seq = static_cast<int>(v);
            k = wire == 2 ? n + v : n;
        }
        std::lock_guard<std::mutex> lock(self->mu);
        ++self->messages;
        auto it = self->last_seq.find(node);
        if (type == "NBIRTH") {
            self->last_seq[node] = seq;
        } else if (it != self->last_seq.end()) {
            if (seq != (it->second + 1) % 256) ++self->gaps;
            it->second = seq;
        }
    }
};

int fleet(const std::vector<Image>& refs, int sites, int seconds, const std::string& dir) {
    const int port = free_port();
    const pid_t broker = start_broker(dir, port);
    mosquitto_lib_init();
    Checker check;
    struct mosquitto* sub = mosquitto_new("fleet-check", true, &check);
    mosquitto_message_callback_set(sub, Checker::on_message);
    mosquitto_connect(sub, "127.0.0.1", port, 30);
    mosquitto_subscribe(sub, nullptr, "spBv1.0/#", 1);
    mosquitto_loop_start(sub);

    std::vector<std::unique_ptr<zrt::uplink::UplinkSink>> sinks;
    for (int k = 0; k < sites; ++k) {
        sinks.push_back(std::make_unique<zrt::uplink::UplinkSink>(options(port, "site-" + std::to_string(k)),
                                                                  [](int, const std::string&) {}));
        sinks.back()->start(start_info(refs));
    }
    int up = 0;
    for (auto& s : sinks) up += wait_connected(*s, 20) ? 1 : 0;
    const double cpu0 = cpu_seconds(broker);
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t m0;
    {
        std::lock_guard<std::mutex> lock(check.mu);
        m0 = check.messages;
    }
    std::vector<std::vector<Image>> images(sites, refs);
    std::vector<Jitter> jitters;
    for (int k = 0; k < sites; ++k) jitters.emplace_back(1000 + k);
    int64_t c = 0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(seconds)) {
        const auto next = t0 + std::chrono::milliseconds(kCycleMs * (c + 1));
        for (int k = 0; k < sites; ++k) feed(*sinks[k], images[k], refs, jitters[k], c * kCycleMs);
        ++c;
        std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds(broker) - cpu0;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    uint64_t sent = 0, sent_bytes = 0;
    for (auto& s : sinks) {
        const auto st = s->status();
        sent += st.messages;
        sent_bytes += st.sent_bytes;
    }
    sinks.clear();  // NDEATHs
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::lock_guard<std::mutex> lock(check.mu);
    std::printf("fleet: %d sites (%d connected) against one mosquitto on loopback, %.0f s, a cycle every %.1f s\n",
                sites, up, wall, kCycleMs / 1000.0);
    std::printf("  messages a second: %.0f (%.0f KB/s), broker CPU: %.1f %% of one core\n",
                (check.messages - m0) / wall, sent_bytes / 1e3 / wall, 100.0 * cpu / wall);
    std::printf("  sent %llu messages, received %llu, seq gaps %llu\n", static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(check.messages), static_cast<unsigned long long>(check.gaps));
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    return check.gaps == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // The plug-in's trace lines of the reference cycles go nowhere; the figures to the
    // standard output.
    const int figures = zrt::bench::divert_trace_lines();
    const std::vector<Image> refs = reference_images();
    if (figures >= 0) dup2(figures, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string what = argc > 1 ? argv[1] : "day";
    if (what == "day") return day(refs, argc > 2 ? argv[2] : "/tmp");
    if (what == "fleet" && argc > 3)
        return fleet(refs, std::stoi(argv[2]), std::stoi(argv[3]), argc > 4 ? argv[4] : "/tmp");
    std::fprintf(stderr, "usage: zrt-bench-uplink day [DIR] | fleet SITES SECONDS [DIR]\n");
    return 2;
}
