// The platform layer on Linux and other POSIX systems: BSD sockets, a monotonic clock, a timer
// thread, the terminal and the process's signals.
#include "platform/platform.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// ---------------------------------------------------------------------------------------------
// Sockets

// The calling thread's last socket error, in Windows Sockets numbering.
thread_local int lastSocketError = 0;

int ToSocketError(int error) {
    switch (error) {
        case EINTR:
            return SOCKET_ERROR_INTERRUPTED;
        case EBADF:
            return SOCKET_ERROR_BAD_HANDLE;
        case EACCES:
        case EPERM:
            return SOCKET_ERROR_ACCESS_DENIED;
        case EFAULT:
            return SOCKET_ERROR_BAD_ADDRESS;
        case EINVAL:
            return SOCKET_ERROR_INVALID_ARGUMENT;
        case EMFILE:
        case ENFILE:
            return SOCKET_ERROR_TOO_MANY_OPEN;
        case EAGAIN:
            return SOCKET_ERROR_WOULD_BLOCK;
        case ENOTSOCK:
            return SOCKET_ERROR_NOT_SOCKET;
        case EDESTADDRREQ:
            return SOCKET_ERROR_DESTINATION_REQUIRED;
        case EMSGSIZE:
            return SOCKET_ERROR_MESSAGE_TOO_LONG;
        case EPROTOTYPE:
            return SOCKET_ERROR_PROTOCOL_TYPE;
        case EPROTONOSUPPORT:
            return SOCKET_ERROR_PROTOCOL_UNSUPPORTED;
        case EOPNOTSUPP:
            return SOCKET_ERROR_NOT_SUPPORTED;
        case EAFNOSUPPORT:
            return SOCKET_ERROR_FAMILY_UNSUPPORTED;
        case EADDRINUSE:
            return SOCKET_ERROR_ADDRESS_IN_USE;
        case EADDRNOTAVAIL:
            return SOCKET_ERROR_ADDRESS_NOT_AVAILABLE;
        case ENETDOWN:
            return SOCKET_ERROR_NETWORK_DOWN;
        case ENETUNREACH:
            return SOCKET_ERROR_NETWORK_UNREACHABLE;
        case ECONNRESET:
            return SOCKET_ERROR_CONNECTION_RESET;
        case ENOBUFS:
        case ENOMEM:
            return SOCKET_ERROR_NO_BUFFER_SPACE;
        case ECONNREFUSED:
            return SOCKET_ERROR_CONNECTION_REFUSED;
        case EHOSTDOWN:
            return SOCKET_ERROR_HOST_DOWN;
        case EHOSTUNREACH:
            return SOCKET_ERROR_HOST_UNREACHABLE;
        default:
            return error;  // keeps an unexpected condition visible in the message
    }
}

int FailSocketCall() {
    lastSocketError = ToSocketError(errno);
    return -1;
}

