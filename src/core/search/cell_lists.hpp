// The lists of the cell search (search/cells.hpp): their building, shared
// by the threshold engines and error diffusion, and their plain search;
// compiled once per target (see targets.hpp).
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the list
// code for that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "palette.hpp"
#include "search/cells.hpp"
#include "search/layout_forms.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_CELL_LISTS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_CELL_LISTS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_CELL_LISTS_2))
#if TONALIS_TARGET == 0
#define TONALIS_CELL_LISTS_0
#elif TONALIS_TARGET == 1
#define TONALIS_CELL_LISTS_1
#else
#define TONALIS_CELL_LISTS_2
#endif

#include "search/layout_forms.hpp"
#include "vectors.hpp"

// Lists up to this long are shortened by prune_dominated.
constexpr std::size_t prune_members = search::Limits::prune_most;

// Drops from a cell's list every colour k to which another colour j on the
// list is nearer throughout the box [lo, hi]: k is then nowhere the
// nearest, nor as near as the nearest. The exact distances differ by
// |p - k|² - |p - j|² = sum over channels of (j - k)(2p - k - j), linear
// in p, smallest at a corner of the box, found in double without
// rounding; each computed distance is within 5 rounding steps of single
// precision (under 2^-21 relative) of the exact one, so a difference above
// 2^-18 of the sum of the largest exact distances over the box stays
// positive once computed. Each colour is tested against double_lanes
// others at once. Gives the new length.
constexpr std::size_t double_lanes = native_lanes / 2;
typedef double vd __attribute__((vector_size(8 * double_lanes)));
typedef std::int64_t vl __attribute__((vector_size(8 * double_lanes)));

