#include "common/cycle_end.h"

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

namespace {
// What a history job keeps: the cycle's rules and its own copy of the image.
struct CycleRecord {
    std::vector<rule_value> rules;
    std::vector<unsigned char> image;
};
}  // namespace

void publish_cycle(TXQVDevice& dev, int record_type, const unsigned char* published, const unsigned char* snapshot,
                   int size, const std::function<void(const unsigned char* snapshot, int size)>& register_rules) {
    dev.TXQVDevice::SendSP(record_type, published, size, false);

    dev.rule_seq = 1;
    register_rules(snapshot, size);

    const size_t n = dev.pending_rules.size();
    auto self = dev.shared_from_this();
    auto cycle = std::make_shared<CycleRecord>();
    cycle->rules = std::move(dev.pending_rules);
    cycle->image.assign(snapshot, snapshot + size);
    dev.pending_rules.clear();
    TXQVDevice* device = &dev;
    std::shared_ptr<const CycleRecord> job = std::move(cycle);
    dev.CheckThresholdWork([self, device, job]() {
        bool raised = device->DoBatchCheckThreshold(job->rules);
        device->alarm_flag = device->alarm_flag || raised;
        device->SaveDeviceHistory(job->image.data(), static_cast<int>(job->image.size()));
    });
    dev.pending_rules.reserve(n);
}

}  // namespace zrt
