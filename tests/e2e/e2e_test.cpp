// The real dottrack binary run as a person would: a folder holding test.avi, three windows
// on the X display, a key to end the run; checked by its exit status, its standard error
// and the files it leaves.

#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/e2e/e2e_support.h"
#include "app/track_frame.h"
#include "conditioning/conditioning.h"
#include "detection/detection.h"
#include "present/present.h"
#include "tests/support/test_support.h"
#include "tracking/tracking.h"

namespace dottrack::e2e {
namespace {

// Bounds on what a user would wait for, generous enough for the sanitizer build.
constexpr milliseconds windowTimeout(30000);
constexpr milliseconds passesTimeout(60000);
constexpr milliseconds exitTimeout(30000);
// How long one key press gets to end the run before it is pressed again.
constexpr milliseconds keyTimeout(5000);

const cv::Size frameSize(640, 480);
const char* const snapshotNames[] = {"mix1.png", "mini.png", "mix.png", "check.png"};

// An 8-bit image file of the given size and channel count.
testing::AssertionResult isImage(const std::string& path, cv::Size size, int channels) {
    const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.size() != size || image.channels() != channels || image.depth() != CV_8U) {
        return testing::AssertionFailure()
               << path << " is " << image.size() << " " << cv::typeToString(image.type())
               << ", expected " << size << " with " << channels << " 8-bit channel(s)";
    }
    return testing::AssertionSuccess();
}

class ToolRun : public test::ScratchDirTest {
protected:
    std::string errorText() const { return readText(path("stderr.txt")); }
    std::vector<std::string> errorLines() const { return readLines(path("stderr.txt")); }

    // The first-pass snapshots as a viewer would open them; the check view is the whole
    // frame, overlays and all.
    void expectSnapshots(cv::Size videoSize = frameSize, bool withMix1 = true) const {
        if (withMix1) {
            EXPECT_TRUE(isImage(path("mix1.png"), frameSize, 1));
        }
        EXPECT_TRUE(isImage(path("mini.png"), cv::Size(80, 60), 1));
        EXPECT_TRUE(isImage(path("mix.png"), frameSize, 1));
        EXPECT_TRUE(isImage(path("check.png"), videoSize, 3));
    }

    void expectNoSnapshots() const {
        for (const char* name : snapshotNames) {
            EXPECT_FALSE(std::filesystem::exists(path(name))) << name << " was written";
        }
    }

    // Waits for `passes` timing lines, ends the tool with a key in its "check" window and
    // checks a clean run: exit status 0 and only consecutive timing lines, `passes` at least.
    void runUntilKey(RunningProgram& tool, int passes) {
        const std::string window = waitForWindow(tool, "check", windowTimeout);
        ASSERT_FALSE(window.empty()) << "no window named check; standard error: " << errorText();
        waitUntil(
            [&]() {
                return readLines(path("stderr.txt")).size() >= static_cast<size_t>(passes) ||
                       !tool.isRunning();
            },
            passesTimeout);
        ASSERT_EQ(pressKeyUntilExit(tool, window, keyTimeout, exitTimeout), 0) << errorText();
        const std::vector<std::string> lines = errorLines();
        EXPECT_GE(lines.size(), static_cast<size_t>(std::max(passes, 1)));
        EXPECT_TRUE(holdsOnlyTimingLines(lines));
    }

    // Runs the tool untouched and checks that it gave up with status 1 and one line holding
    // every one of `words`, having written nothing.
    void expectOneLineFailure(const Launch& launch, const std::vector<std::string>& words) {
        // An abort, from the window toolkit for instance, would show here as -6.
        EXPECT_EQ(RunningProgram(launch).waitForExit(exitTimeout), 1);
        const std::vector<std::string> lines = errorLines();
        ASSERT_EQ(lines.size(), 1u) << errorText();
        EXPECT_EQ(lines[0].rfind("dottrack: ", 0), 0u) << lines[0];
        for (const std::string& word : words) {
            EXPECT_NE(lines[0].find(word), std::string::npos) << lines[0];
        }
        expectNoSnapshots();
    }
};

class ToolRunOnDisplay : public ToolRun {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(requireDisplay());
        if (!IsSkipped()) {
            ToolRun::SetUp();
        }
    }
};

