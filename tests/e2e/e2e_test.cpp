// The real dottrack binary run as a person would: a folder holding test.avi, three windows
// on the X display, a key to end the run; checked by its exit status, its standard error
// and the files it leaves.

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack::e2e {
namespace {

// Bounds on what a user would wait for, generous enough for the sanitizer build.
constexpr milliseconds windowTimeout(30000);
constexpr milliseconds passesTimeout(60000);
constexpr milliseconds exitTimeout(30000);
// How long one key press gets to end the run before it is pressed again.
constexpr milliseconds keyTimeout(5000);

// Exit status of a run whose input does not open (the tool returns -1).
constexpr int unopenedStatus = 255;
// Exit status of a run that reports one line and gives up.
constexpr int failedStatus = 1;

// test::indexedFrame repeats its levels after this many frames.
constexpr int indexCycle = 64;

const cv::Size frameSize(640, 480);
const cv::Size largeFrameSize(800, 600);
const cv::Size smallFrameSize(320, 240);
const std::vector<std::string> snapshotNames = {"mix1.png", "mini.png", "mix.png", "check.png"};
const char* const toolWindows = "^(mix|check|mini)$";

// Whether the program ended through exit() with that status.
bool exitedWith(const Outcome& outcome, int status) {
    return outcome.finished && outcome.exited && outcome.status == status;
}

// Whether anything (file or folder) is at `path`.
bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

// An 8-bit image file of the given size and channel count.
testing::AssertionResult isImage(const std::string& path, cv::Size size, int channels) {
    const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.empty()) {
        return testing::AssertionFailure() << path << " cannot be read as an image";
    }
    if (image.size() != size || image.channels() != channels || image.depth() != CV_8U) {
        return testing::AssertionFailure()
               << path << " is " << image.cols << " x " << image.rows << " "
               << cv::typeToString(image.type()) << ", expected " << size.width << " x "
               << size.height << " with " << channels << " 8-bit channel(s)";
    }
    return testing::AssertionSuccess();
}

// The frame index that the top-left 640 x 480 of an image shows, for videos made of
// test::indexedFrame.
int shownFrameIndex(const std::string& path) {
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.cols < frameSize.width || image.rows < frameSize.height) {
        return -1;
    }
    return test::frameIndexOf(image(cv::Rect(cv::Point(0, 0), frameSize)));
}

// A video of test::indexedFrame frames of the given size.
void writeIndexedVideo(const std::string& path, int frames, cv::Size size) {
    ASSERT_TRUE(test::writeVideo(path, frames, size,
                                 [size](int i) { return test::indexedFrame(i, size); }));
}

