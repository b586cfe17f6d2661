#pragma once
// Child devices wired to a recording development host, as the poller would leave them.
#include <memory>
#include <vector>

#include <json/value.h>

#include "devhost/devhost.h"
#include "fuzz_util.h"

namespace zrt::fuzz {

inline std::shared_ptr<devhost::Controller> make_host() {
    return std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
}

template <class Dev>
std::shared_ptr<Dev> make_child(const std::shared_ptr<devhost::Controller>& host, unsigned id) {
    auto dev = std::make_shared<Dev>();
    dev->controller = host;
    dev->InitV(nullptr, id, Json::Value(Json::objectValue));
    return dev;
}

// Drops what the host recorded, so that a long input does not pile up events.
inline void forget_events(devhost::Controller& host) {
    host.logs.clear();
    host.published.clear();
    host.saved.clear();
    host.rules.clear();
    host.alarms.clear();
}

// A RoundDone has just run on a host without recorded events: it published `expected` and
// its history job saved the same bytes.
inline void check_cycle_image(devhost::Controller& host, const std::vector<uint8_t>& expected) {
    ZRT_FUZZ_CHECK(host.published.size() == 1 && host.published.back().image == expected);
    ZRT_FUZZ_CHECK(host.saved.size() == 1 && host.saved.back().image == expected);
    forget_events(host);
}

template <class T>
void append_raw(std::vector<uint8_t>& out, const T& value) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

}  // namespace zrt::fuzz
