// What every fuzz harness needs besides the server: stopping at a broken promise, and a scratch
// folder of its own for the files it writes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

// Stops the run when a promise does not hold, naming it; libFuzzer keeps the input.
inline void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "violated: %s\n", what);
        __builtin_trap();
    }
}

// Makes a new folder under /tmp the current folder, once for the whole run.
inline void EnterScratchFolder() {
    static const bool entered = [] {
        char folder[] = "/tmp/nightcomet-fuzz-XXXXXX";
        return mkdtemp(folder) != nullptr && chdir(folder) == 0;
    }();
    Require(entered, "a scratch folder");
}
