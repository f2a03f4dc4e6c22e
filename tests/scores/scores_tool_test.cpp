#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "scores/scores.h"
#include "scores_tool.h"

namespace {

namespace fs = std::filesystem;
using fake::Address;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string ReadAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}

ToolRun RunTool(const std::vector<const char*>& arguments) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = RunScoresTool(arguments, out, err);
    return ToolRun{status, ReadAll(out), ReadAll(err)};
}

std::vector<std::uint8_t> Image(const ScoreTable& table) {
    std::array<std::uint8_t, SCORES_FILE_SIZE> image{};
    EncodeScoreTable(table, image);
    return std::vector<std::uint8_t>(image.begin(), image.end());
}

ScoreTable Table(std::initializer_list<ScoreRecord> records) {
    ScoreTable table{};
    for (const ScoreRecord& record : records) {
        table.records[table.recordCount++] = record;
    }
    return table;
}

// A folder of its own for each test, removed afterwards; the random part keeps runs of the same
// test (a Linux and a Windows suite at once) apart.
class ScoresToolTest : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        folder = fs::temp_directory_path() / ("nightcomet-scores-" + std::string(info->name()) +
                                              "-" + std::to_string(std::random_device{}()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const fs::path path = folder / name;
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    fs::path folder;
};

// Three players as the server adds them: first scorer first.
const ScoreTable THREE = Table({{Address(10, 0, 0, 1), 5, 2},
                                {Address(192, 168, 1, 20), 12, 0},
                                {Address(127, 0, 0, 255), 0, 7}});

// ---------------------------------------------------------------------------------------------
// Formats

// Each format on the same three records, with its default order and with others.
TEST_F(ScoresToolTest, EachFormatPrintsTheRecordsInUse) {
    const std::string path = WriteFile("scores.bin", Image(THREE));
    struct Case {
        std::vector<const char*> options;
        const char* expected;
    };
    const std::array<Case, 6> cases{{
        {{},
         "\nPRINTING LEADERBOARD\n---\n"
         "10.0.0.1 K-D: 5-2\n"
         "192.168.1.20 K-D: 12-0\n"
         "127.0.0.255 K-D: 0-7\n"
         "---\n"},
        {{"--sort=ratio"},
         "\nPRINTING LEADERBOARD\n---\n"
         "192.168.1.20 K-D: 12-0\n"
         "10.0.0.1 K-D: 5-2\n"
         "127.0.0.255 K-D: 0-7\n"
         "---\n"},
        {{"--format=table"},
         "rank  address          kills  deaths       k/d\n"
         "   1  192.168.1.20        12       0     12.00\n"
         "   2  10.0.0.1             5       2      2.50\n"
         "   3  127.0.0.255          0       7      0.00\n"},
        {{"--format=table", "--sort=file"},
         "rank  address          kills  deaths       k/d\n"
         "   1  10.0.0.1             5       2      2.50\n"
         "   2  192.168.1.20        12       0     12.00\n"
         "   3  127.0.0.255          0       7      0.00\n"},
        {{"--format=csv"},
         "position,address,kills,deaths,ratio\n"
         "0,10.0.0.1,5,2,2.50\n"
         "1,192.168.1.20,12,0,12.00\n"
         "2,127.0.0.255,0,7,0.00\n"},
        {{"--format=json", "--sort=deaths"},
         "{\n"
         "  \"recordCount\": 3,\n"
         "  \"records\": [\n"
         "    {\"position\": 2, \"address\": \"127.0.0.255\", \"kills\": 0, \"deaths\": 7, "
         "\"ratio\": 0.00},\n"
         "    {\"position\": 0, \"address\": \"10.0.0.1\", \"kills\": 5, \"deaths\": 2, "
         "\"ratio\": 2.50},\n"
         "    {\"position\": 1, \"address\": \"192.168.1.20\", \"kills\": 12, \"deaths\": 0, "
         "\"ratio\": 12.00}\n"
         "  ]\n"
         "}\n"},
    }};
    for (const Case& test : cases) {
        std::vector<const char*> arguments = test.options;
        arguments.push_back(path.c_str());
        const ToolRun run = RunTool(arguments);
        const std::string label = test.options.empty() ? "no options" : test.options[0];
        EXPECT_EQ(run.status, 0) << label;
        EXPECT_EQ(run.out, test.expected) << label;
        EXPECT_EQ(run.err, "") << label;
    }
}

// The server's own PrintLeaderboard on the same table prints the very same bytes, for the
// widest values, an empty table and a full one.
TEST_F(ScoresToolTest, LeaderboardMatchesTheServersPrinter) {
    ScoreTable full{};
    for (int position = 0; position < MAX_SCORE_RECORDS; ++position) {
        full.records[position] = {Address(position, 255, 0, 1),
                                  static_cast<std::uint16_t>(position), 65535};
    }
    full.recordCount = MAX_SCORE_RECORDS;
    const std::array<ScoreTable, 3> tables{
        Table({}), Table({{Address(255, 255, 255, 255), 65535, 65535}, {0, 0, 0}}), full};
    for (const ScoreTable& table : tables) {
        const std::string path = WriteFile("scores.bin", Image(table));
        CreateScoreTable();
        *scoreTable = table;
        testing::internal::CaptureStdout();
        PrintLeaderboard();
        const std::string server = testing::internal::GetCapturedStdout();
        EXPECT_EQ(RunTool({"--format=leaderboard", path.c_str()}).out, server);
    }
}

TEST_F(ScoresToolTest, TableKeepsItsColumnsForTheWidestValues) {
    const std::string path =
        WriteFile("scores.bin", Image(Table({{Address(255, 255, 255, 255), 65535, 0}})));
    EXPECT_EQ(RunTool({"--format=table", path.c_str()}).out,
              "rank  address          kills  deaths       k/d\n"
              "   1  255.255.255.255  65535       0  65535.00\n");
}

TEST_F(ScoresToolTest, EmptyTableInEveryFormat) {
    const std::string path = WriteFile("scores.bin", Image(Table({})));
    struct Case {
        const char* format;
        const char* expected;
    };
    const std::array<Case, 4> cases{{
        {"--format=leaderboard", "\nPRINTING LEADERBOARD\n---\n---\n"},
        {"--format=table", "rank  address          kills  deaths       k/d\n"},
        {"--format=csv", "position,address,kills,deaths,ratio\n"},
        {"--format=json", "{\n  \"recordCount\": 0,\n  \"records\": []\n}\n"},
    }};
    for (const Case& test : cases) {
        const ToolRun run = RunTool({test.format, path.c_str()});
        EXPECT_EQ(run.status, 0) << test.format;
        EXPECT_EQ(run.out, test.expected) << test.format;
        EXPECT_EQ(run.err, "") << test.format;
    }
}

// ---------------------------------------------------------------------------------------------
// Sorting

TEST(ScoresSortTest, OrdersDescendingWithTiesInFileOrder) {
    const ScoreTable table = Table({{Address(1, 0, 0, 1), 3, 1},    // 0: ratio 3
                                    {Address(1, 0, 0, 2), 7, 1},    // 1: ratio 7
                                    {Address(1, 0, 0, 3), 0, 0},    // 2: ratio 0, no deaths
                                    {Address(1, 0, 0, 4), 7, 0},    // 3: ratio 7, no deaths
                                    {Address(1, 0, 0, 5), 3, 4},    // 4: ratio 0.75
                                    {Address(1, 0, 0, 6), 0, 5},    // 5: ratio 0
                                    {Address(1, 0, 0, 7), 6, 8}});  // 6: ratio 0.75
    struct Case {
        ScoresSort sort;
        std::vector<int> expected;
    };
    const std::array<Case, 4> cases{{
        {ScoresSort::FILE_ORDER, {0, 1, 2, 3, 4, 5, 6}},
        {ScoresSort::KILLS, {1, 3, 6, 0, 4, 2, 5}},
        {ScoresSort::DEATHS, {6, 5, 4, 0, 1, 2, 3}},
        // 7-0 ties with 7-1 since no deaths counts as one; 3-4 and 6-8 are the same fraction;
        // 0-0 and 0-5 both have ratio 0.
        {ScoresSort::RATIO, {1, 3, 0, 4, 6, 2, 5}},
    }};
    for (const Case& test : cases) {
        EXPECT_EQ(SortedPositions(table, test.sort), test.expected)
            << "sort " << static_cast<int>(test.sort);
    }
}

TEST(ScoresSortTest, RatioComparesExactFractionsOfLargeCounts) {
    // 65535/65534 and 65534/65533 differ only in the tenth decimal place.
    const ScoreTable table =
        Table({{Address(1, 0, 0, 1), 65534, 65533}, {Address(1, 0, 0, 2), 65535, 65534}});
    EXPECT_EQ(SortedPositions(table, ScoresSort::RATIO), (std::vector<int>{0, 1}));
    EXPECT_EQ(SortedPositions(
                  Table({{Address(1, 0, 0, 1), 65533, 65534}, {Address(1, 0, 0, 2), 65534, 65535}}),
                  ScoresSort::RATIO),
              (std::vector<int>{1, 0}));
}

TEST(ScoresSortTest, RatioTextRoundsHalfUpAndCountsNoDeathsAsOne) {
    struct Case {
        std::uint16_t kills;
        std::uint16_t deaths;
        const char* expected;
    };
    const std::array<Case, 7> cases{{{0, 0, "0.00"},
                                     {7, 0, "7.00"},
                                     {1, 3, "0.33"},
                                     {2, 3, "0.67"},
                                     {1, 8, "0.13"},
                                     {0, 65535, "0.00"},
                                     {65535, 1, "65535.00"}}};
    for (const Case& test : cases) {
        EXPECT_EQ(FormatRatio({0, test.kills, test.deaths}), test.expected)
            << test.kills << "-" << test.deaths;
    }
}

// ---------------------------------------------------------------------------------------------
// Files that the server did not write whole

TEST_F(ScoresToolTest, ShortFileIsReadAsFarAsItGoesWithAWarning) {
    // The count, the first record and three octets of the second record's address.
    std::vector<std::uint8_t> image = Image(THREE);
    image.resize(4 + 8 + 3);
    const std::string path = WriteFile("short.bin", image);
    const ToolRun run = RunTool({"--format=csv", path.c_str()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "position,address,kills,deaths,ratio\n"
              "0,10.0.0.1,5,2,2.50\n"
              "1,192.168.1.0,0,0,0.00\n"
              "2,0.0.0.0,0,0,0.00\n");
    EXPECT_EQ(run.err, "nightcomet-scores: warning: '" + path +
                           "' is 15 bytes long, not 804; the missing bytes are read as zero, as "
                           "the server does\n");
}

TEST_F(ScoresToolTest, FilesTooShortForACountHoldNoRecords) {
    for (const std::vector<std::uint8_t>& bytes :
         {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0, 0, 0}}) {
        const std::string path = WriteFile("tiny.bin", bytes);
        const ToolRun run = RunTool({path.c_str()});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "\nPRINTING LEADERBOARD\n---\n---\n");
        EXPECT_NE(run.err.find("is " + std::to_string(bytes.size()) + " bytes long, not 804"),
                  std::string::npos)
            << run.err;
    }
}

