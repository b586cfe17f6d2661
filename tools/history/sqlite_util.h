#pragma once
// Small pieces every reader and writer of the history file shares: statements that finalize
// themselves, text columns, and opening the file read-only.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

namespace zrt::host {

struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// Prepares a statement of the history file; throws HostError (kExitHistory) with SQLite's
// reason.
Stmt prepare(sqlite3* db, const char* sql);

// A text column; empty for NULL.
inline std::string text_col(sqlite3_stmt* q, int col) {
    const unsigned char* p = sqlite3_column_text(q, col);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
}

// A blob column's bytes; empty for NULL.
inline std::vector<uint8_t> blob_col(sqlite3_stmt* q, int col) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q, col));
    return p ? std::vector<uint8_t>(p, p + sqlite3_column_bytes(q, col)) : std::vector<uint8_t>();
}

// Opens a history file for reading only, never changing it: `mode=ro` first (it reads the
// write-ahead log too, but needs its index file), and where that cannot work, as on a
// read-only copy whose folder cannot hold that file, `immutable=1`. Returns the database, or
// null with `error` set. `immutable` tells which way it opened.
sqlite3* open_read_only_db(const std::string& path, std::string& error, bool& immutable);

}  // namespace zrt::host
