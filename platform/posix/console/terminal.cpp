// The console on POSIX systems: keys from standard input (a terminal in raw
// mode, or data from a pipe or file), output to standard output with "\n" as
// "\r\n". What it promises is in console/terminal.h.
#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "../../capture.h"
#include "../../console.h"
#include "hooks.h"
#include "key_decoder.h"

namespace {

constexpr int kInputFd = 0;
constexpr int kOutputFd = 1;
constexpr size_t kReadChunk = 256;
// Output is gathered here while the program has more to do and written out
// before anything may block (ConsoleFlush); a full buffer is written out too.
constexpr size_t kOutputBuffer = 8192;

// The signals whose default action ends the process: the terminal is put
// back before it ends. SIGKILL cannot be caught; the real-time signals
// (SIGRTMIN to SIGRTMAX, not constants) end it too and are added where the
// handlers are installed.
constexpr int kEndingSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

bool gInputStarted = false;   // the first key test or read has been made
bool gInputEnded = false;     // end of file or a failed read: no more keys
bool gFromTerminal = false;   // standard input is a terminal: decode its bytes
bool gUtf8 = false;           // and the locale's character set is UTF-8

termios gSavedTermios;                        // the terminal as we found it
termios gRawTermios;                          // and as we set it
volatile sig_atomic_t gTerminalChanged = 0;   // gSavedTermios is to be put back
termios gFoundAtStart;                        // standard input's settings at ConsoleStart
bool gHaveFoundAtStart = false;

KeyDecoderState gDecoder = {};
unsigned char gKeys[2 * kReadChunk];  // decoded key bytes not yet read
size_t gKeyHead = 0;
size_t gKeyEnd = 0;

// While received bytes keep every pass of the caller's loop busy, the key
// test asks standard input (a poll) at most once per this gap and answers
// "no key" in between, so a key typed during a flood is seen within it.
// After any wait (a port's read wait, which watches the keys itself, a
// pause, a key read) the next key test asks at once. The clock itself is
// read only every few tests.
constexpr long long kKeyPollGapNs = 1000000;
constexpr unsigned kTestsPerClockRead = 16;
bool gKeyPollDue = true;
long long gLastKeyPollNs = 0;
unsigned gTestsSincePoll = 0;

long long NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Gathered output, "\n" already as "\r\n": up to kOutputBuffer bytes, or
// twice that with a log, whose own write then comes with each write out, so
// that a flood costs no more writes with the log than without.
char gOutput[2 * kOutputBuffer];
size_t gOutputLimit = kOutputBuffer;
// With a log: true while the gathered bytes are themselves what the log
// gets (then written to it as they are), false while they differ (a
// terminal that adds the "\r", a UTF-8 change mark) and the capture keeps a
// copy in the log's form. One gathering never mixes the two.
bool gGatheredInLogForm = true;
bool gMidLine = false;  // the last byte gathered was not a line feed
volatile sig_atomic_t gLogMirrored = 0;  // of the gathered bytes, already in the log
// Output also goes out once it has waited this long, so that a loop that
// never waits (data arriving faster than it is shown) still shows it within
// 10 ms. Its age is looked at every few writes and key tests, which the
// loop makes at least once a pass.
constexpr long long kMaxGatherNs = 5000000;
constexpr unsigned kWritesPerAgeCheck = 32;
long long gGatheredSinceNs = 0;          // when the oldest byte not written out was gathered
unsigned gWritesSinceAgeCheck = 0;
volatile sig_atomic_t gOutputUsed = 0;   // bytes in gOutput; grows only after a byte is stored
volatile sig_atomic_t gOutputDone = 0;   // of those, already written
// Set from just before a write() until its count is taken into gOutputDone.
// A signal arriving then cannot tell whether those bytes went out, so the
// handler writes nothing rather than show them twice.
volatile sig_atomic_t gWriting = 0;

// 1 when standard output is a terminal that itself turns "\n" into "\r\n"
// (output processing with ONLCR, as before raw mode), so that a "\r" added
// here would reach the screen doubled; -1 when not yet looked at.
int gTerminalAddsCr = -1;

bool TerminalAddsCr() {
    if (gTerminalAddsCr < 0) {
        termios out;
        gTerminalAddsCr = tcgetattr(kOutputFd, &out) == 0 && (out.c_oflag & OPOST) && (out.c_oflag & ONLCR) ? 1 : 0;
    }
    return gTerminalAddsCr == 1;
}

// Writes every gathered byte not yet written; from a signal handler too
// (only write() and poll(), and only the two counts change), which then goes
// on where the interrupted call stopped. With a log, the log's bytes go out
// first (capture.h, also async-signal-safe).
void WriteOutGathered() {
    if (CaptureActive()) {  // the log first: it never holds less than the screen shows
        if (!gGatheredInLogForm) {
            CaptureFlushLog();
        } else if (gLogMirrored < gOutputUsed) {
            CaptureWriteLog(gOutput + gLogMirrored, size_t(gOutputUsed - gLogMirrored));
            gLogMirrored = gOutputUsed;
        }
    }
    while (gOutputDone < gOutputUsed) {
        gWriting = 1;
        ssize_t n = write(kOutputFd, gOutput + gOutputDone, size_t(gOutputUsed - gOutputDone));
        if (n > 0) gOutputDone = sig_atomic_t(gOutputDone + n);
        gWriting = 0;
        if (n > 0) {
            continue;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p = {kOutputFd, POLLOUT, 0};  // a non-blocking output: wait as a blocking write would
            if (poll(&p, 1, -1) < 0 && errno != EINTR) break;
        } else {
            break;  // EPIPE, EIO, a full disk: what could not be written is gone
        }
    }
    gOutputUsed = 0;
    gOutputDone = 0;
    gLogMirrored = 0;
}

// Whether this process may set the terminal: it is in the terminal's
// foreground process group, or the terminal is not its controlling terminal.
// A process in the background that sets it would be stopped (SIGTTOU), and
// the terminal is then the shell's to set.
bool InForeground() {
    pid_t group = tcgetpgrp(kInputFd);
    return group < 0 || group == getpgrp();
}

// Both async-signal-safe.
void RestoreTerminal() {
    if (gTerminalChanged && InForeground()) tcsetattr(kInputFd, TCSANOW, &gSavedTermios);
}

void ApplyRawMode() {
    if (gTerminalChanged && InForeground()) tcsetattr(kInputFd, TCSANOW, &gRawTermios);
}

// At exit: gathered output goes out, a log that is behind gets a short
// while to take the rest, and should it not, the warning is shown.
void FinishOutput() {
    WriteOutGathered();
    if (!CaptureActive()) return;
    CaptureFinishLog();
    ConsoleFlush();
}

// Gathered output goes out before the terminal is put back, so that it is
// written with the settings it was made for.
extern "C" void RestoreAtExit() {
    FinishOutput();
    RestoreTerminal();
}

extern "C" void FlushAtExit() { FinishOutput(); }

// What a provider has to undo before a signal ends the process (console/hooks.h).
void (*volatile gEndingCleanup)() = nullptr;

// Only async-signal-safe calls: put the terminal back, have the providers
// undo what must not outlive the process, write out what was gathered, then
// die of the same signal so that the exit status still tells it.
extern "C" void RestoreAndReraise(int sig) {
    RestoreTerminal();  // first: the write below may raise SIGPIPE itself
    if (void (*cleanup)() = gEndingCleanup) cleanup();  // before the write, which may block
    if (!gWriting) WriteOutGathered();
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);  // not reached: the default action of these signals ends the process
}

