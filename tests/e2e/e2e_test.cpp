// The built server end to end: started in a scratch folder, driven over UDP from loopback
// players and through its standard input, checked by the bytes that come back, its console
// lines, its exit and its scores.bin.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <memory>

#include "server_process.h"

namespace e2e {
namespace {

// Player addresses 127.0.0.2 and up, each test with ports of its own.
constexpr int FIRST_PLAYER_OCTET = 2;

std::string Join(const std::string& address, int slot) {
    return "Player " + std::to_string(slot) + " connected at " + address + "\n";
}

std::uint8_t KilledBy(int killer) {
    return static_cast<std::uint8_t>(0x02 | killer << 2);
}

// A running server and a few players, for the tests that need no special start.
class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(folder_);
        ASSERT_TRUE(server_->WaitUntilListening()) << server_->Output();
    }

    // The player at 127.0.0.(FIRST_PLAYER_OCTET + index).
    Player& PlayerAt(int index) {
        auto& player = players_[index];
        if (!player) {
            player = std::make_unique<Player>(FIRST_PLAYER_OCTET + index, server_->transmitPort,
                                              server_->listenPort);
        }
        return *player;
    }

    std::string Address(int index) {
        return "127.0.0." + std::to_string(FIRST_PLAYER_OCTET + index);
    }

    // Joins player index, expecting slot, and waits for the console line.
    void JoinAs(int index, int slot) {
        const std::size_t mark = server_->Output().size();
        ASSERT_EQ(PlayerAt(index).Join(), slot);
        ASSERT_TRUE(server_->WaitForOutput(Join(Address(index), slot), REPLY_DEADLINE, mark))
            << server_->Output();
    }

    ScratchFolder folder_;
    std::unique_ptr<ServerProcess> server_;
    std::array<std::unique_ptr<Player>, 12> players_;
};

TEST_F(ServerTest, FirstLineNamesTheTransmitPortThenTheListenPort) {
    EXPECT_EQ(server_->Output(), "Transmitting port: " + std::to_string(server_->transmitPort) +
                                     " | Listening on " + std::to_string(server_->listenPort) +
                                     "\n");
}

TEST_F(ServerTest, JoinsGetTheirSlotsAndPacketsReachEveryPlayer) {
    JoinAs(0, 0);
    JoinAs(1, 1);
    const Bytes packet = StatePacket(0x40, 0xE1);
    PlayerAt(1).Send(packet);
    EXPECT_EQ(PlayerAt(0).Receive(), packet);
    EXPECT_EQ(PlayerAt(1).Receive(), packet);  // the sender gets its own packet back
}

TEST_F(ServerTest, KillIsAnnouncedAndTheLeaderboardShowsIt) {
    JoinAs(0, 0);
    JoinAs(1, 1);
    PlayerAt(0).Send(StatePacket(1, KilledBy(1)));
    ASSERT_TRUE(server_->WaitForOutput("Player 1 has killed player 0!\n", REPLY_DEADLINE));
    EXPECT_TRUE(PlayerAt(1).Receive().has_value());
    const std::size_t mark = server_->Output().size();
    server_->PressKeys("l");
    const std::string board =
        "\nPRINTING LEADERBOARD\n---\n127.0.0.2 K-D: 0-1\n127.0.0.3 K-D: 1-0\n---\n";
    ASSERT_TRUE(server_->WaitForOutput(board, REPLY_DEADLINE, mark)) << server_->Output();
    // One key code, one leaderboard.
    std::this_thread::sleep_for(QUIET_WAIT);
    EXPECT_EQ(server_->Output().substr(mark), board);
}

TEST_F(ServerTest, KillIsAnnouncedWithKillerThenVictim) {
    JoinAs(0, 0);
    JoinAs(1, 1);
    JoinAs(2, 2);
    PlayerAt(2).Send(StatePacket(1, KilledBy(0)));
    EXPECT_TRUE(server_->WaitForOutput("Player 0 has killed player 2!\n", REPLY_DEADLINE));
}

TEST_F(ServerTest, NinthJoinIsIgnored) {
    for (int index = 0; index < 8; ++index) {
        JoinAs(index, index);
    }
    const std::string before = server_->Output();
    PlayerAt(8).Send(JoinRequest());
    EXPECT_FALSE(PlayerAt(8).Receive(QUIET_WAIT).has_value());
    EXPECT_EQ(server_->Output(), before);
}

