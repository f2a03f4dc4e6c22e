#include "scores/scores.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "console/console.h"
#include "platform/platform.h"
#include "relay/relay.h"

ScoreTable* scoreTable = nullptr;

namespace {

// One dump at a time: the timer's and the one made when the server is asked to stop share the
// temporary file.
std::mutex dumpLock;

int Octet(std::uint32_t address, int index) {
    return (address >> (8 * index)) & 0xFF;
}

void Put32(std::uint8_t* bytes, std::uint32_t value) {
    for (int index = 0; index < 4; ++index) {
        bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

void Put16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t Get32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint16_t Get16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// The errno of a failed file call, or EIO where the call failed without setting it (a short
// write, a read error that the library reports only through ferror).
int ErrnoOrInputOutputError() {
    return errno != 0 ? errno : EIO;
}

// Writes the image to SCORES_TEMP_FILE and renames it over SCORES_FILE. On failure the
// temporary file is removed, SCORES_FILE is as it was and error holds the errno of the failure.
bool SaveScoresImage(const std::uint8_t* image, int& error) {
    std::FILE* file = std::fopen(SCORES_TEMP_FILE, "wb");
    if (file == nullptr) {
        error = errno;
        return false;
    }
    errno = 0;
    bool saved =
        std::fwrite(image, 1, SCORES_FILE_SIZE, file) == SCORES_FILE_SIZE && PlatformSyncFile(file);
    error = ErrnoOrInputOutputError();
    if (std::fclose(file) != 0 && saved) {
        saved = false;
        error = errno;
    }
    if (saved && !PlatformReplaceFile(SCORES_TEMP_FILE, SCORES_FILE)) {
        saved = false;
        error = errno;
    }
    if (!saved) {
        std::remove(SCORES_TEMP_FILE);
    }
    return saved;
}

void AddDeath(std::uint32_t address) {
    const int position = FindOrAddScore(address);
    if (position != NO_SCORE_RECORD) {
        ++scoreTable->records[position].deaths;
    }
}

void AddKill(std::uint32_t address) {
    const int position = FindOrAddScore(address);
    if (position != NO_SCORE_RECORD) {
        ++scoreTable->records[position].kills;
    }
}

std::uint32_t SlotAddress(int slot) {
    return slots[slot].endpoint.address.address;
}

}  // namespace

void CreateScoreTable() {
    if (scoreTable == nullptr) {
        scoreTable = new ScoreTable{};
    }
    *scoreTable = ScoreTable{};
}

int FindOrAddScore(std::uint32_t address) {
    for (int position = 0; position < MAX_SCORE_RECORDS; ++position) {
        if (scoreTable->records[position].address == address) {
            return position;
        }
    }
    if (scoreTable->recordCount >= MAX_SCORE_RECORDS) {
        return NO_SCORE_RECORD;  // full: the new address is not kept, nothing else is touched
    }
    const int position = static_cast<int>(scoreTable->recordCount);
    scoreTable->records[position] = ScoreRecord{address, 0, 0};
    ++scoreTable->recordCount;
    return position;
}

void ScoreKill(int victimSlot, int killerSlot) {
    const std::lock_guard<std::mutex> hold(serverLock);
    AddDeath(SlotAddress(victimSlot));
    AddKill(SlotAddress(killerSlot));
}

void ScoreDrop(int slot) {
    const std::lock_guard<std::mutex> hold(serverLock);
    AddDeath(SlotAddress(slot));
}

void EncodeScoreTable(const ScoreTable& table, std::span<std::uint8_t, SCORES_FILE_SIZE> image) {
    Put32(image.data(), table.recordCount);
    for (int position = 0; position < MAX_SCORE_RECORDS; ++position) {
        std::uint8_t* bytes = image.data() + 4 + 8 * position;
        const ScoreRecord& record = table.records[position];
        Put32(bytes, record.address);
        Put16(bytes + 4, record.kills);
        Put16(bytes + 6, record.deaths);
    }
}

void DecodeScoreTable(std::span<const std::uint8_t> image, ScoreTable& table) {
    std::array<std::uint8_t, SCORES_FILE_SIZE> full{};
    std::memcpy(full.data(), image.data(), std::min(image.size(), SCORES_FILE_SIZE));
    table.recordCount = std::min<std::uint32_t>(Get32(full.data()), MAX_SCORE_RECORDS);
    for (int position = 0; position < MAX_SCORE_RECORDS; ++position) {
        const std::uint8_t* bytes = full.data() + 4 + 8 * position;
        table.records[position] = ScoreRecord{Get32(bytes), Get16(bytes + 4), Get16(bytes + 6)};
    }
}

bool LoadScores(int& error) {
    std::array<std::uint8_t, SCORES_FILE_SIZE> image{};
    std::size_t length = 0;
    bool readable = true;
    errno = 0;
    if (std::FILE* file = std::fopen(SCORES_FILE, "rb")) {
        length = std::fread(image.data(), 1, image.size(), file);
        if (std::ferror(file) != 0) {
            readable = false;
            error = ErrnoOrInputOutputError();
            length = 0;
        }
        std::fclose(file);
    } else if (errno != ENOENT) {
        readable = false;
        error = ErrnoOrInputOutputError();
    }
    const std::lock_guard<std::mutex> hold(serverLock);
    DecodeScoreTable(std::span(image.data(), length), *scoreTable);
    return readable;
}

void StartScoreDump() {
    PlatformStartPeriodicTimer(SCORE_DUMP_INTERVAL_MS, DumpScores);
}

void DumpScores() {
    const std::lock_guard<std::mutex> dumping(dumpLock);
    std::array<std::uint8_t, SCORES_FILE_SIZE> image;
    {
        // A copy taken under the lock: the file is written without holding up the main loop.
        const std::lock_guard<std::mutex> hold(serverLock);
        EncodeScoreTable(*scoreTable, image);
    }
    int error = 0;
    if (SaveScoresImage(image.data(), error)) {
        Print("Dumping score records\n");
    } else {
        Print("Could not save score records to %s (%s); the old file is kept\n", SCORES_FILE,
              std::strerror(error));
    }
}

void CheckLeaderboardKey() {
    if (PlatformKeyWaiting()) {
        PrintLeaderboard();
        PlatformTakeKey();
    }
}

void PrintLeaderboard() {
    const std::lock_guard<std::mutex> hold(serverLock);
    PrintLocked("\nPRINTING LEADERBOARD\n---\n");
    for (std::uint32_t position = 0; position < scoreTable->recordCount; ++position) {
        const ScoreRecord& record = scoreTable->records[position];
        PrintLocked("%d.%d.%d.%d K-D: %d-%d\n", Octet(record.address, 0), Octet(record.address, 1),
                    Octet(record.address, 2), Octet(record.address, 3), record.kills,
                    record.deaths);
    }
    PrintLocked("---\n");
}
