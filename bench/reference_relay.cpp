// The reference relay: the floor that the kernel allows for the server's job, for the benchmark
// to measure the server against. A busy loop like the server's that does one non-blocking
// receive and, for a state packet, one send per player through that player's own socket, and
// nothing else: no console key, no stop request, no slot matching, no clock, no timeouts, no
// kills. Joins are answered (the first 8 addresses get slots 0 to 7) only so that the same
// simulated players can drive it.
//
//   nightcomet-reference-relay PORT OTHERPORT
#include <array>
#include <cstdio>
#include <cstdlib>

#include "net/net.h"
#include "platform/platform.h"

namespace {

constexpr int MAX_PLAYERS = 8;
constexpr int RECEIVE_BUFFER_SIZE = 40;

std::uint16_t NetworkPort(long port) {
    return HostToNetwork16(static_cast<std::uint16_t>(port & 0xFFFF));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: nightcomet-reference-relay PORT OTHERPORT\n");
        return 2;
    }
    const std::uint16_t port = NetworkPort(std::strtol(argv[1], nullptr, 10));
    const std::uint16_t otherPort = NetworkPort(std::strtol(argv[2], nullptr, 10));
    PlatformStartSockets();
    const SocketHandle listener = PlatformOpenUdpSocket();
    PlatformSetNonBlocking(listener);
    if (listener == INVALID_SOCKET_HANDLE ||
        PlatformBind(listener, InetAddress{ADDRESS_FAMILY_INET, port, 0, {}}) != 0) {
        std::printf("bind failed: %d\n", PlatformLastSocketError());
        return 1;
    }
    std::printf("Listening on %s\n", argv[1]);
    std::fflush(stdout);

    std::array<SocketHandle, MAX_PLAYERS> sockets{};
    std::array<InetAddress, MAX_PLAYERS> players{};
    int playerCount = 0;
    std::array<std::uint8_t, RECEIVE_BUFFER_SIZE> buffer{};
    for (;;) {
        InetAddress from{};
        const int length = PlatformReceiveFrom(listener, buffer.data(), RECEIVE_BUFFER_SIZE, &from);
        if (length == 16) {
            for (int index = 0; index < playerCount; ++index) {
                PlatformSendTo(sockets[index], buffer.data(), 16, players[index]);
            }
        } else if (length == 11 && playerCount < MAX_PLAYERS) {
            sockets[playerCount] = PlatformOpenUdpSocket();
            PlatformSetNonBlocking(sockets[playerCount]);
            players[playerCount] = InetAddress{ADDRESS_FAMILY_INET, otherPort, from.address, {}};
            const std::uint8_t reply[4] = {static_cast<std::uint8_t>(playerCount), 0, 0, 0};
            PlatformSendTo(sockets[playerCount], reply, 4, players[playerCount]);
            ++playerCount;
        }
    }
}
