// Fuzzes what the network can send: datagrams of any length from any address, as the main loop
// takes and dispatches them, interleaved with clock steps (the wrap included) and key presses,
// against the real slot table, relay and score table over the fake platform.
//
// The input is a program of operations (see RunProgram). After every pass of the main loop the
// harness compares what the server did with its own account of what it must do: the exact
// datagrams sent (socket, destination, bytes), the sockets open, the slots and the score table.
// Independently of that account it checks the promises that matter most against an attacker:
// never more than 8 players, never more than 100 score records, nothing ever sent to an address
// that did not ask to join, no socket leaked and none sent through after it was closed.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "main/server.h"
#include "relay/relay.h"
#include "scores/scores.h"

namespace {

constexpr int FUZZ_TRANSMIT_PORT = 27016;
constexpr int MAX_OPERATIONS = 2048;

// The addresses most operations use, so that joins and state packets meet: eight players, the
// zero address (the one a slot never held carries) and a stranger.
constexpr std::array<std::uint32_t, 10> KNOWN_ADDRESSES = {
    fake::Address(127, 0, 0, 2),  fake::Address(127, 0, 0, 3),   fake::Address(127, 0, 0, 4),
    fake::Address(127, 0, 0, 5),  fake::Address(127, 0, 0, 6),   fake::Address(127, 0, 0, 7),
    fake::Address(10, 1, 2, 3),   fake::Address(192, 168, 0, 9), 0,
    fake::Address(203, 0, 113, 7)};

// Lengths beyond the 40-byte receive buffer that a datagram operation can pick.
constexpr std::array<std::size_t, 6> LONG_LENGTHS = {41, 64, 576, 1472, 1500, 65507};

// The input, read front to back; past its end every read is 0.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;

    bool Done() const { return offset >= size; }
    std::uint8_t Byte() { return offset < size ? data[offset++] : 0; }
    // Little-endian, byte by byte in input order.
    std::uint32_t Bytes(int count) {
        std::uint32_t value = 0;
        for (int index = 0; index < count; ++index) {
            value |= static_cast<std::uint32_t>(Byte()) << (8 * index);
        }
        return value;
    }
    std::uint32_t Word16() { return Bytes(2); }
    std::uint32_t Address() {
        const std::uint8_t pick = Byte();
        return pick < 240 ? KNOWN_ADDRESSES[pick % KNOWN_ADDRESSES.size()] : Bytes(4);
    }
};

// The harness's own account of the server.
struct ModelSlot {
    bool active = false;
    std::uint32_t address = 0;
    std::uint32_t lastHeard = 0;
    SocketHandle handle = 0;
};

struct Model {
    std::array<ModelSlot, MAX_PLAYERS> slots{};
    std::array<std::uint8_t, STATE_PACKET_SIZE> relay{};
    ScoreTable scores{};
    std::set<std::uint32_t> askedToJoin;   // every address a well-formed join came from
    std::set<SocketHandle> closed;         // every socket the server should have closed
    std::vector<fake::Datagram> expected;  // the sends of the pass being checked
};

Model model;

void CountDeath(std::uint32_t address, bool death) {
    ScoreTable& table = model.scores;
    int position = 0;
    while (position < MAX_SCORE_RECORDS && table.records[position].address != address) {
        ++position;
    }
    if (position == MAX_SCORE_RECORDS) {
        if (table.recordCount == MAX_SCORE_RECORDS) {
            return;  // full: a new address is not counted
        }
        position = static_cast<int>(table.recordCount++);
        table.records[position] = ScoreRecord{address, 0, 0};
    }
    ScoreRecord& record = table.records[position];
    if (death) {
        ++record.deaths;
    } else {
        ++record.kills;
    }
}

void ExpectSend(SocketHandle handle, std::uint32_t address, const std::uint8_t* bytes, int size) {
    InetAddress to{};
    to.family = ADDRESS_FAMILY_INET;
    to.port = HostToNetwork16(FUZZ_TRANSMIT_PORT);
    to.address = address;
    model.expected.push_back(fake::Datagram{handle, to, {bytes, bytes + size}});
}

void ExpectRelay() {
    for (const ModelSlot& slot : model.slots) {
        if (slot.active) {
            ExpectSend(slot.handle, slot.address, model.relay.data(), STATE_PACKET_SIZE);
        }
    }
}