TEST_F(ServerTest, SilentPlayerIsDroppedAndReportedKilledToTheOthers) {
    JoinAs(0, 0);
    JoinAs(1, 1);
    const Bytes packet = StatePacket(0x10, 0x01);
    PlayerAt(1).Send(packet);
    ASSERT_TRUE(PlayerAt(0).Receive().has_value());
    ASSERT_TRUE(PlayerAt(1).Receive().has_value());
    // Player 1 keeps talking, player 0 goes silent and is dropped after 3 seconds.
    const auto end = std::chrono::steady_clock::now() + 15s;
    std::optional<Bytes> drop;
    while (!drop && std::chrono::steady_clock::now() < end) {
        PlayerAt(1).Send(packet);
        while (const std::optional<Bytes> relayed = PlayerAt(1).Receive(200ms)) {
            if ((*relayed)[15] != 0x01) {
                drop = relayed;
            }
        }
    }
    ASSERT_TRUE(drop.has_value()) << server_->Output();
    Bytes expected = packet;
    expected[15] = 0x02;  // slot 0: killed, killer 0, playerIndex 0
    EXPECT_EQ(*drop, expected);
    EXPECT_TRUE(server_->WaitForOutput("Player 0 disconnected\n", REPLY_DEADLINE));
    EXPECT_EQ(server_->Output().find("Player 1 disconnected"), std::string::npos);
    // The next join takes the freed slot 0 again.
    const std::size_t mark = server_->Output().size();
    EXPECT_EQ(PlayerAt(2).Join(), 0);
    EXPECT_TRUE(server_->WaitForOutput(Join(Address(2), 0), REPLY_DEADLINE, mark));
}

TEST_F(ServerTest, DropBeforeAnyStatePacketCarriesZeroedStateBytes) {
    JoinAs(0, 0);
    JoinAs(1, 1);
    // Nobody sends a state packet: both are dropped, slot 0 first, and slot 1 hears of it.
    const std::optional<Bytes> drop = PlayerAt(1).Receive(15s);
    ASSERT_TRUE(drop.has_value()) << server_->Output();
    Bytes expected(16, 0);
    expected[15] = 0x02;
    EXPECT_EQ(*drop, expected);
}

TEST_F(ServerTest, StrangersAndMalformedDatagramsChangeNothing) {
    JoinAs(0, 0);
    Player& stranger = PlayerAt(5);
    stranger.Send(StatePacket(9, KilledBy(0)));  // not a player's address
    Bytes wrongJoin = JoinRequest();
    wrongJoin[10] = '!';
    stranger.Send(wrongJoin);  // not quite the join request
    for (const std::size_t length : {0, 1, 10, 12, 15, 17, 40}) {
        stranger.Send(Bytes(length, 'N'));
        PlayerAt(0).Send(Bytes(length, 0x02));
    }
    // Longer than the server's 40-byte buffer: discarded, never fatal.
    for (const std::size_t length : {41, 1000, 65507}) {
        stranger.Send(Bytes(length, 0x02));
        PlayerAt(0).Send(Bytes(length, 0x02));
    }
    EXPECT_FALSE(PlayerAt(0).Receive(QUIET_WAIT).has_value());
    EXPECT_FALSE(stranger.Receive(10ms).has_value());
    // The server is still there and still relays.
    const Bytes packet = StatePacket(3, 0);
    PlayerAt(0).Send(packet);
    EXPECT_EQ(PlayerAt(0).Receive(), packet);
    EXPECT_EQ(server_->Output().find("killed"), std::string::npos);
    EXPECT_FALSE(server_->WaitForExit(0ms).has_value());
}

// Ends the server with a signal and returns what it left in scores.bin.
class StopTest : public ServerTest, public testing::WithParamInterface<int> {};

