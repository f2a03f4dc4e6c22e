#include "scores_tool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace {

constexpr const char* PROGRAM = "nightcomet-scores";

constexpr const char* USAGE =
    "Usage: nightcomet-scores [OPTION]... [FILE]\n"
    "Prints the kill and death counts kept by the Nightcomet II game server in FILE\n"
    "(default: scores.bin in the current folder). The file is only read, never written,\n"
    "so it is safe to run while the server is running.\n"
    "\n"
    "  -f, --format=FORMAT  leaderboard  the server's own leaderboard lines (default)\n"
    "                       table        an aligned table with a kill/death ratio\n"
    "                       csv          comma-separated values with a header line\n"
    "                       json         one JSON object\n"
    "  -s, --sort=ORDER     file    the order in the file, which is the order in which the\n"
    "                               addresses first scored (default, except for table)\n"
    "                       kills   most kills first (default for table)\n"
    "                       deaths  most deaths first\n"
    "                       ratio   highest kills/deaths first; 0 deaths counts as 1, so\n"
    "                               7-0 ranks with 7-1, and 0-0 ranks last with 0-5\n"
    "                       Records that tie keep their order in the file.\n"
    "  -h, --help           print this help and exit\n"
    "      --version        print the version and exit\n"
    "\n"
    "A file that is not 804 bytes long, or that claims more than 100 records, gets a warning\n"
    "on standard error and is read as the server reads it.\n"
    "Exit status: 0 on success, 1 if FILE cannot be read or the output cannot be written,\n"
    "2 for a usage error.\n";

template <typename Value>
struct Named {
    std::string_view name;
    Value value;
};

constexpr std::array<Named<ScoresFormat>, 4> FORMATS{{{"leaderboard", ScoresFormat::LEADERBOARD},
                                                      {"table", ScoresFormat::TABLE},
                                                      {"csv", ScoresFormat::CSV},
                                                      {"json", ScoresFormat::JSON}}};

constexpr std::array<Named<ScoresSort>, 4> SORTS{{{"file", ScoresSort::FILE_ORDER},
                                                  {"kills", ScoresSort::KILLS},
                                                  {"deaths", ScoresSort::DEATHS},
                                                  {"ratio", ScoresSort::RATIO}}};

template <typename Value, std::size_t N>
bool Lookup(const std::array<Named<Value>, N>& names, std::string_view name, Value& value) {
    for (const Named<Value>& named : names) {
        if (named.name == name) {
            value = named.value;
            return true;
        }
    }
    return false;
}

template <typename Value, std::size_t N>
std::string NameList(const std::array<Named<Value>, N>& names) {
    std::string list;
    for (const Named<Value>& named : names) {
        list += list.empty() ? "" : ", ";
        list += named.name;
    }
    return list;
}

// The four octets of an address, first octet first, as the server prints them.
std::string FormatAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF,
                  (address >> 16) & 0xFF, (address >> 24) & 0xFF);
    return text;
}

std::uint64_t RatioDivisor(const ScoreRecord& record) {
    return std::max<std::uint64_t>(record.deaths, 1);
}

// Whether a scores strictly higher than b in the given order.
bool Ahead(const ScoreRecord& a, const ScoreRecord& b, ScoresSort sort) {
    switch (sort) {
        case ScoresSort::KILLS:
            return a.kills > b.kills;
        case ScoresSort::DEATHS:
            return a.deaths > b.deaths;
        case ScoresSort::RATIO:
            // Compared as exact fractions, without rounding.
            return a.kills * RatioDivisor(b) > b.kills * RatioDivisor(a);
        case ScoresSort::FILE_ORDER:
            break;
    }
    return false;
}

void WriteLeaderboard(std::FILE* out, const ScoreTable& table, std::span<const int> positions) {
    // The server's leaderboard, byte for byte (see PrintLeaderboard in server/scores).
    std::fputs("\nPRINTING LEADERBOARD\n---\n", out);
    for (const int position : positions) {
        const ScoreRecord& record = table.records[position];
        std::fprintf(out, "%s K-D: %d-%d\n", FormatAddress(record.address).c_str(), record.kills,
                     record.deaths);
    }
    std::fputs("---\n", out);
}

