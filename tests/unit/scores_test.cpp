// The score table, its file image, loading, the dump and the leaderboard.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "unit_support.h"

namespace {

constexpr std::uint32_t PLAYER_A = fake::Address(127, 0, 0, 2);
constexpr std::uint32_t PLAYER_B = fake::Address(192, 168, 1, 250);

std::uint32_t RecordAddress(int index) {
    return fake::Address(10, 0, index / 256, index % 256);
}

using ScoreTableTest = ServerTest;

TEST_F(ScoreTableTest, AddressesAreAddedInOrderAndFoundAgain) {
    EXPECT_EQ(FindOrAddScore(PLAYER_A), 0);
    EXPECT_EQ(FindOrAddScore(PLAYER_B), 1);
    EXPECT_EQ(FindOrAddScore(PLAYER_A), 0);
    EXPECT_EQ(scoreTable->recordCount, 2u);
    EXPECT_EQ(scoreTable->records[1].address, PLAYER_B);
}

TEST_F(ScoreTableTest, FullTableKeepsItsRecordsAndTouchesNothingElse) {
    for (int index = 0; index < MAX_SCORE_RECORDS; ++index) {
        EXPECT_EQ(FindOrAddScore(RecordAddress(index)), index);
        scoreTable->records[index].kills = static_cast<std::uint16_t>(index);
    }
    const ScoreTable before = *scoreTable;
    EXPECT_EQ(FindOrAddScore(PLAYER_A), NO_SCORE_RECORD);
    EXPECT_EQ(std::memcmp(&before, scoreTable, sizeof before), 0);
    // Known addresses still count; a new one through the events changes nothing.
    EXPECT_EQ(FindOrAddScore(RecordAddress(99)), 99);
    Join(PLAYER_A);
    Join(RecordAddress(7));
    Receive(PLAYER_A, StateBytes(0, KilledBy(1)));
    EXPECT_EQ(scoreTable->recordCount, 100u);
    EXPECT_EQ(scoreTable->records[7].kills, 8);
}

TEST_F(ScoreTableTest, SelfKillAddsADeathAndAKillToOneRecord) {
    Join(PLAYER_A);
    ScoreKill(0, 0);
    EXPECT_EQ(scoreTable->recordCount, 1u);
    EXPECT_EQ(scoreTable->records[0].kills, 1);
    EXPECT_EQ(scoreTable->records[0].deaths, 1);
}

TEST_F(ScoreTableTest, KillerSlotNeverHeldCountsAtAddressZeroUnlisted) {
    Join(PLAYER_A);
    ScoreKill(0, 5);  // slot 5 never held: address 0
    EXPECT_EQ(scoreTable->recordCount, 1u);
    EXPECT_EQ(scoreTable->records[1].address, 0u);
    EXPECT_EQ(scoreTable->records[1].kills, 1);
    // The next new address takes that position and starts again from nothing.
    EXPECT_EQ(FindOrAddScore(PLAYER_B), 1);
    EXPECT_EQ(scoreTable->records[1].kills, 0);
    EXPECT_EQ(scoreTable->recordCount, 2u);
}

TEST_F(ScoreTableTest, CountsWrapAtSixteenBits) {
    Join(PLAYER_A);
    Join(PLAYER_B);
    ScoreKill(0, 1);
    scoreTable->records[0].deaths = 65535;
    scoreTable->records[1].kills = 65535;
    ScoreKill(0, 1);
    EXPECT_EQ(scoreTable->records[0].deaths, 0);
    EXPECT_EQ(scoreTable->records[1].kills, 0);
    ScoreDrop(1);
    EXPECT_EQ(scoreTable->records[1].deaths, 1);
}

TEST_F(ScoreTableTest, RecordsBeyondTheCountAreFoundButNotListed) {
    scoreTable->recordCount = 1;
    scoreTable->records[0] = {PLAYER_B, 1, 1};
    scoreTable->records[50] = {PLAYER_A, 9, 9};
    EXPECT_EQ(FindOrAddScore(PLAYER_A), 50);
    EXPECT_EQ(scoreTable->recordCount, 1u);
}

TEST(ScoreFile, ImageLayoutIsLittleEndianWithAllRecords) {
    ScoreTable table{};
    table.recordCount = 0x01020304;
    table.records[0] = {fake::Address(1, 2, 3, 4), 0x0506, 0x0708};
    table.records[99] = {fake::Address(255, 254, 253, 252), 0xFFFE, 0x0001};
    std::array<std::uint8_t, SCORES_FILE_SIZE> image{};
    EncodeScoreTable(table, image);
    const std::array<std::uint8_t, 12> head = {4, 3, 2, 1, 1, 2, 3, 4, 6, 5, 8, 7};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), image.begin()));
    const std::array<std::uint8_t, 8> last = {255, 254, 253, 252, 0xFE, 0xFF, 1, 0};
    EXPECT_TRUE(std::equal(last.begin(), last.end(), image.begin() + 4 + 8 * 99));
    EXPECT_EQ(std::count(image.begin() + 12, image.begin() + 4 + 8 * 99, 0), 8 * 98);
}

