// Error diffusion to a palette, compiled once per target and dispatched to the widest in use.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "diffusion.hpp"
#include "palette_cells.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion_palette.ipp"
#include "targets.hpp"

namespace tonalis {

NearestColorFn nearest_color_function() noexcept {
    return TONALIS_DISPATCH(nearest_in_layout);
}

namespace {

// Palettes from this size on search through a grid of cells (smaller ones
// are scanned faster), on images large enough for cells of this side.
constexpr std::size_t grid_min_colors = 128;
constexpr std::size_t grid_min_side = 16;

// Cells per channel: each list costs a search of the palette when a pixel
// first reaches its cell, so finer grids (shorter lists) pay only on
// larger images; and a pass visits most cells of a fine grid, whose lists
// then no longer stay in the cache. Palettes of fine_colors and more,
// whose colours lie closer together, take the finer grid.
constexpr std::size_t fine_colors = 1024;

std::size_t grid_side(std::size_t pixels, std::size_t colors) noexcept {
    const std::size_t most = colors >= fine_colors ? 32 : 16;
    std::size_t side = 4;
    while (side < most && side * side * side * 128 < pixels) side *= 2;
    return side;
}

// The grid over the working values of the codes, widened on every side by
// an eighth of their range: the errors carried rarely take a value
// further out with palettes this large, and values outside are searched
// the plain way.
bool make_grid(PaletteCells& cells, const Img& img, const Palette& palette,
               const Space& space) noexcept {
    if (!palette_grid_pays(img, palette)) {
        return false;
    }
    const auto [least, most] = std::minmax_element(space.to_work.begin(), space.to_work.end());
    const float room = (*most - *least) * 0.125f;
    const float low[3] = {*least - room, *least - room, *least - room};
    const float high[3] = {*most + room, *most + room, *most + room};
    return cells.make(palette, low, high, grid_side(img.pixel_count(), palette.colors.size()),
                      PaletteCells::Entries::blocks);
}

}  // namespace

bool palette_grid_pays(const Img& img, const Palette& palette) noexcept {
    return palette.colors.size() >= grid_min_colors &&
           grid_side(img.pixel_count(), palette.colors.size()) >= grid_min_side;
}

void prepare_palette_search(const Img& img, Palette& palette) noexcept {
    if (!palette_grid_pays(img, palette)) {
        palette.layout.add_neighbours(palette.colors);
    }
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch,
                     const PipelineSettings& pipe) noexcept {
    PaletteCells cells;
    const bool grid = make_grid(cells, img, palette, space);
    TONALIS_DISPATCH(diffuse_palette_pass)(img, palette, space, rows, kernel, serpentine, scratch,
                                           pipe, grid ? &cells : nullptr);
}

}  // namespace tonalis
