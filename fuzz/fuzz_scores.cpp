// Fuzzes the loading of scores.bin: LoadScores on a file holding the input (of any length), then
// the leaderboard, kills and drops on the loaded table, a dump and a second load. Checks the table
// against the harness's own reading of the file image, the leaderboard line for line, the
// 100-record bound, and that a dump writes back exactly the table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "relay/relay.h"
#include "scores/scores.h"

namespace {

constexpr const char* CONSOLE_FILE = "console.txt";

std::string ReadWhole(const char* name) {
    std::ifstream file(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Starts the console output afresh; what the server prints lands in CONSOLE_FILE.
void RestartConsole() {
    Require(std::freopen(CONSOLE_FILE, "w", stdout) != nullptr, "the console file opens");
}

// The table the file's bytes describe: the first 804 bytes, zero after a short file, the
// record count read as at most 100. The server runs on little-endian machines, where the table
// in memory is the file image itself.
ScoreTable ExpectedTable(const std::uint8_t* data, std::size_t size) {
    static_assert(sizeof(ScoreTable) == SCORES_FILE_SIZE);
    ScoreTable table{};
    // std::copy_n, not memcpy: an empty input may come without a data pointer.
    std::copy_n(data, std::min(size, SCORES_FILE_SIZE), reinterpret_cast<std::uint8_t*>(&table));
    table.recordCount = std::min<std::uint32_t>(table.recordCount, MAX_SCORE_RECORDS);
    return table;
}

std::string ExpectedLeaderboard(const ScoreTable& table) {
    std::string board = "\nPRINTING LEADERBOARD\n---\n";
    for (std::uint32_t position = 0; position < table.recordCount; ++position) {
        const ScoreRecord& record = table.records[position];
        char line[64];
        std::snprintf(line, sizeof line, "%u.%u.%u.%u K-D: %u-%u\n", record.address & 0xFF,
                      record.address >> 8 & 0xFF, record.address >> 16 & 0xFF, record.address >> 24,
                      static_cast<unsigned>(record.kills), static_cast<unsigned>(record.deaths));
        board += line;
    }
    return board + "---\n";
}

bool SameTable(const ScoreTable& a, const ScoreTable& b) {
    return std::memcmp(&a, &b, sizeof(ScoreTable)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EnterScratchFolder();

    std::FILE* file = std::fopen(SCORES_FILE, "wb");
    Require(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0,
            "scores.bin is written");

    fake::Reset();
    ClearSlots();
    CreateScoreTable();
    int error = 0;
    Require(LoadScores(error), "any scores.bin is readable");
    const ScoreTable expected = ExpectedTable(data, size);
    Require(SameTable(*scoreTable, expected), "the table is the file's image");

    RestartConsole();
    PrintLeaderboard();
    Require(ReadWhole(CONSOLE_FILE) == ExpectedLeaderboard(expected), "the leaderboard");

    // Kills and drops on the loaded table, by the addresses of its own records and by the ones
    // that the bytes after the first 804 name: known and new addresses, a full table.
    for (int slot = 0; slot < MAX_PLAYERS; ++slot) {
        const std::size_t offset = SCORES_FILE_SIZE + 4 * static_cast<std::size_t>(slot);
        std::uint32_t address = expected.records[slot * 7].address;
        if (offset + 4 <= size) {
            std::memcpy(&address, data + offset, 4);
        }
        slots[slot].endpoint.address.address = address;
    }
    for (int event = 0; event < 2 * MAX_PLAYERS; ++event) {
        const std::uint32_t before = scoreTable->recordCount;
        if (event % 3 == 2) {
            ScoreDrop(event % MAX_PLAYERS);
        } else {
            ScoreKill(event % MAX_PLAYERS, (event * 5 + 3) % MAX_PLAYERS);
        }
        Require(scoreTable->recordCount <= MAX_SCORE_RECORDS, "never more than 100 records");
        Require(scoreTable->recordCount >= before && scoreTable->recordCount <= before + 2,
                "an event adds at most its two addresses");
    }

    // A dump writes exactly the table, and loading it gives the table back.
    const ScoreTable scored = *scoreTable;
    RestartConsole();
    DumpScores();
    Require(ReadWhole(CONSOLE_FILE) == "Dumping score records\n", "the dump line");
    const std::string saved = ReadWhole(SCORES_FILE);
    Require(saved.size() == SCORES_FILE_SIZE &&
                std::memcmp(saved.data(), &scored, SCORES_FILE_SIZE) == 0,
            "the dump writes the table's 804 bytes");
    Require(std::fopen(SCORES_TEMP_FILE, "rb") == nullptr, "no temporary file is left");
    CreateScoreTable();
    Require(LoadScores(error), "the dumped scores.bin is readable");
    Require(SameTable(*scoreTable, scored), "a dumped table loads back the same");
    return 0;
}
