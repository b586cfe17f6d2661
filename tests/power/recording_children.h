#pragma once
// Test children for the poller: every parse hook and RoundDone is written to one shared
// journal, and each hook answers with a scripted result.
#include <map>
#include <string>
#include <vector>

#include "host/TXQSPDevice.h"

struct HookCall {
    std::string who;   // kind and data id, e.g. "ac11"
    std::string what;  // "40_41", ..., or "RoundDone"
    int len = 0;       // byte count handed to the hook
    int first = -1;    // the first byte it was given, -1 when it was given none
};

// The calls of the current test, in order.
inline std::vector<HookCall>& journal() {
    static std::vector<HookCall> calls;
    return calls;
}

// Screen hooks answer kScreenBytes unless scripted; rectifier hooks take the whole info.
constexpr int kScreenBytes = 4;

class RecordingChild : public TXQSPDevice {
public:
    explicit RecordingChild(const char* kind) : kind_(kind) {}
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void RoundDone() override { journal().push_back({who(), "RoundDone", 0, -1}); }

    int parse40_41(const unsigned char* p, int len) { return answer("40_41", p, len, kScreenBytes); }
    int parse40_43(const unsigned char* p, int len) { return answer("40_43", p, len, kScreenBytes); }
    int parse40_44(const unsigned char* p, int len) { return answer("40_44", p, len, kScreenBytes); }
    int parse42_41(const unsigned char* p, int len) { return answer("42_41", p, len, kScreenBytes); }
    int parse42_44(const unsigned char* p, int len) { return answer("42_44", p, len, kScreenBytes); }
    int parse41_41(const unsigned char* p, int len) { return answer("41_41", p, len, len); }
    int parse41_43(const unsigned char* p, int len) { return answer("41_43", p, len, len); }
    int parse41_44(const unsigned char* p, int len) { return answer("41_44", p, len, len); }
    int parse40_46(const unsigned char* p, int len) { return answer("40_46", p, len, len); }
    int parse42_46(const unsigned char* p, int len) { return answer("42_46", p, len, len); }

    // hook name -> the result it returns from now on
    std::map<std::string, int> script;

    std::string who() const { return kind_ + std::to_string(data_id); }

private:
    int answer(const char* hook, const unsigned char* p, int len, int fallback) {
        journal().push_back({who(), hook, len, len > 0 ? p[0] : -1});
        auto it = script.find(hook);
        return it == script.end() ? fallback : it->second;
    }
    std::string kind_;
};

struct RecAC : RecordingChild {
    RecAC() : RecordingChild("ac") {}
};
struct RecDC : RecordingChild {
    RecDC() : RecordingChild("dc") {}
};
struct RecRC : RecordingChild {
    RecRC() : RecordingChild("rc") {}
};
