// Fuzz target: the command line, its echo and the whole session frame, run
// over the scripted serial provider and console. The input is split at NUL
// bytes into arguments, the first being the program name; the last one is
// also received and typed. Whatever they hold, the program must end with
// status 0 or 1, print the usage text for fewer than five arguments, refuse
// a /HEX it cannot show in one line, and otherwise echo the stop argument as
// typed (or "1.5" for the code 5).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../driver/serial_driver.h"
#include "../monitor/session.h"
#include "../tests/unit/fake_console.h"
#include "../tests/unit/fake_serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() <= 12; ++i) {
        if (data[i] == 0) args.emplace_back();
        else args.back() += char(data[i]);
    }
    // File transfers (ESC : xmodem ...) wait on the clock and reach files:
    // tested against a real peer elsewhere, left out here.
    std::string lower;
    for (char c : args.back()) lower += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (lower.find("modem") != std::string::npos) return 0;
    ResetAll();
    fakeConsole.dryLimit = 64;  // the session types 0xFF itself after a few passes
    fakeSerial.rx = args.back();      // received bytes
    fakeConsole.keys = args.back();   // and the same typed: ESC commands, 0xFF
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    int status = RunDorvalix(int(argv.size()), argv.data());
    const std::string& out = fakeConsole.output;
    if (status != 0 && status != 1) std::abort();
    if (args.size() < 6) {
        if (status != 1 || out.compare(0, 13, "DORVALIX v4.1") != 0) std::abort();
        return 0;
    }
    std::string stop;  // as it reaches the output, each "\n" as "\r\n"
    for (char c : ConvertNumber(args[4].c_str()) == 5 ? std::string("1.5") : args[4]) {
        if (c == '\n') stop += '\r';
        stop += c;
    }
    // A /HEX that cannot be (beside /NC, or with a bad gap, which is echoed
    // as typed) is refused before anything else is printed.
    const std::string badGap = ": the gap must be 1 to 60000 ms.\r\n";
    if (status == 1 && (out == "/HEX cannot be combined with /NC.\r\n" ||
                        (out.size() > badGap.size() && out.compare(out.size() - badGap.size(), badGap.size(), badGap) == 0 &&
                         out.rfind("/", 0) == 0 && out.find(DriverBanner) == std::string::npos))) {
        return 0;
    }
    size_t at = out.find(" data bits, ");
    if (at == std::string::npos) std::abort();
    // Print cuts a message at 1023 bytes: compare what fits.
    std::string echoed = out.substr(at + 12, stop.size());
    if (echoed != stop.substr(0, echoed.size())) std::abort();
    if (status == 1 && out.find("Unable to open COM port.\r\n") == std::string::npos) std::abort();
    return 0;
}
