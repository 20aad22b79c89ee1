// The Python module `dottrack`: the export's passes and the field measurement, run on frames
// held in Python or read from any source the programs accept, each giving its results as
// numpy arrays.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "cli/cli.h"
#include "pipeline/pipeline.h"
#include "python/field_calls.h"
#include "python/module_support.h"
#include "python/numpy_frame.h"
#include "python/pass_result.h"
#include "video/video.h"

namespace py = pybind11;

namespace dottrack {
namespace {

const char* const trackerBusy =
    "already running a pass in another thread: give each thread its own tracker";

// The export's passes on frames handed over one at a time; the first seeds the markers.
class Tracker {
public:
    Tracker() { preparePassRun(run_); }

    // Runs one pass on a numpy frame and gives its result.
    PassResult process(const py::object& frame) {
        PixelLayout layout;
        const std::string problem = readPixelLayout(frame, layout);
        if (!problem.empty()) {
            throw py::value_error(problem);
        }
        const BusyCall call(busy_, trackerBusy);
        {
            const py::gil_scoped_release released;
            runPass(frameAt(layout, copy_));
        }
        return result();
    }

    // Runs one measured pass on a usable frame, as the export does. Needs no GIL.
    void runPass(const cv::Mat& frame) { runMeasuredPass(frame, run_); }

    PassResult result() const { return makePassResult(run_.track, run_.measurement); }

    std::int64_t passes() const { return run_.passes; }

private:
    PassRun run_;
    cv::Mat copy_;  // frames whose rows are not packed pixels are copied here
    bool busy_ = false;
};

// The passes of one source, picked the way the export picks them.
class Run {
public:
    Run(std::string name, std::int64_t passLimit) : name_(std::move(name)) {
        std::string problem;
        {
            const py::gil_scoped_release released;
            problem = openReader(name_, FrameChoice::passes, passLimit, reader_);
        }
        if (!problem.empty()) {
            raiseOsError(problem);
        }
    }

    // The next pass as (pass number, frame index, result).
    py::tuple next() {
        if (finished_) {
            throw py::stop_iteration();
        }
        const BusyCall call(busy_, trackerBusy);
        FrameRead read = FrameRead::runOver;
        std::string problem;
        try {
            const py::gil_scoped_release released;
            read = readNextFrame(reader_, pass_);
            if (read == FrameRead::frame) {
                problem = describeUnusablePass(pass_.frame, pass_.index, name_);
                if (problem.empty()) {
                    tracker_.runPass(pass_.frame);
                }
            }
        } catch (...) {
            finish();
            throw;
        }
        if (read == FrameRead::frame && problem.empty()) {
            return py::make_tuple(tracker_.passes() - 1, pass_.index, tracker_.result());
        }
        finish();
        if (read == FrameRead::noFrame) {
            raiseOsError(describeNoFrame(name_, reader_.live, FrameChoice::passes));
        }
        if (!problem.empty()) {
            throw py::value_error(problem);
        }
        throw py::stop_iteration();
    }

private:
    // Ends the run and lets a camera go at once.
    void finish() {
        finished_ = true;
        reader_.capture.release();
    }

    std::string name_;
    FrameReader reader_;
    SourceFrame pass_;
    Tracker tracker_;
    bool finished_ = false;
    bool busy_ = false;
};

std::unique_ptr<Run> track(const py::object& source, const py::object& passes) {
    return std::make_unique<Run>(sourceName(source), readRunLimit(passes, "passes", "one trip"));
}

const char* const moduleDoc =
    R"(Follow the dark dots on a surface through a video and measure how it moves.

Each pass gives what dottrack-export writes, as numpy arrays:

    for pass_number, frame_index, result in dottrack.track("test.avi"):
        print(pass_number, result.markers[0], result.motion)

or, on frames held in memory (uint8, H x W x 3, BGR, at least 640 x 480):

    tracker = dottrack.Tracker()
    result = tracker.process(frame)

Every dot of a surface, each keeping its number, with its displacement and strain, as
dottrack-field writes them:

    for frame_index, frame, result in dottrack.track_field("field.avi"):
        print(frame_index, result.dots[:3], result.strain[:3])

or, on frames held in memory (uint8, H x W grey or H x W x 3 BGR, any size):

    field = dottrack.Field()
    result = field.process(frame))";

const char* const processDoc = R"(Run one pass on `frame` and return its PassResult.

`frame` is a numpy uint8 array, H x W x 3, BGR, at least 480 x 640 x 3; any view will do.
The first pass seeds the markers. The pass runs without holding the GIL.
Raises ValueError for a frame of the wrong shape or type.)";

const char* const trackDoc = R"(Iterate over the passes of a source, as dottrack-export runs them.

`source` is a video file, an image sequence ("frames/%04d.png"), a camera (0, or
"/dev/video0") or a GStreamer pipeline ending in appsink. The first 45 frames are
dropped, then every second frame is a pass. Without `passes` the run is one trip
through the video; with it, exactly that many passes, starting the video over at its end.
A camera or pipeline runs until it stops delivering frames, or for `passes` passes.
Yields (pass_number, frame_index, PassResult).
Raises OSError when the source cannot be opened or holds no frame, ValueError for a frame
that cannot be used.)";

}  // namespace
}  // namespace dottrack

PYBIND11_MODULE(dottrack, module) {
    using namespace dottrack;
    module.doc() = moduleDoc;
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const cv::Exception& error) {
            PyErr_SetString(PyExc_RuntimeError, ("OpenCV error: " + oneLine(error.what())).c_str());
        }
    });
    bindPassResult(module);
    bindFieldCalls(module);

    py::class_<Tracker>(module, "Tracker",
                        "Runs dottrack's passes on frames handed over one at a time.")
        .def(py::init<>())
        .def("process", &Tracker::process, py::arg("frame"), processDoc)
        .def_property_readonly("passes", &Tracker::passes, "passes processed so far");

    py::class_<Run>(module, "Run", "The passes of one source; what track() returns.")
        .def("__iter__", [](Run& run) -> Run& { return run; })
        .def("__next__", &Run::next);

    module.def("track", &track, py::arg("source"), py::arg("passes") = py::none(), trackDoc);
}
