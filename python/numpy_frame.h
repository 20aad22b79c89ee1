#pragma once
// Frames handed over from Python: a numpy array seen as the grey or BGR image the stages read.

#include <string>

#include <pybind11/numpy.h>

#include <opencv2/core.hpp>

namespace dottrack {

// Where the bytes of a frame held by a numpy array lie: read while the GIL is held, so that
// the frame can be formed after it is released.
struct PixelLayout {
    const unsigned char* data = nullptr;
    int rows = 0;
    int cols = 0;
    pybind11::ssize_t rowStride = 0;      // bytes from a pixel to the one below it
    pybind11::ssize_t pixelStride = 0;    // bytes from a pixel to the one on its right
    pybind11::ssize_t channelStride = 0;  // bytes from a pixel's blue to its green
    int channels = 3;                     // 1 for grey, 3 for BGR
};

// Reads the layout of the frame that `object`, a numpy array, holds. Returns why it cannot
// be a frame, in the programs' own words where OpenCV has a type for the array, or an empty
// string. The layout is valid while `object` lives.
std::string readPixelLayout(const pybind11::handle& object, PixelLayout& layout);

// Reads the layout of the frame for a field measurement that `object` holds: H x W (grey) or
// H x W x 3 (BGR) uint8, of any size. Returns why it cannot be one, or an empty string. The
// layout is valid while `object` lives.
std::string readFieldPixelLayout(const pybind11::handle& object, PixelLayout& layout);

// The frame at `layout`: a header on the array's own pixels when the pixels of each row lie
// packed (BGR) one after the other; otherwise a copy of them in `buffer`. Needs no GIL.
cv::Mat frameAt(const PixelLayout& layout, cv::Mat& buffer);

}  // namespace dottrack
