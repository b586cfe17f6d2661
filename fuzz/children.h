#pragma once
// Child devices wired to the development host, as the poller would leave them. The host
// keeps only the images published and saved: recording every rule of every cycle would
// cost more than the code under test.
#include <memory>
#include <vector>

#include <json/value.h>

#include "devhost/devhost.h"
#include "fuzz_util.h"

namespace zrt::fuzz {

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

    const std::shared_ptr<devhost::Controller> controller =
        std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);

private:
    struct Images : devhost::Observer {
        void on_publish(const devhost::ImageEvent& e) override { published.push_back(e); }
        void on_saved(const devhost::ImageEvent& e) override { saved.push_back(e); }
        std::vector<devhost::ImageEvent> published, saved;
    } images_;
};

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
