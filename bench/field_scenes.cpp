#include "bench/field_scenes.h"

#include <algorithm>
#include <cmath>

namespace dottrack {

namespace {

// A false centre keeps this far from every dot, in view or not (in pitches): nearer, it
// would be that dot, seen in part.
constexpr double falseClearance = 0.3;
// Dots this many pitches beyond the view on every side, to come into it.
constexpr int marginPitches = 12;

Scene makeScene(const std::string& name, cv::Size view, double pitch, double radius, int frames,
                std::function<cv::Matx23d(int)> map) {
    Scene scene;
    scene.name = name;
    scene.view = view;
    scene.pitch = pitch;
    scene.radius = radius;
    scene.frames = frames;
    scene.map = std::move(map);
    return scene;
}

// The map that applies `a` about `pivot`, then shifts.
cv::Matx23d about(cv::Point2d pivot, const cv::Matx22d& a, cv::Point2d shift) {
    const cv::Vec2d moved = a * cv::Vec2d(pivot.x, pivot.y);
    return cv::Matx23d(a(0, 0), a(0, 1), pivot.x + shift.x - moved[0], a(1, 0), a(1, 1),
                       pivot.y + shift.y - moved[1]);
}

cv::Matx22d turn(double degrees) {
    const double r = degrees * CV_PI / 180, c = std::cos(r), s = std::sin(r);
    return cv::Matx22d(c, -s, s, c);
}

// From 0 up to 1 over `rise` frames after `start`, held for `hold`, and back as fast.
double ramp(int frame, int start, int rise, int hold) {
    const int t = frame - start;
    if (t <= rise) {
        return std::max(0.0, static_cast<double>(t) / rise);
    }
    return t <= rise + hold ? 1 : std::max(0.0, 1.0 - static_cast<double>(t - rise - hold) / rise);
}

cv::Point2d mapped(const cv::Matx23d& m, cv::Point2d p) {
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

// Where `scene` takes surface point `p` in `frame`, and the gradient of that map there.
cv::Point2d place(const Scene& scene, int frame, cv::Point2d p, cv::Matx22d& gradient) {
    const cv::Matx23d m = scene.map(frame);
    gradient = cv::Matx22d(m(0, 0), m(0, 1), m(1, 0), m(1, 1));
    if (!scene.swell) {
        return mapped(m, p);
    }
    const double a = scene.swell(frame), w2 = scene.swellWidth * scene.swellWidth;
    const cv::Point2d d = p - scene.swellCentre;
    const double g = std::exp(-d.dot(d) / w2);
    gradient =
        gradient * (cv::Matx22d::eye() * (1 + a * g) -
                    cv::Matx22d(d.x * d.x, d.x * d.y, d.x * d.y, d.y * d.y) * (2 * a * g / w2));
    return mapped(m, scene.swellCentre + d * (1 + a * g));
}

}  // namespace

std::vector<Scene> fieldScenes(double slideSpeed) {
    const cv::Size hd(1280, 720);
    const cv::Point2d centre(640, 360);
    std::vector<Scene> list;
    list.push_back(makeScene("slow affine", hd, 44, 8, 150, [=](int f) {
        const double t = f / 150.0;
        return about(centre, turn(3 * t) * cv::Matx22d(1 + 0.03 * t, 0.02 * t, 0, 1 - 0.02 * t),
                     {20 * t, -10 * t});
    }));
    // Sudden starts, stops and reversals, along x, y and a diagonal.
    list.push_back(makeScene("fast slide", hd, 44, 8, 90, [=](int f) {
        const double v = slideSpeed * 44, d = v / std::sqrt(2.0);
        const double x = v * 15 * ramp(f, 10, 15, 0) + d * 10 * ramp(f, 60, 10, 0);
        const double y = v * 10 * ramp(f, 40, 10, 0) + d * 10 * ramp(f, 60, 10, 0);
        return about(centre, cv::Matx22d::eye(), {x, y});
    }));
    // About a point in the lower left: the far corner moves 0.4 pitch a frame.
    list.push_back(makeScene("turn off-centre", hd, 44, 8, 70, [=](int f) {
        return about({200, 600}, turn(24 * ramp(f, 5, 30, 5)), {0, 0});
    }));
    list.push_back(makeScene("stretch", hd, 44, 8, 80, [=](int f) {
        const double s = f < 50 ? ramp(f, 5, 40, 40) : std::max(0.0, 1 - (f - 50) / 12.0);
        return about(centre, cv::Matx22d(1 + 0.25 * s, 0, 0, 1 - 0.15 * s), {0, 0});
    }));
    Scene cover = makeScene("cover 30 frames", hd, 44, 8, 90, [=](int f) {
        return about(centre, turn(0.06 * f), {3.0 * f, 1.0 * f});
    });
    cover.blobCentre = {600, 380};
    cover.blobRadius = 140;
    cover.blobFrom = 20;
    cover.blobTo = 50;
    list.push_back(cover);
    list.push_back(makeScene("out of view and back", hd, 44, 8, 90, [=](int f) {
        return about(centre, cv::Matx22d::eye(), {-0.3 * 44 * 32 * ramp(f, 5, 32, 10), 0});
    }));
    // Two frames without a centre (a hand over the lens) during a slide.
    Scene black = makeScene("2 black frames", hd, 44, 8, 60, [=](int f) {
        return about(centre, cv::Matx22d::eye(), {0.12 * 44 * f, 0.05 * 44 * f});
    });
    black.blackFrom = 20;
    black.blackTo = 22;
    list.push_back(black);
    // A swelling in the middle while the field slides a quarter out of view and back: no
    // affine map holds, neither where the strain is fitted nor where new dots are mapped back.
    Scene swell = makeScene("swell, sliding", hd, 44, 8, 90, [=](int f) {
        return about(centre, cv::Matx22d::eye(), {-0.3 * 44 * 24 * ramp(f, 10, 24, 10), 0});
    });
    swell.swell = [](int f) { return 0.08 * ramp(f, 0, 30, 60); };
    swell.swellCentre = {700, 360};
    swell.swellWidth = 300;
    list.push_back(swell);
    list.push_back(makeScene("640 x 480, 22 px", cv::Size(640, 480), 22, 4, 90, [=](int f) {
        return about({320, 240}, turn(8 * ramp(f, 5, 20, 5)),
                     {0.4 * 22 * 10 * ramp(f, 40, 10, 10), 0});
    }));
    return list;
}

Scene costScene(int dots) {
    const int columns = static_cast<int>(std::round(std::sqrt(dots * 16.0 / 9.0)));
    const int rows = static_cast<int>(std::round(dots / static_cast<double>(columns)));
    const cv::Size view(columns * 44, rows * 44);
    const cv::Point2d centre(view.width / 2.0, view.height / 2.0);
    return makeScene(std::to_string(dots) + " dots", view, 44, 8, 60, [=](int f) {
        return about(centre, turn(0.05 * f) * cv::Matx22d(1 + 0.001 * f, 0, 0, 1),
                     {2.0 * f, 1.0 * f});
    });
}

SceneSimulator::SceneSimulator(const Scene& scene, const FinderFaults& faults, unsigned seed)
    : scene_(scene), faults_(faults), random_(seed) {
    std::uniform_real_distribution<double> jitter(-scene.jitter * scene.pitch,
                                                  scene.jitter * scene.pitch);
    const double margin = marginPitches * scene.pitch;
    for (double y = -margin; y < scene.view.height + margin; y += scene.pitch) {
        for (double x = -margin; x < scene.view.width + margin; x += scene.pitch) {
            surface_.emplace_back(x + jitter(random_), y + jitter(random_));
        }
    }
}

void SceneSimulator::simulate(int frame, SimulatedFrame& out) {
    std::normal_distribution<double> noise(0, faults_.noise);
    std::uniform_real_distribution<double> unit(0, 1);
    const Scene& s = scene_;
    const bool covered = frame >= s.blobFrom && frame < s.blobTo;
    const bool black = frame >= s.blackFrom && frame < s.blackTo;
    std::vector<cv::Point2f> centres;
    std::vector<int> dots;
    out.positions.resize(surface_.size());
    out.gradients.resize(surface_.size());
    int visible = 0;
    for (std::size_t j = 0; j < surface_.size(); ++j) {
        const cv::Point2d p = out.positions[j] = place(s, frame, surface_[j], out.gradients[j]);
        const bool inView = p.x >= s.radius && p.y >= s.radius &&
                            p.x <= s.view.width - 1 - s.radius &&
                            p.y <= s.view.height - 1 - s.radius;
        if (!inView || black || (covered && cv::norm(p - s.blobCentre) < s.blobRadius + s.radius)) {
            continue;
        }
        ++visible;
        if (unit(random_) >= faults_.missRate) {
            centres.emplace_back(static_cast<float>(p.x + noise(random_)),
                                 static_cast<float>(p.y + noise(random_)));
            dots.push_back(static_cast<int>(j));
        }
    }
    const int falseCount = std::binomial_distribution<int>(visible, faults_.falseRate)(random_);
    for (int k = 0; k < falseCount; ++k) {
        cv::Point2d p;
        do {
            p = {unit(random_) * s.view.width, unit(random_) * s.view.height};
        } while (std::any_of(out.positions.begin(), out.positions.end(), [&](cv::Point2d dot) {
            return cv::norm(dot - p) < falseClearance * s.pitch;
        }));
        centres.emplace_back(p);
        dots.push_back(-1);
    }
    std::vector<int> order(centres.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<int>(i);
    }
    std::shuffle(order.begin(), order.end(), random_);
    out.centres.clear();
    out.dotOfCentre.clear();
    for (const int i : order) {
        out.centres.push_back(centres[i]);
        out.dotOfCentre.push_back(dots[i]);
    }
}

}  // namespace dottrack
