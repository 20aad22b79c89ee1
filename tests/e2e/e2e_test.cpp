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

#include "conditioning/conditioning.h"
#include "pipeline/pipeline.h"
#include "present/present.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "video/video.h"

namespace dottrack::e2e {
namespace {

// Bounds on what a user would wait for, generous enough for the sanitizer build.
constexpr milliseconds windowTimeout(30000);
constexpr milliseconds passesTimeout(60000);
constexpr milliseconds exitTimeout(30000);
// How long one key press gets to end the run before it is pressed again.
constexpr milliseconds keyTimeout(5000);

const cv::Size frameSize(640, 480);

class ToolRun : public test::ScratchDirTest {
protected:
    std::string errorText() const { return readText(path("stderr.txt")); }
    std::vector<std::string> errorLines() const { return readLines(path("stderr.txt")); }

    void expectNoSnapshots() const {
        for (const char* name : {"mix1.png", "mini.png", "mix.png", "check.png"}) {
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

// The tool's passes computed headless with its stages, one after another, from the frames
// it reads: the images its windows and snapshots show of each pass.
struct HeadlessRun {
    cv::VideoCapture capture;
    long position = 0;
    TrackState state;
    cv::Mat frame, mix1, mini, mix;

    explicit HeadlessRun(const std::string& video) : capture(video) {
        prepareTrackState(state);
        skipWarmup(capture, frame, position);
    }
    // A float image as the snapshots and the windows show it: 0 to 1 as grey levels.
    static cv::Mat grey(const cv::Mat& image) {
        cv::Mat levels, shown;
        image.convertTo(levels, CV_8U, 255.0);
        cv::cvtColor(levels, shown, cv::COLOR_GRAY2BGR);
        return shown;
    }
    // Runs the next pass; the grey images only when `images`.
    void pass(bool first, bool images) {
        readPassFrame(capture, frame, position);
        if (first) {
            buildMix(frame, state.mix);
            mix1 = grey(state.mix);
        }
        trackFrame(frame, first, state);
        if (images) {
            cv::Mat unpainted;  // the map before the search paints into it
            buildMini(state.mix, unpainted);
            mini = grey(unpainted);
        }
        drawOverlays(frame, state.mix, state.targets, state.refMarkers, state.markers,
                     state.assignment);
        mix = images ? grey(state.mix) : cv::Mat();
    }
};

// A window read from the screen, and the timing lines before and after: the window shows a
// pass whose line came out up to a few passes before (it is painted at the key wait).
struct Shown {
    std::size_t window = 0;
    cv::Mat image;  // what the window shows of its image
    std::size_t firstPass = 0, lastPass = 0;
    bool matched = false;
};

// Where a window shows its image: the window toolkit centres it, enlarged when small, on a
// plain background, which the left end of the middle row shows; a tool bar sits above.
cv::Rect shownArea(const cv::Mat& window) {
    const cv::Vec3b background = window.at<cv::Vec3b>(window.rows / 2, 0);
    const auto other = [&](int x, int y) { return window.at<cv::Vec3b>(y, x) != background; };
    int left = 0, right = window.cols - 1, top = window.rows / 2, bottom = top;
    while (left < right && !other(left, top)) {
        ++left;
    }
    while (right > left && !other(right, top)) {
        --right;
    }
    while (top > 0 && other((left + right) / 2, top - 1)) {
        --top;
    }
    while (bottom + 1 < window.rows && other((left + right) / 2, bottom + 1)) {
        ++bottom;
    }
    return {left, top, right - left + 1, bottom - top + 1};
}

// The sample in motion: every window must show its own image of one of the passes that
// ran while it was read (the frame with its overlays in check, the intensity image with its
// crosses in mix, the coarse map before the search paints it in mini), and the snapshots
// the images of the first pass, each taken at its point of the pass.
TEST_F(ToolRunOnDisplay, EachWindowAndSnapshotShowsItsImageOfAPass) {
    ASSERT_TRUE(writeSampleVideo(path("test.avi"), 120));
    RunningProgram tool(toolLaunch(dir_));
    std::vector<std::string> windows;
    for (const char* name : {"check", "mix", "mini"}) {
        windows.push_back(waitForWindow(tool, name, windowTimeout));
    }
    waitUntil([&]() { return errorLines().size() >= 20; }, passesTimeout);
    // Each window twice: a reading may catch the toolkit half way through painting it.
    std::vector<Shown> shown;
    for (std::size_t w : {0, 1, 2, 0, 1}) {
        Shown view;
        view.window = w;
        view.firstPass = errorLines().size();
        const cv::Mat window = captureWindow(windows[w], path("window.png"));
        view.lastPass = errorLines().size() + 1;
        ASSERT_FALSE(window.empty()) << "cannot read window " << windows[w];
        view.image = window(shownArea(window));
        shown.push_back(view);
    }
    ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, 3));
    EXPECT_EQ(readText(path("stdout.txt")), "");
    EXPECT_TRUE(std::filesystem::exists(path("demo.avi")));

    HeadlessRun run(path("test.avi"));
    for (std::size_t pass = 0; pass <= shown.back().lastPass; ++pass) {
        run.pass(pass == 0, pass == 0 || pass + 3 >= shown.front().firstPass);
        if (pass == 0) {
            const char* const names[] = {"mix1.png", "mini.png", "mix.png", "check.png"};
            const cv::Mat snapshots[] = {run.mix1, run.mini, run.mix, run.frame};
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(cv::norm(cv::imread(path(names[i])), snapshots[i], cv::NORM_INF), 0.0)
                    << names[i];
            }
        }
        const cv::Mat images[] = {run.frame, run.mix};
        for (Shown& view : shown) {
            if (pass + 3 < view.firstPass || pass > view.lastPass || view.matched) {
                continue;
            }
            if (view.window < 2) {
                // The frame and the intensity image are shown pixel for pixel.
                const cv::Mat& image = images[view.window];
                view.matched = view.image.size() == image.size() &&
                               cv::norm(view.image, image, cv::NORM_INF) == 0;
            } else {
                cv::Mat scaled, scores;
                cv::resize(run.mini, scaled, view.image.size(), 0, 0, cv::INTER_LINEAR);
                cv::matchTemplate(view.image, scaled, scores, cv::TM_CCOEFF_NORMED);
                view.matched = scores.at<float>(0, 0) > 0.97;
            }
        }
    }
    for (std::size_t w = 0; w < 3; ++w) {
        EXPECT_TRUE(
            std::any_of(shown.begin(), shown.end(),
                        [w](const Shown& view) { return view.window == w && view.matched; }))
            << windows[w] << " shows none of the passes that ran while it was read";
    }
}

TEST_F(ToolRunOnDisplay, GoesOnWhenASnapshotCannotBeWritten) {
    ASSERT_TRUE(test::writeIndexedVideo(path("test.avi"), 50));
    ASSERT_EQ(mkdir(path("mix1.png").c_str(), 0755), 0);
    RunningProgram tool(toolLaunch(dir_));
    ASSERT_NO_FATAL_FAILURE(runUntilKey(tool, 3));
    EXPECT_TRUE(std::filesystem::is_directory(path("mix1.png")));
    for (const char* name : {"mini.png", "mix.png", "check.png"}) {
        EXPECT_FALSE(cv::imread(path(name)).empty()) << name;
    }
}

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
