// Error diffusion to a palette, compiled once per target and dispatched to the widest in use.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "diffusion.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion_palette.ipp"
#include "targets.hpp"

namespace tonalis {

NearestColorFn nearest_color_function() noexcept {
    return TONALIS_DISPATCH(nearest_in_layout);
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch,
                     const PipelineSettings& pipe) noexcept {
    TONALIS_DISPATCH(diffuse_palette_pass)(img, palette, space, rows, kernel, serpentine, scratch,
                                           pipe);
}

}  // namespace tonalis
