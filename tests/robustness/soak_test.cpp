// A long run of the real tool over a short video: thousands of passes and rewinds must
// neither grow its memory nor bring anything but timing lines to standard error.

#include <cstdlib>
#include <fstream>
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

// A 60-frame video is rewound every 30 passes. After 100 passes buffers, caches and
// windows have reached their size; growth from there of 1 MiB counts as a leak. The waits
// are bounded well below the test's ctest timeout.
constexpr int videoFrames = 60;
constexpr int settlePasses = 100;
constexpr long allowedGrowthKib = 1024;
constexpr milliseconds startTimeout(60000);
constexpr milliseconds soakTimeout(480000);
constexpr milliseconds exitTimeout(30000);

// Resident memory of a running process in KiB (VmRSS), or -1 when it cannot be read.
long residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

class ToolSoak : public test::ScratchDirTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(requireDisplay());
        if (!IsSkipped()) {
            ScratchDirTest::SetUp();
        }
    }
};

TEST_F(ToolSoak, ThousandsOfPassesAndRewindsKeepMemoryFlat) {
    const std::string errors = path("stderr.txt");
    ASSERT_TRUE(writeSampleVideo(path("test.avi"), videoFrames));
    RunningProgram tool(toolLaunch(dir_));
    const std::string window = waitForWindow(tool, "check", startTimeout);
    ASSERT_FALSE(window.empty()) << "no window named check; " << readText(errors);
    auto waitForPasses = [&](int passes, milliseconds timeout) {
        waitUntil(
            [&]() {
                return readLines(errors).size() >= static_cast<size_t>(passes) || !tool.isRunning();
            },
            timeout);
        return residentKib(tool.pid());
    };
    const long settledKib = waitForPasses(settlePasses, startTimeout);
    const long finalKib = waitForPasses(soakPasses, soakTimeout);
    const int status = pressKeyUntilExit(tool, window, milliseconds(5000), exitTimeout);

    const std::vector<std::string> lines = readLines(errors);
    std::cout << "soak: " << lines.size() << " passes; resident " << settledKib << " KiB after "
              << settlePasses << " passes, " << finalKib << " KiB at the end\n";
    EXPECT_EQ(status, 0) << readText(errors).substr(0, 2000);
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
