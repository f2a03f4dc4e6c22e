// The player simulator's engine: simulated players that join a Nightcomet II server, send state
// packets on a schedule and measure the relays that come back. The nightcomet-sim tool and the
// relay benchmark both drive a server with it.
//
// Each player owns bytes 0 to 14 of the state packets it sends and writes into them what it needs
// to recognise the relays: a mark, a tag of this run, the player's number, a sequence number and
// the send time. Byte 15 carries the flags that the server reads (a kill report); its bit 0,
// which the server never reads and clears in the packet it makes for a dropped player, is always
// set in the simulator's own packets, so the two can be told apart.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay/relay.h"

// More than the server's 8 slots, so that the simulator can fill the server and show that the
// players beyond its slots get no reply.
inline constexpr int MAX_SIM_PLAYERS = 32;

// ---------------------------------------------------------------------------------------------
// Addresses

// An IPv4 address as the server and the sockets hold it: first octet in the lowest byte.
constexpr std::uint32_t Ipv4(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
           static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

inline constexpr std::uint32_t LOCALHOST = Ipv4(127, 0, 0, 1);

// Parses four dotted decimal octets. Returns false for anything else.
bool ParseIpv4(const std::string& text, std::uint32_t& address);

// "127.0.0.2".
std::string FormatIpv4(std::uint32_t address);

// Whether the address lies in 127.0.0.0/8, where every address is this machine's.
constexpr bool IsLoopback(std::uint32_t address) {
    return (address & 0xFF) == 127;
}

// The address count steps above address (127.0.0.2 plus 3 is 127.0.0.5).
std::uint32_t NextIpv4(std::uint32_t address, int count);

// ---------------------------------------------------------------------------------------------
// State packets

// The first byte of every state packet the simulator writes.
inline constexpr std::uint8_t SIM_PACKET_MARK = 0xC5;
// Bit 0 of the flags: set in every packet of the simulator, clear in one the server made.
inline constexpr std::uint8_t FLAG_SIMULATED = 0x01;

// What the simulator writes into a state packet.
struct SimPacket {
    std::uint8_t runTag;       // tells this run's packets from those of an earlier run
    std::uint8_t player;       // the sending player's number in the simulator (not its slot)
    std::uint32_t sequence;    // counts the player's packets from 0
    std::uint64_t sendMicros;  // microseconds from the start of the run to the send
    std::uint8_t flags;        // byte 15
};

// Layout: byte 0 SIM_PACKET_MARK, 1 runTag, 2 player, 3-6 sequence, 7-14 sendMicros (both
// little-endian), 15 flags.
std::array<std::uint8_t, STATE_PACKET_SIZE> EncodeSimPacket(const SimPacket& packet);

// The flags byte of a state packet: FLAG_SIMULATED, the sender's own slot in the player index
// bits, and for a kill report the killed bit and the killer's slot.
std::uint8_t SimFlags(int ownSlot, bool killed, int killerSlot);

enum class RelayKind {
    SIM_PACKET,   // one of this run's packets, relayed
    DROP_NOTICE,  // the packet the server made for a dropped player
    FOREIGN,      // anything else: another client's packet, an earlier run's
};

struct DecodedRelay {
    RelayKind kind;
    SimPacket packet;  // for SIM_PACKET
    int droppedSlot;   // for DROP_NOTICE
};

// Reads a received 16-byte datagram.
DecodedRelay DecodeRelay(std::span<const std::uint8_t, STATE_PACKET_SIZE> bytes,
                         std::uint8_t runTag);

// ---------------------------------------------------------------------------------------------
// Latency statistics

// A histogram of latencies in microseconds that holds any run in a fixed size: values below
// 128 are counted exactly, larger ones in 64 steps per power of two (within 1.6 %).
inline constexpr int LATENCY_EXACT_BELOW = 128;
inline constexpr int LATENCY_STEPS_PER_OCTAVE = 64;
inline constexpr int LATENCY_BUCKETS = LATENCY_EXACT_BELOW + (64 - 7) * LATENCY_STEPS_PER_OCTAVE;

struct LatencyHistogram {
    std::array<std::uint64_t, LATENCY_BUCKETS> counts;
    std::uint64_t total;
    std::uint64_t maxMicros;
};

int LatencyBucket(std::uint64_t micros);
// The largest value that falls into a bucket.
std::uint64_t LatencyBucketTop(int bucket);

void AddLatency(LatencyHistogram& histogram, std::uint64_t micros);
void MergeLatency(LatencyHistogram& into, const LatencyHistogram& from);
// The nearest-rank percentile (percent from 0 to 100): the smallest value that at least that
// share of the samples does not exceed, as the top of its bucket but never above the maximum.
// 0 for an empty histogram.
std::uint64_t LatencyPercentile(const LatencyHistogram& histogram, double percent);

// ---------------------------------------------------------------------------------------------
// A run

struct SimConfig {
    std::uint32_t serverAddress = LOCALHOST;
    int port = 0;       // the server's listening port (its "port")
    int otherPort = 0;  // where the server sends to on each player's address ("otherport")
    int players = 8;
    double rate = 60;                // state packets per second per player
    double killRate = 0;             // kill reports per second, over all players
    double silentAfterSeconds = -1;  // when the last joined player stops sending; < 0: never
    double silentForSeconds = 0;     // how long it stays silent; 0: for good
    int joinTimeoutMs = 2000;
    int drainMs = 500;  // how long relays are awaited after the last send
    // Every player on one address (the only way to reach a server on another machine): one
    // receive socket at otherPort on bindAddress for all. Otherwise player n has its own
    // loopback address, firstPlayerAddress plus n.
    bool sharedAddress = false;
    std::uint32_t bindAddress = 0;
    std::uint32_t firstPlayerAddress = Ipv4(127, 0, 0, 2);
};

struct SimPlayer {
    std::uint32_t address;  // its source address (in shared mode the shared one)
    int receiver;           // the receiver that gets its relays
    int slot;               // its slot in the server, -1 while it holds none
    int firstSlot;          // the slot its first join got, -1 when it never got one
    bool joinTried;
    bool awaitingJoin;
    bool rejoining;  // joining again after a silence the server will have dropped it for
    bool sending;    // joined and not silent
    bool silent;
    std::int64_t silentSinceMicros;  // -1 when it never went silent
    std::int64_t droppedMicros;      // when a drop notice for its slot first came, -1: never
    int droppedSlot;                 // the slot it lost
    std::uint32_t nextSequence;
    double nextSendMicros;  // kept exact, so that any rate holds over a long run
    std::uint64_t sent;
    std::uint64_t killsReported;
    bool killPending;
    int pendingKiller;
};

struct SimReceiver {
    SocketHandle socket;
    std::uint32_t address;
    // The relays it should get: those of packets sent while it listens. It listens from its
    // (first) join on, except while its player is silent.
    bool listening;
    std::int64_t listenFromMicros;
    std::int64_t listenUntilMicros;
    std::uint64_t expected;
    std::uint64_t received;    // distinct relays of this run's packets, sent while listening
    std::uint64_t duplicates;  // the same relay again (one address holding several slots)
    std::uint64_t killRelays;  // relays that carried a kill report
    std::uint64_t dropNotices;
    std::uint64_t foreign;
    LatencyHistogram latency;
    // Sequence numbers seen, a bit each, per sending player.
    std::array<std::vector<std::uint64_t>, MAX_SIM_PLAYERS> seen;
};

struct SimRun {
    SimConfig config;
    InetAddress server;
    std::uint8_t runTag;
    std::chrono::steady_clock::time_point epoch;
    int playerCount;
    int receiverCount;
    std::array<SimPlayer, MAX_SIM_PLAYERS> players;
    std::array<SimReceiver, MAX_SIM_PLAYERS> receivers;
    std::array<SocketHandle, MAX_SIM_PLAYERS> sockets;  // the receivers' sockets, for waiting
    std::int64_t loadStartMicros;
    std::int64_t loadEndMicros;  // when the sending ended (early after RequestSimStop)
    int killTurn;
};

// Microseconds since the run was opened.
std::int64_t NowMicros(const SimRun& run);

// Opens and binds the players' sockets. On failure closes what it opened and says why.
bool OpenPlayers(SimRun& run, const SimConfig& config, std::string& error);

// Joins the players one after another, each waiting up to joinTimeoutMs for its reply. Stops at
// the first join without a reply (the server is full, or not there): the players after it are
// not tried. Returns how many hold a slot.
int JoinPlayers(SimRun& run);

// Asks a running JoinPlayers or RunLoad to end early (RunLoad still waits for the last relays).
// Safe to call from a signal handler.
void RequestSimStop();

// Called about twice a second during RunLoad, for a live status line.
using ProgressHook = void (*)(const SimRun& run, std::int64_t nowMicros);

// Sends state packets from every joined player at config.rate for the given time, with the kill
// reports and the silence of the configuration, receives the relays and then waits drainMs for
// the last ones.
void RunLoad(SimRun& run, double seconds, ProgressHook progress);

// Only receives, for the given time: the relays of packets already sent.
void AwaitRelays(SimRun& run, int milliseconds);

// Zeroes the counters and histograms, so that the next RunLoad is measured on its own.
void ResetCounters(SimRun& run);

// Closes the sockets; the figures stay for reading.
void ClosePlayers(SimRun& run);

// The sums over all receivers and players.
struct SimTotals {
    int joined;
    std::uint64_t sent;
    std::uint64_t expected;
    std::uint64_t received;
    std::uint64_t duplicates;
    std::uint64_t killsReported;
    std::uint64_t killRelays;
    std::uint64_t dropNotices;
    LatencyHistogram latency;
};

SimTotals Totals(const SimRun& run);

// The share of expected relays that did not come, from 0 to 1.
double LossRatio(std::uint64_t expected, std::uint64_t received);