// The check that every run relies on must not let anything through.
TEST(TimingLineCheck, AcceptsOnlyConsecutiveTimingLines) {
    EXPECT_TRUE(holdsOnlyTimingLines({"count:0\t98.3ms", "count:1\t0ms", "count:2\t1.2e+06ms"}));
    for (const char* stray : {"count:0\t1.234567ms", "count:0\t-1ms", "count:0\t1ms "}) {
        EXPECT_FALSE(holdsOnlyTimingLines({stray})) << stray;
    }
    EXPECT_FALSE(holdsOnlyTimingLines({"count:0\t1ms", "count:0\t1ms"}));
    EXPECT_FALSE(holdsOnlyTimingLines({"count:0\t1ms", "qt.qpa.xcb: could not connect"}));
}

TEST_F(ToolRunOnDisplay, RunsTheSampleVideoUntilAKey) {
    ASSERT_TRUE(writeSampleVideo(path("test.avi"), 120));
    RunningProgram tool(toolLaunch(dir_));
    for (const char* name : {"mix", "mini"}) {
        EXPECT_FALSE(waitForWindow(tool, name, windowTimeout).empty()) << "no window " << name;
    }
    ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, 3));
    EXPECT_EQ(readText(path("stdout.txt")), "");
    expectSnapshots();
    EXPECT_TRUE(std::filesystem::exists(path("demo.avi")));
}

// The four snapshots and the three windows of a pass, computed with the stages headless from
// `frame`, the frame of the first pass: what the tool must show and write.
struct PassViews {
    cv::Mat mix1, mini, mix, check;
};

PassViews computeViews(cv::Mat frame, const std::string& dir) {
    // Through the snapshot writer itself, for its conversion of floats to grey levels.
    const auto grey = [&dir](const cv::Mat& image) {
        writeFloatSnapshot(dir + "/expected.png", image);
        return cv::imread(dir + "/expected.png", cv::IMREAD_UNCHANGED);
    };
    TrackState state;
    prepareTrackState(state);
    PassViews views;
    buildMix(frame, state.mix);
    views.mix1 = grey(state.mix);
    conditionMix(state.mix);
    buildMini(state.mix, state.mini);
    views.mini = grey(state.mini);
    findTargets(state.mini, state.mix, state.targets);
    seedMarkers(state.targets, state.refMarkers, state.markers, state.assignment);
    updateMaker(state.targets, state.refMarkers, state.markers, state.assignment);
    drawOverlays(frame, state.mix, state.targets, state.refMarkers, state.markers,
                 state.assignment);
    views.mix = grey(state.mix);
    views.check = frame;
    return views;
}

// The best match of `image`, scaled by any of a range of factors, within `shown`: the window
// toolkit may show a small image larger than it is.
double bestMatch(const cv::Mat& shown, const cv::Mat& image) {
    double best = -1;
    for (double scale = 1.0; scale < 1.6; scale += 0.01) {
        cv::Mat scaled, scores;
        cv::resize(image, scaled, cv::Size(), scale, scale, cv::INTER_LINEAR);
        if (scaled.rows > shown.rows || scaled.cols > shown.cols) {
            break;
        }
        cv::matchTemplate(shown, scaled, scores, cv::TM_CCOEFF_NORMED);
        double top = 0;
        cv::minMaxLoc(scores, nullptr, &top);
        best = std::max(best, top);
    }
    return best;
}

