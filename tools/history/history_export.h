#pragma once
// zrt4600a-host export: values or alarm transitions of a history file as CSV or JSON Lines.
#include <cstdint>
#include <string>

#include "tools/history/history_read.h"

namespace zrt::host {

struct ExportOptions {
    std::string history;  // the history file, opened read-only
    Selection selection;
    std::string format = "csv";  // csv or jsonl
    bool alarms = false;         // the alarm transitions instead of the values
    std::string out;             // empty: standard output
};

// Writes the export; returns the number of rows written. Throws HostError: kExitUsage for
// bad options or an output file that cannot be written, kExitHistory for a history file
// that cannot be read.
uint64_t run_export(const ExportOptions& o);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& s);

}  // namespace zrt::host
