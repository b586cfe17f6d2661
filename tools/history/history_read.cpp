#include "tools/history/history_read.h"

#include "rc/rc_records.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include <sqlite3.h>
#include <unistd.h>

#include "tools/core/host_error.h"
#include "tools/history/sqlite_util.h"

namespace zrt::host {
namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

HistoryReader::HistoryReader(const std::string& path) : path_(path) {
    if (access(path.c_str(), R_OK) != 0)
        throw HostError(kExitHistory, "cannot read the history file " + path + ": " + std::strerror(errno));
    std::string error;
    db_ = open_read_only_db(path, error, immutable_);
    if (!db_) throw HostError(kExitHistory, "cannot read the history file " + path + ": " + error);
    if (!has_table("history"))
        throw HostError(kExitHistory, "the file " + path + " holds no history (no table \"history\")");
}

HistoryReader::~HistoryReader() { sqlite3_close(db_); }

sqlite3_stmt* HistoryReader::prepare(const char* sql) const {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
        throw HostError(kExitHistory, "history file " + path_ + ": " + sqlite3_errmsg(db_));
    return s;
}

bool HistoryReader::has_table(const char* name) const {
    sqlite3_stmt* s = prepare("SELECT 1 FROM sqlite_master WHERE name = ? AND type IN ('table', 'view')");
    sqlite3_bind_text(s, 1, name, -1, SQLITE_TRANSIENT);
    const bool found = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    return found;
}

int64_t parse_utc_time(const std::string& text, const std::string& what) {
    auto bad = [&]() {
        return HostError(kExitUsage, what + " " + text +
                                         ": expected a UTC time such as 2026-12-08, 2026-12-08T14:05 or "
                                         "2026-12-08T14:05:30.250Z (an offset such as +08:00 may follow)");
    };
    size_t pos = 0;
    auto number = [&](size_t digits) {
        if (pos + digits > text.size()) throw bad();
        int v = 0;
        for (size_t k = 0; k < digits; ++k) {
            const char c = text[pos + k];
            if (c < '0' || c > '9') throw bad();
            v = v * 10 + (c - '0');
        }
        pos += digits;
        return v;
    };
    auto expect = [&](char c) {
        if (pos >= text.size() || text[pos] != c) throw bad();
        ++pos;
    };
    std::tm tm{};
    tm.tm_year = number(4) - 1900;
    expect('-');
    tm.tm_mon = number(2) - 1;
    expect('-');
    tm.tm_mday = number(2);
    int ms = 0;
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
        ++pos;
        tm.tm_hour = number(2);
        expect(':');
        tm.tm_min = number(2);
        if (pos < text.size() && text[pos] == ':') {
            ++pos;
            tm.tm_sec = number(2);
            if (pos < text.size() && text[pos] == '.') {
                ++pos;
                const size_t start = pos;
                while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
                const std::string frac = text.substr(start, pos - start);
                if (frac.empty()) throw bad();
                ms = std::stoi((frac + "00").substr(0, 3));
            }
        }
    }
    int offset_min = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        const int h = number(2);
        expect(':');
        const int m = number(2);
        if (h > 23 || m > 59) throw bad();
        offset_min = sign * (h * 60 + m);
    }
    if (pos != text.size()) throw bad();
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        throw bad();
    const std::tm asked = tm;
    const std::time_t t = timegm(&tm);
    // timegm moves 31 April to 1 May; such a date is a typing error.
    if (tm.tm_mday != asked.tm_mday || tm.tm_mon != asked.tm_mon) throw bad();
    return (static_cast<int64_t>(t) - offset_min * 60) * 1000 + ms;
}

void check_devices(const std::vector<std::string>& devices) {
    for (const std::string& d : devices) {
        if (d == "rc") continue;
        if (d.empty() || d.size() > 10 || d.find_first_not_of("0123456789") != std::string::npos ||
            std::stoull(d) > 0xFFFFFFFFull)
            throw HostError(kExitUsage, "--device " + d + ": expected a data id or rc");
    }
}

std::vector<Series> list_series(const HistoryReader& r, const Selection& sel) {
    std::vector<Series> out;
    if (!r.has_table("series")) return out;
    sqlite3_stmt* q = r.prepare(
        "SELECT id, data_id, device_type, record_type, key, label, unit, kind FROM series"
        " ORDER BY record_type, data_id, device_type, id");
    while (sqlite3_step(q) == SQLITE_ROW) {
        Series s;
        s.id = sqlite3_column_int64(q, 0);
        s.data_id = static_cast<uint32_t>(sqlite3_column_int64(q, 1));
        auto text = [q](int col) {
            const unsigned char* p = sqlite3_column_text(q, col);
            return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
        };
        s.device_type = text(2);
        s.record_type = sqlite3_column_int(q, 3);
        s.key = text(4);
        s.label = text(5);
        s.unit = text(6);
        s.kind = text(7);
        bool device_ok = sel.devices.empty();
        for (const std::string& d : sel.devices)
            if ((d == "rc" && s.record_type == kRcRecordType) || (d != "rc" && std::stoull(d) == s.data_id)) device_ok = true;
        bool key_ok = sel.keys.empty();
        for (const std::string& k : sel.keys)
            if (k == s.key) key_ok = true;
        if (device_ok && key_ok) out.push_back(std::move(s));
    }
    sqlite3_finalize(q);
    return out;
}

Progress::Progress(std::string what) : what_(std::move(what)), tty_(isatty(STDERR_FILENO) != 0) {}

Progress::~Progress() { done(); }

void Progress::update(double fraction) {
    if (!tty_) return;
    const int64_t now = now_ms();
    if (shown_ && now - last_ < 200) return;
    last_ = now;
    shown_ = true;
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    std::fprintf(stderr, "\r%s: %3d%%", what_.c_str(), static_cast<int>(fraction * 100));
    std::fflush(stderr);
}

void Progress::done() {
    if (!tty_ || !shown_) return;
    std::fprintf(stderr, "\r%s: 100%%\n", what_.c_str());
    shown_ = false;
}

}  // namespace zrt::host
