// Datagram endpoints and the platform layer on real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t Loopback(int last) {
    return 127u | static_cast<std::uint32_t>(last) << 24;
}

// A plain socket for the test's own side of the conversation.
class TestSocket {
public:
    explicit TestSocket(std::uint32_t address, int port = 0) {
        handle_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address;
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        EXPECT_EQ(bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        timeval wait{5, 0};
        setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~TestSocket() { close(handle_); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    int Port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    void SendTo(int port, const std::vector<std::uint8_t>& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = Loopback(1);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ASSERT_EQ(sendto(handle_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    std::vector<std::uint8_t> Receive(std::uint32_t* from = nullptr) const {
        std::vector<std::uint8_t> bytes(2048);
        sockaddr_in source{};
        socklen_t length = sizeof source;
        const ssize_t count = recvfrom(handle_, bytes.data(), bytes.size(), 0,
                                       reinterpret_cast<sockaddr*>(&source), &length);
        bytes.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
        if (from != nullptr) {
            *from = source.sin_addr.s_addr;
        }
        return bytes;
    }

private:
    int handle_;
};

// A free UDP port, found by letting the system choose one.
int FreePort() {
    return TestSocket(ANY_ADDRESS).Port();
}

// Receives until a datagram comes or the deadline passes (a loaded machine may be slow to deliver
// even on loopback).
ReceiveResult ReceiveWithin(const Endpoint& endpoint, std::uint8_t* buffer, int size) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    ReceiveResult result{};
    do {
        result = ReceiveDatagram(endpoint, buffer, size);
    } while (result.received == 0 && std::chrono::steady_clock::now() < deadline);
    return result;
}

class EndpointTest : public testing::Test {
protected:
    static void SetUpTestSuite() { InitNetwork(); }
    void SetUp() override { listen_ = CreateListenEndpoint(FreePort(), ANY_ADDRESS); }
    void TearDown() override { CloseEndpoint(listen_); }
    int ListenPort() const { return ntohs(listen_.address.port); }

    Endpoint listen_{};
    std::array<std::uint8_t, 40> buffer_{};
};

TEST_F(EndpointTest, NothingWaitingReturnsAtOnceWithNothing) {
    const ReceiveResult result = ReceiveDatagram(listen_, buffer_.data(), 40);
    EXPECT_EQ(result.received, 0);
    EXPECT_EQ(result.length, -1);
    EXPECT_EQ(result.fromAddress, 0u);
    EXPECT_EQ(PlatformLastSocketError(), SOCKET_ERROR_WOULD_BLOCK);
}

TEST_F(EndpointTest, ReceivesEachDatagramWithItsSourceAddress) {
    const TestSocket player(Loopback(7));
    player.SendTo(ListenPort(), {});
    player.SendTo(ListenPort(), {1, 2, 3});
    ReceiveResult result = ReceiveWithin(listen_, buffer_.data(), 40);
    EXPECT_EQ(result.received, 1);
    EXPECT_EQ(result.length, 0);
    EXPECT_EQ(result.fromAddress, Loopback(7));
    result = ReceiveWithin(listen_, buffer_.data(), 40);
    EXPECT_EQ(result.length, 3);
    EXPECT_EQ(buffer_[2], 3);
    EXPECT_EQ(ReceiveDatagram(listen_, buffer_.data(), 40).received, 0);
}

TEST_F(EndpointTest, DatagramLongerThanTheBufferIsDiscardedWhole) {
    const TestSocket player(Loopback(2));
    player.SendTo(ListenPort(), std::vector<std::uint8_t>(41, 0xAB));
    player.SendTo(ListenPort(), std::vector<std::uint8_t>(40, 0xCD));
    // The long one is taken and dropped: nothing reported, nothing of it left behind.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    ReceiveResult result{};
    while (result.received == 0 && std::chrono::steady_clock::now() < deadline) {
        result = ReceiveDatagram(listen_, buffer_.data(), 40);
        EXPECT_TRUE(result.received == 0 || result.length == 40);
    }
    EXPECT_EQ(result.length, 40);
    EXPECT_EQ(buffer_[39], 0xCD);
}

TEST_F(EndpointTest, SendEndpointSendsToItsAddressAndPort) {
    const TestSocket player(Loopback(3));
    const Endpoint endpoint = CreateSendEndpoint(player.Port(), Loopback(3));
    EXPECT_EQ(endpoint.address.family, ADDRESS_FAMILY_INET);
    SendDatagram(endpoint, "\x01\x00\x00\x00", 4);
    EXPECT_EQ(player.Receive(), (std::vector<std::uint8_t>{1, 0, 0, 0}));
    CloseEndpoint(endpoint);
}

TEST_F(EndpointTest, PortAboveSixteenBitsUsesItsLowBits) {
    const TestSocket player(Loopback(4));
    const Endpoint endpoint = CreateSendEndpoint(player.Port() + 65536 * 3, Loopback(4));
    EXPECT_EQ(ntohs(endpoint.address.port), player.Port());
    SendDatagram(endpoint, "hi", 2);
    EXPECT_EQ(player.Receive().size(), 2u);
    CloseEndpoint(endpoint);
}

TEST_F(EndpointTest, SendToAClosedPortIsNotAnError) {
    const Endpoint endpoint = CreateSendEndpoint(FreePort(), Loopback(5));
    for (int count = 0; count < 3; ++count) {
        SendDatagram(endpoint, "0123456789abcdef", 16);
    }
    CloseEndpoint(endpoint);
}

TEST_F(EndpointTest, BindToAPortInUseIsFatalWithItsWindowsSocketsNumber) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            CreateListenEndpoint(ListenPort(), ANY_ADDRESS);
        },
        testing::ExitedWithCode(0), "^bind failed: 10048$");
}

TEST_F(EndpointTest, BindToAnAddressNotOfThisHostIsFatal) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            CreateListenEndpoint(0, 0x010200C0u);  // 192.0.2.1, a documentation address
        },
        testing::ExitedWithCode(0), "^bind failed: 10049$");
}

TEST(Clock, IsMonotonicInMilliseconds) {
    const std::uint32_t start = PlatformMilliseconds();
    std::this_thread::sleep_for(50ms);
    const std::uint32_t later = PlatformMilliseconds();
    EXPECT_GE(later - start, 50u);
    EXPECT_LT(later - start, 60000u);
}

std::atomic<int> timerCalls{0};
std::atomic<std::uint32_t> firstCallAt{0};
void CountCall() {
    if (timerCalls.fetch_add(1) == 0) {
        firstCallAt = PlatformMilliseconds();
    }
}

TEST(PeriodicTimer, CallsTheRoutineEveryPeriodFirstAfterOnePeriod) {
    const std::uint32_t start = PlatformMilliseconds();
    PlatformStartPeriodicTimer(100, CountCall);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (timerCalls < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GE(timerCalls.load(), 3);
    EXPECT_GE(firstCallAt - start, 100u);
}

TEST(ReplaceFile, PutsTheNewFileInPlaceOfTheOld) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("nightcomet-net-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string from = (folder / "new").string();
    const std::string to = (folder / "old").string();
    std::ofstream(from) << "new";
    std::ofstream(to) << "old";
    EXPECT_TRUE(PlatformReplaceFile(from.c_str(), to.c_str()));
    EXPECT_FALSE(std::filesystem::exists(from));
    std::ifstream in(to);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(PlatformReplaceFile(from.c_str(), to.c_str()));  // nothing to move now
    std::filesystem::remove_all(folder);
}

}  // namespace
