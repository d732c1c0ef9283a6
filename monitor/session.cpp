#include "session.h"

#include <cctype>
#include <cstring>

#include "../driver/serial_driver.h"
#include "../platform/console.h"
#include "control_monitor.h"
#include "output.h"

namespace {

constexpr int kEndKey = 0xFF;

// Polling interval of the end-of-session wait, in milliseconds.
constexpr unsigned kDrainPollMs = 10;

// Whether `text`, up to its first `stop` byte (or its end), equals
// `word` ignoring letter case.
bool EqualsIgnoringCase(const char* text, const char* word, char stop = '\0') {
    for (; *text != '\0' && *text != stop && *word != '\0'; ++text, ++word) {
        if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*word))) {
            return false;
        }
    }
    return (*text == '\0' || *text == stop) && *word == '\0';
}

// The path of a /LOG option (after its first colon; empty without one), or
// null when `option` is not /LOG.
const char* LogPath(const char* option) {
    if (!EqualsIgnoringCase(option, "/log", ':')) return nullptr;
    const char* colon = std::strchr(option, ':');
    return colon != nullptr ? colon + 1 : "";
}

// A line command's item, in the default mode on a stamped line of its own.
void ShowCommandItem(bool ownLine, const char* item) {
    if (ownLine) PutChangeItem(item);
    else PutText(item);
}

constexpr uint32_t kMinHexGapMs = 20;
constexpr uint32_t kMaxHexGapMs = 60000;

// "/HEX" or "/HEX:<ms>", the gap in decimal digits only, 1..60000.
void ReadHexOption(const char* option, SessionSettings* settings) {
    settings->hexView = true;
    settings->hexGapMs = 0;
    settings->badHexGap = nullptr;
    const char* colon = std::strchr(option, ':');
    if (colon == nullptr) return;
    uint32_t ms = 0;
    const char* p = colon + 1;
    for (; *p >= '0' && *p <= '9' && ms <= kMaxHexGapMs; ++p) ms = ms * 10 + uint32_t(*p - '0');
    if (p == colon + 1 || *p != '\0' || ms == 0 || ms > kMaxHexGapMs) settings->badHexGap = option;
    else settings->hexGapMs = ms;
}

const char* ParityWord(int32_t code) {
    switch (code) {
        case 0: return "no";
        case 1: return "odd";
        case 3: return "even";
        case 5: return "mark";
        case 7: return "space";
        default: return "wierd";
    }
}

// Received bytes raw, typed bytes sent, until 0xFF has been typed.
void RunPlainLoop() {
    int lastKey = 0;
    uint8_t run[4096];
    while (lastKey != kEndKey) {
        int count = RxRun(run, int(sizeof run));
        if (count > 0) ConsoleWriteRun(reinterpret_cast<const char*>(run), size_t(count));
        int key = ConsoleKeyWaiting() ? ConsoleReadKey() : -1;
        if (key >= 0) {  // a failed key read (-1) is no key: nothing is sent
            lastKey = key;
            TxChar(lastKey);
        }
    }
}

// Waits until the transmit headroom is back to its start-up value, so typed
// bytes have left before the lines drop. The wait is bounded by the time the
// queued bytes need at the port's rate (12 bit times a byte, the longest
// frame) plus a second, in case the headroom never comes back. The rate is
// the one the port has now, which the configuration dialog may have set; the
// command line's rate stands in when the port cannot tell.
void WaitForTransmitQueue(uint16_t startFree, uint32_t commandLineBaud) {
    uint16_t free = TxBufFree();
    if (free >= startFree) return;
    uint32_t baud = PortBaud();
    if (baud == 0) baud = commandLineBaud;
    uint64_t queued = uint64_t(startFree - free);
    uint64_t boundMs = 1000 + (baud != 0 ? queued * 12 * 1000 / baud : 0);
    uint64_t polls = boundMs / kDrainPollMs + 1;
    for (uint64_t i = 0; i < polls; ++i) {
        ConsoleSleep(kDrainPollMs);
        if (TxBufFree() >= startFree) return;
    }
}

}  // namespace

uint32_t ConvertNumber(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + uint32_t(*p - '0');
    return negative ? 0u - value : value;
}

bool ParseCommandLine(int argc, const char* const argv[], SessionSettings* settings) {
    if (argc < 6) return false;
    *settings = SessionSettings();
    settings->port = int32_t(ConvertNumber(argv[1]));
    settings->baud = ConvertNumber(argv[2]);
    settings->dataBits = int32_t(ConvertNumber(argv[3]));
    settings->stopCode = int32_t(ConvertNumber(argv[4]));
    settings->stopText = argv[4];
    settings->parityCode = int32_t(ConvertNumber(argv[5]));
    for (int i = 6; i < argc; ++i) {
        if (EqualsIgnoringCase(argv[i], "/nc")) settings->showLines = false;
        if (EqualsIgnoringCase(argv[i], "/cfg")) settings->useDialog = true;
        if (EqualsIgnoringCase(argv[i], "/ts")) settings->timeStamps = true;
        if (const char* path = LogPath(argv[i])) settings->logPath = path;
        if (EqualsIgnoringCase(argv[i], "/hex", ':')) ReadHexOption(argv[i], settings);
    }
    return true;
}

