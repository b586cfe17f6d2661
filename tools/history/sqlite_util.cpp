#include "tools/history/sqlite_util.h"

#include <cstring>

#include "tools/core/host_error.h"
#include "tools/history/history_chunks.h"

namespace zrt::host {
namespace {

// The path as the file part of an SQLite URI: characters a URI gives a meaning are escaped.
std::string uri_path(const std::string& path) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
            c == '_' || c == '-' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace

Stmt prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw HostError(kExitHistory, std::string("history: ") + sqlite3_errmsg(db));
    return Stmt(s);
}

sqlite3* open_read_only_db(const std::string& path, std::string& error, bool& immutable) {
    register_history_sql();  // the table functions the views read
    for (const char* mode : {"mode=ro", "immutable=1"}) {
        const std::string uri = "file:" + uri_path(path) + "?" + mode;
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(db, 5000);
            // Opening is lazy: the first read shows whether the file can be read this way.
            rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        }
        if (rc == SQLITE_OK) {
            immutable = std::strcmp(mode, "immutable=1") == 0;
            return db;
        }
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        // A file that is no database will not read any better the second way.
        if (rc == SQLITE_NOTADB) break;
    }
    return nullptr;
}

}  // namespace zrt::host