// A still scene, so that every pass shows what the first one wrote: each window shows its
// own image of the pass, and each snapshot is taken at its point of the pass.
TEST_F(ToolRunOnDisplay, EachWindowAndSnapshotShowsItsImageOfThePass) {
    cv::Mat still(480, 640, CV_8UC3, cv::Scalar(200, 210, 205));
    cv::RNG rng(3);
    for (int dot = 0; dot < 35; ++dot) {
        const cv::Point centre(60 + 80 * (dot % 7) + rng.uniform(-5, 5),
                               60 + 85 * (dot / 7) + rng.uniform(-5, 5));
        cv::circle(still, centre, 7, cv::Scalar(60, 40, 36), cv::FILLED, cv::LINE_AA);
    }
    {
        cv::VideoWriter video(path("test.avi"), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30,
                              still.size(), true);
        for (int index = 0; index < 60; ++index) {
            video << still;
        }
    }
    cv::VideoCapture capture(path("test.avi"));
    cv::Mat firstPass;
    for (int index = 0; index <= 46; ++index) {
        capture >> firstPass;
    }
    const PassViews expected = computeViews(firstPass, dir_);

    RunningProgram tool(toolLaunch(dir_));
    const std::string windows[] = {waitForWindow(tool, "check", windowTimeout),
                                   waitForWindow(tool, "mix", windowTimeout),
                                   waitForWindow(tool, "mini", windowTimeout)};
    waitUntil([&]() { return errorLines().size() >= 3; }, passesTimeout);
    std::vector<cv::Mat> shown;
    for (const std::string& window : windows) {
        shown.push_back(captureWindow(window, path("window.png")));
        ASSERT_FALSE(shown.back().empty()) << "cannot read window " << window;
    }
    ASSERT_EQ(pressKeyUntilExit(tool, windows[0], keyTimeout, exitTimeout), 0) << errorText();

    const std::pair<const char*, const cv::Mat*> snapshots[] = {{"mix1.png", &expected.mix1},
                                                                {"mini.png", &expected.mini},
                                                                {"mix.png", &expected.mix},
                                                                {"check.png", &expected.check}};
    for (const auto& [name, image] : snapshots) {
        const cv::Mat written = cv::imread(path(name), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(written.size(), image->size()) << name;
        EXPECT_EQ(cv::norm(written, *image, cv::NORM_INF), 0.0) << name;
    }
    // The frame and the intensity image are shown pixel for pixel, the coarse map enlarged.
    cv::Mat mixShown;
    cv::cvtColor(expected.mix, mixShown, cv::COLOR_GRAY2BGR);
    EXPECT_GT(bestMatch(shown[0], expected.check), 0.999) << "check";
    EXPECT_GT(bestMatch(shown[1], mixShown), 0.999) << "mix";
    cv::Mat miniShown;
    cv::cvtColor(expected.mini, miniShown, cv::COLOR_GRAY2BGR);
    EXPECT_GT(bestMatch(shown[2], miniShown), 0.95) << "mini";
}

TEST_F(ToolRunOnDisplay, GoesOnWhenASnapshotCannotBeWritten) {
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), 50));
    ASSERT_EQ(mkdir(path("mix1.png").c_str(), 0755), 0);
    RunningProgram tool(toolLaunch(dir_));
    ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, 3));
    EXPECT_TRUE(std::filesystem::is_directory(path("mix1.png")));
    expectSnapshots(frameSize, false);
}

// Needs no display: the tool must give up before it looks for one. GStreamer's complaints
// about random bytes come from a race, lost more often under load: many runs, a few at once.
TEST_F(ToolRun, RefusesAMissingOrUnreadableVideoSilently) {
    constexpr int noiseRounds = 8;
    constexpr int runsSideBySide = 4;
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "test.avi of random bytes" : "no test.avi");
        if (present) {
            std::vector<char> noise(64 * 1024);
            cv::randu(noise, -128, 128);
            std::ofstream(path("test.avi"), std::ios::binary).write(noise.data(), noise.size());
        }
        for (int round = 0; round < (present ? noiseRounds : 1); ++round) {
            std::deque<RunningProgram> tools;
            for (int run = 0; run < (present ? runsSideBySide : 1); ++run) {
                Launch launch = toolLaunch(dir_);
                launch.stderrPath = path("stderr" + std::to_string(run) + ".txt");
                tools.emplace_back(launch);
            }
            bool windowSeen = false;
            waitUntil(
                [&]() {
                    bool running = false;
                    for (RunningProgram& tool : tools) {
                        windowSeen =
                            windowSeen || !findWindows(tool.pid(), "^(mix|check|mini)$").empty();
                        running = tool.isRunning() || running;
                    }
                    return !running;
                },
                exitTimeout);
            for (size_t run = 0; run < tools.size(); ++run) {
                EXPECT_EQ(tools[run].waitForExit(exitTimeout), 255);
                EXPECT_EQ(readText(path("stderr" + std::to_string(run) + ".txt")), "")
                    << "round " << round;
            }
            EXPECT_FALSE(windowSeen);
        }
        expectNoSnapshots();
    }
}

