// Refined error diffusion to a palette, compiled for the baseline and AVX2
// (see targets.hpp): the colour nearest under the chosen distance, four
// rows' pixels searched at once. The file includes itself once per target:
// the first part below is compiled once, the second once per target.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "diffusion/refined_passes.hpp"
#include "diffusion/refined_rows.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion/refined_palette.cpp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

void extras_palette_pass(Img& img, const Palette& palette, const ColourMatch& match,
                         const Space& space, float strength, const DiffusionKernel& kernel,
                         std::size_t k, bool serpentine, const Extras& extras,
                         float* scratch) noexcept {
    TONALIS_DISPATCH_TO_AVX2(palette_pass)(img, palette, match, space, strength, kernel, k,
                                           serpentine, extras, scratch);
}

}  // namespace tonalis

#else  // one target's copy

#include "diffusion/refined_rows.hpp"

void palette_pass(Img& img, const Palette& palette, const ColourMatch& match, const Space& space,
                  float strength, const DiffusionKernel& kernel, std::size_t k, bool serpentine,
                  const Extras& extras, float* scratch) noexcept {
    const Weights weights = weights_of(kernel, strength);
    const PaletteColours q{space.to_work.data(), &palette, &match};
    diffuse_kernel(k, q, img, serpentine, weights, extras, scratch);
}

#endif  // TONALIS_TARGET
