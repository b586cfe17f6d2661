// The compact history: chunks give back exactly what was written, a killed writer loses no
// acknowledged sample, files of the row-per-value layout still read, and the hourly rollups
// equal SQL over the rows.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tools/history/history_chunks.h"
#include "tools/history/history_codec.h"
#include "tools/history/history_export.h"
#include "tools/history/history_store.h"
#include "tests/tools/history_test_util.h"
#include "tools/history/report.h"

using namespace zrt::host;
using namespace zrt::host::codec;

namespace {

constexpr int64_t kT0 = 1'796'000'000'000;  // 2026-11-30T00:53:20Z

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "chunk_" + std::to_string(::getpid()) + "_" + name;
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}

double nan_with(uint64_t payload) {
    const uint64_t b = 0x7ff0000000000000ull | payload;
    double v;
    std::memcpy(&v, &b, 8);
    return v;
}

std::vector<uint8_t> dc_image(float v, float i) {
    std::vector<uint8_t> img(166, 0);
    std::memcpy(img.data() + 4, &v, 4);
    std::memcpy(img.data() + 8, &i, 4);
    img[80] = 2;
    return img;
}

using zrt::host::testing::query;
using zrt::host::testing::read_file;

std::string export_csv(const std::string& db, const std::vector<std::string>& keys = {}) {
    ExportOptions o;
    o.history = db;
    o.selection.keys = keys;
    o.out = db + ".csv";
    run_export(o);
    const std::string text = read_file(o.out);
    std::remove(o.out.c_str());
    return text;
}

}  // namespace

TEST(HistoryChunks, SamplesComeBackBitForBit) {
    // Poll times: a steady grid, jitter, a clock step back (to a time seen before), a jump.
    std::vector<int64_t> times;
    int64_t t = kT0;
    for (int k = 0; k < 300; ++k) {
        times.push_back(t);
        t += k < 100 ? 2500 : k < 150 ? 2500 + (k * 37) % 23 - 11 : 2500;
        if (k == 200) t = times[190];
        if (k == 250) t += 86'400'000;
    }
    std::mt19937 rng(7);
    struct Case {
        int64_t refresh;
        std::function<std::optional<double>(int)> value;
        std::function<bool(int)> written;
    };
    const std::vector<Case> cases = {
        // constant, written once a minute: runs of expected samples
        {60'000, [](int) { return 48.0; }, [](int k) { return k % 24 == 0; }},
        // jittering floats on a 0.1 grid, written on most polls
        {60'000, [&](int k) { return double(float(53.5 + 0.1 * double(int(rng() % 5) - 2) + 0.01 * k)); },
         [](int k) { return k % 3 != 1; }},
        // absent stretches between values, and absent written again while absent
        {60'000, [](int k) { return (k / 20) % 2 ? std::nullopt : std::optional<double>(-0.1); },
         [](int k) { return k % 5 == 0 || k % 20 == 0; }},
        // NaNs with payloads, signed zeros, infinities, extremes, values of no decimal grid
        {600'000,
         [](int k) -> std::optional<double> {
             const double odd[] = {nan_with(1), nan_with(0x8000000000001ull), -0.0, 0.0,
                                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                                   1.0 / 3.0, 2312.456789012, -1e300, 4503599627370497.0, 7.0};
             return odd[k % 13];
         },
         [](int k) { return k % 2 == 0; }},
        // a state, with no refresh period
        {0, [](int k) { return double((k / 40) % 3); }, [](int k) { return k % 40 == 0 || k == 299; }},
    };
    ChunkEncoder enc;
    std::vector<std::vector<Sample>> expected(cases.size());
    for (size_t p = 0; p < times.size(); ++p) {
        enc.add_poll(times[p]);
        for (size_t c = 0; c < cases.size(); ++c) {
            if (!cases[c].written(int(p))) continue;
            const std::optional<double> v = cases[c].value(int(p));
            enc.stream(int64_t(c + 1), cases[c].refresh).add(enc.polls(), v);
            expected[c].push_back({uint32_t(p), v});
        }
    }
    const std::vector<uint8_t> blob = enc.blob();
    ParsedChunk parsed;
    ASSERT_TRUE(parse_chunk(blob.data(), blob.size(), parsed));
    EXPECT_EQ(parsed.polls, times);
    ASSERT_EQ(parsed.streams.size(), cases.size());
    for (size_t c = 0; c < cases.size(); ++c) {
        std::vector<Sample> got;
        ASSERT_TRUE(decode_stream(parsed, parsed.streams[c], got)) << c;
        ASSERT_EQ(got.size(), expected[c].size()) << c;
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].poll, expected[c][k].poll) << c << " " << k;
            ASSERT_EQ(got[k].value.has_value(), expected[c][k].value.has_value()) << c << " " << k;
            if (got[k].value) {
                EXPECT_EQ(bits(*got[k].value), bits(*expected[c][k].value)) << c << " " << k;
            }
        }
    }
    // The constant series costs a few bits for its 13 rows; the polls one bit a poll on the grid.
    EXPECT_LT(parsed.streams[0].nbits, 13u * 8);

    // Cut short anywhere, a chunk is refused or reads within its bytes.
    for (size_t n = 0; n < blob.size(); ++n) {
        ParsedChunk part;
        if (!parse_chunk(blob.data(), n, part)) continue;
        std::vector<Sample> got;
        for (const ChunkStream& s : part.streams) decode_stream(part, s, got);
    }
    // Trimming before a time keeps exactly the later samples.
    bool ok = false;
    const std::vector<uint8_t> trimmed = trim_chunk(parsed, times[120], ok);
    ASSERT_TRUE(ok);
    ParsedChunk tp;
    ASSERT_TRUE(parse_chunk(trimmed.data(), trimmed.size(), tp));
    std::vector<Sample> a, b;
    ASSERT_TRUE(decode_stream(tp, tp.streams[1], a));
    for (const Sample& s : expected[1])
        if (times[s.poll] >= times[120]) b.push_back(s);
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k) EXPECT_EQ(tp.polls[a[k].poll], times[b[k].poll]);

    // Cycle rows: measured durations of full precision, counters that go back.
    CycleEncoder ce;
    std::vector<CycleRow> rows;
    for (int k = 0; k < 500; ++k) {
        CycleRow r;
        r.time_ms = kT0 + k * 2500 + (k % 7);
        r.n = uint64_t(k == 250 ? 1 : k + 2);
        r.duration_ms = k % 3 ? double(2'301'234'567 + k * 977) / 1e6 : 2300.0 + k;
        r.errors = uint64_t(k % 97 == 0);
        r.bad_frames = k == 400 ? 1'000'000'000'000ull : 0;
        r.timeouts = uint64_t(k % 11 == 0);
        ce.add(r);
        rows.push_back(r);
    }
    const std::vector<uint8_t> cb = ce.blob();
    std::vector<CycleRow> back;
    ASSERT_TRUE(decode_cycles(cb.data(), cb.size(), back));
    ASSERT_EQ(back.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(back[k].time_ms, rows[k].time_ms);
        EXPECT_EQ(back[k].n, rows[k].n);
        EXPECT_EQ(bits(back[k].duration_ms), bits(rows[k].duration_ms)) << k;
        EXPECT_EQ(back[k].bad_frames, rows[k].bad_frames);
        EXPECT_EQ(back[k].timeouts, rows[k].timeouts);
    }
    EXPECT_FALSE(decode_cycles(cb.data(), cb.size() / 2, back));
}

