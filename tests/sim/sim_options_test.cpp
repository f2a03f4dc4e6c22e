// The simulator's command line: what each option sets, and the errors for bad values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_options.h"

namespace {

std::string Parse(const std::vector<const char*>& arguments, SimOptions& options) {
    return ParseSimOptions(std::span<const char* const>(arguments.data(), arguments.size()),
                           options);
}

SimOptions ParseGood(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), {"--port", "5000", "--otherport", "5001"});
    SimOptions options;
    const std::string error = Parse(arguments, options);
    EXPECT_EQ(error, "");
    return options;
}

TEST(SimOptions, DefaultsNeedOnlyThePorts) {
    const SimOptions options = ParseGood({});
    EXPECT_EQ(options.config.port, 5000);
    EXPECT_EQ(options.config.otherPort, 5001);
    EXPECT_EQ(options.config.serverAddress, Ipv4(127, 0, 0, 1));
    EXPECT_EQ(options.config.players, 8);
    EXPECT_EQ(options.config.rate, 60);
    EXPECT_EQ(options.durationSeconds, 10);
    EXPECT_EQ(options.config.killRate, 0);
    EXPECT_LT(options.config.silentAfterSeconds, 0);
    EXPECT_FALSE(options.config.sharedAddress);
    EXPECT_EQ(options.config.firstPlayerAddress, Ipv4(127, 0, 0, 2));
    EXPECT_FALSE(options.quiet);
}

TEST(SimOptions, EachOptionSetsItsValueInBothSpellings) {
    struct Case {
        std::vector<const char*> arguments;
        bool (*check)(const SimOptions&);
    };
    const Case cases[] = {
        {{"--players", "3"}, [](const SimOptions& o) { return o.config.players == 3; }},
        {{"--players=32"}, [](const SimOptions& o) { return o.config.players == 32; }},
        {{"--rate", "2000"}, [](const SimOptions& o) { return o.config.rate == 2000; }},
        {{"--rate=0.5"}, [](const SimOptions& o) { return o.config.rate == 0.5; }},
        {{"--duration", "2.5"}, [](const SimOptions& o) { return o.durationSeconds == 2.5; }},
        {{"--kill-rate", "1.5"}, [](const SimOptions& o) { return o.config.killRate == 1.5; }},
        {{"--silent-after", "0"},
         [](const SimOptions& o) { return o.config.silentAfterSeconds == 0; }},
        {{"--silent-after=1", "--silent-for=4"},
         [](const SimOptions& o) {
             return o.config.silentAfterSeconds == 1 && o.config.silentForSeconds == 4;
         }},
        {{"--join-timeout", "250"},
         [](const SimOptions& o) { return o.config.joinTimeoutMs == 250; }},
        {{"--drain", "0"}, [](const SimOptions& o) { return o.config.drainMs == 0; }},
        {{"--server", "127.0.0.7"},
         [](const SimOptions& o) {
             return o.config.serverAddress == Ipv4(127, 0, 0, 7) && !o.config.sharedAddress;
         }},
        {{"--first-address", "127.1.0.10"},
         [](const SimOptions& o) { return o.config.firstPlayerAddress == Ipv4(127, 1, 0, 10); }},
        {{"--shared-address", "--bind", "127.0.0.3"},
         [](const SimOptions& o) {
             return o.config.sharedAddress && o.config.bindAddress == Ipv4(127, 0, 0, 3);
         }},
        {{"--quiet"}, [](const SimOptions& o) { return o.quiet; }},
        // A server elsewhere cannot answer loopback addresses: the players share one address.
        {{"--server", "192.168.1.20"},
         [](const SimOptions& o) {
             return o.config.sharedAddress && o.config.serverAddress == Ipv4(192, 168, 1, 20);
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.arguments[0]);
        EXPECT_TRUE(test.check(ParseGood(test.arguments)));
    }
}

TEST(SimOptions, HelpNeedsNothingElse) {
    SimOptions options;
    EXPECT_EQ(Parse({"--help"}, options), "");
    EXPECT_TRUE(options.help);
    EXPECT_NE(std::string(SIM_USAGE).find("--kill-rate"), std::string::npos);
}

TEST(SimOptions, BadArgumentsSayWhatIsWrong) {
    struct Case {
        std::vector<const char*> arguments;
        const char* error;  // a part of the message
    };
    const Case cases[] = {
        {{}, "--port and --otherport are needed"},
        {{"--port", "5000"}, "--port and --otherport are needed"},
        {{"--port", "0", "--otherport", "1"}, "--port: '0' is not a port number"},
        {{"--port", "65536", "--otherport", "1"}, "--port: '65536' is not a port number"},
        {{"--port", "50x", "--otherport", "1"}, "--port: '50x' is not"},
        {{"--port", "", "--otherport", "1"}, "--port: '' is not"},
        {{"--port"}, "--port needs a value"},
        {{"--players", "0"}, "--players: '0' is not a number of players from 1 to 32"},
        {{"--players", "33"}, "--players: '33'"},
        {{"--players", "2.5"}, "--players: '2.5'"},
        {{"--rate", "0"}, "--rate: '0' is not packets per second"},
        {{"--rate", "fast"}, "--rate: 'fast'"},
        {{"--rate", "nan"}, "--rate: 'nan'"},
        {{"--duration", "-1"}, "--duration: '-1'"},
        {{"--kill-rate", "-0.1"}, "--kill-rate: '-0.1'"},
        {{"--silent-for", "2"}, "--silent-for needs --silent-after"},
        {{"--server", "127.0.0"}, "--server: '127.0.0' is not an IPv4 address"},
        {{"--server", "127.0.0.256"}, "--server: '127.0.0.256'"},
        {{"--server", "127.0.0.1x"}, "--server: '127.0.0.1x'"},
        {{"--server", " 127.0.0.1"}, "--server: ' 127.0.0.1'"},
        {{"--first-address", "10.0.0.2"}, "is not a loopback address"},
        {{"--first-address", "127.255.255.250", "--players", "8"}, "run past 127.255.255.255"},
        {{"--shared-address", "--first-address", "127.0.0.5"}, "use --bind"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"--players=3", "--colour"}, "unknown option '--colour'"},
        {{"extra"}, "unexpected argument 'extra'"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.error);
        std::vector<const char*> arguments = test.arguments;
        // The ports, when a case does not test them, come after so that the case's own error
        // is the first one found.
        const bool testsPorts = !arguments.empty() && std::string(arguments[0]) == "--port";
        if (!testsPorts && !arguments.empty()) {
            arguments.insert(arguments.end(), {"--port", "5000", "--otherport", "5001"});
        }
        SimOptions options;
        EXPECT_NE(Parse(arguments, options).find(test.error), std::string::npos)
            << Parse(arguments, options);
    }
}

}  // namespace
