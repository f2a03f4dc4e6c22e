// Starting a relay (the built server, or the benchmark's reference relay) as a process of its
// own in a fresh temporary folder, and reading what Linux knows of it: its console, its peak
// memory, its processor time and the datagrams its sockets dropped. Linux only: it reads /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct RelayProcess {
    pid_t pid = -1;
    std::string folder;   // its current folder, with svrcfg.ini; removed by StopRelay
    std::string console;  // the file that gets its standard output and error
};

// Writes svrcfg.ini with the two ports into a new temporary folder and starts command there
// (the executable and its arguments; an optional launcher prefix from NIGHTCOMET_LAUNCHER
// comes first). Standard input is /dev/null. Returns false with a reason on failure.
bool StartRelay(RelayProcess& process, const std::vector<std::string>& command, int port,
                int otherPort, std::string& error);

// Whether the process still runs. Once it has ended, it is reaped.
bool RelayRunning(const RelayProcess& process);

// Ends the process (SIGTERM, then SIGKILL after a few seconds), reaps it and removes its folder.
// Returns its console output.
std::string StopRelay(RelayProcess& process);

// What the process has printed so far.
std::string ReadConsole(const RelayProcess& process);

// Waits until the console holds text, or timeoutMs pass, or the process ends. Returns whether
// the console holds it.
bool WaitForConsole(const RelayProcess& process, const std::string& text, int timeoutMs);

// A UDP port that is free on address (first octet in the lowest byte) right now: bound with
// port 0 and given back.
int FreeUdpPort(std::uint32_t address);

// A port free on 0.0.0.0 for the relay to listen on, and one free on each of the count player
// addresses from firstPlayer on, for them to receive at. Returns false when none was found.
bool PickPorts(std::uint32_t firstPlayer, int count, int& port, int& otherPort);

// VmHWM of /proc/PID/status in KiB, -1 when unknown.
long PeakResidentKiB(pid_t pid);

// utime + stime of /proc/PID/stat in seconds, -1 when unknown.
double CpuSeconds(pid_t pid);

// The "drops" count of the UDP socket bound to address:port in /proc/net/udp (datagrams the
// kernel threw away because the socket's buffer was full), 0 when there is none.
std::uint64_t UdpSocketDrops(std::uint32_t address, int port);
