// The server's console output: its log, one line a message.
//
// Two threads print (the main loop and the score dump), and the dump reads the score table that
// the main loop changes. One lock guards both the console and the score table, so that lines
// never mix and a dump always sees a consistent table.
#pragma once

#include <mutex>

extern std::mutex serverLock;

// Prints a formatted message and makes it reach standard output before returning. Takes
// serverLock for the duration.
[[gnu::format(printf, 1, 2)]] void Print(const char* format, ...);

// As Print, for a caller that already holds serverLock.
[[gnu::format(printf, 1, 2)]] void PrintLocked(const char* format, ...);