TEST_F(ScoresToolTest, BytesBeyondTheTableAreIgnoredWithAWarning) {
    std::vector<std::uint8_t> image = Image(THREE);
    image.resize(SCORES_FILE_SIZE + 5000, 0xFF);  // more than one read's worth of extra bytes
    const std::string path = WriteFile("long.bin", image);
    const ToolRun run = RunTool({path.c_str()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, RunTool({WriteFile("exact.bin", Image(THREE)).c_str()}).out);
    EXPECT_EQ(run.err, "nightcomet-scores: warning: '" + path +
                           "' is 5804 bytes long, not 804; the bytes beyond the table are "
                           "ignored, as the server does\n");
}

TEST_F(ScoresToolTest, RecordCountAboveTheTableIsReadAsAFullTable) {
    ScoreTable table = THREE;
    table.recordCount = 250;
    const std::string path = WriteFile("scores.bin", Image(table));
    const ToolRun run = RunTool({"--format=csv", path.c_str()});
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(run.out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 1u + MAX_SCORE_RECORDS);
    EXPECT_EQ(lines[1], "0,10.0.0.1,5,2,2.50");
    EXPECT_EQ(lines[4], "3,0.0.0.0,0,0,0.00");
    EXPECT_EQ(lines[100], "99,0.0.0.0,0,0,0.00");
    EXPECT_EQ(run.err, "nightcomet-scores: warning: '" + path +
                           "' claims 250 records in use, but the table holds 100; all 100 are "
                           "shown\n");
    EXPECT_NE(RunTool({"--format=json", path.c_str()}).out.find("\"recordCount\": 100,"),
              std::string::npos);
}

TEST_F(ScoresToolTest, RecordCountOfExactlyAFullTableIsNoWarning) {
    ScoreTable table = THREE;
    table.recordCount = MAX_SCORE_RECORDS;
    const ToolRun run = RunTool({WriteFile("scores.bin", Image(table)).c_str()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
}

// ---------------------------------------------------------------------------------------------
// Files and output that cannot be used

TEST_F(ScoresToolTest, MissingFileIsAnErrorThatNamesIt) {
    const std::string path = (folder / "absent.bin").string();
    const ToolRun run = RunTool({path.c_str()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("nightcomet-scores: cannot open '" + path + "': ", 0), 0u) << run.err;
}

TEST_F(ScoresToolTest, FolderIsAnError) {
    // Opening a folder fails on some systems and reading it on the others; both are errors.
    const ToolRun run = RunTool({folder.string().c_str()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("'" + folder.string() + "'"), std::string::npos) << run.err;
}

TEST_F(ScoresToolTest, OutputThatCannotBeWrittenIsAnError) {
    const std::string path = WriteFile("scores.bin", Image(THREE));
    std::FILE* readOnly = std::fopen(path.c_str(), "rb");
    ASSERT_NE(readOnly, nullptr);
    std::FILE* err = std::tmpfile();
    const std::vector<const char*> arguments{path.c_str()};
    EXPECT_EQ(RunScoresTool(arguments, readOnly, err), 1);
    std::fclose(readOnly);
    EXPECT_EQ(ReadAll(err).rfind("nightcomet-scores: cannot write the output", 0), 0u);
}

// Without a path the tool reads scores.bin in the current folder, and it leaves the file and
// the folder as they were: it never saves, so no temporary file appears either.
TEST_F(ScoresToolTest, ReadsScoresBinInTheCurrentFolderAndNeverWrites) {
    const std::vector<std::uint8_t> image = Image(THREE);
    WriteFile("scores.bin", image);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    const ToolRun run = RunTool({"--format=csv"});
    fs::current_path(previous);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, RunTool({"--format=csv", (folder / "scores.bin").string().c_str()}).out);
    std::ifstream file(folder / "scores.bin", std::ios::binary);
    EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}), image);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------------------------------------
// Options

TEST_F(ScoresToolTest, OptionValuesCanBeJoinedOrSeparate) {
    const std::string path = WriteFile("scores.bin", Image(THREE));
    const std::string expected = RunTool({"--format=csv", "--sort=kills", path.c_str()}).out;
    EXPECT_EQ(RunTool({"--format", "csv", "--sort", "kills", path.c_str()}).out, expected);
    EXPECT_EQ(RunTool({"-f", "csv", "-s", "kills", path.c_str()}).out, expected);
    EXPECT_EQ(RunTool({path.c_str(), "-s", "kills", "-f", "csv"}).out, expected);
    EXPECT_EQ(RunTool({"-f", "json", "-f", "csv", "-s", "kills", path.c_str()}).out, expected)
        << "the last of a repeated option wins";
}

TEST_F(ScoresToolTest, DoubleDashEndsTheOptions) {
    const std::string path = WriteFile("-f", Image(THREE));
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    const ToolRun run = RunTool({"--format=csv", "--", "-f"});
    fs::current_path(previous);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, RunTool({"--format=csv", path.c_str()}).out);
}

TEST(ScoresOptionsTest, UsageErrorsExitWithTwoAndSayWhat) {
    struct Case {
        std::vector<const char*> arguments;
        const char* message;
    };
    const std::array<Case, 9> cases{{
        {{"--colour"}, "unknown option '--colour'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--formats=csv"}, "unknown option '--formats=csv'"},
        {{"--format=xml"}, "unknown format 'xml' (choose from leaderboard, table, csv, json)"},
        {{"--format="}, "unknown format ''"},
        {{"--format=CSV"}, "unknown format 'CSV'"},
        {{"--sort=name"}, "unknown sort order 'name' (choose from file, kills, deaths, ratio)"},
        {{"a.bin", "--format"}, "option '--format' needs a value"},
        {{"a.bin", "b.bin"}, "only one file can be read at a time (got 'a.bin' and 'b.bin')"},
    }};
    for (const Case& test : cases) {
        const ToolRun run = RunTool(test.arguments);
        EXPECT_EQ(run.status, 2) << test.message;
        EXPECT_EQ(run.out, "") << test.message;
        const std::string& error = run.err;
        EXPECT_EQ(error.rfind(std::string("nightcomet-scores: ") + test.message, 0), 0u) << error;
        EXPECT_NE(error.find("Try 'nightcomet-scores --help'"), std::string::npos) << error;
    }
}

