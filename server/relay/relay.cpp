#include "relay/relay.h"

#include <cstring>

#include "console/console.h"
#include "main/server.h"
#include "scores/scores.h"

std::array<PlayerSlot, MAX_PLAYERS> slots;
StatePacket relayBuffer;

namespace {

// The four octets of an address, first octet first, for a "%d.%d.%d.%d" message.
int Octet(std::uint32_t address, int index) {
    return (address >> (8 * index)) & 0xFF;
}

}  // namespace

void ClearSlots() {
    slots = {};
    relayBuffer = {};
}

void HandleJoin(const ReceiveResult& result) {
    int index = 0;
    while (index < MAX_PLAYERS && slots[index].active != 0) {
        ++index;
    }
    if (index == MAX_PLAYERS) {
        return;  // the game is full: no reply, no message
    }
    PlayerSlot& slot = slots[index];
    const std::uint32_t address = result.fromAddress;
    Print("Player %d connected at %d.%d.%d.%d\n", index, Octet(address, 0), Octet(address, 1),
          Octet(address, 2), Octet(address, 3));
    slot.active = 1;
    slot.endpoint = CreateSendEndpoint(transmitPort, address);
    const std::uint8_t reply[JOIN_REPLY_SIZE] = {static_cast<std::uint8_t>(index), 0, 0, 0};
    SendDatagram(slot.endpoint, reply, JOIN_REPLY_SIZE);
    slot.lastHeard = PlatformMilliseconds();
}

void HandleStatePacket(const ReceiveResult& result, const std::uint8_t* buffer) {
    int victim = 0;
    while (victim < MAX_PLAYERS && slots[victim].endpoint.address.address != result.fromAddress) {
        ++victim;
    }
    if (victim == MAX_PLAYERS) {
        // Not a player's: nothing is sent, so a stranger cannot make the server send to the
        // players.
        return;
    }
    std::memcpy(&relayBuffer, buffer, STATE_PACKET_SIZE);
    slots[victim].lastHeard = PlatformMilliseconds();
    if ((relayBuffer.flags & FLAG_KILLED) != 0) {
        const int killer = (relayBuffer.flags & FLAG_KILLER_MASK) >> FLAG_KILLER_SHIFT;
        Print("Player %d has killed player %d!\n", killer, victim);
        ScoreKill(victim, killer);
    }
    RelayPacket();
}

void SweepTimeouts() {
    // One clock read serves every slot up to the next drop: a sweep without a drop takes far
    // less than the clock's millisecond, and after a drop (a message and a relay) it is read
    // again. Reading it for each active slot cost 8 reads a pass, the most of what the loop
    // does beyond its receive.
    bool haveNow = false;
    std::uint32_t now = 0;
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        PlayerSlot& slot = slots[index];
        if (slot.active == 0) {
            continue;
        }
        if (!haveNow) {
            now = PlatformMilliseconds();
            haveNow = true;
        }
        const std::uint32_t age = now - slot.lastHeard;
        if (age <= PLAYER_TIMEOUT_MS) {
            continue;
        }
        Print("Player %d disconnected\n", index);
        slot.active = 0;
        // The slot's socket is never sent through again; its address stays for matching.
        CloseEndpoint(slot.endpoint);
        slot.endpoint.handle = INVALID_SOCKET_HANDLE;
        relayBuffer.flags = static_cast<std::uint8_t>((index << FLAG_PLAYER_INDEX_SHIFT) |
                                                      (index << FLAG_KILLER_SHIFT) | FLAG_KILLED);
        ScoreDrop(index);
        RelayPacket();
        haveNow = false;
    }
}

void RelayPacket() {
    for (const PlayerSlot& slot : slots) {
        if (slot.active != 0) {
            SendDatagram(slot.endpoint, &relayBuffer, STATE_PACKET_SIZE);
        }
    }
}