void WriteTable(std::FILE* out, const ScoreTable& table, std::span<const int> positions) {
    // Widths fit the widest values: 100 ranks, "255.255.255.255", 65535 kills, "65535.00".
    std::fprintf(out, "%4s  %-15s  %5s  %6s  %8s\n", "rank", "address", "kills", "deaths", "k/d");
    int rank = 0;
    for (const int position : positions) {
        const ScoreRecord& record = table.records[position];
        std::fprintf(out, "%4d  %-15s  %5d  %6d  %8s\n", ++rank,
                     FormatAddress(record.address).c_str(), record.kills, record.deaths,
                     FormatRatio(record).c_str());
    }
}

void WriteCsv(std::FILE* out, const ScoreTable& table, std::span<const int> positions) {
    std::fputs("position,address,kills,deaths,ratio\n", out);
    for (const int position : positions) {
        const ScoreRecord& record = table.records[position];
        std::fprintf(out, "%d,%s,%d,%d,%s\n", position, FormatAddress(record.address).c_str(),
                     record.kills, record.deaths, FormatRatio(record).c_str());
    }
}

void WriteJson(std::FILE* out, const ScoreTable& table, std::span<const int> positions) {
    std::fprintf(out, "{\n  \"recordCount\": %u,\n  \"records\": [", table.recordCount);
    const char* separator = "\n";
    for (const int position : positions) {
        const ScoreRecord& record = table.records[position];
        std::fprintf(out,
                     "%s    {\"position\": %d, \"address\": \"%s\", \"kills\": %d, \"deaths\": %d, "
                     "\"ratio\": %s}",
                     separator, position, FormatAddress(record.address).c_str(), record.kills,
                     record.deaths, FormatRatio(record).c_str());
        separator = ",\n";
    }
    std::fputs(positions.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
}

// The value of an option given as "--name=value", "--name value" or "-n value"; moves index past
// what it used. Returns false when the option is not this one; sets error when its value is
// missing.
bool OptionValue(std::span<const char* const> arguments, std::size_t& index,
                 std::string_view longName, std::string_view shortName, std::string& value,
                 std::string& error) {
    const std::string_view argument = arguments[index];
    if (argument.size() > longName.size() && argument.starts_with(longName) &&
        argument[longName.size()] == '=') {
        value = argument.substr(longName.size() + 1);
        return true;
    }
    if (argument != longName && argument != shortName) {
        return false;
    }
    if (index + 1 >= arguments.size()) {
        error = "option '" + std::string(argument) + "' needs a value";
        return true;
    }
    value = arguments[++index];
    return true;
}

}  // namespace

bool ParseScoresArguments(std::span<const char* const> arguments, ScoresOptions& options,
                          std::string& error) {
    bool pathGiven = false;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < arguments.size() && error.empty(); ++index) {
        const std::string_view argument = arguments[index];
        std::string value;
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            if (pathGiven) {
                error = "only one file can be read at a time (got '" + options.path + "' and '" +
                        std::string(argument) + "')";
                break;
            }
            options.path = argument;
            pathGiven = true;
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (OptionValue(arguments, index, "--format", "-f", value, error)) {
            if (error.empty() && !Lookup(FORMATS, value, options.format)) {
                error = "unknown format '" + value + "' (choose from " + NameList(FORMATS) + ")";
            }
        } else if (OptionValue(arguments, index, "--sort", "-s", value, error)) {
            if (error.empty() && !Lookup(SORTS, value, options.sort)) {
                error = "unknown sort order '" + value + "' (choose from " + NameList(SORTS) + ")";
            }
            options.sortGiven = true;
        } else {
            error = "unknown option '" + std::string(argument) + "'";
        }
    }
    if (error.empty() && !options.sortGiven && options.format == ScoresFormat::TABLE) {
        options.sort = ScoresSort::KILLS;
    }
    return error.empty();
}

