// The host's device framework: VDeviceInterface, TXQVDevice, TXQSPDevice, get_ttime, and
// the in-memory transport.
#include <algorithm>
#include <utility>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "devhost/devhost.h"
#include "devhost/registry.h"
#include "host/get_ttime.h"

namespace devhost {
namespace detail {
namespace {

struct DeviceFacts {
    bool published = false;
    int record_type = 0;
};

// Never destroyed: a device with static storage may be destroyed after any function-local
// static, and its destructor still reaches the registry.
std::mutex& registry_mutex() {
    static auto* mu = new std::mutex;
    return *mu;
}

std::unordered_map<const TXQVDevice*, DeviceFacts>& registry() {
    static auto* facts = new std::unordered_map<const TXQVDevice*, DeviceFacts>;
    return *facts;
}

}  // namespace

void note_published(const TXQVDevice* dev, int record_type) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    DeviceFacts& f = registry()[dev];
    f.published = true;
    f.record_type = record_type;
}

bool has_published(const TXQVDevice* dev) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto it = registry().find(dev);
    return it != registry().end() && it->second.published;
}

int last_record_type(const TXQVDevice* dev) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto it = registry().find(dev);
    return it == registry().end() ? 0 : it->second.record_type;
}

void forget(const TXQVDevice* dev) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry().erase(dev);
}

void send_probe(TXQSPDevice& dev, SerialState& s, SteadyClock::time_point now) {
    const std::string frame = encode_frame(s.last_ver, s.address, s.last_cid1, SerialState::kProbeCid2, nullptr, 0);
    // Whatever waits in the input now is no answer to this probe.
    s.transport->flush(Transport::Input);
    s.decoder.clear();
    s.next_probe = now + s.probe_interval(now - s.lost_since);
    s.awaiting = true;
    s.last_activity = now;
    ++s.unanswered;
    if (!dev.SendData(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<int>(frame.size()))) {
        s.awaiting = false;
        --s.unanswered;
        return;
    }
    ++s.commands_sent;
    ++s.probes;
}

}  // namespace detail

namespace {

std::shared_ptr<Controller> host_of(const TXQVDevice& dev) {
    return std::dynamic_pointer_cast<Controller>(dev.controller.lock());
}

}  // namespace

Transport::~Transport() = default;

bool MemoryTransport::write(const uint8_t* data, size_t n) {
    if (!open) return false;
    written.append(reinterpret_cast<const char*>(data), n);
    return true;
}

std::vector<std::string> MemoryTransport::frames() const {
    std::vector<std::string> out;
    size_t pos = 0;
    while ((pos = written.find(kSOI, pos)) != std::string::npos) {
        size_t end = written.find(kEOI, pos);
        if (end == std::string::npos) break;
        out.push_back(written.substr(pos, end - pos + 1));
        pos = end + 1;
    }
    return out;
}

void inject(TXQSPDevice& dev, const std::string& bytes) {
    dev.process(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

SerialState::SerialState()
    : now([] { return SteadyClock::now(); }), decoder([this](const Frame& f) {
          if (on_frame) on_frame(f);
      }) {}

bool attach(TXQSPDevice& dev, std::shared_ptr<Transport> transport) {
    serial_state(dev).transport = std::move(transport);
    return dev.OpenPort();
}

std::chrono::microseconds SerialState::guard_at(int line_baud) const {
    if (guard.count() >= 0) return guard;
    if (line_baud <= 0) return std::chrono::microseconds(0);
    // Ten bits a character, rounded up.
    const long long bits = 10LL * kGuardChars * 1000000LL;
    return std::chrono::microseconds((bits + line_baud - 1) / line_baud);
}

void SerialState::enter_loss(SteadyClock::time_point at) {
    if (after_loss) return;
    after_loss = true;
    lost_since = at;
    next_probe = at;
}

std::chrono::microseconds SerialState::probe_interval(SteadyClock::duration lost_for) const {
    using std::chrono::microseconds;
    // One probe a reply time-out at first; after 15 s of loss the pace slows with the
    // loss's length, up to the longest interval (never below the reply time-out).
    const microseconds timeout = std::chrono::duration_cast<microseconds>(reply_timeout);
    const microseconds slow = std::chrono::duration_cast<microseconds>(lost_for / 15);
    const microseconds longest = std::max<microseconds>(timeout, kMaxProbeInterval);
    return std::min(std::max(timeout, slow), longest);
}

const char* rtn_meaning(uint8_t rtn) {
    switch (rtn) {
    case 0x00: return "normal";
    case 0x01: return "version error";
    case 0x02: return "CHKSUM error";
    case 0x03: return "LCHKSUM error";
    case 0x04: return "invalid CID2";
    case 0x05: return "command format error";
    case 0x06: return "invalid data";
    default: return "equipment-defined";
    }
}

SerialState& serial_state(TXQSPDevice& dev) { return TXQHostAccess::serial(dev); }
const SerialState& serial_state(const TXQSPDevice& dev) { return TXQHostAccess::serial(dev); }
uint8_t address(const TXQSPDevice& dev) { return TXQHostAccess::serial(dev).address; }
const Json::Value& setting(const TXQVDevice& dev) { return TXQHostAccess::setting(dev); }

}  // namespace devhost

// The state behind the contract classes' private pointers.
struct TXQVDevice::HostState {
    Json::Value setting;  // the settings the device was configured with
};

struct TXQSPDevice::HostState : devhost::SerialState {};

devhost::SerialState& TXQHostAccess::serial(TXQSPDevice& dev) { return *dev.host_; }
const devhost::SerialState& TXQHostAccess::serial(const TXQSPDevice& dev) { return *dev.host_; }
const Json::Value& TXQHostAccess::setting(const TXQVDevice& dev) { return dev.host_->setting; }

// ---- VDeviceInterface ----------------------------------------------------------------

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}
unsigned int VDeviceInterface::DataId() { return data_id; }
std::string VDeviceInterface::DeviceType() { return device_type; }
int VDeviceInterface::DeviceIoControl(int, void*, int, void*, int) { return -2; }
void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() { return use_controller_db; }