// Installs `handler` for `sig`, unless the process was told to ignore it
// (nohup) or something else already catches it (a sanitizer its faults).
// Async-signal-safe.
bool Install(int sig, void (*handler)(int), int flags) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) return false;
    if (old.sa_handler != SIG_DFL && old.sa_handler != handler) return true;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    if (sigemptyset(&action.sa_mask) != 0) return false;
    action.sa_flags = flags;
    return sigaction(sig, &action, nullptr) == 0;
}

// Stop (SIGTSTP, from outside: Ctrl+Z is a plain key here): the terminal is
// put back, then the process stops as the signal's default action does.
// Gathered output stays gathered (it may be in the middle of growing) and
// goes out after the process goes on.
extern "C" void RestoreAndStop(int) {
    int savedErrno = errno;
    RestoreTerminal();
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    raise(SIGTSTP);                           // held: the handler blocks it
    sigprocmask(SIG_UNBLOCK, &stop, &old);    // delivered: stopped here until SIGCONT
    sigprocmask(SIG_SETMASK, &old, nullptr);
    Install(SIGTSTP, RestoreAndStop, SA_RESTART);  // the default was put in its place above
    ApplyRawMode();  // as the SIGCONT handler did, should it have run first
    errno = savedErrno;
}

// Continued (after SIGTSTP, or SIGSTOP, which cannot be caught): whoever had
// the terminal in between (a shell) set it its own way, so raw mode goes on
// again, once the process has the terminal (fg, not bg).
extern "C" void ReapplyRawMode(int) {
    int savedErrno = errno;
    ApplyRawMode();
    errno = savedErrno;
}

