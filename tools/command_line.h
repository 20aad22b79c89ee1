#pragma once
// What the command-line programs share when they read their arguments.

#include <cstdint>
#include <string>

namespace dottrack {

// A wrong command line: the program says so in one line and exits with status 2.
struct UsageError {
    std::string message;
};

// A run that cannot go on: the program says so in one line and exits with status 1.
struct RunError {
    std::string message;
};

// Reads the whole number given to `option`, which must lie in [lowest, highest];
// anything else throws UsageError naming the option and the range.
std::uint64_t parseWholeNumber(const std::string& option, const std::string& text,
                               std::uint64_t lowest, std::uint64_t highest);

}  // namespace dottrack
