// A platform for tests and fuzz harnesses: a clock that the test sets, sockets that record what
// is sent and hand out what the test queues, keys that the test presses, and failures on demand.
// It implements platform/platform.h, so the server's modules link against it unchanged.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct Datagram {
    SocketHandle handle;  // the socket it was sent through (0 for a queued incoming datagram)
    InetAddress address;  // destination of a sent datagram, source of an incoming one
    std::vector<std::uint8_t> bytes;
};

// Every socket handle the fake hands out is at least this, so that it is never mistaken for a
// zeroed handle.
inline constexpr SocketHandle FIRST_HANDLE = 1000;

struct State {
    std::uint32_t clock = 0;
    std::vector<Datagram> sent;
    std::deque<Datagram> incoming;  // taken by PlatformReceiveFrom, front first
    std::set<SocketHandle> openSockets;
    std::vector<SocketHandle> closedSockets;
    SocketHandle nextHandle = FIRST_HANDLE;
    int sendError = 0;     // when non-zero, every send fails with it
    int socketError = 0;   // when non-zero, PlatformOpenUdpSocket fails with it
    int bindError = 0;     // when non-zero, PlatformBind fails with it
    int receiveError = 0;  // when non-zero and nothing is queued, receives fail with it
    int keysWaiting = 0;
    int keysTaken = 0;
    int timerStarts = 0;
    std::uint32_t timerPeriod = 0;
    void (*timerRoutine)() = nullptr;
};

extern State state;

// Back to a new State.
void Reset();

// An IPv4 address a.b.c.d as the server holds it (first octet in the lowest byte).
constexpr std::uint32_t Address(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
           static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

// Queues a datagram from address for the next receive.
void Queue(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

}  // namespace fake
