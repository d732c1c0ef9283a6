// Internal to the remote port: what a port name of the form
// rfc2217://host:port or tcp://host:port says, and the connection to it.
// The host (a name, an IPv4 address, or an IPv6 address in brackets) is
// resolved once, at open; later connections go to the address that served
// the first, so a lost connection is tried again without asking any name
// service, and nothing but the named host is ever contacted. Connections
// are made without blocking: the caller waits for them as it waits for
// anything else.
#pragma once

#include <sys/socket.h>

constexpr int kRemoteMaxAddresses = 4;

struct RemoteAddress {
    bool comPort;  // rfc2217:// (telnet with COM-PORT-OPTION); false: tcp:// (raw)
    int count;     // addresses found for the host, in the resolver's order
    sockaddr_storage address[kRemoteMaxAddresses];
    socklen_t length[kRemoteMaxAddresses];
};

// Parses and resolves a name RemoteIsUrl (win32/provider.h) accepts. A malformed name, a port
// out of 1..65535 or an unknown host fail with ERROR_FILE_NOT_FOUND set.
bool RemoteResolve(const char* name, RemoteAddress& a);

// Starts a connection to address `index`: a non-blocking socket, or -1 with
// errno set when it failed at once.
int RemoteConnectStart(const RemoteAddress& a, int index);

// Where a started connection stands: 1 made, 0 still going, -1 failed.
int RemoteConnectDone(int fd);
