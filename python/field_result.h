#pragma once
// What one field frame gives Python: numpy copies of the numbers the field's outputs list for
// each dot, and the surface's motion.

#include <pybind11/numpy.h>

#include "field/field.h"

namespace dottrack {

// A field's motion, and its translation in mm with a scale.
struct FieldFrameMotion : SurfaceMotion {
    pybind11::object txMm, tyMm;  // float, or None without a scale
};

struct FieldFrameResult {
    pybind11::array dots;           // N, int64: the numbers of the dots listed, increasing
    pybind11::array found;          // N, bool
    pybind11::array centres;        // N x 2, float32, NaN when lost
    pybind11::array displacements;  // N x 2, float32, NaN when lost
    pybind11::array strain;         // N x 3, float64: exx, eyy, exy; NaN where none
    pybind11::array rotation;       // N, float64, degrees; NaN where none
    pybind11::array areaRatio;      // N, float64; NaN where none
    pybind11::object motion;        // a FieldFrameMotion, or None when not fitted
    // With a scale, N x 2 float64 (NaN when lost): the ideal centres and the displacements
    // in mm; None without one.
    pybind11::object centresMm, displacementsMm;
};

// The result of the last frame that `run` measured, for the dots its outputs list. Needs the
// GIL.
FieldFrameResult makeFieldFrameResult(const FieldRun& run);

// Declares FieldFrameResult (as `FieldResult`) in `module`, after bindPassResult.
void bindFieldResult(pybind11::module_& module);

}  // namespace dottrack
