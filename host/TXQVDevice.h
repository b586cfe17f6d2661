#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "TXQController.h"
#include "VDeviceInterface.h"
#include "host_api.h"
#include "rule_value.h"

// A device of the host framework. Devices are owned by std::shared_ptr.
class HOST_API TXQVDevice : public VDeviceInterface, public std::enable_shared_from_this<TXQVDevice> {
public:
    TXQVDevice();
    TXQVDevice(const TXQVDevice&) = delete;
    TXQVDevice& operator=(const TXQVDevice&) = delete;
    int DeviceIoControl(int code, void* in, int in_len, void* out, int out_len) override;

    // Slots added after those of VDeviceInterface, in the host's order.
    virtual ~TXQVDevice();
    virtual void Reset();
    // Sets the data id and takes over the parent's controller; a child's override calls it
    // last and returns its result.
    virtual bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting);
    // Configures a top device: takes the controller and data id, then calls InitSetting.
    virtual bool Init(std::weak_ptr<TXQController> ctrl, unsigned int id, const Json::Value& setting);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& device_type);
    virtual std::shared_ptr<TXQVDevice> GetChildVDevice(unsigned int data_id) {
        (void)data_id;
        return {};
    }
    virtual std::vector<std::shared_ptr<TXQVDevice>> GetAllChildVDevices() { return {}; }
    // Publishes a record image under its record type.
    virtual void SendSP(int record_type, const unsigned char* data, int len, bool flag);
    virtual bool SendDelayData(const unsigned char* data, int len, int delay_ms);
    virtual bool SendDoData(unsigned int index, int value);
    virtual bool ReadDi(unsigned int index, int& value);
    virtual bool ReadAi(unsigned int index, float& value);
    virtual float Get_SP_Value(unsigned int index, const std::string& key);

    // Host services (not virtual).
    // Adds one rule of this cycle to pending_rules; the alarm is raised while active.
    void CheckThresholdBool(int level, const std::string& key, const std::string& signal_id,
                            const std::string& name, const std::string& instance, bool active,
                            uint16_t sequence);
    // Evaluates a batch of rules against the alarm table; true while any rule is active.
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    // Runs a job once, now or later on a host thread.
    void CheckThresholdWork(std::function<void()> job);
    // Stores a record image in the history.
    void SaveDeviceHistory(const unsigned char* data, int len);

    // Log hook: handed to the controller while it is alive.
    template <class... Args>
    void InfoLog(std::string_view format, const Args&... args) {
        if (auto c = controller.lock()) c->InfoLog(format, args...);
    }

    uint16_t rule_seq = 0;
    boost::posix_time::ptime last_update;  // not-a-date-time until first set
    bool data_ready = false;
    std::vector<rule_value> pending_rules;
    std::weak_ptr<TXQController> controller;
    bool alarm_flag = false;

private:
    // The host implementation's own state of the device.
    struct HostState;
    HostState* host_;
    friend struct TXQHostAccess;
};
