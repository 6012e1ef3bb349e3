// The refined engines' own arguments, already validated by tonalis_tools, and their checks.
#pragma once

#include <cstddef>
#include <optional>

#include "extras.hpp"
#include "image.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// The leading arguments of the refined functions, converted. `mask` is a
// private copy, so the engine never reads the caller's array.
struct ExtrasArgs {
    Extras extras;
    PyObject* mask_array = nullptr;  // borrowed from the call; nullptr for None
    Buffer<float> mask;
};

// limit (a float >= 0, inf for none; diffusion only), mask (None or a
// C-contiguous float32 array of values in [0, 1]) and distance (0, 1 or
// 2). False with an exception set when one is not of that form.
bool parse_limit(PyObject* obj, float& out) noexcept;
bool parse_mask(PyObject* obj, ExtrasArgs& out) noexcept;
bool parse_distance(PyObject* obj, Distance& out) noexcept;

// Copies the mask for an image of height x width (checking its shape and
// values) into out.mask and points out.extras.mask at it. True when there is
// no mask. False with an exception set otherwise.
bool copy_mask(ExtrasArgs& out, std::size_t height, std::size_t width) noexcept;

}  // namespace tonalis::py
