// The searches over a PaletteLayout: the scan of every colour (one point or
// two at once), the blocked search and the neighbour lists, compiled once
// per target (see targets.hpp).
//
// Every search returns what the reference scan returns (reference.hpp).
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the
// searches for that target, once however many of the body's files include
// it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>

#include "palette.hpp"
#include "search/plan.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_LAYOUT_FORMS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_LAYOUT_FORMS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_LAYOUT_FORMS_2))
#if TONALIS_TARGET == 0
#define TONALIS_LAYOUT_FORMS_0
#elif TONALIS_TARGET == 1
#define TONALIS_LAYOUT_FORMS_1
#else
#define TONALIS_LAYOUT_FORMS_2
#endif

#include "vectors.hpp"

constexpr std::size_t block_parts = PaletteLayout::lanes / native_lanes;

// Distances from p to native_lanes colours held as three planes.
[[gnu::always_inline]] inline vf distances(const float* r, const float* g, const float* b, float p0,
                                           float p1, float p2) noexcept {
    const vf dr = p0 - load_vf(r);
    const vf dg = p1 - load_vf(g);
    const vf db = p2 - load_vf(b);
    return (dr * dr + dg * dg) + db * db;
}

// Sixteen values (a block, or sixteen bounds) in native vectors.
struct Sixteen {
    vf part[block_parts];

    [[gnu::always_inline]] unsigned at_most(float x) const noexcept {
        unsigned bits = 0;
        for (std::size_t k = 0; k < block_parts; ++k) {
            bits |= lane_bits(part[k] <= x) << (k * native_lanes);
        }
        return bits;
    }
    [[gnu::always_inline]] unsigned equal(vf x) const noexcept {
        unsigned bits = 0;
        for (std::size_t k = 0; k < block_parts; ++k) {
            bits |= lane_bits(part[k] == x) << (k * native_lanes);
        }
        return bits;
    }
    // The smallest value in every lane; NaN lanes are passed over.
    [[gnu::always_inline]] vf minimum() const noexcept {
        vf m = splat_vf(__builtin_inff());
        for (std::size_t k = 0; k < block_parts; ++k) m = min_vf(part[k], m);
        return all_min(m);
    }
};

// Of per-lane minima and the indices where they were found, the first
// index among the lanes that hold the overall minimum.
[[gnu::always_inline]] inline std::size_t first_at_minimum(vf best, vi where) noexcept {
    const vf m = all_min(best);
    const vi first = all_min(best == m ? where : splat_vi(0x7fffffff));
    return static_cast<std::size_t>(first[0]);
}

// The plain scan: every colour, per-lane running minima, then the first
// index among the lanes that hold the overall minimum.
[[gnu::always_inline]] inline std::size_t scan_colors(const PaletteLayout& layout, float p0,
                                                      float p1, float p2) noexcept {
    const std::size_t padded = layout.padded;
    const float* r = layout.planes.data();
    const float* g = r + padded;
    const float* b = g + padded;
    if (padded == PaletteLayout::lanes) {
        Sixteen d;
        for (std::size_t k = 0; k < block_parts; ++k) {
            const std::size_t o = k * native_lanes;
            d.part[k] = distances(r + o, g + o, b + o, p0, p1, p2);
        }
        // Padding lanes are NaN: never the minimum, never equal to it.
        return static_cast<std::size_t>(__builtin_ctz(d.equal(d.minimum())));
    }
    vi lane;
    for (std::size_t l = 0; l < native_lanes; ++l) lane[l] = static_cast<std::int32_t>(l);
    vf best = splat_vf(__builtin_inff());
    vi where = splat_vi(0);
    for (std::size_t k = 0; k < padded; k += native_lanes) {
        const vf d = distances(r + k, g + k, b + k, p0, p1, p2);
        // Strictly smaller: a lane keeps the first of its equal colours.
        const vi nearer = d < best;
        best = nearer ? d : best;
        where = nearer ? lane + static_cast<std::int32_t>(k) : where;
    }
    return first_at_minimum(best, where);
}

