// Start-up, the configuration file and the main loop.
//
// "svrcfg.ini", in the current folder, holds the two ports:
//   port= <the port the server listens on>
//   otherport= <the port it sends to on each player's address>
// It is read with two scanf patterns, "port= %d\n" then "otherport= %d\n", and nothing else of
// it is read: a key that does not match leaves its port at 0.
#pragma once

#include <array>
#include <cstdint>

#include "net/net.h"

inline constexpr int RECEIVE_BUFFER_SIZE = 40;
inline constexpr const char* CONFIG_FILE = "svrcfg.ini";
inline constexpr const char* CONSOLE_TITLE = "Nightcomet II Game Server";

extern std::int32_t listenPort;    // the key "port"; 0 until the file sets it
extern std::int32_t transmitPort;  // the key "otherport"; 0 until the file sets it
extern Endpoint listenEndpoint;
extern std::array<std::uint8_t, RECEIVE_BUFFER_SIZE> receiveBuffer;

// Reads the two ports from the configuration file. Returns false when it cannot be opened,
// leaving both ports as they were.
bool ReadServerConfig(const char* path, std::int32_t& port, std::int32_t& otherPort);

// Brings the server up, in order: sockets and clock, console, configuration, listening
// endpoint, slots, score table, dump timer, ports message, stored scores. Ends the process with
// status 1 when the configuration file is missing.
void StartServer();

// Hands one received datagram to the relay by its length.
void DispatchDatagram(const ReceiveResult& result, const std::uint8_t* buffer);

// One pass of the main loop: leaderboard key, at most one datagram, timeout sweep.
void RunLoopPass();

// Start-up, then the main loop until a request to stop, on which the scores are saved.
[[noreturn]] void RunServer();
