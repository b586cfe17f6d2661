#pragma once
// Runs zrt4600a-sim and zrt4600a-host as separate processes over a pseudo-terminal and
// reads the host's JSON events.
#include <chrono>
#include <string>
#include <vector>

#include <json/value.h>
#include <sys/types.h>

namespace e2e {

// A child process with its standard output and error on pipes.
class Process {
public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process();  // ends the process if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // One line of standard output (without the line feed); empty on time-out or end.
    std::string read_line(std::chrono::milliseconds limit);
    // Waits for the exit, collecting the output; kills the process after `limit` and
    // returns -1 then.
    int wait(std::chrono::milliseconds limit);
    // Asks the process to end (SIGTERM) and waits for it.
    void terminate();
    // Sends a signal and returns at once.
    void signal(int sig);
    // Every line of standard output so far that is a JSON object.
    std::vector<Json::Value> events() const;

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool pump(std::chrono::milliseconds limit);  // false once both pipes are closed
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    size_t line_pos_ = 0;
    int status_ = -1;
};

// The simulator on a new pty, at `baud`; `args` are added to its command line.
class Sim {
public:
    Sim(const std::string& plant_file, int baud, const std::vector<std::string>& args = {});
    const std::string& port() const { return port_; }
    Process& process() { return proc_; }

private:
    Process proc_;
    std::string port_;
};

struct HostRun {
    int code = -1;
    std::vector<Json::Value> events;  // every line of standard output, parsed
    std::vector<std::string> bad_lines;  // lines that are not JSON objects
    std::string err;
    // Events of one kind, in order.
    std::vector<Json::Value> of(const std::string& event) const;
};

// Runs zrt4600a-host to its end with these arguments (plus --json).
HostRun run_host(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(60));

// A file in the test's temporary directory, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& name, const std::string& content = "");
    ~TempFile();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string write_json(const Json::Value& v);
Json::Value parse_json(const std::string& text);

// One AC screen of two channels, four modules, one DC screen; no alarm condition.
Json::Value small_plant();
// The decoded value of `key` in a publish or saved event's "values"; NaN for an absent
// value (null), and for a key the event does not carry (then the test fails).
double event_value(const Json::Value& event, const std::string& key);
// How many of the event's values have a key that starts with `prefix` ("dc_user_param_").
size_t event_value_count(const Json::Value& event, const std::string& prefix);

}  // namespace e2e
