#include "sim_engine.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "sim_os.h"

namespace {

constexpr std::int64_t NEVER = std::numeric_limits<std::int64_t>::max();

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
constexpr std::int64_t PROGRESS_PERIOD_MICROS = 500000;
// A sender this far behind its schedule (the machine stalled the simulator) starts afresh from
// now, so that it does not flood the server with the packets it missed.
constexpr std::int64_t MAX_BEHIND_MICROS = 100000;
// Datagrams taken from one socket in a row before the others get their turn.
constexpr int RECEIVE_BURST = 256;
// Room for a long burst of relays while the simulator is busy elsewhere.
constexpr int RECEIVE_BUFFER_BYTES = 4 << 20;

void PutLittleEndian(std::uint8_t* bytes, std::uint64_t value, int count) {
    for (int index = 0; index < count; ++index) {
        bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

std::uint64_t GetLittleEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int index = 0; index < count; ++index) {
        value |= static_cast<std::uint64_t>(bytes[index]) << (8 * index);
    }
    return value;
}

void SendTo(SocketHandle socket, const void* data, int length, const InetAddress& to) {
    // A send that fails only loses that datagram; the loss shows in the figures.
    static_cast<void>(PlatformSendTo(socket, data, length, to));
}

bool WasSeen(SimReceiver& receiver, int player, std::uint32_t sequence) {
    std::vector<std::uint64_t>& bits = receiver.seen[player];
    const std::size_t word = sequence / 64;
    if (word >= bits.size()) {
        bits.resize(std::max(word + 1, bits.size() * 2), 0);
    }
    const std::uint64_t bit = std::uint64_t{1} << (sequence % 64);
    const bool seen = (bits[word] & bit) != 0;
    bits[word] |= bit;
    return seen;
}

void StartListening(SimReceiver& receiver, std::int64_t now) {
    if (!receiver.listening) {
        receiver.listening = true;
        receiver.listenFromMicros = now;
        receiver.listenUntilMicros = NEVER;
    }
}

void StopListening(SimReceiver& receiver, std::int64_t now) {
    if (receiver.listening) {
        receiver.listening = false;
        receiver.listenUntilMicros = now;
    }
}

void TakeJoinReply(SimRun& run, int receiverIndex, const std::uint8_t* bytes, std::int64_t now) {
    for (int index = 0; index < run.playerCount; ++index) {
        SimPlayer& player = run.players[index];
        if (player.receiver == receiverIndex && player.awaitingJoin) {
            player.awaitingJoin = false;
            player.slot = static_cast<int>(GetLittleEndian(bytes, JOIN_REPLY_SIZE));
            if (player.firstSlot < 0) {
                player.firstSlot = player.slot;
            }
            player.sending = !player.silent;
            if (player.rejoining) {
                player.rejoining = false;
                player.nextSendMicros = static_cast<double>(now);
            }
            StartListening(run.receivers[receiverIndex], now);
            return;
        }
    }
    // A reply nobody waits for (it came after its join timed out): not ours to use.
    ++run.receivers[receiverIndex].foreign;
}

void TakeDropNotice(SimRun& run, SimReceiver& receiver, int slot, std::int64_t now) {
    ++receiver.dropNotices;
    for (int index = 0; index < run.playerCount; ++index) {
        SimPlayer& player = run.players[index];
        if (player.slot == slot && !player.awaitingJoin) {
            player.slot = -1;
            player.droppedSlot = slot;
            if (player.droppedMicros < 0) {
                player.droppedMicros = now;
            }
            return;
        }
    }
}

void TakeStatePacket(SimRun& run, int receiverIndex, const std::uint8_t* bytes, std::int64_t now) {
    SimReceiver& receiver = run.receivers[receiverIndex];
    const DecodedRelay relay = DecodeRelay(
        std::span<const std::uint8_t, STATE_PACKET_SIZE>(bytes, STATE_PACKET_SIZE), run.runTag);
    if (relay.kind == RelayKind::DROP_NOTICE) {
        TakeDropNotice(run, receiver, relay.droppedSlot, now);
        return;
    }
    if (relay.kind != RelayKind::SIM_PACKET || relay.packet.player >= run.playerCount) {
        ++receiver.foreign;
        return;
    }
    const auto sendMicros = static_cast<std::int64_t>(relay.packet.sendMicros);
    if (sendMicros < receiver.listenFromMicros || sendMicros >= receiver.listenUntilMicros) {
        return;  // sent while this receiver was not listening: not counted
    }
    if (WasSeen(receiver, relay.packet.player, relay.packet.sequence)) {
        ++receiver.duplicates;
        return;
    }
    ++receiver.received;
    if ((relay.packet.flags & FLAG_KILLED) != 0) {
        ++receiver.killRelays;
    }
    AddLatency(receiver.latency,
               static_cast<std::uint64_t>(std::max<std::int64_t>(0, now - sendMicros)));
}

// Takes what waits on every receiver's socket. Returns whether anything came.
bool ReceiveWaiting(SimRun& run) {
    bool any = false;
    for (int index = 0; index < run.receiverCount; ++index) {
        for (int burst = 0; burst < RECEIVE_BURST; ++burst) {
            std::uint8_t bytes[64];
            InetAddress from{};
            const int length =
                PlatformReceiveFrom(run.receivers[index].socket, bytes, sizeof bytes, &from);
            if (length < 0) {
                if (PlatformLastSocketError() == SOCKET_ERROR_MESSAGE_TOO_LONG) {
                    ++run.receivers[index].foreign;
                    continue;
                }
                break;  // nothing more waiting (or an error report such as a refused send)
            }
            any = true;
            const std::int64_t now = NowMicros(run);
            if (length == JOIN_REPLY_SIZE) {
                TakeJoinReply(run, index, bytes, now);
            } else if (length == STATE_PACKET_SIZE) {
                TakeStatePacket(run, index, bytes, now);
            } else {
                ++run.receivers[index].foreign;
            }
        }
    }
    return any;
}

void SendJoin(SimRun& run, SimPlayer& player) {
    player.joinTried = true;
    player.awaitingJoin = true;
    SendTo(run.receivers[player.receiver].socket, JOIN_REQUEST.data(), JOIN_REQUEST_SIZE,
           run.server);
}

// The slot of some other joined player to name as the killer: the next one after victim.
int PickKiller(const SimRun& run, int victim) {
    for (int step = 1; step <= run.playerCount; ++step) {
        const SimPlayer& other = run.players[(victim + step) % run.playerCount];
        if (other.slot >= 0) {
            return other.slot;
        }
    }
    return run.players[victim].slot;
}

void ScheduleKill(SimRun& run) {
    for (int step = 0; step < run.playerCount; ++step) {
        const int victim = (run.killTurn + step) % run.playerCount;
        SimPlayer& player = run.players[victim];
        if (player.sending && player.slot >= 0 && !player.killPending) {
            player.killPending = true;
            player.pendingKiller = PickKiller(run, victim);
            run.killTurn = victim + 1;
            return;
        }
    }
}

void SendState(SimRun& run, int index, std::int64_t now) {
    SimPlayer& player = run.players[index];
    const bool kill = player.killPending;
    SimPacket packet{};
    packet.runTag = run.runTag;
    packet.player = static_cast<std::uint8_t>(index);
    packet.sequence = player.nextSequence++;
    packet.sendMicros = static_cast<std::uint64_t>(now);
    packet.flags = SimFlags(std::max(player.slot, 0), kill, player.pendingKiller);
    const std::array<std::uint8_t, STATE_PACKET_SIZE> bytes = EncodeSimPacket(packet);
    SendTo(run.receivers[player.receiver].socket, bytes.data(), STATE_PACKET_SIZE, run.server);
    ++player.sent;
    if (kill) {
        player.killPending = false;
        ++player.killsReported;
    }
    for (int receiver = 0; receiver < run.receiverCount; ++receiver) {
        if (run.receivers[receiver].listening) {
            ++run.receivers[receiver].expected;
        }
    }
}

// The player that goes silent: the last one that holds a slot.
int SilentPlayer(const SimRun& run) {
    for (int index = run.playerCount - 1; index >= 0; --index) {
        if (run.players[index].slot >= 0) {
            return index;
        }
    }
    return -1;
}

}  // namespace