bool ReadScoresFile(const std::string& path, ScoreTable& table, std::FILE* err) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(err, "%s: cannot open '%s': %s\n", PROGRAM, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    // The first SCORES_FILE_SIZE bytes are the table. One byte more tells that there is more;
    // nothing beyond it is read, so a file that never ends (a device, a pipe) cannot hold the
    // tool up.
    std::array<std::uint8_t, SCORES_FILE_SIZE + 1> image{};
    const std::size_t read = std::fread(image.data(), 1, image.size(), file);
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (readError != 0) {
        std::fprintf(err, "%s: cannot read '%s': %s\n", PROGRAM, path.c_str(),
                     std::strerror(readError));
        return false;
    }

    const std::size_t length = std::min(read, SCORES_FILE_SIZE);
    if (read < SCORES_FILE_SIZE) {
        std::fprintf(err,
                     "%s: warning: '%s' is %zu bytes long, not %zu; the missing bytes are read "
                     "as zero, as the server does\n",
                     PROGRAM, path.c_str(), read, SCORES_FILE_SIZE);
    } else if (read > SCORES_FILE_SIZE) {
        // A device or a pipe has no size to tell.
        std::error_code sizeError;
        const std::uintmax_t size = std::filesystem::file_size(path, sizeError);
        const std::string expected = std::to_string(SCORES_FILE_SIZE);
        const std::string sizeText = sizeError
                                         ? "longer than " + expected + " bytes"
                                         : std::to_string(size) + " bytes long, not " + expected;
        std::fprintf(err,
                     "%s: warning: '%s' is %s; the bytes beyond the table are ignored, as the "
                     "server does\n",
                     PROGRAM, path.c_str(), sizeText.c_str());
    }
    DecodeScoreTable(std::span<const std::uint8_t>(image.data(), length), table);
    // The count as stored, before the decoding caps it: the first four bytes, little-endian.
    const std::uint32_t storedCount =
        static_cast<std::uint32_t>(image[0]) | static_cast<std::uint32_t>(image[1]) << 8 |
        static_cast<std::uint32_t>(image[2]) << 16 | static_cast<std::uint32_t>(image[3]) << 24;
    if (storedCount > table.recordCount) {
        std::fprintf(err,
                     "%s: warning: '%s' claims %u records in use, but the table holds %d; "
                     "all %d are shown\n",
                     PROGRAM, path.c_str(), storedCount, MAX_SCORE_RECORDS, MAX_SCORE_RECORDS);
    }
    return true;
}

std::vector<int> SortedPositions(const ScoreTable& table, ScoresSort sort) {
    std::vector<int> positions;
    for (int position = 0; position < static_cast<int>(table.recordCount); ++position) {
        positions.push_back(position);
    }
    std::stable_sort(positions.begin(), positions.end(),
                     [&](int a, int b) { return Ahead(table.records[a], table.records[b], sort); });
    return positions;
}

std::string FormatRatio(const ScoreRecord& record) {
    // Hundredths, rounded half up: (2 * 100 * kills + divisor) / (2 * divisor).
    const std::uint64_t divisor = RatioDivisor(record);
    const std::uint64_t hundredths = (200 * std::uint64_t{record.kills} + divisor) / (2 * divisor);
    char text[24];
    std::snprintf(text, sizeof text, "%llu.%02llu",
                  static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
    return text;
}

void WriteScores(std::FILE* out, ScoresFormat format, const ScoreTable& table,
                 std::span<const int> positions) {
    switch (format) {
        case ScoresFormat::LEADERBOARD:
            WriteLeaderboard(out, table, positions);
            break;
        case ScoresFormat::TABLE:
            WriteTable(out, table, positions);
            break;
        case ScoresFormat::CSV:
            WriteCsv(out, table, positions);
            break;
        case ScoresFormat::JSON:
            WriteJson(out, table, positions);
            break;
    }
}

int RunScoresTool(std::span<const char* const> arguments, std::FILE* out, std::FILE* err) {
    ScoresOptions options;
    std::string error;
    if (!ParseScoresArguments(arguments, options, error)) {
        std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", PROGRAM, error.c_str(),
                     PROGRAM);
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? USAGE : PROGRAM, out);
        if (!options.help) {
            std::fprintf(out, " %s\n", NIGHTCOMET_VERSION);
        }
    } else {
        ScoreTable table{};
        if (!ReadScoresFile(options.path, table, err)) {
            return 1;
        }
        WriteScores(out, options.format, table, SortedPositions(table, options.sort));
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(err, "%s: cannot write the output: %s\n", PROGRAM, std::strerror(errno));
        return 1;
    }
    return 0;
}
