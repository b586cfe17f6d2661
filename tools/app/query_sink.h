#pragma once
// The --query answers: after the last cycle, each query is read from its device (the value,
// or the device's refusal with an English explanation) and goes to the sinks as a value
// event, with where the device's data came from (a cycle of this run, or an image the
// history kept). As a sink, it notes each device's last publication.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/core/events.h"

namespace zrt::host {

struct Query {
    std::string device;  // a data id, or "rc" for the rectifier child
    std::string key;
};
// "DEVICE:KEY"; throws HostError (kExitUsage).
Query parse_query(const std::string& text);

class QuerySink : public Sink {
public:
    // A power system's top device, and its rectifier child's data id and type.
    struct System {
        std::shared_ptr<TXQSPDevice> dev;
        uint32_t rc_id = 0;
        std::string rc_type;
    };
    // `cycle_of`: the number of the cycle under way in the system of a data id (0: none).
    QuerySink(std::vector<Query> queries, std::vector<System> systems, std::function<uint64_t(uint32_t)> cycle_of,
              std::function<void(int, const std::string&)> diag);

    // A query no device of the settings can ever answer is refused before polling starts:
    // a data id no system configures (or a top device, which answers none), or a key the
    // device does not answer. Throws HostError (kExitUsage) naming `settings_file`.
    void check(const std::string& settings_file) const;
    // A device was handed a stored image of this time at start.
    void stored(uint32_t data_id, const std::string& device_type, SystemClock::time_point time);
    void image(const ImageEvent& e) override;
    // Answers every query to `events`; false when a device refused one.
    bool answer(const Dispatcher& events);

private:
    struct Origin {
        uint64_t cycle = 0;
        SystemClock::time_point time;
    };
    std::vector<Query> queries_;
    std::vector<System> systems_;
    std::function<uint64_t(uint32_t)> cycle_of_;
    std::function<void(int, const std::string&)> diag_;
    std::mutex mu_;
    std::map<std::pair<uint32_t, std::string>, Origin> published_;
    std::map<std::pair<uint32_t, std::string>, SystemClock::time_point> stored_;
};

}  // namespace zrt::host
