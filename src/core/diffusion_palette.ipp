// The palette mode of error diffusion, compiled once per target (see
// targets.hpp): the nearest-colour search gains from wide vectors.

#include "vectors.ipp"
#include "palette_search.ipp"
#include "palette_cells.ipp"
#include "diffusion_rows.ipp"

// Single lookups (palette.hpp), by either plain search.
std::size_t nearest_by_scan(const PaletteLayout& layout, float p0, float p1, float p2) noexcept {
    return scan_colors(layout, p0, p1, p2);
}

std::size_t nearest_by_blocks(const PaletteLayout& layout, float p0, float p1, float p2) noexcept {
    ColorSearch blocked(layout, search::Form::blocked);
    return blocked(p0, p1, p2);
}

// The search through the lists of a grid of cells (in the block form), for
// working values inside it; the plain search for the rest, for cells
// without a list, and for lists longer than `longest`.
struct GridSearch {
    PaletteCells* cells;
    ColorSearch plain;
    std::size_t longest;

    [[gnu::always_inline]] std::size_t operator()(float p0, float p1, float p2) noexcept {
        const std::size_t cell = cells->cell_of(p0, p1, p2);
        if (cell == cells->cell_count()) {
            return plain(p0, p1, p2);
        }
        std::uint32_t state = cells->state(cell);
        if (state == PaletteCells::unbuilt) [[unlikely]] {
            state = settle_cell(*cells, *plain.layout, cell);
        }
        if (state <= PaletteCells::no_list) [[unlikely]] {
            return plain(p0, p1, p2);
        }
        const std::uint32_t* list = cells->pool() + ((state >> 12) - 1);
        const std::size_t length = (state >> 1) & PaletteCells::max_length;
        if (length <= PaletteCells::block_lanes) {
            return search_blocks<1>(list, p0, p1, p2);
        }
        if (length <= 2 * PaletteCells::block_lanes) {
            return search_blocks<2>(list, p0, p1, p2);
        }
        if (length > longest) {
            return plain(p0, p1, p2);
        }
        const float* planes = plain.layout->planes.data();
        const std::size_t padded = plain.layout->padded;
        auto color = [planes, padded](std::uint32_t j, int c) {
            return planes[static_cast<std::size_t>(c) * padded + j];
        };
        return search_list(list, length, color, p0, p1, p2);
    }

    // The first nearest colour of one or two blocks: their lanes hold the
    // colours in the caller's order, unused lanes infinitely far.
    template <std::size_t blocks>
    [[gnu::always_inline]] static std::size_t search_blocks(const std::uint32_t* list, float p0,
                                                            float p1, float p2) noexcept {
        static_assert(blocks == 1 || blocks == 2);
        constexpr std::size_t lanes = PaletteCells::block_lanes;
        constexpr std::size_t words = PaletteCells::block_words;
        typedef float f8 __attribute__((vector_size(4 * lanes)));
        typedef std::int32_t i8 __attribute__((vector_size(4 * lanes)));
        f8 d[blocks];
        for (std::size_t k = 0; k < blocks; ++k) {
            f8 r;
            f8 g;
            f8 b;
            __builtin_memcpy(&r, list + k * words, sizeof r);
            __builtin_memcpy(&g, list + k * words + lanes, sizeof g);
            __builtin_memcpy(&b, list + k * words + 2 * lanes, sizeof b);
            const f8 dr = p0 - r;
            const f8 dg = p1 - g;
            const f8 db = p2 - b;
            d[k] = (dr * dr + dg * dg) + db * db;
        }
        // No lane is NaN: the working value is inside the grid.
        f8 m = d[0];
        if constexpr (blocks == 2) m = d[1] < m ? d[1] : m;
        const f8 m4 = __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
        m = m4 < m ? m4 : m;
        const f8 m2 = __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
        m = m2 < m ? m2 : m;
        const f8 m1 = __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
        m = m1 < m ? m1 : m;
        unsigned bits = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
            const i8 at = d[k] == m;
#if TONALIS_TARGET >= 1
            const auto mask =
                static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(at)));
#else
            const vi low = __builtin_shufflevector(at, at, 0, 1, 2, 3);
            const vi high = __builtin_shufflevector(at, at, 4, 5, 6, 7);
            const unsigned mask = lane_bits(low) | lane_bits(high) << 4;
#endif
            bits |= mask << (k * lanes);
        }
        const auto first = static_cast<std::size_t>(__builtin_ctz(bits));
        return list[first / lanes * words + 3 * lanes + first % lanes];
    }
};

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
