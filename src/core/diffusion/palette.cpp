// Error diffusion to a palette, compiled once per target (see targets.hpp)
// and dispatched to the widest in use, the nearest-colour search gaining
// from wide vectors, or for small palettes to AVX2 (the plan's `narrow`).
// The file includes itself once per target: the first part below is
// compiled once, the second once per target.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "diffusion/diffusion.hpp"
#include "diffusion/rows.hpp"
#include "search/cells.hpp"
#include "search/grid_search.hpp"
#include "search/layout_forms.hpp"
#include "search/plan.hpp"
#include "targets.hpp"
#include "vectors.hpp"

#define TONALIS_TARGET_BODY "diffusion/palette.cpp"
#include "targets.hpp"

namespace tonalis {

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

void prepare_palette_search(const search::Plan& plan, Palette& palette) noexcept {
    if (plan.form == search::Form::neighbours) {
        palette.layout.add_neighbours(palette.colors);
    }
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch,
                     const PipelineSettings& pipe, const search::Plan& plan) noexcept {
    PaletteCells cells;
    const bool grid =
        plan.form == search::Form::grid_cells && make_grid(cells, palette, space, plan.side);
    const auto pass = plan.narrow ? TONALIS_DISPATCH_TO_AVX2(diffuse_palette_pass)
                                  : TONALIS_DISPATCH(diffuse_palette_pass);
    pass(img, palette, space, rows, kernel, serpentine, scratch, pipe, plan,
         grid ? &cells : nullptr);
}

}  // namespace tonalis

#else  // one target's copy

#include "vectors.hpp"
#include "search/layout_forms.hpp"
#include "search/grid_search.hpp"
#include "diffusion/rows.hpp"

// The three colour channels of a pixel in lanes 0 to 2 (lane 3 stays zero):
// one search per pixel (or per two pixels), then the error of all three
// channels at once.
template <class Search>
struct PaletteQuantizer {
    using V = f4;
    const float* to_work;
    const Palette* palette;
    Search search;

    [[gnu::always_inline]] f4 input(const std::uint8_t* px) const noexcept {
        return f4{to_work[px[0]], to_work[px[1]], to_work[px[2]], 0.0f};
    }
    [[gnu::always_inline]] f4 quantize(f4 v, std::uint8_t* px) noexcept {
        return v - write_colour(search(v[0], v[1], v[2]), px);
    }
    // Two pixels (of the two rows of a pair) at once, for a search that can
    // take two points together; each pixel's result is quantize()'s.
    [[gnu::always_inline]] void quantize_two(f4 va, std::uint8_t* pa, f4 vb, std::uint8_t* pb,
                                             f4& ea, f4& eb) noexcept
        requires requires(Search& s, float x, std::size_t& j) { s.two(x, x, x, x, x, x, j, j); }
    {
        std::size_t ja = 0;
        std::size_t jb = 0;
        search.two(va[0], va[1], va[2], vb[0], vb[1], vb[2], ja, jb);
        ea = va - write_colour(ja, pa);
        eb = vb - write_colour(jb, pb);
    }
    [[gnu::always_inline]] f4 write_colour(std::size_t j, std::uint8_t* px) const noexcept {
        const Rgb& out = palette->rgb[j];
        px[0] = out[0];
        px[1] = out[1];
        px[2] = out[2];
        return load_cell<f4>(palette->layout.quads.data() + 4 * j);
    }
};

// One pass per search, each compiled on its own so that adding one leaves
// the other's code as it was.
template <class Search>
[[gnu::noinline]] void diffuse_with(Search search, Img& img, const Palette& palette,
                                    const Space& space, const KernelRows& rows, std::size_t kernel,
                                    bool serpentine, float* scratch,
                                    const PipelineSettings& pipe) noexcept {
    PaletteQuantizer<Search> q{space.to_work.data(), &palette, search};
    diffuse_any(kernel, q, img.data.data(), img.height, img.width, img.channels, serpentine, rows,
                cell_floats, scratch, pipe);
}

// The plan's search: the grid when it was made, the neighbour lists when
// they were built, else the plain search.
void diffuse_palette_pass(Img& img, const Palette& palette, const Space& space,
                          const KernelRows& rows, std::size_t kernel, bool serpentine,
                          float* scratch, const PipelineSettings& pipe, const search::Plan& plan,
                          PaletteCells* cells) noexcept {
    const PaletteLayout& layout = palette.layout;
    if (cells != nullptr) {
        diffuse_with(GridSearch{cells, ColorSearch(layout, plan.plain), plan.longest}, img, palette,
                     space, rows, kernel, serpentine, scratch, pipe);
        return;
    }
    if (plan.form == search::Form::neighbours && layout.near_count != 0) {
        diffuse_with(NearSearch(layout), img, palette, space, rows, kernel, serpentine, scratch,
                     pipe);
        return;
    }
    diffuse_with(ColorSearch(layout, plan.plain), img, palette, space, rows, kernel, serpentine,
                 scratch, pipe);
}

#endif  // TONALIS_TARGET
