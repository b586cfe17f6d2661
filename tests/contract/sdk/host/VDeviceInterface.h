#pragma once
// A second, minimal controller SDK: the device framework as a controller other than ours
// declares it. Its private layout differs from the development host's on purpose.
#include <cstdint>
#include <string>

class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int index, const std::string& key) const;
    virtual bool LoadFromCache(const std::string& data);
    virtual bool LoadFromCache(const unsigned char* data, int len) = 0;
    virtual unsigned int DataId();
    virtual std::string DeviceType();
    virtual int DeviceIoControl(int code, void* buffer, int size);
    virtual void RoundDone();
    virtual bool UseControllerDb();

    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;

protected:
    ~VDeviceInterface() = default;
};
