#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tools/field/field_view.h"

namespace dottrack {

namespace {

constexpr int font = cv::FONT_HERSHEY_SIMPLEX;
const cv::Scalar textColour(255, 255, 255);
const cv::Scalar quietTextColour(200, 200, 200);
// What is left of the frame's light behind a legend's box.
constexpr double boxLight = 0.3;
// The colour bar's height as a share of the frame's, and its ticks.
constexpr double barHeightShare = 0.3;
constexpr int barTicks = 5;
// About how long the arrows' scale bar is drawn, in lines of text.
constexpr double scaleBarLines = 3.5;
constexpr int readoutLines = 3;

cv::Size textSize(const std::string& text, const LegendLayout& layout) {
    int baseline = 0;
    return cv::getTextSize(text, font, layout.fontScale, layout.thickness, &baseline);
}

// Writes `text` with its baseline's left end at `at`.
void writeText(cv::Mat& view, const std::string& text, cv::Point at, const LegendLayout& layout,
               const cv::Scalar& colour = textColour) {
    cv::putText(view, text, at, font, layout.fontScale, colour, layout.thickness, cv::LINE_AA);
}

// Darkens the part of `box` inside the view, for the text to stand out.
void darkenBox(cv::Mat& view, cv::Rect box) {
    cv::Mat area = view(box & cv::Rect(0, 0, view.cols, view.rows));
    area.convertTo(area, -1, boxLight);
}

// The decimals that write every multiple of `step` exactly.
int decimalsFor(double step) {
    int decimals = 0;
    for (double scaled = step; decimals < 9; scaled *= 10, ++decimals) {
        if (std::abs(scaled - std::round(scaled)) < 1e-6 * scaled) {
            break;
        }
    }
    return decimals;
}

std::string formatTick(double value, int decimals, bool signed_) {
    char text[32];
    std::snprintf(text, sizeof text, signed_ && value > 0 ? "+%.*f" : "%.*f", decimals, value);
    return text;
}

}  // namespace

LegendLayout layoutFor(int rows) {
    const double unit = std::max(rows / 720.0, 0.85);
    return {0.5 * unit, unit >= 1.4 ? 2 : 1, cvRound(24 * unit), cvRound(12 * unit),
            cvRound(10 * unit)};
}

void drawColourBar(cv::Mat& view, const QuantityStyle& style, double range,
                   double arrowMagnification, const char* lengthUnit, double unitsPerPixel) {
    const LegendLayout layout = layoutFor(view.rows);
    const int barWidth = layout.lineHeight * 3 / 4;
    const int barHeight = cvRound(view.rows * barHeightShare);

    // Ticks top to bottom, and the widest label.
    const double low = style.diverging ? style.centre - range : 0.0;
    const double step = (style.diverging ? 2 * range : range) / (barTicks - 1);
    const int decimals = decimalsFor(step);
    const bool signedTicks = style.diverging && style.centre == 0.0;
    std::string ticks[barTicks];
    int tickWidth = 0;
    for (int i = 0; i < barTicks; ++i) {
        ticks[i] = formatTick(low + (barTicks - 1 - i) * step, decimals, signedTicks);
        tickWidth = std::max(tickWidth, textSize(ticks[i], layout).width);
    }

    // The arrows' scale: a round length whose bar is a few lines of text long.
    const double barLength =
        roundDownNicely(scaleBarLines * layout.lineHeight / arrowMagnification * unitsPerPixel);
    const int barPixels = cvRound(barLength / unitsPerPixel * arrowMagnification);
    char arrowsLabel[48], lengthLabel[48];
    std::snprintf(arrowsLabel, sizeof arrowsLabel, "arrows x %g", arrowMagnification);
    std::snprintf(lengthLabel, sizeof lengthLabel, "%g %s", barLength, lengthUnit);

    const std::string unit = style.unit ? style.unit : lengthUnit;
    const int contentWidth =
        std::max({textSize(style.title, layout).width, barWidth + layout.padding + tickWidth,
                  textSize(arrowsLabel, layout).width,
                  barPixels + layout.padding + textSize(lengthLabel, layout).width});
    const int boxWidth = contentWidth + 2 * layout.padding;
    const int boxHeight = 2 * layout.padding + 4 * layout.lineHeight + barHeight;
    const cv::Rect box(view.cols - layout.margin - boxWidth, layout.margin, boxWidth, boxHeight);
    darkenBox(view, box);

    const int left = box.x + layout.padding;
    int baseline = box.y + layout.padding + layout.lineHeight * 3 / 4;
    writeText(view, style.title, {left, baseline}, layout);
    baseline += layout.lineHeight;
    writeText(view, unit, {left, baseline}, layout, quietTextColour);

    const int barTop = baseline + layout.lineHeight / 2;
    const cv::Vec3b* palette = paletteOf(style.diverging);
    for (int y = 0; y < barHeight; ++y) {
        const cv::Vec3b colour = palette[cvRound(255.0 * (barHeight - 1 - y) / (barHeight - 1))];
        cv::Mat line =
            view(cv::Rect(left, barTop + y, barWidth, 1) & cv::Rect(0, 0, view.cols, view.rows));
        line.setTo(cv::Scalar(colour[0], colour[1], colour[2]));
    }
    const int textMiddle = textSize("0", layout).height / 2;
    for (int i = 0; i < barTicks; ++i) {
        const int y = barTop + cvRound((barHeight - 1) * i / (barTicks - 1.0));
        cv::line(view, {left + barWidth, y}, {left + barWidth + layout.padding / 2, y}, textColour,
                 layout.thickness);
        writeText(view, ticks[i], {left + barWidth + layout.padding, y + textMiddle}, layout);
    }

    baseline = barTop + barHeight + layout.lineHeight;
    writeText(view, arrowsLabel, {left, baseline}, layout);
    baseline += layout.lineHeight;
    const int barY = baseline - textMiddle;
    const int tickHeight = layout.lineHeight / 4;
    cv::line(view, {left, barY}, {left + barPixels, barY}, textColour, layout.thickness + 1,
             cv::LINE_AA);
    for (const int x : {left, left + barPixels}) {
        cv::line(view, {x, barY - tickHeight}, {x, barY + tickHeight}, textColour, layout.thickness,
                 cv::LINE_AA);
    }
    writeText(view, lengthLabel, {left + barPixels + layout.padding, baseline}, layout);
}

void drawMotionReadout(cv::Mat& view, const FieldViewInput& input, int dotsFound) {
    const LegendLayout layout = layoutFor(view.rows);
    const SurfaceMotion* motion = input.motion;
    const bool fitted = motion && motion->fitted;
    const double unitScale = input.unitsPerPixel;
    const char* unit = input.lengthUnit;
    char lines[readoutLines][128];
    int lineCount = 0;
    if (dotsFound == 0) {
        std::snprintf(lines[lineCount++], 128, "frame %lld   no dots",
                      static_cast<long long>(input.frameIndex));
    } else if (fitted) {
        std::snprintf(lines[lineCount++], 128, "frame %lld   dots %d   in the fit %d",
                      static_cast<long long>(input.frameIndex), dotsFound, motion->inliers);
    } else {
        std::snprintf(lines[lineCount++], 128, "frame %lld   dots %d",
                      static_cast<long long>(input.frameIndex), dotsFound);
    }
    if (fitted) {
        std::snprintf(lines[lineCount++], 128, "shift x %+.3f %s   y %+.3f %s   rms %.3f %s",
                      motion->tx * unitScale, unit, motion->ty * unitScale, unit,
                      motion->rms * unitScale, unit);
        std::snprintf(lines[lineCount++], 128, "rotation %+.4f deg   scale %.5f",
                      motion->rotationDeg, motion->scale);
    } else if (dotsFound > 0) {
        std::snprintf(lines[lineCount++], 128, "no fit");
    }

    int width = 0;
    for (int i = 0; i < lineCount; ++i) {
        width = std::max(width, textSize(lines[i], layout).width);
    }
    const cv::Rect box(layout.margin, layout.margin, width + 2 * layout.padding,
                       lineCount * layout.lineHeight + 2 * layout.padding - layout.lineHeight / 4);
    darkenBox(view, box);
    for (int i = 0; i < lineCount; ++i) {
        writeText(view, lines[i],
                  {box.x + layout.padding,
                   box.y + layout.padding + layout.lineHeight * 3 / 4 + i * layout.lineHeight},
                  layout);
    }
}

}  // namespace dottrack