sockaddr_in ToSockaddr(const InetAddress& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = address.port;
    result.sin_addr.s_addr = address.address;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Terminal, keys and stop requests

// The terminal's settings before the server changed them, restored however the process ends.
termios savedTerminal{};
// The settings the server runs with (no echo, no line editing), applied again after a Ctrl+Z.
termios rawTerminal{};
// Standard input is a terminal: the server takes it whenever it is in the foreground.
std::atomic<bool> terminalWanted{false};
// The server's settings are on the terminal and savedTerminal holds what was there before.
std::atomic<bool> terminalChanged{false};

// Key codes read from standard input and not yet taken. The reader thread stops reading while
// this many are waiting, so input that arrives faster than it is taken is never lost.
constexpr int MAX_PENDING_KEYS = 4096;
std::atomic<int> pendingKeys{0};

// The signal that asked the server to stop, 0 while none has.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

void RestoreTerminal() {
    terminalWanted.store(false);
    if (terminalChanged.exchange(false)) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
}

// Puts the terminal's own settings back for a moment that the server does not see the end of
// (a crash, a stop); terminalChanged stays set, so that they are also put back at the exit.
// Async-signal-safe.
void GiveTerminalBack() {
    if (terminalChanged.load()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
}

// Raises the signal, unblocked, with its default action: the process ends or stops as the
// signal would have made it without the server's handler. Async-signal-safe.
void RaiseWithDefaultAction(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signal);
}

// A signal that ends the process without the server's say (Ctrl+\, a crash): the terminal is
// put back, then the signal does what it would have done. Only async-signal-safe calls here.
void OnFatalSignal(int signal) {
    GiveTerminalBack();
    RaiseWithDefaultAction(signal);
}

// Ctrl+C, SIGTERM, SIGHUP: only noted here. The main loop sees the note, saves the scores and
// ends the process, since saving is not safe inside a signal handler.
void OnStopSignal(int signal) {
    stopSignal.store(signal);
}

void SetHandler(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

// Puts the server's settings on the terminal when the process is in its foreground: at start-up,
// and whenever it continues (fg after Ctrl+Z, or after a start in the background). In the
// background it leaves the shell's terminal alone. Only async-signal-safe calls here.
void TakeTerminal() {
    if (!terminalWanted.load() || tcgetpgrp(STDIN_FILENO) != getpgrp()) {
        return;
    }
    if (terminalChanged.load()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &rawTerminal);
        return;
    }
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return;
    }
    // Non-canonical mode without echo, so that each key press is one code at once, while
    // Ctrl+C and the other signal keys keep working.
    rawTerminal = savedTerminal;
    rawTerminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    rawTerminal.c_lflag |= ISIG;
    rawTerminal.c_cc[VMIN] = 1;
    rawTerminal.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &rawTerminal) == 0) {
        terminalChanged.store(true);
    }
}

// Ctrl+Z: the terminal is given back as it was, then the process stops as it would have. When it
// continues, the raise returns here: the handler is set again and, in the foreground, the
// server's settings too. Only async-signal-safe calls here.
void OnSuspendSignal(int signal) {
    const int savedErrno = errno;
    GiveTerminalBack();
    RaiseWithDefaultAction(signal);
    SetHandler(signal, OnSuspendSignal, SA_RESTART);
    TakeTerminal();
    errno = savedErrno;
}

// Continued, perhaps in the foreground now (fg after bg, or after a start in the background).
void OnContinueSignal(int) {
    const int savedErrno = errno;
    TakeTerminal();
    errno = savedErrno;
}

// Starts a thread that takes no signals, so that they all reach the main thread.
template <typename Function>
void StartQuietThread(Function function) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread(function).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Reads standard input for as long as it lasts; each byte is one key code.
void ReadKeys() {
    char bytes[64];
    for (;;) {
        int waiting = pendingKeys.load();
        while (waiting >= MAX_PENDING_KEYS) {
            pendingKeys.wait(waiting);
            waiting = pendingKeys.load();
        }
        const size_t room = std::min(sizeof bytes, static_cast<size_t>(MAX_PENDING_KEYS - waiting));
        const ssize_t count = read(STDIN_FILENO, bytes, room);
        if (count > 0) {
            pendingKeys.fetch_add(static_cast<int>(count));
        } else if (count == 0) {
            return;  // end of input: there will be no more keys
        } else if (errno == EIO || errno == EAGAIN) {
            // A terminal that belongs to another process group (the server runs in the
            // background of a shell): try again later, it may come to the foreground.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } else if (errno != EINTR) {
            return;
        }
    }
}

// The terminal on standard input, if there is one, is the server's whenever the server is in
// its foreground, and is given back as it was however the process ends or stops.
void PrepareTerminal() {
    if (!isatty(STDIN_FILENO)) {
        return;
    }
    terminalWanted.store(true);
    std::atexit(RestoreTerminal);
    for (const int signal : {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        SetHandler(signal, OnFatalSignal, SA_RESETHAND);
    }
    SetHandler(SIGTSTP, OnSuspendSignal, SA_RESTART);
    TakeTerminal();
    // Set after the first take, which it would otherwise interrupt.
    SetHandler(SIGCONT, OnContinueSignal, SA_RESTART);
}

// A standard stream that the process was started without (a service manager, or a shell's
// "<&-") gets /dev/null. Otherwise the first file or socket that the server opens takes its
// number: the key reader would read svrcfg.ini or the listening socket as key codes, and the
// console lines would go into a socket.
void OpenMissingStandardStreams() {
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(stream, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != stream) {
            dup2(null, stream);
            close(null);
        }
    }
}

}  // namespace

