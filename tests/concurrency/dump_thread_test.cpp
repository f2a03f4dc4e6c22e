// The score dump on a thread of its own while the main loop scores kills, as the periodic timer
// runs it in the server. Built under ThreadSanitizer this shows any access to the score table or
// the console that the lock does not cover; in every build it checks that each dumped file is a
// table that some moment of the main loop really had, and that console lines never mix.
#include <atomic>
#include <sstream>
#include <thread>

#include "unit_support.h"

namespace {

constexpr int KILLS = 4000;

std::uint32_t PlayerAddress(int slot) {
    return fake::Address(127, 0, 0, 2 + slot);
}

// What a dumped file must show: every kill adds one death and one kill in one step, so a table
// caught half-way through a kill has one death more than kills.
struct Totals {
    std::uint32_t kills = 0;
    std::uint32_t deaths = 0;
    std::uint32_t records = 0;
};

Totals CheckDumpedFile() {
    const std::string file = ReadFile(SCORES_FILE);
    EXPECT_EQ(file.size(), SCORES_FILE_SIZE);
    ScoreTable table{};
    DecodeScoreTable(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
                     table);
    Totals totals{0, 0, table.recordCount};
    EXPECT_LE(table.recordCount, static_cast<std::uint32_t>(MAX_PLAYERS));
    for (std::uint32_t position = 0; position < table.recordCount; ++position) {
        const ScoreRecord& record = table.records[position];
        EXPECT_EQ(std::count_if(slots.begin(), slots.end(),
                                [&](const PlayerSlot& slot) {
                                    return slot.endpoint.address.address == record.address;
                                }),
                  1)
            << "a record for an address no player has";
        totals.kills += record.kills;
        totals.deaths += record.deaths;
    }
    return totals;
}

using DumpThreadTest = ServerTest;

TEST_F(DumpThreadTest, EveryDumpIsAConsistentTableWhileKillsAreScored) {
    ScratchFolder folder;
    testing::internal::CaptureStdout();
    for (int slot = 0; slot < MAX_PLAYERS; ++slot) {
        fake::Queue(PlayerAddress(slot), JoinBytes());
        RunLoopPass();
    }

    std::atomic<bool> playing{true};
    std::atomic<int> dumps{0};
    // Waits until the dumper has finished one more dump than it had, however slow it starts.
    const auto awaitDump = [&dumps] {
        const int before = dumps.load();
        while (dumps.load() == before) {
            std::this_thread::yield();
        }
    };
    Totals last;
    std::thread dumper([&] {
        while (playing.load()) {
            DumpScores();
            const Totals totals = CheckDumpedFile();
            EXPECT_EQ(totals.kills, totals.deaths) << "a dump caught a kill half-way";
            EXPECT_GE(totals.kills, last.kills) << "a dump older than the one before it";
            EXPECT_GE(totals.records, last.records);
            last = totals;
            ++dumps;
        }
    });
    // The clock stands still, so nobody times out: every packet is a kill and nothing else.
    // Half the kills come before a dump is seen to end, and half after, so that dumps and kills
    // overlap on any machine.
    for (int kill = 0; kill < KILLS; ++kill) {
        if (kill == KILLS / 2) {
            awaitDump();
        }
        const int victim = kill % MAX_PLAYERS;
        const int killer = (kill / MAX_PLAYERS + kill) % MAX_PLAYERS;
        fake::Queue(PlayerAddress(victim),
                    StateBytes(static_cast<std::uint8_t>(kill), KilledBy(killer)));
        RunLoopPass();
    }
    playing.store(false);
    dumper.join();
    DumpScores();
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_GT(dumps.load(), 0);
    const Totals final = CheckDumpedFile();
    EXPECT_EQ(final.kills, static_cast<std::uint32_t>(KILLS));
    EXPECT_EQ(final.deaths, static_cast<std::uint32_t>(KILLS));
    EXPECT_EQ(final.records, static_cast<std::uint32_t>(MAX_PLAYERS));
    // Lines of the two threads never mix: each is one whole message.
    std::istringstream lines(console);
    int killLines = 0;
    int dumpLines = 0;
    for (std::string line; std::getline(lines, line);) {
        int killer = -1;
        int victim = -1;
        char end = 0;
        if (line == "Dumping score records") {
            ++dumpLines;
        } else if (std::sscanf(line.c_str(), "Player %d has killed player %d%c", &killer, &victim,
                               &end) == 3 &&
                   end == '!') {
            ++killLines;
        } else {
            EXPECT_EQ(line.rfind("Player ", 0), 0u) << "a mixed line: " << line;
            EXPECT_NE(line.find(" connected at 127.0.0."), std::string::npos) << line;
        }
    }
    EXPECT_EQ(killLines, KILLS);
    EXPECT_EQ(dumpLines, dumps.load() + 1);
}

}  // namespace
