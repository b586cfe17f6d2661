// Writing the history on a schedule: what a commit interval keeps back and what a stop or a
// kill leaves in the file, a full disk (a small tmpfs), and a damaged file kept aside.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tools/core/host_error.h"
#include "tools/history/history_chunks.h"
#include "tools/history/history_export.h"
#include "tools/history/history_sink.h"
#include "tools/history/history_store.h"
#include "tools/metrics/metrics.h"
#include "tests/tools/history_test_util.h"

using namespace zrt::host;
using zrt::host::testing::query;
using zrt::host::testing::read_file;

namespace {

constexpr int64_t kT0 = 1'796'000'000'000;  // 2026-11-30T00:53:20Z
const std::string kDc = "zrt4600a-dc";

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "histw_" + std::to_string(::getpid()) + "_" + name;
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// A DC screen image whose voltage and current move with k.
std::vector<uint8_t> image_at(int k) {
    std::vector<uint8_t> img(166, 0);
    const float v = 53.0f + float(k % 13) * 0.3f, i = 100.0f + float(k % 5);
    std::memcpy(img.data() + 4, &v, 4);
    std::memcpy(img.data() + 8, &i, 4);
    img[80] = 2;
    if (k % 17 == 3) std::memset(img.data() + 4, 0x20, 4);  // absent now and then
    return img;
}

// Every value row of a file, bit for bit (the doubles as their 17 digits).
std::vector<std::string> value_rows(const std::string& path) {
    register_history_sql();
    return query(path, "SELECT series, time_ms, printf('%!.17g', value) FROM value_rows ORDER BY series, time_ms");
}

std::string export_csv(const std::string& db) {
    ExportOptions o;
    o.history = db;
    o.out = db + ".csv";
    run_export(o);
    const std::string text = read_file(o.out);
    std::remove(o.out.c_str());
    return text;
}

// The same saves (one DC image and one cycle every 2.5 s from kT0) into a file written
// after every save: what any file of them must read back as.
void write_reference(const std::string& path, int saves) {
    remove_db(path);
    int64_t now = kT0;
    HistoryStore store(path, 0);
    store.set_clock([&now] { return now; });
    for (int k = 0; k < saves; ++k, now += 2500) {
        store.save(21, kDc, 5108, image_at(k));
        store.record_cycle(uint64_t(k + 1), 2300.0 + k, 0, 0, 0);
    }
}

int polls_in(const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const size_t n = device_polls(db, path, 21, kDc, INT64_MIN, INT64_MAX).size();
    sqlite3_close(db);
    return int(n);
}

}  // namespace

TEST(HistoryWrites, ACommitIntervalHoldsRowsBackUntilItsCommitAndAStopWritesThemAll) {
    const std::string path = temp_path("interval.db"), ref = temp_path("interval_ref.db");
    remove_db(path);
    constexpr int kSaves = 3 * 1440 + 100;  // three hours: hours close and their rows are written once
    {
        int64_t now = kT0;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.set_commit_interval(60);
        for (int k = 0; k < kSaves; ++k, now += 2500) {
            store.save(21, kDc, 5108, image_at(k));
            store.record_cycle(uint64_t(k + 1), 2300.0 + k, 0, 0, 0);
            if (k == 10) {
                // The first save was written at once, the next ones wait for the minute.
                EXPECT_EQ(polls_in(path), 1);
            }
            if (k == 30) {
                EXPECT_EQ(polls_in(path), 25);  // the commit at kT0 + 60 s wrote saves 0 to 24
                EXPECT_EQ(store.write_state().commits, 2u);
            }
        }
        // Nothing has failed, and a commit came once a minute (of the store's clock).
        const HistoryStore::WriteState w = store.write_state();
        EXPECT_EQ(w.errors, 0u);
        EXPECT_FALSE(w.failing);
        EXPECT_NEAR(double(w.commits), kSaves * 2.5 / 60.0, 2.0);
        EXPECT_LT(polls_in(path), kSaves);
        EXPECT_GE(polls_in(path), kSaves - 24);
    }
    // The clean stop wrote the rest: every row is there, bit for bit as in a file written
    // after every save, and through every reader (value rows, export, cycles).
    write_reference(ref, kSaves);
    EXPECT_EQ(polls_in(path), kSaves);
    EXPECT_EQ(value_rows(path), value_rows(ref));
    EXPECT_EQ(export_csv(path), export_csv(ref));
    EXPECT_EQ(query(path, "SELECT count(*), sum(n) FROM cycle_rows"), query(ref, "SELECT count(*), sum(n) FROM cycle_rows"));
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    remove_db(path);
    remove_db(ref);
}

