// nightcomet-scores: reads a scores.bin and prints the records in use, for an operator who wants
// to see or publish the scores without the server's console. It never writes the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "scores/scores.h"

enum class ScoresFormat { LEADERBOARD, TABLE, CSV, JSON };

// The order of the printed records. Every sort is descending, and records that tie keep their
// order in the file. The ratio is kills / deaths with 0 deaths counted as 1, so 7-0 ties with 7-1.
enum class ScoresSort { FILE_ORDER, KILLS, DEATHS, RATIO };

struct ScoresOptions {
    ScoresFormat format = ScoresFormat::LEADERBOARD;
    ScoresSort sort = ScoresSort::FILE_ORDER;
    bool sortGiven =
        false;  // without --sort the table is sorted by kills, the rest keep file order
    bool help = false;
    bool version = false;
    std::string path = SCORES_FILE;
};

// Parses the arguments after the program name. On a usage error returns false with error set.
bool ParseScoresArguments(std::span<const char* const> arguments, ScoresOptions& options,
                          std::string& error);

// Reads a scores file the way the server loads it: a short file fills the table from its start
// and leaves the rest zero, bytes beyond SCORES_FILE_SIZE are ignored, a recordCount above
// MAX_SCORE_RECORDS is read as MAX_SCORE_RECORDS. Each of these gets a warning on err. Returns
// false, with a message on err, when the file cannot be opened or read.
bool ReadScoresFile(const std::string& path, ScoreTable& table, std::FILE* err);

// The positions of the records in use, in the requested order.
std::vector<int> SortedPositions(const ScoreTable& table, ScoresSort sort);

// "2.50": kills / deaths, 0 deaths counted as 1, rounded half up to two decimals.
std::string FormatRatio(const ScoreRecord& record);

// Prints the records at the given positions in one of the formats.
void WriteScores(std::FILE* out, ScoresFormat format, const ScoreTable& table,
                 std::span<const int> positions);

// The whole tool: parses, reads, prints. Returns the exit status: 0, 1 when the file cannot be
// read or the output cannot be written, 2 for a usage error.
int RunScoresTool(std::span<const char* const> arguments, std::FILE* out, std::FILE* err);
