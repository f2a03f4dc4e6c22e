// The platform layer on Windows: Windows Sockets 2.2, the multimedia clock and timer, and the
// Win32 console with its control handler.
#include "platform/platform.h"

// windows.h without its min and max macros and without the parts the server does not use.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// In this order: winsock2.h before windows.h, which would otherwise bring in the old winsock.h,
// and windows.h before the headers that build on its types.
#include <winsock2.h>

#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

// ---------------------------------------------------------------------------------------------
// Sockets

// The calling thread's last socket error. Kept apart from WSAGetLastError(), which any later
// system call of the thread (a console write, a file call) may overwrite before the caller asks.
thread_local int lastSocketError = 0;

// An ICMP report about an earlier datagram: "port unreachable" comes as WSAECONNRESET, "time to
// live exceeded" as WSAENETRESET. Both cost nothing but that datagram, and anyone can send one,
// so the second is reported with the number of the first, which the server already takes as
// harmless. (The reports are turned off on every socket; this covers a system that ignores it.)
int FailSocketCall() {
    const int error = WSAGetLastError();
    lastSocketError = error == WSAENETRESET ? SOCKET_ERROR_CONNECTION_RESET : error;
    return -1;
}

sockaddr_in ToSockaddr(const InetAddress& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = address.port;
    result.sin_addr.s_addr = address.address;
    return result;
}

SOCKET ToSocket(SocketHandle handle) {
    return static_cast<SOCKET>(handle);
}

// Windows reports ICMP errors for an earlier datagram on the socket's next call: the next send to
// that player fails and its packet is lost. Linux reports nothing on an unconnected socket; these
// controls turn the reports off: SIO_UDP_CONNRESET ("port unreachable") and SIO_UDP_NETRESET
// ("time to live exceeded").
constexpr DWORD UDP_CONNRESET_CONTROL = _WSAIOW(IOC_VENDOR, 12);
constexpr DWORD UDP_NETRESET_CONTROL = _WSAIOW(IOC_VENDOR, 15);

// ---------------------------------------------------------------------------------------------
// Timer

// The multimedia timer's routine, which the system calls on a thread of its own. The server's
// routine rides in the user data word.
void CALLBACK OnTimer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    reinterpret_cast<void (*)()>(user)();
}

// Accuracy the timer may allow itself: the server's only timer is a 60-second score dump.
constexpr UINT TIMER_RESOLUTION_MS = 100;

// ---------------------------------------------------------------------------------------------
// Console, keys and stop requests

std::atomic<bool> stopRequested{false};

// Key codes read from a standard input that is a pipe or a file and not yet taken. The reader
// stops reading while this many are waiting, so input that comes faster than it is taken is
// held back in the pipe, never lost.
constexpr int MAX_PENDING_KEYS = 4096;
std::atomic<int> pendingKeys{0};

// Ctrl+C and Ctrl+Break are only noted: the main loop sees the note, saves the scores and ends
// the process. Closing the console window and a system shutdown end the process as soon as this
// handler returns (or after a few seconds), so the handler does not return: the main loop saves
// the scores and PlatformEndAfterStop ends the process while this thread still waits.
// A logoff is ignored: interactive programs are ended by the logoff itself, and only a server
// run as a service sees the event, for any user's logoff, which is no reason to stop.
BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stopRequested.store(true);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            stopRequested.store(true);
            Sleep(INFINITE);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            return TRUE;
        default:
            return FALSE;
    }
}

// Reads a standard input that is a pipe or a file for as long as it lasts; each byte is one key
// code, as on the other platforms. A console is read with _kbhit and _getch instead.
void ReadPipedKeys(HANDLE input) {
    char bytes[64];
    for (;;) {
        const int waiting = pendingKeys.load();
        if (waiting >= MAX_PENDING_KEYS) {
            Sleep(10);
            continue;
        }
        const DWORD room = static_cast<DWORD>(
            std::min<int>(static_cast<int>(sizeof bytes), MAX_PENDING_KEYS - waiting));
        DWORD count = 0;
        if (!ReadFile(input, bytes, room, &count, nullptr) || count == 0) {
            return;  // end of input or a broken pipe: there will be no more keys
        }
        pendingKeys.fetch_add(static_cast<int>(count));
    }
}

// Whether standard input is a pipe or a file (not the console, not absent).
bool InputIsPipeOrFile(HANDLE input) {
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        return false;
    }
    const DWORD type = GetFileType(input);
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
}

// ---------------------------------------------------------------------------------------------
// Files

