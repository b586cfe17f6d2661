#include "base/wire_log.h"

#include <cstdio>
#include <sstream>

namespace zrt::wire {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* dir_text(Direction d) { return d == Direction::ToDevice ? "TX" : "RX"; }

}  // namespace

std::string escape_wire(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c > 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string unescape_wire(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i + 1 >= text.size()) throw WireLogError("escape at the end of the line");
        char e = text[++i];
        if (e == 'r') {
            out.push_back('\r');
        } else if (e == 'n') {
            out.push_back('\n');
        } else if (e == '\\') {
            out.push_back('\\');
        } else if (e == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2])));
            i += 2;
        } else {
            throw WireLogError(std::string("unknown escape \\") + e);
        }
    }
    return out;
}

WireRecorder::WireRecorder(const std::string& path)
    : out_(path, std::ios::out | std::ios::trunc), start_(std::chrono::steady_clock::now()) {
    if (!out_) throw WireLogError("cannot create the record file " + path);
    out_ << "# zrt4600a wire record\n# time_s dir bytes (TX: host to equipment, RX: equipment to host)\n";
    out_.flush();
}

WireRecorder::~WireRecorder() { flush(); }

double WireRecorder::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::vector<std::string> WireSplitter::feed(const uint8_t* data, size_t n) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '~' && !pending_.empty()) lines.push_back(flush());  // what came before stands alone
        pending_.push_back(c);
        if (c == '\r') lines.push_back(flush());
    }
    return lines;
}

std::string WireSplitter::flush() {
    std::string out;
    out.swap(pending_);
    return out;
}

void WireRecorder::emit(Direction dir, double t, const std::string& bytes) {
    if (bytes.empty()) return;
    char ts[32];
    std::snprintf(ts, sizeof ts, "%.6f", t);
    out_ << ts << ' ' << dir_text(dir) << ' ' << escape_wire(bytes) << '\n';
    out_.flush();
}

void WireRecorder::add(Direction dir, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    const int d = static_cast<int>(dir);
    const double t = now();
    if (split_[d].empty()) first_[d] = t;
    for (const std::string& line : split_[d].feed(data, n)) {
        emit(dir, first_[d], line);
        first_[d] = t;
    }
}

void WireRecorder::flush() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int d = 0; d < 2; ++d) emit(static_cast<Direction>(d), first_[d], split_[d].flush());
}

std::vector<WireEntry> read_wire_log(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw WireLogError("cannot read the record file " + path);
    std::vector<WireEntry> out;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        WireEntry e;
        std::string dir, text;
        if (!(ls >> e.t >> dir >> text) || (dir != "TX" && dir != "RX")) {
            throw WireLogError(path + ":" + std::to_string(number) + ": expected <time> TX|RX <bytes>");
        }
        e.dir = dir == "TX" ? Direction::ToDevice : Direction::FromDevice;
        try {
            e.bytes = unescape_wire(text);
        } catch (const WireLogError& err) {
            throw WireLogError(path + ":" + std::to_string(number) + ": " + err.what());
        }
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace zrt::wire
