// The console on Windows, on the console input API and the standard handles.
//
// Keys: key test and key read behave as the CRT's _kbhit/_getch, but are
// built on PeekConsoleInputA/ReadConsoleInputA. Some consoles (wine's among
// them) only start delivering keys once a program has looked at the console
// input, so polling with _kbhit alone would never see a key there. When
// standard input is a pipe or a file, its bytes are the keys: a pipe is
// polled with PeekNamedPipe, a disk file is read ahead (that never blocks),
// and anything that can be neither (a character device, or a pipe that
// cannot be peeked, as a host pipe under wine) is read by a small reader
// thread, so the key test still never blocks.
//
// Output: every byte goes to the standard output handle with WriteFile, "\n"
// as "\r\n" and everything else as it is, so no code-page or stdio
// translation touches what the monitor writes. Only the line table's change
// mark takes the wide-character call on a console (ConsoleWriteChangeMark).
// With a log (capture.h) the same bytes go to the log file first, before
// each write to the screen; the change mark goes there as the byte 0xEB.
#include <cstring>

#include "../capture.h"
#include "../console.h"
#include "../win32_serial.h"
#include "key_events.h"

static_assert(keyevents::kVkMenu == WORD(VK_MENU) && keyevents::kVkPrior == WORD(VK_PRIOR) &&
                  keyevents::kVkNext == WORD(VK_NEXT) && keyevents::kVkEnd == WORD(VK_END) &&
                  keyevents::kVkHome == WORD(VK_HOME) && keyevents::kVkLeft == WORD(VK_LEFT) &&
                  keyevents::kVkUp == WORD(VK_UP) && keyevents::kVkRight == WORD(VK_RIGHT) &&
                  keyevents::kVkDown == WORD(VK_DOWN) && keyevents::kVkInsert == WORD(VK_INSERT) &&
                  keyevents::kVkDelete == WORD(VK_DELETE) && keyevents::kVkF1 == WORD(VK_F1) &&
                  keyevents::kVkF10 == WORD(VK_F10) && keyevents::kVkF11 == WORD(VK_F11) &&
                  keyevents::kVkF12 == WORD(VK_F12),
              "virtual key numbers");
static_assert(keyevents::kRightAlt == DWORD(RIGHT_ALT_PRESSED) && keyevents::kLeftAlt == DWORD(LEFT_ALT_PRESSED) &&
                  keyevents::kRightCtrl == DWORD(RIGHT_CTRL_PRESSED) && keyevents::kLeftCtrl == DWORD(LEFT_CTRL_PRESSED) &&
                  keyevents::kShift == DWORD(SHIFT_PRESSED) && keyevents::kEnhanced == DWORD(ENHANCED_KEY),
              "control key state bits");

namespace {

enum class InputKind { kUnknown, kConsole, kPipe, kFile, kReader, kEnd };

InputKind inputKind = InputKind::kUnknown;
HANDLE input = INVALID_HANDLE_VALUE;

// Bytes of a key already taken from the input but not yet read, and how
// many more presses of that same key follow (a key held down arrives as one
// event with a repeat count, and every repeat is handed out).
uint8_t pending[keyevents::kMaxBytes];
size_t pendingCount = 0;
size_t pendingNext = 0;
unsigned pendingRepeats = 0;

// How many events one key test drops at most before it gives up for now, so
// a flood of mouse or focus events cannot hold the caller.
constexpr int kMaxDroppedPerTest = 64;

// The reader thread's queue: bytes read from the input and not yet taken,
// and whether the input has ended. The thread waits while the queue is full.
struct ReaderQueue {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    uint8_t bytes[256];
    size_t first = 0;
    size_t count = 0;
    bool ended = false;
};
ReaderQueue queue;

DWORD WINAPI ReaderMain(LPVOID) {
    for (;;) {
        uint8_t byte = 0;
        DWORD got = 0;
        const bool ok = ReadFile(input, &byte, 1, &got, nullptr) && got == 1;
        AcquireSRWLockExclusive(&queue.lock);
        while (ok && queue.count == sizeof queue.bytes) {
            SleepConditionVariableSRW(&queue.changed, &queue.lock, INFINITE, 0);
        }
        if (ok) {
            queue.bytes[(queue.first + queue.count) % sizeof queue.bytes] = byte;
            ++queue.count;
        } else {
            queue.ended = true;
        }
        WakeAllConditionVariable(&queue.changed);
        ReleaseSRWLockExclusive(&queue.lock);
        if (!ok) return 0;
    }
}

bool StartReader() {
    HANDLE thread = CreateThread(nullptr, 0, ReaderMain, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}

// The next byte from the reader thread; with `wait`, waits for one. -1 when
// there is none (yet, or any more).
int ReaderByte(bool wait) {
    AcquireSRWLockExclusive(&queue.lock);
    while (wait && queue.count == 0 && !queue.ended) {
        SleepConditionVariableSRW(&queue.changed, &queue.lock, INFINITE, 0);
    }
    int byte = -1;
    if (queue.count != 0) {
        byte = queue.bytes[queue.first];
        queue.first = (queue.first + 1) % sizeof queue.bytes;
        --queue.count;
        WakeAllConditionVariable(&queue.changed);
    }
    ReleaseSRWLockExclusive(&queue.lock);
    return byte;
}

InputKind Input() {
    if (inputKind != InputKind::kUnknown) return inputKind;
    input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        inputKind = InputKind::kEnd;
    } else if (GetConsoleMode(input, &mode)) {
        inputKind = InputKind::kConsole;
    } else {
        switch (GetFileType(input)) {
            case FILE_TYPE_PIPE: inputKind = InputKind::kPipe; break;
            case FILE_TYPE_DISK: inputKind = InputKind::kFile; break;
            default: inputKind = StartReader() ? InputKind::kReader : InputKind::kEnd; break;
        }
    }
    return inputKind;
}

keyevents::KeyEvent FromRecord(const INPUT_RECORD& record) {
    const KEY_EVENT_RECORD& k = record.Event.KeyEvent;
    return keyevents::KeyEvent{k.bKeyDown != FALSE, k.wRepeatCount, k.wVirtualKeyCode, k.uChar.AsciiChar,
                               k.dwControlKeyState};
}

enum class Taken { kKey, kNoKey, kFailed };

// Takes one console event off the input (blocking until there is one) and
// makes its key bytes pending, if it has any.
Taken TakeConsoleEvent() {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count)) return Taken::kFailed;
    if (count == 0 || record.EventType != KEY_EVENT) return Taken::kNoKey;
    const keyevents::KeyEvent event = FromRecord(record);
    pendingNext = 0;
    pendingCount = keyevents::Decode(event, pending);
    pendingRepeats = pendingCount != 0 ? keyevents::Presses(event) - 1 : 0;
    return pendingCount != 0 ? Taken::kKey : Taken::kNoKey;
}

