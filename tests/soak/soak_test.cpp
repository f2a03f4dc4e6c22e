// Long runs against the built server (CTest label "soak"): eight players joining, playing, going
// silent and coming back while a stranger throws datagrams of every length at it from many
// addresses; and a full disk that the periodic save meets and recovers from.
//
// NIGHTCOMET_SOAK_SECONDS sets the length of the soak (60 s unless told).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "soak_support.h"

namespace soak {
namespace {

using namespace e2e;

constexpr int PLAYERS = 8;
constexpr auto TICK = 20ms;
constexpr auto PLAY_TIME = 1500ms;

std::string AddressText(std::uint32_t address) {
    return std::to_string(address & 0xFF) + "." + std::to_string(address >> 8 & 0xFF) + "." +
           std::to_string(address >> 16 & 0xFF) + "." + std::to_string(address >> 24);
}

std::chrono::seconds SoakLength() {
    const char* seconds = std::getenv("NIGHTCOMET_SOAK_SECONDS");
    return std::chrono::seconds(seconds != nullptr && std::atoi(seconds) > 0 ? std::atoi(seconds)
                                                                             : 60);
}

// Sockets on many loopback addresses 127.a.b.c (a from 1 on, so never a player's) that send
// whatever they are given to the server.
class Stranger {
public:
    Stranger(int listenPort, std::mt19937& random) : listenPort_(listenPort) {
        for (int index = 0; index < 64; ++index) {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr =
                Address(127, 1 + static_cast<int>(random() % 254), static_cast<int>(random() % 256),
                        1 + static_cast<int>(random() % 254));
            if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
                fds_.push_back(fd);
            } else if (fd >= 0) {
                close(fd);
            }
        }
    }
    ~Stranger() {
        for (const int fd : fds_) {
            close(fd);
        }
    }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;

    bool Ready() const { return !fds_.empty(); }

    // One datagram of a random length (every length up to 1500 and now and then the largest
    // one UDP carries), biased to the lengths the server reads.
    void SendSomething(std::mt19937& random) {
        const int pick = static_cast<int>(random() % 100);
        std::size_t length = random() % 1501;
        if (pick < 25) {
            length = 16;
        } else if (pick < 35) {
            length = 11;
        } else if (pick < 37) {
            length = 65507;
        }
        Bytes bytes(length);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        if (length == 11 && pick % 2 == 0) {
            bytes = JoinRequest();
            bytes[random() % 11] ^= static_cast<std::uint8_t>(1 + random() % 255);
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = Address(127, 0, 0, 1);
        server.sin_port = htons(static_cast<std::uint16_t>(listenPort_));
        const int fd = fds_[random() % fds_.size()];
        const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&server), sizeof server);
        static_cast<void>(sent);  // the loopback may refuse some when its buffers are full
        ++count_;
    }
    long Count() const { return count_; }

private:
    int listenPort_;
    std::vector<int> fds_;
    long count_ = 0;
};

// The test's account of the game: which slot each player holds and which address each slot
// holds, the kills it reported, and every state packet it sent (numbered in bytes 0 to 3).
class Game {
public:
    Game(ServerProcess& server, std::mt19937& random) : server_(server), random_(random) {
        for (int index = 0; index < PLAYERS; ++index) {
            players_[index] = std::make_unique<Player>(FIRST_PLAYER_OCTET + index,
                                                       server.transmitPort, server.listenPort);
        }
    }

    // Every player that does not hold a slot joins.
    void JoinAll() {
        NoteDrops();
        for (int index = 0; index < PLAYERS; ++index) {
            if (slotOf_[index] >= 0) {
                continue;
            }
            while (players_[index]->Receive(0ms)) {
            }
            const std::size_t mark = server_.Output().size();
            const int slot = players_[index]->Join();
            ASSERT_TRUE(slot >= 0 && slot < PLAYERS) << "player " << index << server_.Output();
            // The console line too, so that the drops noted later are this join's.
            ASSERT_TRUE(server_.WaitForOutput("Player " + std::to_string(slot) + " connected at " +
                                                  AddressText(players_[index]->Address()) + "\n",
                                              REPLY_DEADLINE, mark));
            ASSERT_EQ(std::count(slotOf_.begin(), slotOf_.end(), slot), 0)
                << "slot " << slot << " given twice";
            slotOf_[index] = slot;
            slotAddress_[slot] = players_[index]->Address();
            Tick();
        }
    }

