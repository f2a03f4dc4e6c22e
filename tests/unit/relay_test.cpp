// Joins, relay, kills and timeouts over the fake platform, with a clock the test sets.
#include <cstring>

#include "unit_support.h"

namespace {

constexpr std::uint32_t PLAYER_A = fake::Address(127, 0, 0, 2);
constexpr std::uint32_t PLAYER_B = fake::Address(127, 0, 0, 3);
constexpr std::uint32_t PLAYER_C = fake::Address(10, 200, 30, 4);
constexpr std::uint32_t STRANGER = fake::Address(192, 0, 2, 99);

std::uint32_t PlayerAddress(int index) {
    return fake::Address(127, 0, 1, index + 1);
}

using JoinTest = ServerTest;

TEST_F(JoinTest, RepliesWithTheSlotIndexAtTheTransmitPort) {
    EXPECT_EQ(Join(PLAYER_A), "Player 0 connected at 127.0.0.2\n");
    EXPECT_EQ(Join(PLAYER_C), "Player 1 connected at 10.200.30.4\n");

    const std::vector<fake::Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(sent[0].address.address, PLAYER_A);
    EXPECT_EQ(sent[0].address.port, HostToNetwork16(TEST_TRANSMIT_PORT));
    EXPECT_EQ(sent[0].address.family, ADDRESS_FAMILY_INET);
    EXPECT_EQ(sent[0].handle, slots[0].endpoint.handle);
    EXPECT_EQ(sent[1].bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(sent[1].address.address, PLAYER_C);
    EXPECT_EQ(sent[1].handle, slots[1].endpoint.handle);
    EXPECT_NE(slots[0].endpoint.handle, slots[1].endpoint.handle);
}

TEST_F(JoinTest, SetsTheSlotAndItsClock) {
    fake::state.clock = 1234;
    Join(PLAYER_A);
    EXPECT_EQ(slots[0].active, 1);
    EXPECT_EQ(slots[0].lastHeard, 1234u);
    EXPECT_EQ(slots[0].endpoint.address.address, PLAYER_A);
    EXPECT_EQ(slots[1].active, 0);
}

TEST_F(JoinTest, TransmitPortUsesItsLowSixteenBits) {
    transmitPort = 65536 + 4321;
    Join(PLAYER_A);
    EXPECT_EQ(TakeSent().at(0).address.port, HostToNetwork16(4321));
}

TEST_F(JoinTest, NinthJoinGetsNoReplyAndNoMessage) {
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        Join(PlayerAddress(index));
    }
    TakeSent();
    const std::size_t sockets = fake::state.openSockets.size();
    EXPECT_EQ(Join(STRANGER), "");
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(fake::state.openSockets.size(), sockets);
}

TEST_F(JoinTest, SameAddressTwiceHoldsTwoSlots) {
    Join(PLAYER_A);
    EXPECT_EQ(Join(PLAYER_A), "Player 1 connected at 127.0.0.2\n");
    EXPECT_EQ(slots[1].active, 1);
}

TEST_F(JoinTest, JoinRequestMustMatchEveryByte) {
    for (int index = 0; index < JOIN_REQUEST_SIZE; ++index) {
        std::vector<std::uint8_t> bytes = JoinBytes();
        bytes[index] ^= 0x20;
        EXPECT_EQ(Receive(PLAYER_A, bytes), "") << "byte " << index;
    }
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(slots[0].active, 0);
}

TEST_F(JoinTest, OtherLengthsAreIgnored) {
    Join(PLAYER_A);
    TakeSent();
    for (const int length : {0, 1, 10, 12, 15, 17, 39, 40}) {
        EXPECT_EQ(Receive(PLAYER_A, std::vector<std::uint8_t>(length, 0x4E)), "") << length;
    }
    // Longer than the receive buffer: discarded by the receive, the server goes on.
    for (const int length : {41, 100, 1500, 65507}) {
        EXPECT_EQ(Receive(PLAYER_A, std::vector<std::uint8_t>(length, 0x02)), "") << length;
    }
    EXPECT_TRUE(TakeSent().empty());
    // An 11-byte join request that begins a longer datagram is no join either.
    std::vector<std::uint8_t> longJoin = JoinBytes();
    longJoin.resize(60);
    EXPECT_EQ(Receive(PLAYER_B, longJoin), "");
    EXPECT_EQ(slots[1].active, 0);
    EXPECT_EQ(Join(PLAYER_B), "Player 1 connected at 127.0.0.3\n");
}

using StatePacketTest = ServerTest;

TEST_F(StatePacketTest, IsRelayedUnchangedToEveryActiveSlotSenderIncluded) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    Join(PLAYER_C);
    TakeSent();
    const std::vector<std::uint8_t> packet = StateBytes(0xA0, 0xE1);
    EXPECT_EQ(Receive(PLAYER_B, packet), "");