bool ParseIpv4(const std::string& text, std::uint32_t& address) {
    int octets[4];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d.%d.%d.%d%c", &octets[0], &octets[1], &octets[2], &octets[3],
                    &tail) != 4) {
        return false;
    }
    for (const int octet : octets) {
        if (octet < 0 || octet > 255) {
            return false;
        }
    }
    // sscanf accepts signs and blanks; an address has only digits and dots.
    if (text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    address = Ipv4(octets[0], octets[1], octets[2], octets[3]);
    return true;
}

std::string FormatIpv4(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF,
                  (address >> 16) & 0xFF, address >> 24);
    return text;
}

std::uint32_t NextIpv4(std::uint32_t address, int count) {
    // Network order to a number, add, and back.
    const std::uint32_t host = (address & 0xFF) << 24 | ((address >> 8) & 0xFF) << 16 |
                               ((address >> 16) & 0xFF) << 8 | address >> 24;
    const std::uint32_t next = host + static_cast<std::uint32_t>(count);
    return Ipv4(static_cast<int>(next >> 24), static_cast<int>((next >> 16) & 0xFF),
                static_cast<int>((next >> 8) & 0xFF), static_cast<int>(next & 0xFF));
}

std::array<std::uint8_t, STATE_PACKET_SIZE> EncodeSimPacket(const SimPacket& packet) {
    std::array<std::uint8_t, STATE_PACKET_SIZE> bytes{};
    bytes[0] = SIM_PACKET_MARK;
    bytes[1] = packet.runTag;
    bytes[2] = packet.player;
    PutLittleEndian(&bytes[3], packet.sequence, 4);
    PutLittleEndian(&bytes[7], packet.sendMicros, 8);
    bytes[15] = packet.flags;
    return bytes;
}

