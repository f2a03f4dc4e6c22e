// The simulator against the real built server, started in a temporary folder with ports chosen
// now: joins, relays, a kill report and a silent player being dropped.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "relay_process.h"
#include "sim_engine.h"

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

const std::string SERVER = FromEnvironment("NIGHTCOMET_SERVER", NIGHTCOMET_SERVER_PATH);
const std::string SIMULATOR = NIGHTCOMET_SIM_PATH;

// A server with ports of its own, stopped at the end of the test.
struct RunningServer {
    RelayProcess process;
    int port = 0;
    int otherPort = 0;

    RunningServer() {
        if (!PickPorts(Ipv4(127, 0, 0, 2), MAX_SIM_PLAYERS, port, otherPort)) {
            ADD_FAILURE() << "no free ports";
            return;
        }
        std::string error;
        if (!StartRelay(process, {SERVER}, port, otherPort, error)) {
            ADD_FAILURE() << error;
            return;
        }
        EXPECT_TRUE(WaitForConsole(process, "Listening on", 20000)) << ReadConsole(process);
    }
    ~RunningServer() { StopRelay(process); }
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;
};

struct ToolResult {
    int status;
    std::string output;
};

ToolResult RunSimulator(const std::string& arguments) {
    const std::string command = SIMULATOR + " " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ToolResult result{-1, ""};
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, count);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(SimEndToEnd, PlayersJoinRelayKillAndTheSilentOneIsDropped) {
    RunningServer server;
    ASSERT_TRUE(RelayRunning(server.process));
    SimConfig config;
    config.port = server.port;
    config.otherPort = server.otherPort;
    config.players = 9;  // one more than the server's slots
    config.rate = 50;
    config.killRate = 2;
    config.silentAfterSeconds = 0.5;
    auto run = std::make_unique<SimRun>();
    std::string error;
    ASSERT_TRUE(OpenPlayers(*run, config, error)) << error;
    ASSERT_EQ(JoinPlayers(*run), MAX_PLAYERS) << ReadConsole(server.process);
    // 0.5 s before the silence, 3 s of it until the server drops the player, and time to spare
    // for a loaded machine.
    RunLoad(*run, 6, nullptr);
    ClosePlayers(*run);
    const std::string console = StopRelay(server.process);
    SCOPED_TRACE(console);

    // Joins: the lowest free slot each, in order; the ninth player gets no reply.
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        EXPECT_EQ(run->players[index].firstSlot, index);
        char line[64];
        std::snprintf(line, sizeof line, "Player %d connected at 127.0.0.%d\n", index, index + 2);
        EXPECT_NE(console.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(run->players[MAX_PLAYERS].joinTried);
    EXPECT_EQ(run->players[MAX_PLAYERS].firstSlot, -1);
    EXPECT_EQ(run->players[MAX_PLAYERS].sent, 0u);

    // Relays: every joined player got the packets sent while it listened, its own included.
    const SimTotals totals = Totals(*run);
    EXPECT_GT(totals.sent, 0u);
    for (int index = 0; index < MAX_PLAYERS; ++index) {
        const SimReceiver& receiver = run->receivers[index];
        SCOPED_TRACE(index);
        EXPECT_GT(receiver.received, 0u);
        EXPECT_LE(receiver.received, receiver.expected);
        EXPECT_LT(LossRatio(receiver.expected, receiver.received), 0.01);
        EXPECT_EQ(receiver.foreign, 0u);
        EXPECT_EQ(receiver.duplicates, 0u);
        EXPECT_GT(receiver.latency.total, 0u);
    }
    EXPECT_EQ(run->receivers[MAX_PLAYERS].received, 0u);

    // The first kill report: player 0 killed by the next player's slot, 1.
    EXPECT_GT(totals.killsReported, 0u);
    EXPECT_NE(console.find("Player 1 has killed player 0!\n"), std::string::npos);
    EXPECT_GT(totals.killRelays, 0u);

    // The silent player is the last that joined: dropped more than 3 s after its last packet,
    // and the others were told with the packet the server makes for it (byte 15 = 7 * 36 + 2).
    const SimPlayer& silent = run->players[MAX_PLAYERS - 1];
    ASSERT_GE(silent.silentSinceMicros, 0);
    EXPECT_NE(console.find("Player 7 disconnected\n"), std::string::npos);
    EXPECT_EQ(silent.droppedSlot, 7);
    ASSERT_GE(silent.droppedMicros, 0);
    EXPECT_GE(silent.droppedMicros - silent.silentSinceMicros, 2900000);
    EXPECT_EQ(run->receivers[0].dropNotices, 1u);
    // After its silence began it expected nothing more.
    EXPECT_EQ(run->receivers[MAX_PLAYERS - 1].listenUntilMicros, silent.silentSinceMicros);
}

TEST(SimEndToEnd, PlayersSharingOneAddressKeepOnlyTheLowestSlot) {
    // What the simulator does against a server elsewhere, here on one loopback address: three
    // joins take three slots, every state packet matches the lowest, the other two are dropped.
    RunningServer server;
    SimConfig config;
    config.port = server.port;
    config.otherPort = server.otherPort;
    config.players = 3;
    config.rate = 40;
    config.sharedAddress = true;
    config.bindAddress = Ipv4(127, 0, 0, 2);
    auto run = std::make_unique<SimRun>();
    std::string error;
    ASSERT_TRUE(OpenPlayers(*run, config, error)) << error;
    ASSERT_EQ(JoinPlayers(*run), 3);
    RunLoad(*run, 4.5, nullptr);
    ClosePlayers(*run);
    const std::string console = StopRelay(server.process);
    SCOPED_TRACE(console);

    EXPECT_EQ(run->receiverCount, 1);
    const SimReceiver& shared = run->receivers[0];
    // Until the drops each relay came three times; it is counted once.
    EXPECT_GT(shared.duplicates, 0u);
    EXPECT_LT(LossRatio(shared.expected, shared.received), 0.01);
    EXPECT_EQ(shared.dropNotices, 3u);  // slot 1 dropped: to slots 0 and 2; slot 2: to slot 0
    EXPECT_NE(console.find("Player 1 disconnected\n"), std::string::npos);
    EXPECT_NE(console.find("Player 2 disconnected\n"), std::string::npos);
    EXPECT_EQ(console.find("Player 0 disconnected"), std::string::npos);
    EXPECT_EQ(run->players[0].slot, 0);
    EXPECT_EQ(run->players[1].droppedSlot, 1);
    EXPECT_EQ(run->players[2].droppedSlot, 2);
}

TEST(SimEndToEnd, ToolPrintsTheTableAndExitsZeroWhenRelaysCame) {
    RunningServer server;
    const ToolResult result = RunSimulator("--port " + std::to_string(server.port) +
                                           " --otherport " + std::to_string(server.otherPort) +
                                           " --players 2 --duration 1 --kill-rate 2.5");
    StopRelay(server.process);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("joined: 2 of 2 players"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("p99 us"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("     1 127.0.0.3          1"), std::string::npos)
        << result.output;
    // Kills are due at 0.4 s and 0.8 s; a stalled machine may push the second past the end.
    const bool killsReported = result.output.find("kill reports: 2 sent") != std::string::npos ||
                               result.output.find("kill reports: 1 sent") != std::string::npos;
    EXPECT_TRUE(killsReported) << result.output;
    // Not a terminal: no status line.
    EXPECT_EQ(result.output.find('\r'), std::string::npos);
}

TEST(SimEndToEnd, ToolSaysWhatToCheckWhenNoServerAnswers) {
    int port = 0;
    int otherPort = 0;
    ASSERT_TRUE(PickPorts(Ipv4(127, 0, 0, 2), 1, port, otherPort));
    const ToolResult result =
        RunSimulator("--port " + std::to_string(port) + " --otherport " +
                     std::to_string(otherPort) + " --players 1 --join-timeout 300");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("no reply to the join: check that the server runs"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("firewall"), std::string::npos);
}

TEST(SimEndToEnd, ToolUsageErrorsExitTwo) {
    for (const char* arguments : {"", "--port 1 --otherport 2 --rate fast", "--bogus"}) {
        const ToolResult result = RunSimulator(arguments);
        EXPECT_EQ(result.status, 2) << arguments << "\n" << result.output;
        EXPECT_NE(result.output.find("Try 'nightcomet-sim --help'"), std::string::npos);
    }
    const ToolResult help = RunSimulator("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: nightcomet-sim"), std::string::npos);
}

}  // namespace
