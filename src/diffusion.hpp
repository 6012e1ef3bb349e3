// Error-diffusion kernels, their expansion into weight rows, and the diffusion engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "prepared.hpp"

namespace tonalis {

// One neighbour that receives a share weight / divisor of a pixel's error.
// dx counts along the scan direction, dy downwards (0, 1 or 2).
struct KernelTap {
    std::int32_t dx;
    std::int32_t dy;
    float weight;
};

// An error-diffusion method: constant data with the lifetime of the
// process. A method is identified by the address of its record.
struct DiffusionKernel {
    std::string_view name;
    std::span<const KernelTap> taps;  // dy ascending, dx ascending within a row
    float divisor;
};

// The nine kernels in listing order.
std::span<const DiffusionKernel> diffusion_kernels() noexcept;

// A kernel scaled by the strength, as three rows of eight weights for each
// scan direction. Column c stands for the column offset c - 2.
struct KernelRows {
    float forward[3][8];
    float mirrored[3][8];
    bool row_active[3];
};

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept;

// Floats of error-row scratch the engine needs for this image and target.
// The caller allocates them before releasing the interpreter; their
// contents on entry do not matter.
std::size_t diffusion_scratch_floats(const Img& img, const Target& target) noexcept;

// Rewrites img.data in place. Runs without the interpreter; cannot fail.
void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch) noexcept;

}  // namespace tonalis