// Installs the handler of every signal that would end the process.
bool InstallEndingHandlers() {
    const int kReraise = SA_RESETHAND | SA_NODEFER;  // the re-raise is delivered at once
    for (int sig : kEndingSignals) {
        if (!Install(sig, RestoreAndReraise, kReraise)) return false;
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        if (!Install(sig, RestoreAndReraise, kReraise)) return false;
    }
    return true;
}

// Installs the restoring handlers: for every signal that would end the
// process with the terminal still raw, and for stop and continue.
bool InstallRestoreHandlers() {
    return InstallEndingHandlers() && Install(SIGTSTP, RestoreAndStop, SA_RESTART) &&
           Install(SIGCONT, ReapplyRawMode, SA_RESTART);
}

// For a provider (console/hooks.h): the cleanup is in place before any
// handler can call it.
void CatchEndingSignals(void (*cleanup)()) {
    gEndingCleanup = cleanup;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    (void)InstallEndingHandlers();
}

// Whether the user's locale (LC_ALL, LC_CTYPE, LANG) uses UTF-8. The
// process's own locale is left as it was.
bool LocaleIsUtf8() {
    const char* current = setlocale(LC_CTYPE, nullptr);
    char saved[256];
    if (current == nullptr || strlen(current) >= sizeof saved) return false;
    strcpy(saved, current);
    if (setlocale(LC_CTYPE, "") == nullptr) return false;
    const char* codeset = nl_langinfo(CODESET);
    bool utf8 = codeset != nullptr && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    setlocale(LC_CTYPE, saved);
    return utf8;
}

// Raw keys: no echo, no line editing, no CR/NL mapping, no output
// processing, 8-bit input. Ctrl+C keeps its signal, the one interrupt key;
// Ctrl+\ is a plain key that gives 0x1C, as on a Windows console, and Ctrl+Z
// a plain key too, so the process is never stopped with the terminal raw.
void EnterRawMode(const termios& found) {
    termios raw = found;
    raw.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_oflag &= ~tcflag_t(OPOST);
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    raw.c_lflag |= ISIG;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
    raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
    gSavedTermios = found;
    gRawTermios = raw;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!InstallRestoreHandlers() || atexit(RestoreAtExit) != 0) return;  // could not put it back: leave it alone
    gTerminalChanged = 1;
    // What was gathered for the old output settings goes out under them.
    WriteOutGathered();
    // On failure the keys come as the terminal was set; nothing else to do.
    tcsetattr(kInputFd, TCSANOW, &raw);
    gTerminalAddsCr = -1;  // standard output may be this same terminal
}

// At the first key test or read: a terminal goes raw, anything else is data.
void StartInput() {
    if (gInputStarted) return;
    gInputStarted = true;
    termios found;
    if (tcgetattr(kInputFd, &found) != 0) return;
    if (gHaveFoundAtStart) found = gFoundAtStart;  // as it was before the port was opened
    gFromTerminal = true;
    gUtf8 = LocaleIsUtf8();
    EnterRawMode(found);
}

void EndInput() {
    gInputEnded = true;
    if (gFromTerminal && gUtf8) gKeyEnd += FinishKeys(&gDecoder, gKeys + gKeyEnd, sizeof gKeys - gKeyEnd);
}

