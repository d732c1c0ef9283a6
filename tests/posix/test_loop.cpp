// The built-in loopback port, through the Win32 entry points.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "../../platform/posix/win32/provider.h"

namespace {

struct LoopPort : ::testing::Test {
    HANDLE h = INVALID_HANDLE_VALUE;
    void SetUp() override {
        setenv("DORVALIX_COM50", "loop", 1);
        h = CreateFileA("\\\\.\\COM50", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { CloseHandle(h); }
    void Write(const char* s, DWORD n) {
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(h, s, n, &done, nullptr));
        EXPECT_EQ(done, n);
    }
    DWORD Errors(DWORD* waiting) {
        DWORD e = 0xFFFF;
        COMSTAT st;
        EXPECT_TRUE(ClearCommError(h, &e, &st));
        *waiting = st.cbInQue;
        return e;
    }
    DWORD Modem() { DWORD b = 0xFFFF; EXPECT_TRUE(GetCommModemStatus(h, &b)); return b; }
};

TEST_F(LoopPort, WiringFollowsTheOutputLines) {
    const DWORD all = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    struct Case { DWORD funcs[3]; DWORD modem; } cases[] = {
        {{0, 0, 0}, 0}, {{SETRTS, 0, 0}, MS_CTS_ON}, {{SETDTR, 0, 0}, MS_DSR_ON | MS_RLSD_ON},
        {{SETDTR, SETRTS, 0}, all}, {{SETDTR, SETRTS, CLRDTR}, MS_CTS_ON},
        {{SETRTS, SETDTR, CLRRTS}, MS_DSR_ON | MS_RLSD_ON}, {{SETBREAK, SETDTR, CLRBREAK}, MS_DSR_ON | MS_RLSD_ON},
    };
    for (const Case& c : cases) {
        EscapeCommFunction(h, CLRDTR);
        EscapeCommFunction(h, CLRRTS);
        for (DWORD f : c.funcs) EXPECT_TRUE(f == 0 || EscapeCommFunction(h, f));
        EXPECT_EQ(Modem(), c.modem) << c.funcs[0] << " " << c.funcs[1] << " " << c.funcs[2];
    }
    for (DWORD f : {SETXOFF, RESETDEV, 0u, 10u}) {
        EXPECT_FALSE(EscapeCommFunction(h, f));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(LoopPort, ReadWaitsOutItsTimeOutOnlyWhenNothingWaits) {
    COMMTIMEOUTS t = {100, 100, 150, 100, 150};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    unsigned char c = 0;
    DWORD got = 9;
    long long start = MonotonicMs();
    EXPECT_TRUE(ReadFile(h, &c, 1, &got, nullptr));
    long long waited = MonotonicMs() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 240);
    EXPECT_LE(waited, 600);
    Write("\xFF", 1);
    start = MonotonicMs();
    EXPECT_TRUE(ReadFile(h, &c, 1, &got, nullptr));
    EXPECT_LT(MonotonicMs() - start, 50);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(c, 0xFFu);
}

TEST_F(LoopPort, BreakLosesBytesAndIsReportedOnceAndPurgeDiscards) {
    DWORD waiting = 0;
    Write("a", 1);
    ASSERT_TRUE(EscapeCommFunction(h, SETBREAK));
    Write("bc", 2);
    ASSERT_TRUE(EscapeCommFunction(h, CLRBREAK));
    Write("d", 1);
    EXPECT_EQ(Errors(&waiting), CE_BREAK);
    EXPECT_EQ(Errors(&waiting), 0u);
    char buf[8] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "ad");
    Write("xyz", 3);
    EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    Errors(&waiting);
    EXPECT_EQ(waiting, 3u);
    EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    Errors(&waiting);
    EXPECT_EQ(waiting, 0u);
}

TEST_F(LoopPort, SettingsAreCheckedAndKeptAndEnableRaisesTheLines) {
    DCB kept, now;
    ASSERT_TRUE(GetCommState(h, &kept));
    EXPECT_EQ(kept.DCBlength, sizeof(DCB));
    EXPECT_EQ(kept.BaudRate, 9600u);
    struct Case { DWORD baud; BYTE bits, parity, stop; } refused[] = {
        {0, 8, NOPARITY, ONESTOPBIT}, {9600, 4, NOPARITY, ONESTOPBIT}, {9600, 9, NOPARITY, ONESTOPBIT},
        {9600, 8, 5, ONESTOPBIT}, {9600, 8, NOPARITY, 3}, {9600, 5, NOPARITY, TWOSTOPBITS},
        {9600, 8, NOPARITY, ONE5STOPBITS},
    };
    for (const Case& c : refused) {
        DCB dcb = kept;
        dcb.BaudRate = c.baud, dcb.ByteSize = c.bits, dcb.Parity = c.parity, dcb.StopBits = c.stop;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        EXPECT_FALSE(SetCommState(h, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        ASSERT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(std::memcmp(&now, &kept, sizeof now), 0);
        EXPECT_EQ(Modem(), 0u);
    }
    kept.BaudRate = 115200;
    kept.fDtrControl = DTR_CONTROL_ENABLE;
    kept.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &kept));
    EXPECT_EQ(Modem(), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    kept.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &kept));
    EXPECT_EQ(Modem(), MS_CTS_ON);
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(now.BaudRate, 115200u);
}

TEST_F(LoopPort, OneOpenAtATimeAndClosedHandlesAreRefused) {
    EXPECT_EQ(LoopOpen(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(h));
    DWORD bits;
    EXPECT_FALSE(GetCommModemStatus(h, &bits));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    h = LoopOpen();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

TEST_F(LoopPort, FullRingLosesBytesAndFlagsOverflow) {
    COMMPROP prop;
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ(prop.dwMaxTxQueue - prop.dwCurrentTxQueue, kNominalTxQueue);
    static char block[1024];
    for (DWORD sent = 0; sent <= prop.dwMaxRxQueue; sent += sizeof block) Write(block, sizeof block);
    DWORD waiting = 0;
    EXPECT_EQ(Errors(&waiting), CE_RXOVER);
    EXPECT_EQ(waiting, prop.dwMaxRxQueue);
    EXPECT_EQ(Errors(&waiting), 0u);
}

}  // namespace
