// The one wrapper every program's body runs in: whatever fails, one line naming the program
// and the status the programs document.

#include <csignal>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "cli/cli.h"

namespace dottrack {
namespace {

// The status of `body` run as program "p", and what it wrote on standard error.
std::pair<int, std::string> runCaptured(const std::function<int()>& body) {
    testing::internal::CaptureStderr();
    const int status = runProgram("p", body);
    return {status, testing::internal::GetCapturedStderr()};
}

TEST(RunProgram, EveryFailureBecomesOneLineAndItsStatus) {
    using Result = std::pair<int, std::string>;
    EXPECT_EQ(runCaptured([] { return 3; }), Result(3, ""));
    EXPECT_EQ(runCaptured([]() -> int { throw RunError{"cannot open a.avi\n"}; }),
              Result(1, "p: cannot open a.avi\n"));
    EXPECT_EQ(runCaptured([]() -> int { throw std::bad_alloc(); }),
              Result(1, "p: out of memory\n"));
    EXPECT_EQ(runCaptured([]() -> int { throw 7; }), Result(1, "p: unexpected failure\n"));
    const auto [status, text] =
        runCaptured([]() -> int { CV_Error(cv::Error::StsBadArg, "two\nlines"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(text.rfind("p: OpenCV error: ", 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

// Caught, an interrupt only asks the run to stop; the run's Interrupted then exits as a
// shell reports the signal.
TEST(RunProgram, AnInterruptEndsTheRunWithTheSignalsStatus) {
    catchInterrupts();
    ASSERT_EQ(interruptingSignal(), 0);
    std::raise(SIGINT);
    EXPECT_EQ(interruptingSignal(), SIGINT);
    EXPECT_EQ(runCaptured([]() -> int { throw Interrupted{}; }),
              std::make_pair(128 + SIGINT, std::string("p: interrupted\n")));
}

}  // namespace
}  // namespace dottrack