std::size_t prune_dominated(const PaletteLayout& layout, const float lo[3], const float hi[3],
                            std::uint16_t* members, std::size_t length) noexcept {
    constexpr std::size_t room = (prune_members + double_lanes - 1) / double_lanes * double_lanes;
    // The colours by channel, and the largest distance of each from the box;
    // spare lanes repeat the first colour, which drops nothing it would not.
    alignas(64) double c[3][room];
    alignas(64) double far[room];
    const std::size_t padded = (length + double_lanes - 1) / double_lanes * double_lanes;
    for (std::size_t i = 0; i < padded; ++i) {
        const std::size_t from = i < length ? i : 0;
        far[i] = 0.0;
        for (std::size_t ch = 0; ch < 3; ++ch) {
            c[ch][i] = static_cast<double>(layout.planes[ch * layout.padded + members[from]]);
            const double a = c[ch][i] - static_cast<double>(lo[ch]);
            const double b = static_cast<double>(hi[ch]) - c[ch][i];
            far[i] += a * a > b * b ? a * a : b * b;
        }
    }
    auto load = [](const double* p) noexcept {
        vd v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    vd low[3];
    vd high[3];
    for (std::size_t ch = 0; ch < 3; ++ch) {
        low[ch] = vd{} + static_cast<double>(lo[ch]);
        high[ch] = vd{} + static_cast<double>(hi[ch]);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        vl dropped{};
        for (std::size_t m = 0; m < padded; m += double_lanes) {
            vd least{};
            for (std::size_t ch = 0; ch < 3; ++ch) {
                const vd cm = load(c[ch] + m);
                const vd a = cm - c[ch][i];
                const vd p = a > 0.0 ? low[ch] : high[ch];
                least += a * (2.0 * p - c[ch][i] - cm);
            }
            dropped |= least > (far[i] + load(far + m)) * 0x1p-18;
        }
        bool any = false;
        for (std::size_t l = 0; l < double_lanes; ++l) any |= dropped[l] != 0;
        if (!any) members[kept++] = members[i];
    }
    return kept;
}

// A list of `blocks` blocks' worth of colours as blocks (search/cells.hpp).
void write_blocks(const PaletteLayout& layout, const std::uint16_t* members, std::size_t length,
                  std::size_t blocks, std::uint32_t* out) noexcept {
    constexpr std::size_t lanes = PaletteCells::block_lanes;
    for (std::size_t k = 0; k < blocks * lanes; ++k) {
        std::uint32_t* block = out + k / lanes * PaletteCells::block_words;
        const std::size_t lane = k % lanes;
        for (std::size_t c = 0; c < 3; ++c) {
            const float v =
                k < length ? layout.planes[c * layout.padded + members[k]] : __builtin_inff();
            __builtin_memcpy(block + c * lanes + lane, &v, sizeof v);
        }
        block[3 * lanes + lane] = k < length ? members[k] : members[0];
    }
}

// The gap and far bounds, per channel, from the cell [lo, hi] to native_lanes
// boxes [l, h] (colours, when l and h are the same): the smallest and the
// largest difference between a point of the cell and a point of the box.
struct CellBounds {
    vf near;  // squared and summed in the order of the distances
    vf far;

    [[gnu::always_inline]] static CellBounds of(const float lo[3], const float hi[3], const vf l[3],
                                                const vf h[3]) noexcept {
        const vf zero = splat_vf(0.0f);
        vf gap[3];
        vf far[3];
        for (std::size_t c = 0; c < 3; ++c) {
            gap[c] = max_vf(zero, max_vf(lo[c] - h[c], l[c] - hi[c]));
            far[c] = max_vf(h[c] - lo[c], hi[c] - l[c]);
        }
        return {(gap[0] * gap[0] + gap[1] * gap[1]) + gap[2] * gap[2],
                (far[0] * far[0] + far[1] * far[1]) + far[2] * far[2]};
    }
};

// Scratch of the list builds: a padded palette, and a bound per block.
constexpr std::size_t cell_scratch_floats =
    max_palette_colors + max_palette_colors / PaletteLayout::lanes + native_lanes;

// The colours of a cell's list, in the caller's order, into `members`:
// every colour whose gap bound is at most the smallest far bound. `lb` and
// `members` hold cell_scratch_floats. Gives the length.
std::size_t cell_candidates(const PaletteLayout& layout, const float lo[3], const float hi[3],
                            float* lb, std::uint16_t* members) noexcept {
    const float* planes[3] = {layout.planes.data(), layout.planes.data() + layout.padded,
                              layout.planes.data() + 2 * layout.padded};
    vf nearest_far = splat_vf(__builtin_inff());
    for (std::size_t k = 0; k < layout.padded; k += native_lanes) {
        vf v[3];
        for (std::size_t c = 0; c < 3; ++c) v[c] = load_vf(planes[c] + k);
        // Padding colours are NaN: never below the bound, never the bound.
        const CellBounds bounds = CellBounds::of(lo, hi, v, v);
        __builtin_memcpy(lb + k, &bounds.near, sizeof bounds.near);
        nearest_far = min_vf(bounds.far, nearest_far);
    }
    const float bound = all_min(nearest_far)[0];
    std::size_t length = 0;
    for (std::size_t k = 0; k < layout.padded; k += native_lanes) {
        unsigned mask = lane_bits(load_vf(lb + k) <= bound);
        while (mask != 0) {
            const auto lane = static_cast<unsigned>(__builtin_ctz(mask));
            members[length++] = static_cast<std::uint16_t>(k + lane);
            mask &= mask - 1;
        }
    }
    return length;
}

// The same list through the blocked form. Every colour of the list, and
// the colour with the smallest far bound, has a gap bound at most the far
// bound of any colour: `reach`, that of the colour nearest to the cell's
// centre. A block's box has a gap bound at most each of its colours' (rounding
// is monotonic), so the blocks whose box is within reach hold them all.
std::size_t cell_candidates_by_block(const PaletteLayout& layout, const float lo[3],
                                     const float hi[3], float* lb,
                                     std::uint16_t* members) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    const std::size_t stride = layout.blocks_padded;
    const float* bounds = layout.block_bounds.data();
    float reach = 0.0f;
    {
        float middle[3];
        for (std::size_t c = 0; c < 3; ++c) middle[c] = 0.5f * lo[c] + 0.5f * hi[c];
        std::size_t hint = 0;
        const std::size_t j = search_blocks(layout, middle[0], middle[1], middle[2], hint);
        vf v[3];
        for (std::size_t c = 0; c < 3; ++c) v[c] = splat_vf(layout.planes[c * layout.padded + j]);
        reach = CellBounds::of(lo, hi, v, v).far[0];
    }
    for (std::size_t k = 0; k < stride; k += native_lanes) {
        vf l[3];
        vf h[3];
        for (std::size_t c = 0; c < 3; ++c) {
            l[c] = load_vf(bounds + c * stride + k);
            h[c] = load_vf(bounds + (3 + c) * stride + k);
        }
        // Unused entries span nothing: their gap bound is infinite.
        const vf near = CellBounds::of(lo, hi, l, h).near;
        __builtin_memcpy(lb + k, &near, sizeof near);
    }
    // The colours within reach, with their gap bounds, and the smallest far
    // bound among them: the smallest of the palette.
    float* near = lb + stride;
    std::size_t found = 0;
    vf colour_far = splat_vf(__builtin_inff());
    for (std::size_t block = 0; block < layout.blocks; ++block) {
        if (!(lb[block] <= reach)) continue;
        const float* base = layout.block_planes.data() + block * 3 * lanes;
        for (std::size_t k = 0; k < lanes; k += native_lanes) {
            vf v[3];
            for (std::size_t c = 0; c < 3; ++c) v[c] = load_vf(base + c * lanes + k);
            const CellBounds bounds = CellBounds::of(lo, hi, v, v);
            colour_far = min_vf(bounds.far, colour_far);
            unsigned mask = lane_bits(bounds.near <= reach);
            while (mask != 0) {
                const auto at = static_cast<unsigned>(__builtin_ctz(mask));
                near[found] = bounds.near[at];
                members[found++] =
                    static_cast<std::uint16_t>(layout.block_members[block * lanes + k + at]);
                mask &= mask - 1;
            }
        }
    }
    const float bound = all_min(colour_far)[0];
    std::size_t length = 0;
    for (std::size_t i = 0; i < found; ++i) {
        if (near[i] <= bound) members[length++] = members[i];
    }
    std::sort(members, members + length);
    return length;
}

