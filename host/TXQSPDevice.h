#pragma once
#include <cstdint>
#include <memory>

#include "TXQVDevice.h"
#include "host_api.h"

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };

// A device on a serial line. The host's serial machinery calls RefreshStatus when a command
// may go out and process() with every chunk of bytes received.
class HOST_API TXQSPDevice : public TXQVDevice {
public:
    TXQSPDevice();
    ~TXQSPDevice() override;
    // Clears the receive state and the awaited command and stamps last_update.
    void Reset() override;
    bool Init(std::weak_ptr<TXQController> ctrl, unsigned int id, const Json::Value& setting) override;

    // True when a command may be sent: the line is open and no reply is awaited (or the
    // awaited reply has timed out, which counts in stall_count).
    virtual bool RefreshStatus();
    // Bytes received from the line.
    virtual void process(const unsigned char* data, int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual bool SendData(const unsigned char* data, int len);
    virtual bool SendParityData(const unsigned char* data, int len, EnumParity parity);
    // Opens the device's line; false when it cannot be opened.
    virtual bool OpenPort();
    virtual void ClosePort();

    unsigned char* reply = nullptr;  // the decoded reply, valid during process_payload
    int baud_rate = 9600;
    unsigned char sp_flag = 0;
    uint32_t stall_count = 0;

private:
    // The host implementation's line state of the device.
    struct HostState;
    HostState* host_;
    friend struct TXQHostAccess;
};
