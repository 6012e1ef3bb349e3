// The error-diffusion engine: weight rows, the level passes (compiled once) and the dispatch by
// target.
#include "diffusion.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

#include "targets.hpp"

// The level passes for the baseline and AVX2 only.
#define TONALIS_TARGET_BODY "diffusion_levels.ipp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

namespace {

std::size_t kernel_number(const DiffusionKernel& kernel) noexcept {
    const auto kernels = diffusion_kernels();
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        if (&kernel == &kernels[k] || kernel.name == kernels[k].name) {
            return k;
        }
    }
    return kernels.size();
}

}  // namespace

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept {
    KernelRows rows{};
    for (const KernelTap& tap : kernel.taps) {
        assert(tap.dy >= 0 && tap.dy <= 2 && tap.dx >= -2 && tap.dx <= 2);
        const float q = tap.weight / kernel.divisor;
        rows.weights[static_cast<std::size_t>(tap.dy)][static_cast<std::size_t>(tap.dx + 2)] =
            q * scale;
    }
    return rows;
}

std::size_t diffusion_scratch_floats(const Img& img, const Target&) noexcept {
    return diffusion_rows * cell_floats * (img.width + 8);
}

void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch) noexcept {
    const std::size_t k = kernel_number(kernel);
    if (k >= diffusion_kernels().size() || img.width == 0 || img.height == 0) {
        return;
    }
    const KernelRows rows = kernel_rows(kernel, strength);
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        // Colour pixels only; intake never pairs a palette with fewer channels.
        if (img.channels >= 3) {
            diffuse_palette(img, *palette, space, rows, k, serpentine, scratch);
        }
    } else if (const Levels* levels = std::get_if<Levels>(&target)) {
        TONALIS_DISPATCH_TO_AVX2(diffuse_levels_pass)(img, *levels, space, rows, k, serpentine,
                                                      scratch);
    }
}

}  // namespace tonalis
