// The options of the refined engines: error limit, per-pixel strength, colour distance.
#pragma once

#include <cstddef>
#include <limits>

#include "colour.hpp"

namespace tonalis {

// What the refined engines add to the plain ones. With every field at its
// default they give the plain engines' bytes.
struct Extras {
    // Error diffusion: a working value (a pixel plus the error it received)
    // is clamped to [-limit, 255 + limit] before it is quantized, so the
    // error it passes on stays bounded. Infinity: no clamp.
    float limit = std::numeric_limits<float>::infinity();
    // height * width strengths in [0, 1], row by row, or none (all 1).
    // Error diffusion: a pixel takes this share of the error it received
    // and passes on this share of its own; threshold dither: the shift is
    // scaled by it. 0 quantizes the pixel to its nearest level or colour.
    // The engines read it through strength_of (the caller's array, which
    // another thread may write to while they run).
    const float* mask = nullptr;
    // How a palette colour is chosen (levels are always per channel).
    Distance distance = Distance::rgb;
};

// A pixel's strength from the mask. Its values were checked before the
// engine started; should they change meanwhile, a strength still lies in
// [0, 1] (NaN counts as 0), so every value the engine computes stays in
// the range the checked mask gives.
[[gnu::always_inline]] inline float strength_of(const float* at) noexcept {
    const float m = *at;
    const float low = m >= 0.0f ? m : 0.0f;
    return low <= 1.0f ? low : 1.0f;
}

}  // namespace tonalis
