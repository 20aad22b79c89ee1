#include "python/numpy_frame.h"

#include <climits>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace py = pybind11;

namespace dottrack {

namespace {

// OpenCV's depth for the numpy element type, or -1 when OpenCV has none.
int depthOf(const py::dtype& type) {
    switch (type.kind()) {
        case 'u':
            return type.itemsize() == 1 ? CV_8U : type.itemsize() == 2 ? CV_16U : -1;
        case 'i':
            return type.itemsize() == 1   ? CV_8S
                   : type.itemsize() == 2 ? CV_16S
                   : type.itemsize() == 4 ? CV_32S
                                          : -1;
        case 'f':
            return type.itemsize() == 2   ? CV_16F
                   : type.itemsize() == 4 ? CV_32F
                   : type.itemsize() == 8 ? CV_64F
                                          : -1;
        default:
            return -1;
    }
}

const char* const frameNeeded =
    ", but an H x W x 3 array of uint8 (BGR), at least 480 x 640 x 3, is needed";

// "480 x 640 x 3": numpy's shape, rows first.
std::string shapeText(const py::array& array) {
    std::string text;
    for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
        text += (axis > 0 ? " x " : "") + std::to_string(array.shape(axis));
    }
    return text.empty() ? "0-dimensional" : text;
}

const char* const fieldFrameNeeded =
    ", but an H x W (grey) or H x W x 3 (BGR) array of uint8 is needed";

// A grey frame at `layout`: a header on the array when its pixels lie packed in each row,
// otherwise a copy in `buffer`.
cv::Mat greyFrameAt(const PixelLayout& layout, cv::Mat& buffer) {
    if (layout.pixelStride == 1 && layout.rowStride >= layout.cols) {
        return cv::Mat(layout.rows, layout.cols, CV_8UC1, const_cast<unsigned char*>(layout.data),
                       static_cast<std::size_t>(layout.rowStride));
    }
    buffer.create(layout.rows, layout.cols, CV_8UC1);
    for (int y = 0; y < layout.rows; ++y) {
        const unsigned char* source = layout.data + y * layout.rowStride;
        unsigned char* target = buffer.ptr<unsigned char>(y);
        if (layout.pixelStride == 1) {
            std::memcpy(target, source, static_cast<std::size_t>(layout.cols));
            continue;
        }
        for (int x = 0; x < layout.cols; ++x, source += layout.pixelStride) {
            target[x] = *source;
        }
    }
    return buffer;
}

}  // namespace

std::string readPixelLayout(const py::handle& object, PixelLayout& layout) {
    if (!py::isinstance<py::array>(object)) {
        return "the frame is a " + std::string(py::str(object.get_type().attr("__name__"))) +
               frameNeeded;
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.size() == 0) {
        return "the frame is empty";
    }
    const int depth = depthOf(array.dtype());
    const bool image = array.ndim() == 2 || (array.ndim() == 3 && array.shape(2) <= CV_CN_MAX);
    const bool fitsInt = image && array.shape(0) <= INT_MAX && array.shape(1) <= INT_MAX;
    if (depth < 0 || !fitsInt) {
        return "the frame is a " + shapeText(array) + " array of " +
               std::string(py::str(array.dtype())) + frameNeeded;
    }
    layout.data = static_cast<const unsigned char*>(array.data());
    layout.rows = static_cast<int>(array.shape(0));
    layout.cols = static_cast<int>(array.shape(1));
    const int channels = array.ndim() == 3 ? static_cast<int>(array.shape(2)) : 1;
    // A header on the array, never read, lets the programs' own check describe it.
    const cv::Mat header(layout.rows, layout.cols, CV_MAKETYPE(depth, channels),
                         const_cast<unsigned char*>(layout.data));
    const std::string problem = describeUnusableFrame(header);
    if (!problem.empty()) {
        return problem;
    }
    layout.rowStride = array.strides(0);
    layout.pixelStride = array.strides(1);
    layout.channelStride = array.strides(2);
    layout.channels = 3;
    return {};
}

std::string readFieldPixelLayout(const py::handle& object, PixelLayout& layout) {
    if (!py::isinstance<py::array>(object)) {
        return "the frame is a " + std::string(py::str(object.get_type().attr("__name__"))) +
               fieldFrameNeeded;
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.size() == 0) {
        return "the frame is empty";
    }
    const bool bytes = depthOf(array.dtype()) == CV_8U;
    const bool grey = array.ndim() == 2;
    const bool colour = array.ndim() == 3 && array.shape(2) == 3;
    if (!bytes || !(grey || colour) || array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) {
        return "the frame is a " + shapeText(array) + " array of " +
               std::string(py::str(array.dtype())) + fieldFrameNeeded;
    }
    layout.data = static_cast<const unsigned char*>(array.data());
    layout.rows = static_cast<int>(array.shape(0));
    layout.cols = static_cast<int>(array.shape(1));
    layout.rowStride = array.strides(0);
    layout.pixelStride = array.strides(1);
    layout.channelStride = colour ? array.strides(2) : 0;
    layout.channels = colour ? 3 : 1;
    return {};
}

cv::Mat frameAt(const PixelLayout& layout, cv::Mat& buffer) {
    if (layout.channels == 1) {
        return greyFrameAt(layout, buffer);
    }
    const py::ssize_t packedRow = 3 * static_cast<py::ssize_t>(layout.cols);
    const bool packedPixels = layout.channelStride == 1 && layout.pixelStride == 3;
    if (packedPixels && layout.rowStride >= packedRow) {
        return cv::Mat(layout.rows, layout.cols, CV_8UC3, const_cast<unsigned char*>(layout.data),
                       static_cast<std::size_t>(layout.rowStride));
    }
    // `rgb[..., ::-1]`, the usual way to hand over an RGB image as BGR: its rows are packed
    // RGB pixels, which OpenCV reorders far faster than the byte loop below.
    const bool reversedRgb = layout.channelStride == -1 && layout.pixelStride == 3;
    if (reversedRgb && layout.rowStride >= packedRow) {
        const cv::Mat rgb(layout.rows, layout.cols, CV_8UC3,
                          const_cast<unsigned char*>(layout.data - 2),
                          static_cast<std::size_t>(layout.rowStride));
        cv::cvtColor(rgb, buffer, cv::COLOR_RGB2BGR);
        return buffer;
    }
    buffer.create(layout.rows, layout.cols, CV_8UC3);
    for (int y = 0; y < layout.rows; ++y) {
        const unsigned char* source = layout.data + y * layout.rowStride;
        unsigned char* target = buffer.ptr<unsigned char>(y);
        if (packedPixels) {
            std::memcpy(target, source, static_cast<std::size_t>(packedRow));
            continue;
        }
        for (int x = 0; x < layout.cols; ++x, source += layout.pixelStride, target += 3) {
            target[0] = source[0];
            target[1] = source[layout.channelStride];
            target[2] = source[2 * layout.channelStride];
        }
    }
    return buffer;
}

}  // namespace dottrack