    const std::vector<fake::Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 3u);
    for (int index = 0; index < 3; ++index) {
        EXPECT_EQ(sent[index].bytes, packet);
        EXPECT_EQ(sent[index].handle, slots[index].endpoint.handle);
        EXPECT_EQ(sent[index].address.address, slots[index].endpoint.address.address);
    }
}

TEST_F(StatePacketTest, RefreshesTheSendersClock) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    fake::state.clock = 2500;
    Receive(PLAYER_B, StateBytes(0, 0));
    EXPECT_EQ(slots[0].lastHeard, 0u);
    EXPECT_EQ(slots[1].lastHeard, 2500u);
}

TEST_F(StatePacketTest, FromAStrangerSendsNothing) {
    Join(PLAYER_A);
    Receive(PLAYER_A, StateBytes(1, 0));
    TakeSent();
    EXPECT_EQ(Receive(STRANGER, StateBytes(0x50, KilledBy(0))), "");
    EXPECT_TRUE(TakeSent().empty());
    std::vector<std::uint8_t> relayed(STATE_PACKET_SIZE);
    std::memcpy(relayed.data(), &relayBuffer, STATE_PACKET_SIZE);
    EXPECT_EQ(relayed, StateBytes(1, 0));
    EXPECT_EQ(scoreTable->recordCount, 0u);
}

TEST_F(StatePacketTest, KillIsAnnouncedAndScored) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    EXPECT_EQ(Receive(PLAYER_B, StateBytes(0, KilledBy(0))), "Player 0 has killed player 1!\n");
    EXPECT_EQ(TakeSent().size(), 4u);  // two replies, the packet to both
    ASSERT_EQ(scoreTable->recordCount, 2u);
    // The victim's death is added first, so its record comes first.
    EXPECT_EQ(scoreTable->records[0].address, PLAYER_B);
    EXPECT_EQ(scoreTable->records[0].deaths, 1);
    EXPECT_EQ(scoreTable->records[0].kills, 0);
    EXPECT_EQ(scoreTable->records[1].address, PLAYER_A);
    EXPECT_EQ(scoreTable->records[1].kills, 1);
    EXPECT_EQ(scoreTable->records[1].deaths, 0);
}

TEST_F(StatePacketTest, FlagBitsOutsideKilledAndKillerAreNotRead) {
    Join(PLAYER_A);
    // playerIndex bits and bit 0 set, killed clear: no kill.
    EXPECT_EQ(Receive(PLAYER_A, StateBytes(0, 0xE1 | 0x1C)), "");
    // Every killer value, with the other bits set too.
    for (int killer = 0; killer < MAX_PLAYERS; ++killer) {
        const std::uint8_t flags = static_cast<std::uint8_t>(KilledBy(killer) | 0xE1);
        EXPECT_EQ(Receive(PLAYER_A, StateBytes(0, flags)),
                  "Player " + std::to_string(killer) + " has killed player 0!\n");
    }
}

TEST_F(StatePacketTest, KillerMaySelfReport) {
    Join(PLAYER_A);
    EXPECT_EQ(Receive(PLAYER_A, StateBytes(0, KilledBy(0))), "Player 0 has killed player 0!\n");
    ASSERT_EQ(scoreTable->recordCount, 1u);
    EXPECT_EQ(scoreTable->records[0].kills, 1);
    EXPECT_EQ(scoreTable->records[0].deaths, 1);
}

TEST_F(StatePacketTest, SameAddressTwiceMatchesTheLowerSlot) {
    Join(PLAYER_A);
    Join(PLAYER_A);
    fake::state.clock = 2000;
    Receive(PLAYER_A, StateBytes(0, 0));
    EXPECT_EQ(slots[0].lastHeard, 2000u);
    EXPECT_EQ(slots[1].lastHeard, 0u);
    // So the higher slot is dropped by the sweep, with its message, its drop scored and a
    // packet for it relayed to the lower one.
    TakeSent();
    EXPECT_EQ(PassAt(3001), "Player 1 disconnected\n");
    const std::vector<fake::Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].handle, slots[0].endpoint.handle);
    EXPECT_EQ(sent[0].bytes[15], 1 * 36 + 2);
    EXPECT_EQ(scoreTable->records[0].deaths, 1);
}

using TimeoutTest = ServerTest;

