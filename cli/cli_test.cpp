// The one wrapper every program's body runs in: whatever fails, one line naming the program
// and the status the programs document; an interrupt only asks the run to stop, and the
// run's Interrupted then exits as a shell reports the signal.

#include <csignal>
#include <new>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "cli/cli.h"

namespace dottrack {
namespace {

using Result = std::pair<int, std::string>;

// The status of `body` run as program "p", and what it wrote on standard error.
Result runCaptured(const std::function<int()>& body) {
    testing::internal::CaptureStderr();
    const int status = runProgram("p", body);
    return {status, testing::internal::GetCapturedStderr()};
}

TEST(RunProgram, EveryFailureBecomesOneLineAndItsStatus) {
    EXPECT_EQ(runCaptured([]() -> int { throw RunError{"no such file\n"}; }),
              Result(1, "p: no such file\n"));
    EXPECT_EQ(runCaptured([]() -> int { throw std::bad_alloc(); }),
              Result(1, "p: out of memory\n"));
    const Result opencv = runCaptured([]() -> int { CV_Error(cv::Error::StsBadArg, "a\nb"); });
    EXPECT_EQ(opencv.second.rfind("p: OpenCV error: ", 0), 0u) << opencv.second;
    EXPECT_EQ(opencv.second.find('\n'), opencv.second.size() - 1) << opencv.second;
    catchInterrupts();
    std::raise(SIGINT);
    EXPECT_EQ(interruptingSignal(), SIGINT);
    EXPECT_EQ(runCaptured([]() -> int { throw Interrupted{}; }),
              Result(128 + SIGINT, "p: interrupted\n"));
}

}  // namespace
}  // namespace dottrack
