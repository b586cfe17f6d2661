#pragma once
// What the minimal controller records of the devices' calls, for the driver to check.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"

namespace contract {

struct Command {
    const TXQVDevice* device;
    uint8_t cid1;
    uint8_t cid2;
    std::vector<uint8_t> info;
    bool with_info;  // the four-argument write_pmbus_cmd
};

struct Image {
    uint32_t data_id;
    std::string device_type;
    int record_type;  // SendSP only
    bool flag;        // SendSP only
    std::vector<uint8_t> bytes;
};

struct Batch {
    uint32_t data_id;
    std::vector<rule_value> rules;
};

struct Record {
    std::vector<Command> commands;
    std::vector<Image> published;
    std::vector<Image> saved;
    std::vector<rule_value> rules;  // every CheckThresholdBool call, in order
    std::vector<Batch> batches;
    std::vector<std::function<void()>> jobs;  // queued by CheckThresholdWork
    std::vector<std::array<uint8_t, 7>> stamps;  // every get_ttime result
    int resets = 0;
};

// The one record of this process.
Record& record();
// Runs the queued history jobs in order; returns how many ran.
size_t run_jobs();
// The controller's time stamp layout: second, minute, hour, day, month, year - 2000, and
// a running count of calls, so that every stamp differs from the one before.
std::array<uint8_t, 7> stamp_of(const boost::posix_time::ptime& t, uint8_t count);

}  // namespace contract