// Pipe or file: one byte read ahead into the pending buffer. End of input
// (or a read error) means no more keys.
bool TakeByte() {
    uint8_t byte = 0;
    DWORD count = 0;
    if (!ReadFile(input, &byte, 1, &count, nullptr) || count == 0) {
        inputKind = InputKind::kEnd;
        return false;
    }
    pending[0] = byte;
    pendingCount = 1;
    pendingNext = 0;
    pendingRepeats = 0;
    return true;
}

bool PipeHasByte() {
    DWORD available = 0;
    if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return available != 0;
    if (GetLastError() == ERROR_BROKEN_PIPE || !StartReader()) {
        inputKind = InputKind::kEnd;  // the writer has gone
    } else {
        inputKind = InputKind::kReader;  // a pipe that cannot be peeked
    }
    return false;
}

bool TakeReaderByte(bool wait) {
    int byte = ReaderByte(wait);
    if (byte < 0) return false;
    pending[0] = uint8_t(byte);
    pendingCount = 1;
    pendingNext = 0;
    pendingRepeats = 0;
    return true;
}

bool HavePending() { return pendingNext < pendingCount || pendingRepeats != 0; }

// A standard handle that is set but not open in this process (a parent that
// named handles it did not let us inherit) is replaced by the NUL device
// before main() runs: the port, opened later, could otherwise get that very
// handle value, and the program's text would go out on the serial line or
// port bytes be read as keys. A handle that is not set at all (NULL) is
// left so: no handle ever has that value.
bool ReplaceStaleStandardHandles() {
    const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD kind : kinds) {
        HANDLE h = GetStdHandle(kind);
        if (h == nullptr || h == INVALID_HANDLE_VALUE) continue;
        SetLastError(ERROR_SUCCESS);
        if (GetFileType(h) != FILE_TYPE_UNKNOWN || GetLastError() != ERROR_INVALID_HANDLE) continue;
        HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        SetStdHandle(kind, nul != INVALID_HANDLE_VALUE ? nul : nullptr);
    }
    return true;
}

const bool gStandardHandlesChecked = ReplaceStaleStandardHandles();

// The next pending byte; only when HavePending() is true.
int NextPending() {
    if (pendingNext == pendingCount) {  // the next press of a repeated key
        pendingNext = 0;
        --pendingRepeats;
    }
    return pending[pendingNext++];
}

}  // namespace

bool ConsoleKeyWaiting() {
    if (HavePending()) return true;
    switch (Input()) {
        case InputKind::kConsole:
            for (int i = 0; i < kMaxDroppedPerTest; ++i) {
                INPUT_RECORD record;
                DWORD count = 0;
                if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0) return false;
                // An event is there, so taking it does not block.
                Taken taken = TakeConsoleEvent();
                if (taken == Taken::kKey) return true;
                if (taken == Taken::kFailed) return false;
            }
            return false;
        case InputKind::kPipe:
            return PipeHasByte() && TakeByte();
        case InputKind::kFile:
            return TakeByte();
        case InputKind::kReader:
            return TakeReaderByte(false);
        default:
            return false;
    }
}

