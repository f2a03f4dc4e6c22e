// The entry point of a harness built without libFuzzer: feeds each file named on the command
// line, and each file of each folder named there, to LLVMFuzzerTestOneInput, and fails when a
// path cannot be read. A harness that finds a fault aborts, which fails the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // All paths are made absolute first: a harness may change the current folder.
    std::vector<std::filesystem::path> inputs;
    for (int index = 1; index < argc; ++index) {
        const std::filesystem::path path = std::filesystem::absolute(argv[index]);
        if (std::filesystem::is_directory(path)) {
            // In name order, so that a run is the same on every machine.
            std::set<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    files.insert(entry.path());
                }
            }
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.push_back(path);
        }
    }
    bool readable = true;
    for (const std::filesystem::path& input : inputs) {
        readable = Replay(input) && readable;
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return readable && !inputs.empty() ? 0 : 1;
}
