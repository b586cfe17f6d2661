#pragma once
// The history subcommands of zrt4600a-host: "export" and "report".
namespace zrt::host {

// Whether the first argument names a history subcommand.
bool is_history_command(const char* arg);

// Runs "zrt4600a-host export ..." or "zrt4600a-host report ..." (argv[1] is the
// subcommand); returns the exit code: 0 done, 2 bad options or an output that cannot be
// written, 6 a history file that cannot be read.
int history_command(int argc, char** argv);

}  // namespace zrt::host
