#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "TXQController.h"
#include "VDeviceInterface.h"
#include "rule_value.h"

class TXQVDevice : public VDeviceInterface, public std::enable_shared_from_this<TXQVDevice> {
    struct Book;
    Book* book_;

public:
    TXQVDevice();
    TXQVDevice(const TXQVDevice&) = delete;
    TXQVDevice& operator=(const TXQVDevice&) = delete;
    int DeviceIoControl(int code, void* buffer, int size) override;

    virtual ~TXQVDevice();
    virtual void Reset();
    virtual bool InitV(TXQVDevice* parent, unsigned int data_id, const Json::Value& setting);
    virtual bool Init(std::weak_ptr<TXQController> controller, unsigned int data_id, const Json::Value& setting);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& device_type);
    virtual std::shared_ptr<TXQVDevice> GetChildVDevice(unsigned int /*data_id*/) { return nullptr; }
    virtual std::vector<std::shared_ptr<TXQVDevice>> GetAllChildVDevices() { return {}; }
    virtual void SendSP(int record_type, const unsigned char* data, int len, bool flag);
    virtual bool SendDelayData(int delay_s);
    virtual bool SendDoData(int channel, bool on);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(const std::string& key);

    void CheckThresholdBool(int level, const std::string& key, const std::string& signal_id,
                            const std::string& name, const std::string& instance, bool active,
                            uint16_t sequence);
    bool DoBatchCheckThreshold(std::vector<rule_value> rules);
    void CheckThresholdWork(std::function<void()> job);
    void SaveDeviceHistory(const unsigned char* data, int len);

    template <class... Args>
    void InfoLog(const std::string& format, Args&&... args) {
        if (auto c = controller.lock()) c->InfoLog(format, std::forward<Args>(args)...);
    }

    bool alarm_flag = false;
    std::weak_ptr<TXQController> controller;
    std::vector<rule_value> pending_rules;
    bool data_ready = false;
    boost::posix_time::ptime last_update;
    uint16_t rule_seq = 0;
};
