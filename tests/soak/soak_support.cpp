#include "soak_support.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace soak {

std::uint8_t KilledBy(int killer) {
    return static_cast<std::uint8_t>(0x02 | killer << 2);
}

std::set<int> DescriptorNumbers(pid_t pid) {
    const std::filesystem::path folder = "/proc/" + std::to_string(pid) + "/fd";
    std::set<int> numbers;
    std::error_code error;
    for (auto entry = std::filesystem::directory_iterator(folder, error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        numbers.insert(std::stoi(entry->path().filename().string()));
    }
    return numbers;
}

int OpenDescriptors(pid_t pid) {
    return static_cast<int>(DescriptorNumbers(pid).size());
}

long ResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

namespace {

std::uint32_t Get32(const std::string& image, std::size_t offset) {
    std::uint32_t value = 0;
    for (int index = 3; index >= 0; --index) {
        value = value << 8 | static_cast<std::uint8_t>(image[offset + index]);
    }
    return value;
}

}  // namespace

std::optional<Scores> ReadScores(const std::string& image) {
    if (image.size() != 804) {
        return std::nullopt;
    }
    const std::uint32_t count = Get32(image, 0);
    if (count > 100 || image.find_first_not_of('\0', 4 + 8 * count) != std::string::npos) {
        return std::nullopt;
    }
    Scores scores;
    for (std::uint32_t position = 0; position < count; ++position) {
        const std::size_t offset = 4 + 8 * position;
        const std::uint32_t counts = Get32(image, offset + 4);
        if (!scores.emplace(Get32(image, offset), Score{counts & 0xFFFF, counts >> 16}).second) {
            return std::nullopt;  // an address twice
        }
    }
    return scores;
}

std::string ScoresImage(const std::vector<std::pair<std::uint32_t, Score>>& records) {
    std::string image(804, '\0');
    auto put = [&](std::size_t offset, std::uint32_t value, int bytes) {
        for (int index = 0; index < bytes; ++index) {
            image[offset + index] = static_cast<char>(value >> (8 * index));
        }
    };
    put(0, static_cast<std::uint32_t>(records.size()), 4);
    for (std::size_t position = 0; position < records.size(); ++position) {
        put(4 + 8 * position, records[position].first, 4);
        put(8 + 8 * position, records[position].second.kills, 2);
        put(10 + 8 * position, records[position].second.deaths, 2);
    }
    return image;
}

std::string EnterPrivateMounts() {
    static const std::string failure = []() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("cannot make a mount namespace: ") + std::strerror(errno);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make the mounts private: ") + std::strerror(errno);
        }
        return {};
    }();
    return failure;
}

Mount::Mount(const std::filesystem::path& folder, long sizeBytes) : folder_(folder) {
    failure_ = EnterPrivateMounts();
    if (!failure_.empty()) {
        return;
    }
    const std::string path = folder.string();
    const bool mounted = sizeBytes > 0
                             ? mount("tmpfs", path.c_str(), "tmpfs", 0,
                                     ("size=" + std::to_string(sizeBytes)).c_str()) == 0
                             : mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                                   mount(nullptr, path.c_str(), nullptr,
                                         MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    if (!mounted) {
        failure_ = std::string("cannot mount over ") + path + ": " + std::strerror(errno);
        umount2(path.c_str(), MNT_DETACH);
    }
}

Mount::~Mount() {
    if (failure_.empty()) {
        umount2(folder_.string().c_str(), MNT_DETACH);
    }
}

}  // namespace soak
