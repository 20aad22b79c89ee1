#include "python/module_support.h"

#include <limits>
#include <stdexcept>

namespace py = pybind11;

namespace dottrack {

namespace {

// Whether `object` is a Python int (a bool is one too, but is not meant as a number).
bool isWholeNumber(const py::handle& object) {
    return py::isinstance<py::int_>(object) && !py::isinstance<py::bool_>(object);
}

}  // namespace

void raiseOsError(const std::string& message) {
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

BusyCall::BusyCall(bool& busy, const char* refusal) : busy_(busy) {
    if (busy_) {
        throw std::runtime_error(refusal);
    }
    busy_ = true;
}

std::string sourceName(const py::object& source) {
    if (isWholeNumber(source)) {
        return std::string(py::str(source));
    }
    return py::module_::import("os").attr("fsdecode")(source).cast<std::string>();
}

std::int64_t readRunLimit(const py::object& count, const char* name, const char* noneMeans) {
    if (count.is_none()) {
        return 0;
    }
    if (!isWholeNumber(count)) {
        throw py::type_error(std::string(name) + " must be a whole number or None, not " +
                             std::string(py::str(count.get_type().attr("__name__"))));
    }
    const std::int64_t most = std::numeric_limits<std::int64_t>::max();
    if (count < py::int_(1) || count > py::int_(most)) {
        throw py::value_error(std::string(name) + " must be a whole number from 1 to " +
                              std::to_string(most) + ", or None for " + noneMeans);
    }
    return count.cast<std::int64_t>();
}

}  // namespace dottrack
