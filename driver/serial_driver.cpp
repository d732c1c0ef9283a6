// The serial driver over the Win32 communications functions.
#include "serial_driver.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

// Whether the read time-outs of RxRun are set on the open port: 0 not yet
// tried, 1 set, -1 refused (runs of one byte).
static int g_runTimeouts = 0;

const char DriverBanner[] = "ZEFT Serial Driver v2.1 (DORVALIX edition, one port, polled I/O)";

HANDLE PortHandle = INVALID_HANDLE_VALUE;
uint8_t PortNumber = 0;
uint8_t LineState = 0;
int32_t StatusCode = 0;
char StatusText[kStatusTextSize] = "";

namespace {

// Records an outcome. The text is cut to fit the buffer, never overflowing it.
void SetStatus(int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(StatusText, sizeof StatusText, format, args);
    va_end(args);
    StatusCode = code;
}

// Appends `text` to StatusText, cutting it where the buffer ends.
void AppendStatus(const char* text) {
    size_t used = std::strlen(StatusText);
    size_t length = std::strlen(text);
    if (length > sizeof StatusText - 1 - used) length = sizeof StatusText - 1 - used;
    std::memcpy(StatusText + used, text, length);
    StatusText[used + length] = '\0';
}

// The failure text Fail formed last, to know it again: the operation, the
// error, and the text itself.
const char* g_failedWhat = nullptr;
int32_t g_failedError = 0;
size_t g_failedLength = 0;
char g_failedText[96];

// Forms "<what> failed with error <error>." in StatusText, by hand rather
// than through printf, and remembers it for Fail. Kept out of Fail so that
// Fail's common case stays a few instructions.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void FormFailText(const char* what, int32_t error) {
    char number[12];
    char* digits = number + sizeof number;
    *--digits = '\0';
    uint32_t magnitude = error < 0 ? 0u - uint32_t(error) : uint32_t(error);
    do {
        *--digits = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (error < 0) *--digits = '-';
    StatusText[0] = '\0';
    AppendStatus(what);
    AppendStatus(" failed with error ");
    AppendStatus(digits);
    AppendStatus(".");
    size_t length = std::strlen(StatusText);
    g_failedWhat = what;
    g_failedError = error;
    g_failedLength = length < sizeof g_failedText ? length : 0;
    if (g_failedLength != 0) std::memcpy(g_failedText, StatusText, length + 1);
}

// Records a failure of the named operation with the last platform error.
// The text is not formed again while the record already holds that very
// text: on a port without modem lines a failing modem query is recorded four
// times per pass of the monitor loop, each with the same text, and forming
// it was most of that loop's cost.
int Fail(int32_t code, const char* what) {
    int32_t error = int32_t(GetLastError());
    StatusCode = code;
    if (what != g_failedWhat || error != g_failedError || g_failedLength == 0 ||
        std::memcmp(StatusText, g_failedText, g_failedLength + 1) != 0) {
        FormFailText(what, error);
    }
    return 0;
}

// One EscapeCommFunction; on failure the operation's code and text.
int LineCommand(DWORD function, int32_t failCode, const char* name) {
    if (!EscapeCommFunction(PortHandle, function)) return Fail(failCode, name);
    StatusCode = 0;
    return 1;
}

// One modem-status query picking one bit; a failure reads as off.
int ModemLine(DWORD bit, int32_t failCode) {
    DWORD bits = 0;
    if (!GetCommModemStatus(PortHandle, &bits)) return Fail(failCode, "GetCommModemStatus");
    StatusCode = 0;
    return (bits & bit) != 0 ? 1 : 0;
}

BYTE ParityFromCode(uint8_t code) {
    switch (code) {
        case 1: return ODDPARITY;
        case 3: return EVENPARITY;
        case 5: return MARKPARITY;
        case 7: return SPACEPARITY;
        default: return NOPARITY;
    }
}

BYTE StopBitsFromCode(uint8_t code) {
    switch (code) {
        case 5: return ONE5STOPBITS;
        case 2: return TWOSTOPBITS;
        default: return ONESTOPBIT;
    }
}


// Reads and clears the port's error conditions and lists them in StatusText.
void CommErrors() {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    if (!ClearCommError(PortHandle, &errors, &stat)) {
        SysErrorText();
        return;
    }
    struct Condition {
        bool present;
        const char* text;
    };
    const Condition conditions[] = {
        {(errors & CE_BREAK) != 0, "Break detected. "},
        {(errors & CE_DNS) != 0, "A parallel device is not selected. "},
        {(errors & CE_FRAME) != 0, "Framing error. "},
        {(errors & CE_IOE) != 0, "I/O error. "},
        {(errors & CE_MODE) != 0, "Invalid mode/handle. "},
        {(errors & CE_OOP) != 0, "Out of paper. "},
        {(errors & CE_OVERRUN) != 0, "Overrun - characters lost. "},
        {(errors & CE_PTO) != 0, "Parallel time-out. "},
        {(errors & CE_RXOVER) != 0, "Input buffer overflow - characters lost. "},
        {(errors & CE_RXPARITY) != 0, "Receive parity fault. "},
        {(errors & CE_TXFULL) != 0, "Transmit buffer full - unable to transmit character. "},
        {stat.fCtsHold != 0, "Tx waiting for CTS. "},
        {stat.fDsrHold != 0, "Tx waiting for DSR. "},
        {stat.fRlsdHold != 0, "Tx waiting for RLSD. "},
        {stat.fXoffHold != 0, "Tx suspended by XOFF."},
        {stat.fXoffSent != 0, "XOFF has been sent and Tx suspended. "},
        {stat.fEof != 0, "EOF has been received. "},
        {stat.fTxim != 0, "Tx has been overruled. "},
    };
    StatusText[0] = '\0';
    for (const Condition& c : conditions) {
        if (c.present) AppendStatus(c.text);
    }
}

}  // namespace

