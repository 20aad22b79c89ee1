// A long run of the real tool over a short video: thousands of passes and rewinds must
// neither grow its memory nor bring anything but timing lines to standard error.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack::e2e {
namespace {

// The sanitizers make every pass much slower and their own bookkeeping makes the resident
// size meaningless: fewer passes there, and no memory bound.
#ifdef DOTTRACK_SANITIZED
constexpr int soakPasses = 1000;
constexpr bool checkMemory = false;
#else
constexpr int soakPasses = 5000;
constexpr bool checkMemory = true;
#endif

// A video this short is rewound every 30 passes.
constexpr int videoFrames = 60;
// Passes after which buffers, caches and windows have reached their size.
constexpr int settlePasses = 100;
// Growth of the resident size from the settled run to the end that counts as a leak.
constexpr long allowedGrowthKib = 1024;

// Bounds on the waits, all together well below the test's ctest timeout.
constexpr milliseconds windowTimeout(60000);
constexpr milliseconds settleTimeout(60000);
constexpr milliseconds soakTimeout(480000);
constexpr milliseconds keyTimeout(5000);
constexpr milliseconds exitTimeout(30000);

class ToolSoak : public testing::Test {
protected:
    void SetUp() override {
        if (!haveDisplay()) {
            GTEST_SKIP() << "DISPLAY is not set: run the soak test through scripts/test.sh, "
                            "which provides a virtual display";
        }
        ASSERT_TRUE(holdDisplayOpen())
            << "the X display " << std::getenv("DISPLAY") << " does not answer";
        dir_ = test::makeTempDir("dottrack-soak");
    }
    void TearDown() override {
        if (!dir_.empty()) {
            test::removeTree(dir_);
        }
    }

    std::string dir_;
};

TEST_F(ToolSoak, ThousandsOfPassesAndRewindsKeepMemoryFlat) {
    const std::string errors = dir_ + "/stderr.txt";
    ASSERT_TRUE(writeSampleVideo(dir_ + "/test.avi", videoFrames));

    const auto start = std::chrono::steady_clock::now();
    RunningProgram tool = startProgram(toolLaunch(dir_));
    const std::string window = waitForWindow(tool, "check", windowTimeout);
    auto waitForPasses = [&](int passes, milliseconds timeout) {
        waitUntil([&]() { return countLines(errors) >= passes || !isRunning(tool); }, timeout);
    };
    waitForPasses(settlePasses, settleTimeout);
    const long settledKib = residentKib(tool.pid);
    waitForPasses(soakPasses, soakTimeout);
    const long finalKib = residentKib(tool.pid);
    const Outcome outcome = window.empty()
                                ? waitForExit(tool, exitTimeout)
                                : pressKeyUntilExit(tool, window, keyTimeout, exitTimeout);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::vector<std::string> lines = readLines(errors);
    std::cout << "soak: " << lines.size() << " passes in " << seconds << " s; resident "
              << settledKib << " KiB after " << settlePasses << " passes, " << finalKib
              << " KiB at the end\n";
    EXPECT_FALSE(window.empty()) << "no window named check";
    EXPECT_TRUE(outcome.finished && outcome.exited && outcome.status == 0)
        << describeOutcome(outcome) << "; " << readText(errors).substr(0, 2000);
    EXPECT_GE(lines.size(), static_cast<size_t>(soakPasses));
    EXPECT_TRUE(holdsOnlyTimingLines(lines));
    if (checkMemory) {
        EXPECT_GT(settledKib, 0);
        EXPECT_GT(finalKib, 0);
        EXPECT_LT(std::labs(finalKib - settledKib), allowedGrowthKib);
    }
}

}  // namespace
}  // namespace dottrack::e2e
