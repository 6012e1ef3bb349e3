// Pattern dither for any palette: a few candidate colours per pixel, chosen among by a threshold
// matrix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "colour.hpp"
#include "image.hpp"
#include "threshold/matrices.hpp"
#include "palette.hpp"
#include "space.hpp"

namespace tonalis {

inline constexpr std::size_t min_pattern_candidates = 1;
inline constexpr std::size_t max_pattern_candidates = 256;

// Scratch the pattern pass needs for `candidates` candidates: a cache of
// candidate lists keyed by pixel colour, allocated before the pass
// (oversized when the count does not fit in a size).
std::size_t pattern_cache_entries() noexcept;
std::size_t pattern_scratch_bytes(std::size_t candidates) noexcept;

// Rewrite the first three channels of every pixel of img (3 or more
// channels) with a palette colour. For each pixel the working colour g is
// matched `candidates` times: the k-th candidate is the colour nearest to
// g + strength * e, where e is the sum of g minus each earlier candidate
// (the error the mix so far leaves). The candidates, ordered by luminance
// (then palette index), are indexed by the matrix value at the pixel's
// position times their count. The result depends only on the pixel's value
// and position. `scratch` holds pattern_scratch_bytes(candidates) bytes.
// Run without the interpreter; cannot fail.
void pattern_dither(Img& img, const Palette& palette, const ColourMatch& match, const Space& space,
                    float strength, const ThresholdMatrix& matrix, std::size_t candidates,
                    std::uint8_t* scratch) noexcept;

}  // namespace tonalis