    // One tick: each playing player sends a state packet, now and then reporting a kill; the
    // stranger sends a few datagrams; every player takes what came and checks it.
    void Tick(Stranger* stranger = nullptr) {
        for (int index = 0; index < PLAYERS; ++index) {
            if (slotOf_[index] >= 0 && !silent_[index]) {
                SendState(index, random_() % 25 == 0);
            }
        }
        for (int count = 0; stranger != nullptr && count < 8; ++count) {
            stranger->SendSomething(random_);
        }
        for (int index = 0; index < PLAYERS; ++index) {
            while (const std::optional<Bytes> datagram = players_[index]->Receive(0ms)) {
                CheckRelayed(*datagram);
            }
        }
        std::this_thread::sleep_for(TICK);
    }

    // A few players go silent; the others play on until the server has dropped all of them.
    // Then one of them, dropped but still heard, reports a kill before joining again.
    void SilenceSome(Stranger& stranger) {
        std::vector<int> chosen;
        for (int count = 1 + static_cast<int>(random_() % 3); count > 0; --count) {
            const int index = static_cast<int>(random_() % PLAYERS);
            if (!silent_[index] && slotOf_[index] >= 0) {
                silent_[index] = true;
                chosen.push_back(index);
            }
        }
        const std::size_t mark = server_.Output().size();
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (const int index : chosen) {
            const std::string line = "Player " + std::to_string(slotOf_[index]) + " disconnected\n";
            while (server_.Output().find(line, mark) == std::string::npos) {
                ASSERT_LT(std::chrono::steady_clock::now(), deadline) << line << server_.Output();
                Tick(&stranger);
            }
        }
        NoteDrops();
        SendState(chosen.front(), true);
        for (const int index : chosen) {
            silent_[index] = false;
            slotOf_[index] = -1;
        }
        droppedOnPurpose_ += static_cast<long>(chosen.size());
    }

    // The kills as the test reported them, and the drops as the console lists them.
    Scores Expected() const {
        Scores scores = kills_;
        std::array<std::uint32_t, PLAYERS> holder{};
        std::istringstream console(server_.Output());
        for (std::string line; std::getline(console, line);) {
            int slot = -1;
            unsigned a = 0, b = 0, c = 0, d = 0;
            char end = 0;
            if (std::sscanf(line.c_str(), "Player %d connected at %u.%u.%u.%u", &slot, &a, &b, &c,
                            &d) == 5) {
                holder[slot] = Address(a, b, c, d);
            } else if (std::sscanf(line.c_str(), "Player %d disconnecte%c", &slot, &end) == 2) {
                ++scores[holder[slot]].deaths;
            }
        }
        return scores;
    }

    long KillsReported() const { return killsReported_; }
    long DroppedOnPurpose() const { return droppedOnPurpose_; }
    long Relayed() const { return relayed_; }
    Player& At(int index) { return *players_[index]; }

private:
    // Players the server dropped without the test meaning it (a stall of the machine): they
    // join again, and their drops are counted from the console like any other.
    void NoteDrops() {
        const std::string output = server_.Output();
        for (int index = 0; index < PLAYERS; ++index) {
            const int slot = slotOf_[index];
            if (slot < 0 || silent_[index]) {
                continue;
            }
            const std::string joined = "Player " + std::to_string(slot) + " connected at " +
                                       AddressText(players_[index]->Address()) + "\n";
            const std::string dropped = "Player " + std::to_string(slot) + " disconnected\n";
            const std::size_t join = output.rfind(joined);
            if (join != std::string::npos && output.find(dropped, join) != std::string::npos) {
                std::printf("player %d was dropped by a stall of the machine\n", index);
                slotOf_[index] = -1;
            }
        }
    }

