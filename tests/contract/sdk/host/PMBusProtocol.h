#pragma once
#include <cstdint>
#include <vector>

#include "TXQSPDevice.h"

class PMBusProtocol : public TXQSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;
    void process(const unsigned char* data, int len) override;
    virtual bool process_payload();
    virtual void process_error();
    bool InitSetting(const Json::Value& setting) override;

    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2);
    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const unsigned char* info, int len);

    uint8_t version = 0;
    int poll_state = 0;

private:
    std::vector<unsigned char> frame_;
};
