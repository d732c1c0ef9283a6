// The transfer engine against lrzsz (sx, sb, rx, rb) on a pty pair: the
// port opened with the real driver, lrzsz on a socket whose other end a
// relay thread joins to the pty master, corrupting or dropping bytes where
// a case asks. Each command both ways with files of the sizes that meet the
// block edges; retries after a corrupted block and a lost ACK; a receiver
// that cancels; refused YMODEM names; an abort from the keyboard. Skipped
// where lrzsz is missing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../driver/serial_driver.h"
#include "../../monitor/transfer.h"
#include "../../monitor/transfer_block.h"
#include "../../monitor/transfer_port.h"
#include "../../monitor/transfer_text.h"
#include "../unit/fake_console.h"

namespace {

constexpr int kPort = 61;

enum class Fault { kNone, kCorrupt, kDropAck, kCancel, kStall };

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

bool HaveLrzsz() { return system("command -v sx sb rx rb >/dev/null 2>&1") == 0; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(g());
    return s;
}

// XMODEM carries no size: the file is what was sent, filled with 0x1A to a block's end.
bool PaddedCopy(const std::string& got, const std::string& sent) {
    if (got.size() < sent.size() || got.size() - sent.size() >= 1024 || got.compare(0, sent.size(), sent) != 0) {
        return false;
    }
    return got.find_first_not_of('\x1a', sent.size()) == std::string::npos;
}

// The pty, the port open on its slave, and the relay between its master and
// a socket for lrzsz.
struct Line {
    int master = -1;
    int sockets[2] = {-1, -1};  // [0] the relay's, [1] lrzsz's
    std::thread relay;
    std::atomic<bool> stop{false};
    std::atomic<long> toPeer{0}, fromPeer{0};
    Fault fault = Fault::kNone;
    bool weSend = true;
    std::string dir;

    Line() {
        char tmpl[] = "/tmp/dorvalix-transfer-XXXXXX";
        dir = mkdtemp(tmpl);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        setenv(("DORVALIX_COM" + std::to_string(kPort)).c_str(), ptsname(master), 1);
        if (!OpenCOM(kPort, 115200, 8, 1, 0)) return;
        socketpair(AF_UNIX, SOCK_STREAM, 0, sockets);
    }
    ~Line() {
        stop = true;
        if (relay.joinable()) relay.join();
        ReleaseCOM();
        for (int fd : {master, sockets[0], sockets[1]}) {
            if (fd >= 0) close(fd);
        }
        system(("rm -rf '" + dir + "'").c_str());
    }
    bool ok() const { return PortHandle != INVALID_HANDLE_VALUE && sockets[0] >= 0; }

    static bool WriteAll(int fd, const char* p, size_t n) {
        long long end = NowMs() + 5000;
        while (n > 0 && NowMs() < end) {
            ssize_t w = write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
            } else {
                pollfd q = {fd, POLLOUT, 0};
                poll(&q, 1, 100);
            }
        }
        return n == 0;
    }

