#include <opencv2/imgproc.hpp>

#include "conditioning/conditioning.h"
#include "detection/detection.h"

namespace dottrack {

namespace {

// Half the side of the square painted around each coarse find: 13 x 13 map pixels.
constexpr int suppressionRadius = 6;
// Far above any value the band-passed map can hold, so a painted pixel never wins again.
constexpr double suppressedValue = 80.0;

}  // namespace

void findTargets(cv::Mat& mini, const cv::Mat& mix, std::vector<cv::Point2f>& targets) {
    // Every 8 x 8 block of a coarse find must lie inside `mix`.
    CV_Assert(mini.type() == CV_32FC1 && mini.rows == miniRows && mini.cols == miniCols);
    CV_Assert(mix.type() == CV_32FC1 && mix.rows == mixRows && mix.cols == mixCols);

    targets.clear();
    targets.reserve(targetCount);
    for (int found = 0; found < targetCount; ++found) {
        // minMaxLoc reports the first minimum in row-major order.
        cv::Point coarse;
        cv::minMaxLoc(mini, nullptr, nullptr, &coarse, nullptr, cv::noArray());
        cv::rectangle(mini, coarse - cv::Point(suppressionRadius, suppressionRadius),
                      coarse + cv::Point(suppressionRadius, suppressionRadius),
                      cv::Scalar(suppressedValue), cv::FILLED, cv::LINE_8, 0);

        const cv::Point blockOrigin = coarse * miniScale;
        const cv::Mat block(mix, cv::Rect(blockOrigin.x, blockOrigin.y, miniScale, miniScale));
        cv::Point fine;
        cv::minMaxLoc(block, nullptr, nullptr, &fine, nullptr, cv::noArray());

        const cv::Point target = blockOrigin + fine;
        targets.emplace_back(static_cast<float>(target.x), static_cast<float>(target.y));
    }
}

}  // namespace dottrack
