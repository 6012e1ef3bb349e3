// The threshold engines: ordered dither (tiled matrix) and random dither (seeded noise).
#pragma once

#include <cstdint>

#include "threshold/matrices.hpp"
#include "threshold/noise.hpp"
#include "prepared.hpp"

namespace tonalis {

// Rewrite img.data in place. Run without the interpreter; cannot fail.
void ordered_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                         const ThresholdMatrix& matrix) noexcept;
void random_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                        std::uint64_t seed) noexcept;

}  // namespace tonalis
