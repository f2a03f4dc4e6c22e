#include "net/net.h"

#include <cstdio>
#include <cstdlib>

#include "console/console.h"

void InitNetwork() {
    const int result = PlatformStartSockets();
    if (result != 0) {
        FatalSocketError("WSAStartup failed: %d", result);
    }
    PlatformStartClock();
}

Endpoint CreateSendEndpoint(int port, std::uint32_t address) {
    Endpoint endpoint{};
    endpoint.handle = PlatformOpenUdpSocket();
    if (endpoint.handle == INVALID_SOCKET_HANDLE) {
        FatalSocketError("socket failed: %d", PlatformLastSocketError());
    }
    PlatformSetNonBlocking(endpoint.handle);
    endpoint.address.family = ADDRESS_FAMILY_INET;
    endpoint.address.port = HostToNetwork16(static_cast<std::uint16_t>(port & 0xFFFF));
    endpoint.address.address = address;
    return endpoint;
}

Endpoint CreateListenEndpoint(int port, std::uint32_t address) {
    const Endpoint endpoint = CreateSendEndpoint(port, address);
    if (PlatformBind(endpoint.handle, endpoint.address) != 0) {
        FatalSocketError("bind failed: %d", PlatformLastSocketError());
    }
    return endpoint;
}

void CloseEndpoint(const Endpoint& endpoint) {
    PlatformCloseSocket(endpoint.handle);
}

bool IsDroppableSendError(int error) {
    switch (error) {
        case SOCKET_ERROR_WOULD_BLOCK:
        case SOCKET_ERROR_INTERRUPTED:
        case SOCKET_ERROR_NO_BUFFER_SPACE:
        case SOCKET_ERROR_NETWORK_DOWN:
        case SOCKET_ERROR_NETWORK_UNREACHABLE:
        case SOCKET_ERROR_HOST_DOWN:
        case SOCKET_ERROR_HOST_UNREACHABLE:
        case SOCKET_ERROR_CONNECTION_REFUSED:
        case SOCKET_ERROR_CONNECTION_RESET:
        // A broadcast destination, or a firewall rule that refuses the packet: a join can come
        // with any source address, so the destination is not the server's to vouch for.
        case SOCKET_ERROR_ACCESS_DENIED:
        // A destination that cannot be sent to at all, such as 0.0.0.0 on Windows: again the
        // join's source address, which anyone can forge.
        case SOCKET_ERROR_ADDRESS_NOT_AVAILABLE:
            return true;
        default:
            return false;
    }
}

void SendDatagram(const Endpoint& endpoint, const void* data, int length) {
    if (PlatformSendTo(endpoint.handle, data, length, endpoint.address) < 0) {
        const int error = PlatformLastSocketError();
        if (!IsDroppableSendError(error)) {
            FatalSocketError("sendto failed: %d", error);
        }
    }
}

ReceiveResult ReceiveDatagram(const Endpoint& endpoint, void* buffer, int size) {
    InetAddress from{};
    ReceiveResult result{0, PlatformReceiveFrom(endpoint.handle, buffer, size, &from), 1};
    if (result.length < 0) {
        const int error = PlatformLastSocketError();
        switch (error) {
            case SOCKET_ERROR_WOULD_BLOCK:
            case SOCKET_ERROR_INTERRUPTED:
            // Too long for the buffer: anyone can send one, so it must not end the server.
            case SOCKET_ERROR_MESSAGE_TOO_LONG:
            // Windows reports an ICMP "port unreachable" for an earlier send on the next
            // receive; the listening endpoint never sends, but that is no reason to stop.
            case SOCKET_ERROR_CONNECTION_RESET:
                return ReceiveResult{0, -1, 0};
            default:
                FatalSocketError("recvfrom returned SOCKET_ERROR, WSAGetLastError() %d", error);
        }
    }
    result.fromAddress = from.address;
    return result;
}

void FatalSocketError(const char* format, int error) {
    {
        // The lock is held to the end, so no other thread's line can follow the message.
        serverLock.lock();
        PrintLocked(format, error);
    }
    std::exit(0);
}
