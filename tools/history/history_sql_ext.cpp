// The history file's table functions (value_rows, cycle_rows, which the views value_v and
// cycle_v read) as an SQLite extension for the sqlite3 shell:
//   sqlite3 site.db -cmd '.load build/default/tools/libzrt_history_sql' 'SELECT * FROM value_v LIMIT 5'
#include <sqlite3.h>

#include "tools/history/history_chunks.h"

extern "C" __attribute__((visibility("default"))) int sqlite3_zrthistorysql_init(sqlite3* db, char**,
                                                                                 const sqlite3_api_routines*) {
    return zrt::host::register_history_sql_on(db);
}