// What one pass must do with the datagram at the front of the queue (if any) at clock now.
void ExpectPass(const fake::Datagram* datagram, std::uint32_t now) {
    model.expected.clear();
    if (datagram != nullptr && datagram->bytes.size() == JOIN_REQUEST_SIZE &&
        std::equal(JOIN_REQUEST.begin(), JOIN_REQUEST.end(), datagram->bytes.begin())) {
        auto free = std::find_if(model.slots.begin(), model.slots.end(),
                                 [](const ModelSlot& slot) { return !slot.active; });
        if (free != model.slots.end()) {
            // The join opens the next socket the fake hands out.
            *free = ModelSlot{true, datagram->address.address, now, fake::state.nextHandle};
            const std::uint8_t reply[JOIN_REPLY_SIZE] = {
                static_cast<std::uint8_t>(free - model.slots.begin()), 0, 0, 0};
            ExpectSend(free->handle, free->address, reply, JOIN_REPLY_SIZE);
        }
    } else if (datagram != nullptr && datagram->bytes.size() == STATE_PACKET_SIZE) {
        auto sender = std::find_if(model.slots.begin(), model.slots.end(), [&](const auto& slot) {
            return slot.address == datagram->address.address;
        });
        if (sender != model.slots.end()) {
            std::copy(datagram->bytes.begin(), datagram->bytes.end(), model.relay.begin());
            sender->lastHeard = now;
            const std::uint8_t flags = model.relay[STATE_PACKET_SIZE - 1];
            if ((flags & FLAG_KILLED) != 0) {
                const int killer = (flags & FLAG_KILLER_MASK) >> FLAG_KILLER_SHIFT;
                CountDeath(sender->address, true);
                CountDeath(model.slots[killer].address, false);
            }
            ExpectRelay();
        }
    }
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        ModelSlot& slot = model.slots[index];
        if (slot.active && now - slot.lastHeard > PLAYER_TIMEOUT_MS) {
            slot.active = false;
            model.closed.insert(slot.handle);
            model.relay[STATE_PACKET_SIZE - 1] = static_cast<std::uint8_t>(index * 36 + 2);
            CountDeath(slot.address, true);
            ExpectRelay();
        }
    }
}

bool SameDatagram(const fake::Datagram& a, const fake::Datagram& b) {
    return a.handle == b.handle && a.address.family == b.address.family &&
           a.address.port == b.address.port && a.address.address == b.address.address &&
           a.bytes == b.bytes;
}

// Runs one pass of the real main loop and holds it against the model.
void Pass() {
    const fake::Datagram* front = fake::state.incoming.empty() ? nullptr : &fake::state.incoming[0];
    const std::set<SocketHandle> closedBefore = model.closed;
    const int keysTaken = fake::state.keysTaken;
    const bool keyWaiting = fake::state.keysWaiting > 0;
    ExpectPass(front, fake::state.clock);
    fake::state.sent.clear();

    RunLoopPass();

    const std::vector<fake::Datagram>& sent = fake::state.sent;
    Require(sent.size() == model.expected.size(), "the number of datagrams sent in a pass");
    for (std::size_t index = 0; index < sent.size(); ++index) {
        Require(SameDatagram(sent[index], model.expected[index]),
                "each datagram sent: socket, destination and bytes (a relay is the input byte "
                "for byte, a drop packet carries d*36+2)");
        Require(model.askedToJoin.count(sent[index].address.address) == 1,
                "nothing is sent to an address that never asked to join");
        Require(closedBefore.count(sent[index].handle) == 0, "no send through a closed socket");
    }
    // The listening socket and one socket for each player: nothing leaks.
    std::set<SocketHandle> open = {listenEndpoint.handle};
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        const ModelSlot& expected = model.slots[index];
        const PlayerSlot& slot = slots[index];
        Require(slot.active == (expected.active ? 1 : 0), "slot active as expected");
        Require(slot.endpoint.address.address == expected.address, "slot address as expected");
        if (expected.active) {
            Require(slot.endpoint.handle == expected.handle, "slot socket as expected");
            Require(slot.lastHeard == expected.lastHeard, "slot last-heard time as expected");
            open.insert(expected.handle);
        }
    }
    // Counted from the sockets the fake platform holds open, apart from the slot table.
    Require(fake::state.openSockets.size() <= MAX_PLAYERS + 1,
            "never more than 8 players (and the listening socket)");
    Require(fake::state.openSockets == open, "open sockets are the listening one and the players'");
    for (const SocketHandle handle : model.closed) {
        Require(fake::state.openSockets.count(handle) == 0, "a freed slot's socket is closed");
    }
    Require(std::memcmp(&relayBuffer, model.relay.data(), STATE_PACKET_SIZE) == 0,
            "relay buffer as expected");
    Require(scoreTable->recordCount <= MAX_SCORE_RECORDS, "never more than 100 score records");
    Require(std::memcmp(scoreTable, &model.scores, sizeof(ScoreTable)) == 0,
            "score table as expected");
    Require(fake::state.keysTaken == keysTaken + (keyWaiting ? 1 : 0), "one key taken a pass");
}

