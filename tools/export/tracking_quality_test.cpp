// How closely the exported tracks follow the dots of the sample video, motion by motion,
// measured from the CSV alone against the true dot centres written with the video.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "tests/e2e/e2e_support.h"
#include "tests/support/test_support.h"
#include "tests/support/tracking_quality.h"
#include "tools/export/export_test_support.h"

namespace dottrack {
namespace {

// The sample video at its default length and its truth file, written when the tests are
// built.
const std::string sampleVideo = DOTTRACK_EXPORT_FULL_SAMPLE;
const std::string sampleTruth = DOTTRACK_EXPORT_FULL_TRUTH;

struct TruthFrame {
    std::string motion;
    std::vector<cv::Point2d> centres;  // in the order of the dots' numbers
};

std::map<long, TruthFrame> readTruth(const std::string& path) {
    std::map<long, TruthFrame> truth;
    std::istringstream lines(e2e::readText(path));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "frame,motion,dot,x,y");
    while (std::getline(lines, line)) {
        long frame = 0;
        char motion[32] = {};
        std::size_t dot = 0;
        cv::Point2d centre;
        EXPECT_EQ(std::sscanf(line.c_str(), "%ld,%31[^,],%zu,%lf,%lf", &frame, motion, &dot,
                              &centre.x, &centre.y),
                  5)
            << line;
        TruthFrame& entry = truth[frame];
        EXPECT_EQ(dot, entry.centres.size()) << line;
        entry.motion = motion;
        entry.centres.push_back(centre);
    }
    return truth;
}

TEST(ExportTrackingQuality, MarkersFollowTheirDotsThroughEveryMotion) {
    const std::string dir = test::makeTempDir("dottrack-export-quality");
    const std::string csv = dir + "/tracks.csv";
    const test::ProgramRun run =
        test::runProgram(DOTTRACK_EXPORT_EXE, {sampleVideo, "--quiet", "--out", csv}, dir);
    const std::vector<test::TrackRow> rows = test::parseTrackCsv(e2e::readText(csv));
    test::removeTree(dir);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(rows.empty());
    const std::map<long, TruthFrame> truth = readTruth(sampleTruth);

    // The rows come in pass order, then marker order.
    test::TrackingQuality quality;
    std::vector<cv::Point2f> markers;
    for (size_t i = 0; i < rows.size(); ++i) {
        markers.push_back(rows[i].position);
        if (i + 1 == rows.size() || rows[i + 1].pass != rows[i].pass) {
            const TruthFrame& frame = truth.at(rows[i].frame);
            test::addPass(quality, frame.motion, frame.centres, markers);
            markers.clear();
        }
    }
    test::expectTrackingQuality(quality);
}

}  // namespace
}  // namespace dottrack
