#include "tools/line/wire_sink.h"

#include "tools/core/host_error.h"

namespace zrt::host {

WireSink::WireSink(const std::string& record, bool trace, Diag diag) : trace_(trace), diag_(std::move(diag)) {
    if (record.empty()) return;
    try {
        recorder_ = std::make_unique<wire::WireRecorder>(record);
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, "the record file " + record + ": " + e.what());
    }
}

WireSink::~WireSink() = default;

void WireSink::wire(bool to_device, const uint8_t* data, size_t n) {
    if (recorder_) recorder_->add(to_device ? wire::Direction::ToDevice : wire::Direction::FromDevice, data, n);
    if (!trace_) return;
    for (const std::string& f : frames_[to_device ? 0 : 1].feed(data, n))
        diag_(3, std::string(to_device ? "TX " : "RX ") + wire::escape_wire(f));
}

void WireSink::stop(uint64_t, const std::string&) {
    if (recorder_) recorder_->flush();
}

}  // namespace zrt::host