TEST(HistoryChunks, TheCommitLogRebuildsTheChunkBeingFilledBitForBit) {
    // A chunk and a cycle chunk being filled, logged after irregular runs of polls (as
    // commits come): at every commit, the entries so far rebuild both blobs exactly.
    std::mt19937 rng(11);
    ChunkEncoder enc;
    CycleEncoder cycles;
    ChunkLogMark mark;
    CycleLogMark cycle_mark;
    std::vector<std::vector<uint8_t>> rows;
    int64_t t = kT0;
    int until_commit = 1;
    for (int p = 0; p < 1500; ++p) {
        t += p % 200 < 120 ? 2500 : 2500 + int64_t(rng() % 9) - 4;
        enc.add_poll(t);
        // Constant (runs of expected samples), jittering, absent stretches, a state, a raw double.
        if (p % 24 == 0) enc.stream(3, 60'000).add(enc.polls(), 48.0);
        if (p % 3 != 1) enc.stream(5, 60'000).add(enc.polls(), double(float(53.5 + 0.1 * double(rng() % 5))));
        if (p % 10 == 0) enc.stream(6, 60'000).add(enc.polls(), (p / 50) % 2 ? std::nullopt : std::optional<double>(-0.1));
        if (p % 300 == 7) enc.stream(9, 600'000).add(enc.polls(), double(p / 300));
        if (p > 700 && p % 17 == 0) enc.stream(12, 0).add(enc.polls(), 1.0 / double(p));
        CycleRow r;
        r.time_ms = t + 1300;
        r.n = uint64_t(p + 1);
        r.duration_ms = 2300.0 + double(rng() % 50) / 10;
        r.timeouts = uint64_t(p % 97 == 0);
        cycles.add(r);
        if (--until_commit > 0) continue;
        until_commit = 1 + int(rng() % 40);
        std::vector<uint8_t> row = log_row_start();
        BitWriter a, b;
        log_chunk(enc, mark, a);
        put_log_entry(row, LogKind::Chunk, 42, a);
        log_cycles(cycles, cycle_mark, b);
        put_log_entry(row, LogKind::Cycles, 43, b);
        rows.push_back(row);
        ChunkLog chunk;
        CycleLog cyc;
        for (const auto& x : rows)
            ASSERT_TRUE(for_each_log_entry(x.data(), x.size(), [&](LogKind kind, int64_t id, BitReader& rd) {
                EXPECT_EQ(id, kind == LogKind::Chunk ? 42 : 43);
                return kind == LogKind::Chunk ? chunk.apply(rd) : cyc.apply(rd);
            }));
        ASSERT_EQ(chunk.blob(), enc.blob()) << "after poll " << p;
        ASSERT_EQ(cyc.blob(), cycles.blob()) << "after poll " << p;
    }
    // A log row is a few bits a series and poll, not the chunk again.
    EXPECT_LT(rows.back().size(), enc.blob().size() / 8);
    // A new chunk of the same row id starts afresh at its first entry.
    ChunkEncoder next;
    next.add_poll(t + 2500);
    next.stream(3, 60'000).add(next.polls(), 49.0);
    ChunkLogMark next_mark;
    BitWriter e;
    log_chunk(next, next_mark, e);
    std::vector<uint8_t> row = log_row_start();
    put_log_entry(row, LogKind::Chunk, 42, e);
    rows.push_back(row);
    ChunkLog chunk;
    for (const auto& x : rows)
        ASSERT_TRUE(for_each_log_entry(x.data(), x.size(), [&](LogKind kind, int64_t, BitReader& rd) {
            return kind == LogKind::Chunk ? chunk.apply(rd) : true;
        }));
    EXPECT_EQ(chunk.blob(), next.blob());
    // A row cut short is refused, never read past its end.
    const std::vector<uint8_t>& last = rows[rows.size() - 2];
    for (size_t n = 0; n < last.size(); ++n) {
        ChunkLog c;
        CycleLog y;
        for_each_log_entry(last.data(), n, [&](LogKind kind, int64_t, BitReader& rd) {
            return kind == LogKind::Chunk ? c.apply(rd) : y.apply(rd);
        });
    }
    EXPECT_FALSE(for_each_log_entry(last.data(), last.size() - 1, [](LogKind, int64_t, BitReader&) { return true; }));
}

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t k = 0; k + 1 < hex.size(); k += 2) out.push_back(uint8_t(std::stoi(hex.substr(k, 2), nullptr, 16)));
    return out;
}

TEST(HistoryChunks, JoinedChunksAndBlobsOfTheEarlierEncodingReadTheSame) {
    // Two hours of polls joined into one chunk: a series that jumps by far more than its
    // last digit (the Rice code's escape), one written at its refresh across the join, and
    // a poll grid whose step changes at the join.
    auto value = [](int k) -> std::optional<double> {
        const double jumps[] = {1.0, 1e12, -1e12, 3.0, 2.5, 9007199254740993.0};
        return k % 50 == 7 ? std::nullopt : std::optional<double>(jumps[k % 6]);
    };
    ChunkEncoder first, second, whole;
    std::vector<Sample> want_jumps, want_slow;
    std::vector<int64_t> times;
    int64_t t = kT0;
    for (int k = 0; k < 400; ++k) {
        ChunkEncoder& part = k < 200 ? first : second;
        for (ChunkEncoder* e : {&part, &whole}) {
            e->add_poll(t);
            if (k % 3 == 0) e->stream(4, 60'000).add(e->polls(), value(k));
            if (k % 24 == 0) e->stream(9, 60'000).add(e->polls(), 230.1);
        }
        if (k % 3 == 0) want_jumps.push_back({uint32_t(k), value(k)});
        if (k % 24 == 0) want_slow.push_back({uint32_t(k), 230.1});
        times.push_back(t);
        t += k < 200 ? 2500 : 1000 + (k % 4);
    }
    ParsedChunk a, b, w;
    const std::vector<uint8_t> ab = first.blob(), bb = second.blob(), wb = whole.blob();
    ASSERT_TRUE(parse_chunk(ab.data(), ab.size(), a));
    ASSERT_TRUE(parse_chunk(bb.data(), bb.size(), b));
    bool ok = false;
    const std::vector<uint8_t> joined = rechunk({&a, &b}, INT64_MIN, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(joined, wb);  // the same bits as one chunk written through
    ASSERT_TRUE(parse_chunk(joined.data(), joined.size(), w));
    EXPECT_EQ(w.polls, times);
    ASSERT_EQ(w.streams.size(), 2u);
    for (const auto& [stream, want] : {std::make_pair(0, &want_jumps), std::make_pair(1, &want_slow)}) {
        std::vector<Sample> got;
        ASSERT_TRUE(decode_stream(w, w.streams[size_t(stream)], got));
        ASSERT_EQ(got.size(), want->size());
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].poll, (*want)[k].poll) << k;
            ASSERT_EQ(got[k].value.has_value(), (*want)[k].value.has_value()) << k;
            if (got[k].value) {
                EXPECT_EQ(bits(*got[k].value), bits(*(*want)[k].value)) << k;
            }
        }
    }
    // One chunk costs less than its two parts: each series' header and first value once.
    EXPECT_LT(joined.size(), ab.size() + bb.size());

    // A chunk of the earlier encoding (every poll's step, a sample count per series): 40
    // polls 2.5 s apart (the 21st step 2.517 s); series 3 at every other poll, 53.5 + 0.1 ×
    // (poll mod 4) as float, absent at poll 10; series 5 (refresh 10 min) 1.0 at polls 0, 24.
    const std::vector<uint8_t> v2 = from_hex(
        "022802000001a229f12800e01388000012290800020885407bfe9c85dad7ad5ad7ad5ab59ad7ad5ad7ad5ad7ad5ad7ad5ad7ad5ad7ad5"
        "ad7029821fd102c30");
    ParsedChunk old;
    ASSERT_TRUE(parse_chunk(v2.data(), v2.size(), old));
    ASSERT_EQ(old.polls.size(), 40u);
    for (size_t p = 0; p < 40; ++p) EXPECT_EQ(old.polls[p], kT0 + int64_t(p) * 2500 + (p > 20 ? 17 : 0)) << p;
    ASSERT_EQ(old.streams.size(), 2u);
    std::vector<Sample> s3, s5;
    ASSERT_TRUE(decode_stream(old, old.streams[0], s3));
    ASSERT_TRUE(decode_stream(old, old.streams[1], s5));
    EXPECT_EQ(old.streams[0].series, 3);
    ASSERT_EQ(s3.size(), 20u);
    for (size_t k = 0; k < s3.size(); ++k) {
        const size_t p = 2 * k;
        EXPECT_EQ(s3[k].poll, p);
        if (p == 10) {
            EXPECT_FALSE(s3[k].value.has_value());
        } else {
            ASSERT_TRUE(s3[k].value.has_value()) << p;
            EXPECT_EQ(bits(*s3[k].value), bits(double(53.5f + 0.1f * float(p % 4)))) << p;
        }
    }
    ASSERT_EQ(s5.size(), 2u);
    EXPECT_EQ(s5[1].poll, 24u);
    EXPECT_EQ(*s5[1].value, 1.0);
    // Trimmed (as retention does), it is written in the current encoding, rows unchanged.
    const std::vector<uint8_t> now_form = trim_chunk(old, kT0 + 5 * 2500, ok);
    ASSERT_TRUE(ok);
    ParsedChunk moved;
    ASSERT_TRUE(parse_chunk(now_form.data(), now_form.size(), moved));
    std::vector<Sample> m3;
    ASSERT_TRUE(decode_stream(moved, moved.streams[0], m3));
    ASSERT_EQ(m3.size(), 17u);
    EXPECT_EQ(moved.polls[m3[2].poll], old.polls[s3[5].poll]);
    EXPECT_FALSE(m3[2].value.has_value());

    // Cycle rows of the earlier encoding: ten cycles 2.5 s apart, durations 2300.5 + 20 k,
    // one error and one time-out in the sixth.
    const std::vector<uint8_t> c1 = from_hex(
        "010a8603f0000034453e2500053c167743c00000d114f88f1dcc32006190030c80186400c32102408619080a0230c80186400c3200");
    std::vector<CycleRow> rows;
    ASSERT_TRUE(decode_cycles(c1.data(), c1.size(), rows));
    ASSERT_EQ(rows.size(), 10u);
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].time_ms, kT0 + int64_t(k) * 2500);
        EXPECT_EQ(rows[k].n, k + 1);
        EXPECT_EQ(rows[k].duration_ms, 2300.5 + double(k) * 20);
        EXPECT_EQ(rows[k].errors, k == 5 ? 1u : 0u);
        EXPECT_EQ(rows[k].timeouts, k == 5 ? 1u : 0u);
    }
}

