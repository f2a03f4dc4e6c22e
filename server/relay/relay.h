// Player slots and the relay protocol: joins, state packets relayed to every player, kills and
// the timeout of silent players.
//
// Wire formats (players send to the listening port; the server sends from a slot's endpoint to
// the player's address at the transmitting port):
//   join request  player -> server  11 bytes  "NIGHTCOMET" and one zero byte
//   join reply    server -> player   4 bytes  the slot index, 32-bit little-endian, 0 to 7
//   state packet  both ways         16 bytes  bytes 0-14 the player's state, byte 15 flags
#pragma once

#include <array>
#include <cstdint>

#include "net/net.h"

inline constexpr int MAX_PLAYERS = 8;
inline constexpr std::uint32_t PLAYER_TIMEOUT_MS = 3000;

inline constexpr int JOIN_REQUEST_SIZE = 11;
inline constexpr int JOIN_REPLY_SIZE = 4;
inline constexpr int STATE_PACKET_SIZE = 16;

inline constexpr std::array<std::uint8_t, JOIN_REQUEST_SIZE> JOIN_REQUEST = {
    'N', 'I', 'G', 'H', 'T', 'C', 'O', 'M', 'E', 'T', 0};

// Bits of a state packet's flags byte. Bit 0 is the client's own and is not read.
inline constexpr std::uint8_t FLAG_KILLED = 0x02;       // the sending player was killed
inline constexpr std::uint8_t FLAG_KILLER_MASK = 0x1C;  // slot of the killer, when killed
inline constexpr int FLAG_KILLER_SHIFT = 2;
inline constexpr int FLAG_PLAYER_INDEX_SHIFT = 5;  // slot of a dropped player

struct StatePacket {
    std::array<std::uint8_t, STATE_PACKET_SIZE - 1> state;  // the client's, passed on unchanged
    std::uint8_t flags;
};
static_assert(sizeof(StatePacket) == STATE_PACKET_SIZE);

struct PlayerSlot {
    std::int32_t active;      // 1 while a player holds the slot
    Endpoint endpoint;        // the player's address at the transmitting port
    std::uint32_t lastHeard;  // clock value of the join or of the last packet matched here
};

// A freed slot keeps its endpoint's address (state packets are still matched against it), but
// its socket is closed when the slot is freed: the handle is then INVALID_SOCKET_HANDLE.
extern std::array<PlayerSlot, MAX_PLAYERS> slots;

// The last state packet that matched a slot, or the last packet made for a dropped player.
extern StatePacket relayBuffer;

// Frees every slot and zeroes the relay buffer, as at start-up.
void ClearSlots();

// A join request: the lowest free slot is given to the source address and told its index.
void HandleJoin(const ReceiveResult& result);

// A 16-byte datagram: relayed when its source address matches a slot, active or free.
void HandleStatePacket(const ReceiveResult& result, const std::uint8_t* buffer);

// Drops every active slot silent for more than PLAYER_TIMEOUT_MS.
void SweepTimeouts();

// Sends the relay buffer to every active slot.
void RelayPacket();