int SysErrorText() {
    DWORD error = GetLastError();
    char* message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length != 0 && message != nullptr) {
        std::snprintf(StatusText, sizeof StatusText, "%s", message);
    } else {
        // No system text for this number: name the number instead.
        std::snprintf(StatusText, sizeof StatusText, "System error %d.\r\n", int(error));
    }
    if (message != nullptr) LocalFree(message);
    StatusCode = 1;
    return 0;
}

int OpenCOM(int port, uint32_t baud, int dataBits, int stopCode, int parityCode) {
    PortNumber = uint8_t(port);
    char device[16];
    std::snprintf(device, sizeof device, "\\\\.\\COM%u", unsigned(PortNumber));
    PortHandle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (PortHandle == INVALID_HANDLE_VALUE) {
        SetStatus(2, "Error opening %s", device);
        return 0;
    }

    DCB dcb;
    if (!GetCommState(PortHandle, &dcb)) return Fail(3, "GetCommState");
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = BYTE(dataBits);
    dcb.Parity = ParityFromCode(uint8_t(parityCode));
    dcb.StopBits = StopBitsFromCode(uint8_t(stopCode));
    if (!SetCommState(PortHandle, &dcb)) return Fail(4, "SetCommState");

    // A one-byte read returns as soon as a byte is there and gives up after
    // 250 ms; a one-byte write gives up after 250 ms.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    GetCommTimeouts(PortHandle, &timeouts);
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 100;
    timeouts.ReadTotalTimeoutConstant = 150;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 150;
    SetCommTimeouts(PortHandle, &timeouts);

    g_runTimeouts = 0;
    FlushRxBuf();
    SetStatus(0, "Serial port COM%u: successfully reconfigured.", unsigned(PortNumber));
    return 1;
}

int ReleaseCOM() {
    if (PortHandle == INVALID_HANDLE_VALUE) return 1;
    if (!CloseHandle(PortHandle)) return Fail(5, "ReleaseCOM");
    SetStatus(0, "Serial port COM%u: successfully closed.", unsigned(PortNumber));
    PortHandle = INVALID_HANDLE_VALUE;
    return 1;
}

int FlushRxBuf() {
    if (PortHandle == INVALID_HANDLE_VALUE) return 1;
    if (!PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR)) return Fail(7, "FlushRxBuf");
    SetStatus(0, "Serial port COM%u: Rx flushed OK.", unsigned(PortNumber));
    return 1;
}

int BreakOn() { return LineCommand(SETBREAK, 10, "BreakOn"); }
int BreakOff() { return LineCommand(CLRBREAK, 11, "BreakOff"); }
int DTROn() { return LineCommand(SETDTR, 12, "DTROn"); }
int DTROff() { return LineCommand(CLRDTR, 13, "DTROff"); }
int RTSOn() { return LineCommand(SETRTS, 14, "RTSOn"); }
int RTSOff() { return LineCommand(CLRRTS, 15, "RTSOff"); }

int ConfigDialog() {
    char device[8];
    std::snprintf(device, sizeof device, "COM%u:", unsigned(PortNumber));
    // The structure is handed over as it is: GetCommConfig fills it.
    COMMCONFIG config;
    DWORD size = sizeof config;
    const char* failed = nullptr;
    if (!GetCommConfig(PortHandle, &config, &size) || size < sizeof config) {
        failed = "GetCommConfig";
    } else if (!CommConfigDialogA(device, nullptr, &config)) {
        failed = "CommConfigDialog";
    } else if (!SetCommConfig(PortHandle, &config, sizeof config)) {
        failed = "SetCommConfig";
    }
    if (failed != nullptr) return Fail(20, failed);
    StatusCode = 0;
    return 1;
}