// The same list picked from the `count` colours (indices, in the caller's
// order) of a list that holds it: that of a box around the cell. Every
// colour that may be the nearest for a point of the cell is among them, so
// the smallest far bound among them bounds its distance as the palette's
// does, and every colour of the cell's list has a gap bound within it.
std::size_t cell_candidates_among(const PaletteLayout& layout, const float lo[3], const float hi[3],
                                  const std::uint32_t* from, std::size_t count, float* lb,
                                  std::uint16_t* members) noexcept {
    vf nearest_far = splat_vf(__builtin_inff());
    for (std::size_t k = 0; k < count; k += native_lanes) {
        alignas(64) float colors[3][native_lanes];
        for (std::size_t l = 0; l < native_lanes; ++l) {
            // Lanes past the list are NaN, like the layout's padding.
            for (std::size_t c = 0; c < 3; ++c) {
                colors[c][l] = k + l < count ? layout.planes[c * layout.padded + from[k + l]]
                                             : __builtin_nanf("");
            }
        }
        vf v[3];
        for (std::size_t c = 0; c < 3; ++c) v[c] = load_vf(colors[c]);
        const CellBounds bounds = CellBounds::of(lo, hi, v, v);
        __builtin_memcpy(lb + k, &bounds.near, sizeof bounds.near);
        nearest_far = min_vf(bounds.far, nearest_far);
    }
    const float bound = all_min(nearest_far)[0];
    std::size_t length = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (lb[k] <= bound) members[length++] = static_cast<std::uint16_t>(from[k]);
    }
    return length;
}

std::uint32_t settle_cell(PaletteCells& cells, const PaletteLayout& layout,
                          std::size_t cell) noexcept;

// The list of the parent cell around cell `index` of `cells`: its state,
// settled (a list of one colour, a list in the pool, or no list).
std::uint32_t parent_state(PaletteCells& cells, const PaletteLayout& layout,
                           const std::size_t index[3]) noexcept {
    PaletteCells& parent = *cells.parent();
    const std::size_t side = parent.side();
    constexpr std::size_t ratio = PaletteCells::parent_ratio;
    const std::size_t at = (index[0] / ratio * side + index[1] / ratio) * side + index[2] / ratio;
    const std::uint32_t state = parent.state(at);
    return state == PaletteCells::unbuilt ? settle_cell(parent, layout, at) : state;
}

