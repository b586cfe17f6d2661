// The host application under line faults and hard kills, with the history store on disk:
// every fault kind on its own, and the store's file after SIGKILL at random moments.
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "e2e_util.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;
constexpr int kModules = 4;


Json::Value settings(int timeout_ms) {
    Json::Value s = parse_json(R"({
      "device_type": "zrt4600a", "data_id": 1,
      "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}
    })");
    s["reply_timeout_ms"] = timeout_ms;
    // Every saved image kept (a cap instead of the default six-hourly images), so that the
    // file can be held against every "saved" event.
    s["history_retention"] = 100000;
    // Written with every save, so that a kill at any moment loses nothing acknowledged.
    s["history_commit_s"] = 0;
    return s;
}

std::string dump(const HostRun& r) {
    std::string s = "exit " + std::to_string(r.code) + "\n";
    for (const Json::Value& e : r.events) s += write_json(e) + "\n";
    return s + "stderr:\n" + r.err.substr(r.err.size() > 4000 ? r.err.size() - 4000 : 0);
}

float value_of(const HostRun& r, const std::string& device, const std::string& key) {
    for (const Json::Value& v : r.of("value"))
        if (v["device"].asString() == device && v["key"].asString() == key)
            return v.isMember("value") ? v["value"].asFloat() : NAN;
    return NAN;
}

Json::Value last_image(const HostRun& r, int record_type) {
    Json::Value last;
    for (const Json::Value& e : r.of("publish"))
        if (e["record_type"].asInt() == record_type) last = e;
    return last;
}

std::string to_hex(const void* data, int n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    const auto* p = static_cast<const unsigned char*>(data);
    for (int k = 0; k < n; ++k) {
        out += digits[p[k] >> 4];
        out += digits[p[k] & 15];
    }
    return out;
}

// The history file read with SQLite itself, not with the host's store.
class HistoryFile {
public:
    explicit HistoryFile(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path + ": " + sqlite3_errmsg(db_));
    }
    ~HistoryFile() { sqlite3_close(db_); }
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    // The texts of every result row of `sql`, first column only.
    std::vector<std::string> texts(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        std::vector<std::string> out;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            const auto* t = sqlite3_column_text(s, 0);
            out.push_back(t ? reinterpret_cast<const char*>(t) : "");
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        return out;
    }
    // The saved images of one device, oldest first, in lower-case hex.
    std::vector<std::string> images(int data_id, const std::string& device_type) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT image FROM history WHERE data_id = ? AND device_type = ? ORDER BY id", -1, &s,
                           nullptr);
        sqlite3_bind_int(s, 1, data_id);
        sqlite3_bind_text(s, 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
        std::vector<std::string> out;
        while (sqlite3_step(s) == SQLITE_ROW) out.push_back(to_hex(sqlite3_column_blob(s, 0), sqlite3_column_bytes(s, 0)));
        sqlite3_finalize(s);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

struct Child {
    int data_id;
    const char* device_type;
};
const Child kChildren[] = {{11, "zrt4600a-ac"}, {21, "zrt4600a-dc"}, {1, "zrt4600a-rc"}};

// ---------------------------------------------------------------------------------------
// One fault kind per case.

// What the fault leaves behind besides the right values.
enum class Trace {
    kAskedAgain,  // the reply was refused and its command sent once more than on a clean line
    kGarbage,     // stray bytes counted, the reply after them used
    kNone,        // an error return code with the information intact: the reply is used as it is
};

struct FaultCase {
    const char* name;
    const char* faults;   // the plant's "faults" list
    const char* command;  // the command they hit
    int fault_cycle;      // the cycle the faults hit; the run goes one cycle further
    Trace trace;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

// How often each command ("41_41") was sent, from a wire record.
std::map<std::string, int> commands_sent(const std::string& record_path) {
    std::map<std::string, int> out;
    std::ifstream in(record_path);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" TX ~");
        if (at != std::string::npos && line.size() >= at + 13) ++out[line.substr(at + 9, 2) + "_" + line.substr(at + 11, 2)];
    }
    return out;
}

