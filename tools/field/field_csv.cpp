#include "tools/field/field_program.h"

#include <cmath>

#include "output/output.h"

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

}  // namespace

const char* const dotsCsvHeader =
    "frame,dot,state,x,y,disp_x,disp_y,exx,eyy,exy,rotation_deg,area_ratio\n";
const char* const fieldMotionCsvHeader =
    "frame,dots,inliers,tx,ty,rotation_deg,scale,shear_1,shear_2,rms\n";

void formatDotRows(long frameIndex, const FieldRun& run, std::string& rows) {
    rows.clear();
    const FieldResult& result = run.result;
    for (std::size_t dot = 0; dot < result.dotCount(); ++dot) {
        if (!isListed(run.links, dot)) {
            continue;
        }
        appendNumber(frameIndex, rows);
        rows += ',';
        appendNumber(dot, rows);
        if (!result.found[dot]) {
            rows += ",lost,,,,,,,,,\n";
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
        rows += '\n';
    }
}

void formatFieldMotionRow(long frameIndex, const SurfaceMotion& motion, std::string& row) {
    row.clear();
    appendNumber(frameIndex, row);
    appendMotionFields(motion, row);
    row += '\n';
}

}  // namespace dottrack
