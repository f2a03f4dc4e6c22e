// Score keeping: kills and deaths per IPv4 address in one table of 100 records, kept in the
// file "scores.bin", saved every 60 seconds on the timer's thread and printed on a key press.
//
// "scores.bin" is always 804 bytes, little-endian, with no header:
//   offset 0       4 bytes  recordCount
//   4 + 8k         4 bytes  record k address, octets a, b, c, d of a.b.c.d in that order
//   8 + 8k         2 bytes  record k kills
//   10 + 8k        2 bytes  record k deaths            (k from 0 to 99, all written)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int MAX_SCORE_RECORDS = 100;
inline constexpr std::uint32_t SCORE_DUMP_INTERVAL_MS = 60000;
inline constexpr std::size_t SCORES_FILE_SIZE = 4 + 8 * MAX_SCORE_RECORDS;

inline constexpr const char* SCORES_FILE = "scores.bin";
// Where a dump writes before it replaces SCORES_FILE: the same folder, so the rename is atomic.
inline constexpr const char* SCORES_TEMP_FILE = "scores.bin.tmp";

struct ScoreRecord {
    std::uint32_t address;  // octets in transmission order, as the slots hold it
    std::uint16_t kills;    // wraps from 65535 to 0
    std::uint16_t deaths;   // wraps from 65535 to 0
};

struct ScoreTable {
    std::uint32_t recordCount;  // records in use: positions 0 to recordCount - 1
    std::array<ScoreRecord, MAX_SCORE_RECORDS> records;
};

// The one table, made at start-up. The main thread changes and prints it, the dump thread reads
// it; both hold serverLock (console/console.h) while they do.
extern ScoreTable* scoreTable;

// Returned by FindOrAddScore when a new address finds the table full.
inline constexpr int NO_SCORE_RECORD = -1;

// Makes the table (or empties it), zero-filled.
void CreateScoreTable();

// The position of the first record, at any of the 100 positions, that holds address; else a new
// record for it at recordCount; else, with all 100 in use, NO_SCORE_RECORD. Needs serverLock.
int FindOrAddScore(std::uint32_t address);

// The events of the relay: a death for the victim's address, then a kill for the killer's; a
// death for a dropped player's address. Addresses come from the slots, active or free.
void ScoreKill(int victimSlot, int killerSlot);
void ScoreDrop(int slot);

// The file image of a table, and a table from a file image: a short image fills the table from
// its start and leaves the rest zero; bytes beyond SCORES_FILE_SIZE are not read. A recordCount
// above MAX_SCORE_RECORDS is read as MAX_SCORE_RECORDS.
void EncodeScoreTable(const ScoreTable& table, std::span<std::uint8_t, SCORES_FILE_SIZE> image);
void DecodeScoreTable(std::span<const std::uint8_t> image, ScoreTable& table);

// Reads SCORES_FILE into the table; a missing file means an empty table. A file that is there
// but cannot be read (no permission, held by another program, a folder of that name, a read
// error) leaves the table empty and returns false with error set: the server must not go on,
// or its first save would replace the stored scores with an empty table.
bool LoadScores(int& error);

// Saves the table to SCORES_FILE every SCORE_DUMP_INTERVAL_MS, on a thread of its own.
void StartScoreDump();

// Saves the table: writes a temporary file beside SCORES_FILE and puts it in its place, so a
// crash or a full disk leaves the old file whole. Prints what it did. Safe from any thread.
void DumpScores();

// When a key code is waiting: prints the leaderboard and takes the key code.
void CheckLeaderboardKey();

// Prints the records in use, in table order.
void PrintLeaderboard();