void QueueDatagram(Reader& input, std::uint32_t address, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t index = 0; index < length && index < 64; ++index) {
        bytes[index] = input.Byte();
    }
    // Content of any length can spell the join request, and then it is one.
    if (std::equal(bytes.begin(), bytes.end(), JOIN_REQUEST.begin(), JOIN_REQUEST.end())) {
        model.askedToJoin.insert(address);
    }
    fake::Queue(address, bytes);
}

// Operations, one byte each and then their arguments:
//   0  join request from an address
//   1  16-byte state packet from an address (16 bytes follow)
//   2  a near-join: the join request with one byte changed
//   3  datagram of any length from an address (the length, then up to 64 bytes of content)
//   4  clock step: a few ms, up to 65 s, right at the timeout, or a jump close to the wrap
//   5  one to eight passes of the main loop
//   6  a key press
void RunProgram(Reader& input) {
    for (int operation = 0; operation < MAX_OPERATIONS && !input.Done(); ++operation) {
        switch (input.Byte() % 7) {
            case 0: {
                const std::uint32_t address = input.Address();
                model.askedToJoin.insert(address);
                fake::Queue(address, {JOIN_REQUEST.begin(), JOIN_REQUEST.end()});
                break;
            }
            case 1: {
                const std::uint32_t address = input.Address();
                QueueDatagram(input, address, STATE_PACKET_SIZE);
                break;
            }
            case 2: {
                std::vector<std::uint8_t> bytes(JOIN_REQUEST.begin(), JOIN_REQUEST.end());
                const std::uint32_t address = input.Address();
                bytes[input.Byte() % JOIN_REQUEST_SIZE] ^=
                    static_cast<std::uint8_t>(1 + input.Byte() % 255);
                fake::Queue(address, bytes);
                break;
            }
            case 3: {
                const std::uint32_t address = input.Address();
                const std::uint8_t pick = input.Byte();
                const std::size_t length =
                    pick < 250 ? pick % 48 : LONG_LENGTHS[pick % LONG_LENGTHS.size()];
                QueueDatagram(input, address, length);
                break;
            }
            case 4:
                switch (input.Byte() % 4) {
                    case 0:
                        fake::state.clock += input.Byte();
                        break;
                    case 1:
                        fake::state.clock += input.Word16();
                        break;
                    case 2:
                        fake::state.clock += PLAYER_TIMEOUT_MS - 1 + input.Byte() % 3;
                        break;
                    default:
                        fake::state.clock = 0xFFFFFFFFu - input.Word16();
                        break;
                }
                break;
            case 5:
                for (int pass = input.Byte() % 8; pass >= 0; --pass) {
                    Pass();
                }
                break;
            default:
                ++fake::state.keysWaiting;
                break;
        }
    }
    // Whatever is still queued is taken, then one more pass.
    while (!fake::state.incoming.empty()) {
        Pass();
    }
    Pass();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    static_cast<void>(quiet);

    fake::Reset();
    model = Model{};
    Reader input{data, size};
    // The first byte picks the clock's start: any value, so that the wrap is met early or late.
    fake::state.clock = input.Byte() % 2 == 0 ? input.Word16() : 0xFFFFFFFFu - input.Word16();
    transmitPort = FUZZ_TRANSMIT_PORT;
    listenEndpoint = CreateListenEndpoint(0, ANY_ADDRESS);
    ClearSlots();
    CreateScoreTable();
    RunProgram(input);
    return 0;
}
