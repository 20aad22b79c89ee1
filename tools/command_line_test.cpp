#include <gtest/gtest.h>

#include "tools/command_line.h"

namespace dottrack {
namespace {

TEST(ParseWholeNumber, AcceptsOnlyDigitsWithinTheRange) {
    EXPECT_EQ(parseWholeNumber("--passes", "1", 1, 10), 1u);
    EXPECT_EQ(parseWholeNumber("--passes", "10", 1, 10), 10u);
    EXPECT_EQ(parseWholeNumber("--seed", "18446744073709551615", 0, UINT64_MAX), UINT64_MAX);
    for (const char* bad : {"0", "11", "", "-1", "+3", "3x", " 3", "2.5", "18446744073709551616"}) {
        EXPECT_THROW(parseWholeNumber("--passes", bad, 1, 10), UsageError) << "'" << bad << "'";
    }
    try {
        parseWholeNumber("--passes", "abc", 1, 10);
    } catch (const UsageError& error) {
        EXPECT_EQ(error.message, "--passes expects a whole number from 1 to 10, got 'abc'");
    }
}

}  // namespace
}  // namespace dottrack
