// The development controller: records what devices report, keeps the alarm table and runs
// history jobs.
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include <fmt/args.h>
#include <fmt/format.h>

#include "devhost/devhost.h"
#include "devhost/registry.h"

TXQController::~TXQController() = default;

// The log sink of this process: a device's InfoLog reaches it when the device reports to
// one of our controllers, and the line is formatted and recorded there. Lines for any
// other controller are dropped, as the controller's own empty hook would.
extern "C" void txq_log_sink(TXQController* controller, const char* format, size_t format_size,
                             const txq_log_arg* args, size_t count) {
    auto* c = dynamic_cast<devhost::Controller*>(controller);
    if (c == nullptr || format == nullptr) return;
    if (!c->log_lines) {
        // Dropped unformatted; the texts are still read through, so that a text argument
        // that points at freed or foreign memory is caught as it would be when logged.
        for (size_t k = 0; k < count; ++k)
            if (args[k].kind == txq_log_arg::kText && args[k].value.text.data)
                static_cast<void>(std::memchr(args[k].value.text.data, 0, args[k].value.text.size));
        return;
    }
    std::vector<devhost::LogArg> list;
    list.reserve(count);
    for (size_t k = 0; k < count; ++k) {
        const txq_log_arg& a = args[k];
        switch (a.kind) {
        case txq_log_arg::kSigned: list.emplace_back(a.value.i); break;
        case txq_log_arg::kUnsigned: list.emplace_back(a.value.u); break;
        case txq_log_arg::kFloat: list.emplace_back(a.value.f); break;
        case txq_log_arg::kDouble: list.emplace_back(a.value.d); break;
        case txq_log_arg::kText:
            list.emplace_back(a.value.text.data ? std::string(a.value.text.data, a.value.text.size) : std::string());
            break;
        default: list.emplace_back(std::string("?")); break;
        }
    }
    c->Log(std::string(format, format_size), list);
}

namespace devhost {

namespace {

using DeviceKey = std::pair<uint32_t, std::string>;  // data id, device type
using RuleKey = std::pair<std::string, uint32_t>;    // key, sequence

std::string format_line(const std::string& format, const std::vector<LogArg>& args) {
    fmt::dynamic_format_arg_store<fmt::format_context> store;
    for (const LogArg& a : args) std::visit([&store](const auto& v) { store.push_back(v); }, a);
    try {
        return fmt::vformat(format, store);
    } catch (const fmt::format_error&) {
        // A text whose placeholders do not fit its arguments still reaches the log.
        return format;
    }
}

uint32_t first_arg_as_id(const std::vector<LogArg>& args) {
    if (args.empty()) return 0;
    if (auto u = std::get_if<uint64_t>(&args[0])) return static_cast<uint32_t>(*u);
    if (auto i = std::get_if<int64_t>(&args[0])) return static_cast<uint32_t>(*i);
    return 0;
}

}  // namespace

struct Controller::Impl {
    JobMode mode;
    // Alarm table: the rules last seen raised, per device.
    std::map<DeviceKey, std::map<RuleKey, rule_value>> raised;

    std::mutex qmu;
    std::condition_variable qcv;    // work arrived, or stop
    std::condition_variable idle;   // queue empty and no job running
    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stop = false;
    std::thread worker;
};

Controller::Controller(JobMode mode) : impl_(std::make_unique<Impl>()) {
    impl_->mode = mode;
    if (mode == JobMode::Worker) {
        impl_->worker = std::thread([this] {
            Impl& im = *impl_;
            std::unique_lock<std::mutex> lock(im.qmu);
            for (;;) {
                im.qcv.wait(lock, [&im] { return im.stop || !im.queue.empty(); });
                if (im.queue.empty()) break;  // stopping, and nothing is left to run
                std::function<void()> job = std::move(im.queue.front());
                im.queue.pop_front();
                im.busy = true;
                lock.unlock();
                // Reported without virtual dispatch: a derived controller may already be
                // gone while ~Controller lets the queue finish.
                try {
                    job();
                } catch (const std::exception& e) {
                    Controller::Log("Controller:history job failed: {}", {LogArg(std::string(e.what()))});
                } catch (...) {
                    Controller::Log("Controller:history job failed", {});
                }
                job = nullptr;  // release the device it holds before reporting idle
                lock.lock();
                im.busy = false;
                if (im.queue.empty()) im.idle.notify_all();
            }
        });
    }
}

Controller::~Controller() {
    if (impl_->worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(impl_->qmu);
            impl_->stop = true;
        }
        impl_->qcv.notify_all();
        impl_->worker.join();  // queued jobs still run first: no history is lost
    }
}

