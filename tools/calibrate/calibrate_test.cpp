// dottrack-calibrate run as a user runs it: on a video of a known lens, written by
// dottrack-sample, it writes that lens; on a video it cannot calibrate from it says why in
// one line, exits with status 1 (2 for a wrong command line) and leaves no file.

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack {
namespace {

class CalibrateProgram : public test::ScratchDirTest {
protected:
    // Writes, with dottrack-sample, `views` views of a 6 x 4 circle grid through a strong
    // barrel lens on small frames, each held for two frames.
    testing::AssertionResult writeTargetVideo(const std::string& name, int views) {
        e2e::Launch launch;
        launch.program = DOTTRACK_SAMPLE_EXE;
        const std::string viewCount = std::to_string(views);
        launch.arguments = {name, "--target", "circles", "--grid", "6x4", "--size", "640x360"};
        launch.arguments.insert(launch.arguments.end(),
                                {"--focal", "500", "--k1", "-0.28", "--views", viewCount});
        launch.workingDirectory = dir_;
        launch.stderrPath = path("sample-errors.txt");
        if (e2e::RunningProgram(launch).waitForExit(std::chrono::minutes(1)) != 0) {
            return testing::AssertionFailure() << e2e::readText(launch.stderrPath);
        }
        std::filesystem::remove(launch.stderrPath);
        return testing::AssertionSuccess();
    }

    // Runs the program in the scratch folder; returns its exit status, output and errors.
    e2e::ProgramOutcome run(const std::vector<std::string>& arguments) {
        return e2e::runToEnd(DOTTRACK_CALIBRATE_EXE, arguments, dir_, std::chrono::minutes(1));
    }
};

TEST_F(CalibrateProgram, WritesTheLensOfAVideoAndRefusesWhatItCannotCalibrate) {
    ASSERT_TRUE(writeTargetVideo("calib.avi", 8));
    ASSERT_TRUE(writeTargetVideo("few.avi", minCalibrationViews - 1));
    ASSERT_TRUE(test::writeIndexedVideo(path("blank.avi"), 10, cv::Size(640, 360)));

    const auto [status, out, err] = run({"calib.avi", "--pattern", "circles", "--grid", "6x4",
                                         "--spacing", "20", "--out", "camera.yml"});
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_NE(out.find("views: 8 of 16 frames"), std::string::npos) << out;
    CameraModel camera;
    ASSERT_EQ(readCameraFile(path("camera.yml"), camera), "");
    EXPECT_NEAR(camera.matrix(0, 0), 500, 2.5);
    EXPECT_NEAR(camera.distortion[0], -0.28, 0.01);
    std::filesystem::remove(path("camera.yml"));

    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"blank.avi", "--grid", "6x4"}, 1},  // no pattern at all
        {{"calib.avi", "--grid", "5x3"}, 1},  // part of the pattern: more points than asked
        {{"calib.avi", "--grid", "7x4"}, 1},  // more than the pattern has
        {{"calib.avi", "--grid", "6x4", "--pattern", "acircles"}, 1},
        {{"few.avi", "--grid", "6x4"}, 1},
        {{"calib.avi", "--grid", "6x4", "--out", "missing/camera.yml"}, 1},
        {{"none.avi", "--grid", "6x4"}, 1},
        {{"calib.avi", "--grid", "6by4"}, 2},
        {{"calib.avi", "--grid", "6x4", "--pattern", "squares"}, 2},
        {{"calib.avi", "--grid", "6x4", "--out", "./calib.avi"}, 2},
        {{"--help"}, 0},
    };
    const auto fileCount = [this] {
        return std::distance(std::filesystem::directory_iterator(dir_), {});
    };
    const auto before = fileCount();
    for (auto [arguments, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        // The options every case would otherwise repeat; the last of an option given twice
        // counts.
        arguments.insert(arguments.begin() + 1,
                         {"--pattern", "circles", "--spacing", "20", "--out", "camera.yml"});
        const auto [status, out, err] = run(arguments);
        EXPECT_EQ(status, expected);
        if (expected == 0) {
            EXPECT_NE(out.find("Usage: dottrack-calibrate"), std::string::npos) << out;
        } else {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_EQ(err.rfind("dottrack-calibrate: ", 0), 0u) << err;
        }
        EXPECT_EQ(fileCount(), before);
    }
}

}  // namespace
}  // namespace dottrack
