#pragma once
// Sparkplug B payloads, written and read by hand: the few messages the uplink sends are
// short, and the protobuf wire format of them (varints, fixed 32/64-bit numbers and
// length-delimited fields) is small. sparkplug_b.proto beside this file describes the same
// fields for protoc, which the tests decode captured payloads with.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zrt::uplink {

// Sparkplug datatypes used here.
enum class DataType : uint32_t {
    Int32 = 3,
    Int64 = 4,
    UInt32 = 7,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
};

struct Property {
    std::string key;
    std::string text;  // every property the uplink sends is a String
};

struct Metric {
    std::string name;              // in births; empty in data, which name a metric by alias
    std::optional<uint64_t> alias;
    std::optional<uint64_t> timestamp;  // ms UTC
    DataType datatype = DataType::Float;
    bool send_datatype = false;    // births carry it; data may leave it out
    bool historical = false;
    // The value: absent means is_null. Booleans and integers are held as doubles too.
    std::optional<double> value;
    std::string text;  // String metrics
    std::vector<Property> properties;
};

struct Payload {
    uint64_t timestamp = 0;
    std::vector<Metric> metrics;
    std::optional<uint64_t> seq;  // NDEATH has none
};

std::string encode(const Payload& p);

// The metrics of a received payload by name and boolean value, as far as an NCMD needs
// them; std::nullopt for bytes that are not a payload.
struct ReceivedMetric {
    std::string name;
    std::optional<uint64_t> alias;
    std::optional<bool> boolean;
};
std::optional<std::vector<ReceivedMetric>> decode_metrics(const std::string& bytes);

}  // namespace zrt::uplink
