// The main loop's receive: what ends the server and what it shrugs off.
#include "unit_support.h"

namespace {

constexpr std::uint32_t PLAYER_A = fake::Address(127, 0, 0, 2);

class HarmlessReceiveTest : public ServerTest, public testing::WithParamInterface<int> {};

TEST_P(HarmlessReceiveTest, ServerGoesOn) {
    fake::state.receiveError = GetParam();
    EXPECT_EQ(PassAt(0), "");
    EXPECT_EQ(Join(PLAYER_A), "Player 0 connected at 127.0.0.2\n");
}

INSTANTIATE_TEST_SUITE_P(Errors, HarmlessReceiveTest,
                         testing::Values(SOCKET_ERROR_WOULD_BLOCK, SOCKET_ERROR_INTERRUPTED,
                                         SOCKET_ERROR_MESSAGE_TOO_LONG,
                                         SOCKET_ERROR_CONNECTION_RESET));

TEST_F(ServerTest, NothingWaitingYieldsAnEmptyResult) {
    const ReceiveResult result = ReceiveDatagram(listenEndpoint, receiveBuffer.data(), 40);
    EXPECT_EQ(result.received, 0);
    EXPECT_EQ(result.length, -1);
    EXPECT_EQ(result.fromAddress, 0u);
}

TEST_F(ServerTest, OtherReceiveFailuresEndTheServerWithTheirMessage) {
    fake::state.receiveError = SOCKET_ERROR_NETWORK_DOWN;
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RunLoopPass();
        },
        testing::ExitedWithCode(0),
        "^recvfrom returned SOCKET_ERROR, WSAGetLastError\\(\\) 10050$");
}

TEST_F(ServerTest, BindFailureEndsTheServerWithItsMessage) {
    fake::state.bindError = SOCKET_ERROR_ADDRESS_IN_USE;
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            CreateListenEndpoint(27015, ANY_ADDRESS);
        },
        testing::ExitedWithCode(0), "^bind failed: 10048$");
}

}  // namespace
