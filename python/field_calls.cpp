#include "python/field_calls.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/numpy.h>

#include <opencv2/core.hpp>

#include "field/field.h"
#include "pipeline/pipeline.h"
#include "python/field_result.h"
#include "python/module_support.h"
#include "python/numpy_frame.h"
#include "video/video.h"

namespace py = pybind11;

namespace dottrack {

namespace {

const char* const fieldBusy =
    "already measuring a frame in another thread: give each thread its own Field";

// A field measurement on frames handed over one at a time; the first one measured is the
// reference.
class Field {
public:
    explicit Field(const FieldUnits& units) { measurement_.units = units; }

    // Measures a numpy frame and gives its result.
    FieldFrameResult process(const py::object& frame) {
        PixelLayout layout;
        std::string problem = readFieldPixelLayout(frame, layout);
        if (!problem.empty()) {
            throw py::value_error(problem);
        }
        const BusyCall call(busy_, fieldBusy);
        {
            const py::gil_scoped_release released;
            problem = measure(frameAt(layout, copy_));
        }
        if (!problem.empty()) {
            throw py::value_error(problem);
        }
        return result();
    }

    // Measures a frame; returns why it cannot be measured, the run unchanged. Needs no GIL.
    std::string measure(const cv::Mat& frame) { return measureFieldFrame(frame, measurement_); }

    FieldFrameResult result() const { return makeFieldFrameResult(measurement_.run); }

    std::int64_t frames() const { return measurement_.frames; }

private:
    FieldMeasurement measurement_;
    cv::Mat copy_;  // frames whose rows are not packed pixels are copied here
    bool busy_ = false;
};

// A scale's argument: 0 for None. Raises TypeError or ValueError.
double readScale(const py::object& value, const char* name) {
    if (value.is_none()) {
        return 0;
    }
    if (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value)) {
        throw py::type_error(std::string(name) + " must be a number or None, not " +
                             std::string(py::str(value.get_type().attr("__name__"))));
    }
    const double number = value.cast<double>();
    if (!(number > 0 && std::isfinite(number))) {
        throw py::value_error(std::string(name) + " must be a positive number, or None");
    }
    return number;
}

// The camera and the scale that the arguments give. Raises ValueError for a scale given
// twice, OSError for a camera file that cannot be read or lacks a field.
FieldUnits readUnits(const py::object& camera, const py::object& pitch, const py::object& mmPerPx) {
    const double pitchMm = readScale(pitch, "pitch");
    const double scale = readScale(mmPerPx, "mm_per_px");
    FieldUnits units;
    std::string problem = readFieldUnits("", pitchMm, scale, units);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }
    if (!camera.is_none()) {
        problem = readFieldUnits(sourceName(camera), pitchMm, scale, units);
        if (!problem.empty()) {
            raiseOsError(problem);
        }
    }
    return units;
}

// An uninitialised numpy array for a frame of `size` and `type` (8-bit grey or BGR).
py::array_t<std::uint8_t> arrayShaped(cv::Size size, int type) {
    if (CV_MAT_CN(type) == 1) {
        return py::array_t<std::uint8_t>({size.height, size.width});
    }
    return py::array_t<std::uint8_t>({size.height, size.width, CV_MAT_CN(type)});
}

// The field measured on every frame of one source.
class FieldSource {
public:
    FieldSource(std::string name, std::int64_t frameLimit, const FieldUnits& units)
        : name_(std::move(name)), frameLimit_(frameLimit), field_(units) {
        std::string problem;
        {
            const py::gil_scoped_release released;
            problem = openReader(name_, FrameChoice::everyFrame, 0, reader_);
        }
        if (!problem.empty()) {
            raiseOsError(problem);
        }
    }

    // The next frame as (frame index, frame, result).
    py::tuple next() {
        if (finished_ || (frameLimit_ > 0 && reader_.taken >= frameLimit_)) {
            finish();
            throw py::stop_iteration();
        }
        const BusyCall call(busy_, fieldBusy);
        // The frame is decoded straight into the array handed to Python when the source keeps
        // its frame size and the back-end writes into the buffer it is given.
        py::array_t<std::uint8_t> pixels;
        if (decodedType_ >= 0) {
            pixels = arrayShaped(decodedSize_, decodedType_);
            read_.frame = cv::Mat(decodedSize_, decodedType_, pixels.mutable_data());
        }
        FrameRead read = FrameRead::runOver;
        std::string problem;
        try {
            const py::gil_scoped_release released;
            read = readNextFrame(reader_, read_);
            if (read == FrameRead::frame) {
                problem = measure(read_.frame);
            }
        } catch (...) {
            finish();
            throw;
        }
        if (read == FrameRead::frame && problem.empty()) {
            decodedSize_ = read_.frame.size();
            decodedType_ = read_.frame.type();
            if (read_.frame.data != pixels.data()) {
                pixels = arrayShaped(decodedSize_, decodedType_);
                read_.frame.copyTo(cv::Mat(decodedSize_, decodedType_, pixels.mutable_data()));
            }
            // The array is Python's from now on: no header on it is kept.
            read_.frame.release();
            return py::make_tuple(read_.index, std::move(pixels), field_.result());
        }
        finish();
        if (read == FrameRead::noFrame) {
            raiseOsError(describeNoFrame(name_, reader_.live, FrameChoice::everyFrame));
        }
        if (!problem.empty()) {
            throw py::value_error(describeFrameProblem(read_.index, name_, problem));
        }
        throw py::stop_iteration();
    }

private:
    // Measures a decoded frame; returns why it cannot be measured.
    std::string measure(const cv::Mat& frame) {
        if (frame.depth() != CV_8U || (frame.channels() != 1 && frame.channels() != 3)) {
            return "it is " + cv::typeToString(frame.type()) + ", but 8-bit grey or BGR is needed";
        }
        return field_.measure(frame);
    }

