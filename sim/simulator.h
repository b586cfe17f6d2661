#pragma once
// The simulated equipment on the serial line: decodes commands, answers each with a reply
// frame built from the plant (or from a recorded session), moves the plant on by its
// scripted steps, and injects faults by script or at random.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "devhost/frame.h"
#include "sim/plant.h"
#include "base/wire_log.h"

namespace zrt::sim {

// A command named by its two command bytes, CID1 << 8 | CID2.
using Command = uint16_t;
constexpr Command command(uint8_t cid1, uint8_t cid2) { return static_cast<Command>(cid1 << 8 | cid2); }
// "41_44" and back. parse_command throws PlantError.
std::string command_name(Command c);
Command parse_command(const std::string& text);

// The commands of the polling cycle, in the order the poller sends them.
extern const Command kCycleCommands[11];

enum class Fault {
    None,
    BadChecksum,        // CHKSUM does not match the frame
    BadLengthChecksum,  // LCHKSUM does not match LENID
    Truncated,          // the frame stops half-way, without CR
    Garbage,            // bytes that belong to no frame, ahead of the reply
    WrongCid1,          // the reply names another group
    WrongCount,         // the screen or module count is one too many
    NoReply,            // nothing comes back
    Rtn,                // a non-zero return code, information bytes intact
    RtnEmpty,           // a non-zero return code and no information bytes
};
const char* fault_name(Fault f);
// Throws PlantError for an unknown name.
Fault fault_from_name(const std::string& name);
// Every fault that can be injected.
std::vector<Fault> all_faults();
// WrongCount needs a reply with a count byte; every other fault fits every command.
bool fault_applies(Fault f, Command c);

// At cycle `cycle` (0: whichever cycle comes first), the next `times` replies to `command`
// carry the fault.
struct ScriptedFault {
    int cycle = 0;
    Command command = 0;
    Fault kind = Fault::None;
    int times = 1;
};

// From cycle `from_cycle` on, each reply is faulted with probability `rate`, the kind drawn
// from `kinds` (all when empty), among `commands` (all when empty). The same seed gives the
// same faults.
struct RandomFaults {
    double rate = 0.0;
    uint32_t seed = 1;
    int from_cycle = 0;
    std::vector<Fault> kinds;
    std::vector<Command> commands;
};

// At the start of cycle `cycle`, set each path of the plant to its value.
struct Step {
    int cycle = 1;
    std::vector<std::pair<std::string, Json::Value>> sets;
};

struct Scenario {
    Plant plant;
    std::vector<Step> steps;
    std::vector<ScriptedFault> faults;
    RandomFaults random;
    int reply_delay_ms = 10;  // the equipment's turnaround before it answers
};

// Reads a JSON file; throws PlantError with the parser's message.
Json::Value read_json_file(const std::string& path);
// A plant file: the plant plus the optional "steps", "faults", "random_faults" and
// "reply_delay_ms". Steps are tried on a copy of the plant, so a bad path fails here.
Scenario scenario_from_json(const Json::Value& doc);
Scenario load_scenario(const std::string& path);

// What one line carries: a single system that answers every address, or several systems
// that answer their own addresses only ("systems": [{"address": 2, ...a plant...}, ...];
// "reply_delay_ms" at the top applies to every system that names none).
struct LineScenario {
    static constexpr int kAnyAddress = -1;
    std::vector<std::pair<int, Scenario>> systems;  // address (or kAnyAddress), scenario
    int reply_delay_ms = 10;  // the turnaround of the line's runner: the first system's
};
LineScenario line_scenario_from_json(const Json::Value& doc);
LineScenario load_line_scenario(const std::string& path);

// What the equipment sends back for one command.
struct Answer {
    std::string bytes;  // empty: no reply
    Fault fault = Fault::None;
};

class Responder {
public:
    virtual ~Responder();
    // `raw` is the command frame in its canonical encoding (upper-case hex), SOI to CR.
    virtual Answer respond(const devhost::Frame& cmd, const std::string& raw) = 0;
};

// Answers from the plant.
class PlantResponder : public Responder {
public:
    explicit PlantResponder(Scenario scenario);
    Answer respond(const devhost::Frame& cmd, const std::string& raw) override;

    const Plant& plant() const { return s_.plant; }
    // The cycle under way: 0 before the first, counted up by each cycle's first command
    // (40_41, or 41_41 when no AC command came before it); a repeated command is no new
    // cycle.
    int cycle() const { return cycle_; }

private:
    enum Group { kAc, kRc, kDc };
    uint8_t dataflag(Group g) const;
    Fault pick_fault(Command c);
    std::vector<uint8_t> switch_states(Group g) const;
    std::vector<uint8_t> alarm_states(Group g) const;

    Scenario s_;
    int cycle_ = 0;
    Command last_ = 0;
    size_t next_step_ = 0;
    std::vector<int> fault_left_;  // per scripted fault, replies still to fault
    std::mt19937 rng_;
    // The switch and alarm states of each group as the host last read them; nothing read
    // yet counts as changed.
    std::optional<std::vector<uint8_t>> read_switch_[3], read_alarm_[3];
};

// Answers each command with the reply recorded for it. Recorded commands that recur are
// answered with their recorded replies in turn, starting over after the last.
class ReplayResponder : public Responder {
public:
    explicit ReplayResponder(const std::vector<wire::WireEntry>& entries);
    Answer respond(const devhost::Frame& cmd, const std::string& raw) override;
    size_t commands() const { return replies_.size(); }

private:
    std::map<std::string, std::vector<std::string>> replies_;
    std::map<std::string, size_t> next_;
};

struct SimStats {
    uint64_t commands = 0;  // well-formed command frames received
    uint64_t replies = 0;   // replies sent (faulted ones included)
    uint64_t faults = 0;    // replies faulted, "no reply" included
};

// Bytes in, bytes out. Not thread-safe: one thread feeds and takes.
class Simulator {
public:
    // One system that answers every address.
    explicit Simulator(std::unique_ptr<Responder> responder);
    // Several systems on one line: each answers the commands to its own address; a command
    // to an address nobody has goes unanswered, as on a bus.
    using System = std::pair<int, std::unique_ptr<Responder>>;  // address or LineScenario::kAnyAddress
    explicit Simulator(std::vector<System> systems);
    explicit Simulator(LineScenario line);
    // Bytes received from the line.
    void feed(const uint8_t* data, size_t n);
    void feed(const std::string& bytes) { feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }
    // The reply bytes produced since the last call.
    std::string take_output();

    const SimStats& stats() const { return stats_; }
    const devhost::DecoderStats& decoder_stats() const { return decoder_.stats(); }
    // The first system's responder; the one at `address` (nullptr: nobody there).
    Responder& responder() { return *systems_.front().second; }
    Responder* responder_at(uint8_t address);

    // Called for every command with the answer given (for traces).
    std::function<void(const devhost::Frame&, const Answer&)> on_exchange;

private:
    void answer(const devhost::Frame& f);
    std::vector<System> systems_;
    devhost::FrameDecoder decoder_;
    std::string out_;
    SimStats stats_;
};

}  // namespace zrt::sim
