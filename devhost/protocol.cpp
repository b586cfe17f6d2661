// The host's frame layer: writes CID1/CID2 commands, decodes replies into the reply buffer
// and hands each one to process_payload, then does the host's part after each reply.
#include <cstdio>
#include <cstring>
#include <string>

#include "devhost/devhost.h"
#include "devhost/registry.h"

namespace {

// Reads an unsigned setting. A missing key leaves `out` alone; a value of another type or
// above `max` is refused.
bool read_unsigned(const Json::Value& setting, const char* key, unsigned max, unsigned& out) {
    const Json::Value& v = setting[key];
    if (v.isNull()) return true;
    if (!v.isUInt() || v.asUInt() > max) return false;
    out = v.asUInt();
    return true;
}

// The top device raises its model-check alarm with CheckThresholdBool but never evaluates
// its own rules; the host does, so that the alarm reaches the alarm table.
void evaluate_own_rules(PMBusProtocol& dev) {
    if (dev.pending_rules.empty()) return;
    std::vector<rule_value> rules = std::move(dev.pending_rules);
    dev.pending_rules.clear();
    if (dev.DoBatchCheckThreshold(rules)) dev.alarm_flag = true;
}

// The top device's data are ready once every child has published a record of its own
// since start (a cached image does not count). A device without children counts itself.
void update_data_ready(PMBusProtocol& dev) {
    if (dev.data_ready || !devhost::serial_state(dev).auto_data_ready) return;
    if (auto c = std::dynamic_pointer_cast<devhost::Controller>(dev.controller.lock()))
        if (!c->auto_data_ready) return;
    bool any = false;
    for (const auto& child : dev.GetAllChildVDevices()) {
        if (!child) continue;
        any = true;
        if (!devhost::detail::has_published(child.get())) return;
    }
    if (!any && !devhost::detail::has_published(&dev)) return;
    dev.data_ready = true;
}

std::string hex_byte(uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

void notify(devhost::SerialState& s, devhost::LineNotice::Kind kind, const devhost::Frame& f, std::string text) {
    if (!s.on_notice) return;
    devhost::LineNotice n;
    n.kind = kind;
    n.cid1 = f.cid1;
    n.rtn = f.cid2;
    n.text = std::move(text);
    s.on_notice(n);
}

// Only the reply to the awaited command reaches the device. After a loss the line may
// still carry answers to commands sent into it while it was dead: the first good frame
// is dropped, and so is everything up to a quiet guard time; then the cycle starts again
// from its first command (the poller begins a cycle from state 0).
void deliver(PMBusProtocol& dev, const devhost::Frame& f) {
    devhost::SerialState& s = devhost::serial_state(dev);
    if (f.adr != s.address) {
        ++s.foreign_frames;
        return;
    }
    if (s.after_loss) {
        s.after_loss = false;
        s.resyncing = true;
        s.awaiting = false;
        s.timeouts_in_row = 0;
        ++s.resyncs;
        ++s.stale_frames;
        s.resync_expect = s.unanswered > 0 ? s.unanswered - 1 : 0;
        s.unanswered = 0;
        s.owed = 0;
        // The command parked during the loss belongs to the cycle that is given up.
        s.parked.clear();
        s.holding = false;
        s.held.clear();
        dev.poll_state = 0;
        if (s.transport) s.transport->flush(devhost::Transport::Input);
        notify(s, devhost::LineNotice::Resync, f,
               "address " + std::to_string(s.address) + " answers again after a loss; its reply (CID1 " +
                   hex_byte(f.cid1) + ") and what follows until the line is quiet are dropped, and the cycle starts again");
        return;
    }
    if (s.resyncing || !s.awaiting) {
        ++s.stale_frames;
        if (s.resyncing && s.resync_expect > 0) --s.resync_expect;
        if (!s.resyncing && s.owed > 0) --s.owed;
        if (!s.resyncing)
            notify(s, devhost::LineNotice::Stale, f,
                   "a reply (CID1 " + hex_byte(f.cid1) + ") from address " + std::to_string(s.address) +
                       " came when none was awaited (late); dropped");
        return;
    }
    s.awaiting = false;
    s.timeouts_in_row = 0;
    s.owed = s.unanswered > 1 ? s.unanswered - 1 : 0;
    s.errors_seen = s.decoder.stats().errors();
    s.unanswered = 0;
    if (f.cid2 != 0) {
        ++s.rtn_counts[f.cid2];
        notify(s, devhost::LineNotice::Rtn, f,
               "the reply to " + hex_byte(s.last_cid1) + "_" + hex_byte(s.last_cid2) + " from address " +
                   std::to_string(s.address) + " carries RTN 0x" + hex_byte(f.cid2) + " (" +
                   devhost::rtn_meaning(f.cid2) + ")");
    }

    // Only this reply's bytes: nothing of an earlier, longer reply stays behind the info.
    // The buffer is made on the first reply; a child never receives one.
    if (s.reply_buf.size() != devhost::kReplyBufferSize) s.reply_buf.assign(devhost::kReplyBufferSize, 0);
    std::fill(s.reply_buf.begin(), s.reply_buf.end(), 0);
    s.reply_buf[0] = f.ver;
    s.reply_buf[1] = f.adr;
    s.reply_buf[2] = f.cid1;
    s.reply_buf[3] = f.cid2;
    s.reply_buf[4] = static_cast<uint8_t>(f.lenid & 0xFF);
    s.reply_buf[5] = static_cast<uint8_t>(f.lenid >> 8);
    if (!f.info.empty()) std::memcpy(s.reply_buf.data() + devhost::kReplyHeader, f.info.data(), f.info.size());
    dev.reply = s.reply_buf.data();
    ++s.replies;

    dev.process_payload();

    evaluate_own_rules(dev);
    update_data_ready(dev);
}

}  // namespace

PMBusProtocol::PMBusProtocol() {
    devhost::serial_state(*this).on_frame = [this](const devhost::Frame& f) { deliver(*this, f); };
}

PMBusProtocol::~PMBusProtocol() { devhost::serial_state(*this).on_frame = nullptr; }

void PMBusProtocol::process(const unsigned char* data, int len) {
    if (!data || len <= 0) return;
    TXQSPDevice::process(data, len);
    devhost::SerialState& s = devhost::serial_state(*this);
    if (s.in_process) {
        s.pending_input.append(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
        return;
    }
    s.in_process = true;
    try {
        s.decoder.feed(data, static_cast<size_t>(len));
        while (!s.pending_input.empty()) {
            std::string more;
            more.swap(s.pending_input);
            s.decoder.feed(reinterpret_cast<const uint8_t*>(more.data()), more.size());
        }
    } catch (...) {
        // A throwing process_payload leaves the decoder mid-frame; start clean next time.
        s.decoder.clear();
        s.pending_input.clear();
        s.in_process = false;
        throw;
    }
    s.in_process = false;
}

bool PMBusProtocol::process_payload() { return true; }

void PMBusProtocol::process_error() {}

bool PMBusProtocol::InitSetting(const Json::Value& setting) {
    // jsoncpp throws when a key is looked up in anything but an object (or null).
    if (!setting.isObject() && !setting.isNull()) {
        InfoLog("PMBusProtocol:setting {} the settings must be a JSON object", DataId());
        return false;
    }
    devhost::SerialState& s = devhost::serial_state(*this);
    unsigned adr = s.address;
    unsigned timeout = static_cast<unsigned>(s.reply_timeout.count());
    if (!read_unsigned(setting, "address", 0xFF, adr)) {
        InfoLog("PMBusProtocol:setting {} \"address\" must be an integer from 0 to 255", DataId());
        return false;
    }
    if (!read_unsigned(setting, "reply_timeout_ms", 600000, timeout) || timeout == 0) {
        InfoLog("PMBusProtocol:setting {} \"reply_timeout_ms\" must be an integer from 1 to 600000", DataId());
        return false;
    }
    unsigned guard_ms = 0;
    const bool guard_set = !setting["guard_ms"].isNull();
    if (!read_unsigned(setting, "guard_ms", 60000, guard_ms)) {
        InfoLog("PMBusProtocol:setting {} \"guard_ms\" must be an integer from 0 to 60000", DataId());
        return false;
    }
    const Json::Value& ready = setting["auto_data_ready"];
    if (!ready.isNull() && !ready.isBool()) {
        InfoLog("PMBusProtocol:setting {} \"auto_data_ready\" must be true or false", DataId());
        return false;
    }
    s.address = static_cast<uint8_t>(adr);
    s.reply_timeout = std::chrono::milliseconds(timeout);
    if (!ready.isNull()) s.auto_data_ready = ready.asBool();
    if (guard_set) s.guard = std::chrono::milliseconds(guard_ms);
    return true;
}

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2) { write_pmbus_cmd(cid1, cid2, nullptr, 0); }

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* info, int len) {
    devhost::SerialState& s = devhost::serial_state(*this);
    if (len < 0 || (len > 0 && !info) || static_cast<size_t>(len) > devhost::kMaxInfoBytes) {
        ++s.refused_commands;
        InfoLog("PMBusProtocol:command {} {:02X}_{:02X} refused, info length {}", DataId(), cid1, cid2, len);
        return;
    }
    const std::string frame = devhost::encode_frame(version, s.address, cid1, cid2, info, static_cast<size_t>(len));
    s.last_cid1 = cid1;
    s.last_cid2 = cid2;
    s.last_ver = version;
    if (s.after_loss) {
        // The line is lost: the command waits and a probe asks whether the equipment is back.
        s.parked = frame;
        const devhost::SteadyClock::time_point now = s.now();
        if (now >= s.next_probe && !s.awaiting) devhost::detail::send_probe(*this, s, now);
        return;
    }
    if (s.owed > 0) {
        // Sent by RefreshStatus once the owed answers have come or the line is quiet.
        s.held = frame;
        s.holding = true;
        return;
    }
    // Awaited before the bytes go: a transport may answer from inside the write.
    s.awaiting = true;
    s.last_activity = s.now();
    ++s.unanswered;
    if (!SendData(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<int>(frame.size()))) {
        s.awaiting = false;
        --s.unanswered;
        return;
    }
    ++s.commands_sent;
}
