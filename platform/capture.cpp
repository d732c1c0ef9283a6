// The session capture: time stamps at line starts and the log file's copy of
// the output (what capture.h promises), on either system.
#include "capture.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "capture_host.h"

namespace {

// The log's copy of output not yet written out. The counts are touched by
// a signal handler's flush too (POSIX); a flush already at work makes any
// other return at once.
constexpr size_t kLogBuffer = 16384;
char gLogBytes[kLogBuffer];
volatile std::sig_atomic_t gLogOpen = 0;
volatile std::sig_atomic_t gLogUsed = 0;
volatile std::sig_atomic_t gLogDone = 0;
volatile std::sig_atomic_t gLogBusy = 0;
volatile std::sig_atomic_t gLogFailed = 0;  // a write failed and no warning has been taken
unsigned long gLogError = 0;

// 0: every stamp reads the clock; 1: the next stamp reads it for those that
// follow; 2: that reading is in gSharedTime (CaptureShareClock).
int gShareClock = 0;
LocalTime gSharedTime;
// The stamp made from that reading without the date, once made: the later
// stamps of the run are copies of it.
CaptureStamp gSharedStamp;
bool gSharedStampMade = false;

bool gDateShown = false;  // a stamp has been made; gLastDay is its date
int gLastDay[3] = {0, 0, 0};

// Writes `value` as `digits` decimal digits.
char* PutDigits(char* out, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

void MakeStamp(CaptureStamp* stamp) {
    if (gShareClock == 2 && gSharedStampMade) {
        *stamp = gSharedStamp;
        return;
    }
    LocalTime t;
    if (gShareClock == 2) {
        t = gSharedTime;
    } else {
        HostLocalTime(&t);
        if (gShareClock == 1) gSharedTime = t, gShareClock = 2;
    }
    char* p = stamp->text;
    *p++ = '[';
    if (!gDateShown || t.year != gLastDay[0] || t.month != gLastDay[1] || t.day != gLastDay[2]) {
        p = PutDigits(p, t.year, 4);
        *p++ = '-';
        p = PutDigits(p, t.month, 2);
        *p++ = '-';
        p = PutDigits(p, t.day, 2);
        *p++ = ' ';
        gDateShown = true;
        gLastDay[0] = t.year;
        gLastDay[1] = t.month;
        gLastDay[2] = t.day;
    }
    p = PutDigits(p, t.hour, 2);
    *p++ = ':';
    p = PutDigits(p, t.minute, 2);
    *p++ = ':';
    p = PutDigits(p, t.second, 2);
    *p++ = '.';
    p = PutDigits(p, t.millisecond, 3);
    *p++ = ']';
    *p++ = ' ';
    *p = '\0';
    stamp->length = size_t(p - stamp->text);
    if (gShareClock == 2 && stamp->length < 16) {  // no date in it: "[hh:mm:ss.mmm] "
        gSharedStamp = *stamp;
        gSharedStampMade = true;
    }
}

// Adds `length` bytes without a line feed to the log's copy, then, with
// `lineEnd`, "\r\n"; writes the copy out whenever it is full.
void LogAdd(const char* data, size_t length, bool lineEnd) {
    if (!gLogOpen) return;
    if (length == 1 && size_t(gLogUsed) < kLogBuffer) {  // the common case, without memcpy
        gLogBytes[gLogUsed] = *data;
        gLogUsed = std::sig_atomic_t(gLogUsed + 1);
        length = 0;
    }
    while (length != 0) {
        if (size_t(gLogUsed) == kLogBuffer) {
            CaptureFlushLog();
            if (!gLogOpen) return;
        }
        size_t used = size_t(gLogUsed);
        size_t n = length < kLogBuffer - used ? length : kLogBuffer - used;
        std::memcpy(gLogBytes + used, data, n);
        gLogUsed = std::sig_atomic_t(used + n);
        data += n;
        length -= n;
    }
    if (!lineEnd) return;
    if (size_t(gLogUsed) + 2 > kLogBuffer) {
        CaptureFlushLog();
        if (!gLogOpen) return;
    }
    gLogBytes[gLogUsed] = '\r';
    gLogBytes[gLogUsed + 1] = '\n';
    gLogUsed = std::sig_atomic_t(gLogUsed + 2);
}

// One write of the log file; a failure closes the log for good.
size_t WriteLog(const char* data, size_t length) {
    unsigned long error = 0;
    size_t n = HostWriteLog(data, length, &error);
    if (n == 0) {
        HostCloseLog();
        gLogOpen = 0;
        gLogError = error;
        gLogFailed = 1;
    }
    return n;
}

}  // namespace

bool CaptureOpenLog(const char* path, char* reason, size_t reasonSize) {
    unsigned long error = 0;
    if (!HostOpenLog(path, &error)) {
        HostErrorText(error, reason, reasonSize);
        return false;
    }
    gLogOpen = 1;
    gCaptureActive = true;
    return true;
}

void CaptureFlushLog() {
    if (gLogBusy) return;
    gLogBusy = 1;
    while (gLogOpen && gLogDone < gLogUsed) {
        size_t n = WriteLog(gLogBytes + gLogDone, size_t(gLogUsed - gLogDone));
        if (n == 0) break;
        gLogDone = std::sig_atomic_t(gLogDone + std::sig_atomic_t(n));
    }
    gLogUsed = 0;
    gLogDone = 0;
    gLogBusy = 0;
}

void CaptureWriteLog(const char* data, size_t length) {
    CaptureFlushLog();
    if (gLogBusy) return;
    gLogBusy = 1;
    while (gLogOpen && length != 0) {
        size_t n = WriteLog(data, length);
        data += n;
        length -= n;
    }
    gLogBusy = 0;
}

void CaptureFinishLog() {
    CaptureFlushLog();
    if (!gLogOpen || gLogBusy) return;
    unsigned long error = 0;
    if (HostFinishLog(&error)) return;
    HostCloseLog();
    gLogOpen = 0;
    gLogError = error;
    gLogFailed = 1;
}

bool CaptureTakeLogFailure(char* line, size_t lineSize) {
    if (!gLogFailed) return false;
    gLogFailed = 0;
    char reason[256];
    HostErrorText(gLogError, reason, sizeof reason);
    std::snprintf(line, lineSize, "WARNING: Unable to write the log file (%s); logging stopped.\n", reason);
    return true;
}

void CaptureShareClock(bool on) {
    gShareClock = on ? 1 : 0;
    gSharedStampMade = false;
}

void CaptureStartStamps(bool atLineStart) {
    gCaptureAtLineStart = atLineStart;
    gCaptureStamping = true;
    gCaptureActive = true;
}

size_t CapturePiece(const char* data, size_t length, CaptureStamp* stamp, bool copy) {
    stamp->length = 0;
    if (gCaptureAtLineStart && gCaptureStamping) {
        MakeStamp(stamp);
        if (copy) LogAdd(stamp->text, stamp->length, false);
    }
    // Most output comes a byte at a time: a loop finds the line feed in a
    // short piece faster than a call of memchr.
    const char* end = nullptr;
    if (length <= 16) {
        for (size_t i = 0; i < length; ++i) {
            if (data[i] == '\n') {
                end = data + i;
                break;
            }
        }
    } else {
        end = static_cast<const char*>(std::memchr(data, '\n', length));
    }
    gCaptureAtLineStart = end != nullptr;
    size_t piece = end != nullptr ? size_t(end - data) + 1 : length;
    if (copy) LogAdd(data, gCaptureAtLineStart ? piece - 1 : piece, gCaptureAtLineStart);
    return piece;
}