// Waits up to timeoutMs (-1: no limit) for input, reads what is there and
// decodes it into gKeys. Called only when gKeys is empty.
void FillKeys(int timeoutMs) {
    gKeyHead = 0;
    gKeyEnd = 0;
    pollfd p = {kInputFd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0) {
        if (errno != EINTR) EndInput();
        return;
    }
    if (ready == 0) return;
    if (p.revents & POLLNVAL) {  // standard input is closed
        EndInput();
        return;
    }
    unsigned char chunk[kReadChunk];
    ssize_t got = read(kInputFd, chunk, sizeof chunk);
    if (got > 0) {
        if (gFromTerminal) {
            gKeyEnd = DecodeKeys(&gDecoder, chunk, size_t(got), gKeys, sizeof gKeys, gUtf8);
        } else {
            memcpy(gKeys, chunk, size_t(got));
            gKeyEnd = size_t(got);
        }
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        EndInput();  // end of file, or the terminal is gone (EIO)
    }
}

// A provider's notice (console/hooks.h), shown at the next flush.
char gNotice[256];

void KeepNotice(const char* line) { snprintf(gNotice, sizeof gNotice, "%s\n", line); }

// The hooks the serial providers call around their waits, filled in before
// main() runs; output gathered but not flushed is written out at exit.
bool InstallHooks() {
    gConsoleHooks.flush = ConsoleFlush;
    gConsoleHooks.keyFd = [] {
        gKeyPollDue = true;
        return gInputStarted ? ConsoleInputFd() : -1;
    };
    gConsoleHooks.keysPending = ConsolePendingKeys;
    gCatchEndingSignals = CatchEndingSignals;
    gConsoleNotice = KeepNotice;
    atexit(FlushAtExit);
    return true;
}

// Standard input, output or error that the process was started without are
// opened on /dev/null before main() runs, so that no descriptor opened later
// (the serial port above all) can take one of their numbers: the program's
// text would go out on the serial line, and port bytes would be read as
// keys. Where /dev/null cannot be opened, the root directory holds the place:
// reads and writes on it fail, which reads as the end of input and as output
// that is lost.
bool OpenStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0) opened = open("/", O_RDONLY);
        if (opened < 0) return false;
        if (opened != fd) {  // the lowest free number is fd itself; moved there should it not be
            dup2(opened, fd);
            close(opened);
        }
    }
    return true;
}

const bool gStandardStreamsOpen = OpenStandardStreams();
const bool gHooksInstalled = InstallHooks();

}  // namespace

void ConsoleStart() { gHaveFoundAtStart = tcgetattr(kInputFd, &gFoundAtStart) == 0; }

bool ConsoleKeyWaiting() {
    StartInput();
    if (gKeyHead < gKeyEnd) return true;
    if (gInputEnded) return false;
    if (!gKeyPollDue) {
        if (++gTestsSincePoll < kTestsPerClockRead) return false;
        gTestsSincePoll = 0;
        long long now = NowNs();
        if (gOutputUsed != 0 && now - gGatheredSinceNs >= kMaxGatherNs) ConsoleFlush();
        if (now - gLastKeyPollNs < kKeyPollGapNs) return false;
    }
    gKeyPollDue = false;
    gTestsSincePoll = 0;
    gLastKeyPollNs = NowNs();
    FillKeys(0);
    return gKeyHead < gKeyEnd;
}

int ConsoleReadKey() {
    StartInput();
    ConsoleFlush();
    gKeyPollDue = true;
    while (gKeyHead == gKeyEnd) {
        if (gInputEnded) return -1;
        FillKeys(-1);
    }
    return gKeys[gKeyHead++];
}

// While the session's command line is shown, what is written for the
// screen is held here (the log takes it as it comes, in its own copy), and
// shown in order once the line is gone.
constexpr size_t kHeldOutput = size_t(1) << 20;
constexpr size_t kHeldRoom = size_t(64) << 10;  // kept free: a run's output and more
static char gHeld[kHeldOutput];
static size_t gHeldUsed = 0;
static bool gHolding = false;
static bool gPromptShown = false;  // the command line is drawn on the terminal

