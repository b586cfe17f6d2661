#pragma once
// The simulator's side of a serial line: a pseudo-terminal pair or a real serial device,
// and the loop that reads commands and writes replies at the pace of the wire.
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include <termios.h>

#include "sim/simulator.h"
#include "base/wire_log.h"

namespace zrt::sim {

class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A pseudo-terminal pair in raw mode. The equipment works the master side; a host opens
// path(). The slave stays open here as well, so that the master never sees a hang-up while
// one host closes the line and the next opens it.
class Pty {
public:
    Pty();  // throws LineError
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int master() const { return master_; }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The termios speed for a baud rate; throws LineError for a rate termios does not offer.
speed_t baud_constant(int baud);

// Opens a serial device in raw mode, 8N1, at `baud`, non-blocking. Throws LineError.
int open_serial(const std::string& path, int baud);

// Runs a simulator on a line until `stop` is set: reads commands, and sends each reply
// after the equipment's turnaround at the line's pace, 10 bits a byte at `baud` (0: as fast
// as the descriptor takes them), so that timings on a pty are those of the real wire.
class LineRunner {
public:
    LineRunner(int fd, Simulator& sim, int baud, int reply_delay_ms);
    // Throws LineError when the line fails.
    void run(const std::atomic<bool>& stop);

    // Every chunk read or written, for traces and records.
    std::function<void(wire::Direction, const std::string&)> on_bytes;

private:
    int fd_;
    Simulator& sim_;
    std::chrono::nanoseconds byte_time_;
    std::chrono::milliseconds reply_delay_;
};

}  // namespace zrt::sim
