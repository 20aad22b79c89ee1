#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

void buildMini(const cv::Mat& mix, cv::Mat& mini) {
    // INTER_AREA with a whole factor of 8 makes each map pixel the mean of its 8 x 8 block.
    constexpr double scale = 1.0 / miniScale;
    cv::resize(mix, mini, cv::Size(0, 0), scale, scale, cv::INTER_AREA);
    filter(mini, mini);
    for (int pass = 0; pass < 2; ++pass) {
        cv::blur(mini, mini, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    }
    maskCorners(mini);
}

}  // namespace dottrack