std::uint8_t SimFlags(int ownSlot, bool killed, int killerSlot) {
    std::uint8_t flags = FLAG_SIMULATED | static_cast<std::uint8_t>((ownSlot & 7) << 5);
    if (killed) {
        flags |= FLAG_KILLED | static_cast<std::uint8_t>((killerSlot & 7) << FLAG_KILLER_SHIFT);
    }
    return flags;
}

DecodedRelay DecodeRelay(std::span<const std::uint8_t, STATE_PACKET_SIZE> bytes,
                         std::uint8_t runTag) {
    DecodedRelay relay{RelayKind::FOREIGN, {}, -1};
    const std::uint8_t flags = bytes[15];
    const int killer = (flags & FLAG_KILLER_MASK) >> FLAG_KILLER_SHIFT;
    const int playerIndex = flags >> FLAG_PLAYER_INDEX_SHIFT;
    // The server's packet for a dropped slot d: killed set, killer and player index both d,
    // bit 0 clear. Bytes 0 to 14 are whatever it relayed last, so they are not looked at.
    if ((flags & FLAG_SIMULATED) == 0 && (flags & FLAG_KILLED) != 0 && killer == playerIndex) {
        relay.kind = RelayKind::DROP_NOTICE;
        relay.droppedSlot = killer;
        return relay;
    }
    if ((flags & FLAG_SIMULATED) == 0 || bytes[0] != SIM_PACKET_MARK || bytes[1] != runTag) {
        return relay;
    }
    relay.kind = RelayKind::SIM_PACKET;
    relay.packet.runTag = bytes[1];
    relay.packet.player = bytes[2];
    relay.packet.sequence = static_cast<std::uint32_t>(GetLittleEndian(&bytes[3], 4));
    relay.packet.sendMicros = GetLittleEndian(&bytes[7], 8);
    relay.packet.flags = flags;
    return relay;
}