// A video cut short inside a frame, or with bytes flipped inside its frames, runs through
// its trip in the tool (and on) and in the export, the damage concealed without a word.
TEST_F(ToolRunOnDisplay, RunsADamagedVideoWithoutDecoderMessages) {
    for (const bool cutShort : {true, false}) {
        SCOPED_TRACE(cutShort ? "cut short" : "bytes flipped");
        ASSERT_TRUE(writeSampleVideo(path("test.avi"), 120));
        std::string bytes = readText(path("test.avi"));
        if (cutShort) {
            bytes.resize(bytes.size() / 2);
        } else {
            // Headers and index stay intact: they are in the first and last tenth.
            for (size_t at = bytes.size() / 10; at < bytes.size() * 9 / 10; at += 9000) {
                bytes[at] ^= 0x5a;
            }
        }
        std::ofstream(path("test.avi"), std::ios::binary | std::ios::trunc) << bytes;
        RunningProgram tool(toolLaunch(dir_));
        // A trip of the whole video is 37 passes.
        ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, 40));
        Launch exporter;
        exporter.program = DOTTRACK_EXPORT_EXE;
        exporter.arguments = {"test.avi", "--out", "tracks.csv"};
        exporter.workingDirectory = dir_;
        exporter.stderrPath = path("export-stderr.txt");
        EXPECT_EQ(RunningProgram(exporter).waitForExit(exitTimeout), 0);
        EXPECT_EQ(readText(exporter.stderrPath), "");
    }
}

TEST_F(ToolRunOnDisplay, FailsWithOneLineOnFramesTooSmallOrNone) {
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), 50, cv::Size(320, 240)));
    expectOneLineFailure(toolLaunch(dir_), {"320 x 240", "640 x 480"});
    // A valid container without a frame.
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), 0));
    expectOneLineFailure(toolLaunch(dir_), {"no frame"});
}

TEST_F(ToolRun, FailsWithOneLineWhenNoDisplayIsReachable) {
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), 50));
    for (const char* display : {"DISPLAY", "DISPLAY=:987"}) {
        SCOPED_TRACE(display);
        Launch launch = toolLaunch(dir_);
        launch.environment.push_back(display);
        expectOneLineFailure(launch, {"display"});
    }
}

// A video the tool accepts: a number of frames, the frame size, colour or grey, the frame
// its first pass shows, and enough passes to go round the video at least twice.
struct AcceptedVideo {
    const char* name;
    int frames;
    cv::Size size;
    bool colour;
    int firstPassFrame;
    int passes;
};

void PrintTo(const AcceptedVideo& video, std::ostream* out) {
    *out << video.name;
}

class ToolRunOnAcceptedVideo : public ToolRunOnDisplay,
                               public testing::WithParamInterface<AcceptedVideo> {};

// Any length of video, larger frames (of which the top-left 640 x 480 is used, not a scaled
// copy) and grey videos: the run goes on with consecutive counts until a key, and its first
// pass shows the frame after the warm-up and the dropped one.
TEST_P(ToolRunOnAcceptedVideo, RunsUntilAKeyWithConsecutiveCounts) {
    const AcceptedVideo& video = GetParam();
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), video.frames, video.size, video.colour));
    RunningProgram tool(toolLaunch(dir_));
    ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, video.passes));
    expectSnapshots(video.size);
    EXPECT_EQ(test::frameIndexOf(cv::imread(path("mix1.png"), cv::IMREAD_COLOR)),
              video.firstPassFrame);
}

// After 45 frames of warm-up and one dropped, a video of N >= 47 frames starts at frame 46
// and takes about N / 2 passes a trip; a shorter one is used up by the warm-up and starts
// at frame 0.
INSTANTIATE_TEST_SUITE_P(
    Videos, ToolRunOnAcceptedVideo,
    testing::Values(AcceptedVideo{"even50", 50, frameSize, true, 46, 3 + 2 * 25 + 4},
                    AcceptedVideo{"odd51", 51, frameSize, true, 46, 3 + 2 * 26 + 4},
                    AcceptedVideo{"short40", 40, frameSize, true, 0, 2 * 20 + 4},
                    AcceptedVideo{"large800x600", 50, cv::Size(800, 600), true, 46, 57},
                    AcceptedVideo{"grey", 50, frameSize, false, 46, 57},
                    // A key as soon as the window shows: the first pass still ends.
                    AcceptedVideo{"keyAtOnce", 50, frameSize, true, 46, 0}),
    [](const testing::TestParamInfo<AcceptedVideo>& info) { return info.param.name; });

}  // namespace
}  // namespace dottrack::e2e
