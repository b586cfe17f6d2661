#include "power/cycle_end.h"

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/get_ttime.h"

namespace zrt {

const char* const kNotReady = "数据未就绪";
const char* const kTimedOut = "数据已超时";
const char* const kNoChannel = "通道参数越界";
const char* const kNotProvided = "数据未提供";

boost::posix_time::ptime local_now() { return boost::posix_time::second_clock::local_time(); }

int64_t seconds_since(const boost::posix_time::ptime& since) {
    if (since.is_special()) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>((local_now() - since).total_seconds());
}

void check_fresh(const TXQVDevice& dev) {
    if (!dev.data_ready) throw std::out_of_range(kNotReady);
    if (seconds_since(dev.last_update) >= 61) throw std::out_of_range(kTimedOut);
}

void add_rule(TXQVDevice& dev, const RuleTexts& row, const std::string& instance, bool active) {
    dev.CheckThresholdBool(row.level, row.key, row.signal_id, row.name, instance, active, dev.rule_seq++);
}

void add_rule(TXQVDevice& dev, const AlarmRow& row, const std::string& instance, bool active) {
    add_rule(dev, RuleTexts(row), instance, active);
}

void stamp(unsigned char (&update_time)[7]) {
    const auto t = get_ttime(local_now());
    static_assert(sizeof t == 7, "the host's time record is 7 bytes");
    std::memcpy(update_time, &t, sizeof t);
}

std::shared_ptr<CycleImage> copy_cycle_image(const unsigned char* image, int size) {
    auto copy = std::make_shared<CycleImage>();
    copy->bytes.assign(image, image + size);
    return copy;
}

void publish_cycle(TXQVDevice& dev, int record_type, const unsigned char* image, int size,
                   std::shared_ptr<CycleImage> copy,
                   const std::function<void(const std::vector<unsigned char>& copy)>& register_rules) {
    dev.TXQVDevice::SendSP(record_type, image, size, false);

    dev.rule_seq = 1;
    register_rules(copy->bytes);

    const size_t n = dev.pending_rules.size();
    auto self = dev.shared_from_this();
    copy->rules = std::move(dev.pending_rules);
    dev.pending_rules.clear();
    TXQVDevice* device = &dev;
    std::shared_ptr<const CycleImage> cycle = std::move(copy);
    dev.CheckThresholdWork([self, device, cycle]() {
        bool raised = device->DoBatchCheckThreshold(cycle->rules);
        device->alarm_flag = device->alarm_flag || raised;
        device->SaveDeviceHistory(cycle->bytes.data(), static_cast<int>(cycle->bytes.size()));
    });
    dev.pending_rules.reserve(n);
}

}  // namespace zrt
