#pragma once
// Child devices wired to the development host, as the poller would leave them. The host
// keeps only the images published and saved: recording every rule of every cycle would
// cost more than the code under test.
//
// One host serves every input of a run (shared_host()): a controller per input would cost
// more than most inputs. What it keeps between inputs is put back by end_input(): the
// images are forgotten and every alarm an input's device left raised in the controller's
// alarm table is cleared, so that each input starts from the same host state.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "devhost/devhost.h"
#include "fuzz_util.h"

namespace zrt::fuzz {

// The development controller without its log: the devices' log lines would be packed,
// formatted and dropped at fuzzing speed otherwise.
class QuietController : public devhost::Controller {
public:
    QuietController() : devhost::Controller(devhost::Controller::JobMode::Inline) { log_lines = false; }
};

class Host {
public:
    Host() {
        controller->record_events = false;
        controller->add_observer(&images_);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const std::vector<devhost::ImageEvent>& published() const { return images_.published; }
    const std::vector<devhost::ImageEvent>& saved() const { return images_.saved; }
    void forget() {
        images_.published.clear();
        images_.saved.clear();
    }

    // The alarms of `dev` the controller holds raised.
    size_t raised(TXQVDevice& dev) const {
        return static_cast<size_t>(std::count_if(images_.raised.begin(), images_.raised.end(),
                                                 [&dev](const devhost::AlarmEvent& e) { return owns(dev, e); }));
    }

    // Puts the host back as it was before the input: forgets the images and clears the
    // alarms `dev` raised, through the controller's own alarm check.
    void end_input(TXQVDevice& dev) {
        std::vector<rule_value> clear;
        for (const devhost::AlarmEvent& e : images_.raised) {
            if (!owns(dev, e)) continue;
            clear.push_back(e.rule);
            clear.back().active = 0;
        }
        if (!clear.empty()) controller->batch_check(dev, clear);
        ZRT_FUZZ_CHECK(raised(dev) == 0);
        forget();
    }

    const std::shared_ptr<devhost::Controller> controller = std::make_shared<QuietController>();

private:
    static bool owns(TXQVDevice& dev, const devhost::AlarmEvent& e) {
        return e.data_id == dev.DataId() && e.device_type == dev.DeviceType();
    }

    struct Images : devhost::Observer {
        void on_publish(const devhost::ImageEvent& e) override { published.push_back(e); }
        void on_saved(const devhost::ImageEvent& e) override { saved.push_back(e); }
        void on_alarm(const devhost::AlarmEvent& e) override {
            auto same = [&e](const devhost::AlarmEvent& r) {
                return r.data_id == e.data_id && r.device_type == e.device_type && r.rule.key == e.rule.key &&
                       r.rule.sequence == e.rule.sequence;
            };
            raised.erase(std::remove_if(raised.begin(), raised.end(), same), raised.end());
            if (e.raised) raised.push_back(e);
        }
        std::vector<devhost::ImageEvent> published, saved;
        std::vector<devhost::AlarmEvent> raised;  // held raised by the controller now
    } images_;
};

// The host of the whole run.
inline Host& shared_host() {
    static Host* host = new Host;  // never destroyed: devices of the last input may outlive statics
    return *host;
}

template <class Dev>
std::shared_ptr<Dev> make_child(const Host& host, unsigned id) {
    auto dev = std::make_shared<Dev>();
    dev->controller = host.controller;
    dev->InitV(nullptr, id, Json::Value(Json::objectValue));
    return dev;
}

// A RoundDone has just run after host.forget(): it published `expected` and its history
// job saved the same bytes.
inline void check_cycle_image(Host& host, const std::vector<uint8_t>& expected) {
    ZRT_FUZZ_CHECK(host.published().size() == 1 && host.published().back().image == expected);
    ZRT_FUZZ_CHECK(host.saved().size() == 1 && host.saved().back().image == expected);
    host.forget();
}

template <class T>
void append_raw(std::vector<uint8_t>& out, const T& value) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

}  // namespace zrt::fuzz