// One block of the blocked form: takes its nearest colour when it is
// nearer than the best so far, or as near with a lower index.
[[gnu::always_inline]] inline void try_block(const PaletteLayout& layout, std::size_t block,
                                             float p0, float p1, float p2, float& best,
                                             std::int32_t& best_index,
                                             std::size_t& best_block) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    const float* base = layout.block_planes.data() + block * 3 * lanes;
    Sixteen d;
    for (std::size_t k = 0; k < block_parts; ++k) {
        const std::size_t o = k * native_lanes;
        d.part[k] = distances(base + o, base + lanes + o, base + 2 * lanes + o, p0, p1, p2);
    }
    if (d.at_most(best) == 0) {
        return;
    }
    const vf m = d.minimum();
    const unsigned at = static_cast<unsigned>(__builtin_ctz(d.equal(m)));
    const std::int32_t index = layout.block_members[block * lanes + at];
    // m <= best here: take it when nearer, or as near and listed earlier.
    if (m[0] < best || index < best_index) {
        best = m[0];
        best_index = index;
        best_block = block;
    }
}

// Lower bounds of the distances from p to anything inside sixteen boxes.
// Each gap is at most the corresponding |difference| of any colour in the
// box, and rounding is monotonic, so the bound computed in the same order
// never exceeds a colour's computed distance.
[[gnu::always_inline]] inline Sixteen box_bounds(const float* bounds, std::size_t stride,
                                                 std::size_t first, float p0, float p1,
                                                 float p2) noexcept {
    const vf zero = splat_vf(0.0f);
    Sixteen lb;
    for (std::size_t k = 0; k < block_parts; ++k) {
        const float* at = bounds + first + k * native_lanes;
        const vf gr = max_vf(max_vf(load_vf(at) - p0, p0 - load_vf(at + 3 * stride)), zero);
        const vf gg =
            max_vf(max_vf(load_vf(at + stride) - p1, p1 - load_vf(at + 4 * stride)), zero);
        const vf gb =
            max_vf(max_vf(load_vf(at + 2 * stride) - p2, p2 - load_vf(at + 5 * stride)), zero);
        lb.part[k] = (gr * gr + gg * gg) + gb * gb;
    }
    return lb;
}

// The blocked search. `hint` is a block to try first (the block of the
// previous pixel's colour, say); it is replaced by the winner's block.
// Blocks whose bound exceeds the best distance so far cannot hold a
// colour as near, so skipping them changes nothing.
[[gnu::always_inline]] inline std::size_t search_blocks(const PaletteLayout& layout, float p0,
                                                        float p1, float p2,
                                                        std::size_t& hint) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    float best = __builtin_inff();
    std::int32_t best_index = 0x7fffffff;
    std::size_t best_block = hint;
    try_block(layout, hint, p0, p1, p2, best, best_index, best_block);

    alignas(64) float group_lb[lanes];
    unsigned group_mask = 1;
    if (layout.groups > 1) {
        const Sixteen lb = box_bounds(layout.group_bounds.data(), lanes, 0, p0, p1, p2);
        __builtin_memcpy(group_lb, &lb, sizeof lb);
        group_mask = lb.at_most(best);
    } else {
        group_lb[0] = 0.0f;
    }
    while (group_mask != 0) {
        const std::size_t g = static_cast<std::size_t>(__builtin_ctz(group_mask));
        group_mask &= group_mask - 1;
        if (group_lb[g] > best) {
            continue;
        }
        const Sixteen lb =
            box_bounds(layout.block_bounds.data(), layout.blocks_padded, g * lanes, p0, p1, p2);
        alignas(64) float block_lb[lanes];
        __builtin_memcpy(block_lb, &lb, sizeof lb);
        unsigned mask = lb.at_most(best);
        while (mask != 0) {
            const std::size_t at = static_cast<std::size_t>(__builtin_ctz(mask));
            mask &= mask - 1;
            const std::size_t block = g * lanes + at;
            if (block != hint && block_lb[at] <= best) {
                try_block(layout, block, p0, p1, p2, best, best_index, best_block);
            }
        }
    }
    hint = best_block;
    return static_cast<std::size_t>(best_index);
}