TEST(HistoryChunks, ClosedHoursJoinTheirDayUnlessTheClockSteppedBack) {
    register_history_sql();
    const std::string path = temp_path("join.db");
    remove_db(path);
    const int64_t day = kT0 / 86'400'000 * 86'400'000;
    int64_t now = 0;
    std::vector<int64_t> saved;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        auto save_from = [&](int64_t from, int count) {
            for (int k = 0; k < count; ++k) {
                now = from + int64_t(k) * 60'000;
                // A voltage that moves on every save: each save writes a row of `v`.
                store.save(21, "zrt4600a-dc", 5108, dc_image(53.0f + 0.5f * float(saved.size() % 7), 10.0f));
                saved.push_back(now);
            }
        };
        save_from(day + 1 * 3'600'000, 60);  // 01:00 to 01:59
        save_from(day + 2 * 3'600'000, 10);  // 02:00 to 02:09: 01:00 closes, the day's first row
        save_from(day + 1 * 3'600'000 + 30 * 60'000, 5);  // back to 01:30: 02:00 closes, joins
        save_from(day + 3 * 3'600'000, 1);  // 03:00: 01:30 closes
        // While the day runs, each closed hour is a row of its own, written once.
        EXPECT_EQ(query(path, "SELECT t_min - " + std::to_string(day) + ", t_max - " + std::to_string(day) +
                                  ", open FROM chunk ORDER BY id"),
                  (std::vector<std::string>{"3600000|7140000|0", "7200000|7740000|0", "5400000|5640000|0",
                                            "10800000|10800000|1"}));
        save_from(day + 86'400'000, 1);  // the next day: 03:00 closes, the day is over and joins
        // Readers take the rows chunk by chunk: the day's row (01:00, 02:00, 03:00), then
        // 01:30, then the next day.
        std::rotate(saved.begin() + 70, saved.begin() + 75, saved.begin() + 76);
        // A cycle's measured duration is kept to 0.1 ms.
        store.record_cycle(1, 2312.456789012, 0, 0, 0);
        store.record_cycle(2, 2299.96, 1, 0, 1);
    }
    EXPECT_EQ(query(path, "SELECT n, duration_ms, errors, timeouts FROM cycle_v ORDER BY n"),
              (std::vector<std::string>{"1|2312.5|0|0", "2|2300.0|1|1"}));
    // The day's hours are one row, but 01:30, which went back in time: its own row.
    EXPECT_EQ(query(path, "SELECT t_min - " + std::to_string(day) + ", t_max - " + std::to_string(day) +
                              ", open FROM chunk ORDER BY id"),
              (std::vector<std::string>{"3600000|10800000|0", "5400000|5640000|0", "86400000|86400000|1"}));
    // Every save's row comes back, chunk by chunk (a chunk's rows in the order written).
    const auto rows = query(path, "SELECT time_ms FROM value_v WHERE key = 'v'");
    std::vector<int64_t> got;
    for (const std::string& r : rows) got.push_back(std::stoll(r));
    EXPECT_EQ(got, saved);
    remove_db(path);
}

