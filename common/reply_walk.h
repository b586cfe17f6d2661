#pragma once
// The walk of one parse hook over the info bytes it was given: the one bounded reader of
// every child, with the hook's read-overflow message and its log lines.
#include <cstdint>
#include <cstring>

#include "host/TXQVDevice.h"
#include "common/byte_reader.h"

namespace zrt {

// A ByteReader over the hook's bytes that knows the device it decodes for and the hook's
// read-overflow message ("... read overflow {} - {}": data id, bytes, len). Replies bound
// their fields in one of two ways, and the walk offers both:
//  - need(n) before a field: when the next n bytes do not fit, it logs the message with the
//    bytes the walk would have used up to the end of that field and returns false, and the
//    hook gives up before it reads anything past len;
//  - overran() after fields read with zero padding (ByteReader reads what lies past len as
//    zeros): when the cursor lies beyond len, it logs the message with the cursor and
//    returns true.
// Pos is the type of the two counts in the overflow line. Log lines go out at once, in the
// order the walk finds them, each with the argument types its call gives.
template <class Pos = int32_t>
class ReplyWalk : public ByteReader {
public:
    ReplyWalk(TXQVDevice& dev, const unsigned char* p, int len, const char* overflow)
        : ByteReader(p, len), dev_(dev), given_len_(len), overflow_(overflow) {}

    // The count the hook was given (ByteReader::len() reads a negative one as 0).
    int given_len() const { return given_len_; }

    bool need(int n) {
        if (fits(n)) return true;
        overflow_line(overflow_, end_of(n));
        return false;
    }
    bool overran() { return overran(overflow_); }
    // The same test with another text of the same form.
    bool overran(const char* text) {
        if (pos() <= len()) return false;
        overflow_line(text, pos());
        return true;
    }

    // Checked reads: each gives up (false) after need() has logged.
    bool take_u8(uint8_t& v) {
        if (!need(1)) return false;
        v = u8();
        return true;
    }
    bool take(void* dst, int n) {
        if (!need(n)) return false;
        copy(dst, n);
        return true;
    }
    bool pass(int n) {
        if (!need(n)) return false;
        skip(n);
        return true;
    }
    // A 4-byte value copied as received, or `absent` in its place when it carries the
    // no-value pattern.
    bool take_value(void* dst, float absent) {
        if (!need(4)) return false;
        unsigned char raw[4];
        if (value4(raw))
            std::memcpy(dst, &absent, 4);
        else
            std::memcpy(dst, raw, 4);
        return true;
    }

    // A log line of the hook: the device's data id, then `args` as given.
    template <class... Args>
    void log(const char* format, const Args&... args) {
        dev_.InfoLog(format, dev_.DataId(), args...);
    }

private:
    void overflow_line(const char* text, int at) { log(text, static_cast<Pos>(at), static_cast<Pos>(given_len_)); }

    TXQVDevice& dev_;
    int given_len_;
    const char* overflow_;
};

}  // namespace zrt
