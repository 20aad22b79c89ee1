#include "measure/measure.h"
#include "output/output.h"

namespace dottrack {

void appendMotionFields(const SurfaceMotion& motion, std::string& text) {
    text += ',';
    appendNumber(motion.markers, text);
    text += ',';
    appendNumber(motion.fitted ? motion.inliers : 0, text);
    for (const double value : {motion.tx, motion.ty, motion.rotationDeg, motion.scale,
                               motion.shear1, motion.shear2, motion.rms}) {
        text += ',';
        if (motion.fitted) {
            appendNumber(value, text);
        }
    }
}

}  // namespace dottrack