// ---- TXQVDevice ----------------------------------------------------------------------

TXQVDevice::TXQVDevice() : host_(new HostState) {}

TXQVDevice::~TXQVDevice() {
    devhost::detail::forget(this);
    delete host_;
}

int TXQVDevice::DeviceIoControl(int, void*, int, void*, int) { return -2; }

void TXQVDevice::Reset() {}

bool TXQVDevice::InitV(TXQVDevice* parent, unsigned int id, const Json::Value& s) {
    data_id = id;
    if (parent) controller = parent->controller;
    host_->setting = s;
    return true;
}

bool TXQVDevice::Init(std::weak_ptr<TXQController> ctrl, unsigned int id, const Json::Value& s) {
    controller = std::move(ctrl);
    data_id = id;
    host_->setting = s;
    return InitSetting(s);
}

bool TXQVDevice::InitSetting(const Json::Value&) { return true; }

bool TXQVDevice::IsSupportDevice(const std::string& type) { return type == DeviceType(); }

void TXQVDevice::SendSP(int record_type, const unsigned char* data, int len, bool) {
    if (len < 0 || (len > 0 && !data)) return;
    devhost::detail::note_published(this, record_type);
    if (auto c = devhost::host_of(*this)) c->publish(*this, record_type, data, len);
}

bool TXQVDevice::SendDelayData(const unsigned char*, int, int) { return false; }
bool TXQVDevice::SendDoData(unsigned int, int) { return false; }
bool TXQVDevice::ReadDi(unsigned int, int&) { return false; }
bool TXQVDevice::ReadAi(unsigned int, float&) { return false; }

float TXQVDevice::Get_SP_Value(unsigned int index, const std::string& key) { return Get_Value(index, key); }

void TXQVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& signal_id,
                                    const std::string& name, const std::string& instance, bool active,
                                    uint16_t sequence) {
    pending_rules.emplace_back();
    rule_value& r = pending_rules.back();
    r.active = active ? 1 : 0;
    r.key = key;
    r.signal_id = signal_id;
    r.level = static_cast<uint32_t>(level);
    r.sequence = sequence;
    r.name = name;
    r.instance = instance;
    r.data_id = DataId();
    if (auto c = devhost::host_of(*this)) c->rule(*this, r);
}

bool TXQVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    if (auto c = devhost::host_of(*this)) return c->batch_check(*this, rules);
    for (const rule_value& r : rules)
        if (r.active) return true;
    return false;
}

void TXQVDevice::CheckThresholdWork(std::function<void()> job) {
    if (!job) return;
    if (auto c = devhost::host_of(*this)) {
        c->run_job(std::move(job));
    } else {
        job();
    }
}

void TXQVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
    if (len < 0 || (len > 0 && !data)) return;
    if (auto c = devhost::host_of(*this)) c->save(*this, data, len);
}

// ---- TXQSPDevice ---------------------------------------------------------------------

TXQSPDevice::TXQSPDevice() : host_(new HostState) {}

TXQSPDevice::~TXQSPDevice() { delete host_; }

void TXQSPDevice::Reset() {
    TXQVDevice::Reset();
    host_->decoder.clear();
    host_->awaiting = false;
    last_update = boost::posix_time::second_clock::local_time();
}

bool TXQSPDevice::Init(std::weak_ptr<TXQController> ctrl, unsigned int id, const Json::Value& s) {
    host_->decoder.clear();
    host_->awaiting = false;
    return TXQVDevice::Init(std::move(ctrl), id, s);
}

namespace {

bool reply_timed_out(const devhost::SerialState& s) {
    return s.awaiting && s.now() - s.last_activity >= s.reply_timeout;
}

// The awaited reply did not come: forget what arrived of it, and discard what still waits
// in the input, so that a late reply is not taken for the answer to the next command.
void note_timeout(devhost::SerialState& s, devhost::SteadyClock::time_point now, uint32_t& stall_count) {
    s.awaiting = false;
    // A reply cut off in the middle (the equipment stopped while it answered) never comes
    // whole: the rest arrives, if at all, without its start. Nothing more is awaited of it.
    if (s.decoder.in_frame() && s.unanswered > 0) --s.unanswered;
    s.decoder.clear();
    s.transport->flush(devhost::Transport::Input);
    s.quiet_since = now;
    ++stall_count;
    ++s.timeouts;
    // Commands sent into a dead line may wait on the way and be answered in a burst.
    if (++s.timeouts_in_row >= devhost::SerialState::kLossTimeouts) s.enter_loss(now);
}


}  // namespace

