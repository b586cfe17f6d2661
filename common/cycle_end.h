#pragma once
// Pieces every child device shares: the local clock, the freshness rule of value queries,
// and the cycle-end publication (publish the image, register the cycle's alarm rules, run
// the model hook, queue the history job).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/TXQVDevice.h"

namespace zrt {

// The current local time at one-second resolution.
boost::posix_time::ptime local_now();

// Whole seconds from `since` to now (signed). A time that was never set counts as long ago.
int64_t seconds_since(const boost::posix_time::ptime& since);

// Refusal texts of value queries.
extern const char* const kNotReady;    // "数据未就绪"
extern const char* const kTimedOut;    // "数据已超时"
extern const char* const kNoChannel;   // "通道参数越界"
extern const char* const kNotProvided; // "数据未提供"

// The freshness rule shared by every child's Get_Value: throws std::out_of_range with
// "数据未就绪" while the device holds no data and "数据已超时" once its data are 61 or more
// whole seconds old. Callers hold the lock under which data_ready and last_update change
// (RecordGuard::query).
void check_fresh(const TXQVDevice& dev);

// One row of a fixed alarm table.
struct AlarmRow {
    int level;
    const char* key;
    const char* signal_id;
    const char* name;
};

// An alarm row's texts in the form the host takes them. Children keep these for their fixed
// tables (built once, at first use), so that registering a rule each cycle builds no string.
struct RuleTexts {
    explicit RuleTexts(const AlarmRow& row) : level(row.level), key(row.key), signal_id(row.signal_id), name(row.name) {}
    int level;
    std::string key;
    std::string signal_id;
    std::string name;
};

// The RuleTexts of a fixed table whose entries hold their AlarmRow as `row`, in table order.
template <class Entry, size_t N>
std::vector<RuleTexts> rule_texts(const Entry (&table)[N]) {
    std::vector<RuleTexts> texts;
    texts.reserve(N);
    for (const Entry& e : table) texts.emplace_back(e.row);
    return texts;
}

// Registers one rule with the device's current rule_seq, then increments it.
void add_rule(TXQVDevice& dev, const RuleTexts& row, const std::string& instance, bool active);
void add_rule(TXQVDevice& dev, const AlarmRow& row, const std::string& instance, bool active);

// Writes the host's time record of the current local time into a record's 7-byte
// `update_time`, verbatim.
void stamp(unsigned char (&update_time)[7]);

// The publication that ends every child's RoundDone once the records are stamped and the
// cycle's image is built, and the device's lock is released. `published` is the device's own
// buffer, which the host may keep; `snapshot` holds the same `size` bytes as they were under
// the lock, in a place that nothing changes until publish_cycle returns (the device's image
// buffer, which only RoundDone writes, or a copy), so that a reply decoded while the host
// handles the publication changes neither the cycle's rules nor what its job saves:
//   1. SendSP(record_type, published, size, false) as the base-class operation;
//   2. rule_seq = 1, then `register_rules(snapshot, size)` (the device's rule table, then its
//      model hook);
//   3. the history job (a shared reference to the device, the device, the rules moved out of
//      pending_rules and its own copy of the snapshot) goes to CheckThresholdWork; it ORs
//      DoBatchCheckThreshold into alarm_flag and saves its copy, so that a later cycle
//      rewriting the device's buffer cannot change what an earlier job saves;
//   4. pending_rules gets its capacity back for the next cycle.
void publish_cycle(TXQVDevice& dev, int record_type, const unsigned char* published, const unsigned char* snapshot,
                   int size, const std::function<void(const unsigned char* snapshot, int size)>& register_rules);

}  // namespace zrt
