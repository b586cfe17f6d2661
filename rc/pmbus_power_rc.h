#pragma once
// The rectifier child: decodes the rectifier replies and the two parameter replies into
// its records, publishes them once per polling cycle with one fault rule per module, and
// reloads them from a saved history image.
//
// Every operation may run on a different host thread (parse hooks and RoundDone on the
// serial thread, Get_Value and LoadFromCache wherever the host asks), so one mutex guards
// the records. Host calls that could block (log lines, SendSP, rules) happen after it is
// released.
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/TXQSPDevice.h"
#include "host/get_ttime.h"
#include "power/byte_reader.h"
#include "power/cycle_end.h"
#include "rc/rc_records.h"

template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public TXQSPDevice {
public:
    PMBusPowerRC() = default;

    float Get_Value(unsigned int index, const std::string& key) const override;
    using TXQSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    ~PMBusPowerRC() override = default;
    bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) override;

    // Each hook takes the reply's info bytes and their count and returns the bytes it
    // accounted for, or -1 for a reply it cannot use.
    virtual int parse41_41(const unsigned char* info, int len);
    virtual int parse41_43(const unsigned char* info, int len);
    virtual int parse41_44(const unsigned char* info, int len);
    virtual int parse40_46(const unsigned char* info, int len);
    virtual int parse42_46(const unsigned char* info, int len);
    // Model-specific alarms, registered after the module fault rules.
    virtual void DoImpCheckAlert() {}

protected:
    static constexpr int kGroupSize = static_cast<int>(sizeof(TeleRC));
    static constexpr int kModuleSize = static_cast<int>(sizeof(TeleRCChannel));

    TeleRC record{};
    std::vector<TeleRCChannel> modules;
    int32_t image_size = 0;
    std::unique_ptr<unsigned char[]> image;
    mutable std::mutex mu_;
    // Instance texts of the module fault rules, by module; used by RoundDone only.
    std::vector<std::string> fault_instances_;

private:
    // Log lines noticed while the records are locked; sent once the lock is released.
    using Later = std::vector<std::function<void()>>;
    template <class Body>
    int locked(Body&& body);

    int do41_41(zrt::ByteReader& r, Later& later);
    int do41_43(zrt::ByteReader& r, Later& later);
    int do41_44(zrt::ByteReader& r, Later& later);
    int do40_46(zrt::ByteReader& r, Later& later);
    int do42_46(zrt::ByteReader& r, Later& later);
};

template <class TeleRC, class TeleRCChannel, int RT_RC>
template <class Body>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::locked(Body&& body) {
    Later later;
    int result;
    {
        std::lock_guard<std::mutex> lock(mu_);
        result = body(later);
    }
    for (auto& line : later) line();
    return result;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(TXQVDevice* parent, unsigned int id,
                                                     const Json::Value& setting) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int i = 0; i < 4; ++i) record.device_id[i] = static_cast<uint8_t>(id >> (8 * i));
    }
    return TXQVDevice::InitV(parent, id, setting);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned int, const std::string&) const {
    std::lock_guard<std::mutex> lock(mu_);
    zrt::check_fresh(*this);
    // Fresh data are there, but the rectifier group answers no key.
    throw std::out_of_range(zrt::kNotReady);
}

