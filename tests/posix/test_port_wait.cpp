// Port reads as the program makes them, with the console hooks filled in:
// gathered console output is written out before a read waits, a key waiting
// on the console ends the wait as a time-out does, and bytes a read took
// ahead from the device come in order and still count as waiting.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "../../platform/posix/console/hooks.h"
#include "../../platform/posix/win32/provider.h"

namespace {

int g_flushes = 0;
bool g_pending = false;
int g_keyFd = -1;

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const COMMTIMEOUTS kDriverTimeouts = {100, 100, 150, 100, 150};

// A port on the loopback plug or on a pty made here, with the driver's
// time-outs, and the console hooks pointing at the test's own state.
struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    int master = -1;
    explicit Port(bool loop) {
        if (!loop) {
            master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        }
        setenv("DORVALIX_COM50", loop ? "loop" : ptsname(master), 1);
        h = CreateFileA("\\\\.\\COM50", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DCB dcb;
        if (h == INVALID_HANDLE_VALUE || !GetCommState(h, &dcb)) return;
        dcb.BaudRate = 115200;
        COMMTIMEOUTS t = kDriverTimeouts;
        SetCommState(h, &dcb);
        SetCommTimeouts(h, &t);
        g_flushes = 0;
        g_pending = false;
        gConsoleHooks = {[] { ++g_flushes; }, [] { return g_keyFd; }, [] { return g_pending; }};
    }
    ~Port() {
        gConsoleHooks = {nullptr, nullptr, nullptr};
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (master >= 0) close(master);
    }
    // Bytes arriving on the line.
    void Arrive(const std::string& bytes) {
        DWORD n = 0;
        if (master >= 0) {
            ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
            usleep(20000);  // let the pty pass them on
        } else {
            ASSERT_TRUE(WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr));
        }
    }
    std::string Read(DWORD length) {
        char buffer[64] = {};
        DWORD count = 99;
        EXPECT_TRUE(ReadFile(h, buffer, length, &count, nullptr));
        return std::string(buffer, count);
    }
    DWORD Waiting() {
        DWORD errors = 0;
        COMSTAT stat;
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        COMMPROP prop;
        EXPECT_TRUE(GetCommProperties(h, &prop));
        EXPECT_EQ(prop.dwCurrentRxQueue, stat.cbInQue);
        return stat.cbInQue;
    }
};

TEST(PortWait, FlushesFirstAndEndsWhenAKeyIsWaiting) {
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    g_keyFd = keys[0];
    struct Case {
        bool loop;
        bool pending;       // keys already read and decoded by the console
        bool typed;         // a key byte waiting on the console's descriptor
        const char* sent;   // on the line before the read
        long minMs, maxMs;
        int flushes;
    };
    const Case cases[] = {
        {true, false, false, "", 240, 1000, 1},   // nothing: the whole time-out
        {true, true, false, "", 0, 100, 1},       // a key: the read gives up at once
        {true, false, true, "", 0, 100, 1},
        {true, true, false, "a", 0, 100, 0},      // a byte is there: no wait at all
        {false, false, false, "", 240, 1000, 1},
        {false, true, false, "", 0, 100, 1},
        {false, false, true, "", 0, 100, 1},
        {false, true, true, "\xff", 0, 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.loop ? "loop" : "pty") + (c.pending ? " pending" : "") +
                     (c.typed ? " typed" : "") + " '" + c.sent + "'");
        Port port(c.loop);
        ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
        port.Arrive(c.sent);
        g_pending = c.pending;
        if (c.typed) {
            ASSERT_EQ(write(keys[1], "k", 1), 1);
        }
        long long start = NowMs();
        EXPECT_EQ(port.Read(1), c.sent);
        long elapsed = long(NowMs() - start);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LT(elapsed, c.maxMs);
        EXPECT_EQ(g_flushes, c.flushes);
        char k;
        if (c.typed) {
            ASSERT_EQ(read(keys[0], &k, 1), 1);
        }
    }
    g_keyFd = -1;
    close(keys[0]);
    close(keys[1]);
}

TEST(PortWait, BytesTakenAheadComeInOrderAndCountAsWaiting) {
    Port port(false);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    port.Arrive("abcdef\xff");
    EXPECT_EQ(port.Read(1), "a");
    EXPECT_EQ(port.Waiting(), 6u);
    EXPECT_EQ(port.Read(3), "bcd");
    port.Arrive("gh");
    EXPECT_EQ(port.Read(10), "ef\xffgh");  // what was ahead, then the device, then the interval ends it
    EXPECT_EQ(port.Waiting(), 0u);
    port.Arrive("ijk");
    EXPECT_EQ(port.Read(1), "i");
    ASSERT_TRUE(PurgeComm(port.h, PURGE_RXCLEAR));
    EXPECT_EQ(port.Waiting(), 0u);
    EXPECT_EQ(port.Read(1), "");  // the purge discarded what was ahead too
    // A pty has no modem lines: every query fails alike.
    for (int i = 0; i < 3; ++i) {
        DWORD bits = 0x1234;
        EXPECT_FALSE(GetCommModemStatus(port.h, &bits));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(bits, 0x1234u);
    }
}

}  // namespace
