// The services of the minimal controller: each contract operation does the least the
// contract asks and records what it was handed.
#include "services.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/get_ttime.h"

namespace contract {

Record& record() {
    static Record r;
    return r;
}

size_t run_jobs() {
    size_t n = 0;
    while (!record().jobs.empty()) {
        auto jobs = std::move(record().jobs);
        record().jobs.clear();
        for (auto& job : jobs) {
            job();
            ++n;
        }
    }
    return n;
}

std::array<uint8_t, 7> stamp_of(const boost::posix_time::ptime& t, uint8_t count) {
    std::array<uint8_t, 7> s{};
    if (t.is_special()) return s;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    s[0] = static_cast<uint8_t>(tod.seconds());
    s[1] = static_cast<uint8_t>(tod.minutes());
    s[2] = static_cast<uint8_t>(tod.hours());
    s[3] = static_cast<uint8_t>(d.day());
    s[4] = static_cast<uint8_t>(d.month());
    s[5] = static_cast<uint8_t>(d.year() - 2000);
    s[6] = count;
    return s;
}

}  // namespace contract

using contract::record;

time_stamp7 get_ttime(boost::posix_time::ptime t) {
    const auto s = contract::stamp_of(t, static_cast<uint8_t>(record().stamps.size() + 1));
    record().stamps.push_back(s);
    time_stamp7 out;
    std::memcpy(out.raw, s.data(), sizeof out.raw);
    return out;
}

TXQController::~TXQController() = default;

// ---- VDeviceInterface ----
float VDeviceInterface::Get_Value(unsigned int, const std::string&) const { throw std::out_of_range("数据未就绪"); }
bool VDeviceInterface::LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
}
unsigned int VDeviceInterface::DataId() { return data_id; }
std::string VDeviceInterface::DeviceType() { return device_type; }
int VDeviceInterface::DeviceIoControl(int, void*, int) { return -2; }
void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() { return use_controller_db; }

// ---- TXQVDevice ----
struct TXQVDevice::Book {
    unsigned publications = 0;
};

TXQVDevice::TXQVDevice() : book_(new Book) {}
TXQVDevice::~TXQVDevice() { delete book_; }
int TXQVDevice::DeviceIoControl(int, void*, int) { return -2; }
void TXQVDevice::Reset() {}

bool TXQVDevice::InitV(TXQVDevice* parent, unsigned int id, const Json::Value&) {
    if (parent) controller = parent->controller;
    data_id = id;
    return true;
}

bool TXQVDevice::Init(std::weak_ptr<TXQController> c, unsigned int id, const Json::Value& setting) {
    controller = std::move(c);
    data_id = id;
    return InitSetting(setting);
}

bool TXQVDevice::InitSetting(const Json::Value&) { return true; }
bool TXQVDevice::IsSupportDevice(const std::string& type) { return type == DeviceType(); }

void TXQVDevice::SendSP(int record_type, const unsigned char* data, int len, bool flag) {
    ++book_->publications;
    record().published.push_back({DataId(), DeviceType(), record_type, flag, std::vector<uint8_t>(data, data + len)});
}

bool TXQVDevice::SendDelayData(int) { return false; }
bool TXQVDevice::SendDoData(int, bool) { return false; }
int TXQVDevice::ReadDi(int) { return 0; }
float TXQVDevice::ReadAi(int) { return 0; }
float TXQVDevice::Get_SP_Value(const std::string& key) { return Get_Value(0, key); }

void TXQVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& signal_id,
                                    const std::string& name, const std::string& instance, bool active,
                                    uint16_t sequence) {
    rule_value r;
    r.on = active ? 1 : 0;
    r.alarm_key = key;
    r.signal = signal_id;
    r.grade = static_cast<uint32_t>(level);
    r.index = sequence;
    r.title = name;
    r.where = instance;
    r.owner = DataId();
    record().rules.push_back(r);
    pending_rules.push_back(std::move(r));
}

bool TXQVDevice::DoBatchCheckThreshold(std::vector<rule_value> rules) {
    bool any = false;
    for (const rule_value& r : rules) any = any || r.on;
    record().batches.push_back({DataId(), std::move(rules)});
    return any;
}

// Jobs run later, when the driver asks: a job must carry everything it needs.
void TXQVDevice::CheckThresholdWork(std::function<void()> job) { record().jobs.push_back(std::move(job)); }

void TXQVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
    record().saved.push_back({DataId(), DeviceType(), 0, false, std::vector<uint8_t>(data, data + len)});
}

// ---- TXQSPDevice ----
struct TXQSPDevice::Port {
    bool open = false;
    std::vector<unsigned char> sent;
};

TXQSPDevice::TXQSPDevice() : port_(new Port) {}
TXQSPDevice::~TXQSPDevice() { delete port_; }
void TXQSPDevice::Reset() {
    TXQVDevice::Reset();
    ++record().resets;
}
bool TXQSPDevice::Init(std::weak_ptr<TXQController> c, unsigned int id, const Json::Value& setting) {
    return TXQVDevice::Init(std::move(c), id, setting);
}
bool TXQSPDevice::RefreshStatus() { return port_->open; }
void TXQSPDevice::process(const unsigned char*, int) {}
bool TXQSPDevice::IsProcessing() { return false; }
bool TXQSPDevice::IsStalled() { return false; }
bool TXQSPDevice::SendData(const unsigned char* data, int len) {
    if (!port_->open || len < 0) return false;
    port_->sent.insert(port_->sent.end(), data, data + len);
    return true;
}
bool TXQSPDevice::SendParityData(const unsigned char* data, int len, EnumParity) { return SendData(data, len); }
bool TXQSPDevice::OpenPort() {
    port_->open = true;
    return true;
}
void TXQSPDevice::ClosePort() { port_->open = false; }

// ---- PMBusProtocol ----
// The line of this controller carries replies already decoded: VER, ADR, CID1, RTN, the
// 16-bit little-endian count of info characters, then the info bytes.
PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

void PMBusProtocol::process(const unsigned char* data, int len) {
    if (!data || len < 6) return;
    // Room behind the info for the 20-byte model field that the poller reads whatever the
    // reply's length.
    frame_.assign(data, data + len);
    frame_.resize(static_cast<size_t>(len) + 32, 0);
    reply = frame_.data();
    process_payload();
    reply = nullptr;
}

bool PMBusProtocol::process_payload() { return true; }
void PMBusProtocol::process_error() {}
bool PMBusProtocol::InitSetting(const Json::Value& setting) { return setting.isObject(); }

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2) {
    record().commands.push_back({this, cid1, cid2, {}, false});
    const unsigned char frame[] = {version, 1, cid1, cid2};
    SendData(frame, sizeof frame);
}

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const unsigned char* info, int len) {
    record().commands.push_back({this, cid1, cid2, std::vector<uint8_t>(info, info + len), true});
    const unsigned char frame[] = {version, 1, cid1, cid2};
    SendData(frame, sizeof frame);
}
