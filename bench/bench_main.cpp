// nightcomet-bench: how close the server's relay runs to what the kernel allows.
//
// Starts the built server and the reference relay (one receive, one send per player, nothing
// else) one after the other over several rounds, drives each with 8 simulated players on their
// own loopback addresses, and prints throughput at saturation, latency at a realistic and at a
// high load, and the server's memory and processor time, each with the server/reference ratio.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "relay_process.h"
#include "sim_engine.h"

namespace {

constexpr int PLAYERS = 8;
constexpr double REALISTIC_RATE = 60;
constexpr double HIGH_RATE = 2000;
constexpr std::uint32_t FIRST_PLAYER = Ipv4(127, 0, 0, 2);

// Targets: the server against the reference.
constexpr double THROUGHPUT_TARGET = 0.9;        // at least
constexpr double LATENCY_TARGET = 1.2;           // at most (p99 realistic, p50 high)
constexpr double PEAK_MEMORY_TARGET_KIB = 4096;  // under

struct BenchSettings {
    int rounds = 3;
    double trialSeconds = 0.6;  // one step of the saturation search
    int trialDrainMs = 250;
    double startRate = 500;  // per player, where the search begins
    double maxRate = 64000;
    int bisectSteps = 4;
    double realisticSeconds = 3;
    double highSeconds = 2;
    double soakSeconds = 60;  // the server alone at the realistic load, for loss
    bool verbose = false;     // print every step of the saturation search
    std::string server;
    std::string reference;
};

struct LoadFigures {
    std::uint64_t sent;
    std::uint64_t expected;
    std::uint64_t received;
    std::uint64_t simDrops;  // thrown away at the players' own sockets: the simulator's loss
    std::uint64_t p50;
    std::uint64_t p99;
    double cpuSeconds;  // of the relay during the load
};

struct RelayFigures {
    bool measured;
    bool searched;                 // the saturation search ran its trials
    double saturation;             // relayed packets per second at the highest rate without loss
    bool simulatorLimited;         // the simulator could not send faster than that
    double cpuMicrosAtSaturation;  // relay processor time per relayed packet
    LoadFigures realistic;
    LoadFigures high;
    long peakKiB;
};

std::uint64_t PlayerSocketDrops(int otherPort) {
    std::uint64_t drops = 0;
    for (int index = 0; index < PLAYERS; ++index) {
        drops += UdpSocketDrops(NextIpv4(FIRST_PLAYER, index), otherPort);
    }
    return drops;
}

// One measured load at a rate per player.
LoadFigures MeasureLoad(SimRun& run, pid_t relay, double rate, double seconds, int drainMs) {
    run.config.rate = rate;
    run.config.drainMs = 0;
    const std::uint64_t dropsBefore = PlayerSocketDrops(run.config.otherPort);
    const double cpuBefore = CpuSeconds(relay);
    ResetCounters(run);
    RunLoad(run, seconds, nullptr);
    // The relay's time while under load, without the quiet wait for the last relays.
    const double cpuUnderLoad = CpuSeconds(relay) - cpuBefore;
    AwaitRelays(run, drainMs);
    const SimTotals totals = Totals(run);
    LoadFigures figures{};
    figures.sent = totals.sent;
    figures.expected = totals.expected;
    figures.received = totals.received;
    figures.simDrops = PlayerSocketDrops(run.config.otherPort) - dropsBefore;
    figures.p50 = LatencyPercentile(totals.latency, 50);
    figures.p99 = LatencyPercentile(totals.latency, 99);
    figures.cpuSeconds = cpuUnderLoad;
    return figures;
}

// Relays the relay itself failed to deliver: not received, and not thrown away at a player's
// socket either.
std::uint64_t RelayLoss(const LoadFigures& figures) {
    const std::uint64_t accounted = figures.received + figures.simDrops;
    return figures.expected > accounted ? figures.expected - accounted : 0;
}

struct Trial {
    bool passed;
    bool simulatorLimited;
    double relayedPerSecond;
    double cpuMicrosPerPacket;
};

Trial RunTrial(SimRun& run, pid_t relay, const BenchSettings& settings, double rate) {
    const LoadFigures figures =
        MeasureLoad(run, relay, rate, settings.trialSeconds, settings.trialDrainMs);
    Trial trial{};
    const double asked = rate * PLAYERS * settings.trialSeconds;
    trial.simulatorLimited =
        static_cast<double>(figures.sent) < 0.95 * asked || figures.simDrops > 0;
    trial.passed = RelayLoss(figures) == 0 && !trial.simulatorLimited && figures.received > 0;
    trial.relayedPerSecond = static_cast<double>(figures.sent) / settings.trialSeconds;
    trial.cpuMicrosPerPacket =
        figures.sent > 0 ? 1e6 * figures.cpuSeconds / static_cast<double>(figures.sent) : 0;
    if (settings.verbose) {
        std::printf(
            "         %7.0f/s per player: sent %llu, relays %llu of %llu, dropped at the "
            "players %llu, lost by the relay %llu, p50 %llu us: %s\n",
            rate, static_cast<unsigned long long>(figures.sent),
            static_cast<unsigned long long>(figures.received),
            static_cast<unsigned long long>(figures.expected),
            static_cast<unsigned long long>(figures.simDrops),
            static_cast<unsigned long long>(RelayLoss(figures)),
            static_cast<unsigned long long>(figures.p50),
            trial.passed             ? "no loss"
            : trial.simulatorLimited ? "simulator fell behind"
                                     : "loss");
    }
    return trial;
}

// The highest rate without loss: doubling until a trial loses, then halving the gap.
void FindSaturation(SimRun& run, pid_t relay, const BenchSettings& settings,
                    RelayFigures& figures) {
    double good = 0;  // the highest rate that held, 0 while none has
    double bad = 0;   // the lowest rate above it that lost, 0 while none has
    Trial best{};
    const auto attempt = [&](double rate) {
        // A step that loses gets a second try: on a shared machine one stall of a few
        // milliseconds (another process on the relay's core) overflows the relay's receive
        // buffer at any rate near saturation, and says nothing about the relay itself.
        Trial trial = RunTrial(run, relay, settings, rate);
        if (!trial.passed) {
            trial = RunTrial(run, relay, settings, rate);
        }
        figures.searched = true;
        if (trial.passed) {
            good = rate;
            best = trial;
        } else {
            bad = rate;
            figures.simulatorLimited = trial.simulatorLimited;
        }
        return trial.passed;
    };
    // Up from the start by doubling while it holds...
    for (double rate = settings.startRate; rate <= settings.maxRate && attempt(rate); rate *= 2) {
    }
    // ...or, when even the start loses (a busy machine), down by halving to a sixteenth of it.
    for (double rate = settings.startRate / 2; good == 0 && rate >= settings.startRate / 16;
         rate /= 2) {
        attempt(rate);
    }
    for (int step = 0; step < settings.bisectSteps && bad > good; ++step) {
        attempt((good + bad) / 2);
    }
    figures.saturation = best.relayedPerSecond;
    figures.cpuMicrosAtSaturation = best.cpuMicrosPerPacket;
}

// Starts a relay with ports of its own and joins the 8 players to it.
bool StartAndJoin(const std::string& executable, RelayProcess& process, SimRun& run) {
    int port = 0;
    int otherPort = 0;
    std::string error;
    if (!PickPorts(FIRST_PLAYER, PLAYERS, port, otherPort)) {
        std::printf("no free ports\n");
        return false;
    }
    if (!StartRelay(process, {executable, std::to_string(port), std::to_string(otherPort)}, port,
                    otherPort, error) ||
        !WaitForConsole(process, "Listening on", 20000)) {
        std::printf("%s did not start: %s%s\n", executable.c_str(), error.c_str(),
                    ReadConsole(process).c_str());
        StopRelay(process);
        return false;
    }
    SimConfig config;
    config.port = port;
    config.otherPort = otherPort;
    config.players = PLAYERS;
    config.firstPlayerAddress = FIRST_PLAYER;
    if (!OpenPlayers(run, config, error)) {
        std::printf("%s\n", error.c_str());
        StopRelay(process);
        return false;
    }
    if (JoinPlayers(run) != PLAYERS) {
        std::printf("not all players joined %s\n", executable.c_str());
        ClosePlayers(run);
        StopRelay(process);
        return false;
    }
    return true;
}

RelayFigures MeasureRelay(const std::string& executable, const BenchSettings& settings) {
    RelayFigures figures{};
    RelayProcess process;
    auto run = std::make_unique<SimRun>();
    if (!StartAndJoin(executable, process, *run)) {
        return figures;
    }
    FindSaturation(*run, process.pid, settings, figures);
    figures.realistic =
        MeasureLoad(*run, process.pid, REALISTIC_RATE, settings.realisticSeconds, 200);
    figures.high = MeasureLoad(*run, process.pid, HIGH_RATE, settings.highSeconds, 200);
    figures.peakKiB = PeakResidentKiB(process.pid);
    figures.measured = RelayRunning(process) && figures.searched &&
                       figures.realistic.received > 0 && figures.high.received > 0;
    ClosePlayers(*run);
    StopRelay(process);
    return figures;
}

void PrintFigures(int round, const char* name, const RelayFigures& figures) {
    std::printf("%5d  %-9s %9.0f%s %11.0f %8llu %8llu %8llu %8llu %9.1f %8.1f %8ld\n", round, name,
                figures.saturation, figures.simulatorLimited ? "*" : " ",
                figures.saturation * PLAYERS,
                static_cast<unsigned long long>(figures.realistic.p50),
                static_cast<unsigned long long>(figures.realistic.p99),
                static_cast<unsigned long long>(figures.high.p50),
                static_cast<unsigned long long>(figures.high.p99), figures.cpuMicrosAtSaturation,
                figures.high.sent > 0
                    ? 1e6 * figures.high.cpuSeconds / static_cast<double>(figures.high.sent)
                    : 0.0,
                figures.peakKiB);
    std::fflush(stdout);
}

double Ratio(double server, double reference) {
    return reference > 0 ? server / reference : 0;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

std::string Sibling(const char* self, const char* name) {
    std::string path = self;
    const std::size_t slash = path.find_last_of('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
}

// The first line of a file, "" when it cannot be read.
std::string FirstLine(const char* path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// What the figures came from: processors, their model, the kernel, and how busy the machine is.
void PrintMachine(const char* when) {
    std::string model;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; model.empty() && std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
        }
    }
    utsname system{};
    uname(&system);
    std::printf("machine %s: %ld processors, %s, %s %s, load average %s\n", when,
                sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), system.sysname, system.release,
                FirstLine("/proc/loadavg").c_str());
}

const char* const USAGE =
    "Usage: nightcomet-bench [--quick] [--verbose] [--rounds N] [--server PATH]\n"
    "                        [--reference PATH]\n"
    "\n"
    "Measures the server's relay against the reference relay on this machine (about 2.5\n"
    "minutes; --quick: a few seconds, for a check that it runs). Both executables default to\n"
    "the ones built next to nightcomet-bench. --verbose prints each step of the saturation\n"
    "search.\n";

}  // namespace