    // Data bytes go from the sender; answers (ACK) come from the receiver.
    void Relay() {
        int acks = 0;
        bool faulted = false;
        char buf[4096];
        long long end = NowMs() + 60000;
        while (!stop && NowMs() < end) {
            pollfd p[2] = {{master, POLLIN, 0}, {sockets[0], POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            for (int side = 0; side < 2; ++side) {
                if (!(p[side].revents & POLLIN)) continue;
                ssize_t n = read(p[side].fd, buf, sizeof buf);
                if (n <= 0) continue;
                bool fromSender = (side == 0) == weSend;
                std::atomic<long>& count = side == 0 ? toPeer : fromPeer;
                long before = count;
                count += n;
                if (fault == Fault::kStall && side == 1 && count > 20000) continue;
                if (!faulted && fault == Fault::kCorrupt && fromSender && before <= 3000 && count > 3000) {
                    buf[3000 - before] ^= 0x40;
                    faulted = true;
                }
                if (!faulted && fault == Fault::kDropAck && !fromSender) {
                    for (ssize_t i = 0; i < n; ++i) {
                        if (buf[i] == 0x06 && ++acks == 3) {
                            std::memmove(buf + i, buf + i + 1, size_t(n - i - 1));
                            --n;
                            faulted = true;
                            break;
                        }
                    }
                }
                if (fault == Fault::kCancel && !fromSender && (weSend ? toPeer : fromPeer) > 20000) {
                    if (!faulted) WriteAll(master, "\x18\x18", 2);
                    faulted = true;
                    continue;
                }
                WriteAll(side == 0 ? sockets[0] : master, buf, size_t(n));
            }
        }
    }
    void StartRelay() { relay = std::thread([this] { Relay(); }); }
};

// An lrzsz program on the line, run in `folder`.
pid_t StartPeer(Line& line, const std::string& folder, const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        dup2(line.sockets[1], 0);
        dup2(line.sockets[1], 1);
        int err = open((line.dir + "/peer.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) dup2(err, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Its exit status; killed (and -1) when it has not ended within `ms`.
int WaitPeer(pid_t pid, int ms = 15000) {
    long long end = NowMs() + ms;
    int status = 0;
    while (NowMs() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TransferTimings ShortTimings() {
    TransferTimings t;
    t.blockTimeoutMs = 1000;
    t.startTryMs = 500;
    t.startTimeoutMs = 10000;
    return t;
}

void RunEngine(bool send, TransferProtocol protocol, const std::vector<std::string>& paths, TransferResult* result,
               TransferPort* port) {
    TransferIo io = DriverTransferIo(port);
    std::vector<const char*> p;
    for (auto& s : paths) p.push_back(s.c_str());
    if (send) TransferSend(protocol, p.data(), int(p.size()), io, ShortTimings(), result);
    else TransferReceive(protocol, p.empty() ? nullptr : p[0], io, ShortTimings(), result);
}

struct Case {
    TransferProtocol protocol;
    bool send;
    Fault fault;
    std::vector<std::string> peer;  // lrzsz command; the file's name follows where it sends or takes one
};

// One transfer of `size` bytes; `why` tells the case in failures.
void RunCase(const Case& c, size_t size, const std::string& why) {
    SCOPED_TRACE(why);
    ResetFakeConsole();
    fakeConsole.dryLimit = ~0u;
    Line line;
    ASSERT_TRUE(line.ok()) << StatusText;
    line.fault = c.fault;
    line.weSend = c.send;
    std::string src = line.dir + "/src", dst = line.dir + "/dst";
    mkdir(src.c_str(), 0755);
    mkdir(dst.c_str(), 0755);
    std::string name = "f" + std::to_string(size) + ".bin";
    std::string bytes = RandomBytes(size, unsigned(size));
    WriteFile(src + "/" + name, bytes);
    std::vector<std::string> args = c.peer;
    if (c.protocol != TransferProtocol::kYmodem || !c.send) args.push_back(name);
    line.StartRelay();
    pid_t peer = StartPeer(line, c.send ? dst : src, args);
    TransferResult result;
    TransferPort port;
    bool ymodem = c.protocol == TransferProtocol::kYmodem;
    RunEngine(c.send, c.protocol, {c.send ? src + "/" + name : ymodem ? dst : dst + "/" + name}, &result, &port);
    int status = WaitPeer(peer);
    char text[1024];
    FormatTransferResult(result, text, sizeof text);
    if (c.fault == Fault::kCancel) {
        EXPECT_EQ(result.outcome, TransferOutcome::kCancelled) << text;
        return;
    }
    ASSERT_EQ(result.outcome, TransferOutcome::kDone) << text << "\npeer: " << ReadFile(line.dir + "/peer.err");
    EXPECT_EQ(status, 0) << ReadFile(line.dir + "/peer.err");
    if (c.fault != Fault::kNone) {
        EXPECT_GE(result.retries, 1u) << text;
    }
    std::string got = ReadFile(dst + "/" + name);
    if (ymodem) EXPECT_TRUE(got == bytes) << got.size() << " bytes of " << size;
    else EXPECT_TRUE(PaddedCopy(got, bytes)) << got.size() << " bytes of " << size;
    EXPECT_EQ(result.bytes, ymodem || !c.send ? got.size() : size);
    // Nothing but the file in the folder: no temporary file left.
    EXPECT_EQ(system(("test $(ls -A '" + dst + "' | wc -l) -eq 1").c_str()), 0);
}

TEST(Transfer, EachCommandBothWaysAtTheBlockEdges) {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz (sx, sb, rx, rb) is not installed";
    const Case cases[] = {
        {TransferProtocol::kXmodem, true, Fault::kNone, {"rx", "-q"}},  // the receiver asks for checksums
        {TransferProtocol::kXmodem1k, true, Fault::kNone, {"rx", "-q", "-c"}},
        {TransferProtocol::kYmodem, true, Fault::kNone, {"rb", "-q"}},
        {TransferProtocol::kXmodem, false, Fault::kNone, {"sx", "-q"}},
        {TransferProtocol::kXmodem1k, false, Fault::kNone, {"sx", "-q", "-k"}},
        {TransferProtocol::kYmodem, false, Fault::kNone, {"sb", "-q"}},
    };
    for (const Case& c : cases) {
        for (size_t size : {0, 1, 127, 128, 129, 1023, 1024, 1025, 102400}) {
            RunCase(c, size, c.peer[0] + " " + std::to_string(size));
        }
    }
}

TEST(Transfer, RetriesAfterACorruptedBlockOrALostAck) {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz (sx, sb, rx, rb) is not installed";
    const Case cases[] = {
        {TransferProtocol::kYmodem, true, Fault::kCorrupt, {"rb", "-q"}},
        {TransferProtocol::kYmodem, true, Fault::kDropAck, {"rb", "-q"}},
        {TransferProtocol::kXmodem1k, true, Fault::kDropAck, {"rx", "-q", "-c"}},
        {TransferProtocol::kYmodem, false, Fault::kCorrupt, {"sb", "-q"}},
        {TransferProtocol::kXmodem, false, Fault::kCorrupt, {"sx", "-q"}},
        {TransferProtocol::kYmodem, true, Fault::kCancel, {"rb", "-q"}},  // the receiver cancels
    };
    for (const Case& c : cases) RunCase(c, 102400, c.peer[0] + " fault " + std::to_string(int(c.fault)));
}

// A key while sb sends: CAN CAN CAN goes out, sb gives up, no file stays.
TEST(Transfer, AKeyAborts) {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz (sx, sb, rx, rb) is not installed";
    for (int key : {int('q'), 0xFF}) {
        ResetFakeConsole();
        fakeConsole.dryLimit = ~0u;
        Line line;
        ASSERT_TRUE(line.ok());
        line.fault = Fault::kStall;
        line.weSend = false;
        WriteFile(line.dir + "/big.bin", RandomBytes(200000, 7));
        std::string dst = line.dir + "/dst";
        mkdir(dst.c_str(), 0755);
        fakeConsole.onKeyTest = [&](unsigned) {
            if (line.fromPeer > 20000 && fakeConsole.keys.empty() && fakeConsole.keyTests < 1000000) {
                fakeConsole.keys = std::string(1, char(key));
                fakeConsole.keyTests = 1000000;
            }
        };
        line.StartRelay();
        pid_t peer = StartPeer(line, line.dir, {"sb", "-q", "big.bin"});
        TransferResult result;
        TransferPort port;
        RunEngine(false, TransferProtocol::kYmodem, {dst}, &result, &port);
        EXPECT_EQ(result.outcome, TransferOutcome::kAborted) << result.reason;
        EXPECT_EQ(port.endSession, key == 0xFF);
        EXPECT_NE(WaitPeer(peer), 0);
        EXPECT_EQ(system(("test -z \"$(ls -A '" + dst + "')\"").c_str()), 0) << "a file was left";
    }
}

// A write that fails (the file size limit here, as a full disk would): CAN
// CAN CAN to the sender, the reason, and no file left.
TEST(Transfer, AWriteErrorEndsTheTransfer) {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz (sx, sb, rx, rb) is not installed";
    ResetFakeConsole();
    fakeConsole.dryLimit = ~0u;
    Line line;
    ASSERT_TRUE(line.ok());
    line.weSend = false;
    WriteFile(line.dir + "/big.bin", RandomBytes(102400, 3));
    std::string dst = line.dir + "/dst";
    mkdir(dst.c_str(), 0755);
    line.StartRelay();
    pid_t peer = StartPeer(line, line.dir, {"sb", "-q", "big.bin"});
    rlimit before, limited;
    getrlimit(RLIMIT_FSIZE, &before);
    limited = before;
    limited.rlim_cur = 50000;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    TransferResult result;
    TransferPort port;
    RunEngine(false, TransferProtocol::kYmodem, {dst}, &result, &port);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(result.outcome, TransferOutcome::kFailed);
    EXPECT_STREQ(result.reason, "cannot write big.bin: File too large");
    EXPECT_NE(WaitPeer(peer), 0);
    EXPECT_EQ(system(("test -z \"$(ls -A '" + dst + "')\"").c_str()), 0) << "a file was left";
}

// A receiver that prints a message with its last ACK, in the same write:
// the message is handed back with the result, and nothing of it is lost.
TEST(Transfer, BytesAfterTheLastAckAreKept) {
    ResetFakeConsole();
    fakeConsole.dryLimit = ~0u;
    Line line;
    ASSERT_TRUE(line.ok());
    WriteFile(line.dir + "/empty.bin", "");
    std::thread receiver([&] {
        Line::WriteAll(line.master, "C", 1);
        char b[64];
        int eots = 0;
        for (long long end = NowMs() + 5000; eots < 2 && NowMs() < end;) {
            pollfd p = {line.master, POLLIN, 0};
            ssize_t k = poll(&p, 1, 50) > 0 ? read(line.master, b, sizeof b) : 0;
            for (ssize_t i = 0; i < k; ++i) {
                if (b[i] == 0x04 && ++eots == 1) Line::WriteAll(line.master, "\x15", 1);
            }
        }
        Line::WriteAll(line.master, "\x06## Done\r\n", 10);
    });
    TransferResult result;
    TransferPort port;
    RunEngine(true, TransferProtocol::kXmodem, {line.dir + "/empty.bin"}, &result, &port);
    receiver.join();
    EXPECT_EQ(result.outcome, TransferOutcome::kDone) << result.reason;
    std::string after(reinterpret_cast<const char*>(result.rest), result.restCount);
    uint8_t more[64];
    for (int i = 0; i < 4 && after.size() < 9; ++i) {
        int n = RxRun(more, int(sizeof more));
        if (n > 0) after.append(reinterpret_cast<const char*>(more), size_t(n));
    }
    EXPECT_EQ(after, "## Done\r\n");
}

// Header blocks a scripted sender offers: each name refused with CAN, nothing written.
TEST(Transfer, RefusedYmodemNames) {
    const struct {
        const char* name;
        const char* reason;
    } names[] = {
        {"../x", "it holds /"},   {"..x", "it holds .."},    {"a\\b", "it holds \\"},
        {"c:x", "drive letter"},  {"a\x01z", "control"},     {"here", "exists"},
    };
    for (const auto& n : names) {
        SCOPED_TRACE(n.name);
        ResetFakeConsole();
        fakeConsole.dryLimit = ~0u;
        Line line;
        ASSERT_TRUE(line.ok());
        WriteFile(line.dir + "/here", "");
        uint8_t data[kBlockMax], frame[kFrameMax];
        size_t size = BuildHeaderData(data, n.name, 5);
        size_t length = BuildBlock(frame, 0, data, size, size, true, 0);
        std::string answers;
        std::thread sender([&] {
            long long end = NowMs() + 5000;
            char b[64];
            bool sent = false;
            while (NowMs() < end && answers.find("\x18\x18\x18") == std::string::npos) {
                pollfd p = {line.master, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                ssize_t k = read(line.master, b, sizeof b);
                if (k > 0) answers.append(b, size_t(k));
                if (!sent && answers.find('C') != std::string::npos) sent = Line::WriteAll(line.master, (const char*)frame, length);
            }
        });
        TransferResult result;
        TransferPort port;
        RunEngine(false, TransferProtocol::kYmodem, {line.dir}, &result, &port);
        sender.join();
        EXPECT_EQ(result.outcome, TransferOutcome::kRefused);
        EXPECT_NE(std::strstr(result.reason, n.reason), nullptr) << result.reason;
        EXPECT_NE(answers.find("\x18\x18\x18"), std::string::npos);
        EXPECT_EQ(system(("test $(ls -A '" + line.dir + "' | wc -l) -eq 1").c_str()), 0) << "a file was written";
    }
}

TEST(Transfer, ResultAndProgressLines) {
    TransferResult r;
    r.protocol = TransferProtocol::kYmodem;
    r.sending = true;
    r.outcome = TransferOutcome::kDone;
    r.files = 1;
    std::strcpy(r.file, "u-boot.bin");
    r.bytes = 524288;
    r.elapsedMs = 47100;
    char text[600];
    FormatTransferResult(r, text, sizeof text);
    EXPECT_STREQ(text, "Sent u-boot.bin by YMODEM: 524288 bytes in 47.1 s (11.1 KB/s), 0 retries");
    r = TransferResult{};
    r.protocol = TransferProtocol::kXmodem;
    std::strcpy(r.reason, "10 retries of block 12 (no answer)");
    FormatTransferResult(r, text, sizeof text);
    EXPECT_STREQ(text, "Receiving by XMODEM failed: 10 retries of block 12 (no answer)");
    TransferProgress p = {TransferProtocol::kXmodem1k, true, "a.bin", 2500, 10000, true, 1000, 1};
    FormatTransferProgress(p, text, sizeof text);
    EXPECT_STREQ(text, "XMODEM-1K send a.bin: 2500 of 10000 bytes (25%), 2.5 KB/s, 3 s left, 1 retry");
}

}  // namespace
