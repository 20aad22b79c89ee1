#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

void filter(const cv::Mat& src, cv::Mat& dst) {
    // The background keeps its buffer from one frame to the next; every call rewrites
    // all of it before reading it. One per thread, so that passes may run side by side.
    thread_local static cv::Mat b;
    cv::blur(src, b, cv::Size(8, 8), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    // OpenCV evaluates this expression as one weighted sum computed in double and
    // rounded once to float; the temporary it makes is read in full before dst is
    // written, so src and dst may be the same image.
    cv::blur((src - b) * 2.0 + cv::Scalar(0.5), dst, cv::Size(3, 3), cv::Point(-1, -1),
             cv::BORDER_DEFAULT);
}

}  // namespace dottrack
