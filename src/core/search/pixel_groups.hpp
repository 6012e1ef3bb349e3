// Groups of pixels in vector lanes against palette colours, for the
// threshold engines: every colour compared with the whole group at once, and
// for larger palettes only the colours that could be nearest to one of the
// group's pixels (those near the box the group spans; see palette_rows in
// threshold/palette_passes.hpp), compiled once per target (see targets.hpp).
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the group
// code for that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>

#include "palette.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_PIXEL_GROUPS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_PIXEL_GROUPS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_PIXEL_GROUPS_2))
#if TONALIS_TARGET == 0
#define TONALIS_PIXEL_GROUPS_0
#elif TONALIS_TARGET == 1
#define TONALIS_PIXEL_GROUPS_1
#else
#define TONALIS_PIXEL_GROUPS_2
#endif

#include "vectors.hpp"

// Lanes' working values (v0, v1, v2) against one colour (working values
// r, g, b), tagged `tag` (its index, or its bytes): a lane moves to it when
// strictly nearer, or, when colours may come in any order, as near with a
// lower tag. Inside loops over colours, broadcast a tag as vi{} + x:
// splat_vi's lane loop compiles to one insertion per lane there.
template <bool any_order = false>
[[gnu::always_inline]] inline void compare_color(const vf& v0, const vf& v1, const vf& v2, float r,
                                                 float g, float b, const vi& tag, vf& best,
                                                 vi& chosen) noexcept {
    const vf dr = v0 - r;
    const vf dg = v1 - g;
    const vf db = v2 - b;
    const vf d = (dr * dr + dg * dg) + db * db;
    vi nearer = d < best;
    if constexpr (any_order) nearer |= (d == best) & (tag < chosen);
    best = nearer ? d : best;
    chosen = nearer ? tag : chosen;
}

constexpr std::size_t group_pixels = 64;
constexpr std::size_t group_parts = group_pixels / native_lanes;
constexpr std::size_t group_hints = 4;

struct PixelGroup {
    alignas(64) float p[3][group_pixels];
    vf v[3][group_parts];
    vf best[group_parts];
    vi index[group_parts];

    [[gnu::always_inline]] void load() noexcept {
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t k = 0; k < group_parts; ++k)
                v[c][k] = load_vf(p[c] + k * native_lanes);
        }
    }
    [[gnu::always_inline]] void reset() noexcept {
        for (std::size_t k = 0; k < group_parts; ++k) {
            best[k] = splat_vf(__builtin_inff());
            index[k] = splat_vi(0);
        }
    }
    // Every pixel against colour j, moving to it when strictly nearer, or,
    // when colours may come in any order, as near and listed earlier.
    template <bool any_order = false>
    [[gnu::always_inline]] void compare(float r, float g, float b, std::int32_t j) noexcept {
        const vi jj = splat_vi(j);
        for (std::size_t k = 0; k < group_parts; ++k) {
            compare_color<any_order>(v[0][k], v[1][k], v[2][k], r, g, b, jj, best[k], index[k]);
        }
    }
    [[gnu::always_inline]] float largest_best() const noexcept {
        vf m = best[0];
        for (std::size_t k = 1; k < group_parts; ++k) m = max_vf(m, best[k]);
        return all_max(m)[0];
    }
    [[gnu::always_inline]] void box(float lo[3], float hi[3]) const noexcept {
        for (std::size_t c = 0; c < 3; ++c) {
            vf mn = v[c][0];
            vf mx = v[c][0];
            for (std::size_t k = 1; k < group_parts; ++k) {
                mn = min_vf(mn, v[c][k]);
                mx = max_vf(mx, v[c][k]);
            }
            lo[c] = all_min(mn)[0];
            hi[c] = all_max(mx)[0];
        }
    }
};

// Gaps (as a distance) between the box [lo, hi] and native_lanes colours
// or boxes [clo, chi] held as planes. A padding colour (NaN) gives NaN,
// which passes no comparison: zero comes first in the outer maximum.
[[gnu::always_inline]] inline vf box_gaps(const float lo[3], const float hi[3], const float* clo[3],
                                          const float* chi[3], std::size_t k) noexcept {
    const vf zero = splat_vf(0.0f);
    vf g[3];
    for (std::size_t c = 0; c < 3; ++c) {
        g[c] = max_vf(zero, max_vf(lo[c] - load_vf(chi[c] + k), load_vf(clo[c] + k) - hi[c]));
    }
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

// Appends to out the lanes set in mask, as first + lane.
[[gnu::always_inline]] inline std::size_t append_lanes(std::int32_t* out, std::size_t count,
                                                       unsigned mask,
                                                       const std::int32_t* ids) noexcept {
    while (mask != 0) {
        out[count++] = ids[__builtin_ctz(mask)];
        mask &= mask - 1;
    }
    return count;
}

// The colours within ub of the box, in the caller's order.
[[gnu::always_inline]] inline std::size_t near_box(const PaletteLayout& layout, const float lo[3],
                                                   const float hi[3], float ub,
                                                   std::int32_t* out) noexcept {
    const float* planes[3] = {layout.planes.data(), layout.planes.data() + layout.padded,
                              layout.planes.data() + 2 * layout.padded};
    std::size_t count = 0;
    for (std::size_t k = 0; k < layout.padded; k += native_lanes) {
        // Padding colours are NaN and never pass.
        const unsigned mask = lane_bits(box_gaps(lo, hi, planes, planes, k) <= ub);
        count = append_lane_numbers(out, count, mask, k);
    }
    return count;
}

// The same for large palettes, skipping whole groups of blocks and blocks
// that are farther than ub from the box; in block order, not the caller's.
[[gnu::always_inline]] inline std::size_t near_box_blocked(const PaletteLayout& layout,
                                                           const float lo[3], const float hi[3],
                                                           float ub, std::int32_t* out) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    const std::size_t stride = layout.blocks_padded;
    const float* glo[3];
    const float* ghi[3];
    const float* blo[3];
    const float* bhi[3];
    for (std::size_t c = 0; c < 3; ++c) {
        glo[c] = layout.group_bounds.data() + c * lanes;
        ghi[c] = layout.group_bounds.data() + (3 + c) * lanes;
        blo[c] = layout.block_bounds.data() + c * stride;
        bhi[c] = layout.block_bounds.data() + (3 + c) * stride;
    }
    unsigned groups = 0;
    for (std::size_t k = 0; k < lanes; k += native_lanes) {
        groups |= lane_bits(box_gaps(lo, hi, glo, ghi, k) <= ub) << k;
    }
    std::size_t count = 0;
    while (groups != 0) {
        const std::size_t g = static_cast<std::size_t>(__builtin_ctz(groups));
        groups &= groups - 1;
        unsigned blocks = 0;
        for (std::size_t k = 0; k < lanes; k += native_lanes) {
            blocks |= lane_bits(box_gaps(lo, hi, blo, bhi, g * lanes + k) <= ub) << k;
        }
        while (blocks != 0) {
            const std::size_t b = g * lanes + static_cast<std::size_t>(__builtin_ctz(blocks));
            blocks &= blocks - 1;
            const float* base = layout.block_planes.data() + b * 3 * lanes;
            const float* members[3] = {base, base + lanes, base + 2 * lanes};
            for (std::size_t k = 0; k < lanes; k += native_lanes) {
                const unsigned mask = lane_bits(box_gaps(lo, hi, members, members, k) <= ub);
                count = append_lanes(out, count, mask, layout.block_members.data() + b * lanes + k);
            }
        }
    }
    return count;
}

#endif