TEST_F(TimeoutTest, SilentForExactlyTheTimeoutKeepsTheSlotOneMoreMillisecondDrops) {
    fake::state.clock = 100;
    Join(PLAYER_A);
    EXPECT_EQ(PassAt(100 + PLAYER_TIMEOUT_MS), "");
    EXPECT_EQ(slots[0].active, 1);
    EXPECT_EQ(PassAt(100 + PLAYER_TIMEOUT_MS + 1), "Player 0 disconnected\n");
    EXPECT_EQ(slots[0].active, 0);
}

TEST_F(TimeoutTest, AgesAreTakenAcrossTheClockWrap) {
    const std::uint32_t joinedAt = 0xFFFFFF00u;  // 256 ms before the clock wraps to 0
    fake::state.clock = joinedAt;
    Join(PLAYER_A);
    EXPECT_EQ(PassAt(joinedAt + 100), "");
    EXPECT_EQ(PassAt(PLAYER_TIMEOUT_MS - 256), "");  // 3000 ms after the join, past the wrap
    EXPECT_EQ(slots[0].active, 1);
    EXPECT_EQ(PassAt(PLAYER_TIMEOUT_MS - 255), "Player 0 disconnected\n");
}

TEST_F(TimeoutTest, DropReportsThePlayerKilledToTheOthers) {
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        Join(PlayerAddress(index));
    }
    fake::state.clock = 1000;
    Receive(PlayerAddress(0), StateBytes(0x30, 0x01));
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        if (index != 5) {
            Receive(PlayerAddress(index), StateBytes(0x30, 0x01));
        }
    }
    TakeSent();
    const SocketHandle dropped = slots[5].endpoint.handle;
    EXPECT_EQ(PassAt(3001), "Player 5 disconnected\n");

    const std::vector<fake::Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 7u);
    std::vector<std::uint8_t> expected = StateBytes(0x30, 5 * 36 + 2);
    for (const fake::Datagram& datagram : sent) {
        EXPECT_EQ(datagram.bytes, expected);
        EXPECT_NE(datagram.handle, dropped);
    }
    // The dropped player's socket is closed; its address stays for matching.
    EXPECT_EQ(fake::state.closedSockets, std::vector<SocketHandle>{dropped});
    EXPECT_EQ(slots[5].endpoint.address.address, PlayerAddress(5));
    // The drop is a death for its address.
    const int position = FindOrAddScore(PlayerAddress(5));
    EXPECT_EQ(scoreTable->records[position].deaths, 1);
    EXPECT_EQ(scoreTable->records[position].kills, 0);
}

// The highest slot of `index + 1` players is the one left silent.
class DropFlagsTest : public TimeoutTest, public testing::WithParamInterface<int> {};

TEST_P(DropFlagsTest, ByteForTheDroppedSlot) {
    const int index = GetParam();
    for (int other = 0; other <= index; ++other) {
        Join(PlayerAddress(other));
    }
    fake::state.clock = 10;
    for (int other = 0; other < index; ++other) {
        Receive(PlayerAddress(other), StateBytes(0, 0xFF));
    }
    TakeSent();
    PassAt(PLAYER_TIMEOUT_MS + 1);
    EXPECT_EQ(relayBuffer.flags, index * 36 + 2);
    EXPECT_EQ(relayBuffer.state[0], 0);
    EXPECT_EQ(TakeSent().size(), static_cast<std::size_t>(index));
}

INSTANTIATE_TEST_SUITE_P(EverySlot, DropFlagsTest, testing::Range(0, MAX_PLAYERS));

TEST_F(TimeoutTest, SeveralDropsInOnePassLowestFirst) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    Join(PLAYER_C);
    fake::state.clock = 2000;
    Receive(PLAYER_B, StateBytes(0, 0));
    TakeSent();
    const SocketHandle slot2 = slots[2].endpoint.handle;
    EXPECT_EQ(PassAt(3001), "Player 0 disconnected\nPlayer 2 disconnected\n");
    const std::vector<fake::Datagram> sent = TakeSent();
    // Slot 0's drop goes to slots 1 and 2, which is still held then; slot 2's to slot 1.
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes[15], 0x02);
    EXPECT_EQ(sent[0].handle, slots[1].endpoint.handle);
    EXPECT_EQ(sent[1].bytes[15], 0x02);
    EXPECT_EQ(sent[1].handle, slot2);
    EXPECT_EQ(sent[2].bytes[15], 2 * 36 + 2);
    EXPECT_EQ(sent[2].handle, slots[1].endpoint.handle);
}

