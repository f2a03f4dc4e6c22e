// Reading svrcfg.ini: two scanf patterns, "port= %d\n" then "otherport= %d\n".
#include "unit_support.h"

namespace {

struct ConfigCase {
    const char* name;
    std::string text;
    std::int32_t port;
    std::int32_t otherPort;
};

// Test names show the case by its name.
void PrintTo(const ConfigCase& value, std::ostream* out) {
    *out << value.name;
}

class ConfigTest : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigTest, ReadsThePortsAsScanfWould) {
    const ScratchFolder folder;
    WriteFile("svrcfg.ini", GetParam().text);
    std::int32_t port = 0;
    std::int32_t otherPort = 0;
    ASSERT_TRUE(ReadServerConfig("svrcfg.ini", port, otherPort));
    EXPECT_EQ(port, GetParam().port);
    EXPECT_EQ(otherPort, GetParam().otherPort);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigTest,
    testing::Values(
        ConfigCase{"WellFormed", "port= 27015\notherport= 27016\n", 27015, 27016},
        ConfigCase{"NoSpaceAfterEquals", "port=27015\notherport=27016\n", 27015, 27016},
        ConfigCase{"NoFinalLineEnd", "port= 1\notherport= 2", 1, 2},
        ConfigCase{"WindowsLineEnds", "port= 1\r\notherport= 2\r\n", 1, 2},
        ConfigCase{"WhiteSpaceAndBlankLines", "port=  \n\t 7\n\n\n  otherport=\n8\n", 7, 8},
        ConfigCase{"BothOnOneLine", "port= 3 otherport= 4\n", 3, 4},
        ConfigCase{"Signs", "port= -5\notherport= +7\n", -5, 7},
        ConfigCase{"NotValidated", "port= 70000\notherport= 99999999\n", 70000, 99999999},
        ConfigCase{"KeysSwapped", "otherport= 1\nport= 2\n", 0, 1},
        ConfigCase{"SpaceBeforeEquals", "port = 1\notherport= 2\n", 0, 0},
        ConfigCase{"PortNotANumber", "port= abc\notherport= 2\n", 0, 0},
        ConfigCase{"CommentBetween", "port= 1\n# transmit\notherport= 2\n", 1, 0},
        ConfigCase{"UpperCase", "PORT= 1\nOTHERPORT= 2\n", 0, 0},
        ConfigCase{"LeadingBlankLine", "\nport= 1\notherport= 2\n", 0, 0},
        ConfigCase{"LeadingSpace", " port= 1\notherport= 2\n", 0, 0},
        ConfigCase{"ByteOrderMark", "\xEF\xBB\xBFport= 1\notherport= 2\n", 0, 0},
        ConfigCase{"OnlyPort", "port= 9\n", 9, 0}, ConfigCase{"Empty", "", 0, 0},
        ConfigCase{"TrailingTextIgnored", "port= 1\notherport= 2\nport= 3\n", 1, 2}),
    [](const testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(ConfigFile, MissingFileIsReportedAndLeavesThePorts) {
    const ScratchFolder folder;
    std::int32_t port = 11;
    std::int32_t otherPort = 12;
    EXPECT_FALSE(ReadServerConfig("svrcfg.ini", port, otherPort));
    EXPECT_EQ(port, 11);
    EXPECT_EQ(otherPort, 12);
}

// Start-up without svrcfg.ini: one line naming the file and its keys, then status 1.
TEST(ConfigFileDeathTest, StartUpWithoutTheFileExitsWithStatusOne) {
    const ScratchFolder folder;
    fake::Reset();
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            StartServer();
        },
        testing::ExitedWithCode(1),
        "^Cannot open svrcfg.ini: .*\"port= <listening port>\".*\"otherport= <transmitting "
        "port>\"\n$");
}

// Start-up over the fake platform in a scratch folder, both ports unset.
class StartUpTest : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        listenPort = 0;
        transmitPort = 0;
    }
    const ScratchFolder folder_;
};

TEST_F(StartUpTest, BindsTheListenPortStartsTheDumpAndPrintsThePorts) {
    WriteFile("svrcfg.ini", "port= 27015\notherport= 27016\n");
    const std::string console = CaptureOutput(StartServer);
    EXPECT_EQ(console, "Transmitting port: 27016 | Listening on 27015\n");
    EXPECT_EQ(listenPort, 27015);
    EXPECT_EQ(transmitPort, 27016);
    EXPECT_EQ(listenEndpoint.address.port, HostToNetwork16(27015));
    EXPECT_EQ(listenEndpoint.address.address, ANY_ADDRESS);
    EXPECT_EQ(fake::state.timerStarts, 1);
    EXPECT_EQ(fake::state.timerPeriod, SCORE_DUMP_INTERVAL_MS);
    EXPECT_EQ(fake::state.timerRoutine, &DumpScores);
}

// A missing key leaves its port at 0. With no listening port the system picks one; with no
// transmitting port nothing could ever be sent, so start-up ends with one line and status 1.
TEST_F(StartUpTest, MissingListeningKeyGivesPortZero) {
    WriteFile("svrcfg.ini", "otherport= 1\n");
    EXPECT_EQ(CaptureOutput(StartServer), "Transmitting port: 1 | Listening on 0\n");
}

using StartUpDeathTest = StartUpTest;

TEST_F(StartUpDeathTest, MissingTransmittingKeyEndsStartUp) {
    WriteFile("svrcfg.ini", "PORT= 1\n");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            StartServer();
        },
        testing::ExitedWithCode(1),
        "^svrcfg.ini gives no transmitting port: it must hold the lines \"port= <listening "
        "port>\" and \"otherport= <transmitting port>\"\n$");
}

}  // namespace