// All or nothing: the whole length is checked against the module count in the image
// before anything is copied, so a refused image leaves the device as it was.
template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const unsigned char* data, int len) {
    std::cout << "rc data_len:" << len << " vs " << kGroupSize << std::endl;
    if (len < kGroupSize || data == nullptr) return false;

    const int count = data[offsetof(TeleRC, module_count)];
    const int left = len - kGroupSize;
    std::cout << "rc channelLen " << kModuleSize << " and " << count << " left:" << left << std::endl;
    if (left != kModuleSize * count) return false;

    auto now = zrt::local_now();
    std::lock_guard<std::mutex> lock(mu_);
    std::memcpy(&record, data, kGroupSize);
    modules.resize(static_cast<size_t>(count));
    if (count > 0) std::memcpy(modules.data(), data + kGroupSize, static_cast<size_t>(left));
    data_ready = true;
    last_update = now;
    return true;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
    static const zrt::RuleTexts kModuleFault(zrt::AlarmRow{2, "RC_0", "06024", "整流模块故障告警"});

    auto now = zrt::local_now();
    const auto stamp = get_ttime(zrt::local_now());
    std::vector<uint8_t> faults;
    {
        std::lock_guard<std::mutex> lock(mu_);
        data_ready = true;
        last_update = now;
        static_assert(sizeof(stamp) == sizeof(record.update_time), "time record width");
        std::memcpy(record.update_time, &stamp, sizeof(stamp));

        // The module count can change after the first cycle (a first reply without
        // modules, a cache load), so the buffer is made anew whenever it no longer fits.
        const int size = kGroupSize + kModuleSize * static_cast<int>(modules.size());
        if (!image || image_size != size) {
            image.reset(new unsigned char[static_cast<size_t>(size)]());
            image_size = size;
        }
        std::memcpy(image.get(), &record, kGroupSize);
        if (!modules.empty())
            std::memcpy(image.get() + kGroupSize, modules.data(), kModuleSize * modules.size());
        faults.reserve(modules.size());
        for (const auto& m : modules) faults.push_back(m.fault);
    }

    // The image is touched only here, on the serial thread, so it needs no lock while the
    // host publishes it; the history job saves its own copy.
    // Instance texts "模块<n>整流模块故障告警", made once per module number.
    while (fault_instances_.size() < faults.size())
        fault_instances_.push_back("模块" + std::to_string(fault_instances_.size() + 1) + "整流模块故障告警");

    zrt::publish_cycle(*this, RT_RC, image.get(), image_size, [&] {
        for (size_t i = 0; i < faults.size(); ++i) zrt::add_rule(*this, kModuleFault, fault_instances_[i], faults[i] == 1);
        DoImpCheckAlert();
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* info, int len) {
    return locked([&](Later& later) {
        zrt::ByteReader r(info, len);
        return do41_41(r, later);
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* info, int len) {
    return locked([&](Later& later) {
        zrt::ByteReader r(info, len);
        return do41_43(r, later);
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* info, int len) {
    return locked([&](Later& later) {
        zrt::ByteReader r(info, len);
        return do41_44(r, later);
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* info, int len) {
    return locked([&](Later& later) {
        zrt::ByteReader r(info, len);
        return do40_46(r, later);
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* info, int len) {
    return locked([&](Later& later) {
        zrt::ByteReader r(info, len);
        return do42_46(r, later);
    });
}

// Rectifier analogue values: data flag, group value, module count M, then per module a
// value, a count P and P user-defined values.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::do41_41(zrt::ByteReader& r, Later& later) {
    const int len = r.len();
    r.skip(1);
    r.copy(record.group_value, 4);
    const uint8_t m = r.u8();
    // The first reply that reports modules fixes the count; later replies must agree.
    if (modules.empty()) {
        record.module_count = m;
        modules.resize(m);
    } else if (record.module_count != m) {
        return -1;
    }

    constexpr int kUser = TeleRCChannel::P41_41_SIZE();
    for (auto& mod : modules) {
        r.copy(mod.module_value, 4);
        const uint8_t p = r.u8();
        mod.analog_count = p;
        if (p != kUser) {
            later.push_back([this, p] {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
                        DataId(), p, static_cast<uint8_t>(kUser));
            });
            r.skip(4 * p);
            continue;
        }
        for (int i = 0; i < kUser; ++i) {
            unsigned char v[4];
            // Four equal bytes mark a user value the module does not supply.
            if (r.value4(v)) std::memset(v, 0, sizeof v);
            std::memcpy(mod.analog_user + 4 * i, v, sizeof v);
        }
        if (r.pos() > len) {
            const int at = r.pos();
            later.push_back([this, at, len] {
                InfoLog("PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}", DataId(), at, len);
            });
            return -1;
        }
    }
    if (r.pos() > len) {
        const int at = r.pos();
        later.push_back([this, at, len] {
            InfoLog("PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}", DataId(), at, len);
        });
        return -1;
    }
    return r.pos();
}

// Rectifier switch states: data flag, M, then per module three state bytes, a count P
// and P user-defined bytes. Modules after the M-th keep their values.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::do41_43(zrt::ByteReader& r, Later& later) {
    const int len = r.len();
    r.skip(1);
    const uint8_t m = r.u8();
    if (m > record.module_count) return -1;

    constexpr int kUser = TeleRCChannel::P41_43_SIZE();
    for (int i = 0; i < m; ++i) {
        auto& mod = modules[static_cast<size_t>(i)];
        r.copy(mod.state, 3);
        const uint8_t p = r.u8();
        mod.state_count = p;
        if (p != kUser) {
            later.push_back([this, p] {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
                        DataId(), p, static_cast<uint8_t>(kUser));
            });
            r.skip(p);
        } else {
            r.copy(mod.state_user, p);
        }
    }
    if (r.pos() > len) {
        const int at = r.pos();
        later.push_back([this, at, len] {
            InfoLog("PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}", DataId(), at, len);
        });
        return -1;
    }
    return r.pos();
}

// Rectifier alarm states: data flag, M, then per module a fault byte, a count P and P
// user-defined alarm bytes.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::do41_44(zrt::ByteReader& r, Later& later) {
    const int len = r.len();
    r.skip(1);
    const uint8_t m = r.u8();
    if (record.module_count < m) {
        const uint8_t count = record.module_count;
        later.push_back([this, m, count] {
            InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ",
                    DataId(), static_cast<int>(m), count);
        });
        return 0;
    }

    constexpr int kUser = TeleRCChannel::P41_44_SIZE();
    for (int i = 0; i < m; ++i) {
        auto& mod = modules[static_cast<size_t>(i)];
        mod.fault = r.u8();
        const uint8_t p = r.u8();
        mod.alarm_count = p;
        if (p != kUser) {
            later.push_back([this, p] {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
                        DataId(), p, static_cast<uint8_t>(kUser));
            });
            r.skip(p);
        } else {
            r.copy(mod.alarm_user, p);
        }
    }
    if (r.pos() > len) {
        const int at = r.pos();
        later.push_back([this, at, len] {
            InfoLog("PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}", DataId(), at, len);
        });
        return -1;
    }
    return r.pos();
}

// AC-distribution parameters: five values, then a count P of user-defined values that
// are not kept. With P above 0 the poller compares the reported size with the length.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::do40_46(zrt::ByteReader& r, Later& later) {
    const int len = r.len();
    r.copy(record.ac_param, sizeof(record.ac_param));
    const uint8_t p = r.u8();
    if (p != 0) return 21 + 4 * p;
    if (21 > len) {
        later.push_back([this, len] {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}", DataId(), 21, len);
        });
        return -1;
    }
    return 21;
}

// DC-distribution parameters: two values, a count P, then P user-defined values of which
// P42_46_SIZE bytes are kept.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::do42_46(zrt::ByteReader& r, Later& later) {
    const int len = r.len();
    // A reply that does not even hold the two values and the count is refused whole.
    if (len < 9) {
        later.push_back([this, len] {
            InfoLog("PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}", DataId(), 9, len);
        });
        return -1;
    }
    r.copy(record.dc_param, sizeof(record.dc_param));
    const uint8_t p = r.u8();
    record.dc_user_count = p;
    if (p != TeleRC::P42_46_NUMBER()) {
        later.push_back([this, p] {
            InfoLog("QPA07D:ProcotolError parse42_46 {} p:{} != {}", DataId(), p,
                    static_cast<uint8_t>(TeleRC::P42_46_NUMBER()));
        });
        return 9 + 4 * p;
    }
    // Never more than the reply holds, so the cursor cannot pass len here.
    const int n = len - 9 > TeleRC::P42_46_SIZE() ? TeleRC::P42_46_SIZE() : len - 9;
    r.copy(record.dc_user_param, n);
    return r.pos();
}
