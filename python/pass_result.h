#pragma once
// What one pass gives Python: numpy copies of the positions the export writes, and the
// surface's motion.

#include <pybind11/numpy.h>

#include "measure/measure.h"
#include "pipeline/pipeline.h"

namespace dottrack {

struct PassResult {
    pybind11::array targets;        // targets x 2, float32
    pybind11::array ref;            // markers x 2, float32: the reference positions
    pybind11::array markers;        // markers x 2, float32: the tracked positions
    pybind11::array assignment;     // markers, int32: the target each holds, -1 for none
    pybind11::array centres;        // markers x 2, float32, NaN for none
    pybind11::array displacements;  // markers x 2, float32, NaN for none
    pybind11::object motion;        // a SurfaceMotion, or None when the pass has no fit
};

// The result of the pass that `state` and `measurement` hold. Needs the GIL.
PassResult makePassResult(const TrackState& state, const Measurement& measurement);

// Declares PassResult and SurfaceMotion (as `Motion`) in `module`.
void bindPassResult(pybind11::module_& module);

}  // namespace dottrack
