#include "tests/support/test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace dottrack::test {

cv::Mat uniformFrame(unsigned char blue, unsigned char green, unsigned char red) {
    return cv::Mat(480, 640, CV_8UC3, cv::Scalar(blue, green, red));
}

namespace {

// Index i is drawn as the grey level 4 * (i % 64) + 2: far enough apart to survive JPEG
// compression.
cv::Mat indexedFrame(int index, cv::Size size) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(0));
    frame(cv::Rect(0, 0, 640, 480) & cv::Rect(cv::Point(0, 0), size))
        .setTo(cv::Scalar::all(4 * (index % 64) + 2));
    return frame;
}

}  // namespace

int frameIndexOf(const cv::Mat& frame) {
    return cvRound((cv::mean(frame)[1] - 2.0) / 4.0);
}

bool writeIndexedVideo(const std::string& path, int frames, cv::Size size, bool colour) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, size, colour);
    cv::Mat grey;
    for (int index = 0; index < frames && writer.isOpened(); ++index) {
        if (colour) {
            writer << indexedFrame(index, size);
        } else {
            cv::extractChannel(indexedFrame(index, size), grey, 1);
            writer << grey;
        }
    }
    return writer.isOpened();
}

bool writeFrameSequence(const std::string& video, const std::string& folder) {
    std::filesystem::create_directory(folder);
    cv::VideoCapture capture(video);
    cv::Mat image;
    for (int index = 0; capture.read(image); ++index) {
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.png", index);
        if (!cv::imwrite(folder + name, image)) {
            return false;
        }
    }
    return true;
}

std::vector<std::vector<double>> readNumberRows(const std::string& text,
                                                const std::string& header) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, header);
    std::vector<std::vector<double>> rows;
    while (std::getline(lines, line)) {
        std::vector<double> row;
        std::istringstream fields(line + ",");
        for (std::string field; std::getline(fields, field, ',');) {
            row.push_back(field.empty() ? NAN : std::stod(field));
        }
        EXPECT_EQ(row.size(), std::count(header.begin(), header.end(), ',') + 1u) << line;
        rows.push_back(row);
    }
    return rows;
}

void ScratchDirTest::SetUp() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dottrack-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    dir_ = pattern;
}

void ScratchDirTest::TearDown() {
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

}  // namespace dottrack::test
