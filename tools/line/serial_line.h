#pragma once
// The host's serial line: an asio serial port (a real device or a pseudo-terminal) with the
// configured speed, character format and flow control, optionally in the kernel's RS-485
// half-duplex mode. It is the transport the top device writes its commands to;
// received bytes go to a callback on the io_context's thread.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>

#include "devhost/transport.h"
#include "tools/line/line_settings.h"
#include "tools/core/host_error.h"

namespace zrt::host {

// Why a port did not open. `lasting` when trying again cannot help: the path is there but
// is no serial device.
class PortError : public HostError {
public:
    PortError(const std::string& what, bool lasting) : HostError(kExitPort, what), lasting_(lasting) {}
    bool lasting() const { return lasting_; }

private:
    bool lasting_;
};

// Made with std::make_shared: pending reads and writes keep it alive after close().
class SerialLine : public devhost::Transport, public std::enable_shared_from_this<SerialLine> {
public:
    // Opens the port for this process alone (flock and TIOCEXCL), configures it and
    // discards what was waiting in its input. Throws PortError (kExitPort), also when
    // another process holds the port.
    SerialLine(asio::io_context& io, const std::string& path, const LineSettings& settings);
    SerialLine(asio::io_context& io, const std::string& path, int baud)
        : SerialLine(io, path, LineSettings{baud}) {}
    ~SerialLine() override;

    bool is_open() const override { return port_.is_open(); }
    // Queues the bytes; they go out in order on the io_context's thread.
    bool write(const uint8_t* data, size_t n) override;
    // tcflush: received bytes not read yet, and written bytes not sent yet (the queued
    // writes that have not started go too).
    void flush(Queue q) override;

    // Starts reading. `on_bytes` gets every chunk received; `on_error` is called once when
    // the line fails (not when it is closed by close()).
    void start(std::function<void(const uint8_t*, size_t)> on_bytes,
               std::function<void(const std::string&)> on_error);
    void close();

    // Every chunk written, as handed to write().
    std::function<void(const uint8_t*, size_t)> on_written;

    uint64_t tx_bytes() const { return tx_bytes_; }
    uint64_t rx_bytes() const { return rx_bytes_; }

private:
    void read_more();
    void write_more();

    asio::serial_port port_;
    std::function<void(const uint8_t*, size_t)> on_bytes_;
    std::function<void(const std::string&)> on_error_;
    uint8_t buf_[4096];
    std::deque<std::string> out_;
    bool writing_ = false;
    bool closing_ = false;
    bool exclusive_ = false;  // TIOCEXCL set by us
    uint64_t tx_bytes_ = 0;
    uint64_t rx_bytes_ = 0;
};

}  // namespace zrt::host