    void SendState(int index, bool kill) {
        Bytes packet(16);
        const std::uint32_t number = ++sentCount_;
        std::memcpy(packet.data(), &number, 4);
        for (int byte = 4; byte < 15; ++byte) {
            packet[byte] = static_cast<std::uint8_t>(random_());
        }
        packet[15] = static_cast<std::uint8_t>(random_() & 0xE1);  // the bits the server ignores
        if (kill) {
            // A killer that holds a slot now, so that the slot's address is the killer's.
            std::vector<int> holders;
            for (const int slot : slotOf_) {
                if (slot >= 0) {
                    holders.push_back(slot);
                }
            }
            const int killer = holders[random_() % holders.size()];
            packet[15] = static_cast<std::uint8_t>(packet[15] | KilledBy(killer));
            ++kills_[players_[index]->Address()].deaths;
            ++kills_[slotAddress_[killer]].kills;
            ++killsReported_;
        }
        sent_.emplace(number, packet);
        players_[index]->Send(packet);
    }

    // Every datagram a player gets is a state packet that some player sent, byte for byte, or
    // the packet for a dropped player: those bytes with the flags d * 36 + 2.
    void CheckRelayed(const Bytes& datagram) {
        ASSERT_EQ(datagram.size(), 16u) << "a player got a datagram that is not a state packet";
        std::uint32_t number = 0;
        std::memcpy(&number, datagram.data(), 4);
        const auto found = sent_.find(number);
        ASSERT_NE(found, sent_.end()) << "a relayed packet that no player sent";
        const Bytes& original = found->second;
        ASSERT_TRUE(std::equal(original.begin(), original.begin() + 15, datagram.begin()));
        const int flags = datagram[15];
        ASSERT_TRUE(flags == original[15] || (flags % 36 == 2 && flags / 36 < PLAYERS))
            << "flags " << flags;
        ++relayed_;
    }

    ServerProcess& server_;
    std::mt19937& random_;
    std::array<std::unique_ptr<Player>, PLAYERS> players_;
    std::array<int, PLAYERS> slotOf_ = {-1, -1, -1, -1, -1, -1, -1, -1};
    std::array<bool, PLAYERS> silent_{};
    std::array<std::uint32_t, PLAYERS> slotAddress_{};
    std::map<std::uint32_t, Bytes> sent_;
    std::uint32_t sentCount_ = 0;
    Scores kills_;
    long killsReported_ = 0;
    long droppedOnPurpose_ = 0;
    long relayed_ = 0;
};

// Long play with players coming and going and a stranger's noise: afterwards the server still
// relays, has not grown in descriptors or memory, and its scores.bin holds exactly the kills
// and drops of the game (the stranger's packets never count).
TEST(Soak, PlayersComeAndGoUnderNoise) {
    if (UnderLauncher()) {
        GTEST_SKIP() << "reads the server's /proc entries";
    }
    ScratchFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening()) << server.Output();
    std::mt19937 random(1207);
    Stranger stranger(server.listenPort, random);
    ASSERT_TRUE(stranger.Ready());
    Game game(server, random);

    const auto length = SoakLength();
    const auto end = std::chrono::steady_clock::now() + length;
    int descriptorsAfterWarmUp = -1;
    long memoryAfterWarmUp = -1;
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end || rounds < 2) {
        ASSERT_NO_FATAL_FAILURE(game.JoinAll());
        if (rounds == 1) {
            descriptorsAfterWarmUp = OpenDescriptors(server.Pid());
            memoryAfterWarmUp = ResidentKilobytes(server.Pid());
        }
        const auto playUntil = std::chrono::steady_clock::now() + PLAY_TIME;
        while (std::chrono::steady_clock::now() < playUntil) {
            ASSERT_NO_FATAL_FAILURE(game.Tick(&stranger));
        }
        ASSERT_NO_FATAL_FAILURE(game.SilenceSome(stranger));
        ++rounds;
    }
    ASSERT_NO_FATAL_FAILURE(game.JoinAll());
    const int descriptors = OpenDescriptors(server.Pid());
    const long memory = ResidentKilobytes(server.Pid());
    std::printf(
        "soak: %lld s, %d rounds, %ld kills, %ld players dropped on purpose, %ld packets "
        "relayed, %ld stranger datagrams; descriptors %d -> %d, VmRSS %ld -> %ld kB\n",
        static_cast<long long>(length.count()), rounds, game.KillsReported(),
        game.DroppedOnPurpose(), game.Relayed(), stranger.Count(), descriptorsAfterWarmUp,
        descriptors, memoryAfterWarmUp, memory);
    EXPECT_LE(descriptors, descriptorsAfterWarmUp);
    EXPECT_LE(memory, memoryAfterWarmUp + 1024) << "resident memory grew";

    // Still relaying to everyone.
    while (game.At(0).Receive(0ms)) {
    }
    game.Tick();
    for (int index = 0; index < PLAYERS; ++index) {
        while (game.At(index).Receive(0ms)) {
        }
    }
    const Bytes last = StatePacket(0x5A, 0);
    game.At(0).Send(last);
    for (int index = 0; index < PLAYERS; ++index) {
        EXPECT_EQ(game.At(index).Receive(), last) << "player " << index;
    }

    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitForExit(REPLY_DEADLINE).has_value());
    EXPECT_EQ(server.Output().find("failed"), std::string::npos) << server.Output();
    const std::string output = server.Output();
    long killLines = 0;
    for (std::size_t at = output.find(" has killed player "); at != std::string::npos;
         at = output.find(" has killed player ", at + 1)) {
        ++killLines;
    }
    EXPECT_EQ(killLines, game.KillsReported());
    const std::optional<Scores> saved = ReadScores(folder.Read("scores.bin"));
    ASSERT_TRUE(saved.has_value()) << "scores.bin is not a whole table";
    EXPECT_EQ(*saved, game.Expected());
}

