#pragma once
// The walk of one parse hook over the info bytes it was given: the one bounded reader of
// every child, with the hook's read-overflow message and its log lines.
#include <cstdint>
#include <cstring>

#include "host/TXQVDevice.h"
#include "common/byte_reader.h"

namespace zrt {

// A ByteReader over the hook's bytes that knows the device it decodes for and the hook's
// read-overflow message ("... read overflow {} - {}": data id, bytes, len). Every hook checks
// before it reads: need(n) before a field (or a block of fields read as one) that takes n
// bytes. When they do not fit, need() logs the overflow message with the bytes the walk would
// have used up to the end of that field and len, and returns false; the hook then gives up
// (-1) before it reads anything past len, and the fields it decoded before keep their new
// values. The take_* and pass reads do the check themselves.
// Pos is the type of the two counts in the overflow line. Log lines go out at once, in the
// order the walk finds them, each with the argument types its call gives.
template <class Pos = int32_t>
class ReplyWalk : public ByteReader {
public:
    ReplyWalk(TXQVDevice& dev, const unsigned char* p, int len, const char* overflow)
        : ByteReader(p, len), dev_(dev), given_len_(len), overflow_(overflow) {}

    bool need(int n) { return need(n, overflow_); }
    // The same check, reported with another text of the same form.
    bool need(int n, const char* overflow) {
        if (__builtin_expect(fits(n), 1)) return true;
        return overflowed(n, overflow);
    }

    // Checked reads: each gives up (false) after need() has logged. Once need() has passed,
    // the bytes lie within len and are read directly.
    bool take_u8(uint8_t& v) {
        if (!need(1)) return false;
        v = *at();
        skip(1);
        return true;
    }
    bool take(void* dst, int n) {
        if (!need(n)) return false;
        if (n > 0) std::memcpy(dst, at(), static_cast<size_t>(n));
        skip(n);
        return true;
    }
    bool pass(int n) {
        if (!need(n)) return false;
        skip(n);
        return true;
    }
    // Steps over `count` values, checked as one block.
    bool pass_values(int count) { return pass(kValueSize * count); }
    // A value copied as received, or `absent` in its place when it carries the
    // no-value pattern.
    bool take_value(void* dst, float absent) {
        if (!need(kValueSize)) return false;
        read_value(static_cast<unsigned char*>(dst), absent);
        return true;
    }
    // `count` such values back to back, checked as one block (reported with `overflow`).
    bool take_values(void* dst, int count, float absent) { return take_values(dst, count, absent, overflow_); }
    bool take_values(void* dst, int count, float absent, const char* overflow) {
        if (!need(kValueSize * count, overflow)) return false;
        unsigned char* d = static_cast<unsigned char*>(dst);
        for (int k = 0; k < count; ++k) read_value(d + kValueSize * k, absent);
        return true;
    }

    // A log line of the hook: the device's data id, then `args` as given.
    template <class... Args>
    void log(const char* format, const Args&... args) {
        dev_.InfoLog(format, dev_.DataId(), args...);
    }

private:
    // The slow side of need(): the overflow line. Kept out of line so that the checks stay
    // small in every hook.
    [[gnu::noinline, gnu::cold]] bool overflowed(int n, const char* overflow) {
        log(overflow, static_cast<Pos>(end_of(n)), static_cast<Pos>(given_len_));
        return false;
    }
    // One value that need() has found within len.
    void read_value(unsigned char* dst, float absent) {
        static_assert(sizeof(float) == kValueSize, "a value is a single-precision float");
        const unsigned char* raw = at();
        if (no_value(raw))
            std::memcpy(dst, &absent, kValueSize);
        else
            std::memcpy(dst, raw, kValueSize);
        skip(kValueSize);
    }

    TXQVDevice& dev_;
    int given_len_;
    const char* overflow_;
};

}  // namespace zrt
