// Error diffusion with an error limit, per-pixel strength and a choice of colour distance.
#pragma once

#include <cstddef>

#include "extras.hpp"
#include "diffusion/kernels.hpp"
#include "prepared.hpp"

namespace tonalis {

// Floats of error-row scratch for this image (oversized when the count does
// not fit in a size); the caller allocates them before releasing the
// interpreter.
std::size_t extras_scratch_floats(const Img& img) noexcept;

// Rewrites img.data in place, as error_diffuse does when `extras` holds its
// defaults. `match` is the palette's colour match when the target is a
// palette (ignored for levels). Runs without the interpreter; cannot fail.
void error_diffuse_extras(Img& img, const Target& target, const ColourMatch* match,
                          const Space& space, float strength, const DiffusionKernel& kernel,
                          bool serpentine, const Extras& extras, float* scratch) noexcept;

}  // namespace tonalis