void Controller::add_observer(Observer* o) {
    std::lock_guard<std::mutex> lock(mu_);
    auto list = std::make_shared<std::vector<Observer*>>(*observers_);
    list->push_back(o);
    observers_ = std::move(list);
}

void Controller::run_job(std::function<void()> job) {
    if (!job) return;
    if (impl_->mode == JobMode::Inline) {
        try {
            job();
        } catch (const std::exception& e) {
            Log("Controller:history job failed: {}", {LogArg(std::string(e.what()))});
        } catch (...) {
            Log("Controller:history job failed", {});
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->qmu);
        impl_->queue.push_back(std::move(job));
    }
    impl_->qcv.notify_one();
}

void Controller::drain() {
    if (impl_->mode == JobMode::Inline) return;
    // A job that drains would wait for itself.
    if (std::this_thread::get_id() == impl_->worker.get_id()) return;
    std::unique_lock<std::mutex> lock(impl_->qmu);
    impl_->idle.wait(lock, [this] { return impl_->queue.empty() && !impl_->busy; });
}

bool Controller::batch_check(TXQVDevice& dev, const std::vector<rule_value>& batch) {
    const DeviceKey device{dev.DataId(), dev.DeviceType()};
    std::vector<AlarmEvent> transitions;
    bool any_active = false;
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto& table = impl_->raised[device];
        for (const rule_value& r : batch) {
            const RuleKey key{r.key, r.sequence};
            auto it = table.find(key);
            if (r.active) {
                any_active = true;
                if (it == table.end()) {
                    table.emplace(key, r);
                    transitions.push_back({device.first, device.second, r, true});
                } else {
                    it->second = r;  // still raised; keep the latest texts
                }
            } else if (it != table.end()) {
                table.erase(it);
                transitions.push_back({device.first, device.second, r, false});
            }
        }
        if (record_events) alarms.insert(alarms.end(), transitions.begin(), transitions.end());
        obs = observers_;
    }
    for (const AlarmEvent& e : transitions)
        for (Observer* o : *obs) o->on_alarm(e);
    return any_active;
}

void Controller::publish(TXQVDevice& dev, int record_type, const unsigned char* data, int len) {
    ImageEvent e{dev.DataId(), dev.DeviceType(), record_type, std::vector<uint8_t>(data, data + len)};
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (record_events) published.push_back(e);
        obs = observers_;
    }
    for (Observer* o : *obs) o->on_publish(e);
}

void Controller::save(TXQVDevice& dev, const unsigned char* data, int len) {
    ImageEvent e{dev.DataId(), dev.DeviceType(), detail::last_record_type(&dev),
                 std::vector<uint8_t>(data, data + len)};
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (record_events) saved.push_back(e);
        obs = observers_;
    }
    for (Observer* o : *obs) o->on_saved(e);
}

void Controller::rule(TXQVDevice& dev, const rule_value& r) {
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (record_events) rules.push_back(r);
        obs = observers_;
    }
    for (Observer* o : *obs) o->on_rule(dev.DataId(), r);
}

void Controller::restore_alarm(uint32_t data_id, const std::string& device_type, const rule_value& r) {
    std::lock_guard<std::mutex> lock(mu_);
    impl_->raised[{data_id, device_type}][{r.key, r.sequence}] = r;
}

bool Controller::clear_alarm(uint32_t data_id, const std::string& device_type, const std::string& key,
                             uint32_t sequence) {
    AlarmEvent e;
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto dev = impl_->raised.find({data_id, device_type});
        if (dev == impl_->raised.end()) return false;
        auto it = dev->second.find({key, sequence});
        if (it == dev->second.end()) return false;
        e = {data_id, device_type, it->second, false};
        e.rule.active = false;
        dev->second.erase(it);
        if (record_events) alarms.push_back(e);
        obs = observers_;
    }
    for (Observer* o : *obs) o->on_alarm(e);
    return true;
}

void Controller::Log(const std::string& format, const std::vector<LogArg>& args) {
    LogEvent e{first_arg_as_id(args), format_line(format, args), format, args};
    ObserverList obs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (record_events) logs.push_back(e);
        obs = observers_;
    }
    for (Observer* o : *obs) o->on_log(e);
}

}  // namespace devhost
