// The command line of nightcomet-sim.
#pragma once

#include <span>
#include <string>

#include "sim_engine.h"

struct SimOptions {
    SimConfig config;
    double durationSeconds = 10;
    bool quiet = false;  // no live status line, even on a terminal
    bool help = false;
};

// Reads the arguments after the program name into options. Returns "" when they are good,
// otherwise one line that says what is wrong.
std::string ParseSimOptions(std::span<const char* const> arguments, SimOptions& options);

// The --help text.
extern const char* const SIM_USAGE;
