#include <cstddef>
#include <cstdio>

#include "scores_tool.h"

int main(int argc, char** argv) {
    // Everything after the program name; a start with no argv[0] at all has no arguments.
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(argc - 1) : 0;
    return RunScoresTool(std::span<const char* const>(argv + (argc > 0 ? 1 : 0), count), stdout,
                         stderr);
}
