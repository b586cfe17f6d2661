#pragma once
// Diagnostic lines on standard output. Every child writes its trace lines through here: a
// line is built in a fixed buffer (no heap, so a parse hook may trace), written whole and
// flushed, so that it shows at once even when standard output is a pipe.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zrt {

// Writes `line` (its line break included) to standard output through std::cout and flushes.
void trace(std::string_view line);

// One trace line, built piece by piece and written by end(). A line longer than kMax is cut.
class TraceLine {
public:
    static constexpr size_t kMax = 160;
    // The longest float general() writes ("-1.17549e-38", "-0.000123457").
    static constexpr size_t kMaxFloat = 12;

    TraceLine& text(std::string_view s);
    TraceLine& dec(int64_t v);  // decimal
    TraceLine& hex(unsigned v);  // lower-case hexadecimal, as printf's %x
    // As printf's "%g" (six significant digits) and a stream's default float format write it
    // in the "C" locale: no locale, no heap, and no library that formats floats itself.
    TraceLine& general(float v);
    // Appends the line break and returns the whole line, without writing it.
    std::string_view finish();
    // Appends the line break and writes the line.
    void end();

private:
    char buf_[kMax + 1];  // room for the line break
    size_t n_ = 0;
};

}  // namespace zrt
