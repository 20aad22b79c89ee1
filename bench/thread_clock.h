#pragma once
// The clock the field's figures are timed by.

namespace dottrack {

// The processor time of the calling thread, in microseconds. On a machine shared with other
// work the wall clock also counts the slices others take in the middle of a frame; a run on
// one thread (OpenCV's included) is timed by this one alone.
double threadMicroseconds();

}  // namespace dottrack
