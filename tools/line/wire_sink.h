#pragma once
// The wire recorder and the frame trace, as a sink of the line's bytes: with a record file,
// both directions go into it with their times; at the debug level, every frame is a
// diagnostics line ("TX ~20014...").
#include <functional>
#include <memory>
#include <string>

#include "base/wire_log.h"
#include "tools/core/events.h"

namespace zrt::host {

class WireSink : public Sink {
public:
    using Diag = std::function<void(int level, const std::string& text)>;
    // `record`: the record file, empty for none (throws HostError, kExitUsage, when it cannot
    // be created); `trace`: every frame to `diag` at level 3.
    WireSink(const std::string& record, bool trace, Diag diag);
    ~WireSink() override;
    // Nothing to do: no record file and no trace.
    bool idle() const { return !recorder_ && !trace_; }

    void wire(bool to_device, const uint8_t* data, size_t n) override;
    void stop(uint64_t cycles, const std::string& reason) override;

private:
    std::unique_ptr<wire::WireRecorder> recorder_;
    bool trace_;
    Diag diag_;
    wire::WireSplitter frames_[2];  // each direction, a frame at a time
};

}  // namespace zrt::host
