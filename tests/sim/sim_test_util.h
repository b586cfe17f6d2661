#pragma once
// Helpers for driving the simulator the way a host would: commands go in as frames, the
// reply bytes come back through the host's own frame decoder.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "devhost/frame.h"
#include "sim/simulator.h"

namespace sim_test {

using Bytes = std::vector<uint8_t>;

inline Json::Value json(const std::string& text) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string errs;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) throw std::runtime_error(errs);
    return v;
}

// The command frame a host sends; the AC commands carry the 0xFF group byte.
inline std::string command_frame(uint8_t cid1, uint8_t cid2) {
    const uint8_t group = 0xFF;
    const bool with_group = cid1 == 0x40 && cid2 != 0x51 && cid2 != 0x46;
    return devhost::encode_frame(0x20, 0x01, cid1, cid2, &group, with_group ? 1 : 0);
}

// What a host decodes from the simulator's answer to one command.
struct Heard {
    std::vector<devhost::Frame> frames;
    devhost::DecoderStats stats;
    std::string bytes;
};

// A host-side decoder that outlives single exchanges, as the host's does.
class HostEar {
public:
    HostEar() : decoder_([this](const devhost::Frame& f) { frames_.push_back(f); }) {}
    Heard ask(zrt::sim::Simulator& sim, uint8_t cid1, uint8_t cid2) {
        sim.feed(command_frame(cid1, cid2));
        Heard h;
        h.bytes = sim.take_output();
        frames_.clear();
        decoder_.feed(reinterpret_cast<const uint8_t*>(h.bytes.data()), h.bytes.size());
        h.frames = frames_;
        h.stats = decoder_.stats();
        return h;
    }

private:
    devhost::FrameDecoder decoder_;
    std::vector<devhost::Frame> frames_;
};

inline std::unique_ptr<zrt::sim::Simulator> simulator(const Json::Value& doc) {
    return std::make_unique<zrt::sim::Simulator>(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(doc)));
}

inline float f32(const Bytes& b, size_t at) {
    float v;
    std::memcpy(&v, b.data() + at, 4);  // the test hosts are little-endian, like the wire
    return v;
}

// Info of the single well-formed reply to a command.
inline Bytes info_of(zrt::sim::Simulator& sim, uint8_t cid1, uint8_t cid2) {
    HostEar ear;
    Heard h = ear.ask(sim, cid1, cid2);
    if (h.frames.size() != 1) throw std::runtime_error("expected exactly one reply frame");
    return h.frames[0].info;
}

}  // namespace sim_test
