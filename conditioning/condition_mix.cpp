#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"

namespace dottrack {

void conditionMix(cv::Mat& mix) {
    // Three iterations of the 3 x 3 minimum make a 7 x 7 minimum. The constant border
    // holds the largest double, so pixels outside the image never win.
    cv::erode(mix, mix, cv::Mat(), cv::Point(-1, -1), 3, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    for (int pass = 0; pass < 3; ++pass) {
        cv::blur(mix, mix, cv::Size(5, 5), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    }
}

}  // namespace dottrack
