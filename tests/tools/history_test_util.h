#pragma once
// What the history tests share: reading a history file back with plain SQL, and a file whole.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace zrt::host::testing {

// Rows of a query, each row's columns as text ("NULL" for NULL), joined by "|".
inline std::vector<std::string> query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::vector<std::string> out;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            if (c) row += "|";
            const unsigned char* t = sqlite3_column_text(st, c);
            row += t ? reinterpret_cast<const char*>(t) : "NULL";
        }
        out.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace zrt::host::testing
