#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "app/one_line.h"

namespace dottrack {
namespace {

TEST(OneLine, OpenCvErrorsBecomeOneLine) {
    try {
        CV_Error(cv::Error::StsBadArg, "a bad argument");
    } catch (const cv::Exception& error) {
        const std::string line = oneLine(error.what());
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_NE(line.find("a bad argument"), std::string::npos) << line;
        EXPECT_NE(line.back(), ' ');
    }
    EXPECT_EQ(oneLine("first\r\nsecond\n\n"), "first  second");
    EXPECT_EQ(oneLine("\n"), "");
}

}  // namespace
}  // namespace dottrack