TEST(HistoryChunks, AKilledWriterLosesNoAcknowledgedSample) {
    register_history_sql();
    const std::string path = temp_path("crash.db");
    remove_db(path);
    auto image_at = [](int k) {
        std::vector<uint8_t> img = dc_image(53.0f + float(k % 13) * 0.3f, 100.0f + float(k % 5));
        if (k % 17 == 3) std::memset(img.data() + 4, 0x20, 4);  // absent now and then
        return img;
    };
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
            for (int k = 0;; ++k) {
                store.save(21, "zrt4600a-dc", 5108, image_at(k));
                store.record_cycle(uint64_t(k + 1), 2300.0 + k, 0, 0, 0);
                // Acknowledged: save() returned.
                if (write(fds[1], &k, sizeof k) != sizeof k) _exit(3);
                now += 2500;
            }
        } catch (...) {
            _exit(2);
        }
    }
    close(fds[1]);
    int acked = -1, k = 0;
    // Past the hour (at 01:00:00, 160 saves in), so that a chunk has closed and the next is open.
    while (acked < 300 && read(fds[0], &k, sizeof k) == sizeof k) acked = k;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));

    // Every acknowledged save is there: its poll, its cycle row, its values.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const auto times = device_polls(db, path, 21, "zrt4600a-dc", INT64_MIN, INT64_MAX);
    sqlite3_close(db);
    ASSERT_GE(times.size(), size_t(acked + 1));
    const int saved = int(times.size());
    const auto cycles = query(path, "SELECT count(*) FROM cycle_rows");
    ASSERT_EQ(cycles.size(), 1u);
    EXPECT_GE(std::stoi(cycles[0]), acked + 1);  // killed between a save and its cycle row: one fewer
    EXPECT_LE(std::stoi(cycles[0]), saved);
    // The same saves into a file closed in order read back the same rows.
    const std::string ref = temp_path("crash_ref.db");
    remove_db(ref);
    {
        int64_t now = kT0;
        HistoryStore store(ref, 0);
        store.set_clock([&now] { return now; });
        for (int j = 0; j < saved; ++j, now += 2500) store.save(21, "zrt4600a-dc", 5108, image_at(j));
    }
    const std::string got = export_csv(path), want = export_csv(ref);
    EXPECT_GT(std::count(want.begin(), want.end(), '\n'), saved / 24);
    EXPECT_EQ(got, want);
    // A writer opens the file again and goes on; the rows before stay.
    {
        int64_t now = kT0 + int64_t(saved) * 2500;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.save(21, "zrt4600a-dc", 5108, image_at(0));
        ASSERT_TRUE(store.last(21, "zrt4600a-dc").has_value());
        EXPECT_EQ(*store.last(21, "zrt4600a-dc"), image_at(0));
    }
    EXPECT_EQ(export_csv(path, {"i"}).rfind(export_csv(ref, {"i"}), 0), 0u);
    EXPECT_EQ(query(path, "SELECT count(*) FROM chunk WHERE open = 1"), (std::vector<std::string>{"1"}));
    remove_db(path);
    remove_db(ref);
}

