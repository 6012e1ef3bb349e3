// Error diffusion to a palette, compiled once per target and dispatched to the widest in use.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "diffusion.hpp"
#include "search/cells.hpp"
#include "search/grid_search.hpp"
#include "search/plan.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion_palette.ipp"
#include "targets.hpp"

namespace tonalis {

search::Plan palette_search_plan(const Img& img, const Palette& palette) noexcept {
    return search::choose(search::Engine::diffusion, palette.colors.size(), img.channels,
                          img.pixel_count());
}

namespace {

// The grid over the working values of the codes, widened on every side by
// an eighth of their range: the errors carried rarely take a value
// further out with palettes this large, and values outside are searched
// the plain way.
bool make_grid(PaletteCells& cells, const Palette& palette, const Space& space,
               std::size_t side) noexcept {
    const auto [least, most] = std::minmax_element(space.to_work.begin(), space.to_work.end());
    const float room = (*most - *least) * 0.125f;
    const float low[3] = {*least - room, *least - room, *least - room};
    const float high[3] = {*most + room, *most + room, *most + room};
    return cells.make(palette, low, high, side, PaletteCells::Entries::blocks);
}

}  // namespace

void prepare_palette_search(const Img& img, Palette& palette) noexcept {
    if (palette_search_plan(img, palette).form == search::Form::neighbours) {
        palette.layout.add_neighbours(palette.colors);
    }
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch,
                     const PipelineSettings& pipe) noexcept {
    const search::Plan plan = palette_search_plan(img, palette);
    PaletteCells cells;
    const bool grid =
        plan.form == search::Form::grid_cells && make_grid(cells, palette, space, plan.side);
    TONALIS_DISPATCH(diffuse_palette_pass)(img, palette, space, rows, kernel, serpentine, scratch,
                                           pipe, plan, grid ? &cells : nullptr);
}

}  // namespace tonalis