TEST(HistoryWrites, AReaderBesideTheWriterGetsTheOpenHoursFromTheLogBitForBit) {
    const std::string path = temp_path("beside.db"), ref = temp_path("beside_ref.db");
    remove_db(path);
    {
        int64_t now = kT0;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.set_commit_interval(60);
        int k = 0;
        for (int round = 0; round < 3; ++round) {
            // Some 50 minutes on each time: hours close, the log's slots are written over.
            for (const int end = k + 1200 + 37 * round; k < end; ++k, now += 2500) {
                store.save(21, kDc, 5108, image_at(k));
                store.record_cycle(uint64_t(k + 1), 2300.0 + k, 0, 0, 0);
            }
            const int kept = polls_in(path);
            EXPECT_GE(kept, k - 24) << round;
            EXPECT_LE(kept, k) << round;
            write_reference(ref, kept);
            EXPECT_EQ(value_rows(path), value_rows(ref)) << round;
            const std::string cycles = query(path, "SELECT count(*) FROM cycle_rows")[0];
            const std::string sums = "SELECT count(*), sum(n), sum(duration_ms) FROM cycle_rows WHERE n <= " + cycles;
            EXPECT_EQ(query(path, sums), query(ref, sums)) << round;
            EXPECT_GE(std::stoi(cycles), kept - 1) << round;
            // The hour being filled is in the log, a few slots written over in turn.
            EXPECT_EQ(query(path, "SELECT count(*) FROM chunk WHERE open = 2"), (std::vector<std::string>{"1"}));
            EXPECT_LE(std::stoi(query(path, "SELECT count(*) FROM chunk_log")[0]), 64) << round;
        }
    }
    // A stop writes the open hour whole; the next writer finds nothing to rebuild.
    EXPECT_EQ(query(path, "SELECT count(*) FROM chunk WHERE open = 2"), (std::vector<std::string>{"0"}));
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    remove_db(path);
    remove_db(ref);
}

TEST(HistoryWrites, AKilledWriterLosesAtMostTheCommitInterval) {
    register_history_sql();
    const std::string path = temp_path("kill.db"), ref = temp_path("kill_ref.db");
    remove_db(path);
    constexpr int kCommitS = 20;  // 8 saves of 2.5 s
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        try {
            int64_t now = kT0;
            HistoryStore store(path, 0);
            store.set_clock([&now] { return now; });
            store.set_commit_interval(kCommitS);
            for (int k = 0;; ++k, now += 2500) {
                store.save(21, kDc, 5108, image_at(k));
                store.record_cycle(uint64_t(k + 1), 2300.0 + k, 0, 0, 0);
                if (write(fds[1], &k, sizeof k) != sizeof k) _exit(3);
            }
        } catch (...) {
            _exit(2);
        }
    }
    close(fds[1]);
    int acked = -1, k = 0;
    // Past the hour (160 saves in), so that an hour has closed and the next is open.
    while (acked < 317 && read(fds[0], &k, sizeof k) == sizeof k) acked = k;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    while (read(fds[0], &k, sizeof k) == sizeof k) acked = k;  // what it wrote before the kill
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    // At most the interval is missing: the saves of the last 20 s of its clock.
    const int kept = polls_in(path);
    EXPECT_LE(kept, acked + 2);
    EXPECT_GE(kept, acked + 1 - kCommitS * 1000 / 2500);
    // What is there is what was saved, bit for bit.
    write_reference(ref, kept);
    EXPECT_EQ(value_rows(path), value_rows(ref));
    // A writer opens the file again and goes on.
    {
        int64_t now = kT0 + int64_t(kept) * 2500;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.set_commit_interval(kCommitS);
        EXPECT_TRUE(store.save(21, kDc, 5108, image_at(kept)));
    }
    EXPECT_EQ(polls_in(path), kept + 1);
    remove_db(path);
    remove_db(ref);
}