int LatencyBucket(std::uint64_t micros) {
    if (micros < LATENCY_EXACT_BELOW) {
        return static_cast<int>(micros);
    }
    const int octave = std::bit_width(micros) - 1;  // 7 to 63
    const int step = static_cast<int>((micros >> (octave - 6)) & (LATENCY_STEPS_PER_OCTAVE - 1));
    return LATENCY_EXACT_BELOW + (octave - 7) * LATENCY_STEPS_PER_OCTAVE + step;
}

std::uint64_t LatencyBucketTop(int bucket) {
    if (bucket < LATENCY_EXACT_BELOW) {
        return static_cast<std::uint64_t>(bucket);
    }
    const int octave = 7 + (bucket - LATENCY_EXACT_BELOW) / LATENCY_STEPS_PER_OCTAVE;
    const int step = (bucket - LATENCY_EXACT_BELOW) % LATENCY_STEPS_PER_OCTAVE;
    const int shift = octave - 6;
    const std::uint64_t next = static_cast<std::uint64_t>(LATENCY_STEPS_PER_OCTAVE + step + 1);
    if (shift + std::bit_width(next) > 64) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return (next << shift) - 1;
}

void AddLatency(LatencyHistogram& histogram, std::uint64_t micros) {
    ++histogram.counts[LatencyBucket(micros)];
    ++histogram.total;
    histogram.maxMicros = std::max(histogram.maxMicros, micros);
}

void MergeLatency(LatencyHistogram& into, const LatencyHistogram& from) {
    for (int bucket = 0; bucket < LATENCY_BUCKETS; ++bucket) {
        into.counts[bucket] += from.counts[bucket];
    }
    into.total += from.total;
    into.maxMicros = std::max(into.maxMicros, from.maxMicros);
}

std::uint64_t LatencyPercentile(const LatencyHistogram& histogram, double percent) {
    if (histogram.total == 0) {
        return 0;
    }
    const double share = std::clamp(percent, 0.0, 100.0) / 100.0;
    const auto rank = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(histogram.total))));
    std::uint64_t seen = 0;
    for (int bucket = 0; bucket < LATENCY_BUCKETS; ++bucket) {
        seen += histogram.counts[bucket];
        if (seen >= rank) {
            return std::min(LatencyBucketTop(bucket), histogram.maxMicros);
        }
    }
    return histogram.maxMicros;
}

std::int64_t NowMicros(const SimRun& run) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 run.epoch)
        .count();
}

bool OpenPlayers(SimRun& run, const SimConfig& config, std::string& error) {
    run.config = config;
    run.server = InetAddress{ADDRESS_FAMILY_INET,
                             HostToNetwork16(static_cast<std::uint16_t>(config.port & 0xFFFF)),
                             config.serverAddress,
                             {}};
    run.epoch = std::chrono::steady_clock::now();
    run.runTag = static_cast<std::uint8_t>(1 + run.epoch.time_since_epoch().count() %
                                                   255);  // never 0, the tag of a zeroed buffer
    run.playerCount = std::clamp(config.players, 0, MAX_SIM_PLAYERS);
    run.receiverCount = config.sharedAddress ? 1 : run.playerCount;
    run.loadStartMicros = 0;
    run.loadEndMicros = 0;
    run.killTurn = 0;
    if (PlatformStartSockets() != 0) {
        error = "the socket library does not start";
        return false;
    }
    for (int index = 0; index < run.receiverCount; ++index) {
        SimReceiver& receiver = run.receivers[index];
        receiver = SimReceiver{};
        receiver.address =
            config.sharedAddress ? config.bindAddress : NextIpv4(config.firstPlayerAddress, index);
        receiver.listenUntilMicros = NEVER;
        receiver.socket = PlatformOpenUdpSocket();
        const InetAddress local{ADDRESS_FAMILY_INET,
                                HostToNetwork16(static_cast<std::uint16_t>(config.otherPort)),
                                receiver.address,
                                {}};
        if (receiver.socket == INVALID_SOCKET_HANDLE || PlatformBind(receiver.socket, local) != 0) {
            error = "cannot take " + FormatIpv4(receiver.address) + " port " +
                    std::to_string(config.otherPort) + " (socket error " +
                    std::to_string(PlatformLastSocketError()) +
                    "): is another simulator or a game client using it?";
            run.receiverCount = index + 1;
            ClosePlayers(run);
            run.receiverCount = 0;
            return false;
        }
        PlatformSetNonBlocking(receiver.socket);
        SetReceiveBuffer(receiver.socket, RECEIVE_BUFFER_BYTES);
        run.sockets[index] = receiver.socket;
    }
    for (int index = 0; index < run.playerCount; ++index) {
        SimPlayer& player = run.players[index];
        player = SimPlayer{};
        player.receiver = config.sharedAddress ? 0 : index;
        player.address = run.receivers[player.receiver].address;
        player.slot = -1;
        player.firstSlot = -1;
        player.silentSinceMicros = -1;
        player.droppedMicros = -1;
        player.droppedSlot = -1;
    }
    return true;
}

