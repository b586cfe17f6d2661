#include "e2e_util.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

extern char** environ;

namespace e2e {

Process::Process(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

bool Process::pump(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (::poll(fds, 2, static_cast<int>(limit.count())) <= 0) return true;
    int* fd[2] = {&out_fd_, &err_fd_};
    std::string* buf[2] = {&out_, &err_};
    for (int k = 0; k < 2; ++k) {
        if (*fd[k] < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
        char chunk[4096];
        const ssize_t n = ::read(*fd[k], chunk, sizeof chunk);
        if (n > 0) {
            buf[k]->append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(*fd[k]);
            *fd[k] = -1;
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

std::string Process::read_line(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t nl = out_.find('\n', line_pos_);
        if (nl != std::string::npos) {
            std::string line = out_.substr(line_pos_, nl - line_pos_);
            line_pos_ = nl + 1;
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left)) return "";
    }
}

int Process::wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && pump(std::chrono::milliseconds(50))) {
    }
    if (pid_ < 0) return status_;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            while (pump(std::chrono::milliseconds(10))) {
            }
            return status_;
        }
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        pump(std::chrono::milliseconds(20));
    }
}

void Process::terminate() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    wait(std::chrono::seconds(5));
}

void Process::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

std::vector<Json::Value> Process::events() const {
    std::vector<Json::Value> out;
    size_t pos = 0;
    while (pos < out_.size()) {
        size_t nl = out_.find('\n', pos);
        if (nl == std::string::npos) break;
        try {
            Json::Value v = parse_json(out_.substr(pos, nl - pos));
            if (v.isObject()) out.push_back(v);
        } catch (const std::exception&) {
        }
        pos = nl + 1;
    }
    return out;
}

Sim::Sim(const std::string& plant_file, int baud, const std::vector<std::string>& args)
    : proc_([&] {
          std::vector<std::string> argv{ZRT_SIM_BIN, "--plant", plant_file, "--baud", std::to_string(baud)};
          argv.insert(argv.end(), args.begin(), args.end());
          return argv;
      }()) {
    port_ = proc_.read_line(std::chrono::seconds(10));
    if (port_.empty()) throw std::runtime_error("the simulator did not start: " + proc_.err());
}

std::vector<Json::Value> HostRun::of(const std::string& event) const {
    std::vector<Json::Value> out;
    for (const Json::Value& e : events)
        if (e["event"].asString() == event) out.push_back(e);
    return out;
}

HostRun run_host(const std::vector<std::string>& args, std::chrono::seconds limit) {
    std::vector<std::string> argv{ZRT_HOST_BIN, "--plugin", ZRT_PLUGIN, "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv);
    HostRun r;
    r.code = p.wait(limit);
    r.err = p.err();
    size_t pos = 0;
    const std::string& out = p.out();
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) nl = out.size();
        const std::string line = out.substr(pos, nl - pos);
        pos = nl + 1;
        try {
            Json::Value v = parse_json(line);
            if (v.isObject())
                r.events.push_back(v);
            else
                r.bad_lines.push_back(line);
        } catch (const std::exception&) {
            r.bad_lines.push_back(line);
        }
    }
    return r;
}

TempFile::TempFile(const std::string& name, const std::string& content)
    : path_(::testing::TempDir() + "zrt_e2e_" + std::to_string(::getpid()) + "_" + name) {
    std::remove(path_.c_str());
    if (!content.empty()) std::ofstream(path_) << content;
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
    std::remove((path_ + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
}

std::string write_json(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder b;
    b["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string errs;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) throw std::runtime_error(errs);
    return v;
}

double event_value(const Json::Value& event, const std::string& key) {
    for (const Json::Value& v : event["values"])
        if (v["key"].asString() == key) return v["value"].isNull() ? std::nan("") : v["value"].asDouble();
    ADD_FAILURE() << "no value " << key << " in " << write_json(event);
    return std::nan("");
}

size_t event_value_count(const Json::Value& event, const std::string& prefix) {
    size_t n = 0;
    for (const Json::Value& v : event["values"])
        if (v["key"].asString().rfind(prefix, 0) == 0) ++n;
    return n;
}

Json::Value small_plant() {
    return parse_json(R"({
      "model": "zrt4600a",
      "reply_delay_ms": 2,
      "ac": [{"channels": [{"a": 221.5, "b": 220.5, "c": 222.0, "f": 50.0},
                           {"a": 219.0, "b": 218.5, "c": 217.0, "f": 49.5}],
              "ia": 35.25, "ib": 34.5, "ic": 36.0}],
      "rc": {"group_value": 53.5, "module_count": 4, "modules": [{"value": 10.5}]},
      "dc": [{"v": 53.25, "i": 120.5}],
      "ac_param": [280, 180, 55, 45, 1], "dc_param": [57.5, 45], "dc_user_param": [1, 2, 3, 4, 5]
    })");
}

}  // namespace e2e