TEST(HistoryWrites, AFullDiskIsSaidOnceAndAMinuteWithoutSpaceLosesNothing) {
    // A small tmpfs of our own (4 MB: the write-ahead log grows to 2 MB before it is folded
    // in), so that the disk can be filled without harm.
    const std::string dir = temp_path("full");
    std::filesystem::create_directories(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m") != 0) {
        const std::string why = std::strerror(errno);
        std::filesystem::remove(dir);
        GTEST_SKIP() << "cannot mount a small tmpfs at " << dir << " (" << why
                     << "): the full-disk test needs root or CAP_SYS_ADMIN";
    }
    const std::string path = dir + "/site.db", filler = dir + "/filler", ref = temp_path("full_ref.db");
    std::vector<std::string> said;
    int64_t now = kT0;
    constexpr int kSaves = 1200;  // 50 minutes
    bool all_taken = true;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.set_commit_interval(10);
        HistorySink sink(store, [&said](const std::string& t) { said.push_back(t); }, [&now] { return now; });
        devhost::ImageEvent e;
        e.data_id = 21;
        e.device_type = kDc;
        e.record_type = 5108;
        for (int k = 0; k < kSaves; ++k, now += 2500) {
            if (k == 100) {
                // The disk fills up: the filler takes every byte left.
                const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ASSERT_GE(fd, 0);
                std::vector<char> block(4096, 'x');
                while (::write(fd, block.data(), block.size()) > 0) {
                }
                ::close(fd);
            }
            if (k == 100 + 24 * 11) std::remove(filler.c_str());  // eleven minutes later, space again
            e.image = image_at(k);
            all_taken = sink.save(e) && all_taken;
            sink.status(LineStatus{});
            if (k == 100 + 24) {
                // A minute without space: failing, counted, held, and said once.
                const HistoryStore::WriteState w = store.write_state();
                EXPECT_TRUE(w.failing);
                EXPECT_GE(w.errors, 5u);
                EXPECT_GT(w.held_bytes, 0u);
                EXPECT_LE(w.held_bytes, HistoryStore::kHoldBytes);
                ASSERT_EQ(said.size(), 1u);
                EXPECT_NE(said[0].find(path), std::string::npos) << said[0];
                EXPECT_NE(said[0].find("full"), std::string::npos) << said[0];
                // The metrics and the status show it.
                MetricsState m("site");
                m.history_writes(history_writes(store));
                EXPECT_NE(m.render(Exposition::Format::PrometheusText)
                              .find("zrt4600a_history_write_errors_total{site=\"site\"} " + std::to_string(w.errors)),
                          std::string::npos);
                EXPECT_NE(m.status_json().find("\"write_errors\":" + std::to_string(w.errors)), std::string::npos);
            }
        }
        EXPECT_FALSE(store.write_state().failing) << store.write_state().error;
    }
    // Said: once at the start, once more after ten minutes with the count, once when written
    // again; and no image refused.
    std::string all;
    for (const std::string& t : said) all += t + "\n";
    ASSERT_EQ(said.size(), 3u) << all;
    EXPECT_NE(said[1].find("still cannot be written"), std::string::npos) << said[1];
    EXPECT_NE(said[1].find("failed writes"), std::string::npos) << said[1];
    EXPECT_NE(said[2].find("written again"), std::string::npos) << said[2];
    EXPECT_TRUE(all_taken);
    // Nothing of the eleven minutes without space is lost.
    remove_db(ref);
    {
        int64_t t = kT0;
        HistoryStore store(ref, 0);
        store.set_clock([&t] { return t; });
        for (int k = 0; k < kSaves; ++k, t += 2500) store.save(21, kDc, 5108, image_at(k));
    }
    EXPECT_EQ(polls_in(path), kSaves);
    EXPECT_EQ(value_rows(path), value_rows(ref));
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    remove_db(ref);
    ::umount(dir.c_str());
    std::filesystem::remove_all(dir);
}

