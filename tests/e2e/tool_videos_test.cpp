// The real dottrack binary run as a person would, in a folder holding test.avi: the videos
// it runs until a key, and those it refuses or runs through damaged; checked by its exit
// status, its standard error and the files it leaves.

#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"

namespace dottrack::e2e {
namespace {

const cv::Size frameSize(640, 480);

// Needs no display: the tool must give up before it looks for one. GStreamer's complaints
// about random bytes come from a race, lost more often under load: many runs, a few at once.
TEST_F(ToolRun, RefusesAMissingOrUnreadableVideoSilently) {
    for (int round = 0; round <= 8; ++round) {
        // First no test.avi, then 8 rounds of 4 runs side by side on random bytes.
        if (round == 1) {
            std::vector<char> noise(64 * 1024);
            cv::randu(noise, -128, 128);
            std::ofstream(path("test.avi"), std::ios::binary).write(noise.data(), noise.size());
        }
        std::deque<RunningProgram> tools;
        for (int run = 0; run < (round == 0 ? 1 : 4); ++run) {
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
            EXPECT_EQ(tools[run].waitForExit(exitTimeout), 255) << "round " << round;
            EXPECT_EQ(readText(path("stderr" + std::to_string(run) + ".txt")), "") << round;
        }
        EXPECT_FALSE(windowSeen);
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
        const Launch exporter{
            DOTTRACK_EXPORT_EXE,      {"test.avi", "--out", "tracks.csv"}, dir_, {}, "/dev/null",
            path("export-stderr.txt")};
        EXPECT_EQ(RunningProgram(exporter).waitForExit(exitTimeout), 0);
        EXPECT_EQ(readText(exporter.stderrPath), "");
    }
}

// Frames too small, a container without a frame, no display: one line says which, and
// nothing is written.
TEST_F(ToolRunOnDisplay, FailsWithOneLineOnFramesItCannotUseOrWithoutADisplay) {
    const struct {
        int frames;
        cv::Size size;
        const char* environment;
        std::vector<std::string> words;
    } cases[] = {
        {50, cv::Size(320, 240), "", {"320 x 240", "640 x 480"}},
        {0, frameSize, "", {"no frame"}},
        {50, frameSize, "DISPLAY", {"display"}},
        {50, frameSize, "DISPLAY=:987", {"display"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.front());
        ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), c.frames, c.size));
        Launch launch = toolLaunch(dir_);
        if (c.environment[0] != '\0') {
            launch.environment.push_back(c.environment);
        }
        // An abort, from the window toolkit for instance, would show here as -6.
        EXPECT_EQ(RunningProgram(launch).waitForExit(exitTimeout), 1);
        const std::vector<std::string> lines = errorLines();
        ASSERT_EQ(lines.size(), 1u) << errorText();
        EXPECT_EQ(lines[0].rfind("dottrack: ", 0), 0u) << lines[0];
        for (const std::string& word : c.words) {
            EXPECT_NE(lines[0].find(word), std::string::npos) << lines[0];
        }
        expectNoSnapshots();
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
    EXPECT_EQ(cv::imread(path("check.png")).size(), video.size);
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
