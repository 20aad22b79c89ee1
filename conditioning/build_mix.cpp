#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

namespace {

// The intensity of a pixel depends only on s = G + R (0..510): (s / 255) * 0.5, formed in
// single precision. The vector loop below forms it the same way, lane by lane, so both
// give the very same floats.
inline float intensityOf(int sum) {
    return (static_cast<float>(sum) / 255.0f) * 0.5f;
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
        const unsigned char* source = frame.ptr<unsigned char>(y);
        float* target = mix.ptr<float>(y);
        int x = 0;
#if CV_SIMD128
        // 16 pixels at a time: the sums G + R widened to 32 bits, converted exactly to
        // float, then divided and halved with the scalar formula's two roundings.
        constexpr int lanes = cv::v_uint8x16::nlanes;
        const cv::v_float32x4 divisor = cv::v_setall_f32(255.0f);
        const cv::v_float32x4 half = cv::v_setall_f32(0.5f);
        for (; x <= mixCols - lanes; x += lanes) {
            cv::v_uint8x16 blue;
            cv::v_uint8x16 green;
            cv::v_uint8x16 red;
            cv::v_load_deinterleave(source + 3 * x, blue, green, red);
            cv::v_uint16x8 greenLow;
            cv::v_uint16x8 greenHigh;
            cv::v_uint16x8 redLow;
            cv::v_uint16x8 redHigh;
            cv::v_expand(green, greenLow, greenHigh);
            cv::v_expand(red, redLow, redHigh);
            const cv::v_uint16x8 sums[2] = {greenLow + redLow, greenHigh + redHigh};
            for (int part = 0; part < 2; ++part) {
                cv::v_uint32x4 low;
                cv::v_uint32x4 high;
                cv::v_expand(sums[part], low, high);
                float* out = target + x + part * 8;
                cv::v_store(out, (cv::v_cvt_f32(cv::v_reinterpret_as_s32(low)) / divisor) * half);
                cv::v_store(out + 4,
                            (cv::v_cvt_f32(cv::v_reinterpret_as_s32(high)) / divisor) * half);
            }
        }
#endif
        for (; x < mixCols; ++x) {
            // Bytes are blue, green, red: blue plays no part.
            target[x] = intensityOf(source[3 * x + 1] + source[3 * x + 2]);
        }
    }
}

}  // namespace dottrack