int PlatformStartSockets() {
    // A send to a closed socket must be an error, never a signal that ends the process.
    ::signal(SIGPIPE, SIG_IGN);
    return 0;
}

SocketHandle PlatformOpenUdpSocket() {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0) {
        FailSocketCall();
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<SocketHandle>(handle);
}

void PlatformSetNonBlocking(SocketHandle handle) {
    const int fd = static_cast<int>(handle);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

int PlatformBind(SocketHandle handle, const InetAddress& address) {
    const sockaddr_in local = ToSockaddr(address);
    if (bind(static_cast<int>(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
        0) {
        return FailSocketCall();
    }
    return 0;
}

int PlatformSendTo(SocketHandle handle, const void* data, int length, const InetAddress& to) {
    const sockaddr_in destination = ToSockaddr(to);
    const ssize_t sent =
        sendto(static_cast<int>(handle), data, static_cast<size_t>(length), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
        return FailSocketCall();
    }
    return static_cast<int>(sent);
}

int PlatformReceiveFrom(SocketHandle handle, void* buffer, int size, InetAddress* from) {
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    // MSG_TRUNC makes the call return the datagram's full length, so truncation is seen.
    const ssize_t received =
        recvfrom(static_cast<int>(handle), buffer, static_cast<size_t>(size), MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received < 0) {
        return FailSocketCall();
    }
    from->family = ADDRESS_FAMILY_INET;
    from->port = source.sin_port;
    from->address = source.sin_addr.s_addr;
    if (received > size) {
        lastSocketError = SOCKET_ERROR_MESSAGE_TOO_LONG;
        return -1;
    }
    return static_cast<int>(received);
}

void PlatformCloseSocket(SocketHandle handle) {
    close(static_cast<int>(handle));
}

int PlatformLastSocketError() {
    return lastSocketError;
}

void PlatformStartClock() {
    // The monotonic clock already counts in nanoseconds; nothing to set up.
}

std::uint32_t PlatformMilliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void PlatformStartPeriodicTimer(std::uint32_t periodMs, void (*routine)()) {
    StartQuietThread([periodMs, routine] {
        // Each call is due a whole number of periods after the start, so the calls do not drift
        // by the time that the routine itself takes.
        const auto period = std::chrono::milliseconds(periodMs);
        auto due = std::chrono::steady_clock::now();
        for (;;) {
            due += period;
            std::this_thread::sleep_until(due);
            routine();
        }
    });
}

void PlatformOpenConsole() {
    OpenMissingStandardStreams();
    // A hang-up or Ctrl+C that the server was started to ignore (nohup, a script's "server &")
    // stays ignored; SIGTERM always stops it.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction inherited {};
        sigaction(signal, nullptr, &inherited);
        if (signal != SIGTERM && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        SetHandler(signal, OnStopSignal, SA_RESTART);
    }
    // A server in the background of a shell must not be stopped for touching the terminal.
    ::signal(SIGTTIN, SIG_IGN);
    ::signal(SIGTTOU, SIG_IGN);
    PrepareTerminal();
    StartQuietThread(ReadKeys);
}

void PlatformSetConsoleTitle(const char* title) {
    if (isatty(STDOUT_FILENO)) {
        std::printf("\033]0;%s\007", title);
        std::fflush(stdout);
    }
}

bool PlatformKeyWaiting() {
    return pendingKeys.load(std::memory_order_relaxed) > 0;
}

void PlatformTakeKey() {
    pendingKeys.fetch_sub(1);
    pendingKeys.notify_one();
}

bool PlatformStopRequested() {
    return stopSignal.load(std::memory_order_relaxed) != 0;
}

void PlatformEndAfterStop() {
    std::fflush(stdout);
    RestoreTerminal();
    // End the way the signal would have ended the process, so that a shell or a service
    // manager sees what stopped it.
    const int signal = stopSignal.load();
    RaiseWithDefaultAction(signal);
    std::_Exit(128 + signal);
}

bool PlatformSyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool PlatformReplaceFile(const char* from, const char* to) {
    if (std::rename(from, to) != 0) {
        return false;
    }
    // Make the rename itself durable: sync the folder that holds both names.
    std::string folder = to;
    const std::size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash + 1);
    const int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) {
        fsync(handle);
        close(handle);
    }
    return true;
}
