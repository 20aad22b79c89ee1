#pragma once
// The field measurement from Python: on frames held in Python, or on every frame of a source.

#include <pybind11/pybind11.h>

namespace dottrack {

// Declares Field, FieldRun, FieldResult and track_field in `module`, after bindPassResult.
void bindFieldCalls(pybind11::module_& module);

}  // namespace dottrack
