#include "python/field_result.h"

#include <cstdint>
#include <string>
#include <utility>

namespace py = pybind11;

namespace dottrack {

namespace {

// The listed dots' points of `points` as an N x 2 float64 array.
py::array_t<double> listedPoints(const FieldRun& run, const std::vector<cv::Point2d>& points,
                                 py::ssize_t listed) {
    py::array_t<double> array({listed, py::ssize_t{2}});
    auto at = array.mutable_unchecked<2>();
    py::ssize_t row = 0;
    for (std::size_t dot = 0; dot < run.result.dotCount(); ++dot) {
        if (isListed(run.links, dot)) {
            at(row, 0) = points[dot].x;
            at(row, 1) = points[dot].y;
            ++row;
        }
    }
    return array;
}

}  // namespace

FieldFrameResult makeFieldFrameResult(const FieldRun& run) {
    const FieldResult& measured = run.result;
    py::ssize_t listed = 0;
    for (std::size_t dot = 0; dot < measured.dotCount(); ++dot) {
        listed += isListed(run.links, dot) ? 1 : 0;
    }
    py::array_t<std::int64_t> dots(listed);
    py::array_t<bool> found(listed);
    py::array_t<float> centres({listed, py::ssize_t{2}});
    py::array_t<float> displacements({listed, py::ssize_t{2}});
    py::array_t<double> strain({listed, py::ssize_t{3}});
    py::array_t<double> rotation(listed);
    py::array_t<double> areaRatio(listed);
    auto dotsAt = dots.mutable_unchecked<1>();
    auto foundAt = found.mutable_unchecked<1>();
    auto centresAt = centres.mutable_unchecked<2>();
    auto displacementsAt = displacements.mutable_unchecked<2>();
    auto strainAt = strain.mutable_unchecked<2>();
    auto rotationAt = rotation.mutable_unchecked<1>();
    auto areaRatioAt = areaRatio.mutable_unchecked<1>();
    py::ssize_t row = 0;
    for (std::size_t dot = 0; dot < measured.dotCount(); ++dot) {
        if (!isListed(run.links, dot)) {
            continue;
        }
        dotsAt(row) = static_cast<std::int64_t>(dot);
        foundAt(row) = measured.found[dot] != 0;
        centresAt(row, 0) = measured.centres[dot].x;
        centresAt(row, 1) = measured.centres[dot].y;
        displacementsAt(row, 0) = measured.displacements[dot].x;
        displacementsAt(row, 1) = measured.displacements[dot].y;
        strainAt(row, 0) = measured.exx[dot];
        strainAt(row, 1) = measured.eyy[dot];
        strainAt(row, 2) = measured.exy[dot];
        rotationAt(row) = measured.rotationDeg[dot];
        areaRatioAt(row) = measured.areaRatio[dot];
        ++row;
    }
    FieldFrameResult result;
    result.dots = std::move(dots);
    result.found = std::move(found);
    result.centres = std::move(centres);
    result.displacements = std::move(displacements);
    result.strain = std::move(strain);
    result.rotation = std::move(rotation);
    result.areaRatio = std::move(areaRatio);
    const bool scaled = measured.mmPerPx > 0;
    result.centresMm =
        scaled ? py::object(listedPoints(run, measured.idealCentresMm, listed)) : py::none();
    result.displacementsMm =
        scaled ? py::object(listedPoints(run, measured.displacementsMm, listed)) : py::none();
    result.motion = py::none();
    if (measured.motion.fitted) {
        FieldFrameMotion motion;
        static_cast<SurfaceMotion&>(motion) = measured.motion;
        motion.txMm = scaled ? py::object(py::float_(measured.txMm)) : py::none();
        motion.tyMm = scaled ? py::object(py::float_(measured.tyMm)) : py::none();
        result.motion = py::cast(std::move(motion));
    }
    return result;
}

void bindFieldResult(py::module_& module) {
    py::class_<FieldFrameMotion, SurfaceMotion>(
        module, "FieldMotion",
        "A field's Motion: through a camera, of the centres with its lens taken out; with a "
        "scale, its translation in mm too.")
        .def_readonly("tx_mm", &FieldFrameMotion::txMm,
                      "tx in mm on the surface; None without a scale")
        .def_readonly("ty_mm", &FieldFrameMotion::tyMm,
                      "ty in mm on the surface; None without a scale");

    py::class_<FieldFrameResult>(
        module, "FieldResult",
        "One frame of a field measurement: a row for every dot the outputs list, found in this "
        "frame or lost (known from before, not found now), in increasing number; the rows "
        "dottrack-field writes to dots.csv for the frame. Each array is the result's own copy.")
        .def_readonly("dots", &FieldFrameResult::dots,
                      "N int64: the dots' numbers, each a dot's for the whole run")
        .def_readonly("found", &FieldFrameResult::found, "N bool: whether the dot was found")
        .def_readonly("centres", &FieldFrameResult::centres,
                      "N x 2 float32: the dot's centre (x right, y down, px), NaN when lost")
        .def_readonly("displacements", &FieldFrameResult::displacements,
                      "N x 2 float32: the centre minus the dot's reference position, NaN when "
                      "lost; through a camera, of the centres with its lens taken out")
        .def_readonly("strain", &FieldFrameResult::strain,
                      "N x 3 float64: the Green-Lagrange strain exx, eyy, exy (tensor parts) "
                      "from the reference, fitted to the dot's neighbours; NaN where too few "
                      "neighbours were found to fit it")
        .def_readonly("rotation", &FieldFrameResult::rotation,
                      "N float64: the local rotation in degrees, +x turning towards +y "
                      "(clockwise on screen); NaN likewise")
        .def_readonly("area_ratio", &FieldFrameResult::areaRatio,
                      "N float64: the local area now over that in the reference; NaN likewise")
        .def_readonly("motion", &FieldFrameResult::motion,
                      "the surface's FieldMotion from the reference, fitted over the dots found; "
                      "None when not fitted")
        .def_readonly("centres_mm", &FieldFrameResult::centresMm,
                      "N x 2 float64: with a scale, each dot's position on the surface in mm "
                      "(through a camera, where a lens without distortion would show it, times "
                      "the scale), NaN when lost; None without a scale")
        .def_readonly("displacements_mm", &FieldFrameResult::displacementsMm,
                      "N x 2 float64: with a scale, the displacements in mm, NaN when lost; "
                      "None without a scale")
        .def("__repr__", [](const FieldFrameResult& result) {
            const auto found = result.found.cast<py::array_t<bool>>();
            py::ssize_t count = 0;
            for (py::ssize_t i = 0; i < found.size(); ++i) {
                count += found.at(i) ? 1 : 0;
            }
            return "<FieldResult: " + std::to_string(found.size()) + " dots, " +
                   std::to_string(count) + " found, motion " +
                   (result.motion.is_none() ? "not fitted" : "fitted") + ">";
        });
}

}  // namespace dottrack