// The search over neighbour lists. It starts at `centre` (the previous
// pixel's colour) and steps to the nearest colour of the centre's first
// chunk while that is strictly nearer than the centre, at most `near_steps`
// times. Every colour x at most as near to the pixel p as the final centre
// c lies within twice that distance of c (|x - c| <= |x - p| + |p - c|),
// so the chunks up to the first whose limit exceeds it hold them all; of
// those it returns the first colour in the caller's order at the smallest
// computed distance. The limits are rounded down and the reach up with
// room for every rounding of the computed distances (a few units in the
// last place, plus underflow), so a colour left out has a computed distance
// larger than the centre's. When the list ends first (a pixel far from
// every colour) it gives up and returns `no_colour`; the caller then
// searches the whole palette.
constexpr std::size_t no_colour = ~std::size_t{0};
constexpr int near_steps = 4;

[[gnu::always_inline]] inline Sixteen chunk_distances(const float* base, float p0, float p1,
                                                      float p2) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    Sixteen d;
    for (std::size_t k = 0; k < block_parts; ++k) {
        const std::size_t o = k * native_lanes;
        d.part[k] = distances(base + o, base + lanes + o, base + 2 * lanes + o, p0, p1, p2);
    }
    return d;
}

[[gnu::noinline]] std::size_t search_near(const PaletteLayout& layout, float p0, float p1, float p2,
                                          std::size_t& centre) noexcept {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    // Relative room for the rounding of the distances, the square root and
    // the product below (each a few units in 2^-24), and an absolute one
    // for squares lost to underflow.
    constexpr float room = 1.0f + 0x1p-12f;
    constexpr float tiny = 0x1p-100f;
    const std::size_t chunks = layout.near_chunks;
    const std::size_t list_floats = chunks * 3 * lanes;
    const std::size_t list_members = chunks * lanes;

    std::size_t c = centre;
    Sixteen d = chunk_distances(layout.near_planes.data() + c * list_floats, p0, p1, p2);
    // The list starts with the centre itself (or an equal colour).
    float own = d.part[0][0];
    for (int step = 0; step < near_steps; ++step) {
        const vf m = d.minimum();
        if (!(m[0] < own)) break;
        const unsigned at = static_cast<unsigned>(__builtin_ctz(d.equal(m)));
        c = static_cast<std::size_t>(layout.near_members[c * list_members + at]);
        d = chunk_distances(layout.near_planes.data() + c * list_floats, p0, p1, p2);
        own = d.part[0][0];
    }

    const float* base = layout.near_planes.data() + c * list_floats;
    const std::int32_t* members = layout.near_members.data() + c * list_members;
    const float* limits = layout.near_limits.data() + c * chunks;
    // Every colour at most as near as the centre lies within twice the
    // centre's distance of it: the chunks up to the first whose limit
    // exceeds that hold them all.
    const float reach = 2.0f * (__builtin_sqrtf(own + tiny) * room);
    std::size_t last = 0;
    while (!(limits[last] > reach)) {
        if (++last == chunks) return no_colour;
    }
    vf best[block_parts];
    vi where[block_parts];
    for (std::size_t k = 0; k < block_parts; ++k) {
        best[k] = splat_vf(__builtin_inff());
        where[k] = splat_vi(0x7fffffff);
    }
    for (std::size_t chunk = 0;;) {
        for (std::size_t k = 0; k < block_parts; ++k) {
            vi index;
            __builtin_memcpy(&index, members + chunk * lanes + k * native_lanes, sizeof index);
            // Nearer, or as near and listed earlier; NaN lanes never.
            const vi take = (d.part[k] < best[k]) | ((d.part[k] == best[k]) & (index < where[k]));
            best[k] = take ? d.part[k] : best[k];
            where[k] = take ? index : where[k];
        }
        if (chunk == last) break;
        ++chunk;
        d = chunk_distances(base + chunk * 3 * lanes, p0, p1, p2);
    }
    vf low = splat_vf(__builtin_inff());
    for (std::size_t k = 0; k < block_parts; ++k) low = min_vf(best[k], low);
    const vf m = all_min(low);
    vi first = splat_vi(0x7fffffff);
    for (std::size_t k = 0; k < block_parts; ++k) {
        first = min_vi(best[k] == m ? where[k] : splat_vi(0x7fffffff), first);
    }
    const auto j = static_cast<std::size_t>(all_min(first)[0]);
    centre = j;
    return j;
}

