#include <opencv2/imgcodecs.hpp>

#include "present/present.h"

namespace dottrack {

namespace {

void writeQuietly(const std::string& path, const cv::InputArray& image) {
    // A snapshot is a convenience: when it cannot be written the run goes on unchanged.
    try {
        cv::imwrite(path, image, std::vector<int>());
    } catch (const cv::Exception&) {
    }
}

}  // namespace

void writeFloatSnapshot(const std::string& path, const cv::Mat& image) {
    // The PNG writer turns the scaled floats into 8 bits, rounding half to even and
    // saturating.
    writeQuietly(path, image * 255.0);
}

void writeColourSnapshot(const std::string& path, const cv::Mat& image) {
    writeQuietly(path, image);
}

}  // namespace dottrack
