// Shared pieces of the unit tests: a server reset to its start-up state over the fake platform,
// datagrams in and out, console capture and a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "main/server.h"
#include "relay/relay.h"
#include "scores/scores.h"

inline constexpr int TEST_TRANSMIT_PORT = 5000;

inline std::vector<std::uint8_t> JoinBytes() {
    return {JOIN_REQUEST.begin(), JOIN_REQUEST.end()};
}

// A 16-byte state packet whose state bytes are seed, seed + 1, ... and whose flags are flags.
inline std::vector<std::uint8_t> StateBytes(std::uint8_t seed, std::uint8_t flags) {
    std::vector<std::uint8_t> bytes(STATE_PACKET_SIZE);
    for (int index = 0; index < STATE_PACKET_SIZE - 1; ++index) {
        bytes[index] = static_cast<std::uint8_t>(seed + index);
    }
    bytes[STATE_PACKET_SIZE - 1] = flags;
    return bytes;
}

// The flags byte of a packet that reports its sender killed by killer.
constexpr std::uint8_t KilledBy(int killer) {
    return static_cast<std::uint8_t>(FLAG_KILLED | killer << FLAG_KILLER_SHIFT);
}

// Runs fn with standard output captured, and returns what it printed.
inline std::string CaptureOutput(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// The server as start-up leaves it, over a fresh fake platform.
class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        transmitPort = TEST_TRANSMIT_PORT;
        listenPort = 0;
        listenEndpoint = CreateListenEndpoint(0, ANY_ADDRESS);
        fake::state.openSockets.clear();
        ClearSlots();
        CreateScoreTable();
    }

    // One pass of the main loop with one datagram from address waiting; returns the console.
    std::string Receive(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
        fake::Queue(address, bytes);
        return CaptureOutput(RunLoopPass);
    }

    std::string Join(std::uint32_t address) { return Receive(address, JoinBytes()); }

    // A pass with nothing received at clock value now; returns the console.
    std::string PassAt(std::uint32_t now) {
        fake::state.clock = now;
        return CaptureOutput(RunLoopPass);
    }

    // The datagrams sent since the last call, which are then forgotten.
    std::vector<fake::Datagram> TakeSent() {
        std::vector<fake::Datagram> sent = std::move(fake::state.sent);
        fake::state.sent.clear();
        return sent;
    }
};

// A scratch folder that is the current directory while the test runs.
class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/nightcomet-unit-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            throw std::runtime_error("cannot make a scratch folder in /tmp");
        }
        path_ = made;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScratchFolder() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(path_);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

inline void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}
