#include "tools/uplink/sparkplug.h"

#include <cmath>
#include <cstring>

namespace zrt::uplink {
namespace {

enum Wire : uint32_t { Varint = 0, Fixed64 = 1, Bytes = 2, Fixed32 = 5 };

class Writer {
public:
    void varint(uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<char>(v));
    }
    void tag(uint32_t field, Wire w) { varint((static_cast<uint64_t>(field) << 3) | w); }
    void u64(uint32_t field, uint64_t v) {
        tag(field, Varint);
        varint(v);
    }
    void boolean(uint32_t field, bool v) { u64(field, v ? 1 : 0); }
    void bytes(uint32_t field, const std::string& s) {
        tag(field, Bytes);
        varint(s.size());
        out += s;
    }
    void f32(uint32_t field, float f) {
        tag(field, Fixed32);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(u >> (8 * i)));
    }
    void f64(uint32_t field, double d) {
        tag(field, Fixed64);
        uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(u >> (8 * i)));
    }
    std::string out;
};

std::string property_set(const std::vector<Property>& props) {
    Writer w;
    for (const Property& p : props) w.bytes(1, p.key);
    for (const Property& p : props) {
        Writer v;
        v.u64(1, static_cast<uint32_t>(DataType::String));
        v.bytes(8, p.text);
        w.bytes(2, v.out);
    }
    return w.out;
}

std::string metric(const Metric& m) {
    Writer w;
    if (!m.name.empty()) w.bytes(1, m.name);
    if (m.alias) w.u64(2, *m.alias);
    if (m.timestamp) w.u64(3, *m.timestamp);
    if (m.send_datatype) w.u64(4, static_cast<uint32_t>(m.datatype));
    if (m.historical) w.boolean(5, true);
    const bool is_text = m.datatype == DataType::String;
    if (!is_text && !m.value) w.boolean(7, true);
    if (!m.properties.empty()) w.bytes(9, property_set(m.properties));
    if (is_text) {
        w.bytes(15, m.text);
    } else if (m.value) {
        const double v = *m.value;
        switch (m.datatype) {
        case DataType::Int32:
            // Signed 32-bit values travel in the uint32 field as their two's complement.
            w.u64(10, static_cast<uint32_t>(static_cast<int32_t>(v)));
            break;
        case DataType::UInt32:
            w.u64(10, static_cast<uint32_t>(v));
            break;
        case DataType::Int64:
            w.u64(11, static_cast<uint64_t>(static_cast<int64_t>(v)));
            break;
        case DataType::Float:
            w.f32(12, static_cast<float>(v));
            break;
        case DataType::Double:
            w.f64(13, v);
            break;
        case DataType::Boolean:
            w.boolean(14, v != 0);
            break;
        case DataType::String:
            break;
        }
    }
    return w.out;
}

class Reader {
public:
    explicit Reader(const std::string& s) : p_(reinterpret_cast<const uint8_t*>(s.data())), end_(p_ + s.size()) {}
    bool done() const { return p_ == end_; }
    bool varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            const uint8_t b = *p_++;
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    // Reads one field: its number, wire type, varint value or bytes.
    bool field(uint32_t& number, uint32_t& wire, uint64_t& v, std::string& bytes) {
        uint64_t key;
        if (!varint(key)) return false;
        number = static_cast<uint32_t>(key >> 3);
        wire = static_cast<uint32_t>(key & 7);
        switch (wire) {
        case Varint:
            return varint(v);
        case Fixed64:
            return skip(8);
        case Fixed32:
            return skip(4);
        case Bytes: {
            uint64_t n;
            if (!varint(n) || n > static_cast<uint64_t>(end_ - p_)) return false;
            bytes.assign(reinterpret_cast<const char*>(p_), n);
            p_ += n;
            return true;
        }
        default:
            return false;
        }
    }

private:
    bool skip(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) return false;
        p_ += n;
        return true;
    }
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace

std::string encode(const Payload& p) {
    Writer w;
    w.u64(1, p.timestamp);
    for (const Metric& m : p.metrics) w.bytes(2, metric(m));
    if (p.seq) w.u64(3, *p.seq);
    return w.out;
}

std::optional<std::vector<ReceivedMetric>> decode_metrics(const std::string& bytes) {
    std::vector<ReceivedMetric> out;
    Reader r(bytes);
    while (!r.done()) {
        uint32_t number, wire;
        uint64_t v = 0;
        std::string body;
        if (!r.field(number, wire, v, body)) return std::nullopt;
        if (number != 2 || wire != Bytes) continue;
        ReceivedMetric m;
        Reader mr(body);
        while (!mr.done()) {
            uint32_t n2, w2;
            uint64_t v2 = 0;
            std::string b2;
            if (!mr.field(n2, w2, v2, b2)) return std::nullopt;
            if (n2 == 1 && w2 == Bytes) m.name = b2;
            if (n2 == 2 && w2 == Varint) m.alias = v2;
            if (n2 == 14 && w2 == Varint) m.boolean = v2 != 0;
        }
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace zrt::uplink