// A read that fails, or input that has ended, gives -1: no key, never a
// typed NUL that would be sent to the port.
int ConsoleReadKey() {
    for (;;) {
        if (HavePending()) return NextPending();
        switch (Input()) {
            case InputKind::kConsole:
                if (TakeConsoleEvent() == Taken::kFailed) return -1;
                break;
            case InputKind::kPipe:
            case InputKind::kFile:
                if (!TakeByte()) return -1;
                break;
            case InputKind::kReader:
                if (!TakeReaderByte(true)) return -1;
                break;
            default:
                return -1;  // no more keys will come
        }
    }
}

namespace {

// While the session's command line is shown, what goes to the screen is
// held here (the log gets it as it comes) and shown, in order, once the
// line is gone.
constexpr size_t kHeldOutput = size_t(1) << 20;
constexpr size_t kHeldRoom = size_t(64) << 10;  // kept free: a run's output and more
char gHeld[kHeldOutput];
size_t gHeldUsed = 0;
bool gHolding = false;

bool Hold(const char* data, size_t length) {
    if (!gHolding) return false;
    size_t n = kHeldOutput - gHeldUsed < length ? kHeldOutput - gHeldUsed : length;
    memcpy(gHeld + gHeldUsed, data, n);
    gHeldUsed += n;
    return true;
}

// Where the command line is drawn: its row, and where the output's cursor
// goes back to; `shown` false where standard output is no console.
struct PromptPlace {
    bool shown;
    COORD back;
    SHORT row;
    SHORT width;
} gPrompt = {};

// Output of one call on its way to the standard output handle, "\n" already
// as "\r\n", which is what the log gets too: each write to the screen is
// preceded by the same bytes to the log (unless `toLog` is cleared).
struct ScreenBuffer {
    explicit ScreenBuffer(HANDLE handle) : output(handle) {}
    HANDLE output;
    char bytes[4096];
    size_t used = 0;
    bool failed = false;
    bool toLog = CaptureActive();

    void Flush() {
        if (toLog) CaptureWriteLog(bytes, used);
        if (Hold(bytes, used)) {
            used = 0;
            return;
        }
        size_t done = 0;
        while (!failed && done < used) {
            DWORD written = 0;
            if (!WriteFile(output, bytes + done, DWORD(used - done), &written, nullptr) || written == 0) {
                failed = true;  // what could not be written is gone
            }
            done += written;
        }
        used = 0;
    }
    void Add(const char* data, size_t length) {
        for (size_t i = 0; i < length && (!failed || toLog); ++i) {
            if (used + 2 > sizeof bytes) Flush();
            if (data[i] == '\n') bytes[used++] = '\r';
            bytes[used++] = data[i];
        }
    }
};

HANDLE StandardOutput() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output == nullptr ? INVALID_HANDLE_VALUE : output;
}

// The change mark for the log, behind its stamp (shown on the screen too)
// if it starts a line.
void LogChangeMark(ScreenBuffer* screen) {
    CaptureStamp stamp;
    CapturePiece("\xEB", 1, &stamp, false);
    if (stamp.length != 0) screen->Add(stamp.text, stamp.length);
    screen->Flush();
    CaptureWriteLog("\xEB", 1);
}

// A log write that failed is told on the screen, on a line of its own, once.
void ReportLogFailure() {
    char warning[400];
    if (!CaptureTakeLogFailure(warning, sizeof warning)) return;
    if (CaptureMidLine()) ConsoleWrite("\n", 1);
    ConsoleWrite(warning, strlen(warning));
}

}  // namespace

// Whether what was written so far ends in the middle of a line.
static bool gLineBegun = false;

void ConsoleWrite(const char* data, size_t length) {
    if (length != 0) gLineBegun = data[length - 1] != '\n';
    ScreenBuffer screen(StandardOutput());
    if (screen.output == INVALID_HANDLE_VALUE) screen.failed = true;
    if (!CaptureActive()) {
        if (screen.failed) return;
        screen.Add(data, length);
        screen.Flush();
        return;
    }
    while (length != 0) {
        CaptureStamp stamp;
        size_t piece = CapturePiece(data, length, &stamp, false);
        if (stamp.length != 0) screen.Add(stamp.text, stamp.length);
        screen.Add(data, piece);
        data += piece;
        length -= piece;
    }
    screen.Flush();
    ReportLogFailure();
}

void ConsoleWriteRun(const char* data, size_t length) {
    CaptureShareClock(true);
    ConsoleWrite(data, length);
    CaptureShareClock(false);
}

