#pragma once
#include <cstdint>

#include "TXQSPDevice.h"
#include "host_api.h"

// The host's command/response frame layer: frames and sends CID1/CID2 commands, decodes
// replies from the byte stream and hands each decoded reply to process_payload.
class HOST_API PMBusProtocol : public TXQSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;
    void process(const unsigned char* data, int len) override;
    // Called once per decoded reply, with `reply` set. Returns false exactly after Reset().
    virtual bool process_payload();
    virtual void process_error();

    // Reads the frame layer's own settings; which keys it reads is the host's choice.
    bool InitSetting(const Json::Value& setting) override;

    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2);
    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* info, int len);

    int poll_state = 0;
    uint8_t version = 0x20;
};