// Gathers bytes for the screen, "\n" as "\r\n" unless the terminal adds the
// "\r" itself.
static void ShowBytes(const char* data, size_t length) {
    const bool addCr = !TerminalAddsCr();
    if (length == 0) return;
    if (gHolding) {
        size_t n = kHeldOutput - gHeldUsed < length ? kHeldOutput - gHeldUsed : length;
        memcpy(gHeld + gHeldUsed, data, n);
        gHeldUsed += n;
        return;
    }
    if (gOutputUsed == 0) {
        gGatheredSinceNs = NowNs();
        gWritesSinceAgeCheck = 0;
    } else if (++gWritesSinceAgeCheck >= kWritesPerAgeCheck) {
        gWritesSinceAgeCheck = 0;
        long long now = NowNs();
        if (now - gGatheredSinceNs >= kMaxGatherNs) {
            WriteOutGathered();
            gGatheredSinceNs = now;
        }
    }
    gMidLine = data[length - 1] != '\n';
    // The bytes up to each line feed in one copy; the count grows only after
    // they are stored (a signal handler may write out what is gathered).
    while (length != 0) {
        size_t used = size_t(gOutputUsed);
        if (used + 2 > gOutputLimit) {
            WriteOutGathered();
            gGatheredSinceNs = NowNs();
            continue;
        }
        if (*data == '\n') {
            if (addCr) gOutput[used++] = '\r';
            gOutput[used++] = '\n';
            gOutputUsed = sig_atomic_t(used);
            ++data;
            --length;
            continue;
        }
        size_t n = gOutputLimit - used;
        if (n > length) n = length;
        if (const void* lineFeed = memchr(data, '\n', n)) n = size_t(static_cast<const char*>(lineFeed) - data);
        memcpy(gOutput + used, data, n);
        gOutputUsed = sig_atomic_t(used + n);
        data += n;
        length -= n;
    }
}

// Whether the bytes gathered from now on are the log's form; what was
// gathered the other way is written out first.
static void GatherInLogForm(bool logForm) {
    if (logForm == gGatheredInLogForm) return;
    if (gOutputUsed != 0) WriteOutGathered();
    gGatheredInLogForm = logForm;
}

// Whether what was written so far ends in the middle of a line.
static bool gLineBegun = false;

// With a log or time stamps, each piece is gathered behind its stamp if it
// starts a line (and copied for the log first where the log's form differs).
void ConsoleWrite(const char* data, size_t length) {
    if (length != 0) gLineBegun = data[length - 1] != '\n';
    if (!CaptureActive()) {
        ShowBytes(data, length);
        return;
    }
    GatherInLogForm(!TerminalAddsCr() && !gHolding);
    if (gGatheredInLogForm && CapturePassesAsIs(data, length)) {  // the gathered bytes are the log's
        ShowBytes(data, length);
        return;
    }
    while (length != 0) {
        CaptureStamp stamp;
        size_t piece = CapturePiece(data, length, &stamp, !gGatheredInLogForm);
        if (stamp.length != 0) ShowBytes(stamp.text, stamp.length);
        ShowBytes(data, piece);
        data += piece;
        length -= piece;
    }
}

void ConsoleWriteRun(const char* data, size_t length) {
    if (!CaptureStamping()) {
        ConsoleWrite(data, length);
        return;
    }
    CaptureShareClock(true);
    ConsoleWrite(data, length);
    CaptureShareClock(false);
}

// A log write that failed is told on the screen, on a line of its own, once.
void ConsoleFlush() {
    if (gOutputUsed != 0 || CaptureActive()) WriteOutGathered();
    char warning[400];
    if (CaptureTakeLogFailure(warning, sizeof warning)) {
        if (gMidLine) ConsoleWrite("\n", 1);
        ConsoleWrite(warning, strlen(warning));
        WriteOutGathered();
    }
    if (gNotice[0] != '\0') {
        char notice[sizeof gNotice];
        memcpy(notice, gNotice, sizeof notice);
        gNotice[0] = '\0';
        if (gMidLine) ConsoleWrite("\n", 1);
        ConsoleWrite(notice, strlen(notice));
        WriteOutGathered();
    }
}

bool ConsoleIsInteractive() { return isatty(kInputFd) == 1; }

bool ConsoleIsScreen() { return isatty(kOutputFd) == 1; }

// The mark as a delta in UTF-8 where standard output is a terminal and the
// locale's character set is UTF-8; elsewhere (a pipe, a file, a terminal of
// another character set) the byte 0xEB, as the line table has it. Asked
// afresh each time: the mark is written a few times a session at most.
// The log always gets the byte 0xEB.
void ConsoleWriteChangeMark() {
    gLineBegun = true;
    const bool utf8 = isatty(kOutputFd) == 1 && LocaleIsUtf8();
    if (CaptureActive()) {
        GatherInLogForm(!utf8 && !TerminalAddsCr() && !gHolding);
        CaptureStamp stamp;
        CapturePiece("\xEB", 1, &stamp, !gGatheredInLogForm);
        if (stamp.length != 0) ShowBytes(stamp.text, stamp.length);
    }
    if (utf8) {
        ShowBytes("\xCE\xB4", 2);
    } else {
        ShowBytes("\xEB", 1);
    }
}

