#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

const char* const SIM_USAGE =
    "Usage: nightcomet-sim --port PORT --otherport PORT [options]\n"
    "\n"
    "Plays simulated players against a Nightcomet II server, to see that it works before real\n"
    "players come: each player joins, sends 16-byte state packets and counts the relays that\n"
    "come back, with their latency. PORT and otherport are the two ports of the server's\n"
    "svrcfg.ini (\"port=\" and \"otherport=\").\n"
    "\n"
    "Options:\n"
    "  --server ADDRESS      the server's IPv4 address (default 127.0.0.1)\n"
    "  --port PORT           the port the server listens on (its \"port\")\n"
    "  --otherport PORT      the port the server sends to (its \"otherport\")\n"
    "  --players N           simulated players, 1 to 32 (default 8; the server has 8 slots,\n"
    "                        so players beyond the eighth get no reply)\n"
    "  --rate N              state packets per second per player (default 60)\n"
    "  --duration SECONDS    how long the players send (default 10)\n"
    "  --kill-rate N         kill reports per second over all players (default 0)\n"
    "  --silent-after SECONDS  the last player stops sending after this long, so that the\n"
    "                        server drops it (after 3 s of silence)\n"
    "  --silent-for SECONDS  how long it stays silent (default: for good); after more than\n"
    "                        3 s it joins again\n"
    "  --join-timeout MS     how long each join waits for its reply (default 2000)\n"
    "  --drain MS            how long relays are awaited after the last send (default 500)\n"
    "  --first-address ADDRESS  the first player's loopback address (default 127.0.0.2)\n"
    "  --shared-address      all players on one address, as against a server elsewhere\n"
    "  --bind ADDRESS        the local address for --shared-address (default: any)\n"
    "  --quiet               no live status line\n"
    "  --help                this text\n"
    "\n"
    "Against a server on this machine (127.x.x.x) player n sends from and receives on its own\n"
    "address, 127.0.0.2 plus n, at the otherport. Against a server elsewhere all players share\n"
    "one address and one socket at the otherport: the server then matches every state packet\n"
    "to the lowest slot of that address, drops the others after 3 s, and sends each relay once\n"
    "per slot the address holds, so relays are counted once for the address as a whole.\n"
    "\n"
    "Exit status: 0 when relays came back, 1 when nothing did, 2 for a usage error.\n";