uint32_t PortBaud() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(PortHandle, &dcb)) return 0;
    return dcb.BaudRate;
}

int PortLoopsBack() {
    COMMPROP prop;
    std::memset(&prop, 0, sizeof prop);
    if (!GetCommProperties(PortHandle, &prop)) return 0;
    return prop.dwProvSpec1 == kProvSpecLoopsBack1 && prop.dwProvSpec2 == kProvSpecLoopsBack2 ? 1 : 0;
}

int RxChar() {
    BYTE byte = 0;
    DWORD count = 0;
    if (ReadFile(PortHandle, &byte, 1, &count, nullptr) && count != 0) return byte;
    return -1;
}

// The time-outs of a run: a read returns at once with what has arrived,
// and with nothing there waits up to 250 ms for a first byte and returns
// with it (MAXDWORD, MAXDWORD and a constant, as Windows defines them). A
// one-byte read, RxChar's, waits exactly as under OpenCOM's time-outs
// (100 ms a byte and 150 ms); the write time-outs are OpenCOM's.
int RxRun(uint8_t* bytes, int max) {
    if (max <= 0) return 0;
    if (g_runTimeouts == 0) {
        COMMTIMEOUTS timeouts;
        std::memset(&timeouts, 0, sizeof timeouts);
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 250;
        timeouts.WriteTotalTimeoutMultiplier = 100;
        timeouts.WriteTotalTimeoutConstant = 150;
        g_runTimeouts = SetCommTimeouts(PortHandle, &timeouts) ? 1 : -1;
    }
    DWORD count = 0;
    DWORD want = g_runTimeouts > 0 ? DWORD(max) : 1;
    if (ReadFile(PortHandle, bytes, want, &count, nullptr) && count != 0) return int(count);
    return 0;
}

uint16_t TxChar(int byte) {
    BYTE out = BYTE(byte);
    DWORD count = 0;
    if (WriteFile(PortHandle, &out, 1, &count, nullptr) && count != 0) return 0;
    SysErrorText();
    CommErrors();
    return 0xFFFF;
}

uint16_t TxBufFree() {
    COMMPROP prop;
    std::memset(&prop, 0, sizeof prop);
    if (!GetCommProperties(PortHandle, &prop)) {
        Fail(9, "GetCommProperties");
        return 0;
    }
    uint32_t headroom = prop.dwMaxTxQueue - prop.dwCurrentTxQueue;
    StatusCode = 0;
    return headroom > 0xFFFF ? uint16_t(0xFFFF) : uint16_t(headroom);
}

int CTSState() { return ModemLine(MS_CTS_ON, 16); }
int DSRState() { return ModemLine(MS_DSR_ON, 17); }
int RIState() { return ModemLine(MS_RING_ON, 18); }
int DCDState() { return ModemLine(MS_RLSD_ON, 19); }

uint8_t ControlLines() {
    int dcd = DCDState();
    int ri = RIState();
    int dsr = DSRState();
    int cts = CTSState();
    uint8_t now = uint8_t(dcd * LINE_DCD + ri * LINE_RI + dsr * LINE_DSR + cts * LINE_CTS);
    uint8_t result = uint8_t(now | ((LineState ^ now) >> 4));
    LineState = now;
    return result;
}

// The receive errors the port reports since the last look, in the status
// byte's bits. ClearCommError clears them, so each is reported once; a
// failing call reports none and records nothing.
// The CE_ bits have the status byte's layout: they are taken as they are.
static_assert(CE_BREAK == RX_BREAK && CE_FRAME == RX_FRAME && CE_RXPARITY == RX_PARITY &&
                  CE_OVERRUN == RX_OVERRUN && CE_RXOVER == RX_BUFFULL,
              "receive error bits");
uint8_t ReceiveErrors() {
    DWORD errors = 0;
    // No COMSTAT: the queue figures would cost a provider more than the errors.
    if (!ClearCommError(PortHandle, &errors, nullptr)) return 0;
    return uint8_t(errors & RX_ERRORS);
}

uint8_t RxStatus() {
    const uint8_t errors = ReceiveErrors();
    uint8_t saved = LineState;
    if (ControlLines() & LINE_CHANGES) {
        LineState = saved;  // keep the change pending for the next ControlLines
        return uint8_t(RX_CTRL | errors);
    }
    return errors;
}

int TxBytes(const uint8_t* bytes, int count) {
    if (count <= 0) return 0;
    DWORD done = 0;
    if (WriteFile(PortHandle, bytes, DWORD(count), &done, nullptr)) return int(done);
    SysErrorText();
    CommErrors();
    return -1;
}
