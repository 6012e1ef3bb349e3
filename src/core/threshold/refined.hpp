// Ordered and random dither with per-pixel strength and a choice of colour distance.
#pragma once

#include <cstdint>

#include "extras.hpp"
#include "threshold/matrices.hpp"
#include "prepared.hpp"

namespace tonalis {

// Rewrite img.data in place, as ordered_dither_pass and random_dither_pass
// do when `extras` holds its defaults (the limit does not apply). `match`
// is the palette's colour match when the target is a palette. Run without
// the interpreter; cannot fail.
void ordered_extras(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                    float strength, const ThresholdMatrix& matrix, const Extras& extras) noexcept;
void random_extras(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                   float strength, std::uint64_t seed, const Extras& extras) noexcept;

}  // namespace tonalis
