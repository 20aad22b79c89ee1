#include <opencv2/core.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

namespace {

// The intensity of a pixel depends only on s = G + R (0..510): (s / 255) * 0.5, formed in
// single precision.
inline float intensityOf(int sum) {
    return (static_cast<float>(sum) / 255.0f) * 0.5f;
}

// The compiler vectorises the row loop well only where the instruction set has byte
// shuffles to gather every third byte (SSSE3 and later): clones for those sets are picked
// when the program loads, the plain build serving older processors. Vector division
// rounds like the scalar one, so every clone writes the same floats.
#if defined(__GNUC__) && defined(__x86_64__)
#define DOTTRACK_ROW_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define DOTTRACK_ROW_CLONES
#endif

// Writes the intensities of one row of 640 pixels.
DOTTRACK_ROW_CLONES void convertRow(const unsigned char* __restrict source,
                                    float* __restrict target) {
    for (int x = 0; x < mixCols; ++x) {
        // Bytes are blue, green, red: blue plays no part.
        target[x] = intensityOf(source[3 * x + 1] + source[3 * x + 2]);
    }
}

}  // namespace

std::string describeUnusableFrame(const cv::Mat& frame) {
    if (frame.empty()) {
        return "the frame is empty";
    }
    if (frame.dims == 2 && frame.rows >= mixRows && frame.cols >= mixCols &&
        frame.type() == CV_8UC3) {
        return {};
    }
    return "the frame is " + std::to_string(frame.cols) + " x " + std::to_string(frame.rows) + " " +
           cv::typeToString(frame.type()) + ", but at least " + std::to_string(mixCols) + " x " +
           std::to_string(mixRows) + " 8-bit 3-channel (CV_8UC3) is needed";
}

void buildMix(const cv::Mat& frame, cv::Mat& mix) {
    const std::string problem = describeUnusableFrame(frame);
    if (!problem.empty()) {
        CV_Error(cv::Error::StsBadSize, "buildMix: " + problem);
    }
    mix.create(mixRows, mixCols, CV_32FC1);

    for (int y = 0; y < mixRows; ++y) {
        convertRow(frame.ptr<unsigned char>(y), mix.ptr<float>(y));
    }
}

}  // namespace dottrack