uint32_t HexGapMs(const SessionSettings& s) {
    if (s.hexGapMs != 0) return s.hexGapMs;
    if (s.baud == 0) return kMinHexGapMs;
    // A character: start bit, data bits, parity bit, stop bits (1.5 as 1.5).
    uint64_t halfBits = 2u * (1u + uint32_t(s.dataBits) + (s.parityCode != 0 ? 1u : 0u));
    halfBits += s.stopCode == 5 ? 3u : s.stopCode == 2 ? 4u : 2u;
    // 3.5 characters in ms, rounded up: 3.5 * halfBits / 2 * 1000 / baud.
    uint64_t ms = (7000u * halfBits + 4u * uint64_t(s.baud) - 1u) / (4u * uint64_t(s.baud));
    return ms < kMinHexGapMs ? kMinHexGapMs : uint32_t(ms);
}

void ShowUsage() {
    Print("DORVALIX v4.1%38s%s\n", "", "Serial line monitor");
    Print("Watches a COM port's data and control lines.\n"
          "\n"
          "DORVALIX port baud data stop parity [/NC] [/CFG]\n"
          "\n"
          "  port    Any valid COM port (1 - 9)\n"
          "  baud    Baud rate. Any value up to 115200.\n"
          "  data    Data bits. 5, 6, 7, or 8.\n"
          "  stop    Stop bits. 1, 2, or 5 (=1.5 stop bits with 5 data bits).\n"
          "  parity  Parity. 0 - None, 1 - Odd, 3 - Even, 5 - Mark, 7 - Space.\n"
          "  /NC     Optional: No control line display or change allowed.\n"
          "  /CFG    Optional: Configure using system dialog.\n"
          "\n"
          "DTR and RTS asserted by default for the duration of the session.\n"
          "Typing transmits characters.\n"
          "Typing ESC (1Bh) allows control of output lines:\n"
          "ESC 'B' transmits break; ESC 'b' releases break.\n"
          "ESC 'D' asserts DTR; ESC 'd' releases DTR.\n"
          "ESC 'R' asserts RTS; ESC 'r' releases RTS.\n"
          "ESC ESC transmits the ASCII ESCape character (1Bh).\n"
          "Type character 255 to terminate the session.\n");
}

// The stop text is argument 4 as typed, of any length: it is written whole,
// apart from the formatted parts, so that none of the line is cut.
void ShowSettings(const SessionSettings& s) {
    Print("Sampling from COM%u, %lu baud, %u data bits, ", unsigned(s.port), static_cast<unsigned long>(s.baud),
          unsigned(s.dataBits));
    PutText(s.stopCode == 5 ? "1.5" : s.stopText);
    Print(" stop bit%s, %s parity...\n", s.stopCode > 1 ? "s" : "", ParityWord(s.parityCode));
}

int RunDorvalix(int argc, const char* const argv[]) {
    SessionSettings settings;
    if (!ParseCommandLine(argc, argv, &settings)) {
        ShowUsage();
        return 1;
    }
    ConsoleStart();
    if (settings.hexView && !settings.showLines) {
        Print("/HEX cannot be combined with /NC.\n");
        return 1;
    }
    if (settings.badHexGap != nullptr) {
        PutText(settings.badHexGap);
        Print(": the gap must be 1 to 60000 ms.\n");
        return 1;
    }
    // The log is opened before anything is shown, so that it holds it all.
    char reason[256];
    if (settings.logPath != nullptr && !ConsoleStartLog(settings.logPath, reason, sizeof reason)) {
        PutText("Unable to open log file ");
        PutText(settings.logPath);
        PutText(": ");
        PutText(reason);
        PutText("\n");
        return 1;
    }
    Print("%s\n", DriverBanner);
    ShowSettings(settings);
    if (!settings.showLines) Print("(Ignoring control lines)\n");

    if (!OpenCOM(settings.port, settings.baud, settings.dataBits, settings.stopCode, settings.parityCode)) {
        Print("Unable to open COM port.\n");
        return 1;
    }
    if (settings.timeStamps) ConsoleStartTimeStamps();
    if (settings.useDialog && !ConfigDialog()) Print("WARNING: Configuration dialog not available.\n");

    uint16_t startFree = TxBufFree();
    Print("Tx buffer size: %u bytes\n", unsigned(startFree));
    if (settings.showLines) ShowInitialTables();
    if (DTROn()) ShowCommandItem(settings.showLines, "(DTR on) ");
    if (RTSOn()) ShowCommandItem(settings.showLines, "(RTS on) ");

    if (settings.showLines) {
        RunControlLineMonitor(settings.hexView ? HexGapMs(settings) : 0);
    } else {
        RunPlainLoop();
    }

    WaitForTransmitQueue(startFree, settings.baud);
    if (DTROff()) ShowCommandItem(settings.showLines, "(DTR off) ");
    if (RTSOff()) ShowCommandItem(settings.showLines, "(RTS off)\n");
    if (!ReleaseCOM()) Print("Unable to Release COM port.\n");
    return 0;
}