TEST_F(TimeoutTest, NextJoinTakesTheLowestFreedSlotWithANewSocket) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    fake::state.clock = 2000;
    Receive(PLAYER_B, StateBytes(0, 0));
    const SocketHandle old = slots[0].endpoint.handle;
    PassAt(3001);
    EXPECT_EQ(slots[0].endpoint.handle, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(Join(PLAYER_C), "Player 0 connected at 10.200.30.4\n");
    EXPECT_NE(slots[0].endpoint.handle, INVALID_SOCKET_HANDLE);
    EXPECT_NE(slots[0].endpoint.handle, old);
    EXPECT_EQ(slots[0].endpoint.address.address, PLAYER_C);
}

TEST_F(TimeoutTest, AFreedSlotIsStillHeardButSentNothing) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    fake::state.clock = 2000;
    Receive(PLAYER_B, StateBytes(0, 0));
    PassAt(3001);  // slot 0 dropped
    TakeSent();
    fake::state.clock = 3500;
    EXPECT_EQ(Receive(PLAYER_A, StateBytes(7, KilledBy(1))), "Player 1 has killed player 0!\n");
    EXPECT_EQ(slots[0].lastHeard, 3500u);
    EXPECT_EQ(slots[0].active, 0);
    const std::vector<fake::Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].handle, slots[1].endpoint.handle);
    EXPECT_EQ(sent[0].bytes, StateBytes(7, KilledBy(1)));
    // A freed slot is not swept again.
    EXPECT_EQ(PassAt(100000), "Player 1 disconnected\n");
}

TEST_F(TimeoutTest, JoinsAndDropsNeverHoldMoreSocketsThanPlayers) {
    for (int round = 0; round < 50; ++round) {
        fake::state.clock = static_cast<std::uint32_t>(round * 10000);
        for (int index = 0; index < MAX_PLAYERS; ++index) {
            Join(PlayerAddress(index));
        }
        EXPECT_EQ(fake::state.openSockets.size(), static_cast<std::size_t>(MAX_PLAYERS));
        PassAt(fake::state.clock + PLAYER_TIMEOUT_MS + 1);
        EXPECT_TRUE(fake::state.openSockets.empty());
    }
}

// Sends that fail: a network condition costs only that datagram; anything else is fatal.
class SendFailureTest : public ServerTest, public testing::WithParamInterface<int> {};

TEST_P(SendFailureTest, DroppableErrorCostsOnlyTheDatagram) {
    fake::state.sendError = GetParam();
    Join(PLAYER_A);
    Join(PLAYER_B);
    Receive(PLAYER_A, StateBytes(0, 0));
    EXPECT_EQ(slots[1].active, 1);
    fake::state.sendError = 0;
    Receive(PLAYER_B, StateBytes(0, 0));
    EXPECT_EQ(TakeSent().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    NetworkConditions, SendFailureTest,
    testing::Values(SOCKET_ERROR_WOULD_BLOCK, SOCKET_ERROR_NO_BUFFER_SPACE,
                    SOCKET_ERROR_NETWORK_UNREACHABLE, SOCKET_ERROR_HOST_UNREACHABLE,
                    SOCKET_ERROR_CONNECTION_REFUSED, SOCKET_ERROR_CONNECTION_RESET,
                    SOCKET_ERROR_NETWORK_DOWN, SOCKET_ERROR_HOST_DOWN, SOCKET_ERROR_ACCESS_DENIED,
                    SOCKET_ERROR_ADDRESS_NOT_AVAILABLE, SOCKET_ERROR_INTERRUPTED));

class FatalSendTest : public ServerTest, public testing::WithParamInterface<int> {};

TEST_P(FatalSendTest, BrokenServerEndsWithItsMessage) {
    Join(PLAYER_A);
    fake::state.sendError = GetParam();
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            fake::Queue(PLAYER_A, StateBytes(0, 0));
            RunLoopPass();
        },
        testing::ExitedWithCode(0), "^sendto failed: " + std::to_string(GetParam()) + "$");
}

INSTANTIATE_TEST_SUITE_P(BrokenServer, FatalSendTest,
                         testing::Values(SOCKET_ERROR_NOT_SOCKET, SOCKET_ERROR_BAD_HANDLE,
                                         SOCKET_ERROR_INVALID_ARGUMENT, SOCKET_ERROR_BAD_ADDRESS,
                                         SOCKET_ERROR_MESSAGE_TOO_LONG,
                                         SOCKET_ERROR_NOT_INITIALISED));

TEST_F(ServerTest, SocketFailureAtJoinIsFatal) {
    fake::state.socketError = SOCKET_ERROR_TOO_MANY_OPEN;
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            fake::Queue(PLAYER_A, JoinBytes());
            RunLoopPass();
        },
        testing::ExitedWithCode(0), "^Player 0 connected at 127.0.0.2\nsocket failed: 10024$");
}

}  // namespace
