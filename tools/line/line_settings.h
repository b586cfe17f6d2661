#pragma once
#include <string>

namespace zrt::host {

// How the port is set up. The defaults are those of the equipment: 8N1, no flow control.
struct LineSettings {
    enum class Parity { None, Odd, Even };
    enum class Flow { None, RtsCts, XonXoff };
    int baud = 9600;
    int data_bits = 8;  // 5 to 8
    Parity parity = Parity::None;
    int stop_bits = 1;  // 1 or 2
    Flow flow = Flow::None;
    // RS-485 half duplex by the kernel (TIOCSRS485): the driver switches the transmitter
    // with RTS around each write.
    bool rs485 = false;
    bool rs485_rts_on_send = true;     // RTS high while sending (false: low while sending)
    unsigned rs485_delay_before_ms = 0;  // RTS set this long before the first bit
    unsigned rs485_delay_after_ms = 0;   // and held this long after the last one

    // "8N1", "7E2 rtscts rs485", for messages.
    std::string text() const;
};
// "none", "odd", "even" and "none", "rtscts", "xonxoff"; false for any other text.
bool parse_parity(const std::string& text, LineSettings::Parity& out);
bool parse_flow(const std::string& text, LineSettings::Flow& out);

}  // namespace zrt::host