// On a console the mark goes through the wide-character call as U+03B4, so
// that it shows as a delta whatever the console's code page; anywhere else
// (a pipe, a file) it is the byte 0xEB.
// The log always gets the byte 0xEB.
void ConsoleWriteChangeMark() {
    gLineBegun = true;
    HANDLE output = StandardOutput();
    DWORD mode = 0;
    DWORD written = 0;
    const wchar_t delta = 0x03B4;
    if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
        ConsoleWrite("\xEB", 1);
        return;
    }
    if (CaptureActive()) {
        ScreenBuffer screen(output);
        LogChangeMark(&screen);
    }
    if (!WriteConsoleW(output, &delta, 1, &written, nullptr) || written != 1) {
        ScreenBuffer screen(output);
        screen.toLog = false;  // the log has it already
        screen.Add("\xEB", 1);
        screen.Flush();
    }
    ReportLogFailure();
}

bool ConsoleIsInteractive() { return Input() == InputKind::kConsole; }

bool ConsoleIsScreen() {
    HANDLE output = StandardOutput();
    DWORD mode = 0;
    return output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode);
}

void ConsoleSleep(unsigned milliseconds) { Sleep(milliseconds); }

// The Windows console needs no settings changed, so there is nothing to note.
void ConsoleStart() {}

bool ConsoleStartLog(const char* path, char* reason, size_t reasonSize) {
    return CaptureOpenLog(path, reason, reasonSize);
}

void ConsoleStartTimeStamps() { CaptureStartStamps(!CaptureMidLine()); }

void ConsoleStartStampedLine() {
    if (CaptureStamping() && CaptureMidLine()) ConsoleWrite("\n", 1);
}

uint64_t ConsoleMilliseconds() { return uint64_t(GetTickCount64()); }

namespace {

// Blanks the command line's row and puts the cursor at `column` of it.
void ClearPromptRow(HANDLE output, SHORT column) {
    DWORD written = 0;
    COORD start = {0, gPrompt.row};
    FillConsoleOutputCharacterA(output, ' ', DWORD(gPrompt.width), start, &written);
    COORD at = {column, gPrompt.row};
    SetConsoleCursorPosition(output, at);
}

// Writes bytes straight to the console, past the hold and the log.
void WriteScreen(HANDLE output, const char* data, size_t length) {
    DWORD written = 0;
    if (length != 0) WriteFile(output, data, DWORD(length), &written, nullptr);
}

}  // namespace

// The command line goes on the row below the output: a line break is
// written first (which scrolls at the bottom of the buffer), and the row
// and column the output had are kept to go back to.
void ConsoleShowCommandLine(const char* prompt, const char* text, size_t length, size_t cursor) {
    HANDLE output = StandardOutput();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!gHolding) {
        gHolding = true;
        gPrompt.shown = false;
        if (text != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(output, &info)) {
            COORD before = info.dwCursorPosition;
            WriteScreen(output, "\r\n", 2);
            if (GetConsoleScreenBufferInfo(output, &info)) {
                gPrompt.shown = true;
                gPrompt.row = info.dwCursorPosition.Y;
                gPrompt.width = info.dwSize.X > 8 ? info.dwSize.X : 80;
                gPrompt.back = before;
                if (gPrompt.row == before.Y && before.Y > 0) --gPrompt.back.Y;  // the buffer scrolled
            }
        }
    }
    if (!gPrompt.shown) return;
    const size_t promptLength = strlen(prompt) < 16 ? strlen(prompt) : 16;
    size_t width = size_t(gPrompt.width) - promptLength - 1;
    size_t start = cursor > width ? cursor - width : 0;
    size_t end = start + width < length ? start + width : length;
    ClearPromptRow(output, 0);
    WriteScreen(output, prompt, promptLength);
    WriteScreen(output, text + start, end - start);
    COORD at = {SHORT(promptLength + cursor - start), gPrompt.row};
    SetConsoleCursorPosition(output, at);
}

void ConsoleHideCommandLine() {
    if (!gHolding) return;
    gHolding = false;
    HANDLE output = StandardOutput();
    if (gPrompt.shown) {
        ClearPromptRow(output, 0);
        SetConsoleCursorPosition(output, gPrompt.back);
        gPrompt.shown = false;
    }
    size_t done = 0;
    while (done < gHeldUsed) {
        DWORD written = 0;
        if (!WriteFile(output, gHeld + done, DWORD(gHeldUsed - done), &written, nullptr) || written == 0) break;
        done += written;
    }
    gHeldUsed = 0;
}

void ConsoleStartLine() {
    if (gLineBegun) ConsoleWrite("\n", 1);
}

bool ConsoleHoldFull() { return gHolding && gHeldUsed > kHeldOutput - kHeldRoom; }
