// Fuzz target: a wording text read from memory, then every line and part looked up.
#include <string.h>
#include <string>
#include <vector>
#include "codepage.h"
#include "fuzzcommon.h"
#include "memstream.h"
#include "uitext.h"

namespace {

// The lines as the format defines them: CR dropped, LF or NUL or the end ends a line, 255
// bytes kept, an empty line stands for "-|-|-|". Each is then read as UTF-8 after a UTF-8 mark
// that opens the first line, else in the system's code page (the code page layer's own tests
// hold its tables), and a line that decodes to nothing stands for "-|-|-|" too.
std::vector<std::string> Lines(const uint8_t* data, size_t size)
{
    std::vector<std::string> lines;
    size_t at = 0;
    int utf8 = 0;
    for (int i = 0; i < kUiLines; i++) {
        std::string line;
        while (at < size) {
            uint8_t c = data[at++];
            if (c == '\r') continue;
            if (c == '\n' || c == 0) break;
            if (line.size() < kUiLineSize - 1) line += (char)c;
        }
        if (i == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            utf8 = 1;
            line.erase(0, 3);
        }
        std::vector<char> decoded(3 * kUiLineSize);
        if (utf8)
            CopyUtf8(line.c_str(), decoded.data(), decoded.size());
        else
            PackageTextToUtf8(0, line.c_str(), decoded.data(), decoded.size());
        line = decoded.data();
        lines.push_back(line.empty() ? "-|-|-|" : line);
    }
    return lines;
}

std::vector<std::string> Parts(const std::string& line)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t bar = line.find('|', start);
        parts.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return parts;
        start = bar + 1;
    }
}

// Any text the table hands out lies in its store and ends there, or is a constant empty text.
void CheckInside(const UiTextTable& t, const char* p)
{
    FUZZ_CHECK(p != nullptr);
    const char* end = t.store.get() + kUiLines * kUiLineSize;
    if (p >= t.store.get() && p < end) {
        FUZZ_CHECK(memchr(p, 0, (size_t)(end - p)) != nullptr);
    } else {
        FUZZ_CHECK(p[0] == 0);
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> copy(data, data + size);
    UiTextTable table(FuzzPath("no-such-wording.uui").c_str());
    MemoryStream stream(copy.data(), (uint32_t)copy.size(), (uint32_t)copy.size());
    table.ReadUiLines(&stream);
    FUZZ_CHECK(table.store != nullptr);

    std::vector<std::string> lines = Lines(data, size);
    for (int n = 0; n < kUiLines; n++) {
        if (n == 1 || n == 2) {
            std::vector<std::string> parts = Parts(lines[n]);
            for (size_t k = 0; k < parts.size(); k++) FUZZ_CHECK(parts[k] == table.LinePart(n, (int)k));
            FUZZ_CHECK(parts[0] == table.LineText(n));
        } else {
            FUZZ_CHECK(lines[n] == table.LineText(n));
            FUZZ_CHECK(lines[n] == table.LinePart(n, 0));
        }
    }
    for (int n = -2; n < kUiLines + 2; n++) {
        CheckInside(table, table.LineText(n));
        for (int k = -1; k < 40; k++) CheckInside(table, table.LinePart(n, k));
        // Far past the last part: the store holds at most 5,632 parts.
        for (int k : {255, 5631, 5632, 6000, 0x7FFFFFFF}) CheckInside(table, table.LinePart(n, k));
    }
    return 0;
}