TEST(ScoresOptionsTest, HelpAndVersionPrintAndReadNoFile) {
    const ToolRun help = RunTool({"--help", "/no/such/file"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: nightcomet-scores [OPTION]... [FILE]\n", 0), 0u);
    EXPECT_NE(help.out.find("0 deaths counts as 1"), std::string::npos);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(RunTool({"-h"}).out, help.out);

    const ToolRun version = RunTool({"--version"});
    EXPECT_EQ(version.status, 0);
    ASSERT_EQ(version.out.rfind("nightcomet-scores ", 0), 0u);
    EXPECT_EQ(version.out.back(), '\n');
}

TEST(ScoresOptionsTest, DefaultsAreLeaderboardInFileOrderAndTableByKills) {
    ScoresOptions options;
    std::string error;
    ASSERT_TRUE(ParseScoresArguments({}, options, error));
    EXPECT_EQ(options.format, ScoresFormat::LEADERBOARD);
    EXPECT_EQ(options.sort, ScoresSort::FILE_ORDER);
    EXPECT_EQ(options.path, "scores.bin");

    const std::vector<const char*> table{"--format=table"};
    ASSERT_TRUE(ParseScoresArguments(table, options, error));
    EXPECT_EQ(options.sort, ScoresSort::KILLS);
}

}  // namespace
