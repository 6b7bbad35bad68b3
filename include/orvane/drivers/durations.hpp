#pragma once

#include <cmath>

namespace orvane::drivers {

/// Whether `seconds` can be the length of a speed ramp (a pause, a resume, a
/// gradual speed change): a finite number of seconds, 0 included. NaN would
/// freeze a ramp mid-way and a negative one has no meaning.
inline bool is_valid_ramp_duration(double seconds) { return std::isfinite(seconds) && seconds >= 0.0; }

/// Whether `seconds` can be where a blend joins its trajectory: 0 or later;
/// beyond the trajectory's end (infinity included) means its last sample.
inline bool is_valid_blend_duration(double seconds) { return seconds >= 0.0; }

}  // namespace orvane::drivers
