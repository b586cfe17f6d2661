#pragma once
#include <cstdint>
#include <string>

#include "host_api.h"

// Root of every device the host knows. The virtual operations below are declared in the
// host's slot order; a reordering breaks binary compatibility with the controller. Only
// Get_Value is const: the controller's own declarations make no other operation const.
class HOST_API VDeviceInterface {
public:
    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;

    // Reads one value by key. The default knows no key.
    virtual float Get_Value(unsigned int index, const std::string& key) const;
    // Hands the device a saved history image held in a string.
    virtual bool LoadFromCache(const std::string& data) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                             static_cast<int>(data.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int len) = 0;
    virtual unsigned int DataId();
    virtual std::string DeviceType();
    virtual int DeviceIoControl(int code, void* in, int in_len, void* out, int out_len);
    virtual void RoundDone();
    virtual bool UseControllerDb();

protected:
    VDeviceInterface() = default;
    // Not virtual: devices are destroyed through TXQVDevice, whose destructor is.
    ~VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = default;
    VDeviceInterface& operator=(const VDeviceInterface&) = default;
};
