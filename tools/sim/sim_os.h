// The little that the player simulator needs of the operating system beyond the server's own
// platform layer (platform/platform.h, which it uses for its sockets): waiting on several sockets
// at once, a larger receive buffer, and whether standard output is a terminal.
//
// sim_os_posix.cpp and sim_os_win32.cpp implement it; CMake picks one.
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"

// Waits until one of the sockets has a datagram waiting, or timeoutMicroseconds pass (0: only
// looks). Returns true when one has.
bool WaitReadable(std::span<const SocketHandle> sockets, std::int64_t timeoutMicroseconds);

// Asks for a receive buffer of this many bytes, so that a burst of relays is not dropped while
// the simulator is busy sending. Best effort: the system may give less.
void SetReceiveBuffer(SocketHandle socket, int bytes);

// Whether standard output is a terminal (then a live status line is worth printing).
bool StdoutIsTerminal();