TEST(ScoreFile, DecodeReadsWhatEncodeWrote) {
    ScoreTable table{};
    table.recordCount = 3;
    for (int index = 0; index < MAX_SCORE_RECORDS; ++index) {
        table.records[index] = {RecordAddress(index), static_cast<std::uint16_t>(index * 7),
                                static_cast<std::uint16_t>(65535 - index)};
    }
    std::array<std::uint8_t, SCORES_FILE_SIZE> image{};
    EncodeScoreTable(table, image);
    ScoreTable decoded{};
    DecodeScoreTable(image, decoded);
    EXPECT_EQ(std::memcmp(&table, &decoded, sizeof table), 0);
}

void ExpectLoaded() {
    int error = 0;
    EXPECT_TRUE(LoadScores(error)) << std::strerror(error);
}

struct LoadCase {
    const char* name;
    std::size_t fileSize;         // bytes written to scores.bin, from a full image
    std::uint32_t storedCount;    // recordCount in that image
    std::uint32_t expectedCount;  // recordCount after loading
    int expectedRecords;          // records that keep their stored contents
};

// Test names show the case by its name.
void PrintTo(const LoadCase& value, std::ostream* out) {
    *out << value.name;
}

class LoadScoresTest : public ServerTest, public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadScoresTest, LoadsAsMuchAsThereIs) {
    const ScratchFolder folder;
    ScoreTable stored{};
    stored.recordCount = GetParam().storedCount;
    for (int index = 0; index < MAX_SCORE_RECORDS; ++index) {
        // Counts of two bytes each, so that a record cut short shows which bytes it kept.
        stored.records[index] = {RecordAddress(index) | 1, 0x0103, 0x0204};
    }
    std::array<std::uint8_t, SCORES_FILE_SIZE> image{};
    EncodeScoreTable(stored, image);
    std::string bytes(reinterpret_cast<const char*>(image.data()), image.size());
    bytes.resize(GetParam().fileSize, '\x7F');
    WriteFile(SCORES_FILE, bytes);

