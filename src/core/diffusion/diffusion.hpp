// The error-diffusion engine: a kernel's weight rows and the passes that spread each pixel's error.
#pragma once

#include <cstddef>

#include "diffusion/kernels.hpp"
#include "pipeline.hpp"
#include "prepared.hpp"
#include "search/plan.hpp"

namespace tonalis {

// A kernel scaled by the strength: weights[dy][dx + 2] is the share of a
// pixel's error that the pixel dx ahead in scan order and dy rows down
// receives. Rows are walked in scan order, so one table serves both
// directions of a serpentine pass.
struct KernelRows {
    float weights[3][5];
};

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept;

// The same table as the walkers read it: each share in every lane of a
// vector V (diffusion/rows.hpp, diffusion/refined_rows.hpp).
template <class V>
struct RowWeights {
    V w[3][5];  // [dy][dx + 2]
};

template <class V, class Splat>
[[gnu::always_inline]] inline RowWeights<V> row_weights(const KernelRows& rows,
                                                        Splat&& splat) noexcept {
    RowWeights<V> w;
    for (std::size_t dy = 0; dy < 3; ++dy) {
        for (std::size_t c = 0; c < 5; ++c) w.w[dy][c] = splat(rows.weights[dy][c]);
    }
    return w;
}

// The error rows: cells of room for four lanes, in a ring of rows. Rows
// are walked in pairs, the lower row pair_lag pixels behind the upper; a
// pair in progress reaches two rows below it, and every thread has a pair
// in progress.
inline constexpr std::size_t cell_floats = 4;
inline constexpr std::size_t pair_lag = 8;
constexpr std::size_t error_rows(std::size_t threads) noexcept {
    return 2 * threads + 2;
}

// One-sample level passes walk rows in groups, one row per vector lane,
// each row the kernel's lag (at most group_lag) pixels behind the one
// above. A group stores the cells it passes on to the next group in two
// buffers of group_cells(width) cells of group_rows floats;
// group_sets(threads) groups' buffers are in use at once.
inline constexpr std::size_t group_rows = 8;
inline constexpr std::size_t group_lag = kernel_data::largest_lag();
inline constexpr std::size_t group_margin = 16;
constexpr std::size_t group_cells(std::size_t width) noexcept {
    return width + 2 * (group_rows - 1) * group_lag + 2 * group_margin;
}
constexpr std::size_t group_sets(std::size_t threads) noexcept {
    return threads + 1;
}

// The search plan of error diffusion of this image to this target
// (search/plan.hpp), chosen once per call and handed to what follows; a
// level target searches nothing and gets the default plan.
search::Plan diffusion_search_plan(const Img& img, const Target& target) noexcept;

// Threads error diffusion should use on this image: 1 for serpentine
// order (each row starts where the one above ended), and for images too
// small to pay for starting threads; else pipeline_worker_count().
std::size_t diffusion_threads(const Img& img, const Target& target, bool serpentine,
                              const search::Plan& plan) noexcept;

// Floats of error-row scratch the engine needs for this image and target
// on `threads` threads (oversized, checked_size.hpp, when the count does
// not fit in a size). The caller allocates them before releasing the
// interpreter; their contents on entry do not matter.
std::size_t diffusion_scratch_floats(const Img& img, const Target& target,
                                     std::size_t threads = 1) noexcept;

// Builds what else the plan's palette search walks: the neighbour lists
// (PaletteLayout::add_neighbours) when it takes them. Call before
// error_diffuse; runs without the interpreter.
void prepare_palette_search(const search::Plan& plan, Palette& palette) noexcept;

// The plan of this call, with what it walks built: diffusion_search_plan
// and, for a palette, prepare_palette_search.
search::Plan prepare_diffusion(const Img& img, Target& target) noexcept;

// Rewrites img.data in place, on pipe.threads threads (no more than the
// scratch was sized for), searching a palette by `plan` (this call's
// diffusion_search_plan, prepared). The output is the same for any number
// of threads. Runs without the interpreter; cannot fail.
void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch,
                   const search::Plan& plan,
                   const PipelineSettings& pipe = PipelineSettings{}) noexcept;

// The level and palette modes of error_diffuse for the kernel at `kernel`
// in diffusion_kernels(), compiled per target (diffusion/levels.cpp,
// diffusion/palette.cpp).
void diffuse_levels(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                    std::size_t kernel, bool serpentine, float* scratch,
                    const PipelineSettings& pipe) noexcept;
void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch,
                     const PipelineSettings& pipe, const search::Plan& plan) noexcept;

}  // namespace tonalis
