#pragma once
// A text record of both directions of the serial line, one frame a line:
//
//   # zrt4600a wire record
//   0.000000 TX ~20014051000FDAB\r
//   0.031250 RX ~200140000028...\r
//
// Each line is the time in seconds since the record began, the direction (TX: host to
// equipment, RX: equipment to host) and the bytes. Printable characters stand as they are;
// a blank, a backslash and every other byte are escaped (\r, \n, \\, \xHH), so a line holds
// exactly the bytes of the wire. A line ends after a frame's CR, or before a SOI that
// starts a new frame, so garbage and cut-off frames keep lines of their own.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace zrt::wire {

enum class Direction { ToDevice, FromDevice };

struct WireEntry {
    double t = 0.0;
    Direction dir = Direction::ToDevice;
    std::string bytes;
};

class WireLogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string escape_wire(const std::string& bytes);
// Throws WireLogError for a malformed escape.
std::string unescape_wire(const std::string& text);

// Cuts one direction's byte stream into the lines of a record: a line ends after a CR,
// and a SOI starts a new one.
class WireSplitter {
public:
    // The lines completed by these bytes.
    std::vector<std::string> feed(const uint8_t* data, size_t n);
    // What is left of an unfinished line (and forgets it).
    std::string flush();
    bool empty() const { return pending_.empty(); }

private:
    std::string pending_;
};

// Writes a record file. Safe to call from several threads; every line is flushed as it is
// written, so a record survives a killed process.
class WireRecorder {
public:
    // Throws WireLogError when the file cannot be created.
    explicit WireRecorder(const std::string& path);
    ~WireRecorder();
    void add(Direction dir, const uint8_t* data, size_t n);
    // Writes out what is pending in either direction.
    void flush();

private:
    void emit(Direction dir, double t, const std::string& bytes);
    double now() const;

    std::mutex mu_;
    std::ofstream out_;
    std::chrono::steady_clock::time_point start_;
    WireSplitter split_[2];
    double first_[2] = {0.0, 0.0};  // time of the first byte of each unfinished line
};

// Reads a record file. Blank lines and lines starting with '#' are skipped. Throws
// WireLogError naming the line of a malformed entry.
std::vector<WireEntry> read_wire_log(const std::string& path);

}  // namespace zrt::wire