TEST(HistoryChunks, FilesOfTheRowLayoutStillOpenAndRead) {
    register_history_sql();
    // A file as the row-per-value versions wrote it.
    const std::string path = temp_path("rows.db");
    remove_db(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* old_layout =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,"
        " device_type TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT NULL, image BLOB NOT NULL);"
        "CREATE INDEX history_device ON history (data_id, device_type, id);"
        "CREATE TABLE active_alarm (data_id INTEGER NOT NULL, device_type TEXT NOT NULL, key TEXT NOT NULL,"
        " seq INTEGER NOT NULL, level INTEGER NOT NULL, signal_id TEXT NOT NULL, name TEXT NOT NULL,"
        " instance TEXT NOT NULL, since TEXT NOT NULL, PRIMARY KEY (data_id, device_type, key, seq));"
        "CREATE TABLE series (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, device_type TEXT NOT NULL,"
        " record_type INTEGER NOT NULL, key TEXT NOT NULL, label TEXT NOT NULL, unit TEXT NOT NULL,"
        " kind TEXT NOT NULL, UNIQUE (data_id, device_type, record_type, key));"
        "CREATE TABLE value (series INTEGER NOT NULL, time_ms INTEGER NOT NULL, value REAL,"
        " PRIMARY KEY (series, time_ms)) WITHOUT ROWID;"
        "CREATE TABLE alarm (id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, data_id INTEGER NOT NULL,"
        " device_type TEXT NOT NULL, key TEXT NOT NULL, seq INTEGER NOT NULL, signal_id TEXT NOT NULL,"
        " name TEXT NOT NULL, instance TEXT NOT NULL, level INTEGER NOT NULL, state INTEGER NOT NULL);"
        "CREATE TABLE cycle (id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, n INTEGER NOT NULL,"
        " duration_ms REAL NOT NULL, errors INTEGER NOT NULL, bad_frames INTEGER NOT NULL,"
        " timeouts INTEGER NOT NULL);"
        "CREATE VIEW value_v AS SELECT strftime('%Y-%m-%dT%H:%M:%fZ', v.time_ms / 1000.0, 'unixepoch') AS time,"
        " v.time_ms, s.data_id, s.device_type, s.record_type, s.key, s.label, s.unit, s.kind, v.value"
        " FROM value v JOIN series s ON s.id = v.series;"
        "INSERT INTO series VALUES (1, 21, 'zrt4600a-dc', 5108, 'v', 'output voltage', 'V', 'measure');"
        "INSERT INTO value VALUES (1, 1796000000000, 53.5), (1, 1796000002500, NULL),"
        " (1, 1796000005000, 53.79999923706055);"
        "INSERT INTO cycle VALUES (1, 1796000000000, 1, 2301.5, 0, 0, 0), (2, 1796000002500, 2, 2299.0, 1, 0, 1);"
        "INSERT INTO history VALUES (1, 21, 'zrt4600a-dc', 5108, '2026-11-30T00:53:25.000Z', x'00');";
    ASSERT_EQ(sqlite3_exec(db, old_layout, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string rows =
        "time,data_id,device_type,key,label,unit,kind,value\n"
        "2026-11-30T00:53:20.000Z,21,zrt4600a-dc,v,output voltage,V,measure,53.5\n"
        "2026-11-30T00:53:22.500Z,21,zrt4600a-dc,v,output voltage,V,measure,\n"
        "2026-11-30T00:53:25.000Z,21,zrt4600a-dc,v,output voltage,V,measure,53.8\n";
    EXPECT_EQ(export_csv(path), rows);  // read as it is, by a reader
    // A writer goes on in the same file: the old rows stay as they are, new ones follow.
    {
        int64_t now = kT0 + 7500;
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        EXPECT_EQ(store.last(21, "zrt4600a-dc"), std::vector<uint8_t>{0});
        store.save(21, "zrt4600a-dc", 5108, dc_image(54.0f, 1.0f));
        store.record_cycle(3, 2300.0, 0, 0, 0);
    }
    const std::string all = export_csv(path, {"v"});
    EXPECT_EQ(all, rows + "2026-11-30T00:53:27.500Z,21,zrt4600a-dc,v,output voltage,V,measure,54\n");
    EXPECT_EQ(query(path, "SELECT time_ms - 1796000000000, value FROM value_v WHERE key = 'v' ORDER BY time_ms"),
              (std::vector<std::string>{"0|53.5", "2500|NULL", "5000|53.7999992370605", "7500|54.0"}));
    EXPECT_EQ(query(path, "SELECT n, duration_ms, errors FROM cycle_v ORDER BY time_ms"),
              (std::vector<std::string>{"1|2301.5|0", "2|2299.0|1", "3|2300.0|0"}));
    // The report reads both.
    ReportOptions o;
    o.history = path;
    o.out = temp_path("rows.html");
    // Its rows of measures and states: the four older ones and the new save's.
    EXPECT_EQ(std::to_string(write_report(o).value_rows),
              query(path, "SELECT count(*) FROM value_rows JOIN series s ON s.id = series"
                          " WHERE s.kind IN ('measure', 'state')")[0]);
    std::remove(o.out.c_str());
    remove_db(path);
}

TEST(HistoryChunks, HourlyRollupsEqualSqlOverTheRows) {
    const std::string path = temp_path("rollup.db");
    remove_db(path);
    int64_t now = kT0;
    std::mt19937 rng(11);
    rule_value fuse;
    fuse.key = "DC_3";
    fuse.signal_id = "06001";
    fuse.level = 1;
    fuse.sequence = 9;
    fuse.name = "电池熔丝故障告警";
    fuse.instance = "直流7电池熔丝故障告警";
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        for (int k = 0; k < 3 * 360 + 30; ++k) {  // three hours and a bit, a save every 10 s
            std::vector<uint8_t> img =
                dc_image(float(53.0 + 0.1 * double(rng() % 9)), float(100.0 + 0.1 * double(rng() % 50)));
            if (k % 100 < 7) std::memset(img.data() + 4, 0x20, 4);
            store.save(21, "zrt4600a-dc", 5108, img);
            store.record_cycle(uint64_t(k + 1), 2400.0, k % 60 == 0 ? 1 : 0, 0, 0);
            if (k == 50) store.record_alarm(21, "zrt4600a-dc", fuse, true);
            if (k == 80) store.record_alarm(21, "zrt4600a-dc", fuse, false);
            now += 10'000;
        }
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::map<std::pair<int64_t, int64_t>, Rollup> rolled;
    for_each_rollup(db, path, 21, "zrt4600a-dc", INT64_MIN, INT64_MAX, false,
                    [&](int64_t hour, const Rollup& r) { rolled[{r.series, hour}] = r; });
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT series, time_ms / 3600000 * 3600000 AS hour, count(value),"
                                 " sum(value IS NULL), min(value), max(value), avg(value) FROM value_rows"
                                 " WHERE time_ms < (SELECT max(t_max) FROM chunk WHERE open = 0) + 1"
                                 " GROUP BY 1, 2 ORDER BY 1, 2",
                                 -1, &q, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    size_t groups = 0, with_absent = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
        const auto key = std::make_pair(sqlite3_column_int64(q, 0), sqlite3_column_int64(q, 1));
        auto it = rolled.find(key);
        ASSERT_NE(it, rolled.end()) << key.first << " " << key.second;
        const Rollup& r = it->second;
        EXPECT_EQ(r.count, uint64_t(sqlite3_column_int64(q, 2)));
        EXPECT_EQ(r.absent, uint64_t(sqlite3_column_int64(q, 3)));
        if (r.absent) ++with_absent;
        if (r.count) {
            EXPECT_EQ(bits(r.min), bits(sqlite3_column_double(q, 4)));
            EXPECT_EQ(bits(r.max), bits(sqlite3_column_double(q, 5)));
            EXPECT_NEAR(r.mean, sqlite3_column_double(q, 6), 1e-9 * std::fabs(r.mean));
        }
        rolled.erase(it);
        ++groups;
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    EXPECT_GE(groups, 3u * 5);  // three closed hours of several series
    // While the day runs, its closed hours are rows of their own (joined when it is over).
    EXPECT_EQ(query(path, "SELECT count(*) FROM chunk WHERE open = 0"), (std::vector<std::string>{"3"}));
    EXPECT_GT(with_absent, 0u);
    EXPECT_TRUE(rolled.empty()) << rolled.size() << " rollups without rows";

    // The report: over a week it draws from the rollups, and its voltage chart spans what
    // the rows hold; absent rows are never drawn as numbers.
    const auto v_range = query(path, "SELECT min(value), max(value) FROM value_rows JOIN series s ON s.id = series"
                                     " WHERE s.key = 'v'");
    ReportOptions o;
    o.history = path;
    o.out = temp_path("rollup.html");
    o.from = kT0 - 6 * 86'400'000LL;
    o.to = now;
    const ReportSummary week = write_report(o);
    EXPECT_TRUE(week.from_rollups);
    std::string page = read_file(o.out);
    const size_t a = page.find("id=\"report-data\">");
    ASSERT_NE(a, std::string::npos);
    const std::string data = page.substr(a, page.find("</script>", a) - a);
    const size_t volts = data.find("\"title\":\"DC screen 21 · output voltage (V)\"");
    ASSERT_NE(volts, std::string::npos);
    double lo = 1e9, hi = -1e9;
    std::istringstream nums(data.substr(data.find("\"data\":[", volts) + 8));
    std::string item;
    while (std::getline(nums, item, ',')) {
        const bool end = item.find(']') != std::string::npos;
        if (item.rfind("null", 0) != 0) lo = std::min(lo, std::stod(item)), hi = std::max(hi, std::stod(item));
        if (end) break;
    }
    ASSERT_EQ(v_range.size(), 1u);
    EXPECT_FLOAT_EQ(float(lo), std::stof(v_range[0].substr(0, v_range[0].find('|'))));
    EXPECT_FLOAT_EQ(float(hi), std::stof(v_range[0].substr(v_range[0].find('|') + 1)));
    // The alarm name with its English gloss, and errors per hour over the time polled.
    EXPECT_NE(page.find("电池熔丝故障告警 <small class=\"gloss\">Battery fuse fault</small>"), std::string::npos);
    EXPECT_NE(page.find("<svg class=\"timeline\""), std::string::npos);
    // 1 110 cycles 10 s apart: 3 h 4 min 50 s polled (the first cycle counts its 2.4 s), 19 errors.
    EXPECT_NE(page.find("<td>3 h 4 min</td><td>6.2</td>"), std::string::npos);
    // Over two hours the rows themselves are drawn.
    o.from = kT0;
    o.to = kT0 + 2 * 3'600'000LL;
    EXPECT_FALSE(write_report(o).from_rollups);
    std::remove(o.out.c_str());

    // Rollups outlive the raw chunks by their own days.
    {
        HistoryStore store(path, 0);
        now += 3 * 86'400'000LL;
        store.set_clock([&now] { return now; });
        store.set_retention_days(1);
        store.set_rollup_days(400);
        store.prune();
    }
    EXPECT_EQ(query(path, "SELECT count(*) FROM chunk"), (std::vector<std::string>{"0"}));
    EXPECT_EQ(query(path, "SELECT count(*) > 0 FROM rollup"), (std::vector<std::string>{"1"}));
    {
        HistoryStore store(path, 0);
        now += 2 * 86'400'000LL;
        store.set_clock([&now] { return now; });
        store.set_rollup_days(2);
        store.prune();
    }
    EXPECT_EQ(query(path, "SELECT count(*) FROM rollup"), (std::vector<std::string>{"0"}));
    remove_db(path);
}
