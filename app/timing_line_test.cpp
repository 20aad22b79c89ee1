#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "app/timing_line.h"

namespace dottrack {
namespace {

std::string lineFor(std::int64_t count, timeval start, timeval end) {
    std::ostringstream out;
    writeTimingLine(out, count, start, end);
    return out.str();
}

TEST(TimingLine, MillisecondsInTheStreamsDefaultFormat) {
    EXPECT_EQ(lineFor(0, {10, 0}, {10, 33000}), "count:0\t33ms\n");
    EXPECT_EQ(lineFor(7, {10, 990000}, {11, 2500}), "count:7\t12.5ms\n");
    EXPECT_EQ(lineFor(12, {0, 0}, {1, 234568}), "count:12\t1234.57ms\n");
    EXPECT_EQ(lineFor(3, {5, 0}, {5, 1}), "count:3\t0.001ms\n");
    EXPECT_EQ(lineFor(4, {5, 7}, {5, 7}), "count:4\t0ms\n");
    EXPECT_EQ(lineFor(3000000000LL, {0, 0}, {0, 2300}), "count:3000000000\t2.3ms\n");
}

TEST(TimingLine, ElapsedTimeAcrossSecondBoundaries) {
    EXPECT_EQ(elapsedMilliseconds({1, 999999}, {2, 0}), 0.001);
    EXPECT_EQ(elapsedMilliseconds({1700000000, 500000}, {1700000003, 250000}), 2750.0);
}

TEST(PassCount, CountsUpAndNeverWraps) {
    EXPECT_EQ(nextPassCount(0), 1);
    EXPECT_EQ(nextPassCount(2147483647), 2147483648LL) << "no 32-bit wrap";
    const std::int64_t last = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(nextPassCount(last - 1), last);
    EXPECT_EQ(nextPassCount(last), last);
}

}  // namespace
}  // namespace dottrack
