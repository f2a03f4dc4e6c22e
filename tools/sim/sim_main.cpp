// nightcomet-sim: plays simulated players against a Nightcomet II server and reports what came
// back. See --help.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "sim_engine.h"
#include "sim_options.h"
#include "sim_os.h"

namespace {

// Ctrl+C ends the run early with its table; a second one ends the process at once.
extern "C" void OnInterrupt(int) {
    std::signal(SIGINT, SIG_DFL);
    RequestSimStop();
}

double Seconds(std::int64_t micros) {
    return static_cast<double>(micros) / 1e6;
}

void PrintStatus(const SimRun& run, std::int64_t nowMicros) {
    const SimTotals totals = Totals(run);
    // Relays still on their way count as awaited, not lost: the loss is for the final table.
    std::printf("\r%6.1f s  joined %d  sent %llu  relays %llu of %llu  p99 %llu us\033[K",
                Seconds(nowMicros - run.loadStartMicros), totals.joined,
                static_cast<unsigned long long>(totals.sent),
                static_cast<unsigned long long>(totals.received),
                static_cast<unsigned long long>(totals.expected),
                static_cast<unsigned long long>(LatencyPercentile(totals.latency, 99)));
    std::fflush(stdout);
}

void PrintReceiveColumns(std::uint64_t received, std::uint64_t expected,
                         const LatencyHistogram& latency) {
    std::printf(" %9llu %9llu %7.2f %% %7llu %7llu %7llu\n",
                static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(expected), 100 * LossRatio(expected, received),
                static_cast<unsigned long long>(LatencyPercentile(latency, 50)),
                static_cast<unsigned long long>(LatencyPercentile(latency, 99)),
                static_cast<unsigned long long>(latency.maxMicros));
}

void PrintSlot(int slot) {
    if (slot >= 0) {
        std::printf(" %4d", slot);
    } else {
        std::printf(" %4s", "-");
    }
}

void PrintTable(const SimRun& run) {
    const SimConfig& config = run.config;
    const bool shared = config.sharedAddress;
    std::printf("\n%-6s %-15s %4s %9s %6s %9s %9s %9s %7s %7s %7s\n", "player", "address", "slot",
                "sent", "kills", "relays", "expected", "loss", "p50 us", "p99 us", "max us");
    for (int index = 0; index < run.playerCount; ++index) {
        const SimPlayer& player = run.players[index];
        std::printf("%6d %-15s", index, FormatIpv4(player.address).c_str());
        PrintSlot(player.firstSlot);
        std::printf(" %9llu %6llu", static_cast<unsigned long long>(player.sent),
                    static_cast<unsigned long long>(player.killsReported));
        if (shared) {
            std::printf("\n");
        } else {
            const SimReceiver& receiver = run.receivers[index];
            PrintReceiveColumns(receiver.received, receiver.expected, receiver.latency);
        }
    }
    const SimTotals totals = Totals(run);
    std::printf("%6s %-15s %4s %9llu %6llu", "all",
                shared ? FormatIpv4(config.bindAddress).c_str() : "", "",
                static_cast<unsigned long long>(totals.sent),
                static_cast<unsigned long long>(totals.killsReported));
    PrintReceiveColumns(totals.received, totals.expected, totals.latency);
    std::printf("\n");
}

void PrintEvents(const SimRun& run) {
    const SimTotals totals = Totals(run);
    for (int index = 0; index < run.playerCount; ++index) {
        const SimPlayer& player = run.players[index];
        if (player.joinTried && player.firstSlot < 0) {
            std::printf(
                "player %d got no reply to its join: the server is full (it has %d slots) or "
                "did not answer%s\n",
                index, MAX_PLAYERS,
                index + 1 < run.playerCount ? "; the players after it did not try" : "");
            break;
        }
    }
    for (int index = 0; index < run.playerCount; ++index) {
        const SimPlayer& player = run.players[index];
        if (player.silentSinceMicros >= 0) {
            std::printf("player %d went silent %.2f s into the run", index,
                        Seconds(player.silentSinceMicros - run.loadStartMicros));
            if (player.droppedMicros >= player.silentSinceMicros) {
                std::printf("; the server dropped its slot %d %.2f s later\n", player.droppedSlot,
                            Seconds(player.droppedMicros - player.silentSinceMicros));
            } else if (run.receiverCount > 1 && totals.joined > 1) {
                std::printf("; no drop notice for it reached the other players\n");
            } else {
                std::printf("; no other player was there to see it dropped\n");
            }
            if (player.slot >= 0 && player.slot != player.droppedSlot &&
                run.config.silentForSeconds * 1000 > PLAYER_TIMEOUT_MS) {
                std::printf("player %d joined again and got slot %d\n", index, player.slot);
            }
        } else if (player.droppedMicros >= 0) {
            std::printf("the server dropped player %d (slot %d) %.2f s into the run\n", index,
                        player.droppedSlot, Seconds(player.droppedMicros - run.loadStartMicros));
        }
    }
    if (totals.killsReported > 0) {
        std::printf("kill reports: %llu sent, %llu relays of them received\n",
                    static_cast<unsigned long long>(totals.killsReported),
                    static_cast<unsigned long long>(totals.killRelays));
    }
    if (totals.duplicates > 0) {
        std::printf(
            "%llu relays came more than once (the server sends each relay once per slot "
            "an address holds)\n",
            static_cast<unsigned long long>(totals.duplicates));
    }
}

void PrintHeader(const SimOptions& options) {
    const SimConfig& config = options.config;
    std::printf(
        "nightcomet-sim: %d players, %g packets/s each for %g s, against %s port %d "
        "(replies and relays at port %d)\n",
        config.players, config.rate, options.durationSeconds,
        FormatIpv4(config.serverAddress).c_str(), config.port, config.otherPort);
    if (config.sharedAddress) {
        std::printf(
            "all players share one address (%s): the server matches every state packet to the "
            "lowest slot of that address and drops its other slots after 3 s; relays are "
            "counted once for the address and latency is the round trip through the server\n",
            config.bindAddress == 0 ? "any local address" : FormatIpv4(config.bindAddress).c_str());
    } else {
        std::printf(
            "players on their own addresses %s to %s; latency is from a send to each of "
            "its relays\n",
            FormatIpv4(config.firstPlayerAddress).c_str(),
            FormatIpv4(NextIpv4(config.firstPlayerAddress, config.players - 1)).c_str());
    }
    std::fflush(stdout);
}

int NothingCameBack(const SimConfig& config, const char* what) {
    std::printf(
        "%s: check that the server runs at %s and listens on port %d (its console shows "
        "\"Transmitting port: %d | Listening on %d\"), that no firewall drops UDP on ports %d "
        "and %d, and what the server's console says\n",
        what, FormatIpv4(config.serverAddress).c_str(), config.port, config.otherPort, config.port,
        config.port, config.otherPort);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    const std::string error =
        ParseSimOptions(std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0), options);
    if (!error.empty()) {
        std::fprintf(stderr, "nightcomet-sim: %s\nTry 'nightcomet-sim --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SIM_USAGE, stdout);
        return 0;
    }
    PrintHeader(options);
    std::signal(SIGINT, OnInterrupt);
    auto run = std::make_unique<SimRun>();
    std::string openError;
    if (!OpenPlayers(*run, options.config, openError)) {
        std::printf("nightcomet-sim: %s\n", openError.c_str());
        return 1;
    }
    const int joined = JoinPlayers(*run);
    std::printf("joined: %d of %d players\n", joined, run->playerCount);
    if (joined == 0) {
        ClosePlayers(*run);
        return NothingCameBack(options.config, "no reply to the join");
    }
    const bool live = !options.quiet && StdoutIsTerminal();
    RunLoad(*run, options.durationSeconds, live ? PrintStatus : nullptr);
    if (live) {
        std::printf("\r\033[K");
    }
    const double ran = Seconds(run->loadEndMicros - run->loadStartMicros);
    if (ran < options.durationSeconds - 0.01) {
        std::printf("stopped after %.1f s\n", ran);
    }
    PrintTable(*run);
    PrintEvents(*run);
    const SimTotals totals = Totals(*run);
    ClosePlayers(*run);
    if (totals.received == 0) {
        return NothingCameBack(options.config, "no relay came back");
    }
    return 0;
}
