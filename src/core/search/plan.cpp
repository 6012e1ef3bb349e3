// The choice of nearest-colour search for an engine call.
#include "search/plan.hpp"

#include <algorithm>

#include "exact_powers.hpp"

namespace tonalis::search {

namespace {

using L = Limits;

// The scan or the blocked search: for error diffusion without the grid and
// single lookups, by the palette's size.
Form plain_search(std::size_t colors) noexcept {
    return colors > L::scan_most && has_blocked_form(colors) ? Form::blocked : Form::scan;
}

// Cells per channel of error diffusion's grid.
std::size_t diffusion_side(std::size_t pixels, std::size_t colors) noexcept {
    const std::size_t most =
        colors >= L::diffusion_fine_grid_from ? L::diffusion_fine_side : L::diffusion_coarse_side;
    std::size_t side = 4;
    while (side < most && side * side * side * L::diffusion_pixels_per_cell < pixels) side *= 2;
    return side;
}

// Cells per channel of the threshold engines' grid.
std::size_t threshold_side(std::size_t pixels, std::size_t colors) noexcept {
    if (colors <= L::cell_sets_most) {
        std::size_t side = 4;
        while (side < L::set_most_side && side * side * side * L::set_pixels_per_cell < pixels) {
            side *= 2;
        }
        return side;
    }
    // Cube roots of our own: the C library's differ in the last bit between
    // platforms, which could tip the rounding, and the grid (though no
    // output byte depends on it) is then the same everywhere too.
    const double cells = static_cast<double>(pixels) /
                         static_cast<double>(L::threshold_pixels_per_cell) *
                         portable_cbrt(static_cast<double>(colors) / 256.0);
    const double side = std::clamp(portable_cbrt(cells) + 0.5, 4.0,
                                   static_cast<double>(L::threshold_most_side) + 0.5);
    return static_cast<std::size_t>(side);
}

Plan diffusion(std::size_t colors, std::size_t pixels) noexcept {
    Plan plan;
    plan.narrow = colors <= L::diffusion_narrow_most;
    plan.plain = plain_search(colors);
    plan.fallback = plan.plain;
    const std::size_t side = diffusion_side(pixels, colors);
    const std::size_t grid_from =
        pixels >= L::diffusion_large_pixels ? L::diffusion_grid_large_from : L::diffusion_grid_from;
    if (colors >= grid_from && side >= L::diffusion_grid_min_side) {
        plan.form = Form::grid_cells;
        plan.side = side;
        // Lists longer than a fraction of a palette that is scanned whole
        // take longer than the scan.
        plan.longest =
            plan.plain == Form::blocked ? ~std::size_t{0} : colors / L::diffusion_longest_fraction;
        return plan;
    }
    plan.form =
        colors > L::neighbours_above && has_blocked_form(colors) ? Form::neighbours : plan.plain;
    return plan;
}

Plan threshold(std::size_t colors, std::size_t channels, std::size_t pixels) noexcept {
    Plan plan;
    plan.plain = has_blocked_form(colors) ? Form::blocked : Form::scan;
    plan.fallback = colors <= L::whole_groups_most ? Form::whole_groups : Form::box_groups;
    // The vector forms read and write pixels of three or four samples; any
    // other count goes through the groups, which touch only the first three.
    if (channels != 3 && channels != 4) {
        plan.form = plan.fallback;
        return plan;
    }
    if (colors <= L::pixel_lanes_most) {
        plan.form = Form::pixel_lanes;
        return plan;
    }
    plan.form = colors <= L::cell_sets_most ? Form::cell_sets : Form::cell_lists;
    plan.side = threshold_side(pixels, colors);
    return plan;
}

}  // namespace

Plan choose(Engine engine, std::size_t colors, std::size_t channels, std::size_t pixels) noexcept {
    switch (engine) {
        case Engine::diffusion: return diffusion(colors, pixels);
        case Engine::ordered:
        case Engine::random: return threshold(colors, channels, pixels);
        case Engine::refined:
            if (colors <= L::refined_scan_most) {
                Plan plan;
                plan.form = Form::quad_scan;
                return plan;
            }
            break;
        case Engine::lookup: break;
    }
    Plan plan;
    plan.form = plain_search(colors);
    plan.plain = plan.form;
    plan.fallback = plan.form;
    return plan;
}

}  // namespace tonalis::search
