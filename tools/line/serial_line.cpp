#include "tools/line/serial_line.h"

#include <cerrno>
#include <cstring>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <linux/serial.h>
#include <termios.h>

#include "tools/core/host_error.h"

namespace zrt::host {

std::string LineSettings::text() const {
    std::string t = std::to_string(data_bits) + (parity == Parity::None ? "N" : parity == Parity::Odd ? "O" : "E") +
                    std::to_string(stop_bits);
    if (flow == Flow::RtsCts) t += " rtscts";
    if (flow == Flow::XonXoff) t += " xonxoff";
    if (rs485) t += " rs485";
    return t;
}

bool parse_parity(const std::string& text, LineSettings::Parity& out) {
    if (text == "none") out = LineSettings::Parity::None;
    else if (text == "odd") out = LineSettings::Parity::Odd;
    else if (text == "even") out = LineSettings::Parity::Even;
    else return false;
    return true;
}

bool parse_flow(const std::string& text, LineSettings::Flow& out) {
    if (text == "none") out = LineSettings::Flow::None;
    else if (text == "rtscts") out = LineSettings::Flow::RtsCts;
    else if (text == "xonxoff") out = LineSettings::Flow::XonXoff;
    else return false;
    return true;
}

SerialLine::SerialLine(asio::io_context& io, const std::string& path, const LineSettings& ls) : port_(io) {
    asio::error_code ec;
    port_.open(path, ec);
    if (ec.value() == EBUSY)
        throw PortError("the port " + path + " is in use by another process", false);
    // A path that is there but no terminal will not become one by trying again.
    if (ec.value() == ENOTTY) throw PortError("the port " + path + " is no serial device: " + ec.message(), true);
    if (ec) throw PortError("cannot open the port " + path + ": " + ec.message(), false);
    // A second host on the same line would take the first one's replies: the port belongs
    // to one process, by flock (every opener) and TIOCEXCL (opens without flock).
    const int fd = port_.native_handle();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        asio::error_code ignored;
        port_.close(ignored);
        if (err == EWOULDBLOCK) throw PortError("the port " + path + " is in use by another process", false);
        throw PortError("cannot lock the port " + path + ": " + std::strerror(err), false);
    }
    exclusive_ = ::ioctl(fd, TIOCEXCL) == 0;
    using sp = asio::serial_port_base;
    const sp::parity::type parity = ls.parity == LineSettings::Parity::Odd    ? sp::parity::odd
                                    : ls.parity == LineSettings::Parity::Even ? sp::parity::even
                                                                              : sp::parity::none;
    const sp::flow_control::type flow = ls.flow == LineSettings::Flow::RtsCts    ? sp::flow_control::hardware
                                        : ls.flow == LineSettings::Flow::XonXoff ? sp::flow_control::software
                                                                                 : sp::flow_control::none;
    port_.set_option(sp::baud_rate(static_cast<unsigned>(ls.baud)), ec);
    if (!ec) port_.set_option(sp::character_size(static_cast<unsigned>(ls.data_bits)), ec);
    if (!ec) port_.set_option(sp::parity(parity), ec);
    if (!ec) port_.set_option(sp::stop_bits(ls.stop_bits == 2 ? sp::stop_bits::two : sp::stop_bits::one), ec);
    if (!ec) port_.set_option(sp::flow_control(flow), ec);
    if (ec) {
        close();
        throw PortError("the port " + path + " is no serial device: cannot set up " + std::to_string(ls.baud) +
                            " baud " + ls.text() + ": " + ec.message(),
                        true);
    }
    if (ls.rs485) {
        serial_rs485 rs{};
        rs.flags = SER_RS485_ENABLED | (ls.rs485_rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        rs.delay_rts_before_send = ls.rs485_delay_before_ms;
        rs.delay_rts_after_send = ls.rs485_delay_after_ms;
        if (::ioctl(fd, TIOCSRS485, &rs) != 0) {
            const int err = errno;
            close();
            throw PortError("the port " + path + " refuses the setting rs485 (RS-485 half duplex): " +
                                std::strerror(err) + "; a plain RS-232 port, or an adapter that switches by itself, "
                                "needs \"rs485\": false",
                            true);
        }
    }
    // Bytes left from an earlier conversation would be read as replies to our commands.
    ::tcflush(fd, TCIFLUSH);
}

void SerialLine::flush(Queue q) {
    if (!port_.is_open()) return;
    if (q & Output) {
        // The write under way keeps its buffer (asio holds it); the ones behind it go.
        while (out_.size() > (writing_ ? 1u : 0u)) out_.pop_back();
    }
    const int which = (q & Input) && (q & Output) ? TCIOFLUSH : (q & Input) ? TCIFLUSH : TCOFLUSH;
    ::tcflush(port_.native_handle(), which);
}

SerialLine::~SerialLine() { close(); }

bool SerialLine::write(const uint8_t* data, size_t n) {
    if (!port_.is_open() || closing_) return false;
    if (n == 0) return true;
    if (on_written) on_written(data, n);
    out_.emplace_back(reinterpret_cast<const char*>(data), n);
    if (!writing_) write_more();
    return true;
}

void SerialLine::write_more() {
    if (out_.empty() || closing_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    // The handler keeps the line alive: a closed line's handlers still run, cancelled.
    asio::async_write(port_, asio::buffer(out_.front()), [this, self = shared_from_this()](const asio::error_code& ec, size_t n) {
        tx_bytes_ += n;
        if (!out_.empty()) out_.pop_front();
        if (ec) {
            writing_ = false;
            if (!closing_ && on_error_) on_error_("write: " + ec.message());
            return;
        }
        write_more();
    });
}

void SerialLine::start(std::function<void(const uint8_t*, size_t)> on_bytes,
                       std::function<void(const std::string&)> on_error) {
    on_bytes_ = std::move(on_bytes);
    on_error_ = std::move(on_error);
    read_more();
}

void SerialLine::read_more() {
    port_.async_read_some(asio::buffer(buf_), [this, self = shared_from_this()](const asio::error_code& ec, size_t n) {
        if (ec) {
            if (!closing_ && ec != asio::error::operation_aborted && on_error_) on_error_("read: " + ec.message());
            return;
        }
        rx_bytes_ += n;
        if (on_bytes_) on_bytes_(buf_, n);
        if (!closing_) read_more();
    });
}

void SerialLine::close() {
    closing_ = true;
    if (!port_.is_open()) return;
    asio::error_code ignored;
    port_.cancel(ignored);
    // A pty whose other side stays open keeps the flag after we close: the next host may
    // open it.
    if (exclusive_) ::ioctl(port_.native_handle(), TIOCNXCL);
    exclusive_ = false;
    port_.close(ignored);
}

}  // namespace zrt::host
