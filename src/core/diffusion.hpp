// The error-diffusion engine: a kernel's weight rows and the passes that spread each pixel's error.
#pragma once

#include <cstddef>

#include "kernels.hpp"
#include "prepared.hpp"

namespace tonalis {

// A kernel scaled by the strength: weights[dy][dx + 2] is the share of a
// pixel's error that the pixel dx ahead in scan order and dy rows down
// receives. Rows are walked in scan order, so one table serves both
// directions of a serpentine pass.
struct KernelRows {
    float weights[3][5];
};

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept;

// The error rows: cells of room for four lanes, and four rows (a pair of
// rows in progress reaches y + 3).
inline constexpr std::size_t cell_floats = 4;
inline constexpr std::size_t diffusion_rows = 4;

// Floats of error-row scratch the engine needs for this image and target.
// The caller allocates them before releasing the interpreter; their
// contents on entry do not matter.
std::size_t diffusion_scratch_floats(const Img& img, const Target& target) noexcept;

// Rewrites img.data in place. Runs without the interpreter; cannot fail.
void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch) noexcept;

// The palette mode of error_diffuse for the kernel at `kernel` in
// diffusion_kernels(), compiled per target (diffusion_palette.cpp).
void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch) noexcept;

}  // namespace tonalis
