#include "camera/camera.h"

namespace dottrack {

const std::map<std::string, PatternKind>& patternKindNames() {
    static const std::map<std::string, PatternKind> names = {
        {"circles", PatternKind::circles},
        {"acircles", PatternKind::acircles},
        {"chessboard", PatternKind::chessboard}};
    return names;
}

std::vector<cv::Point3f> patternPoints(const CalibrationPattern& pattern) {
    std::vector<cv::Point3f> points;
    const float step = static_cast<float>(pattern.spacing);
    for (int i = 0; i < pattern.grid.height; ++i) {
        for (int j = 0; j < pattern.grid.width; ++j) {
            const int column = pattern.kind == PatternKind::acircles ? 2 * j + i % 2 : j;
            points.emplace_back(static_cast<float>(column) * step, static_cast<float>(i) * step,
                                0.0F);
        }
    }
    return points;
}

}  // namespace dottrack