TEST(HistoryWrites, ADamagedFileIsKeptAsideForAWriterButNeverForAReader) {
    const std::string dir = temp_path("damaged");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/site.db";
    auto asides = [&] {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("site.db.damaged-", 0) == 0) out.push_back(name);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    // Not a database at all, with a log beside it.
    std::ofstream(path) << std::string(4096, 'z');
    std::ofstream(path + "-wal") << "not a log";
    // A reader (export, --cycles 0) says so and leaves it as it is.
    EXPECT_THROW(HistoryStore(path, 0, HistoryStore::Mode::ReadOnly), HostError);
    ExportOptions o;
    o.history = path;
    o.out = dir + "/out.csv";
    try {
        run_export(o);
        ADD_FAILURE() << "the export read a damaged file";
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitHistory);
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_TRUE(asides().empty());
    EXPECT_EQ(read_file(path), std::string(4096, 'z'));

    // A writer keeps it aside, log and all, says where, and starts a new file.
    {
        HistoryStore store(path, 0);
        const std::vector<std::string> moved = asides();
        std::string names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names += e.path().filename().string() + " ";
        // The file and its log; its -shm too when a reader above left one.
        ASSERT_GE(moved.size(), 2u) << names;
        ASSERT_LE(moved.size(), 3u) << names;
        EXPECT_TRUE(std::regex_match(moved[0], std::regex(R"(site\.db\.damaged-\d{8}T\d{6}Z)"))) << moved[0];
        EXPECT_EQ(moved.back(), moved[0] + "-wal") << names;
        EXPECT_EQ(read_file(dir + "/" + moved.back()), "not a log");
        EXPECT_EQ(read_file(dir + "/" + moved[0]), std::string(4096, 'z'));
        EXPECT_NE(store.notice().find(path), std::string::npos) << store.notice();
        EXPECT_NE(store.notice().find(dir + "/" + moved[0]), std::string::npos) << store.notice();
        EXPECT_TRUE(store.save(21, kDc, 5108, image_at(0)));
    }
    EXPECT_EQ(polls_in(path), 1);

    // A file cut short: a real history of some pages, then half of it gone.
    {
        int64_t now = kT0;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        for (int k = 1; k < 3000; ++k, now += 2500) store.save(21, kDc, 5108, image_at(k));
    }
    for (const auto& name : asides()) std::filesystem::remove(dir + "/" + name);
    ASSERT_TRUE(asides().empty());
    const auto size = std::filesystem::file_size(path);
    ASSERT_GT(size, 20'000u);
    std::filesystem::resize_file(path, size / 2);
    {
        HistoryStore store(path, 0);
        ASSERT_EQ(asides().size(), 1u);
        EXPECT_EQ(std::filesystem::file_size(dir + "/" + asides()[0]), size / 2);
        EXPECT_NE(store.notice().find("cannot be used"), std::string::npos) << store.notice();
        EXPECT_TRUE(store.save(21, kDc, 5108, image_at(0)));
    }
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    // A sound file is no reason: it stays where it is.
    { HistoryStore store(path, 0); }
    EXPECT_EQ(asides().size(), 1u);
    std::filesystem::remove_all(dir);
}
