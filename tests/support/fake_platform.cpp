#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>

namespace fake {

State state;
namespace {
thread_local int lastError = 0;
}

void Reset() {
    state = State{};
}

void Queue(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    InetAddress source{};
    source.family = ADDRESS_FAMILY_INET;
    source.address = address;
    state.incoming.push_back(Datagram{0, source, bytes});
}

}  // namespace fake

using fake::state;

int PlatformStartSockets() {
    return 0;
}

SocketHandle PlatformOpenUdpSocket() {
    if (state.socketError != 0) {
        fake::lastError = state.socketError;
        return INVALID_SOCKET_HANDLE;
    }
    const SocketHandle handle = state.nextHandle++;
    state.openSockets.insert(handle);
    return handle;
}

void PlatformSetNonBlocking(SocketHandle) {}

int PlatformBind(SocketHandle, const InetAddress&) {
    if (state.bindError != 0) {
        fake::lastError = state.bindError;
        return -1;
    }
    return 0;
}

int PlatformSendTo(SocketHandle handle, const void* data, int length, const InetAddress& to) {
    if (state.sendError != 0) {
        fake::lastError = state.sendError;
        return -1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    state.sent.push_back(fake::Datagram{handle, to, {bytes, bytes + length}});
    return length;
}

int PlatformReceiveFrom(SocketHandle, void* buffer, int size, InetAddress* from) {
    if (state.incoming.empty()) {
        fake::lastError = state.receiveError != 0 ? state.receiveError : SOCKET_ERROR_WOULD_BLOCK;
        return -1;
    }
    const fake::Datagram datagram = state.incoming.front();
    state.incoming.pop_front();
    const int length = static_cast<int>(datagram.bytes.size());
    // std::copy, not memcpy: a zero-length datagram has no data pointer to copy from.
    std::copy_n(datagram.bytes.begin(), std::min(length, size), static_cast<std::uint8_t*>(buffer));
    *from = datagram.address;
    if (length > size) {
        fake::lastError = SOCKET_ERROR_MESSAGE_TOO_LONG;
        return -1;
    }
    return length;
}

void PlatformCloseSocket(SocketHandle handle) {
    state.openSockets.erase(handle);
    state.closedSockets.push_back(handle);
}

int PlatformLastSocketError() {
    return fake::lastError;
}

void PlatformStartClock() {}

std::uint32_t PlatformMilliseconds() {
    return state.clock;
}

void PlatformStartPeriodicTimer(std::uint32_t periodMs, void (*routine)()) {
    ++state.timerStarts;
    state.timerPeriod = periodMs;
    state.timerRoutine = routine;
}

void PlatformOpenConsole() {}

void PlatformSetConsoleTitle(const char*) {}

bool PlatformKeyWaiting() {
    return state.keysWaiting > 0;
}

void PlatformTakeKey() {
    --state.keysWaiting;
    ++state.keysTaken;
}

bool PlatformStopRequested() {
    return false;
}

void PlatformEndAfterStop() {
    std::abort();
}

bool PlatformSyncFile(std::FILE* file) {
    return std::fflush(file) == 0;
}

bool PlatformReplaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}
