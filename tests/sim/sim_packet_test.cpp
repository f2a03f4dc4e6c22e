// The simulator's state packets on the wire, the server's drop notices, and addresses.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "sim_engine.h"

namespace {

using Bytes = std::array<std::uint8_t, STATE_PACKET_SIZE>;

DecodedRelay Decode(const Bytes& bytes, std::uint8_t runTag) {
    return DecodeRelay(std::span<const std::uint8_t, STATE_PACKET_SIZE>(bytes), runTag);
}

TEST(SimPacket, EncodesEveryFieldAtItsPlaceLittleEndian) {
    const SimPacket packet{0x5A, 3, 0x04030201u, 0x0C0B0A0908070605ull, 0x81};
    const Bytes expected = {
        SIM_PACKET_MARK, 0x5A, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 0x0B, 0x0C, 0x81};
    EXPECT_EQ(EncodeSimPacket(packet), expected);
}

TEST(SimPacket, RelayedPacketDecodesToWhatWasSent) {
    for (const std::uint8_t flags : {SimFlags(0, false, 0), SimFlags(7, true, 2)}) {
        const SimPacket packet{9, 31, 123456u, 987654321012ull, flags};
        const DecodedRelay relay = Decode(EncodeSimPacket(packet), 9);
        ASSERT_EQ(relay.kind, RelayKind::SIM_PACKET);
        EXPECT_EQ(relay.packet.runTag, 9);
        EXPECT_EQ(relay.packet.player, 31);
        EXPECT_EQ(relay.packet.sequence, 123456u);
        EXPECT_EQ(relay.packet.sendMicros, 987654321012ull);
        EXPECT_EQ(relay.packet.flags, flags);
    }
}

TEST(SimPacket, FlagsCarryWhatTheServerReads) {
    // The server reads only bit 1 (killed) and, when it is set, bits 2-4 (the killer's slot).
    struct Case {
        int ownSlot;
        bool killed;
        int killer;
        std::uint8_t flags;
    };
    const Case cases[] = {
        {0, false, 5, 0x01},                      // no kill: the killer is not written
        {3, false, 0, 0x61},                      // own slot in bits 5-7, bit 0 always set
        {0, true, 1, 0x01 | 0x02 | (1 << 2)},     // player 1 killed this one
        {6, true, 6, 0x01 | 0x02 | 0x18 | 0xC0},  // a player may report itself as its killer
        {7, true, 7, 0xFF},
    };
    for (const Case& test : cases) {
        const std::uint8_t flags = SimFlags(test.ownSlot, test.killed, test.killer);
        EXPECT_EQ(flags, test.flags) << test.ownSlot << " " << test.killer;
        EXPECT_EQ((flags & FLAG_KILLED) != 0, test.killed);
        if (test.killed) {
            EXPECT_EQ((flags & FLAG_KILLER_MASK) >> FLAG_KILLER_SHIFT, test.killer);
        }
    }
}

TEST(SimPacket, ServersDropNoticeIsRecognisedForEverySlot) {
    // The server makes it from the last packet it relayed, with byte 15 = slot * 36 + 2.
    const Bytes lastRelayed = EncodeSimPacket({4, 1, 77, 1000, SimFlags(1, false, 0)});
    for (int slot = 0; slot < MAX_PLAYERS; ++slot) {
        Bytes notice = lastRelayed;
        notice[15] = static_cast<std::uint8_t>(slot * 36 + 2);
        const DecodedRelay relay = Decode(notice, 4);
        EXPECT_EQ(relay.kind, RelayKind::DROP_NOTICE) << slot;
        EXPECT_EQ(relay.droppedSlot, slot);
        // Before anything was relayed its first 15 bytes are zero: still a drop notice.
        Bytes zeroed{};
        zeroed[15] = notice[15];
        EXPECT_EQ(Decode(zeroed, 4).kind, RelayKind::DROP_NOTICE);
    }
}

TEST(SimPacket, OtherPacketsAreForeign) {
    const Bytes ours = EncodeSimPacket({4, 1, 77, 1000, SimFlags(1, false, 0)});
    Bytes otherRun = ours;
    otherRun[1] = 5;
    Bytes otherMark = ours;
    otherMark[0] = 'X';
    Bytes clientKill{};  // a real client's kill report: bit 0 clear, killer and index differ
    clientKill[15] = 0x02 | (3 << 2) | (1 << 5);
    Bytes clientState{};
    clientState[15] = 0x00;
    for (const Bytes& bytes : {otherRun, otherMark, clientKill, clientState}) {
        EXPECT_EQ(Decode(bytes, 4).kind, RelayKind::FOREIGN);
    }
}

TEST(SimAddress, ParseAndFormat) {
    struct Case {
        const char* text;
        bool good;
        std::uint32_t address;
    };
    const Case cases[] = {
        {"127.0.0.1", true, Ipv4(127, 0, 0, 1)},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFFu},
        {"10.1.2.3", true, Ipv4(10, 1, 2, 3)},
        {"127.0.0", false, 0},
        {"127.0.0.1.5", false, 0},
        {"256.0.0.1", false, 0},
        {"-1.0.0.1", false, 0},
        {"+1.0.0.1", false, 0},
        {"1.2.3.4 ", false, 0},
        {"", false, 0},
        {"localhost", false, 0},
    };
    for (const Case& test : cases) {
        std::uint32_t address = 0;
        EXPECT_EQ(ParseIpv4(test.text, address), test.good) << test.text;
        if (test.good) {
            EXPECT_EQ(address, test.address) << test.text;
            EXPECT_EQ(FormatIpv4(address), test.text);
        }
    }
    // The first octet travels first: it is the lowest byte.
    EXPECT_EQ(Ipv4(127, 0, 0, 2) & 0xFF, 127u);
    EXPECT_EQ(NextIpv4(Ipv4(127, 0, 0, 2), 3), Ipv4(127, 0, 0, 5));
    EXPECT_EQ(NextIpv4(Ipv4(127, 0, 0, 255), 1), Ipv4(127, 0, 1, 0));
    EXPECT_TRUE(IsLoopback(Ipv4(127, 200, 0, 1)));
    EXPECT_FALSE(IsLoopback(Ipv4(128, 0, 0, 1)));
}

}  // namespace
