// Internal to the remote port: one connection to a port server and what
// survives its loss (remote/link.cpp).
//
// A link is gone, connecting, negotiating or ready. Connecting and
// negotiating are bounded (kLinkBoundMs); a connection that fails, closes or
// runs out of that bound leaves the link gone, and the next attempt is due
// kLinkRetryMs later, made only from the calls the program makes anyway.
// On every new connection the link asks for the server's modem state
// (SET-MODEMSTATE-MASK 255 after its WILL COM-PORT-OPTION) and for its
// receive errors (SET-LINESTATE-MASK: break, framing, parity, overrun), sends the line
// settings last applied (or, before any, asks for the server's own), and
// puts DTR, RTS and break back as last set. It is ready once the server has
// acknowledged the settings and told its modem state; data that arrives
// before that is held, and dropped if the connection ends first, so a
// server's own complaint never shows as received data. A raw (tcp://) link
// is ready as soon as it is connected.
//
// Each look at the server reads at most a few chunks, so a server that
// floods (data, or telnet commands that carry none) never holds a call up
// for long; telnet's answers to the server never wait for room to send.
// Received data is dropped only while a connection negotiates and the ring
// is full; that is kept as an overrun (ClearCommError's CE_RXOVER).
//
// Bytes to send are gathered and go out in few send() calls: when
// kGatherMax have gathered, when the first of them is kGatherNs old, before
// any command to the server, and before the read wait blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../win32/provider.h"
#include "connect.h"
#include "telnet_codec.h"

constexpr long kLinkBoundMs = 5000;      // connect, then negotiate, each within this
constexpr long kLinkRetryMs = 250;       // between attempts on a lost connection
constexpr long kCloseDrainMs = 250;      // a close waits this long for the server's
constexpr size_t kLinkRing = 65536;      // received data not yet read
constexpr size_t kGatherMax = 4096;      // bytes gathered before they must go
constexpr long long kGatherNs = 1000000; // ... and how long the first may wait
constexpr unsigned kGatherAgeEvery = 8;  // (looked at every this many writes)
constexpr size_t kLinkLineErrors = 32;   // line errors kept at their places in the ring

enum class LinkPhase { kGone, kConnecting, kNegotiating, kReady };

struct RemoteLink {
    RemoteAddress address;
    int index;               // the address connected to
    int fd;                  // -1 while gone
    LinkPhase phase;
    long long boundMs;       // when connecting or negotiating runs out
    long long nextTryMs;     // next attempt while gone
    TelnetState telnet;
    // What a new connection is given.
    bool haveSettings;
    uint8_t baud[4], dataSize, parity, stopSize, flow;
    bool dtr, rts, brk;
    bool controlDead;        // a DTR or RTS request went unanswered on this connection
    // Received data: ring[ringStart .. +ringCount); the last `held` of them
    // came on a connection not ready yet.
    uint8_t ring[kLinkRing];
    size_t ringStart, ringCount, held;
    bool overrun;            // data was lost for want of room
    // Receive errors the server told of (NOTIFY-LINESTATE), as CE_ bits,
    // each at its place: after `at` more bytes are taken from the ring.
    struct LineError {
        size_t at;
        uint32_t bits;
    } lineErrors[kLinkLineErrors];
    size_t lineErrorCount;
    uint32_t lineErrorsDue;  // places reached: for the next ClearCommError
    // Encoded bytes to send.
    uint8_t gather[2 * kGatherMax];
    size_t gatherCount;
    long long gatherSinceNs;
    unsigned gatherCalls;    // writes since the first gathered byte
    int sendError;           // errno of a failed send of gathered bytes, not yet reported
};

// Resolves `name`, connects and negotiates within the bound. False with the
// error set (the link is then closed).
bool LinkOpen(RemoteLink& l, const char* name);

// Sends what is gathered (within a second), shuts its sending side down,
// waits up to kCloseDrainMs for the server to close (dropping what it
// sends), and closes. False with the error set when gathered bytes did not
// go out.
bool LinkClose(RemoteLink& l);

// Moves the link on without waiting: an attempt when one is due, a
// connection's progress, everything the server has sent (up to the ring's
// room), the answers telnet owes.
void LinkPoll(RemoteLink& l);

// Waits up to `ms` for the link (data, progress, or the next attempt's time)
// or a console key, as WaitForPortOrKey does.
PortWait LinkWait(RemoteLink& l, long ms);

// Received data that may be read now. A take stops at the place of a
// receive error, which is then due (lineErrorsDue; `*reached` tells).
size_t LinkReadable(const RemoteLink& l);
size_t LinkTake(RemoteLink& l, uint8_t* out, size_t n, bool* reached = nullptr);

// Gathers data to send (encoded, IAC doubled on a telnet link); sends when
// the rules above say so. False with the error set when a send failed, this
// one or an earlier one of gathered bytes (reported once).
bool LinkGather(RemoteLink& l, const uint8_t* data, size_t n, long totalMs);

// Sends what is gathered, within `ms`; a failure is kept in sendError for
// the next write (or flush) to report.
void LinkSendGathered(RemoteLink& l, long ms);

// Sends what is gathered now. False with the error set when it, or an
// earlier send of gathered bytes, failed.
bool LinkFlush(RemoteLink& l, long ms);

// Sends what is gathered (LinkSendGathered), then the COM-PORT command, and waits up to `ms`
// for the acknowledgement group `ack` (0: none). Data that comes meanwhile
// goes to the ring; once the ring is full, the rest stays in the socket and
// the command counts as sent, its answer being behind data the caller has
// not read. False with the error set when the link is not ready, a send
// failed, or no acknowledgement came (ERROR_GEN_FAILURE: the server is not
// answering).
bool LinkCommand(RemoteLink& l, uint8_t command, const uint8_t* value, size_t length, uint32_t ack, long ms);

// A console key is waiting.
bool LinkKeyReady();

// The connection is lost: closed, the link gone, data held for it dropped.
void LinkLost(RemoteLink& l);