// The plain scan for two points at once (a and b): both running minima in
// the same loop over the colours, so that the two chains of dependent
// compares overlap. Each point's arithmetic, and so its answer, is that of
// scan_colors.
[[gnu::always_inline]] inline void scan_colors_two(const PaletteLayout& layout, float a0, float a1,
                                                   float a2, float b0, float b1, float b2,
                                                   std::size_t& ja, std::size_t& jb) noexcept {
    const std::size_t padded = layout.padded;
    const float* r = layout.planes.data();
    if (padded == PaletteLayout::lanes) {
        // One block, its planes `lanes` floats apart; padding lanes are NaN.
        const Sixteen da = chunk_distances(r, a0, a1, a2);
        const Sixteen db = chunk_distances(r, b0, b1, b2);
        ja = static_cast<std::size_t>(__builtin_ctz(da.equal(da.minimum())));
        jb = static_cast<std::size_t>(__builtin_ctz(db.equal(db.minimum())));
        return;
    }
    const float* g = r + padded;
    const float* b = g + padded;
    vi lane;
    for (std::size_t l = 0; l < native_lanes; ++l) lane[l] = static_cast<std::int32_t>(l);
    vf best_a = splat_vf(__builtin_inff());
    vf best_b = best_a;
    vi where_a = splat_vi(0);
    vi where_b = where_a;
    for (std::size_t k = 0; k < padded; k += native_lanes) {
        const vi at = lane + static_cast<std::int32_t>(k);
        const vf da = distances(r + k, g + k, b + k, a0, a1, a2);
        const vf db = distances(r + k, g + k, b + k, b0, b1, b2);
        // Strictly smaller: a lane keeps the first of its equal colours.
        const vi nearer_a = da < best_a;
        const vi nearer_b = db < best_b;
        best_a = nearer_a ? da : best_a;
        best_b = nearer_b ? db : best_b;
        where_a = nearer_a ? at : where_a;
        where_b = nearer_b ? at : where_b;
    }
    ja = first_at_minimum(best_a, where_a);
    jb = first_at_minimum(best_b, where_b);
}

// The blocked search as a call: a search over hundreds of colours takes far
// longer than the call, and inlining it into the row loops of every kernel
// would only lengthen the build.
[[gnu::noinline]] std::size_t search_blocks_call(const PaletteLayout& layout, float p0, float p1,
                                                 float p2, std::size_t& hint) noexcept {
    return search_blocks(layout, p0, p1, p2, hint);
}

// The nearest colour by a plan's plain search: the blocked search when the
// plan says so and the palette has the blocked form, else the scan.
struct ColorSearch {
    const PaletteLayout* layout;
    bool blocked;
    std::size_t hint = 0;
    std::size_t hint_two = 0;  // the second point's, in two()

    ColorSearch(const PaletteLayout& l, search::Form plain) noexcept
        : layout(&l), blocked(plain == search::Form::blocked && l.blocks != 0) {}

    [[gnu::always_inline]] std::size_t operator()(float p0, float p1, float p2) noexcept {
        if (!blocked) {
            return scan_colors(*layout, p0, p1, p2);
        }
        return search_blocks_call(*layout, p0, p1, p2, hint);
    }

    // Two points' nearest colours, each as operator() finds it: by one scan
    // over both, or by two blocked searches (exact from any hint).
    [[gnu::always_inline]] void two(float a0, float a1, float a2, float b0, float b1, float b2,
                                    std::size_t& ja, std::size_t& jb) noexcept {
        if (!blocked) {
            scan_colors_two(*layout, a0, a1, a2, b0, b1, b2, ja, jb);
            return;
        }
        ja = search_blocks_call(*layout, a0, a1, a2, hint);
        jb = search_blocks_call(*layout, b0, b1, b2, hint_two);
    }
};

// The search for palettes with neighbour lists (which have the blocked
// form too): along the lists from the last colour found, and by the
// blocked search when the lists give up.
struct NearSearch {
    const PaletteLayout* layout;
    std::size_t hint = 0;    // block
    std::size_t centre = 0;  // colour

    explicit NearSearch(const PaletteLayout& l) noexcept : layout(&l) {}

    [[gnu::always_inline]] std::size_t operator()(float p0, float p1, float p2) noexcept {
        const std::size_t j = search_near(*layout, p0, p1, p2, centre);
        if (j != no_colour) return j;
        centre = search_blocks_call(*layout, p0, p1, p2, hint);
        return centre;
    }
};

#endif
