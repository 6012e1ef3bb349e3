// Error diffusion's search through its grid of cell lists (search/cells.hpp,
// in the block form), compiled once per target (see targets.hpp).
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the search
// for that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>

#include "search/cell_lists.hpp"
#include "search/cells.hpp"
#include "search/layout_forms.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_GRID_SEARCH_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_GRID_SEARCH_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_GRID_SEARCH_2))
#if TONALIS_TARGET == 0
#define TONALIS_GRID_SEARCH_0
#elif TONALIS_TARGET == 1
#define TONALIS_GRID_SEARCH_1
#else
#define TONALIS_GRID_SEARCH_2
#endif

#include "search/cell_lists.hpp"
#include "search/layout_forms.hpp"
#include "vectors.hpp"

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
        static_assert(lanes == 8, "blocks of eight lanes");
        vf8 d[blocks];
        for (std::size_t k = 0; k < blocks; ++k) {
            vf8 r;
            vf8 g;
            vf8 b;
            __builtin_memcpy(&r, list + k * words, sizeof r);
            __builtin_memcpy(&g, list + k * words + lanes, sizeof g);
            __builtin_memcpy(&b, list + k * words + 2 * lanes, sizeof b);
            const vf8 dr = p0 - r;
            const vf8 dg = p1 - g;
            const vf8 db = p2 - b;
            d[k] = (dr * dr + dg * dg) + db * db;
        }
        // No lane is NaN: the working value is inside the grid.
        vf8 m = d[0];
        if constexpr (blocks == 2) m = d[1] < m ? d[1] : m;
        const vf8 m4 = __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
        m = m4 < m ? m4 : m;
        const vf8 m2 = __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
        m = m2 < m ? m2 : m;
        const vf8 m1 = __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
        m = m1 < m ? m1 : m;
        unsigned bits = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
            const vi8 at = d[k] == m;
            bits |= lane_bits8(at) << (k * lanes);
        }
        const auto first = static_cast<std::size_t>(__builtin_ctz(bits));
        return list[first / lanes * words + 3 * lanes + first % lanes];
    }
};

#endif