// Builds the list of a cell claimed by this thread and publishes it; gives
// the cell's new state, with scratch as above.
std::uint32_t build_cell(PaletteCells& cells, const PaletteLayout& layout, std::size_t cell,
                         const std::size_t index[3], float* lb, std::uint16_t* members) noexcept {
    float lo[3];
    float hi[3];
    cells.box(index[0], index[1], index[2], lo, hi);
    // From the parent's list when there is one, else from the palette.
    std::uint32_t around = PaletteCells::no_list;
    if (cells.parent() != nullptr) {
        around = parent_state(cells, layout, index);
    }
    std::size_t length = 0;
    if ((around & 1) != 0) {
        members[length++] = static_cast<std::uint16_t>(around >> 1);
    } else if (around > PaletteCells::no_list) {
        length =
            cell_candidates_among(layout, lo, hi, cells.parent()->pool() + ((around >> 12) - 1),
                                  (around >> 1) & PaletteCells::max_length, lb, members);
    } else {
        length = layout.blocks != 0 ? cell_candidates_by_block(layout, lo, hi, lb, members)
                                    : cell_candidates(layout, lo, hi, lb, members);
    }
    if (length > 1 && length <= prune_members) {
        length = prune_dominated(layout, lo, hi, members, length);
    }
    std::uint32_t state = PaletteCells::no_list;
    // What a list holds for member i: its index, or its bytes.
    const std::uint32_t* packed = cells.packed_rgb();
    auto entry = [&](std::size_t i) -> std::uint32_t {
        return packed == nullptr ? members[i] : packed[members[i]];
    };
    constexpr std::size_t lanes = PaletteCells::block_lanes;
    if (cells.blocks() && length >= 1 && length <= PaletteCells::most_blocks * lanes) {
        const std::size_t blocks = (length + lanes - 1) / lanes;
        std::size_t start = 0;
        if (std::uint32_t* room = cells.reserve(blocks * PaletteCells::block_words, start)) {
            write_blocks(layout, members, length, blocks, room);
            state = PaletteCells::list(start, length);
        }
    } else if (cells.sets()) {
        state = 0;
        for (std::size_t i = 0; i < length; ++i) state |= PaletteCells::set_of(members[i]);
        state = length != 0 ? state : PaletteCells::no_list;
    } else if (length == 1) {
        state = PaletteCells::single(entry(0));
    } else if (length > 1 && length <= PaletteCells::max_length) {
        std::size_t start = 0;
        // The spare words repeat the first entry: a colour met again.
        if (std::uint32_t* room = cells.reserve(length, start, entry(0))) {
            for (std::size_t i = 0; i < length; ++i) room[i] = entry(i);
            state = PaletteCells::list(start, length);
        }
    }
    cells.publish(cell, state);
    return state;
}

// The first nearest colour on a list in the caller's order: the list's
// entry whose working value (color(entry, channel)) is nearest.
template <class Color>
[[gnu::always_inline]] inline std::uint32_t search_list(const std::uint32_t* list,
                                                        std::size_t length, Color color, float p0,
                                                        float p1, float p2) noexcept {
    std::uint32_t nearest = list[0];
    float best = __builtin_inff();
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t e = list[i];
        const float dr = p0 - color(e, 0);
        const float dg = p1 - color(e, 1);
        const float db = p2 - color(e, 2);
        const float d = (dr * dr + dg * dg) + db * db;
        nearest = d < best ? e : nearest;
        best = d < best ? d : best;
    }
    return nearest;
}

// The state of an unbuilt cell once this thread has built its list, or as
// another thread left it (being built, or built meanwhile). Called once
// per cell at most by each thread, so its scratch lives on the stack.
[[gnu::noinline]] std::uint32_t settle_cell(PaletteCells& cells, const PaletteLayout& layout,
                                            std::size_t cell) noexcept {
    if (!cells.claim(cell)) {
        return cells.state(cell);
    }
    const std::size_t side = cells.side();
    const std::size_t index[3] = {cell / (side * side), cell / side % side, cell % side};
    alignas(64) float lb[cell_scratch_floats];
    std::uint16_t members[cell_scratch_floats];
    return build_cell(cells, layout, cell, index, lb, members);
}

#endif
