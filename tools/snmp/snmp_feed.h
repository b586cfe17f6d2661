#pragma once
// The SNMP subagent's view of the site, filled from what the host sees: published images,
// alarm transitions, finished cycles and the state of the line. Called from the host's
// threads; every call only updates the model under a mutex. The subagent's thread copies
// the model when it has changed, and takes the notifications queued for it.
//
// These five calls are the whole input of the subagent; its sink (snmp_sink.h) makes them
// from the host's typed events.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/core/image_decode.h"
#include "tools/snmp/snmp_model.h"

namespace zrt::snmp {

// A device of the site as the settings make it: a screen or the rectifier group.
struct DeviceRef {
    uint32_t data_id = 0;
    std::string device_type;  // "zrt4600a-ac", "zrt4600a-dc", "zrt4600a-rc"
};

// An alarm rule as the host reports it.
struct AlarmReport {
    uint32_t data_id = 0;
    std::string device_type, key;
    uint32_t sequence = 0;
    std::string signal_id;
    uint32_t level = 0;
    std::string name;      // the system's own text
    std::string instance;  // the system's own text
};


class SnmpFeed {
public:
    // `site`: the site's label; `system_data_id`, `system_type`: the top device; `children`
    // in the settings' order (AC screens, DC screens, then the rectifier group).
    SnmpFeed(const std::string& site, uint32_t system_data_id, const std::string& system_type,
             const std::vector<DeviceRef>& children);
    // Another power system on the same line: its entity beside the first, its children
    // under it, and a row of its own in the systems table.
    void add_system(uint32_t system_data_id, const std::string& system_type, const std::vector<DeviceRef>& children);

    // A published image, decoded; its values become the readings of the device's sensors.
    void publish(uint32_t data_id, const std::string& device_type, int record_type,
                 const zrt::host::DecodedImage& image, Steady::time_point at = Steady::now());
    // An alarm raised or cleared; each change is counted and notified.
    void alarm(const AlarmReport& a, bool raised, SystemClock::time_point at = SystemClock::now());
    // An alarm the last run left raised, listed again without a notification.
    void restored(const AlarmReport& a, SystemClock::time_point since);
    // A complete cycle of the system with this top data id ended (0: the first system).
    void cycle(SystemClock::time_point end = SystemClock::now(), uint32_t system_data_id = 0);
    // The line to the system's plant was lost or came back; notified when the state changes.
    void line(bool up, SystemClock::time_point at = SystemClock::now(), uint32_t system_data_id = 0);

    // For the subagent's thread: a counter that moves with every change, a copy of the model,
    // and the notifications queued since the last call.
    uint64_t version() const { return version_.load(); }
    SiteModel snapshot() const;
    std::vector<Notice> take_notices();

private:
    uint32_t add_entity(Entity e);
    System& system(uint32_t data_id);  // the first for an unknown id
    uint32_t device_entity(uint32_t data_id, const std::string& device_type) const;
    uint32_t module_entity(uint32_t group, size_t module);
    void change_alarm(const AlarmReport& a, bool raised, SystemClock::time_point at, bool news);
    void changed() { ++version_; }

    mutable std::mutex mu_;
    SiteModel m_;
    std::vector<Notice> notices_;
    std::atomic<uint64_t> version_{0};
    uint32_t site_entity_ = 0;
    std::string site_;
    uint32_t next_alarm_ = 1;
    std::vector<std::pair<DeviceRef, uint32_t>> devices_;                // device -> entity
    std::map<std::pair<uint32_t, std::string>, uint32_t> sensor_index_;  // (device entity, value key) -> sensor entity
    std::map<std::pair<uint32_t, size_t>, uint32_t> modules_;            // (group entity, module) -> entity
    std::map<uint32_t, uint32_t> device_sensors_;                        // device entity -> sensors made
};

}  // namespace zrt::snmp