class ToolRun : public testing::Test {
protected:
    void SetUp() override { dir_ = test::makeTempDir("dottrack-e2e"); }
    void TearDown() override {
        if (!dir_.empty()) {
            test::removeTree(dir_);
        }
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string errorText() const { return readText(path("stderr.txt")); }
    std::vector<std::string> errorLines() const { return readLines(path("stderr.txt")); }

    void expectNoSnapshots() const {
        for (const std::string& name : snapshotNames) {
            EXPECT_FALSE(exists(path(name))) << name << " was written";
        }
    }

    // Checks the four first-pass snapshots as a viewer would open them. The check view is
    // the whole frame, overlays and all.
    void expectSnapshots(cv::Size videoSize = frameSize) const {
        EXPECT_TRUE(isImage(path("mix1.png"), frameSize, 1));
        EXPECT_TRUE(isImage(path("mini.png"), cv::Size(80, 60), 1));
        EXPECT_TRUE(isImage(path("mix.png"), frameSize, 1));
        EXPECT_TRUE(isImage(path("check.png"), videoSize, 3));
    }

    // Waits for `passes` timing lines (or the tool's end), presses a key in its "check"
    // window and returns how the tool ended.
    Outcome endWithKey(RunningProgram& tool, int passes) {
        const std::string window = waitForWindow(tool, "check", windowTimeout);
        if (window.empty() && isRunning(tool)) {
            ADD_FAILURE() << "the tool runs but shows no window named check";
        }
        waitUntil([&]() { return countLines(path("stderr.txt")) >= passes || !isRunning(tool); },
                  passesTimeout);
        if (window.empty()) {
            return waitForExit(tool, exitTimeout);
        }
        return pressKeyUntilExit(tool, window, keyTimeout, exitTimeout);
    }

    // Runs the tool to its end without touching it.
    Outcome runUnattended(const Launch& launch) {
        RunningProgram tool = startProgram(launch);
        return waitForExit(tool, exitTimeout);
    }

    // The same, noting whether any of its windows showed up meanwhile.
    Outcome runWatchingWindows(const Launch& launch, bool& windowSeen) {
        RunningProgram tool = startProgram(launch);
        windowSeen = false;
        waitUntil(
            [&]() {
                windowSeen =
                    windowSeen || (haveDisplay() && !findWindows(tool.pid, toolWindows).empty());
                return !isRunning(tool);
            },
            exitTimeout);
        return waitForExit(tool, exitTimeout);
    }

    std::string dir_;
};

class ToolRunOnDisplay : public ToolRun {
protected:
    void SetUp() override {
        if (!haveDisplay()) {
            GTEST_SKIP() << "DISPLAY is not set: run the end-to-end tests through "
                            "scripts/test.sh, which provides a virtual display";
        }
        ASSERT_TRUE(holdDisplayOpen())
            << "the X display " << std::getenv("DISPLAY") << " does not answer";
        ToolRun::SetUp();
    }
};

// The check that every other case relies on: what it lets through and what it stops.
TEST(TimingLineCheck, AcceptsOnlyConsecutiveTimingLinesInTheStreamsFormat) {
    EXPECT_TRUE(holdsOnlyTimingLines({}));
    EXPECT_TRUE(holdsOnlyTimingLines({"count:0\t98.3ms", "count:1\t0ms", "count:2\t0.012345ms",
                                      "count:3\t1.23457e+06ms", "count:4\t1e-05ms"}));
    const std::vector<std::string> strays = {
        "count:0\t1.ms",       "count:0\t.5ms",
        "count:0 1ms",         "count:0\t1ms ",
        "count:0\t1e5ms",      "count:0\t-1ms",
        "count:0\t1.234567ms", "count:\t1ms",
        "Count:0\t1ms",        "qt.qpa.xcb: could not connect to display",
    };
    for (const std::string& stray : strays) {
        EXPECT_FALSE(holdsOnlyTimingLines({stray})) << stray;
    }
    EXPECT_FALSE(holdsOnlyTimingLines({"count:1\t1ms"}));
    EXPECT_FALSE(holdsOnlyTimingLines({"count:0\t1ms", "count:2\t1ms"}));
    EXPECT_FALSE(holdsOnlyTimingLines({"count:0\t1ms", "count:0\t1ms"}));
}

// A crash must read as a signal, never as an exit status, and a hung program must be ended.
TEST(ProgramRunner, ReportsSignalsAndEndsHungPrograms) {
    Launch aborting;
    aborting.program = "sh";
    aborting.arguments = {"-c", "kill -ABRT $$"};
    RunningProgram crashed = startProgram(aborting);
    const Outcome crash = waitForExit(crashed, exitTimeout);
    EXPECT_TRUE(crash.finished && !crash.exited && crash.signal == SIGABRT)
        << describeOutcome(crash);

    Launch hanging;
    hanging.program = "sleep";
    hanging.arguments = {"600"};
    RunningProgram hung = startProgram(hanging);
    const Outcome stopped = waitForExit(hung, milliseconds(200));
    EXPECT_FALSE(stopped.finished);
    EXPECT_NE(kill(hung.pid, 0), 0) << "the hung program is still there";

    Launch missing;
    missing.program = "/nonexistent/dottrack";
    EXPECT_THROW(startProgram(missing), std::runtime_error);
}

TEST_F(ToolRunOnDisplay, RunsTheSampleVideoUntilAKey) {
    ASSERT_TRUE(writeSampleVideo(path("test.avi"), 120));
    RunningProgram tool = startProgram(toolLaunch(dir_));
    for (const char* name : {"mix", "check", "mini"}) {
        EXPECT_FALSE(waitForWindow(tool, name, windowTimeout).empty())
            << "no window named " << name << "; standard error: " << errorText();
    }
    const Outcome outcome = endWithKey(tool, 3);

    ASSERT_TRUE(exitedWith(outcome, 0)) << describeOutcome(outcome) << "; " << errorText();
    const std::vector<std::string> lines = errorLines();
    EXPECT_GE(lines.size(), 3u);
    EXPECT_TRUE(holdsOnlyTimingLines(lines));
    EXPECT_EQ(readText(path("stdout.txt")), "");
    expectSnapshots();
    EXPECT_TRUE(exists(path("demo.avi")));
}

TEST_F(ToolRun, RefusesAMissingOrUnreadableVideoSilently) {
    std::vector<unsigned char> noise(64 * 1024);
    cv::RNG rng(20240611);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> inputs = {
        {"no test.avi", [](const std::string&) {}},
        {"test.avi of random bytes",
         [&noise](const std::string& dir) {
             std::ofstream(dir + "/test.avi", std::ios::binary)
                 .write(reinterpret_cast<const char*>(noise.data()),
                        static_cast<std::streamsize>(noise.size()));
         }},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.first);
        input.second(dir_);
        bool windowSeen = false;
        const Outcome outcome = runWatchingWindows(toolLaunch(dir_), windowSeen);

        EXPECT_TRUE(exitedWith(outcome, unopenedStatus)) << describeOutcome(outcome);
        EXPECT_EQ(errorText(), "");
        EXPECT_FALSE(windowSeen);
        expectNoSnapshots();
    }
}

