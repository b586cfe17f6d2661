#pragma once
// The simulator as an in-memory line: what a device writes reaches the simulator at once,
// and the simulator's reply goes straight back into the device's process(). No wire, no
// pacing: whole cycles run inside one RefreshStatus call.
#include <cstddef>
#include <cstdint>

#include "devhost/transport.h"
#include "host/TXQSPDevice.h"
#include "sim/simulator.h"

namespace zrt::sim {

class MemoryLink : public devhost::Transport {
public:
    explicit MemoryLink(Simulator& sim) : sim_(sim) {}
    // The device that receives the replies. The device owns the link (OpenPort), so the
    // link only points back at it.
    void attach(TXQSPDevice* dev) { dev_ = dev; }

    bool is_open() const override { return open; }
    bool write(const uint8_t* data, size_t n) override;

    bool open = true;

private:
    Simulator& sim_;
    TXQSPDevice* dev_ = nullptr;
};

}  // namespace zrt::sim
