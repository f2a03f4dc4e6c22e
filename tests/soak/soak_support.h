// Pieces shared by the fault and soak tests: the server process's descriptors and memory, the
// scores file as a table of counts, and folders mounted for a test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server_process.h"

namespace soak {

// Player addresses 127.0.0.2 and up.
inline constexpr int FIRST_PLAYER_OCTET = 2;

std::uint8_t KilledBy(int killer);

// The descriptors the process has open (their numbers), how many, and its resident memory in
// kB.
std::set<int> DescriptorNumbers(pid_t pid);
int OpenDescriptors(pid_t pid);
long ResidentKilobytes(pid_t pid);

// Kills and deaths of one address.
struct Score {
    std::uint32_t kills = 0;
    std::uint32_t deaths = 0;
    bool operator==(const Score&) const = default;
};
using Scores = std::map<std::uint32_t, Score>;

// The records in use of a scores.bin image; an image that is not 804 bytes, or that holds
// anything beyond its records in use, gives nothing.
std::optional<Scores> ReadScores(const std::string& image);

// A scores.bin image holding records in the given order.
std::string ScoresImage(const std::vector<std::pair<std::uint32_t, Score>>& records);

// An IPv4 address a.b.c.d as the server holds it (first octet in the lowest byte).
constexpr std::uint32_t Address(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
           static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

// Mounts are made in a mount namespace of the test's own, so nothing that it mounts is seen
// outside it and nothing is left behind if it dies. Empty when it can enter one; else why not.
std::string EnterPrivateMounts();

// A mount over a folder, undone when it goes (the servers in the folder must be gone first).
class Mount {
public:
    // A tmpfs of the given size; or, with size 0, the folder itself again, read-only.
    Mount(const std::filesystem::path& folder, long sizeBytes);
    ~Mount();
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    // Empty when the mount was made, else the reason it was not.
    const std::string& Failure() const { return failure_; }

private:
    std::filesystem::path folder_;
    std::string failure_;
};

}  // namespace soak