// A video the tool accepts, and what its first pass must show.
struct AcceptedVideo {
    std::string name;
    int frames;
    cv::Size size;
    std::function<void(const std::string& path, int frames, cv::Size size)> write;
    int firstPassFrame;
    int passes;  // enough to go round the video at least twice
};

// Names a case in gtest's messages.
void PrintTo(const AcceptedVideo& video, std::ostream* out) {
    *out << video.name;
}

class ToolRunOnAcceptedVideo : public ToolRunOnDisplay,
                               public testing::WithParamInterface<AcceptedVideo> {};

// Any length of video, larger frames (of which the top-left 640 x 480 is used) and grey
// videos: the run goes on with consecutive counts until a key, and its first pass shows the
// frame after the warm-up and the dropped one.
TEST_P(ToolRunOnAcceptedVideo, RunsUntilAKeyWithConsecutiveCounts) {
    const AcceptedVideo& video = GetParam();
    ASSERT_NO_FATAL_FAILURE(video.write(path("test.avi"), video.frames, video.size));
    RunningProgram tool = startProgram(toolLaunch(dir_));
    const Outcome outcome = endWithKey(tool, video.passes);

    ASSERT_TRUE(exitedWith(outcome, 0)) << describeOutcome(outcome) << "; " << errorText();
    const std::vector<std::string> lines = errorLines();
    EXPECT_GE(lines.size(), static_cast<size_t>(video.passes));
    EXPECT_TRUE(holdsOnlyTimingLines(lines));
    expectSnapshots(video.size);
    EXPECT_EQ(shownFrameIndex(path("mix1.png")), video.firstPassFrame % indexCycle);
    EXPECT_EQ(shownFrameIndex(path("check.png")), video.firstPassFrame % indexCycle);
}

// A video of larger frames whose top-left 640 x 480 holds test::indexedFrame frames.
void writeLargeVideo(const std::string& path, int frames, cv::Size size) {
    // Black outside the top-left 640 x 480: any other region would darken the snapshots.
    ASSERT_TRUE(test::writeVideo(path, frames, size, [size](int i) {
        cv::Mat frame(size, CV_8UC3, cv::Scalar::all(0));
        test::indexedFrame(i).copyTo(frame(cv::Rect(cv::Point(0, 0), frameSize)));
        return frame;
    }));
}

// A one-channel video of test::indexedFrame levels.
void writeGreyVideo(const std::string& path, int frames, cv::Size size) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, size, false);
    ASSERT_TRUE(writer.isOpened());
    cv::Mat grey;
    for (int i = 0; i < frames; ++i) {
        cv::extractChannel(test::indexedFrame(i, size), grey, 1);
        writer << grey;
    }
}

// With 45 frames of warm-up and every second frame after it, a video of N >= 47 frames
// starts at frame 46 and takes about N / 2 passes per trip; a shorter one is used up by the
// warm-up and starts at frame 0.
INSTANTIATE_TEST_SUITE_P(
    Videos, ToolRunOnAcceptedVideo,
    testing::Values(AcceptedVideo{"even50", 50, frameSize, writeIndexedVideo, 46, 3 + 2 * 25 + 4},
                    AcceptedVideo{"odd51", 51, frameSize, writeIndexedVideo, 46, 3 + 2 * 26 + 4},
                    AcceptedVideo{"short40", 40, frameSize, writeIndexedVideo, 0, 2 * 20 + 4},
                    AcceptedVideo{"large800x600", 50, largeFrameSize, writeLargeVideo, 46,
                                  3 + 2 * 25 + 4},
                    AcceptedVideo{"grey", 50, frameSize, writeGreyVideo, 46, 3 + 2 * 25 + 4}),
    [](const testing::TestParamInfo<AcceptedVideo>& info) { return info.param.name; });

