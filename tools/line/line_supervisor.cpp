#include "tools/line/line_supervisor.h"

#include <algorithm>

#include <asio/post.hpp>
#include <fmt/format.h>

#include "tools/line/serial_line.h"

namespace zrt::host {

namespace {

// On a shared line a lost system is probed at most this often, so that its time-outs take
// a share of the line and not all of it.
constexpr std::chrono::seconds kLostProbeInterval{2};

// The device's line counters. The host reaches the serial state of the top device only here.
struct LineCounters {
    uint64_t replies = 0;     // frames handed to the device
    uint64_t bad_frames = 0;  // dropped by the frame decoder
    uint64_t garbage = 0;     // bytes outside any frame
    uint64_t stale = 0;       // good frames of its address that answered no awaited command
};
LineCounters line_counters(const TXQSPDevice& dev) {
    const devhost::SerialState& s = devhost::serial_state(dev);
    return {s.replies, s.decoder.stats().errors(), s.decoder.stats().garbage, s.stale_frames};
}

double seconds_between(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

LineSupervisor::LineSupervisor(LineOptions o, std::vector<LineSystem*> systems, devhost::Controller& controller,
                               const Dispatcher& events, Hooks hooks)
    : o_(std::move(o)),
      systems_(std::move(systems)),
      controller_(controller),
      events_(events),
      hooks_(std::move(hooks)),
      current_(systems_.front()),
      tx_frames_([this](const devhost::Frame& f) {
          if (LineSystem* s = system_at(f.adr)) s->last_command = f;
          emit([&](Sink& s) { s.command_sent({f.adr, f.cid1, f.cid2}); });
      }),
      rx_frames_([this](const devhost::Frame& f) { reply(f); }) {}

LineSupervisor::~LineSupervisor() = default;

LineSystem* LineSupervisor::system_at(int address) const {
    for (LineSystem* s : systems_)
        if (s->ref.address == address) return s;
    return nullptr;
}

// "system 2: " ahead of a line about one system, when the line has several.
std::string LineSupervisor::who(const LineSystem& s) const {
    return systems_.size() > 1 ? "system " + s.ref.label() + ": " : std::string();
}

void LineSupervisor::reply(const devhost::Frame& f) {
    LineSystem* sys = system_at(f.adr);
    if (sys && sys->last_command && sys->last_command->cid1 == 0x40 && sys->last_command->cid2 == 0x51 && f.cid2 == 0) {
        // The model field: the first 20 info bytes at most, up to a NUL, without trailing blanks.
        std::string model(f.info.begin(), f.info.begin() + std::min<size_t>(f.info.size(), 20));
        model = model.substr(0, model.find('\0'));
        while (!model.empty() && model.back() == ' ') model.pop_back();
        sys->set_reported_model(model);
    }
    emit([&](Sink& s) { s.reply_received({f.adr, f.cid1, f.cid2, f.info.size()}); });
}

void LineSupervisor::open() {
    open_port();
    opened_ = Steady::now();
    last_progress_ = opened_;
    opened_wall_ = SystemClock::now();
    next_status_ = opened_;
}

void LineSupervisor::run() {
    timer_ = std::make_unique<asio::steady_timer>(io_);
    turn_timer_ = std::make_unique<asio::steady_timer>(io_);
    tick();
    io_.run();
    detach_all();
    if (line_) line_->close();
}

void LineSupervisor::written(const uint8_t* p, size_t n) {
    // A command is written whole: its frame address names the system it is for.
    if (const auto adr = command_address(p, n))
        if (LineSystem* s = system_at(*adr)) current_ = s;
    LineSystem& s = *current_;
    if (s.book.written(n, Steady::now())) emit([&, c = s.book.cycles() + 1](Sink& k) { k.cycle_begun(s.ref, c); });
    tx_frames_.feed(p, n);
    emit([&](Sink& k) { k.wire(true, p, n); });
}

void LineSupervisor::received(const uint8_t* p, size_t n) {
    current_->book.received(n);
    emit([&](Sink& k) { k.wire(false, p, n); });
    rx_frames_.feed(p, n);
    std::vector<uint64_t> published;
    for (const LineSystem* sys : systems_) published.push_back(sys->publications);
    try {
        if (shared_)
            shared_->feed(p, n);
        else
            systems_.front()->dev->process(p, static_cast<int>(n));
    } catch (const std::exception& e) {
        diag(0, std::string("the device failed on a reply: ") + e.what());
    }
    // A poller ends its cycle on the reply whose handling publishes the children's images
    // and leaves no command outstanding.
    for (size_t k = 0; k < systems_.size(); ++k) {
        LineSystem* sys = systems_[k];
        if (sys->publications != published[k] && !sys->dev->IsProcessing())
            asio::post(io_, [this, sys] { cycle_done(*sys); });
    }
    // On a shared line a reply frees the line: the system whose turn it is sends once the
    // line has been quiet for the guard time, not at its next refresh.
    if (shared_) pass_turn();
    watch_line();
}

// Opens the port and hands it to the devices: one system directly, several through a line
// they share one command at a time. Throws PortError.
void LineSupervisor::open_port() {
    auto line = std::make_shared<SerialLine>(io_, o_.port, o_.settings);
    line->on_written = [this](const uint8_t* p, size_t n) { written(p, n); };
    line_ = line;
    port_open_ = true;
    shared_.reset();
    if (systems_.size() > 1) shared_ = std::make_shared<devhost::SharedLine>(line);
    for (LineSystem* sp : systems_) {
        std::shared_ptr<devhost::Transport> port = shared_ ? shared_->port(*sp->dev) : line;
        // The frame layer's notices (late replies, resynchronisations, return codes) go to
        // the diagnostics.
        devhost::SerialState& st = devhost::serial_state(*sp->dev);
        st.baud = o_.settings.baud;
        st.on_notice = [this, sp](const devhost::LineNotice& n) {
            diag(1, who(*sp) + n.text);
            if (n.kind == devhost::LineNotice::Resync) drop_cycle(*sp);
        };
        devhost::attach(*sp->dev, std::move(port));
    }
    std::weak_ptr<SerialLine> weak = line;
    line->start([this](const uint8_t* p, size_t n) { received(p, n); },
                [this, weak](const std::string& err) {
                    // Only the line in use: a closed one's late errors mean nothing.
                    if (weak.lock() == line_) line_failed(err);
                });
}

// After a reply on a shared line: the next system's turn, once the guard time is over.
void LineSupervisor::pass_turn() {
    std::chrono::microseconds guard{0};
    for (const LineSystem* sys : systems_)
        guard = std::max(guard, devhost::serial_state(*sys->dev).guard_at(o_.settings.baud));
    turn_timer_->expires_after(guard + std::chrono::microseconds(500));
    turn_timer_->async_wait([this](const asio::error_code& ec) {
        if (ec || !shared_) return;
        const Steady::time_point now = Steady::now();
        for (LineSystem* sys : systems_)
            if (!devhost::serial_state(*sys->dev).awaiting) refresh(*sys, now);
    });
}

void LineSupervisor::detach_all() {
    for (LineSystem* sys : systems_) sys->dev->ClosePort();
}

// A port that fails (a pty whose other side went away, an unplugged adapter) is closed and
// opened again every second; the silence shows as a lost line meanwhile.
void LineSupervisor::line_failed(const std::string& err) {
    diag(0, "the port " + o_.port + " failed (" + err + "); opening it again every second");
    detach_all();
    if (line_) line_->close();
    line_.reset();
    shared_.reset();
    port_open_ = false;
    next_reopen_ = Steady::now() + std::chrono::seconds(1);
}

LineStatus LineSupervisor::line_status(const LineSystem& s, Steady::time_point now) const {
    LineStatus l = s.watch.status(now, opened_, opened_wall_);
    l.system = s.ref;
    l.port_open = port_open_;
    l.port = o_.port;
    l.bad_frames = s.book.bad_frames_total();
    return l;
}

// Called after every received chunk and at every tick: a good reply brings a system's line
// up, silence beyond the line time-out takes it down.
void LineSupervisor::watch_line() {
    const Steady::time_point now = Steady::now();
    // Every decoder sees every byte of the line: the first one's errors are the line's, and
    // they go to the system whose command was out.
    const LineCounters c = line_counters(*systems_.front()->dev);
    if (c.bad_frames != bad_frames_seen_) {
        const uint64_t n = c.bad_frames - bad_frames_seen_;
        current_->book.bad_frames(n);
        emit([&, n](Sink& s) { s.bad_frames(current_->ref, n); });
        bad_frames_seen_ = c.bad_frames;
    }
    current_->book.garbage(c.garbage - garbage_seen_);
    garbage_seen_ = c.garbage;
    for (LineSystem* sys : systems_) watch_system(*sys, now);
}

void LineSupervisor::watch_system(LineSystem& s, Steady::time_point now) {
    const LineCounters c = line_counters(*s.dev);
    // Late answers and the answers a line kept through a loss, all dropped.
    for (; s.stale_seen < c.stale; ++s.stale_seen) emit([&](Sink& k) { k.stale_frame(s.ref); });
    const int address = systems_.size() > 1 ? s.ref.address : -1;
    const double silence = s.watch.silence_s(now, opened_);
    switch (s.watch.observe(c.replies, now, SystemClock::now(), opened_, o_.line_timeout_s)) {
    case LineWatch::Change::None:
        return;
    case LineWatch::Change::Up:
        diag(1, who(s) + "the line " + o_.port + " is up again");
        controller_.batch_check(*s.dev, {line_lost_rule(s.dev->DataId(), o_.port, address, false)});
        break;
    case LineWatch::Change::Lost:
        diag(0, who(s) + "the line " + o_.port + " is lost: no reply for " +
                    std::to_string(static_cast<long>(silence)) + " s");
        if (s.book.cycles() == 0 && hooks_.lost_before_first_cycle) hooks_.lost_before_first_cycle(s);
        controller_.batch_check(*s.dev, {line_lost_rule(s.dev->DataId(), o_.port, address, true)});
        break;
    }
    emit([&, l = line_status(s, now)](Sink& k) { k.line(l); });
}

void LineSupervisor::refresh(LineSystem& s, Steady::time_point now) {
    devhost::SerialState& st = devhost::serial_state(*s.dev);
    const bool shared_and_lost = shared_ && !s.watch.up();
    // A lost system on a shared line that is not awaiting a reply waits for its next probe.
    if (shared_and_lost && !st.awaiting && !st.holding && now < s.next_probe) return;
    if (s.dev->IsStalled()) {
        s.book.timed_out();
        s.watch.timed_out();
        emit([&](Sink& k) { k.timeout(s.ref); });
        // While the line is lost the lost line is the news, not each time-out.
        if (s.watch.up()) {
            const std::string what = s.last_command ? fmt::format("to {:02X}_{:02X} from address {}",
                                                                  s.last_command->cid1, s.last_command->cid2,
                                                                  s.last_command->adr)
                                                    : std::string();
            diag(1, who(s) + "no reply in time " + what + " on " + o_.port + "; the command goes again");
        }
    }
    const uint64_t sent = st.commands_sent;
    try {
        s.dev->RefreshStatus();
    } catch (const std::exception& e) {
        diag(0, who(s) + std::string("the device failed on a refresh: ") + e.what());
    }
    if (shared_and_lost && st.commands_sent != sent) s.next_probe = now + kLostProbeInterval;
}

void LineSupervisor::tick() {
    if (hooks_.tick) hooks_.tick();
    if (io_.stopped()) return;
    const Steady::time_point now = Steady::now();
    if (o_.cycles > 0 && o_.give_up_s > 0 && seconds_between(last_progress_, now) >= o_.give_up_s) {
        no_cycle_ = true;
        diag(0, fmt::format("no complete cycle in {:g} s on {}; giving up (--give-up)", o_.give_up_s, o_.port));
        stop(fmt::format("no complete cycle in {:g} s", o_.give_up_s));
        return;
    }
    if (!port_open_ && now >= next_reopen_) {
        try {
            open_port();
            diag(1, "the port " + o_.port + " is open again");
        } catch (const PortError& e) {
            if (e.lasting()) {
                diag(0, std::string("the line failed: ") + e.what());
                failed_ = true;
                stop(std::string("line failed: ") + e.what());
                return;
            }
            next_reopen_ = now + std::chrono::seconds(1);
        }
    }
    for (LineSystem* sys : systems_) refresh(*sys, now);
    watch_line();
    if (now >= next_status_) {
        next_status_ = now + std::chrono::seconds(1);
        for (LineSystem* sys : systems_) emit([&, l = line_status(*sys, now)](Sink& s) { s.status(l); });
        if (hooks_.every_second) hooks_.every_second(now);
    }
    timer_->expires_after(o_.refresh);
    timer_->async_wait([this](const asio::error_code& ec) {
        if (!ec) tick();
    });
}

void LineSupervisor::cycle_done(LineSystem& s) {
    const Steady::time_point now = Steady::now();
    const CycleStats preview = [&] {
        CycleStats c;
        c.system = s.ref;
        c.n = s.book.cycles() + 1;
        return c;
    }();
    if (hooks_.cycle_closing) hooks_.cycle_closing(s, preview);
    CycleStats c = s.book.close(now, SystemClock::now());
    c.system = s.ref;
    last_progress_ = Steady::now();
    if (hooks_.cycle_closed) hooks_.cycle_closed(s, c);
    // Queued behind the cycle's history jobs, so the cycle line follows its saved images
    // and alarm transitions.
    controller_.run_job([&events = events_, c] { events.each([&](Sink& k) { k.cycle_ended(c); }); });
    if (o_.cycles > 0 && cycles_done() >= static_cast<uint64_t>(o_.cycles)) stop("cycles done");
}

uint64_t LineSupervisor::cycles_done() const {
    std::optional<uint64_t> up, all;
    for (const LineSystem* s : systems_) {
        const uint64_t n = s->book.cycles();
        all = all ? std::min(*all, n) : n;
        if (s->watch.up()) up = up ? std::min(*up, n) : n;
    }
    return up ? *up : all ? *all : 0;
}

void LineSupervisor::stop(const std::string& reason) {
    if (stop_reason_.empty()) stop_reason_ = reason;
    if (timer_) timer_->cancel();
    if (turn_timer_) turn_timer_->cancel();
    io_.stop();
}

}  // namespace zrt::host
