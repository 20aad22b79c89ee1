#pragma once
// Simulated scenes for the field's linking: a jittered grid of dots on a surface that slides,
// turns, stretches or swells, partly covered or out of view, seen through a finder that
// misses some dots and adds false centres; the truth of every centre.

#include <functional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace dottrack {

// A surface of dots and how it moves in front of the camera.
struct Scene {
    std::string name;
    cv::Size view;
    double pitch = 44, radius = 8, jitter = 0.12;  // px, px, pitches
    int frames = 0;
    std::function<cv::Matx23d(int)> map;  // surface (= image at rest) -> image, per frame
    // A swelling before the map, per frame: p -> c + (p - c)(1 + a exp(-|p - c|^2 / w^2)).
    std::function<double(int)> swell;
    cv::Point2d swellCentre;
    double swellWidth = 1;
    cv::Point2d blobCentre;  // a cover, in the image
    double blobRadius = 0;
    int blobFrom = 0, blobTo = 0;
    int blackFrom = 0, blackTo = 0;  // frames without any centre
};

// What the finder gets wrong, per frame: its noise (px, per coordinate), the share of the
// dots it misses and of false centres it adds.
struct FinderFaults {
    double noise = 0.02;
    double missRate = 0.005;
    double falseRate = 0.001;
};

// The scenes the README reports, the fast slide at `slideSpeed` pitches a frame.
std::vector<Scene> fieldScenes(double slideSpeed);

// A field of about `dots` dots in view, turning, stretching and drifting slowly.
Scene costScene(int dots);

// One frame as the finder gives it, and its truth.
struct SimulatedFrame {
    std::vector<cv::Point2f> centres;    // in no order
    std::vector<int> dotOfCentre;        // per centre: its dot, -1 for a false centre
    std::vector<cv::Point2d> positions;  // per dot: where it is
    std::vector<cv::Matx22d> gradients;  // per dot: the gradient of surface -> image there
};

// The dots of a scene, on its surface, and the frames the finder makes of them.
class SceneSimulator {
public:
    SceneSimulator(const Scene& scene, const FinderFaults& faults, unsigned seed);
    std::size_t dotCount() const { return surface_.size(); }
    // Frame `frame` of the scene.
    void simulate(int frame, SimulatedFrame& out);

private:
    Scene scene_;
    FinderFaults faults_;
    std::mt19937 random_;
    std::vector<cv::Point2d> surface_;
};

}  // namespace dottrack
