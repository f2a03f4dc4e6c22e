// Datagram endpoints: the thin layer through which all of the server's network traffic passes.
//
// The server uses two kinds of endpoint: one bound listening endpoint on which every datagram
// from every player arrives, and one unbound sending endpoint per player slot through which
// everything for that player leaves. All endpoints are non-blocking.
#pragma once

#include <bit>
#include <cstdint>

#include "platform/platform.h"

// A socket paired with one IPv4 address: the local address of a listening endpoint, or the
// destination of everything sent through a sending endpoint. A small value, copied freely.
struct Endpoint {
    SocketHandle handle;
    InetAddress address;
};

// What one receive attempt yields.
struct ReceiveResult {
    std::uint32_t fromAddress;  // source IPv4 address, octets in transmission order; 0 if none
    std::int32_t length;        // bytes received, or -1 when nothing was received
    std::int32_t received;      // 1 when a datagram was taken, 0 when none was waiting
};

// Every local IPv4 address, for the listening endpoint.
inline constexpr std::uint32_t ANY_ADDRESS = 0;

// A 16-bit value in network byte order (the job of htons).
constexpr std::uint16_t HostToNetwork16(std::uint16_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::uint16_t>((value >> 8) | (value << 8));
    } else {
        return value;
    }
}

// Starts the socket library and gives the millisecond clock 1 ms precision. Fatal on failure.
void InitNetwork();

// A new non-blocking UDP socket whose address is {IPv4, the low 16 bits of port, address}.
// Fatal when no socket can be made.
Endpoint CreateSendEndpoint(int port, std::uint32_t address);

// As CreateSendEndpoint, then bound to its address. Fatal on failure.
Endpoint CreateListenEndpoint(int port, std::uint32_t address);

void CloseEndpoint(const Endpoint& endpoint);

// Sends one datagram to the endpoint's address. A datagram that the network cannot take now
// (no buffer space, would block, destination unreachable or refusing) is dropped: UDP is lossy,
// and the next state packet follows within milliseconds. Any other failure is fatal.
void SendDatagram(const Endpoint& endpoint, const void* data, int length);

// Takes at most one datagram, never waits. A datagram longer than size is discarded whole and
// reported as nothing received. Any failure but "nothing waiting" is fatal.
ReceiveResult ReceiveDatagram(const Endpoint& endpoint, void* buffer, int size);

// Whether a send failure with this error number only costs the one datagram.
bool IsDroppableSendError(int error);

// Prints the message (format with error as its one %d), then ends the process with status 0.
[[noreturn]] void FatalSocketError(const char* format, int error);