namespace {

bool ParseNumber(const char* text, double& value) {
    if (*text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return *end == '\0' && errno == 0 && std::isfinite(value);
}

bool ParseInteger(const char* text, long& value) {
    if (*text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0;
}

std::string Quoted(const char* text) {
    return std::string("'") + text + "'";
}

// Every option that takes a value: its name, what the value is, and where it goes.
enum class ValueKind { PORT, INTEGER, NUMBER, ADDRESS };

struct ValueOption {
    const char* name;
    ValueKind kind;
    double lowest;
    double highest;
    const char* meaning;
};

constexpr ValueOption VALUE_OPTIONS[] = {
    {"--server", ValueKind::ADDRESS, 0, 0, "an IPv4 address such as 127.0.0.1"},
    {"--port", ValueKind::PORT, 1, 65535, "a port number from 1 to 65535"},
    {"--otherport", ValueKind::PORT, 1, 65535, "a port number from 1 to 65535"},
    {"--players", ValueKind::INTEGER, 1, MAX_SIM_PLAYERS, "a number of players from 1 to 32"},
    {"--rate", ValueKind::NUMBER, 0.1, 100000, "packets per second, from 0.1 to 100000"},
    {"--duration", ValueKind::NUMBER, 0.1, 86400 * 7, "seconds, more than 0"},
    {"--kill-rate", ValueKind::NUMBER, 0, 100000, "kills per second, 0 or more"},
    {"--silent-after", ValueKind::NUMBER, 0, 86400 * 7, "seconds, 0 or more"},
    {"--silent-for", ValueKind::NUMBER, 0.001, 86400 * 7, "seconds, more than 0"},
    {"--join-timeout", ValueKind::INTEGER, 1, 600000, "milliseconds, from 1 to 600000"},
    {"--drain", ValueKind::INTEGER, 0, 600000, "milliseconds, from 0 to 600000"},
    {"--first-address", ValueKind::ADDRESS, 0, 0, "a loopback address such as 127.0.0.2"},
    {"--bind", ValueKind::ADDRESS, 0, 0, "a local IPv4 address, or 0.0.0.0 for any"},
};

void Store(SimOptions& options, const std::string& name, double number, std::uint32_t address) {
    SimConfig& config = options.config;
    const int integer = static_cast<int>(number);
    if (name == "--server") {
        config.serverAddress = address;
    } else if (name == "--port") {
        config.port = integer;
    } else if (name == "--otherport") {
        config.otherPort = integer;
    } else if (name == "--players") {
        config.players = integer;
    } else if (name == "--rate") {
        config.rate = number;
    } else if (name == "--duration") {
        options.durationSeconds = number;
    } else if (name == "--kill-rate") {
        config.killRate = number;
    } else if (name == "--silent-after") {
        config.silentAfterSeconds = number;
    } else if (name == "--silent-for") {
        config.silentForSeconds = number;
    } else if (name == "--join-timeout") {
        config.joinTimeoutMs = integer;
    } else if (name == "--drain") {
        config.drainMs = integer;
    } else if (name == "--first-address") {
        config.firstPlayerAddress = address;
    } else if (name == "--bind") {
        config.bindAddress = address;
    }
}

std::string ParseValue(const ValueOption& option, const char* text, SimOptions& options) {
    const std::string bad =
        std::string(option.name) + ": " + Quoted(text) + " is not " + option.meaning;
    double number = 0;
    std::uint32_t address = 0;
    if (option.kind == ValueKind::ADDRESS) {
        if (!ParseIpv4(text, address)) {
            return bad;
        }
    } else if (option.kind == ValueKind::NUMBER) {
        if (!ParseNumber(text, number)) {
            return bad;
        }
    } else {
        long integer = 0;
        if (!ParseInteger(text, integer)) {
            return bad;
        }
        number = static_cast<double>(integer);
    }
    if (option.kind != ValueKind::ADDRESS && (number < option.lowest || number > option.highest)) {
        return bad;
    }
    Store(options, option.name, number, address);
    return "";
}

}  // namespace

std::string ParseSimOptions(std::span<const char* const> arguments, SimOptions& options) {
    bool portGiven = false;
    bool otherPortGiven = false;
    bool silentForGiven = false;
    bool firstAddressGiven = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string name = arguments[index];
        const char* value = nullptr;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arguments[index] + equals + 1;
            name.resize(equals);
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            return "";
        }
        if (name == "--quiet" || name == "--shared-address") {
            if (value != nullptr) {
                return name + " takes no value";
            }
            (name == "--quiet" ? options.quiet : options.config.sharedAddress) = true;
            continue;
        }
        const ValueOption* option = nullptr;
        for (const ValueOption& candidate : VALUE_OPTIONS) {
            if (name == candidate.name) {
                option = &candidate;
            }
        }
        if (option == nullptr) {
            return name.rfind("-", 0) == 0 ? "unknown option " + Quoted(name.c_str())
                                           : "unexpected argument " + Quoted(name.c_str());
        }
        if (value == nullptr) {
            if (index + 1 == arguments.size()) {
                return name + " needs a value: " + option->meaning;
            }
            value = arguments[++index];
        }
        const std::string error = ParseValue(*option, value, options);
        if (!error.empty()) {
            return error;
        }
        portGiven |= name == "--port";
        otherPortGiven |= name == "--otherport";
        silentForGiven |= name == "--silent-for";
        firstAddressGiven |= name == "--first-address";
    }
    if (!portGiven || !otherPortGiven) {
        return "--port and --otherport are needed: the two ports of the server's svrcfg.ini";
    }
    if (silentForGiven && options.config.silentAfterSeconds < 0) {
        return "--silent-for needs --silent-after";
    }
    SimConfig& config = options.config;
    if (!IsLoopback(config.serverAddress)) {
        config.sharedAddress = true;  // the players' own loopback addresses cannot reach it
    }
    if (!config.sharedAddress && !IsLoopback(config.firstPlayerAddress)) {
        return "--first-address: " + FormatIpv4(config.firstPlayerAddress) +
               " is not a loopback address (127.x.x.x)";
    }
    if (!config.sharedAddress &&
        !IsLoopback(NextIpv4(config.firstPlayerAddress, config.players - 1))) {
        return "--players: " + std::to_string(config.players) + " players from " +
               FormatIpv4(config.firstPlayerAddress) + " run past 127.255.255.255";
    }
    if (firstAddressGiven && config.sharedAddress) {
        return "--first-address is for players on their own loopback addresses, not with "
               "--shared-address or a server elsewhere (use --bind)";
    }
    return "";
}
