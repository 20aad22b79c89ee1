#include "python/pass_result.h"

#include <cstring>
#include <string>
#include <vector>

namespace py = pybind11;

namespace dottrack {

namespace {

static_assert(sizeof(cv::Point2f) == 2 * sizeof(float), "a point is two packed floats");

// The points as an n x 2 float32 array, bit for bit.
py::array pointArray(const std::vector<cv::Point2f>& points) {
    py::array_t<float> array({static_cast<py::ssize_t>(points.size()), py::ssize_t{2}});
    if (!points.empty()) {
        std::memcpy(array.mutable_data(), points.data(), points.size() * sizeof(cv::Point2f));
    }
    return std::move(array);
}

py::array indexArray(const std::vector<int>& indices) {
    py::array_t<int> array(static_cast<py::ssize_t>(indices.size()));
    if (!indices.empty()) {
        std::memcpy(array.mutable_data(), indices.data(), indices.size() * sizeof(int));
    }
    return std::move(array);
}

std::string describeMotion(const SurfaceMotion& motion) {
    return "Motion(tx=" + std::to_string(motion.tx) + ", ty=" + std::to_string(motion.ty) +
           ", rotation_deg=" + std::to_string(motion.rotationDeg) +
           ", scale=" + std::to_string(motion.scale) +
           ", shear_1=" + std::to_string(motion.shear1) +
           ", shear_2=" + std::to_string(motion.shear2) + ", rms=" + std::to_string(motion.rms) +
           ", markers=" + std::to_string(motion.markers) +
           ", inliers=" + std::to_string(motion.inliers) + ")";
}

}  // namespace

PassResult makePassResult(const TrackState& state, const Measurement& measurement) {
    PassResult result;
    result.targets = pointArray(state.targets);
    result.ref = pointArray(state.refMarkers);
    result.markers = pointArray(state.markers);
    result.assignment = indexArray(state.assignment);
    result.centres = pointArray(measurement.centres);
    result.displacements = pointArray(measurement.displacements);
    result.motion = measurement.motion.fitted ? py::cast(measurement.motion) : py::none();
    return result;
}

void bindPassResult(py::module_& module) {
    py::class_<SurfaceMotion>(module, "Motion",
                              "The surface's motion in one pass or field frame: the affine map "
                              "from the markers' seeding centres (a field's dots' reference "
                              "positions) to their current centres (x right, y down, pixels).")
        .def_readonly("tx", &SurfaceMotion::tx,
                      "motion of the centroid of the seeding centres (a field's reference dots), x")
        .def_readonly("ty", &SurfaceMotion::ty,
                      "motion of the centroid of the seeding centres (a field's reference dots), y")
        .def_readonly("rotation_deg", &SurfaceMotion::rotationDeg,
                      "degrees; positive turns +x towards +y (clockwise on screen)")
        .def_readonly("scale", &SurfaceMotion::scale, "above 1 the field spreads")
        .def_readonly("shear_1", &SurfaceMotion::shear1,
                      "(P11 - P22) / 2 scale, where the map's linear part is R(rotation) P, P "
                      "symmetric")
        .def_readonly("shear_2", &SurfaceMotion::shear2, "P12 / scale")
        .def_readonly("rms", &SurfaceMotion::rms, "RMS residual of the inliers, pixels")
        .def_readonly("markers", &SurfaceMotion::markers,
                      "markers with a centre now and at seeding")
        .def_property_readonly(
            "dots", [](const SurfaceMotion& motion) { return motion.markers; },
            "a field's dots with a centre now and in the reference: the same count as markers")
        .def_readonly("inliers", &SurfaceMotion::inliers, "markers (a field's dots) the fit kept")
        .def("__repr__", &describeMotion);

    py::class_<PassResult>(module, "PassResult",
                           "One pass: the frame's targets and every marker's positions, as "
                           "numpy arrays, and the surface's motion.")
        .def_readonly("targets", &PassResult::targets, "30 x 2 float32: the frame's targets")
        .def_readonly("ref", &PassResult::ref, "30 x 2 float32: the markers' reference positions")
        .def_readonly("markers", &PassResult::markers,
                      "30 x 2 float32: the markers' tracked positions")
        .def_readonly("assignment", &PassResult::assignment,
                      "30 int32: the target each marker holds, -1 for none")
        .def_readonly("centres", &PassResult::centres,
                      "30 x 2 float32: the centre of the dot each marker holds, NaN for none")
        .def_readonly("displacements", &PassResult::displacements,
                      "30 x 2 float32: each centre minus the marker's seeding centre, NaN for "
                      "none")
        .def_readonly("motion", &PassResult::motion,
                      "the surface's Motion, or None when the pass has no fit")
        .def("__repr__", [](const PassResult& result) {
            const auto held = result.assignment.cast<py::array_t<int>>();
            int holding = 0;
            for (py::ssize_t i = 0; i < held.size(); ++i) {
                holding += held.at(i) >= 0 ? 1 : 0;
            }
            return "<PassResult: " + std::to_string(held.size()) + " markers, " +
                   std::to_string(holding) + " holding a target, motion " +
                   (result.motion.is_none() ? "not fitted" : "fitted") + ">";
        });
}

}  // namespace dottrack
