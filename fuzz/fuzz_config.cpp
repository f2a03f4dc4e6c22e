// Fuzzes the reading of svrcfg.ini: ReadServerConfig on a file holding the input, checked against
// the harness's own reading of the two scanf patterns "port= %d\n" and "otherport= %d\n", and
// for the file being closed again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "main/server.h"

namespace {

// A value no input can set: ten digits, where the harness only predicts values of up to nine.
constexpr std::int32_t UNSET = 0x5A5A5A5A;

// The input as a scanf stream: a position that the directives move on.
struct Scan {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;

    bool At(char c) const { return position < size && data[position] == c; }
    bool Space() const {
        return position < size &&
               (data[position] == ' ' || (data[position] >= '\t' && data[position] <= '\r'));
    }
    bool Digit() const { return position < size && data[position] >= '0' && data[position] <= '9'; }
};

enum class Outcome { SET, UNCHANGED, UNKNOWN };

// One pattern "<key>= %d\n". A character of the key that does not match stays unread. The
// number is predicted for up to nine digits; a longer one, or a sign without digits, gives
// UNKNOWN (scanf's behaviour there is the C library's own).
Outcome ReadPattern(Scan& scan, const char* key, std::int32_t& value) {
    for (const char* c = key; *c != '\0'; ++c) {
        if (!scan.At(*c)) {
            return Outcome::UNCHANGED;
        }
        ++scan.position;
    }
    while (scan.Space()) {
        ++scan.position;
    }
    bool negative = false;
    bool sign = false;
    if (scan.At('+') || scan.At('-')) {
        negative = scan.At('-');
        sign = true;
        ++scan.position;
    }
    std::int64_t number = 0;
    int digits = 0;
    while (scan.Digit()) {
        if (digits < 9) {
            number = number * 10 + (scan.data[scan.position] - '0');
        }
        ++digits;
        ++scan.position;
    }
    if (digits == 0) {
        return sign ? Outcome::UNKNOWN : Outcome::UNCHANGED;
    }
    if (digits > 9) {
        return Outcome::UNKNOWN;
    }
    value = static_cast<std::int32_t>(negative ? -number : number);
    while (scan.Space()) {
        ++scan.position;
    }
    return Outcome::SET;
}

// The lowest free descriptor: the same before and after a read that closes what it opened.
int LowestFreeDescriptor() {
    std::FILE* probe = std::fopen("/dev/null", "r");
    Require(probe != nullptr, "/dev/null opens");
    const int descriptor = fileno(probe);
    std::fclose(probe);
    return descriptor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EnterScratchFolder();
    fake::Reset();

    std::FILE* file = std::fopen(CONFIG_FILE, "wb");
    Require(file != nullptr, "the configuration file can be written");
    Require(std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0,
            "the configuration file is written");

    const int descriptor = LowestFreeDescriptor();
    std::int32_t port = UNSET;
    std::int32_t otherPort = UNSET;
    Require(ReadServerConfig(CONFIG_FILE, port, otherPort), "an existing file is read");
    Require(LowestFreeDescriptor() == descriptor, "the file is closed again");

    Scan scan{data, size};
    std::int32_t expectedPort = UNSET;
    std::int32_t expectedOtherPort = UNSET;
    const Outcome first = ReadPattern(scan, "port=", expectedPort);
    if (first != Outcome::UNKNOWN) {
        Require(port == expectedPort, "port as the pattern \"port= %d\" reads it");
        if (ReadPattern(scan, "otherport=", expectedOtherPort) != Outcome::UNKNOWN) {
            Require(otherPort == expectedOtherPort,
                    "otherport as the pattern \"otherport= %d\" reads it, where port= ended");
        }
    }
    if (size < 5 || std::string(data, data + 5) != "port=") {
        Require(port == UNSET, "no port unless the file begins with port=");
    }

    // A missing file is reported and changes nothing.
    std::remove(CONFIG_FILE);
    std::int32_t untouched = UNSET;
    Require(!ReadServerConfig(CONFIG_FILE, untouched, untouched) && untouched == UNSET,
            "a missing file is reported and sets nothing");
    return 0;
}
