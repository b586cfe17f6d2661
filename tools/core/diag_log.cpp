#include "tools/core/diag_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace zrt::host {

std::string diag_line(int level, const std::string& text, bool journal) {
    static const char* const kPrefix[] = {"<3>", "<4>", "<6>", "<7>"};
    const char* prefix = kPrefix[level < 0 ? 0 : level > 3 ? 3 : level];
    std::string out;
    out.reserve(text.size() + 24);
    size_t pos = 0;
    do {
        const size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string::npos ? text.size() : nl;
        if (journal) out += prefix;
        out += "zrt4600a-host: ";
        out.append(text, pos, end - pos);
        out += '\n';
        pos = nl == std::string::npos ? std::string::npos : nl + 1;
    } while (pos != std::string::npos && pos < text.size());
    return out;
}

bool stderr_is_journal() {
    static const bool journal = [] {
        const char* js = std::getenv("JOURNAL_STREAM");
        if (!js || isatty(STDERR_FILENO)) return false;
        unsigned long long dev = 0, ino = 0;
        if (std::sscanf(js, "%llu:%llu", &dev, &ino) != 2) return false;
        struct stat st {};
        if (fstat(STDERR_FILENO, &st) != 0) return false;
        return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
    }();
    return journal;
}

void write_diag(int level, const std::string& text) {
    const std::string line = diag_line(level, text, stderr_is_journal());
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace zrt::host
