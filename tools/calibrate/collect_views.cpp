#include "tools/calibrate/collect_views.h"

#include "cli/cli.h"

namespace dottrack {

ViewCollection collectViews(cv::VideoCapture& capture, const CalibrationPattern& pattern,
                            std::int64_t frameLimit) {
    ViewCollection collection;
    cv::Mat frame;
    std::vector<cv::Point2f> points;
    while ((frameLimit == 0 || collection.frames < frameLimit) && interruptingSignal() == 0 &&
           capture.read(frame) && !frame.empty()) {
        if (collection.frames == 0) {
            collection.frameSize = frame.size();
        }
        ++collection.frames;
        const std::string name = "frame " + std::to_string(collection.frames - 1);
        if (frame.depth() != CV_8U) {
            collection.problem = name + " is not 8-bit";
            break;
        }
        if (frame.size() != collection.frameSize) {
            collection.problem = name + " is " + std::to_string(frame.cols) + " x " +
                                 std::to_string(frame.rows) + ", the first was " +
                                 std::to_string(collection.frameSize.width) + " x " +
                                 std::to_string(collection.frameSize.height);
            break;
        }
        const PatternSight sight = findPattern(frame, pattern, points);
        collection.largerFrames += sight == PatternSight::larger;
        if (sight != PatternSight::found) {
            continue;
        }
        ++collection.patternFrames;
        if (!repeatsView(collection.views, points)) {
            refinePattern(frame, pattern, points);
            collection.views.push_back(points);
        }
    }
    return collection;
}

std::vector<std::vector<cv::Point2f>> spreadViews(
    const std::vector<std::vector<cv::Point2f>>& views, std::size_t count) {
    if (views.size() <= count) {
        return views;
    }
    std::vector<std::vector<cv::Point2f>> spread;
    for (std::size_t i = 0; i < count; ++i) {
        spread.push_back(views[i * views.size() / count]);
    }
    return spread;
}

}  // namespace dottrack
