#pragma once
// What the host shows, as sinks of its events: one JSON object per line (for programs and
// pipes), or a live view redrawn after each cycle (for a terminal). Both may be called from
// the serial thread and from the history worker at once.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/core/events.h"

namespace zrt::host {

// Writes whole lines to a file descriptor.
class LineWriter {
public:
    explicit LineWriter(int fd) : fd_(fd) {}
    void write(const std::string& text);

private:
    std::mutex mu_;
    int fd_;
};

std::unique_ptr<Sink> make_json_sink(int fd);
std::unique_ptr<Sink> make_live_sink(int fd);

}  // namespace zrt::host
