// Refined error diffusion to a palette.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "diffusion_extras_passes.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion_extras_palette.ipp"
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
