#pragma once
// What the host shows: one JSON object per line (for programs and pipes), or a live view
// redrawn after each cycle (for a terminal). Both may be called from the serial thread and
// from the history worker at once.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devhost/devhost.h"

namespace zrt::host {

struct CycleStats {
    uint64_t n = 0;
    double duration_ms = 0.0;  // from the cycle's first command to its last publication
    uint64_t tx_bytes = 0;     // bytes written and received since the previous cycle ended
    uint64_t rx_bytes = 0;
    uint64_t bad_frames = 0;   // replies dropped by the frame decoder in this cycle
    uint64_t timeouts = 0;     // replies that never came in this cycle
    uint64_t garbage = 0;      // bytes outside any frame in this cycle
    uint64_t errors() const { return bad_frames + timeouts; }
    uint64_t total_errors = 0;  // since start
};

struct StartInfo {
    std::string plugin, device_type, port;
    uint32_t data_id = 0;
    int baud = 0;
    bool simulated = false;
    std::string plant;  // the simulated plant file
};

struct ValueAnswer {
    std::string device;  // as asked: a data id or "rc"
    uint32_t data_id = 0;
    std::string device_type;
    std::string key;
    std::optional<float> value;
    std::string error;  // when there is no value
};

class Presenter {
public:
    virtual ~Presenter();
    virtual void start(const StartInfo&) = 0;
    virtual void cache(uint32_t data_id, const std::string& device_type, size_t size, bool loaded) = 0;
    virtual void log(const devhost::LogEvent&) = 0;
    virtual void publish(const devhost::ImageEvent&) = 0;
    virtual void saved(const devhost::ImageEvent&) = 0;
    virtual void alarm(const devhost::AlarmEvent&) = 0;
    virtual void cycle(const CycleStats&) = 0;
    virtual void value(const ValueAnswer&) = 0;
    virtual void stop(uint64_t cycles, const std::string& reason) = 0;
};

// Writes whole lines to a file descriptor.
class LineWriter {
public:
    explicit LineWriter(int fd) : fd_(fd) {}
    void write(const std::string& text);

private:
    std::mutex mu_;
    int fd_;
};

std::unique_ptr<Presenter> make_json_presenter(int fd);
std::unique_ptr<Presenter> make_live_presenter(int fd);

}  // namespace zrt::host