// Runs the plant for `cycles` with these faults (a JSON list), the history in `db`.
HostRun run_faulted(const FaultCase& fc, const std::string& faults, const std::string& db, const std::string& record) {
    const int cycles = fc.fault_cycle + 1;
    Json::Value p = small_plant();
    p["faults"] = parse_json(faults);
    // The last cycle reads new values, so stale images cannot pass for a recovered poller.
    Json::Value step;
    step["cycle"] = cycles;
    step["set"]["dc[0].v"] = 54.75;
    step["set"]["ac[0].channels[0].a"] = 223.25;
    step["set"]["rc.group_value"] = 54.5;
    p["steps"].append(step);

    TempFile plant_file(std::string(fc.name) + "_plant.json", write_json(p));
    TempFile settings_file(std::string(fc.name) + "_settings.json", write_json(settings(250)));
    return run_host({"--simulate", "--settings", settings_file.path(), "--plant", plant_file.path(), "--baud", std::to_string(kBaud),
                     "--history", db, "--record", record, "--cycles", std::to_string(cycles), "--query", "21:v",
                     "--query", "11:channel_0_a"},
                    std::chrono::seconds(30));
}

// How often each command goes out in the same run on a clean line (one run per length).
std::map<std::string, int> clean_line_commands(const FaultCase& fc) {
    static std::map<int, std::map<std::string, int>> runs;
    auto found = runs.find(fc.fault_cycle);
    if (found != runs.end()) return found->second;
    TempFile db("clean.db"), record("clean.log");
    const HostRun clean = run_faulted(fc, "[]", db.path(), record.path());
    EXPECT_EQ(clean.code, 0) << dump(clean);
    return runs[fc.fault_cycle] = commands_sent(record.path());
}