// The errno value for a failed file call, so that callers report Windows and POSIX failures
// alike with strerror.
int ToErrno(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

// A virus scanner or an indexer that holds the old file open for a moment makes the replace
// fail with a sharing or access error; it is tried again a few times before it counts.
constexpr int REPLACE_TRIES = 10;
constexpr DWORD REPLACE_RETRY_MS = 50;

bool IsTransientReplaceError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

}  // namespace

int PlatformStartSockets() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

SocketHandle PlatformOpenUdpSocket() {
    const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        FailSocketCall();
        return INVALID_SOCKET_HANDLE;
    }
    for (const DWORD control : {UDP_CONNRESET_CONTROL, UDP_NETRESET_CONTROL}) {
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(handle, control, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return static_cast<SocketHandle>(handle);
}

void PlatformSetNonBlocking(SocketHandle handle) {
    u_long nonBlocking = 1;
    ioctlsocket(ToSocket(handle), FIONBIO, &nonBlocking);
}

int PlatformBind(SocketHandle handle, const InetAddress& address) {
    // Only the listening socket is bound. Exclusive use keeps another program from binding the
    // same port with SO_REUSEADDR and taking the players' datagrams; without it a second bind
    // already fails with WSAEADDRINUSE, so a failure here changes nothing and is not looked at.
    BOOL exclusive = TRUE;
    setsockopt(ToSocket(handle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    const sockaddr_in local = ToSockaddr(address);
    if (bind(ToSocket(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return FailSocketCall();
    }
    return 0;
}

int PlatformSendTo(SocketHandle handle, const void* data, int length, const InetAddress& to) {
    const sockaddr_in destination = ToSockaddr(to);
    const int sent = sendto(ToSocket(handle), static_cast<const char*>(data), length, 0,
                            reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent == SOCKET_ERROR) {
        return FailSocketCall();
    }
    return sent;
}

int PlatformReceiveFrom(SocketHandle handle, void* buffer, int size, InetAddress* from) {
    sockaddr_in source{};
    int sourceLength = sizeof source;
    // A datagram longer than size fills the buffer, is discarded and fails with WSAEMSGSIZE,
    // which is already the number the header promises.
    const int received = recvfrom(ToSocket(handle), static_cast<char*>(buffer), size, 0,
                                  reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received == SOCKET_ERROR) {
        return FailSocketCall();
    }
    from->family = ADDRESS_FAMILY_INET;
    from->port = source.sin_port;
    from->address = source.sin_addr.s_addr;
    return received;
}

void PlatformCloseSocket(SocketHandle handle) {
    closesocket(ToSocket(handle));
}

int PlatformLastSocketError() {
    return lastSocketError;
}

void PlatformStartClock() {
    timeBeginPeriod(1);
}

std::uint32_t PlatformMilliseconds() {
    return timeGetTime();
}

void PlatformStartPeriodicTimer(std::uint32_t periodMs, void (*routine)()) {
    // The system's periodic timer. It refuses only periods outside 1 ms to 1,000,000 ms (about
    // 16 minutes); the server's one timer is the 60-second score dump. Its identifier is not
    // kept: it runs until the process ends.
    timeSetEvent(periodMs, TIMER_RESOLUTION_MS, OnTimer, reinterpret_cast<DWORD_PTR>(routine),
                 TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
}

void PlatformOpenConsole() {
    // Ctrl+C is handled even when the program that started the server had it ignored (a
    // process group of its own, a script), as on the other platforms.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Messages go out byte for byte as the server writes them, "\n" line ends included, whether
    // to the console, a pipe or a file: the same bytes as on the other platforms. A process
    // started without standard output has no descriptor for it, and the Microsoft runtime would
    // end the process for an invalid one.
    if (_fileno(stdout) >= 0) {
        _setmode(_fileno(stdout), _O_BINARY);
    }
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (InputIsPipeOrFile(input)) {
        std::thread(ReadPipedKeys, input).detach();
    }
}

void PlatformSetConsoleTitle(const char* title) {
    SetConsoleTitleA(title);
}

bool PlatformKeyWaiting() {
    return pendingKeys.load(std::memory_order_relaxed) > 0 || _kbhit() != 0;
}

void PlatformTakeKey() {
    if (pendingKeys.load() > 0) {
        pendingKeys.fetch_sub(1);
    } else {
        static_cast<void>(_getch());
    }
}

bool PlatformStopRequested() {
    return stopRequested.load(std::memory_order_relaxed);
}

void PlatformEndAfterStop() {
    std::fflush(stdout);
    // The exit code that Ctrl+C and a closed console window give a program that has no handler.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

bool PlatformSyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool PlatformReplaceFile(const char* from, const char* to) {
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (attempt == REPLACE_TRIES || !IsTransientReplaceError(error)) {
            errno = ToErrno(error);
            return false;
        }
        Sleep(REPLACE_RETRY_MS);
    }
}
