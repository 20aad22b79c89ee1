// The real dottrack binary run as a person would, in a folder holding test.avi: what its three
// windows on the X display and its snapshots show, against its stages run headless.

#include <sys/stat.h>

#include <filesystem>
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

}  // namespace
}  // namespace dottrack::e2e