    // Ends the run and lets a camera go at once.
    void finish() {
        finished_ = true;
        reader_.capture.release();
        read_.frame.release();
    }

    std::string name_;
    std::int64_t frameLimit_ = 0;
    FrameReader reader_;
    SourceFrame read_;
    cv::Size decodedSize_;  // of the last frame measured
    int decodedType_ = -1;  // likewise; -1 before the first
    Field field_;
    bool finished_ = false;
    bool busy_ = false;
};

std::unique_ptr<FieldSource> trackField(const py::object& source, const py::object& frames,
                                        const py::object& camera, const py::object& pitch,
                                        const py::object& mmPerPx) {
    const FieldUnits units = readUnits(camera, pitch, mmPerPx);
    return std::make_unique<FieldSource>(sourceName(source),
                                         readRunLimit(frames, "frames", "the whole source"), units);
}

const char* const fieldDoc = R"(A field measurement on frames handed over one at a time.

Finds every dark dot on a light surface in each frame, gives each a number it keeps for the
whole run, and measures every dot's displacement since the reference frame (the first one
with dots), the strain and rotation around it, and the surface's motion: what dottrack-field
writes. One Field per run; create another to start again.

`camera` is the path of a camera file, as dottrack-calibrate writes it: its lens is taken out
of the centres before they are numbered, so that displacements, strain and motion are the
surface's, not the lens's. `pitch` (the dots' spacing on the surface in mm: the scale is that
over the median distance between neighbouring dots of the reference frame) or `mm_per_px`
(the scale itself) give the results their millimetres. Raises ValueError for a scale that is
not a positive number or is given both ways, OSError for a camera file that cannot be read,
does not parse or lacks a field.)";

const char* const processDoc = R"(Measure `frame` and return its FieldResult.

`frame` is a numpy uint8 array, H x W (grey) or H x W x 3 (BGR), of any size; any view of a
larger array will do. Every frame given is measured; the first one with dots is the
reference. The frame is measured without holding the GIL.
Raises ValueError for a frame of the wrong shape or type, of another size than the first
frame, or holding far more dots than can be measured (the run is then unchanged).)";

const char* const trackFieldDoc = R"(Iterate over every frame of a source, measuring the field.

`source` is a video file, an image sequence ("frames/%04d.png"), a camera (0, or
"/dev/video0") or a GStreamer pipeline ending in appsink. Every frame from the first one
read is measured, once through a file (it never starts over); a camera or pipeline runs until
it stops delivering frames. `frames` stops the run after at most that many frames.
Yields (frame_index, frame, FieldResult): the frame's index in the source (0 for the first
frame read), the frame as decoded (a numpy uint8 array, H x W x 3, BGR) and its result.
Raises OSError when the source cannot be opened or holds no frame, ValueError for a frame
that cannot be measured (another size than the first or the camera's, far too many dots); the
run then ends. `camera`, `pitch` and `mm_per_px` are Field's.)";

}  // namespace

void bindFieldCalls(py::module_& module) {
    bindFieldResult(module);

    py::class_<Field>(module, "Field", fieldDoc)
        .def(py::init(
                 [](const py::object& camera, const py::object& pitch, const py::object& mmPerPx) {
                     return std::make_unique<Field>(readUnits(camera, pitch, mmPerPx));
                 }),
             py::arg("camera") = py::none(), py::arg("pitch") = py::none(),
             py::arg("mm_per_px") = py::none())
        .def("process", &Field::process, py::arg("frame"), processDoc)
        .def_property_readonly("frames", &Field::frames, "frames measured so far");

    py::class_<FieldSource>(module, "FieldRun",
                            "The frames of one source, measured; what track_field() returns.")
        .def("__iter__", [](FieldSource& run) -> FieldSource& { return run; })
        .def("__next__", &FieldSource::next);

    module.def("track_field", &trackField, py::arg("source"), py::arg("frames") = py::none(),
               py::arg("camera") = py::none(), py::arg("pitch") = py::none(),
               py::arg("mm_per_px") = py::none(), trackFieldDoc);
}

}  // namespace dottrack
