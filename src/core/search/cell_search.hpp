// The cell search of the threshold engines for one band of rows: the grid
// of cell lists or sets (search/cells.hpp), and the plan's plain search for
// what it leaves; compiled once per target (see targets.hpp).
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the search
// for that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>

#include "palette.hpp"
#include "search/cell_lists.hpp"
#include "search/cells.hpp"
#include "search/layout_forms.hpp"
#include "search/plan.hpp"
#include "space.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_CELL_SEARCH_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_CELL_SEARCH_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_CELL_SEARCH_2))
#if TONALIS_TARGET == 0
#define TONALIS_CELL_SEARCH_0
#elif TONALIS_TARGET == 1
#define TONALIS_CELL_SEARCH_1
#else
#define TONALIS_CELL_SEARCH_2
#endif

#include "search/cell_lists.hpp"
#include "search/layout_forms.hpp"
#include "vectors.hpp"

// The cell search of one band of rows.
class CellSearch {
public:
    CellSearch(const Palette& palette, const Space& space, const search::Plan& plan,
               PaletteCells& cells) noexcept
        : cells_(cells), layout_(palette.layout), plain_(palette.layout, plan.plain) {
        to_work_ = space.to_work.data();
        side_ = cells.side();
        limit_ = static_cast<float>(side_);
        for (std::size_t c = 0; c < 3; ++c) {
            origin_[c] = cells.origin()[c];
            scale_[c] = cells.scale()[c];
        }
    }

    // The cells of native_lanes working values; lanes outside the grid
    // are cleared in `inside`, and their cell is 0.
    [[gnu::always_inline]] vi cells_of(const vf p[3], vi& inside) const noexcept {
        vi index[3];
        inside = splat_vi(-1);
        for (std::size_t c = 0; c < 3; ++c) {
            const vf t = (p[c] - origin_[c]) * scale_[c];
            inside &= (t >= 0.0f) & (t < limit_);
            index[c] = __builtin_convertvector(inside ? t : splat_vf(0.0f), vi);
        }
        const auto side = static_cast<std::int32_t>(side_);
        return ((index[0] * side + index[1]) * side + index[2]) & inside;
    }

    // The nearest colour (its bytes, packed) of a working value whose cell
    // (side³ when outside) is in state `state`.
    std::uint32_t nearest(float p0, float p1, float p2, std::size_t cell,
                          std::uint32_t state) noexcept {
        state = settled(cell, state);
        if (state & 1) {
            return state >> 1;
        }
        if (state > PaletteCells::no_list) {
            const float* to_work = to_work_;
            auto color = [to_work](std::uint32_t rgb, int c) {
                return to_work[(rgb >> (8 * c)) & 0xFF];
            };
            return search_list(cells_.pool() + ((state >> 12) - 1),
                               (state >> 1) & PaletteCells::max_length, color, p0, p1, p2);
        }
        return cells_.packed_rgb()[plain_(p0, p1, p2)];
    }

    // The set (in the set form) of a working value's cell, or when the cell
    // has none, the set of the nearest colour alone.
    std::uint32_t color_set(float p0, float p1, float p2, std::size_t cell,
                            std::uint32_t state) noexcept {
        state = settled(cell, state);
        return state & 1 ? state : PaletteCells::set_of(plain_(p0, p1, p2));
    }

    std::uint32_t nearest(float p0, float p1, float p2) noexcept {
        if (cells_.sets()) {
            return cells_.packed_rgb()[plain_(p0, p1, p2)];
        }
        const std::size_t cell = cells_.cell_of(p0, p1, p2);
        const std::uint32_t state =
            cell < side_ * side_ * side_ ? cells_.state(cell) : PaletteCells::no_list;
        return nearest(p0, p1, p2, cell, state);
    }

private:
    // The state of a cell (side³ when outside the grid: no list) seen as
    // `state`, after building its list when it was unbuilt.
    std::uint32_t settled(std::size_t cell, std::uint32_t state) noexcept {
        if (cell >= side_ * side_ * side_) {
            return PaletteCells::no_list;
        }
        return state == PaletteCells::unbuilt ? settle_cell(cells_, layout_, cell) : state;
    }

    PaletteCells& cells_;
    const PaletteLayout& layout_;
    ColorSearch plain_;
    std::size_t side_;
    float limit_;
    float origin_[3];
    float scale_[3];
    const float* to_work_;
};

#endif
