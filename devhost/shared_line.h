#pragma once
// One line shared by several top devices at different addresses, as on an RS-485 bus with
// several power systems. The line carries one command at a time: a device holds it from
// its command until its reply has come or timed out, and then the turn passes to the next
// device that wants to send, in order. A device whose turn it is not has its command
// refused (the poller sends it again at its next refresh) and its RefreshStatus says no.
// Every byte received goes to every device; each keeps the frames of its own address.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "devhost/transport.h"

class TXQSPDevice;

namespace devhost {

class SharedLine : public std::enable_shared_from_this<SharedLine> {
public:
    // Made with std::make_shared: the ports keep the line alive.
    explicit SharedLine(std::shared_ptr<Transport> line);

    // The transport to attach to `dev` (devhost::attach). The device must outlive its use
    // of the line; detach it (ClosePort) before it goes.
    std::shared_ptr<Transport> port(TXQSPDevice& dev);
    // Bytes received from the line.
    void feed(const uint8_t* data, size_t n);

    // How often a device was refused the line because another one held it or had the turn.
    uint64_t refusals() const { return refusals_; }

private:
    class Port;
    friend class Port;
    // Frees the line when its holder no longer awaits a reply.
    void release_if_done();
    // Whether the device at `idx` may send now: the line is free and no device before it
    // in turn wants it.
    bool turn_of(size_t idx);
    bool may_send(size_t idx);
    bool write(size_t idx, const uint8_t* data, size_t n);

    std::shared_ptr<Transport> line_;
    std::vector<TXQSPDevice*> devices_;
    std::vector<bool> wants_;
    int holder_ = -1;
    size_t next_ = 0;  // the device whose turn comes first when the line is freed
    uint64_t refusals_ = 0;
};

}  // namespace devhost