int main(int argc, char** argv) {
    BenchSettings settings;
    settings.server = Sibling(argv[0], "nightcomet-server");
    settings.reference = Sibling(argv[0], "nightcomet-reference-relay");
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--quick") {
            settings.rounds = 1;
            settings.trialSeconds = 0.25;
            settings.trialDrainMs = 150;
            settings.startRate = 1000;
            settings.maxRate = 2000;
            settings.bisectSteps = 0;
            settings.realisticSeconds = 0.6;
            settings.highSeconds = 0.4;
            settings.soakSeconds = 1;
        } else if (argument == "--verbose") {
            settings.verbose = true;
        } else if (argument == "--rounds" && index + 1 < argc) {
            settings.rounds = std::max(1, std::atoi(argv[++index]));
        } else if (argument == "--server" && index + 1 < argc) {
            settings.server = argv[++index];
        } else if (argument == "--reference" && index + 1 < argc) {
            settings.reference = argv[++index];
        } else {
            std::fputs(USAGE, argument == "--help" ? stdout : stderr);
            return argument == "--help" ? 0 : 2;
        }
    }

    std::printf(
        "nightcomet-bench: %d players on 127.0.0.2-9, %d rounds, server and reference "
        "relay alternating\n",
        PLAYERS, settings.rounds);
    PrintMachine("at the start");
    std::printf(
        "saturation: highest send rate without loss, %.2f s steps; latency in us from a "
        "send to each relay; cpu in us per relayed packet (busy polling included)\n\n",
        settings.trialSeconds);
    std::printf(
        "round  relay     sat pkt/s   deliver/s  8x60p50  8x60p99 8x2kp50 8x2kp99  "
        "cpu@sat cpu@8x2k peak KiB\n");
    std::vector<double> throughput;
    std::vector<double> realisticP99;
    std::vector<double> highP50;
    long peakKiB = 0;
    bool measured = true;
    bool simulatorLimited = false;
    for (int round = 1; round <= settings.rounds; ++round) {
        // Alternate which goes first, so that neither always meets the same machine.
        const bool serverFirst = round % 2 == 1;
        RelayFigures server{};
        RelayFigures reference{};
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == serverFirst) {
                server = MeasureRelay(settings.server, settings);
                PrintFigures(round, "server", server);
            } else {
                reference = MeasureRelay(settings.reference, settings);
                PrintFigures(round, "reference", reference);
            }
        }
        measured = measured && server.measured && reference.measured;
        simulatorLimited =
            simulatorLimited || server.simulatorLimited || reference.simulatorLimited;
        throughput.push_back(Ratio(server.saturation, reference.saturation));
        realisticP99.push_back(Ratio(static_cast<double>(server.realistic.p99),
                                     static_cast<double>(reference.realistic.p99)));
        highP50.push_back(
            Ratio(static_cast<double>(server.high.p50), static_cast<double>(reference.high.p50)));
        peakKiB = std::max(peakKiB, server.peakKiB);
    }
    if (simulatorLimited) {
        std::printf("* at the next step the simulator, not the relay, fell behind\n");
    }

    // The server alone at the realistic load, long enough to see a rare loss.
    RelayProcess process;
    auto run = std::make_unique<SimRun>();
    LoadFigures soak{};
    if (StartAndJoin(settings.server, process, *run)) {
        soak = MeasureLoad(*run, process.pid, REALISTIC_RATE, settings.soakSeconds, 500);
        peakKiB = std::max(peakKiB, PeakResidentKiB(process.pid));
        ClosePlayers(*run);
        StopRelay(process);
    }
    measured = measured && soak.received > 0 && peakKiB > 0;

    const double throughputRatio = Median(throughput);
    const double realisticRatio = Median(realisticP99);
    const double highRatio = Median(highP50);
    const std::uint64_t soakLoss = soak.expected - std::min(soak.expected, soak.received);
    std::printf("\nmedians of the server/reference ratios over %d rounds:\n", settings.rounds);
    std::printf("  throughput at saturation  %5.2f  (target at least %.1f: %s)\n", throughputRatio,
                THROUGHPUT_TARGET, Verdict(throughputRatio >= THROUGHPUT_TARGET));
    std::printf("  p99 latency at 8x60       %5.2f  (target at most %.1f: %s)\n", realisticRatio,
                LATENCY_TARGET, Verdict(realisticRatio > 0 && realisticRatio <= LATENCY_TARGET));
    std::printf("  p50 latency at 8x2000     %5.2f  (target at most %.1f: %s)\n", highRatio,
                LATENCY_TARGET, Verdict(highRatio > 0 && highRatio <= LATENCY_TARGET));
    std::printf(
        "server at 8x60 for %.0f s: %llu packets sent, %llu of %llu relays received, "
        "%llu lost (target none: %s), p50 %llu us, p99 %llu us\n",
        settings.soakSeconds, static_cast<unsigned long long>(soak.sent),
        static_cast<unsigned long long>(soak.received),
        static_cast<unsigned long long>(soak.expected), static_cast<unsigned long long>(soakLoss),
        Verdict(soak.received > 0 && soakLoss == 0), static_cast<unsigned long long>(soak.p50),
        static_cast<unsigned long long>(soak.p99));
    std::printf(
        "server peak resident memory (VmHWM): %ld KiB = %.2f MiB (target under 4 MiB: %s)\n",
        peakKiB, static_cast<double>(peakKiB) / 1024,
        Verdict(peakKiB > 0 && static_cast<double>(peakKiB) < PEAK_MEMORY_TARGET_KIB));
    PrintMachine("at the end");
    if (!measured) {
        std::printf("nightcomet-bench: some figures could not be measured (see above)\n");
        return 1;
    }
    return 0;
}
