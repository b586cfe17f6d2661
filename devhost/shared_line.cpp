#include "devhost/shared_line.h"

#include "devhost/devhost.h"

namespace devhost {

class SharedLine::Port : public Transport {
public:
    Port(std::shared_ptr<SharedLine> line, size_t idx) : line_(std::move(line)), idx_(idx) {}
    bool is_open() const override { return line_->line_->is_open(); }
    bool write(const uint8_t* data, size_t n) override { return line_->write(idx_, data, n); }
    // Only the holder's time-outs and resyncs clear the line's queues.
    void flush(Queue q) override {
        if (line_->holder_ == static_cast<int>(idx_) || line_->holder_ < 0) line_->line_->flush(q);
    }
    bool may_send() override { return line_->may_send(idx_); }

private:
    std::shared_ptr<SharedLine> line_;
    size_t idx_;
};

SharedLine::SharedLine(std::shared_ptr<Transport> line) : line_(std::move(line)) {}

std::shared_ptr<Transport> SharedLine::port(TXQSPDevice& dev) {
    devices_.push_back(&dev);
    wants_.push_back(false);
    return std::make_shared<Port>(shared_from_this(), devices_.size() - 1);
}

void SharedLine::feed(const uint8_t* data, size_t n) {
    for (TXQSPDevice* dev : devices_) dev->process(data, static_cast<int>(n));
}

void SharedLine::release_if_done() {
    if (holder_ < 0) return;
    const SerialState& s = serial_state(*devices_[static_cast<size_t>(holder_)]);
    if (s.awaiting || s.holding) return;
    next_ = (static_cast<size_t>(holder_) + 1) % devices_.size();
    holder_ = -1;
}

bool SharedLine::turn_of(size_t idx) {
    wants_[idx] = true;
    for (size_t k = 0; k < devices_.size(); ++k) {
        const size_t at = (next_ + k) % devices_.size();
        if (wants_[at]) return at == idx;
    }
    return false;
}

bool SharedLine::may_send(size_t idx) {
    release_if_done();
    if (holder_ == static_cast<int>(idx)) return true;
    wants_[idx] = true;
    if (holder_ < 0 && turn_of(idx)) {
        // Granted; it wants the line again when it writes. A device that is granted the
        // turn but does not use it (a poller waiting for its next cycle) holds up nobody.
        wants_[idx] = false;
        return true;
    }
    ++refusals_;
    return false;
}

bool SharedLine::write(size_t idx, const uint8_t* data, size_t n) {
    if (holder_ == static_cast<int>(idx)) {
        // The holder writes only when its exchange is over (reply, time-out): its next
        // command is a new turn, and a device that waits goes first.
        next_ = (idx + 1) % devices_.size();
        holder_ = -1;
    } else {
        release_if_done();
    }
    if (holder_ >= 0 || !turn_of(idx)) {
        ++refusals_;
        return false;
    }
    holder_ = static_cast<int>(idx);
    wants_[idx] = false;
    return line_->write(data, n);
}

}  // namespace devhost
