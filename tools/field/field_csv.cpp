#include <cmath>

#include "output/output.h"
#include "tools/field/field_program.h"

namespace dottrack {

namespace {

// Appends a comma and the value, or the comma alone when the value does not exist.
template <typename Number>
void appendField(Number value, std::string& text) {
    text += ',';
    if (!std::isnan(value)) {
        appendNumber(value, text);
    }
}

// The fields of a lost dot, after its state; and those of its millimetres.
const char* const lostFields = ",,,,,,,,,";
const char* const lostMmFields = ",,,,";

}  // namespace

const char* const dotsCsvHeader =
    "frame,dot,state,x,y,disp_x,disp_y,exx,eyy,exy,rotation_deg,area_ratio\n";
const char* const dotsCsvHeaderMm =
    "frame,dot,state,x,y,disp_x,disp_y,exx,eyy,exy,rotation_deg,area_ratio,"
    "x_mm,y_mm,disp_x_mm,disp_y_mm\n";
const char* const fieldMotionCsvHeader =
    "frame,dots,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms\n";
const char* const fieldMotionCsvHeaderMm =
    "frame,dots,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms,tx_mm,ty_mm\n";

void formatDotRows(long frameIndex, const FieldRun& run, bool millimetres, std::string& rows) {
    rows.clear();
    const FieldResult& result = run.result;
    // The scale is set by the reference frame; until it is known the millimetres are empty.
    const bool scaled = millimetres && result.mmPerPx > 0;
    for (std::size_t dot = 0; dot < result.dotCount(); ++dot) {
        if (!isListed(run.links, dot)) {
            continue;
        }
        appendNumber(frameIndex, rows);
        rows += ',';
        appendNumber(dot, rows);
        if (!result.found[dot]) {
            rows += ",lost";
            rows += lostFields;
            if (millimetres) {
                rows += lostMmFields;
            }
            rows += '\n';
            continue;
        }
        rows += ",found";
        for (const float value : {result.centres[dot].x, result.centres[dot].y,
                                  result.displacements[dot].x, result.displacements[dot].y}) {
            appendField(value, rows);
        }
        for (const std::vector<double>* values :
             {&result.exx, &result.eyy, &result.exy, &result.rotationDeg, &result.areaRatio}) {
            appendField((*values)[dot], rows);
        }
        if (scaled) {
            const cv::Point2d position = result.idealCentresMm[dot];
            const cv::Point2d displacement = result.displacementsMm[dot];
            for (const double value : {position.x, position.y, displacement.x, displacement.y}) {
                appendField(value, rows);
            }
        } else if (millimetres) {
            rows += lostMmFields;
        }
        rows += '\n';
    }
}

void formatFieldMotionRow(long frameIndex, const FieldResult& result, bool millimetres,
                          std::string& row) {
    const SurfaceMotion& motion = result.motion;
    row.clear();
    appendNumber(frameIndex, row);
    appendMotionFields(motion, row);
    if (millimetres) {
        // NaN, and so empty, without a fit or before the scale is known.
        appendField(result.txMm, row);
        appendField(result.tyMm, row);
    }
    row += '\n';
}

}  // namespace dottrack
