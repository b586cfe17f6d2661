#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devhost {

// Where a serial device's bytes go. The serial port and pty transports live with the host
// application; the in-memory one serves tests.
class Transport {
public:
    virtual ~Transport();
    virtual bool is_open() const = 0;
    virtual bool write(const uint8_t* data, size_t n) = 0;

    // Discards what waits on the line: received bytes not read yet (Input), written bytes
    // not sent yet (Output). A transport without queues has nothing to discard.
    enum Queue : unsigned { Input = 1, Output = 2, Both = 3 };
    virtual void flush(Queue) {}
    // False while the line is another device's (a shared line); RefreshStatus then says no.
    virtual bool may_send() { return true; }
};

// Captures every written byte. Replies are injected by handing bytes to the device's
// process() (see inject() in devhost.h).
class MemoryTransport : public Transport {
public:
    bool is_open() const override { return open; }
    bool write(const uint8_t* data, size_t n) override;
    void flush(Queue q) override {
        if (q & Input) ++input_flushes;
        if (q & Output) ++output_flushes;
    }
    // The written byte stream cut into frames (each from '~' to CR inclusive).
    std::vector<std::string> frames() const;
    void clear() { written.clear(); }

    bool open = true;
    std::string written;
    unsigned input_flushes = 0;
    unsigned output_flushes = 0;
};

}  // namespace devhost