void ConsoleSleep(unsigned milliseconds) {
    ConsoleFlush();
    gKeyPollDue = true;
    timespec left = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int ConsoleInputFd() { return gInputEnded ? -1 : kInputFd; }

bool ConsolePendingKeys() { return gKeyHead < gKeyEnd; }

bool ConsoleStartLog(const char* path, char* reason, size_t reasonSize) {
    if (!CaptureOpenLog(path, reason, reasonSize)) return false;
    gOutputLimit = sizeof gOutput;
    return true;
}

void ConsoleStartTimeStamps() { CaptureStartStamps(!gMidLine); }

void ConsoleStartStampedLine() {
    if (CaptureStamping() && CaptureMidLine()) ConsoleWrite("\n", 1);
}

uint64_t ConsoleMilliseconds() { return uint64_t(NowNs() / 1000000); }

// The command line's text for the screen: the part around the cursor that
// fits the terminal's width, Latin-1 bytes as UTF-8 in a UTF-8 locale.
static void ShowPromptText(const char* prompt, const char* text, size_t length, size_t cursor) {
    winsize size = {};
    size_t columns = ioctl(kOutputFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 8 ? size.ws_col : 80;
    const size_t promptLength = strlen(prompt) < 16 ? strlen(prompt) : 16;
    size_t width = columns - promptLength - 1;  // the prompt, and the cursor after the last byte
    size_t start = cursor > width ? cursor - width : 0;
    size_t end = start + width < length ? start + width : length;
    char line[3 * 1024 + 64];
    size_t used = 0;
    memcpy(line, "\r\x1b[K", 4);
    memcpy(line + 4, prompt, promptLength);
    used = 4 + promptLength;
    const bool utf8 = LocaleIsUtf8();
    for (size_t i = start; i < end && used + 16 < sizeof line; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 && utf8) {
            line[used++] = char(0xC0 | (c >> 6));
            line[used++] = char(0x80 | (c & 0x3F));
        } else {
            line[used++] = char(c);
        }
    }
    const unsigned column = unsigned(promptLength + cursor - start);
    int n = column == 0 ? 0 : snprintf(line + used, sizeof line - used, "\r\x1b[%uC", column);
    if (n > 0) used += size_t(n);
    else line[used++] = '\r';
    ShowBytes(line, used);
}

// The command line sits on the line below the output, which is made there
// first (an index, which scrolls at the bottom and keeps the column) so
// that the cursor saved at the end of the output is still right when it is
// put back.
void ConsoleShowCommandLine(const char* prompt, const char* text, size_t length, size_t cursor) {
    if (!gHolding) {
        GatherInLogForm(false);  // what is gathered from now on is never the log's
        const bool midLine = gMidLine;
        if (text != nullptr && isatty(kOutputFd) == 1) {
            ShowBytes("\x1b" "D\x1b[A\x1b" "7\x1b" "D", 9);
            gPromptShown = true;
        }
        gMidLine = midLine;
        gHolding = true;
    }
    if (!gPromptShown) return;
    gHolding = false;
    const bool midLine = gMidLine;
    ShowPromptText(prompt, text, length, cursor);
    gMidLine = midLine;
    gHolding = true;
    ConsoleFlush();
}

void ConsoleHideCommandLine() {
    if (!gHolding) return;
    gHolding = false;
    if (gPromptShown) {
        const bool midLine = gMidLine;
        ShowBytes("\r\x1b[K\x1b" "8", 6);
        gMidLine = midLine;
        gPromptShown = false;
    }
    size_t held = gHeldUsed;
    gHeldUsed = 0;
    ShowBytes(gHeld, held);
    ConsoleFlush();
}

void ConsoleStartLine() {
    if (gLineBegun) ConsoleWrite("\n", 1);
}

bool ConsoleHoldFull() { return gHolding && gHeldUsed > kHeldOutput - kHeldRoom; }
