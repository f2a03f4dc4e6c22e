// The built server as a child process, and players that talk to it over loopback.
//
// The server is found through the environment, so one suite tests every build:
//   NIGHTCOMET_SERVER    path of the server executable (required)
//   NIGHTCOMET_LAUNCHER  optional command that runs it (for example a Wine launcher script);
//                        the server's path is passed as its first argument
// Each ServerProcess runs in a scratch folder of its own with its own svrcfg.ini, on ports the
// system picked as free, so tests never collide even when many run at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// Deadlines for a loaded two-core machine, and for a server under an emulator that starts slowly.
inline constexpr std::chrono::milliseconds START_DEADLINE = 60s;
inline constexpr std::chrono::milliseconds REPLY_DEADLINE = 10s;
// How long a test waits to be sure that something does not come.
inline constexpr std::chrono::milliseconds QUIET_WAIT = 700ms;

using Bytes = std::vector<std::uint8_t>;

Bytes JoinRequest();
Bytes StatePacket(std::uint8_t seed, std::uint8_t flags);

// Whether the server runs through a launcher (an emulator), where some checks do not apply.
bool UnderLauncher();
// Whether that launcher is Wine running the Windows build (NIGHTCOMET_UNDER_WINE=1): a stop
// request is SIGINT, which Wine turns into Ctrl+C, and the server ends with Ctrl+C's exit code.
bool UnderWine();

// A UDP port that is free on every loopback address right now.
int FreePort();

// A scratch folder, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    void Write(const std::string& name, const std::string& bytes) const;
    std::string Read(const std::string& name) const;

private:
    std::filesystem::path path_;
};

struct ServerOptions {
    bool writeConfig = true;   // write svrcfg.ini with the chosen ports
    bool keysPipe = true;      // standard input is a pipe the test writes to; else /dev/null
    bool inputClosed = false;  // standard input not open at all (overrides keysPipe)
    long descriptorLimit = 0;  // RLIMIT_NOFILE for the server, 0 for the default
    std::vector<int> ignoredSignals = {};  // ignored when the server starts, as nohup does
    // Runs after svrcfg.ini is written and before the server starts (to mount over the folder).
    std::function<void()> prepareFolder = nullptr;
};

class ServerProcess {
public:
    explicit ServerProcess(const ScratchFolder& folder, ServerOptions options = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int listenPort = 0;
    int transmitPort = 0;

    // Everything the server has printed so far.
    std::string Output();
    // Waits until the output holds text (after the given offset); returns whether it came.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline,
                       std::size_t from = 0);
    // Waits until the output holds text count times (after the given offset).
    bool WaitForCount(const std::string& text, int count, std::chrono::milliseconds deadline,
                      std::size_t from = 0);
    // Waits for the ports message, which the server prints once it listens.
    bool WaitUntilListening();
    // Writes key codes to the server's standard input.
    void PressKeys(const std::string& keys);
    // Closes the server's standard input: no more keys.
    void CloseKeys();
    // Sends a signal to the server (through the launcher: to the launcher's process).
    void Signal(int signal);
    // Waits for the process to end and for the last of its output; returns its wait status, or
    // nothing past the deadline.
    std::optional<int> WaitForExit(std::chrono::milliseconds deadline);
    pid_t Pid() const { return pid_; }

private:
    void ReadOutput();

    pid_t pid_ = -1;
    int keysFd_ = -1;
    int outputFd_ = -1;
    bool exited_ = false;
    bool outputEnded_ = false;  // the reader has taken everything the server printed
    int status_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
};

// A player on its own loopback address 127.0.0.N: it sends from that address to the server's
// listening port and receives at transmitPort on that address, as a game client does.
class Player {
public:
    Player(int lastOctet, int transmitPort, int listenPort);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void Send(const Bytes& bytes) const;
    // The next datagram within the deadline, or nothing.
    std::optional<Bytes> Receive(std::chrono::milliseconds deadline = REPLY_DEADLINE) const;
    // Sends the join request and returns the slot from the reply, or -1. Relayed state packets
    // that arrive before the reply are passed over.
    int Join() const;
    std::uint32_t Address() const { return address_; }

private:
    std::uint32_t address_;
    int listenPort_;
    int receiveFd_ = -1;
    int sendFd_ = -1;
};

}  // namespace e2e
