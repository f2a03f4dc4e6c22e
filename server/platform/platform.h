// What the server needs of the operating system, and nothing more.
//
// One source file implements this header for each system: platform_posix.cpp (Linux and other
// POSIX systems) and platform_win32.cpp (Windows Sockets, the multimedia timer and the Win32
// console). The rest of the server includes only this header, so it never sees a system header
// and never needs a conditional compilation block.
#pragma once

#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Sockets

// Wide enough for a Windows SOCKET (an unsigned pointer-sized integer) and for a POSIX descriptor.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle{0};

// An IPv4 socket address with the exact layout of the system's sockaddr_in (16 bytes):
// family, port in network byte order, the address with its first octet in the lowest byte,
// eight bytes of zero padding.
struct InetAddress {
    std::uint16_t family;
    std::uint16_t port;
    std::uint32_t address;
    std::uint8_t zero[8];
};
static_assert(sizeof(InetAddress) == 16, "InetAddress must match sockaddr_in");

// AF_INET has the value 2 on every system the server runs on.
inline constexpr std::uint16_t ADDRESS_FAMILY_INET = 2;

// Socket error numbers. Every platform reports errors with the Windows Sockets numbers, so a
// fatal message carries the same number on Linux and on Windows.
inline constexpr int SOCKET_ERROR_INTERRUPTED = 10004;            // WSAEINTR
inline constexpr int SOCKET_ERROR_BAD_HANDLE = 10009;             // WSAEBADF
inline constexpr int SOCKET_ERROR_ACCESS_DENIED = 10013;          // WSAEACCES
inline constexpr int SOCKET_ERROR_BAD_ADDRESS = 10014;            // WSAEFAULT
inline constexpr int SOCKET_ERROR_INVALID_ARGUMENT = 10022;       // WSAEINVAL
inline constexpr int SOCKET_ERROR_TOO_MANY_OPEN = 10024;          // WSAEMFILE
inline constexpr int SOCKET_ERROR_WOULD_BLOCK = 10035;            // WSAEWOULDBLOCK
inline constexpr int SOCKET_ERROR_NOT_SOCKET = 10038;             // WSAENOTSOCK
inline constexpr int SOCKET_ERROR_DESTINATION_REQUIRED = 10039;   // WSAEDESTADDRREQ
inline constexpr int SOCKET_ERROR_MESSAGE_TOO_LONG = 10040;       // WSAEMSGSIZE
inline constexpr int SOCKET_ERROR_PROTOCOL_TYPE = 10041;          // WSAEPROTOTYPE
inline constexpr int SOCKET_ERROR_PROTOCOL_UNSUPPORTED = 10043;   // WSAEPROTONOSUPPORT
inline constexpr int SOCKET_ERROR_NOT_SUPPORTED = 10045;          // WSAEOPNOTSUPP
inline constexpr int SOCKET_ERROR_FAMILY_UNSUPPORTED = 10047;     // WSAEAFNOSUPPORT
inline constexpr int SOCKET_ERROR_ADDRESS_IN_USE = 10048;         // WSAEADDRINUSE
inline constexpr int SOCKET_ERROR_ADDRESS_NOT_AVAILABLE = 10049;  // WSAEADDRNOTAVAIL
inline constexpr int SOCKET_ERROR_NETWORK_DOWN = 10050;           // WSAENETDOWN
inline constexpr int SOCKET_ERROR_NETWORK_UNREACHABLE = 10051;    // WSAENETUNREACH
inline constexpr int SOCKET_ERROR_CONNECTION_RESET = 10054;       // WSAECONNRESET
inline constexpr int SOCKET_ERROR_NO_BUFFER_SPACE = 10055;        // WSAENOBUFS
inline constexpr int SOCKET_ERROR_CONNECTION_REFUSED = 10061;     // WSAECONNREFUSED
inline constexpr int SOCKET_ERROR_HOST_DOWN = 10064;              // WSAEHOSTDOWN
inline constexpr int SOCKET_ERROR_HOST_UNREACHABLE = 10065;       // WSAEHOSTUNREACH
inline constexpr int SOCKET_ERROR_NOT_INITIALISED = 10093;        // WSANOTINITIALISED

// Starts the socket library. Returns 0, or the error number of the failure.
int PlatformStartSockets();

// A new IPv4 UDP socket, or INVALID_SOCKET_HANDLE (see PlatformLastSocketError).
SocketHandle PlatformOpenUdpSocket();

// Switches a socket to non-blocking mode. The outcome is not reported.
void PlatformSetNonBlocking(SocketHandle handle);

// Binds a socket to a local address. Returns 0, or -1 on failure.
int PlatformBind(SocketHandle handle, const InetAddress& address);

// Sends one datagram. Returns the number of bytes sent, or -1 on failure.
int PlatformSendTo(SocketHandle handle, const void* data, int length, const InetAddress& to);

// Takes at most one datagram without waiting. Returns its length and fills *from, or -1 on
// failure. A datagram longer than size fills the buffer with its first size bytes, is discarded
// and reported as a failure with SOCKET_ERROR_MESSAGE_TOO_LONG, on every platform.
int PlatformReceiveFrom(SocketHandle handle, void* buffer, int size, InetAddress* from);

// Closes a socket. The outcome is not reported.
void PlatformCloseSocket(SocketHandle handle);

// The error number of the calling thread's last failed socket call.
int PlatformLastSocketError();

// ---------------------------------------------------------------------------------------------
// Clock and periodic timer

// Gives the millisecond clock 1 ms precision for the rest of the run.
void PlatformStartClock();

// A monotonic clock in milliseconds, as an unsigned 32-bit value that wraps every 49.7 days.
std::uint32_t PlatformMilliseconds();

// Calls routine every periodMs milliseconds on a thread of its own, the first call one period
// from now, until the process ends.
void PlatformStartPeriodicTimer(std::uint32_t periodMs, void (*routine)());

// ---------------------------------------------------------------------------------------------
// Console

// Prepares the console for key reading for the rest of the run (and puts it back however the
// process ends), and watches for the requests to stop that an operator or a service manager
// sends (Ctrl+C, SIGTERM, closing the console window, ...).
void PlatformOpenConsole();

// Sets the console window's title (on a terminal, its title; on a pipe or file, nothing).
void PlatformSetConsoleTitle(const char* title);

// Whether a key code is waiting, without waiting for one.
bool PlatformKeyWaiting();

// Takes one waiting key code, without echo. Only called after PlatformKeyWaiting said yes.
void PlatformTakeKey();

// Whether a request to stop has arrived. Cheap enough to ask on every pass of the main loop.
bool PlatformStopRequested();

// Ends the process after a request to stop has been handled, the way that request asks for.
[[noreturn]] void PlatformEndAfterStop();

// ---------------------------------------------------------------------------------------------
// Files

// Makes what was written to file reach the disk. Returns false on failure.
bool PlatformSyncFile(std::FILE* file);

// Puts the file at from in the place of the file at to, in one step that leaves either the old
// or the new file at to. Returns false on failure, leaving the file at to as it was.
bool PlatformReplaceFile(const char* from, const char* to);
