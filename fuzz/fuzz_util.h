#pragma once
// Pieces every fuzz target shares: the input read as a stream of operations, exact-size
// heap copies (so that AddressSanitizer sees a read one byte past the end), a property
// check that stops the run, and silencing of the plug-in's trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace zrt::fuzz {

// A broken property is a finding: stop here so that libFuzzer keeps the input.
#define ZRT_FUZZ_CHECK(cond)           \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

// Trace lines go to standard output; at fuzzing speed they would drown libFuzzer's own
// report, which goes to standard error, and every flushed line would cost a write. So
// std::cout writes into a stream buffer that keeps nothing (its flush is free), and the C
// stream goes to /dev/null through a 64 KiB buffer. The lines are still formatted, so the
// code that makes them is fuzzed too.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void quiet_stdout() {
    static NullBuffer nowhere;
    std::cout.rdbuf(&nowhere);
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

// The same bytes for each of the N small arguments a seed builder takes, made once per run.
template <size_t N, class Make>
std::array<std::vector<uint8_t>, N> table_of(Make make) {
    std::array<std::vector<uint8_t>, N> out;
    for (size_t i = 0; i < N; ++i) out[i] = make(static_cast<int>(i));
    return out;
}

// Bytes on the heap in a block of exactly their size.
class HeapBytes {
public:
    HeapBytes(const uint8_t* p, size_t n) : n_(n), buf_(new unsigned char[n]) {
        if (n) std::memcpy(buf_.get(), p, n);
    }
    explicit HeapBytes(const std::vector<uint8_t>& v) : HeapBytes(v.data(), v.size()) {}
    const unsigned char* data() const { return buf_.get(); }
    int size() const { return static_cast<int>(n_); }

private:
    size_t n_;
    std::unique_ptr<unsigned char[]> buf_;
};

// Reads the fuzz input as operations: an operation byte, then, for operations that take
// bytes, a 16-bit little-endian length (clipped to what is left) and that many bytes.
// Reading past the end yields zeros and empty payloads.
class OpReader {
public:
    OpReader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool more() const { return pos_ < n_; }
    uint8_t byte() { return pos_ < n_ ? p_[pos_++] : 0; }
    std::vector<uint8_t> payload() {
        size_t len = byte();
        len |= static_cast<size_t>(byte()) << 8;
        if (len > n_ - pos_) len = n_ - pos_;
        std::vector<uint8_t> out(p_ + pos_, p_ + pos_ + len);
        pos_ += len;
        return out;
    }
    std::string text() {
        std::vector<uint8_t> b = payload();
        return std::string(b.begin(), b.end());
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

// The writing side of OpReader, for the seed corpus.
class OpWriter {
public:
    OpWriter& op(uint8_t code) {
        out_.push_back(code);
        return *this;
    }
    OpWriter& payload(const std::vector<uint8_t>& b) {
        out_.push_back(static_cast<uint8_t>(b.size() & 0xFF));
        out_.push_back(static_cast<uint8_t>(b.size() >> 8));
        out_.insert(out_.end(), b.begin(), b.end());
        return *this;
    }
    OpWriter& op(uint8_t code, const std::vector<uint8_t>& b) { return op(code).payload(b); }
    OpWriter& text(const std::string& s) { return payload(std::vector<uint8_t>(s.begin(), s.end())); }
    const std::vector<uint8_t>& bytes() const { return out_; }

private:
    std::vector<uint8_t> out_;
};

}  // namespace zrt::fuzz