bool TXQSPDevice::RefreshStatus() {
    devhost::SerialState& s = *host_;
    if (!s.transport || !s.transport->is_open()) return false;
    const devhost::SteadyClock::time_point now = s.now();
    if (s.holding && !s.after_loss) {
        // Bad frames are answers too.
        const uint64_t errors = s.decoder.stats().errors();
        const uint64_t bad = std::min<uint64_t>(errors - s.errors_seen, s.owed);
        s.owed -= bad;
        s.errors_seen = errors;
        const bool quiet_long = !s.quiet_since || now - *s.quiet_since >= s.reply_timeout;
        if (s.owed > 0 && !quiet_long) return false;
        if (s.quiet_since && now - *s.quiet_since < s.guard_at(s.baud > 0 ? s.baud : baud_rate)) return false;
        if (!s.transport->may_send()) return false;
        s.owed = 0;
        s.holding = false;
        std::string frame;
        frame.swap(s.held);
        s.awaiting = true;
        s.last_activity = now;
        ++s.unanswered;
        if (!SendData(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<int>(frame.size()))) {
            s.awaiting = false;
            --s.unanswered;
            return false;
        }
        ++s.commands_sent;
        return false;  // the device's command is on its way
    }
    if (s.awaiting) {
        if (!reply_timed_out(s)) return false;
        note_timeout(s, now, stall_count);
    }
    // The next command goes once the line has been quiet for the guard time.
    if (s.quiet_since && now - *s.quiet_since < s.guard_at(s.baud > 0 ? s.baud : baud_rate)) return false;
    if (s.after_loss) {
        // Lost: the device's command is parked (write_pmbus_cmd) and probes go at their pace.
        if (now < s.next_probe || !s.transport->may_send()) return false;
        if (s.parked.empty()) return true;  // the device's next command is parked and probed for
        devhost::detail::send_probe(*this, s, now);
        return false;
    }
    if (s.resyncing) {
        if (s.resync_expect > 0 && s.quiet_since && now - *s.quiet_since < s.reply_timeout) return false;
        s.resyncing = false;
        s.resync_expect = 0;
    }
    return s.transport->may_send();
}

void TXQSPDevice::process(const unsigned char* data, int len) {
    if (!data || len <= 0) return;
    host_->bytes_received += static_cast<uint64_t>(len);
    host_->last_activity = host_->now();
    host_->quiet_since = host_->last_activity;
}

bool TXQSPDevice::IsProcessing() {
    return host_->holding || !host_->parked.empty() || (host_->awaiting && !reply_timed_out(*host_));
}

bool TXQSPDevice::IsStalled() { return reply_timed_out(*host_); }

bool TXQSPDevice::SendData(const unsigned char* data, int len) {
    devhost::SerialState& s = *host_;
    if (len < 0 || (len > 0 && !data) || !s.transport || !s.transport->is_open() ||
        !s.transport->write(data, static_cast<size_t>(len))) {
        ++s.send_failures;
        return false;
    }
    return true;
}

bool TXQSPDevice::SendParityData(const unsigned char* data, int len, EnumParity) {
    // The transports here carry bytes only; the parity belongs to the port settings.
    return SendData(data, len);
}

// The line is the one attached with devhost::attach.
bool TXQSPDevice::OpenPort() {
    devhost::SerialState& s = *host_;
    s.awaiting = false;
    s.decoder.clear();
    if (!s.transport || !s.transport->is_open()) return false;
    if (s.port_closed) {
        // Opened again after a loss: nothing written before may still go out, nothing
        // received before is an answer, and the first good frame only resynchronises.
        s.port_closed = false;
        s.transport->flush(devhost::Transport::Both);
        s.enter_loss(s.now());
        s.resyncing = false;
        s.unanswered = 0;
        s.owed = 0;
        s.holding = false;
        s.held.clear();
        s.quiet_since = s.now();
    }
    return true;
}

void TXQSPDevice::ClosePort() {
    if (host_->transport) host_->port_closed = true;
    host_->holding = false;
    host_->held.clear();
    host_->parked.clear();
    host_->owed = 0;
    host_->transport.reset();
    host_->awaiting = false;
    host_->decoder.clear();
}

// ---- get_ttime -----------------------------------------------------------------------

ttime get_ttime(const boost::posix_time::ptime& t) {
    ttime out{};
    if (t.is_special()) return out;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<uint16_t>(d.year());
    out.month = static_cast<uint8_t>(d.month());
    out.day = static_cast<uint8_t>(d.day());
    out.hour = static_cast<uint8_t>(tod.hours());
    out.minute = static_cast<uint8_t>(tod.minutes());
    out.second = static_cast<uint8_t>(tod.seconds());
    return out;
}
