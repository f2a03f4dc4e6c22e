#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "sim_os.h"

bool WaitReadable(std::span<const SocketHandle> sockets, std::int64_t timeoutMicroseconds) {
    constexpr std::size_t MAX_WAIT_SOCKETS = 64;
    std::array<pollfd, MAX_WAIT_SOCKETS> polls{};
    const std::size_t count = sockets.size() < MAX_WAIT_SOCKETS ? sockets.size() : MAX_WAIT_SOCKETS;
    for (std::size_t index = 0; index < count; ++index) {
        polls[index].fd = static_cast<int>(sockets[index]);
        polls[index].events = POLLIN;
    }
    if (timeoutMicroseconds < 0) {
        timeoutMicroseconds = 0;
    }
    const timespec timeout{static_cast<time_t>(timeoutMicroseconds / 1000000),
                           static_cast<long>(timeoutMicroseconds % 1000000) * 1000};
    const int ready = ppoll(polls.data(), count, &timeout, nullptr);
    return ready > 0;
}

void SetReceiveBuffer(SocketHandle socket, int bytes) {
    const int fd = static_cast<int>(socket);
    // SO_RCVBUFFORCE passes the system's limit when the process may; otherwise the plain request
    // gets as much as the limit allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}
