#include "tools/command_line.h"

#include <cerrno>
#include <cstdlib>

namespace dottrack {

std::uint64_t parseWholeNumber(const std::string& option, const std::string& text,
                               std::uint64_t lowest, std::uint64_t highest) {
    const bool digitsOnly =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value = digitsOnly ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digitsOnly || errno == ERANGE || value < lowest || value > highest) {
        throw UsageError{option + " expects a whole number from " + std::to_string(lowest) +
                         " to " + std::to_string(highest) + ", got '" + text + "'"};
    }
    return value;
}

}  // namespace dottrack