void RequestSimStop() {
    stopRequested.store(true);
}

int JoinPlayers(SimRun& run) {
    int joined = 0;
    for (int index = 0; index < run.playerCount; ++index) {
        SimPlayer& player = run.players[index];
        SendJoin(run, player);
        const std::int64_t deadline = NowMicros(run) + run.config.joinTimeoutMs * 1000LL;
        while (player.awaitingJoin && NowMicros(run) < deadline && !stopRequested.load()) {
            const SocketHandle socket = run.receivers[player.receiver].socket;
            WaitReadable(std::span<const SocketHandle>(&socket, 1), deadline - NowMicros(run));
            ReceiveWaiting(run);
        }
        if (player.awaitingJoin) {
            player.awaitingJoin = false;  // a reply after this is late and not used
            break;
        }
        ++joined;
    }
    return joined;
}

void RunLoad(SimRun& run, double seconds, ProgressHook progress) {
    const SimConfig& config = run.config;
    const std::int64_t start = NowMicros(run);
    const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e6);
    const double period = 1e6 / std::max(config.rate, 1e-3);
    run.loadStartMicros = start;
    run.loadEndMicros = end;
    int sending = 0;
    for (int index = 0; index < run.playerCount; ++index) {
        SimPlayer& player = run.players[index];
        if (player.slot >= 0 && !player.silent) {
            player.sending = true;
            // Spread the players over one period, as real clients are.
            player.nextSendMicros =
                static_cast<double>(start) + period * sending / std::max(1, run.playerCount);
            ++sending;
        }
    }
    const double killPeriod = config.killRate > 0 ? 1e6 / config.killRate : 0;
    std::int64_t nextKill =
        config.killRate > 0 ? start + static_cast<std::int64_t>(killPeriod) : NEVER;
    const int silentIndex = config.silentAfterSeconds >= 0 ? SilentPlayer(run) : -1;
    std::int64_t silentAt = silentIndex >= 0
                                ? start + static_cast<std::int64_t>(config.silentAfterSeconds * 1e6)
                                : NEVER;
    std::int64_t resumeAt = NEVER;
    std::int64_t nextProgress = progress != nullptr ? start + PROGRESS_PERIOD_MICROS : NEVER;

    for (std::int64_t now = NowMicros(run); now < end && !stopRequested.load();
         now = NowMicros(run)) {
        if (now >= silentAt) {
            SimPlayer& player = run.players[silentIndex];
            player.silent = true;
            player.sending = false;
            player.silentSinceMicros = now;
            if (!config.sharedAddress) {
                StopListening(run.receivers[player.receiver], now);
            }
            silentAt = NEVER;
            if (config.silentForSeconds > 0) {
                resumeAt = now + static_cast<std::int64_t>(config.silentForSeconds * 1e6);
            }
        }
        if (now >= resumeAt) {
            SimPlayer& player = run.players[silentIndex];
            player.silent = false;
            resumeAt = NEVER;
            if (config.silentForSeconds * 1000 > PLAYER_TIMEOUT_MS) {
                // The server has dropped it by now: like a real client, it joins again.
                player.rejoining = true;
                player.slot = -1;
                SendJoin(run, player);
            } else {
                player.sending = player.slot >= 0;
                player.nextSendMicros = static_cast<double>(now);
                StartListening(run.receivers[player.receiver], now);
            }
        }
        if (now >= nextKill) {
            ScheduleKill(run);
            nextKill += static_cast<std::int64_t>(killPeriod);
        }
        std::int64_t nextDue = std::min({end, nextKill, silentAt, resumeAt, nextProgress});
        for (int index = 0; index < run.playerCount; ++index) {
            SimPlayer& player = run.players[index];
            if (!player.sending) {
                continue;
            }
            const auto nowExact = static_cast<double>(now);
            if (nowExact - player.nextSendMicros > MAX_BEHIND_MICROS) {
                player.nextSendMicros = nowExact;
            }
            while (player.nextSendMicros <= nowExact) {
                SendState(run, index, now);
                player.nextSendMicros += period;
            }
            nextDue =
                std::min(nextDue, static_cast<std::int64_t>(std::ceil(player.nextSendMicros)));
        }
        ReceiveWaiting(run);
        if (now >= nextProgress) {
            progress(run, now);
            nextProgress += PROGRESS_PERIOD_MICROS;
        }
        WaitReadable(std::span<const SocketHandle>(run.sockets.data(), run.receiverCount),
                     nextDue - NowMicros(run));
    }
    run.loadEndMicros = std::min(end, NowMicros(run));
    AwaitRelays(run, config.drainMs);
}

