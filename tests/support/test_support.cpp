#include "tests/support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace dottrack::test {

cv::Mat uniformFrame(unsigned char blue, unsigned char green, unsigned char red) {
    return cv::Mat(480, 640, CV_8UC3, cv::Scalar(blue, green, red));
}

std::string makeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory from " + pattern);
    }
    return pattern;
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool writeVideo(const std::string& path, int frameCount, cv::Size size,
                const std::function<cv::Mat(int)>& makeFrame) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, size, true);
    if (!writer.isOpened()) {
        return false;
    }
    for (int index = 0; index < frameCount; ++index) {
        writer << makeFrame(index);
    }
    return true;
}

// Index i is drawn as a grey level of 4 * (i % 64) + 2 over the whole frame: far enough
// apart to survive JPEG compression.
cv::Mat indexedFrame(int index, cv::Size size) {
    const double level = 4 * (index % 64) + 2;
    return cv::Mat(size, CV_8UC3, cv::Scalar(level, level, level));
}

int frameIndexOf(const cv::Mat& frame) {
    const double level = cv::mean(frame)[1];
    return static_cast<int>((level - 2.0) / 4.0 + 0.5);
}

}  // namespace dottrack::test
