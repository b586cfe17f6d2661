#pragma once
#include <cstdint>
#include <memory>

#include "TXQVDevice.h"

enum EnumParity { kNoParity, kOddParity, kEvenParity };

class TXQSPDevice : public TXQVDevice {
public:
    TXQSPDevice();
    ~TXQSPDevice() override;
    void Reset() override;
    bool Init(std::weak_ptr<TXQController> controller, unsigned int data_id, const Json::Value& setting) override;

    virtual bool RefreshStatus();
    virtual void process(const unsigned char* data, int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual bool SendData(const unsigned char* data, int len);
    virtual bool SendParityData(const unsigned char* data, int len, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();

    uint32_t stall_count = 0;
    unsigned char sp_flag = 0;
    int baud_rate = 9600;
    unsigned char* reply = nullptr;

private:
    struct Port;
    Port* port_;
};
