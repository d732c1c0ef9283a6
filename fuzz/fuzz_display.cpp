// Fuzz target: the line and status display for every byte value and for
// the fuzzer's bytes. Checked: each table is its heading and one row of
// eight tab-separated fields ending in a line break; the change list has one
// item per change bit; nothing else is printed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../monitor/display.h"
#include "../tests/unit/fake_console.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

size_t Count(const std::string& s, char c) {
    size_t n = 0;
    for (char x : s) n += x == c;
    return n;
}

void ShowAll(uint8_t b) {
    fakeConsole.output.clear();
    ShowLineTable(b);
    const std::string& lines = fakeConsole.output;
    static const std::string kLineHead = "Initial control lines (caps=on, lower case=off):\r\n";
    Check(lines.compare(0, kLineHead.size(), kLineHead) == 0);
    Check(Count(lines, '\t') == 7 && Count(lines, '\n') == 2 && lines.substr(lines.size() - 2) == "\r\n");
    Check(Count(lines, kChangeMark) == size_t(__builtin_popcount(b & 0x0F)));

    fakeConsole.output.clear();
    ShowLineChanges(b);
    const std::string& changes = fakeConsole.output;
    Check(Count(changes, '(') == size_t(__builtin_popcount(b & 0x0F)) && Count(changes, '\n') == 0);
    Check(Count(changes, ')') == Count(changes, '(') && (changes.empty() || changes.back() == ' '));

    fakeConsole.output.clear();
    ShowStatusTable(b);
    const std::string& status = fakeConsole.output;
    static const std::string kStatusHead = "Initial Rx status (caps=on, lower case=off):\r\n";
    Check(status.compare(0, kStatusHead.size(), kStatusHead) == 0);
    Check(Count(status, '\t') == 7 && Count(status, '\n') == 2);
    size_t upper = 0;
    for (size_t i = kStatusHead.size(); i < status.size(); ++i) upper += status[i] >= 'A' && status[i] <= 'Z';
    static const unsigned kLength[8] = {7, 6, 4, 5, 5, 6, 7, 7};  // TIMEOUT .. BUFFULL
    size_t expected = 0;
    for (int i = 0; i < 8; ++i) expected += (b & (0x80 >> i)) ? kLength[i] : 0;
    Check(upper == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool allDone = false;
    if (!allDone) {
        for (int b = 0; b < 256; ++b) ShowAll(uint8_t(b));
        allDone = true;
    }
    for (size_t i = 0; i < size; ++i) ShowAll(data[i]);
    return 0;
}
