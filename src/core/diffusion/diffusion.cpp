// The error-diffusion engine: weight rows, threads, scratch and the choice of pass.
#include "diffusion/diffusion.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

#include "checked_size.hpp"
#include "machine.hpp"

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

namespace {

// Rows narrower than this are not pipelined: every row waits for most of
// the one above.
constexpr std::size_t min_pipelined_width = 128;
// Starting threads costs tens of microseconds, and on a busy machine a
// helper may wait far longer for a processor, holding up the rows below
// its own. `pipelined_min_ps` estimates the pass on one thread.
constexpr double pipelined_min_ps = 3e9;  // 3 ms
// Rough single-thread costs per pixel, in picoseconds, measured on a
// current x86-64 core: a level pass (up to four channels), and a palette
// search plus so much per colour.
constexpr double level_pass_ps = 2500;
constexpr double sample_pass_ps = 1200;  // one channel, rows in vector lanes
constexpr double palette_pixel_ps = 8000;
constexpr double palette_color_ps = 40;
constexpr double palette_grid_ps = 25000;  // a search through the grid of cells

}  // namespace

search::Plan diffusion_search_plan(const Img& img, const Target& target) noexcept {
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        return search::choose(search::Engine::diffusion, palette->colors.size(), img.channels,
                              img.pixel_count());
    }
    return search::Plan{};
}

search::Plan prepare_diffusion(const Img& img, Target& target) noexcept {
    const search::Plan plan = diffusion_search_plan(img, target);
    if (Palette* palette = std::get_if<Palette>(&target)) {
        prepare_palette_search(plan, *palette);
    }
    return plan;
}

std::size_t diffusion_threads(const Img& img, const Target& target, bool serpentine,
                              const search::Plan& plan) noexcept {
    if (serpentine || img.width < min_pipelined_width || img.height < 4) {
        return 1;
    }
    double per_pixel = 0.0;
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        per_pixel =
            plan.form == search::Form::grid_cells
                ? palette_grid_ps
                : palette_pixel_ps + palette_color_ps * static_cast<double>(palette->rgb.size());
    } else {
        const std::size_t quantized = img.channels - (img.kept_channel() < img.channels ? 1 : 0);
        const std::size_t passes = (quantized + cell_floats - 1) / cell_floats;
        per_pixel = quantized == 1 ? sample_pass_ps : level_pass_ps * static_cast<double>(passes);
    }
    const double pixels = static_cast<double>(img.width) * static_cast<double>(img.height);
    if (pixels * per_pixel < pipelined_min_ps) {
        return 1;
    }
    return std::min(pipeline_worker_count(), img.height / 2);
}

std::size_t diffusion_scratch_floats(const Img& img, const Target&, std::size_t threads) noexcept {
    const std::size_t t = std::clamp<std::size_t>(threads, 1, max_workers);
    // Checked: on a 32-bit target the products wrap for rows that fit in memory.
    const std::size_t rows = checked_mul(error_rows(t) * cell_floats, checked_add(img.width, 8));
    const std::size_t groups =
        checked_mul(group_sets(t) * 2 * group_rows, checked_add(img.width, group_cells(0)));
    return std::max(rows, groups);
}

void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch,
                   const search::Plan& plan, const PipelineSettings& pipe) noexcept {
    const std::size_t k = kernel_number(kernel);
    if (k >= diffusion_kernels().size() || img.width == 0 || img.height == 0) {
        return;
    }
    const KernelRows rows = kernel_rows(kernel, strength);
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        // Colour pixels only; intake never pairs a palette with fewer channels.
        if (img.channels >= 3) {
            diffuse_palette(img, *palette, space, rows, k, serpentine, scratch, pipe, plan);
        }
    } else if (const Levels* levels = std::get_if<Levels>(&target)) {
        diffuse_levels(img, *levels, space, rows, k, serpentine, scratch, pipe);
    }
}

}  // namespace tonalis
