#pragma once
// Small devices for exercising the development host.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devhost/devhost.h"

namespace devhost_test {

// A child that publishes a tiny record on demand.
class Child : public TXQSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void publish(int record_type = 5106) {
        const unsigned char image[3] = {1, 2, 3};
        SendSP(record_type, image, 3, false);
    }
};

// A top device that keeps a copy of every reply buffer it is handed.
class Top : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool process_payload() override {
        seen.emplace_back(reply, reply + devhost::kReplyBufferSize);
        if (on_payload) on_payload(*this);
        return true;
    }
    std::vector<std::shared_ptr<TXQVDevice>> GetAllChildVDevices() override { return children; }

    std::vector<std::vector<uint8_t>> seen;
    std::function<void(Top&)> on_payload;
    std::vector<std::shared_ptr<TXQVDevice>> children;
};

inline std::vector<uint8_t> bytes_upto(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i);
    return v;
}

inline std::string reply_frame(uint8_t cid1, const std::vector<uint8_t>& info, uint8_t adr = 1, uint8_t rtn = 0) {
    return devhost::encode_frame(0x20, adr, cid1, rtn, info.data(), info.size());
}

}  // namespace devhost_test
