#pragma once
// One diagnostic line of the host on standard error. Under systemd standard error is a
// stream into the journal (JOURNAL_STREAM names its device and inode); each line then starts
// with its sd-daemon priority prefix ("<3>" error, "<4>" warning, "<6>" info, "<7>" debug),
// so the journal files it under that priority. Elsewhere lines are written plain.
#include <string>

namespace zrt::host {

// Levels as --log-level counts them: 0 error, 1 warn, 2 info, 3 debug.
// "zrt4600a-host: <text>\n", each line of `text` with the prefix when `journal` holds.
std::string diag_line(int level, const std::string& text, bool journal);

// Standard error is the journal stream that JOURNAL_STREAM names (checked once).
bool stderr_is_journal();

// Writes diag_line(level, text, stderr_is_journal()) to standard error in one write.
void write_diag(int level, const std::string& text);

}  // namespace zrt::host
