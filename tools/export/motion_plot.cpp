#include "tools/export/motion_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "present/present.h"

namespace dottrack {

namespace {

constexpr int pictureWidth = 960;
constexpr int titleHeight = 40;
constexpr int panelHeight = 210;
constexpr int panelGap = 24;
constexpr int leftMargin = 80;
constexpr int rightMargin = 24;
constexpr int bottomMargin = 44;
constexpr int ticksWanted = 5;
const cv::Scalar paper(255, 255, 255);
const cv::Scalar ink(40, 40, 40);
const cv::Scalar grid(225, 225, 225);
const cv::Scalar blue(180, 100, 30);
const cv::Scalar orange(20, 120, 240);
const cv::Scalar green(60, 150, 40);
constexpr int font = cv::FONT_HERSHEY_SIMPLEX;
constexpr double labelScale = 0.45;
constexpr double titleScale = 0.6;

struct Series {
    const char* name;
    cv::Scalar colour;
    double (*value)(const MotionSample&);
};

struct Panel {
    const char* title;
    std::vector<Series> series;
};

// A round step of about range / count: 1, 2 or 5 times a power of ten.
double niceStep(double range, int count) {
    const double rough = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

// A tick's label: as few decimals as the step needs.
std::string tickLabel(double value, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::abs(value) < step / 2 ? 0.0 : value);
    return text;
}

void drawLabel(cv::Mat& picture, const std::string& text, cv::Point at, double scale,
               const cv::Scalar& colour, bool alignRight = false, bool centre = false) {
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, font, scale, 1, &baseline);
    if (alignRight) {
        at.x -= size.width;
    } else if (centre) {
        at.x -= size.width / 2;
    }
    cv::putText(picture, text, at, font, scale, colour, 1, cv::LINE_AA);
}

void drawPanel(cv::Mat& picture, const cv::Rect& area, const Panel& panel,
               const std::vector<MotionSample>& samples, std::int64_t lastPass, bool passAxis) {
    // The range of the values, always with 0 in it, and a little room around it.
    double low = 0, high = 0;
    for (const MotionSample& sample : samples) {
        for (const Series& series : panel.series) {
            if (sample.fitted) {
                low = std::min(low, series.value(sample));
                high = std::max(high, series.value(sample));
            }
        }
    }
    if (high - low < 1e-9) {
        high += 1;
        low -= 1;
    }
    const double valueStep = niceStep(high - low, ticksWanted);
    low = std::floor(low / valueStep) * valueStep;
    high = std::ceil(high / valueStep) * valueStep;
    const double passSpan = std::max<std::int64_t>(lastPass, 1);
    const auto toPoint = [&](double pass, double value) {
        return cv::Point2d(area.x + area.width * pass / passSpan,
                           area.y + area.height * (high - value) / (high - low));
    };

    for (double value = low; value <= high + valueStep / 2; value += valueStep) {
        const int y = cvRound(toPoint(0, value).y);
        cv::line(picture, {area.x, y}, {area.br().x, y},
                 std::abs(value) < valueStep / 2 ? ink : grid, 1);
        drawLabel(picture, tickLabel(value, valueStep), {area.x - 8, y + 5}, labelScale, ink, true);
    }
    const double passStep = niceStep(passSpan, 8);
    for (double pass = 0; pass <= passSpan + passStep / 2; pass += passStep) {
        const int x = cvRound(toPoint(pass, 0).x);
        cv::line(picture, {x, area.y}, {x, area.br().y}, grid, 1);
        if (passAxis) {
            drawLabel(picture, tickLabel(pass, passStep), {x, area.br().y + 18}, labelScale, ink,
                      false, true);
        }
    }
    cv::rectangle(picture, area, ink, 1);

    for (const Series& series : panel.series) {
        bool drawingLine = false;
        cv::Point2d previous;
        for (const MotionSample& sample : samples) {
            if (!sample.fitted) {
                drawingLine = false;
                continue;
            }
            const cv::Point2d point =
                toPoint(static_cast<double>(sample.pass), series.value(sample));
            if (drawingLine) {
                cv::line(picture, drawingPoint(previous), drawingPoint(point), series.colour, 2,
                         cv::LINE_AA, subPixelBits);
            }
            previous = point;
            drawingLine = true;
        }
    }

    drawLabel(picture, panel.title, {area.x, area.y - 8}, labelScale, ink);
    // The legend sits right of the title, above the curves.
    int legendX = area.br().x;
    for (auto series = panel.series.rbegin(); series != panel.series.rend(); ++series) {
        int baseline = 0;
        const int width = cv::getTextSize(series->name, font, labelScale, 1, &baseline).width;
        drawLabel(picture, series->name, {legendX - width, area.y - 8}, labelScale, ink);
        cv::line(picture, {legendX - width - 30, area.y - 13}, {legendX - width - 8, area.y - 13},
                 series->colour, 2, cv::LINE_AA);
        legendX -= width + 46;
    }
}

}  // namespace

void addMotionSample(std::int64_t pass, const SurfaceMotion& motion,
                     std::vector<MotionSample>& samples) {
    samples.push_back(
        {pass, motion.fitted, motion.tx, motion.ty, motion.rotationDeg, motion.scale});
}

cv::Mat drawMotionPlot(const std::vector<MotionSample>& samples, const std::string& title) {
    const std::vector<Panel> panels = {
        {"translation of the dot field's centroid (px)",
         {{"tx (right)", blue, [](const MotionSample& s) { return s.tx; }},
          {"ty (down)", orange, [](const MotionSample& s) { return s.ty; }}}},
        {"rotation (degrees, + is clockwise on screen)",
         {{"rotation", green, [](const MotionSample& s) { return s.rotationDeg; }}}},
        {"scale change (%, + is spreading)",
         {{"100 (scale - 1)", blue,
           [](const MotionSample& s) { return 100.0 * (s.scale - 1.0); }}}},
    };
    const int height =
        titleHeight + static_cast<int>(panels.size()) * (panelHeight + panelGap) + bottomMargin;
    cv::Mat picture(height, pictureWidth, CV_8UC3, paper);
    int fitted = 0;
    for (const MotionSample& sample : samples) {
        fitted += sample.fitted ? 1 : 0;
    }
    char heading[256];
    std::snprintf(heading, sizeof heading, "Surface motion of %s: %zu passes, %d with a fit",
                  title.c_str(), samples.size(), fitted);
    drawLabel(picture, heading, {leftMargin, 26}, titleScale, ink);
    const std::int64_t lastPass = samples.empty() ? 0 : samples.back().pass;
    for (std::size_t i = 0; i < panels.size(); ++i) {
        const cv::Rect area(leftMargin,
                            titleHeight + panelGap + static_cast<int>(i) * (panelHeight + panelGap),
                            pictureWidth - leftMargin - rightMargin, panelHeight - panelGap);
        drawPanel(picture, area, panels[i], samples, lastPass, i + 1 == panels.size());
    }
    drawLabel(picture, "pass",
              {leftMargin + (pictureWidth - leftMargin - rightMargin) / 2, height - 8}, labelScale,
              ink, false, true);
    return picture;
}

}  // namespace dottrack
