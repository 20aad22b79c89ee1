#include "pipeline/pipeline.h"

#include "conditioning/conditioning.h"

namespace dottrack {

std::string describeNoFrame(const std::string& sourceName, bool live, FrameChoice choice) {
    if (!live) {
        return sourceName + " holds no frame, even after rewinding to its start";
    }
    if (choice == FrameChoice::passes) {
        return sourceName + " delivered no frame after the " + std::to_string(warmupFrames) +
               " it lets settle";
    }
    return sourceName + " delivered no frame";
}

std::string describeUnusablePass(const cv::Mat& frame, long index, const std::string& sourceName) {
    const std::string problem = describeUnusableFrame(frame);
    if (problem.empty()) {
        return {};
    }
    return describeFrameProblem(index, sourceName, problem);
}

std::string describeFrameProblem(long index, const std::string& sourceName,
                                 const std::string& problem) {
    return "cannot use frame " + std::to_string(index) + " of " + sourceName + ": " + problem;
}

}  // namespace dottrack
