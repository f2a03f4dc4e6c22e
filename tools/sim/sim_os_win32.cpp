#include <io.h>
#include <stdio.h>
#include <winsock2.h>

#include <array>

#include "sim_os.h"

bool WaitReadable(std::span<const SocketHandle> sockets, std::int64_t timeoutMicroseconds) {
    constexpr std::size_t MAX_WAIT_SOCKETS = 64;
    std::array<WSAPOLLFD, MAX_WAIT_SOCKETS> polls{};
    const std::size_t count = sockets.size() < MAX_WAIT_SOCKETS ? sockets.size() : MAX_WAIT_SOCKETS;
    for (std::size_t index = 0; index < count; ++index) {
        polls[index].fd = static_cast<SOCKET>(sockets[index]);
        polls[index].events = POLLRDNORM;
    }
    // WSAPoll counts in whole milliseconds: round up, so that a short wait still waits.
    const INT timeout =
        timeoutMicroseconds <= 0 ? 0 : static_cast<INT>((timeoutMicroseconds + 999) / 1000);
    return WSAPoll(polls.data(), static_cast<ULONG>(count), timeout) > 0;
}

void SetReceiveBuffer(SocketHandle socket, int bytes) {
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}
