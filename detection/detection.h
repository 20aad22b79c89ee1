#pragma once
// Target detection: the frame's darkest compact spots, found coarse on `mini`
// and pinned to one pixel of `mix`.

#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// Number of targets every frame yields.
constexpr int targetCount = 30;

// Replaces `targets` with the 30 darkest spots of the frame, darkest first: each is the
// minimum of the coarse map outside the squares painted around earlier finds, refined to
// the darkest pixel of its 8 x 8 block of `mix`. Paints those squares into `mini`.
void findTargets(cv::Mat& mini, const cv::Mat& mix, std::vector<cv::Point2f>& targets);

}  // namespace dottrack
