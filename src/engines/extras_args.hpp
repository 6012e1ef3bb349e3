// The refined engines' own arguments, already validated by tonalis_tools, and their checks.
#pragma once

#include <cstddef>
#include <optional>

#include "extras.hpp"
#include "image.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// The leading arguments of the refined functions, converted. The engine
// reads the mask from the caller's array (kept alive by the call), through
// strength_of: a copy would cost more than the pass itself.
struct ExtrasArgs {
    Extras extras;
    PyObject* mask_array = nullptr;  // borrowed from the call; nullptr for None
};

// limit (a float >= 0, inf for none; diffusion only), mask (None or a
// C-contiguous float32 array of values in [0, 1]) and distance (0, 1 or
// 2). False with an exception set when one is not of that form.
bool parse_limit(PyObject* obj, float& out) noexcept;
bool parse_mask(PyObject* obj, ExtrasArgs& out) noexcept;
bool parse_distance(PyObject* obj, Distance& out) noexcept;

// Checks the mask's shape against an image of height x width, and its
// values, and points out.extras.mask at it. True when there is no mask.
// False with an exception set otherwise.
bool check_mask(ExtrasArgs& out, std::size_t height, std::size_t width) noexcept;

}  // namespace tonalis::py
