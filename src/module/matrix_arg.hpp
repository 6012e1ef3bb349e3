// The `matrix` argument: a Bayer name, a Bayer size, or a custom array of indices or thresholds.
#pragma once

#include <optional>

#include "threshold/matrices.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// Resolves a matrix argument other than None. nullopt with an exception
// set on failure. May throw std::bad_alloc.
std::optional<ThresholdMatrix> parse_matrix(PyObject* matrix);

// As parse_matrix, with the 8x8 Bayer matrix for an absent matrix (nullptr).
std::optional<ThresholdMatrix> matrix_or_default(PyObject* matrix);

}  // namespace tonalis::py
