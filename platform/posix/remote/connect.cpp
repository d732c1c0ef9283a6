// Names, addresses and connections of the remote port (remote/connect.h).
#include "connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../win32/provider.h"

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kTcp[] = "tcp://";

bool HasPrefix(const char* name, const char* prefix) { return std::strncmp(name, prefix, std::strlen(prefix)) == 0; }

// "host:port" or "[v6]:port" into its parts; false when malformed.
bool Split(const char* text, char* host, size_t room, char* port, bool* bracketed) {
    const char* colon;
    const char* hostStart = text;
    size_t hostLength;
    *bracketed = text[0] == '[';
    if (*bracketed) {
        const char* close = std::strchr(text, ']');
        if (close == nullptr || close[1] != ':') return false;
        ++hostStart;
        hostLength = size_t(close - hostStart);
        colon = close + 1;
    } else {
        colon = std::strchr(text, ':');
        if (colon == nullptr || std::strchr(colon + 1, ':') != nullptr) return false;
        hostLength = size_t(colon - text);
    }
    if (hostLength == 0 || hostLength >= room) return false;
    std::memcpy(host, hostStart, hostLength);
    host[hostLength] = '\0';
    const char* p = colon + 1;
    size_t digits = std::strlen(p);
    if (digits == 0 || digits > 5) return false;
    unsigned long value = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + unsigned(p[i] - '0');
    }
    if (value == 0 || value > 65535) return false;
    std::memcpy(port, p, digits + 1);
    return true;
}

}  // namespace

bool RemoteIsUrl(const char* name) { return HasPrefix(name, kRfc2217) || HasPrefix(name, kTcp); }

bool RemoteResolve(const char* name, RemoteAddress& a) {
    std::memset(&a, 0, sizeof a);
    a.comPort = HasPrefix(name, kRfc2217);
    const char* rest = name + std::strlen(a.comPort ? kRfc2217 : kTcp);
    char host[256];
    char port[8];
    bool bracketed = false;
    if (!Split(rest, host, sizeof host, port, &bracketed)) return FailWith(ERROR_FILE_NOT_FOUND);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = bracketed ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (bracketed ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) return FailWith(ERROR_FILE_NOT_FOUND);
    for (addrinfo* ai = found; ai != nullptr && a.count < kRemoteMaxAddresses; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof a.address[0]) continue;
        std::memcpy(&a.address[a.count], ai->ai_addr, ai->ai_addrlen);
        a.length[a.count] = ai->ai_addrlen;
        ++a.count;
    }
    freeaddrinfo(found);
    return a.count > 0 || FailWith(ERROR_FILE_NOT_FOUND);
}

int RemoteConnectStart(const RemoteAddress& a, int index) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&a.address[index]);
    int fd = socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Bytes are gathered here before they are sent: no second delay in TCP.
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanishes without closing (power, cable) is found lost
    // within about 15 s instead of TCP's many minutes.
    const int idle = 5, interval = 2, count = 3;
    const unsigned userTimeoutMs = 15000;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    if (connect(fd, to, a.length[index]) == 0 || errno == EINPROGRESS) return fd;
    int err = errno;
    close(fd);
    errno = err;
    return -1;
}

int RemoteConnectDone(int fd) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    int err = 0;
    socklen_t length = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 1;
}