// A full disk: the periodic save fails with its line while the game goes on, the old file stays;
// once there is room again, the next save writes the new table.
TEST(Soak, FullDiskFailsTheSaveAndTheServerGoesOn) {
    if (UnderLauncher()) {
        GTEST_SKIP() << "POSIX signals and mounts";
    }
    ScratchFolder folder;
    Mount disk(folder.Path(), 64 * 1024);
    if (!disk.Failure().empty()) {
        GTEST_SKIP() << disk.Failure();
    }
    const std::vector<std::pair<std::uint32_t, Score>> oldRecords = {
        {Address(10, 1, 2, 3), Score{5, 7}}};
    const std::string oldTable = ScoresImage(oldRecords);
    folder.Write("scores.bin", oldTable);
    const std::filesystem::path filler = folder.Path() / "filler";
    ServerProcess server(folder, ServerOptions{.prepareFolder = [&] {
                             // Fills what is left of the disk.
                             std::ofstream file(filler, std::ios::binary);
                             const std::string block(4096, 'x');
                             for (int count = 0; count < 64 && file; ++count) {
                                 file << block << std::flush;
                             }
                         }});
    ASSERT_TRUE(server.WaitUntilListening()) << server.Output();
    const Player player(FIRST_PLAYER_OCTET, server.transmitPort, server.listenPort);
    ASSERT_EQ(player.Join(), 0);
    player.Send(StatePacket(1, KilledBy(0)));
    ASSERT_TRUE(server.WaitForOutput("Player 0 has killed player 0!\n", REPLY_DEADLINE));

    ASSERT_TRUE(
        server.WaitForOutput("Could not save score records to scores.bin (No space left "
                             "on device); the old file is kept\n",
                             90s))
        << server.Output();
    EXPECT_EQ(folder.Read("scores.bin"), oldTable);
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "scores.bin.tmp"));
    // The game goes on: a new player joins and is relayed to.
    const Player other(FIRST_PLAYER_OCTET + 1, server.transmitPort, server.listenPort);
    ASSERT_EQ(other.Join(), 0);
    const Bytes packet = StatePacket(2, 0);
    other.Send(packet);
    EXPECT_EQ(other.Receive(), packet);

    std::filesystem::remove(filler);
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitForExit(REPLY_DEADLINE).has_value());
    EXPECT_NE(server.Output().find("Dumping score records\n"), std::string::npos);
    std::vector<std::pair<std::uint32_t, Score>> newRecords = oldRecords;
    // The self-kill, and the drop of the first player, silent since.
    newRecords.emplace_back(player.Address(), Score{1, 2});
    EXPECT_EQ(folder.Read("scores.bin"), ScoresImage(newRecords));
}

}  // namespace
}  // namespace soak
