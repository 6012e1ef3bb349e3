// The `matrix` argument: a Bayer name, a Bayer size, or a custom array of indices or thresholds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "matrices.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// Resolves a matrix argument other than None. nullopt with an exception
// set on failure. May throw std::bad_alloc.
std::optional<ThresholdMatrix> parse_matrix(PyObject* matrix);

// The Bayer size a matrix name stands for ("bayer8x8", "Bayer 8x8", "8x8",
// "8", ...), or nothing. Pure; may throw std::bad_alloc.
std::optional<std::size_t> bayer_size_from_name(std::string_view utf8);

// "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'"
std::string quoted_bayer_names();

// Raises the ValueError for an unrecognised matrix name or size.
void raise_invalid_matrix(std::u32string_view text);

}  // namespace tonalis::py