TEST_F(ToolRunOnDisplay, RejectsFramesSmallerThan640x480WithOneLine) {
    writeIndexedVideo(path("test.avi"), 50, smallFrameSize);
    const Outcome outcome = runUnattended(toolLaunch(dir_));

    EXPECT_TRUE(exitedWith(outcome, failedStatus)) << describeOutcome(outcome);
    const std::vector<std::string> lines = errorLines();
    ASSERT_EQ(lines.size(), 1u) << errorText();
    EXPECT_EQ(lines[0].rfind("dottrack: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("320 x 240"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("640 x 480"), std::string::npos) << lines[0];
    expectNoSnapshots();
}

TEST_F(ToolRunOnDisplay, FailsWithOneLineOnAContainerWithoutFrames) {
    {
        // Opened and released without a frame: a valid header and nothing else.
        cv::VideoWriter writer(path("test.avi"), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0,
                               frameSize, true);
        ASSERT_TRUE(writer.isOpened());
    }
    const Outcome outcome = runUnattended(toolLaunch(dir_));

    EXPECT_TRUE(exitedWith(outcome, failedStatus)) << describeOutcome(outcome);
    const std::vector<std::string> lines = errorLines();
    ASSERT_EQ(lines.size(), 1u) << errorText();
    EXPECT_EQ(lines[0].rfind("dottrack: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("no frame"), std::string::npos) << lines[0];
    expectNoSnapshots();
}

// Needs no display: these runs must not reach one.
TEST_F(ToolRun, FailsWithOneLineWhenNoDisplayIsReachable) {
    writeIndexedVideo(path("test.avi"), 50, frameSize);
    const std::vector<std::pair<std::string, std::function<void(Launch&)>>> displays = {
        {"DISPLAY unset", [](Launch& launch) { launch.unsetEnvironment.push_back("DISPLAY"); }},
        {"DISPLAY of no server",
         [](Launch& launch) { launch.setEnvironment.emplace_back("DISPLAY", ":987"); }},
    };
    for (const auto& display : displays) {
        SCOPED_TRACE(display.first);
        Launch launch = toolLaunch(dir_);
        display.second(launch);
        const Outcome outcome = runUnattended(launch);

        // An abort from the window toolkit would show up here as signal 6.
        EXPECT_TRUE(exitedWith(outcome, failedStatus)) << describeOutcome(outcome);
        const std::vector<std::string> lines = errorLines();
        ASSERT_EQ(lines.size(), 1u) << errorText();
        EXPECT_EQ(lines[0].rfind("dottrack: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("display"), std::string::npos) << lines[0];
        expectNoSnapshots();
    }
}

TEST_F(ToolRunOnDisplay, GoesOnWhenASnapshotCannotBeWritten) {
    writeIndexedVideo(path("test.avi"), 50, frameSize);
    ASSERT_EQ(mkdir(path("mix1.png").c_str(), 0755), 0);
    RunningProgram tool = startProgram(toolLaunch(dir_));
    const Outcome outcome = endWithKey(tool, 3);

    ASSERT_TRUE(exitedWith(outcome, 0)) << describeOutcome(outcome) << "; " << errorText();
    const std::vector<std::string> lines = errorLines();
    EXPECT_GE(lines.size(), 3u);
    EXPECT_TRUE(holdsOnlyTimingLines(lines));
    EXPECT_TRUE(std::filesystem::is_directory(path("mix1.png")));
    EXPECT_TRUE(isImage(path("mini.png"), cv::Size(80, 60), 1));
    EXPECT_TRUE(isImage(path("mix.png"), frameSize, 1));
    EXPECT_TRUE(isImage(path("check.png"), frameSize, 3));
}

TEST_F(ToolRunOnDisplay, KeyDuringTheFirstPassStillFinishesIt) {
    writeIndexedVideo(path("test.avi"), 50, frameSize);
    RunningProgram tool = startProgram(toolLaunch(dir_));
    const Outcome outcome = endWithKey(tool, 0);

    ASSERT_TRUE(exitedWith(outcome, 0)) << describeOutcome(outcome) << "; " << errorText();
    const std::vector<std::string> lines = errorLines();
    EXPECT_GE(lines.size(), 1u);
    EXPECT_TRUE(holdsOnlyTimingLines(lines));
    expectSnapshots();
}

}  // namespace
}  // namespace dottrack::e2e