TEST_P(FaultMatrix, TheCycleAfterTheFaultCompletesWithThePlantsValuesAndEverySavedImageIsKept) {
    const FaultCase& fc = GetParam();
    const int cycles = fc.fault_cycle + 1;
    TempFile db(std::string(fc.name) + ".db"), record(std::string(fc.name) + ".log");
    const HostRun r = run_faulted(fc, fc.faults, db.path(), record.path());
    ASSERT_EQ(r.code, 0) << dump(r);
    EXPECT_TRUE(r.bad_lines.empty()) << r.bad_lines[0];
    const auto cycle_events = r.of("cycle");
    ASSERT_EQ(cycle_events.size(), static_cast<size_t>(cycles)) << dump(r);

    // The fault had its effect on the line, and the next cycle ran clean.
    const Json::Value& hit = cycle_events[fc.fault_cycle - 1];
    const int sent = commands_sent(record.path())[fc.command];
    if (fc.trace == Trace::kGarbage) {
        EXPECT_GT(hit["garbage"].asUInt64(), 0u) << dump(r);
    } else {
        EXPECT_EQ(hit["garbage"].asUInt64(), 0u) << dump(r);
    }
    if (fc.trace != Trace::kAskedAgain) {
        EXPECT_EQ(hit["errors"].asUInt64(), 0u) << dump(r);
    }
    if (fc.trace != Trace::kGarbage) {
        const int clean_sent = clean_line_commands(fc)[fc.command];
        ASSERT_GT(clean_sent, 0) << fc.command;
        if (fc.trace == Trace::kAskedAgain) {
            EXPECT_GT(sent, clean_sent) << fc.command << " was not asked for again\n" << dump(r);
        } else {
            EXPECT_EQ(sent, clean_sent) << fc.command;
        }
    }
    EXPECT_EQ(cycle_events.back()["errors"].asUInt64(), 0u) << dump(r);
    EXPECT_EQ(cycle_events.back()["garbage"].asUInt64(), 0u) << dump(r);

    // The last images carry the plant's values of the last cycle.
    EXPECT_FLOAT_EQ(value_of(r, "21", "v"), 54.75f) << dump(r);
    EXPECT_FLOAT_EQ(value_of(r, "11", "channel_0_a"), 223.25f) << dump(r);
    const Json::Value dc = last_image(r, 5108);
    ASSERT_FALSE(dc["image"].asString().empty()) << dump(r);
    EXPECT_FLOAT_EQ(event_value(dc, "v"), 54.75f);
    const Json::Value rc = last_image(r, 5107);
    ASSERT_TRUE(rc.isObject()) << dump(r);
    EXPECT_EQ(rc["size"].asUInt(), 65u + 32 * kModules);
    EXPECT_EQ(rc["image"].asString().size(), 2u * (65 + 32 * kModules));
    EXPECT_EQ(event_value(rc, "module_count"), static_cast<double>(kModules));
    EXPECT_FLOAT_EQ(event_value(rc, "group_value"), 54.5f);
    EXPECT_FLOAT_EQ(event_value(rc, "module_3_value"), 10.5f);

    // Every saved image is in the file, in order, one per child and cycle.
    HistoryFile file(db.path());
    for (const Child& c : kChildren) {
        std::vector<std::string> saved;
        for (const Json::Value& e : r.of("saved"))
            if (e["data_id"].asInt() == c.data_id && e["device_type"].asString() == c.device_type)
                saved.push_back(e["image"].asString());
        EXPECT_EQ(saved.size(), static_cast<size_t>(cycles)) << c.device_type;
        EXPECT_EQ(file.images(c.data_id, c.device_type), saved) << c.device_type;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, FaultMatrix,
    ::testing::Values(
        FaultCase{"bad_chksum", R"([{"cycle": 1, "command": "41_41", "kind": "bad_chksum"}])", "41_41", 1,
                  Trace::kAskedAgain},
        FaultCase{"bad_lchksum", R"([{"cycle": 1, "command": "41_43", "kind": "bad_lchksum"}])", "41_43", 1,
                  Trace::kAskedAgain},
        FaultCase{"truncated", R"([{"cycle": 1, "command": "40_44", "kind": "truncated"}])", "40_44", 1,
                  Trace::kAskedAgain},
        FaultCase{"garbage", R"([{"cycle": 1, "command": "42_41", "kind": "garbage", "times": 2}])", "42_41", 1,
                  Trace::kGarbage},
        FaultCase{"wrong_cid1", R"([{"cycle": 1, "command": "40_41", "kind": "wrong_cid1"}])", "40_41", 1,
                  Trace::kAskedAgain},
        FaultCase{"wrong_count", R"([{"cycle": 1, "command": "42_41", "kind": "wrong_count"}])", "42_41", 1,
                  Trace::kAskedAgain},
        FaultCase{"no_reply", R"([{"cycle": 1, "command": "42_44", "kind": "no_reply", "times": 2}])", "42_44", 1,
                  Trace::kAskedAgain},
        FaultCase{"rtn", R"([{"cycle": 1, "command": "42_46", "kind": "rtn"}])", "42_46", 1, Trace::kNone},
        // After start the rectifier group reports one module more in each of its replies
        // for a while, then the original count again.
        FaultCase{"module_count_change",
                  R"([{"cycle": 2, "command": "41_41", "kind": "wrong_count", "times": 3},
                      {"cycle": 2, "command": "41_43", "kind": "wrong_count", "times": 2},
                      {"cycle": 2, "command": "41_44", "kind": "wrong_count", "times": 2}])",
                  "41_41", 2, Trace::kAskedAgain}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// SIGKILL at random moments, many of them right while a cycle's images are being saved.

std::map<std::string, long> rows_per_device(HistoryFile& file) {
    std::map<std::string, long> out;
    for (const std::string& t : file.texts("SELECT data_id || ':' || device_type || ':' || count(*) FROM history"
                                           " GROUP BY data_id, device_type")) {
        const size_t at = t.rfind(':');
        out[t.substr(0, at)] = std::stol(t.substr(at + 1));
    }
    return out;
}

TEST(HistoryCrashSafety, AKilledHostLeavesASoundFileThatARestartReloads) {
    TempFile plant_file("crash_plant.json", write_json(small_plant()));
    TempFile settings_file("crash_settings.json", write_json(settings(1000)));
    TempFile db("crash.db");
    std::mt19937 rng(20261208);
    constexpr int kKills = 20;
    long rows_before = 0;
    int kills_after_publish = 0;
    for (int round = 0; round < kKills; ++round) {
        long saved_seen = 0;
        {
            auto host = std::make_unique<Process>(std::vector<std::string>{
                ZRT_HOST_BIN, "--plugin", ZRT_PLUGIN, "--json", "--simulate", "--settings", settings_file.path(), "--plant",
                plant_file.path(), "--baud", std::to_string(kBaud), "--history", db.path()});
            auto note = [&saved_seen](const std::string& line) {
                if (line.find("\"event\":\"saved\"") != std::string::npos) ++saved_seen;
            };
            if (round % 2 == 1) {
                // Right after the n-th image is published: its history job is running now.
                const int n = std::uniform_int_distribution<int>(1, 6)(rng);
                int published = 0;
                const auto give_up = std::chrono::steady_clock::now() + 10s;
                while (published < n && std::chrono::steady_clock::now() < give_up) {
                    const std::string line = host->read_line(200ms);
                    note(line);
                    if (line.find("\"event\":\"publish\"") != std::string::npos) ++published;
                }
                ASSERT_EQ(published, n) << host->err();
                std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(rng)));
                ++kills_after_publish;
            } else {
                const auto until = std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 2600)(rng));
                while (std::chrono::steady_clock::now() < until)
                    note(host->read_line(
                        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())));
            }
            host.reset();  // SIGKILL, then reaped
        }

        // The file is sound and nothing reported as saved was lost.
        std::map<std::string, long> rows;
        {
            HistoryFile file(db.path());
            const std::vector<std::string> check = file.texts("PRAGMA integrity_check");
            ASSERT_EQ(check, std::vector<std::string>{"ok"}) << "after kill " << round;
            rows = rows_per_device(file);
        }
        long total = 0;
        for (const auto& [device, n] : rows) total += n;
        EXPECT_GE(total, rows_before + saved_seen) << "after kill " << round;
        rows_before = total;

        // A restart without polling hands every child its last saved image.
        const HostRun again = run_host({"--settings", settings_file.path(), "--history", db.path(), "--cycles", "0",
                                        "--query", "21:v", "--query", "11:ia"},
                                       std::chrono::seconds(20));
        ASSERT_EQ(again.code, 0) << "after kill " << round << "\n" << dump(again);
        EXPECT_TRUE(again.of("publish").empty());
        bool every_child_saved = true;
        for (const Child& c : kChildren)
            every_child_saved &= rows.count(std::to_string(c.data_id) + ":" + c.device_type) > 0;
        if (!every_child_saved) continue;
        const auto caches = again.of("cache");
        EXPECT_EQ(caches.size(), 3u) << dump(again);
        for (const Json::Value& c : caches) EXPECT_TRUE(c["loaded"].asBool()) << write_json(c);
        EXPECT_FLOAT_EQ(value_of(again, "21", "v"), 53.25f) << dump(again);
        EXPECT_FLOAT_EQ(value_of(again, "11", "ia"), 35.25f) << dump(again);
    }
    std::cerr << kills_after_publish << " of " << kKills << " kills came right after a publication\n";
    EXPECT_GT(rows_before, 0);  // at least one cycle was saved over all the runs
}