void AwaitRelays(SimRun& run, int milliseconds) {
    const std::int64_t drainEnd = NowMicros(run) + milliseconds * 1000LL;
    for (std::int64_t now = NowMicros(run); now < drainEnd; now = NowMicros(run)) {
        if (!ReceiveWaiting(run)) {
            WaitReadable(std::span<const SocketHandle>(run.sockets.data(), run.receiverCount),
                         drainEnd - now);
        }
    }
}

void ResetCounters(SimRun& run) {
    const std::int64_t now = NowMicros(run);
    for (int index = 0; index < run.receiverCount; ++index) {
        SimReceiver& receiver = run.receivers[index];
        receiver.expected = 0;
        receiver.received = 0;
        receiver.duplicates = 0;
        receiver.killRelays = 0;
        receiver.dropNotices = 0;
        receiver.foreign = 0;
        receiver.latency = LatencyHistogram{};
        // Relays of packets sent before now belong to the earlier measurement.
        if (receiver.listening) {
            receiver.listenFromMicros = now;
        }
    }
    for (int index = 0; index < run.playerCount; ++index) {
        run.players[index].sent = 0;
        run.players[index].killsReported = 0;
    }
}

void ClosePlayers(SimRun& run) {
    for (int index = 0; index < run.receiverCount; ++index) {
        SimReceiver& receiver = run.receivers[index];
        if (receiver.socket != INVALID_SOCKET_HANDLE) {
            PlatformCloseSocket(receiver.socket);
            receiver.socket = INVALID_SOCKET_HANDLE;
        }
    }
}

SimTotals Totals(const SimRun& run) {
    SimTotals totals{};
    for (int index = 0; index < run.playerCount; ++index) {
        const SimPlayer& player = run.players[index];
        totals.joined += player.firstSlot >= 0 ? 1 : 0;
        totals.sent += player.sent;
        totals.killsReported += player.killsReported;
    }
    for (int index = 0; index < run.receiverCount; ++index) {
        const SimReceiver& receiver = run.receivers[index];
        totals.expected += receiver.expected;
        totals.received += receiver.received;
        totals.duplicates += receiver.duplicates;
        totals.killRelays += receiver.killRelays;
        totals.dropNotices += receiver.dropNotices;
        MergeLatency(totals.latency, receiver.latency);
    }
    return totals;
}

double LossRatio(std::uint64_t expected, std::uint64_t received) {
    if (expected == 0 || received >= expected) {
        return 0;
    }
    return static_cast<double>(expected - received) / static_cast<double>(expected);
}
