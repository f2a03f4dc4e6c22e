#include "console/console.h"

#include <cstdarg>
#include <cstdio>

std::mutex serverLock;

namespace {

void PrintArguments(const char* format, std::va_list arguments) {
    std::vfprintf(stdout, format, arguments);
    std::fflush(stdout);
}

}  // namespace

void Print(const char* format, ...) {
    const std::lock_guard<std::mutex> hold(serverLock);
    std::va_list arguments;
    va_start(arguments, format);
    PrintArguments(format, arguments);
    va_end(arguments);
}

void PrintLocked(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    PrintArguments(format, arguments);
    va_end(arguments);
}