TEST_P(StopTest, SavesTheScoresThenEnds) {
    if (UnderWine() && GetParam() != SIGINT) {
        GTEST_SKIP() << "Wine ends the process on this signal without a console event, as "
                        "TerminateProcess would; Windows has no such signal";
    }
    JoinAs(0, 0);
    JoinAs(1, 1);
    PlayerAt(1).Send(StatePacket(1, KilledBy(0)));
    ASSERT_TRUE(server_->WaitForOutput("Player 0 has killed player 1!\n", REPLY_DEADLINE));
    server_->Signal(GetParam());
    const std::optional<int> status = server_->WaitForExit(REPLY_DEADLINE);
    ASSERT_TRUE(status.has_value());
    if (UnderWine()) {
        // Ctrl+C's exit code 0xC000013A, of which a Linux parent sees the low byte.
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0x3A) << *status;
    } else {
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == GetParam()) << *status;
    }
    EXPECT_NE(server_->Output().find("Dumping score records\n"), std::string::npos);
    const std::string scores = folder_.Read("scores.bin");
    ASSERT_EQ(scores.size(), 804u);
    const std::string expected(
        "\x02\x00\x00\x00"                   // two records
        "\x7F\x00\x00\x03\x00\x00\x01\x00"   // 127.0.0.3: 0 kills, 1 death
        "\x7F\x00\x00\x02\x01\x00\x00\x00",  // 127.0.0.2: 1 kill
        20);
    EXPECT_EQ(scores.substr(0, 20), expected);
    EXPECT_EQ(scores.substr(20), std::string(784, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopTest, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// nohup, or a script's "server &", starts the server with the hang-up or Ctrl+C ignored: they
// must stay ignored, while SIGTERM still saves and stops it.
TEST(Signals, IgnoredAtStartStayIgnored) {
    if (UnderLauncher()) {
        GTEST_SKIP() << "the launcher, not the server, would take the ignored signals";
    }
    ScratchFolder folder;
    ServerProcess server(folder, ServerOptions{.ignoredSignals = {SIGHUP, SIGINT}});
    ASSERT_TRUE(server.WaitUntilListening());
    server.Signal(SIGHUP);
    server.Signal(SIGINT);
    const Player a(FIRST_PLAYER_OCTET, server.transmitPort, server.listenPort);
    EXPECT_EQ(a.Join(), 0);
    EXPECT_FALSE(server.WaitForExit(0ms).has_value());
    server.Signal(SIGTERM);
    const std::optional<int> status = server.WaitForExit(REPLY_DEADLINE);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    EXPECT_EQ(server.Output().find("Dumping score records\n"),
              server.Output().rfind("Dumping score records\n"));
    EXPECT_NE(server.Output().find("Dumping score records\n"), std::string::npos);
}

TEST(StartUp, MissingConfigurationFileIsOneLineAndStatusOne) {
    ScratchFolder folder;
    ServerProcess server(folder, ServerOptions{.writeConfig = false});
    const std::optional<int> status = server.WaitForExit(START_DEADLINE);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(server.Output(),
              "Cannot open svrcfg.ini: it must be in the current folder and hold the lines "
              "\"port= <listening port>\" and \"otherport= <transmitting port>\"\n");
}

// A file that sets no otherport (a comment between the lines, a misspelt or upper-case key)
// would end the server at the first join, when it sends to port 0.
TEST(StartUp, NoTransmittingPortIsOneLineAndStatusOne) {
    for (const char* config :
         {"port= 27015\n# game 1\notherport= 27016\n", "port= 27015\nother_port= 27016\n",
          "PORT= 27015\nOTHERPORT= 27016\n", "port= 27015\notherport= 65536\n"}) {
        ScratchFolder folder;
        folder.Write("svrcfg.ini", config);
        ServerProcess server(folder, ServerOptions{.writeConfig = false});
        const std::optional<int> status = server.WaitForExit(START_DEADLINE);
        ASSERT_TRUE(status.has_value()) << config;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << config << *status;
        EXPECT_EQ(server.Output(),
                  "svrcfg.ini gives no transmitting port: it must hold the lines "
                  "\"port= <listening port>\" and \"otherport= <transmitting port>\"\n")
            << config;
    }
}

// Going on without the stored scores would replace them with an empty table at the first save.
TEST(StartUp, UnreadableScoresFileStopsTheServerAndStaysAsItIs) {
    ScratchFolder folder;
    std::filesystem::create_directory(folder.Path() / "scores.bin");
    folder.Write("scores.bin/kept", "x");
    ServerProcess server(folder);
    const std::optional<int> status = server.WaitForExit(START_DEADLINE);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    const std::string output = server.Output();
    EXPECT_EQ(output.rfind("Transmitting port: ", 0), 0u) << output;
    const std::string reason = output.substr(output.find('\n') + 1);
    EXPECT_EQ(reason.rfind("Cannot read scores.bin (", 0), 0u) << output;
    EXPECT_TRUE(
        reason.ends_with("); the server stops so that the saved scores are not overwritten\n"))
        << output;
    EXPECT_EQ(folder.Read("scores.bin/kept"), "x");
}

TEST(StartUp, ListenPortInUseEndsWithTheBindMessage) {
    ScratchFolder folder;
    const int port = FreePort();
    const Player holder(1, port, 1);  // binds 127.0.0.1:port
    folder.Write("svrcfg.ini", "port=" + std::to_string(port) + "\notherport=1\n");
    ServerProcess server(folder, ServerOptions{.writeConfig = false});
    const std::optional<int> status = server.WaitForExit(START_DEADLINE);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    // The fatal message has no line end.
    EXPECT_EQ(server.Output(), "bind failed: 10048");
}

TEST(StartUp, StoredScoresAreLoadedAndPrintedOnAKey) {
    ScratchFolder folder;
    std::string scores(804, '\0');
    scores[0] = 2;
    const std::string records(
        "\x0A\x01\x02\x03\xE8\x03\x05\x00"   // 10.1.2.3 K-D: 1000-5
        "\xC0\xA8\x00\xFF\xFF\xFF\x00\x00",  // 192.168.0.255 K-D: 65535-0
        16);
    scores.replace(4, 16, records);
    folder.Write("scores.bin", scores);
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening());
    server.PressKeys("x");
    EXPECT_TRUE(server.WaitForOutput(
        "\nPRINTING LEADERBOARD\n---\n10.1.2.3 K-D: 1000-5\n192.168.0.255 K-D: 65535-0\n---\n",
        REPLY_DEADLINE))
        << server.Output();
}

// Input that ends (a closed pipe, /dev/null under a service manager) means no more keys, never a
// leaderboard in a loop.
TEST(StartUp, EndOfInputMeansNoKeys) {
    for (const bool keysPipe : {true, false}) {
        ScratchFolder folder;
        ServerProcess server(folder, ServerOptions{.keysPipe = keysPipe});
        ASSERT_TRUE(server.WaitUntilListening());
        server.CloseKeys();
        std::this_thread::sleep_for(QUIET_WAIT);
        EXPECT_EQ(server.Output().find("LEADERBOARD"), std::string::npos) << server.Output();
        EXPECT_FALSE(server.WaitForExit(0ms).has_value());
    }
}

// Players coming and going never use up the server's descriptors: freed slots close their
// sockets. With 16 descriptors, three rounds of eight joins would need 24 sockets otherwise.
TEST(Descriptors, JoinsAndDropsRunWithinALowLimit) {
    if (UnderLauncher()) {
        GTEST_SKIP() << "the emulator needs descriptors of its own";
    }
    ScratchFolder folder;
    ServerProcess server(folder, ServerOptions{.descriptorLimit = 16});
    ASSERT_TRUE(server.WaitUntilListening());
    for (int round = 0; round < 3; ++round) {
        const std::size_t mark = server.Output().size();
        std::vector<std::unique_ptr<Player>> players;
        for (int index = 0; index < 8; ++index) {
            players.push_back(std::make_unique<Player>(FIRST_PLAYER_OCTET + index,
                                                       server.transmitPort, server.listenPort));
            ASSERT_EQ(players.back()->Join(), index) << "round " << round << server.Output();
        }
        ASSERT_TRUE(server.WaitForCount(" disconnected\n", 8, 30s, mark)) << server.Output();
    }
    EXPECT_FALSE(server.WaitForExit(0ms).has_value());
    EXPECT_EQ(server.Output().find("failed"), std::string::npos) << server.Output();
}

// A dump that cannot write its temporary file says so, keeps the old scores.bin and the server
// goes on.
TEST(Dump, FailedSaveKeepsTheOldFile) {
    ScratchFolder folder;
    const std::string old(804, '\x01');
    folder.Write("scores.bin", old);
    std::filesystem::create_directory(folder.Path() / "scores.bin.tmp");
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening());
    server.Signal(UnderWine() ? SIGINT : SIGTERM);
    ASSERT_TRUE(server.WaitForExit(REPLY_DEADLINE).has_value());
    EXPECT_NE(server.Output().find("Could not save score records to scores.bin ("),
              std::string::npos)
        << server.Output();
    EXPECT_EQ(server.Output().find("Dumping"), std::string::npos);
    EXPECT_EQ(folder.Read("scores.bin"), old);
}

// The periodic dump, once: 60 seconds after start-up.
TEST(Dump, TableIsSavedEveryMinute) {
    ScratchFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening());
    const Player a(FIRST_PLAYER_OCTET, server.transmitPort, server.listenPort);
    ASSERT_EQ(a.Join(), 0);
    a.Send(StatePacket(0, KilledBy(0)));
    ASSERT_TRUE(server.WaitForOutput("Player 0 has killed player 0!\n", REPLY_DEADLINE));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "scores.bin"));
    ASSERT_TRUE(server.WaitForOutput("Dumping score records\n", 90s)) << server.Output();
    const std::string scores = folder.Read("scores.bin");
    ASSERT_EQ(scores.size(), 804u);
    // One record: the self-kill's kill and death, and a death for the drop that followed.
    EXPECT_EQ(scores.substr(0, 12),
              std::string("\x01\x00\x00\x00\x7F\x00\x00\x02\x01\x00\x02\x00", 12));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "scores.bin.tmp"));
}

}  // namespace
}  // namespace e2e