// With the history written once in ten minutes, SIGTERM and SIGINT still write everything
// the host showed as saved; SIGKILL loses what was held, and the file opens clean.
TEST(HistoryCrashSafety, AStopBySignalWritesWhatIsHeldAndAKillLeavesASoundFile) {
    TempFile plant_file("commit_plant.json", write_json(small_plant()));
    Json::Value s = settings(1000);
    s["history_commit_s"] = 600;
    TempFile settings_file("commit_settings.json", write_json(s));
    TempFile db("commit.db");
    long total = 0;
    for (int sig : {SIGTERM, SIGINT, SIGKILL}) {
        long saved_seen = 0;
        {
            Process host({ZRT_HOST_BIN, "--plugin", ZRT_PLUGIN, "--json", "--simulate", "--settings",
                          settings_file.path(), "--plant", plant_file.path(), "--baud", std::to_string(kBaud),
                          "--history", db.path()});
            int cycles = 0;
            const auto give_up = std::chrono::steady_clock::now() + 20s;
            while (cycles < 3 && std::chrono::steady_clock::now() < give_up)
                if (host.read_line(200ms).find("\"event\":\"cycle\"") != std::string::npos) ++cycles;
            ASSERT_EQ(cycles, 3) << host.err();
            host.signal(sig);
            host.wait(20s);
            for (const Json::Value& e : host.events())
                if (e["event"].asString() == "saved") ++saved_seen;
        }
        HistoryFile file(db.path());
        ASSERT_EQ(file.texts("PRAGMA integrity_check"), std::vector<std::string>{"ok"}) << "after signal " << sig;
        long rows = 0;
        for (const auto& [device, n] : rows_per_device(file)) rows += n;
        if (sig == SIGKILL) {
            // The first save of the run is written at once; the rest waits for the ten minutes.
            EXPECT_LT(rows - total, saved_seen) << "a kill lost nothing: was anything held?";
            EXPECT_GE(rows, total);
        } else {
            EXPECT_EQ(rows - total, saved_seen) << "after signal " << sig;
        }
        total = rows;
    }
}

}  // namespace