    ExpectLoaded();
    EXPECT_EQ(scoreTable->recordCount, GetParam().expectedCount);
    for (int index = 0; index < MAX_SCORE_RECORDS; ++index) {
        const ScoreRecord& record = scoreTable->records[index];
        const std::size_t start = 4 + 8 * static_cast<std::size_t>(index);
        if (index < GetParam().expectedRecords) {
            EXPECT_EQ(record.address, RecordAddress(index) | 1) << index;
            EXPECT_EQ(record.kills, 0x0103) << index;
            EXPECT_EQ(record.deaths, 0x0204) << index;
        } else if (start >= GetParam().fileSize) {
            EXPECT_EQ(record.address, 0u) << index;
            EXPECT_EQ(record.kills, 0) << index;
            EXPECT_EQ(record.deaths, 0) << index;
        } else {
            // The record the file ends in: the bytes that are there, zeros after them.
            std::array<std::uint8_t, 8> kept{};
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(start),
                        GetParam().fileSize - start, kept.begin());
            EXPECT_EQ(record.address, kept[0] | kept[1] << 8 | kept[2] << 16 |
                                          static_cast<std::uint32_t>(kept[3]) << 24);
            EXPECT_EQ(record.kills, kept[4] | kept[5] << 8);
            EXPECT_EQ(record.deaths, kept[6] | kept[7] << 8);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadScoresTest,
    testing::Values(LoadCase{"Whole", SCORES_FILE_SIZE, 42, 42, 100},
                    LoadCase{"Empty", 0, 42, 0, 0}, LoadCase{"CountOnly", 4, 42, 42, 0},
                    LoadCase{"ShortMidRecord", 4 + 8 * 10 + 5, 42, 42, 10},
                    LoadCase{"Oversized", 5000, 7, 7, 100},
                    LoadCase{"CountAboveTheTable", SCORES_FILE_SIZE, 250, 100, 100},
                    LoadCase{"CountAtTheTable", SCORES_FILE_SIZE, 100, 100, 100}),
    [](const testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

TEST_F(ServerTest, MissingScoresFileMeansAnEmptyTable) {
    const ScratchFolder folder;
    scoreTable->recordCount = 5;
    ExpectLoaded();
    EXPECT_EQ(scoreTable->recordCount, 0u);
}

// A scores.bin that is there but cannot be read must stop the server: going on with an empty
// table would replace the stored scores at the first save. A folder of that name fails the read
// even for root (a file without read permission does not).
TEST_F(ServerTest, UnreadableScoresFileIsReportedAndLeftAlone) {
    const ScratchFolder folder;
    std::filesystem::create_directory(SCORES_FILE);
    scoreTable->recordCount = 5;
    int error = 0;
    EXPECT_FALSE(LoadScores(error));
    EXPECT_EQ(error, EISDIR);
    EXPECT_EQ(scoreTable->recordCount, 0u);
    EXPECT_TRUE(std::filesystem::is_directory(SCORES_FILE));
}

TEST_F(ServerTest, LoadedCountAboveTheTableNeverWritesOutsideIt) {
    const ScratchFolder folder;
    std::string bytes(SCORES_FILE_SIZE, '\0');
    bytes[0] = '\xFF';
    bytes[1] = '\xFF';
    bytes[2] = '\xFF';
    bytes[3] = '\xFF';
    WriteFile(SCORES_FILE, bytes);
    ExpectLoaded();
    EXPECT_EQ(scoreTable->recordCount, 100u);
    EXPECT_EQ(FindOrAddScore(PLAYER_A), NO_SCORE_RECORD);
    // Address 0 is at every position: found, not added.
    EXPECT_EQ(FindOrAddScore(0), 0);
}

using DumpTest = ServerTest;

TEST_F(DumpTest, EmptyTableWritesEightHundredFourZeroBytes) {
    const ScratchFolder folder;
    EXPECT_EQ(CaptureOutput(DumpScores), "Dumping score records\n");
    EXPECT_EQ(ReadFile(SCORES_FILE), std::string(SCORES_FILE_SIZE, '\0'));
    EXPECT_FALSE(std::filesystem::exists(SCORES_TEMP_FILE));
}

TEST_F(DumpTest, WritesTheTableAndALaterLoadFindsItAgain) {
    const ScratchFolder folder;
    WriteFile(SCORES_FILE, "old");
    Join(PLAYER_A);
    Join(PLAYER_B);
    Receive(PLAYER_A, StateBytes(0, KilledBy(1)));
    CaptureOutput(DumpScores);
    const std::string saved = ReadFile(SCORES_FILE);
    ASSERT_EQ(saved.size(), SCORES_FILE_SIZE);

    CreateScoreTable();
    ExpectLoaded();
    EXPECT_EQ(scoreTable->recordCount, 2u);
    EXPECT_EQ(scoreTable->records[0].address, PLAYER_A);
    EXPECT_EQ(scoreTable->records[0].deaths, 1);
    EXPECT_EQ(scoreTable->records[1].kills, 1);
    // The same address finds its counts again after a restart.
    EXPECT_EQ(FindOrAddScore(PLAYER_B), 1);
}

// A dump that cannot write keeps the old file whole and says so in place of its usual line.
// The failures are made with folders standing where files should be, which holds even for root.
TEST_F(DumpTest, FailureKeepsTheOldFileAndSaysSo) {
    const ScratchFolder folder;
    WriteFile(SCORES_FILE, "previous scores");
    std::filesystem::create_directory(SCORES_TEMP_FILE);  // the temporary file cannot be made
    Join(PLAYER_A);
    EXPECT_EQ(CaptureOutput(DumpScores),
              "Could not save score records to scores.bin (Is a directory); the old file is "
              "kept\n");
    EXPECT_EQ(ReadFile(SCORES_FILE), "previous scores");

    std::filesystem::remove(SCORES_TEMP_FILE);
    std::filesystem::remove(SCORES_FILE);
    std::filesystem::create_directories(std::string(SCORES_FILE) + "/inside");  // rename fails
    const std::string console = CaptureOutput(DumpScores);
    EXPECT_EQ(console.rfind("Could not save score records to scores.bin (", 0), 0u) << console;
    EXPECT_TRUE(std::filesystem::is_directory(SCORES_FILE));
    EXPECT_FALSE(std::filesystem::exists(SCORES_TEMP_FILE));

    // Once the way is clear again, the next dump succeeds.
    std::filesystem::remove_all(SCORES_FILE);
    EXPECT_EQ(CaptureOutput(DumpScores), "Dumping score records\n");
    EXPECT_EQ(ReadFile(SCORES_FILE).size(), SCORES_FILE_SIZE);
}

using LeaderboardTest = ServerTest;

TEST_F(LeaderboardTest, ListsRecordsInUseInTableOrder) {
    scoreTable->recordCount = 2;
    scoreTable->records[0] = {PLAYER_B, 65535, 0};
    scoreTable->records[1] = {PLAYER_A, 3, 12};
    scoreTable->records[2] = {fake::Address(1, 1, 1, 1), 5, 5};  // not in use: not listed
    EXPECT_EQ(CaptureOutput(PrintLeaderboard),
              "\nPRINTING LEADERBOARD\n---\n"
              "192.168.1.250 K-D: 65535-0\n"
              "127.0.0.2 K-D: 3-12\n"
              "---\n");
}

TEST_F(LeaderboardTest, EmptyTablePrintsOnlyTheFrame) {
    EXPECT_EQ(CaptureOutput(PrintLeaderboard), "\nPRINTING LEADERBOARD\n---\n---\n");
}

TEST_F(LeaderboardTest, EachKeyCodePrintsItOnceOnItsOwnPass) {
    const std::string board = "\nPRINTING LEADERBOARD\n---\n---\n";
    EXPECT_EQ(PassAt(0), "");
    fake::state.keysWaiting = 2;  // a key that delivers two codes
    EXPECT_EQ(PassAt(0), board);
    EXPECT_EQ(fake::state.keysTaken, 1);
    EXPECT_EQ(PassAt(0), board);
    EXPECT_EQ(PassAt(0), "");
    EXPECT_EQ(fake::state.keysTaken, 2);
}

}  // namespace
