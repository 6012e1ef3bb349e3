// Ordered and random dither to a palette, compiled once per target (see
// targets.hpp) for threshold/ordered.cpp: the whole scan for small
// palettes, the cell lists, and groups of pixels against the colours near
// the group's box.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines them for
// that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "palette.hpp"
#include "prepared.hpp"
#include "search/cell_lists.hpp"
#include "search/cell_search.hpp"
#include "search/cells.hpp"
#include "search/layout_forms.hpp"
#include "search/pixel_groups.hpp"
#include "search/plan.hpp"
#include "space.hpp"
#include "threshold/noise_lanes.hpp"
#include "threshold/shifts.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_PALETTE_PASSES_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_PALETTE_PASSES_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_PALETTE_PASSES_2))
#if TONALIS_TARGET == 0
#define TONALIS_PALETTE_PASSES_0
#elif TONALIS_TARGET == 1
#define TONALIS_PALETTE_PASSES_1
#else
#define TONALIS_PALETTE_PASSES_2
#endif

#include "vectors.hpp"
#include "search/layout_forms.hpp"
#include "search/cell_lists.hpp"
#include "search/cell_search.hpp"
#include "search/pixel_groups.hpp"
#include "threshold/noise_lanes.hpp"

// Palette target, rows [y0, y1). Vector lanes hold pixels, a group of
// neighbouring pixels at a time, so every colour is compared with the whole
// group at once and no lane-to-lane reduction is needed. Small palettes are
// compared whole, in the caller's order, each pixel moving only to a
// strictly nearer colour. Larger ones are compared only with the colours
// that could be nearest to one of the pixels:
//
// 1. the group's pixels span a box; every pixel's distance to the colours
//    the previous group chose bounds its nearest distance, so the largest
//    such distance, ub, bounds every pixel's;
// 2. a colour whose distance from the box (computed like a distance, from
//    the gaps between box and colour on each channel) exceeds ub is
//    farther from every pixel than that pixel's nearest colour: rounding
//    is monotonic, so no computed distance can be smaller than the gap's;
// 3. the pixels are compared with the remaining colours, moving to a
//    nearer colour, or to an equally near one listed earlier when the
//    colours do not come in the caller's order.
//
// Every colour at a pixel's nearest distance passes step 2, so each pixel
// gets the first nearest colour, as with the whole palette.
template <class Shift>
void palette_rows(Img& img, const Palette& palette, const Space& space, float strength,
                  Shift& shift, const search::Plan& plan, std::size_t y0, std::size_t y1) noexcept {
    const float a0 = strength * palette.spread[0];
    const float a1 = strength * palette.spread[1];
    const float a2 = strength * palette.spread[2];
    const float* to_work = space.to_work.data();
    const std::size_t channels = img.channels;
    const PaletteLayout& layout = palette.layout;
    const std::size_t padded = layout.padded;
    const float* cr = layout.planes.data();
    const float* cg = cr + padded;
    const float* cb = cg + padded;
    const bool whole = plan.fallback == search::Form::whole_groups;
    const bool blocked = plan.plain == search::Form::blocked && layout.blocks != 0;
    PixelGroup group;
    alignas(64) std::int32_t chosen[group_pixels];
    std::int32_t candidates[max_palette_colors + native_lanes];
    std::int32_t hints[group_hints] = {0, 0, 0, 0};

    for (std::size_t y = y0; y < y1; ++y) {
        shift.begin_row(y);
        std::uint8_t* px = img.data.data() + y * img.row_samples();
        for (std::size_t x = 0; x < img.width; x += group_pixels) {
            const std::size_t n = std::min(group_pixels, img.width - x);
            std::uint8_t* at = px + x * channels;
            for (std::size_t l = 0; l < n; ++l, at += channels) {
                const float s = shift.next();
                group.p[0][l] = to_work[at[0]] + a0 * s;
                group.p[1][l] = to_work[at[1]] + a1 * s;
                group.p[2][l] = to_work[at[2]] + a2 * s;
            }
            // Spare lanes repeat the last pixel: the box stays the same.
            for (std::size_t l = n; l < group_pixels; ++l) {
                for (std::size_t c = 0; c < 3; ++c) group.p[c][l] = group.p[c][n - 1];
            }
            group.load();
            group.reset();

            if (whole) {
                for (std::size_t j = 0; j < layout.count; ++j) {
                    group.compare(cr[j], cg[j], cb[j], static_cast<std::int32_t>(j));
                }
            } else {
                for (std::int32_t h : hints) group.compare(cr[h], cg[h], cb[h], h);
                const float ub = group.largest_best();
                float lo[3];
                float hi[3];
                group.box(lo, hi);
                const std::size_t count = blocked ? near_box_blocked(layout, lo, hi, ub, candidates)
                                                  : near_box(layout, lo, hi, ub, candidates);
                group.reset();
                if (blocked) {
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::int32_t j = candidates[i];
                        group.compare<true>(cr[j], cg[j], cb[j], j);
                    }
                } else {
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::int32_t j = candidates[i];
                        group.compare(cr[j], cg[j], cb[j], j);
                    }
                }
            }

            for (std::size_t k = 0; k < group_parts; ++k) {
                __builtin_memcpy(chosen + k * native_lanes, &group.index[k], sizeof(vi));
            }
            at = px + x * channels;
            for (std::size_t l = 0; l < n; ++l, at += channels) {
                const Rgb& out = palette.rgb[static_cast<std::size_t>(chosen[l])];
                at[0] = out[0];
                at[1] = out[1];
                at[2] = out[2];
            }
            for (std::size_t h = 0; h < group_hints; ++h) {
                hints[h] = chosen[(n - 1) * h / (group_hints - 1)];
            }
        }
    }
}

// Rows [y0, y1) of an image of C channels in runs of up to run_pixels
// pixels, a whole number of vectors, for runs(at, shifts, n); the pixels
// left at the end of each row one by one, for one(at, shift).
constexpr std::size_t run_pixels = 256;

template <std::size_t C, class Shift, class Runs, class One>
[[gnu::always_inline]] inline void pixel_runs(Img& img, Shift& shift, std::size_t y0,
                                              std::size_t y1, Runs&& runs, One&& one) noexcept {
    const std::size_t row = img.width * C;
    alignas(64) float shifts[run_pixels];
    for (std::size_t y = y0; y < y1; ++y) {
        shift.begin_row(y);
        std::uint8_t* at = img.data.data() + y * row;
        // The loads read up to 4 bytes past the pixels, which must be in
        // the image and not another band's, which another thread may be
        // writing: on the last row of the band the last group goes one by one.
        std::size_t end = img.width - img.width % native_lanes;
        if (y + 1 == y1 && end * C + 4 > row) {
            end = end >= native_lanes ? end - native_lanes : 0;
        }
        std::size_t x = 0;
        while (x < end) {
            const std::size_t n = std::min(run_pixels, end - x);
            fill_shifts(shift, shifts, n);
            runs(at, static_cast<const float*>(shifts), n);
            x += n;
            at += n * C;
        }
        for (; x < img.width; ++x, at += C) one(at, shift.next());
    }
}

// The working values of a palette engine's pixels: bytes to working
// values, plus the shift scaled per channel.
struct PixelWork {
    float a[3];
    const float* to_work;
    bool linear;

    PixelWork(const Palette& palette, const Space& space, float strength) noexcept
        : a{strength * palette.spread[0], strength * palette.spread[1],
            strength * palette.spread[2]},
          to_work(space.to_work.data()),
          linear(space.linear) {}

    // Working values of the samples in the lanes' bytes (codes, outside
    // linear light).
    [[gnu::always_inline]] vf working(vi codes) const noexcept {
        return linear ? gather_f32(to_work, codes) : __builtin_convertvector(codes, vf);
    }
    // The working values of native_lanes pixels (r | g << 8 | b << 16).
    [[gnu::always_inline]] void values(vi px, vf s, vf v[3]) const noexcept {
        for (std::size_t c = 0; c < 3; ++c) {
            v[c] = working((px >> static_cast<int>(8 * c)) & 0xFF) + a[c] * s;
        }
    }
    // Distances from the lanes' working values to the lanes' colours
    // (r | g << 8 | b << 16, the top byte zero).
    [[gnu::always_inline]] vf distance(const vf v[3], vi rgb) const noexcept {
        const vf dr = v[0] - working(rgb & 0xFF);
        const vf dg = v[1] - working(second_bytes(rgb));
        const vf db = v[2] - working(rgb >> 16);
        return (dr * dr + dg * dg) + db * db;
    }
};

// A cell's list is read a block of PaletteCells::list_block members at a
// time, one block of native_lanes lists per load.
constexpr std::size_t list_block = PaletteCells::list_block;
static_assert(list_block == word_block, "one list block per word block");

// Palette target by a scan of the whole palette, rows [y0, y1) of an image
// of C channels: native_lanes pixels at a time against each colour in the
// caller's order, a lane moving only to a strictly nearer colour, and
// keeping the colour's bytes.
template <std::size_t C, class Shift>
void palette_scan_rows_c(Img& img, const Palette& palette, const Space& space, float strength,
                         Shift& shift, std::size_t y0, std::size_t y1) noexcept {
    const PixelWork work(palette, space, strength);
    const PaletteLayout& layout = palette.layout;
    constexpr std::size_t most = search::Limits::pixel_lanes_most;
    const std::size_t count = std::min(layout.count, most);
    const float* cr = layout.planes.data();
    const float* cg = cr + layout.padded;
    const float* cb = cg + layout.padded;
    std::int32_t packed[most];
    for (std::size_t j = 0; j < count; ++j) {
        const Rgb& c = palette.rgb[j];
        packed[j] = static_cast<std::int32_t>(std::uint32_t{c[0]} | std::uint32_t{c[1]} << 8 |
                                              std::uint32_t{c[2]} << 16);
    }
    auto runs = [&](std::uint8_t* at, const float* shifts, std::size_t n) noexcept {
        for (std::size_t g = 0; g < n; g += native_lanes) {
            vf v[3];
            work.values(load_pixels<C>(at + g * C), load_vf(shifts + g), v);
            vf best = splat_vf(__builtin_inff());
            vi chosen = splat_vi(packed[0]);
            for (std::size_t j = 0; j < count; ++j) {
                compare_color(v[0], v[1], v[2], cr[j], cg[j], cb[j], vi{} + packed[j], best,
                              chosen);
            }
            store_pixels<C>(at + g * C, chosen);
        }
    };
    auto one = [&](std::uint8_t* at, float s) noexcept {
        const std::size_t j =
            scan_colors(layout, work.to_work[at[0]] + work.a[0] * s,
                        work.to_work[at[1]] + work.a[1] * s, work.to_work[at[2]] + work.a[2] * s);
        const Rgb& out = palette.rgb[j];
        at[0] = out[0];
        at[1] = out[1];
        at[2] = out[2];
    };
    pixel_runs<C>(img, shift, y0, y1, runs, one);
}

template <class Shift>
void palette_scan_rows(Img& img, const Palette& palette, const Space& space, float strength,
                       Shift& shift, std::size_t y0, std::size_t y1) noexcept {
    if (img.channels == 4) {
        palette_scan_rows_c<4>(img, palette, space, strength, shift, y0, y1);
    } else {
        palette_scan_rows_c<3>(img, palette, space, strength, shift, y0, y1);
    }
}

// Palette target through the cell lists, rows [y0, y1) of an image of C
// channels: native_lanes pixels at a time, the rest one by one.
template <std::size_t C, bool sets, class Shift>
void palette_cell_rows_c(Img& img, const Palette& palette, const Space& space, float strength,
                         Shift& shift, const search::Plan& plan, PaletteCells& cells,
                         std::size_t y0, std::size_t y1) noexcept {
    const PixelWork work(palette, space, strength);
    const PaletteLayout& layout = palette.layout;
    const float* cr = layout.planes.data();
    const float* cg = cr + layout.padded;
    const float* cb = cg + layout.padded;
    const auto* packed = reinterpret_cast<const std::int32_t*>(cells.packed_rgb());
    const std::uint32_t* pool = cells.pool();
    const std::uint32_t* states = cells.states();
    CellSearch search(palette, space, plan, cells);
    // A run of pixels in two passes: the working values and the states of
    // the cells of all its pixels first, so that the loads of the states
    // overlap, then the colours. Each state is an atomic load, one lane at
    // a time (a vector gather is no atomic load), since another thread may
    // be publishing it; relaxed, with one acquire fence after the run's
    // loads (PaletteCells::peek_state), before any list they name is read.
    alignas(64) float p[3][run_pixels];
    alignas(64) std::int32_t cell[run_pixels];
    alignas(64) std::int32_t word[run_pixels];
    const std::size_t none = cells.side() * cells.side() * cells.side();

    auto runs = [&](std::uint8_t* at, const float* shifts, std::size_t n) noexcept {
        for (std::size_t g = 0; g < n; g += native_lanes) {
            vf v[3];
            work.values(load_pixels<C>(at + g * C), load_vf(shifts + g), v);
            for (std::size_t c = 0; c < 3; ++c) __builtin_memcpy(p[c] + g, &v[c], sizeof v[c]);
            vi inside;
            const vi where = search.cells_of(v, inside);
            const vi out = inside ? where : splat_vi(static_cast<std::int32_t>(none));
            __builtin_memcpy(cell + g, &out, sizeof out);
            for (std::size_t l = g; l < g + native_lanes; ++l) {
                word[l] = static_cast<std::int32_t>(
                    PaletteCells::peek_state(states, static_cast<std::size_t>(cell[l])));
            }
        }
        PaletteCells::states_read();
        for (std::size_t g = 0; g < n; g += native_lanes) {
            vf v[3];
            for (std::size_t c = 0; c < 3; ++c) v[c] = load_vf(p[c] + g);
            vi state;
            __builtin_memcpy(&state, word + g, sizeof state);
            if constexpr (sets) {
                // Cells without a set are settled one pixel at a time, as
                // sets of the pixel's colour; then the union of the lanes'
                // sets is searched.
                unsigned unsettled = lane_bits((state & 1) == 0);
                if (unsettled != 0) {
                    for (; unsettled != 0; unsettled &= unsettled - 1) {
                        const std::size_t l =
                            g + static_cast<std::size_t>(__builtin_ctz(unsettled));
                        word[l] = static_cast<std::int32_t>(search.color_set(
                            p[0][l], p[1][l], p[2][l], static_cast<std::size_t>(cell[l]),
                            static_cast<std::uint32_t>(word[l])));
                    }
                    __builtin_memcpy(&state, word + g, sizeof state);
                }
                std::uint32_t all = lanes_or(state) >> 1;
                auto j = static_cast<std::size_t>(__builtin_ctz(all));
                vi chosen = vi{} + packed[j];
                if ((all & (all - 1)) != 0) {
                    vf best = splat_vf(__builtin_inff());
                    for (; all != 0; all &= all - 1) {
                        j = static_cast<std::size_t>(__builtin_ctz(all));
                        compare_color(v[0], v[1], v[2], cr[j], cg[j], cb[j], vi{} + packed[j], best,
                                      chosen);
                    }
                }
                store_pixels<C>(at + g * C, chosen);
                continue;
            }
            // Cells without a list are settled one pixel at a time and
            // then taken as lists of their one colour.
            unsigned unsettled = lane_bits(((state & 1) | ((state >> 12) & 0xFFFFF)) == 0);
            if (unsettled != 0) {
                for (; unsettled != 0; unsettled &= unsettled - 1) {
                    const std::size_t l = g + static_cast<std::size_t>(__builtin_ctz(unsettled));
                    word[l] = static_cast<std::int32_t>(PaletteCells::single(
                        search.nearest(p[0][l], p[1][l], p[2][l], static_cast<std::size_t>(cell[l]),
                                       static_cast<std::uint32_t>(word[l]))));
                }
                __builtin_memcpy(&state, word + g, sizeof state);
            }
            // The lists side by side: the k-th member of every list at
            // once, a lane moving only to a strictly nearer colour. A
            // list of one colour is the state itself, and needs no
            // distance.
            const vi single = (state & 1) != 0;
            vi chosen = (state >> 1) & 0xFFFFFF;
            if (lane_bits(~single) != 0) {
                // The lists side by side, a block of members at a time: the
                // k-th member of every list at once, a lane moving only to
                // a strictly nearer colour. A list of one colour is the
                // state itself, and needs no distance.
                const vi length = single ? splat_vi(0) : (state >> 1) & 0x7FF;
                // Lanes without a list read the pool's first block, no list's.
                const vi start = single ? splat_vi(0) : ((state >> 12) & 0xFFFFF) - 1;
                const std::int32_t longest = largest_length(length);
                constexpr auto block = static_cast<std::int32_t>(list_block);
                // Lanes with a list take its first member; the others never
                // move. Past the end of its list a lane meets members it has
                // met already (the spare words of a room repeat the list's
                // first entry, and a lane whose list is done reads its first
                // block again), and is not strictly nearer to any.
                vf best = single ? splat_vf(-__builtin_inff()) : splat_vf(__builtin_inff());
                for (std::int32_t b = 0; b < longest; b += block) {
                    vi member[list_block];
                    load_word_blocks(pool, b < length ? start + b : start, member);
                    for (std::int32_t i = 0; i < block && b + i < longest; ++i) {
                        const vf d = work.distance(v, member[i]);
                        const vi nearer = d < best;
                        best = nearer ? d : best;
                        chosen = nearer ? member[i] : chosen;
                    }
                }
            }
            store_pixels<C>(at + g * C, chosen);
        }
    };
    auto one = [&](std::uint8_t* at, float s) noexcept {
        const std::uint32_t rgb =
            search.nearest(work.to_work[at[0]] + work.a[0] * s, work.to_work[at[1]] + work.a[1] * s,
                           work.to_work[at[2]] + work.a[2] * s);
        at[0] = static_cast<std::uint8_t>(rgb);
        at[1] = static_cast<std::uint8_t>(rgb >> 8);
        at[2] = static_cast<std::uint8_t>(rgb >> 16);
    };
    pixel_runs<C>(img, shift, y0, y1, runs, one);
}

template <class Shift>
void palette_cell_rows(Img& img, const Palette& palette, const Space& space, float strength,
                       Shift& shift, const search::Plan& plan, PaletteCells& cells, std::size_t y0,
                       std::size_t y1) noexcept {
    if (cells.sets()) {
        if (img.channels == 4) {
            palette_cell_rows_c<4, true>(img, palette, space, strength, shift, plan, cells, y0, y1);
        } else {
            palette_cell_rows_c<3, true>(img, palette, space, strength, shift, plan, cells, y0, y1);
        }
    } else if (img.channels == 4) {
        palette_cell_rows_c<4, false>(img, palette, space, strength, shift, plan, cells, y0, y1);
    } else {
        palette_cell_rows_c<3, false>(img, palette, space, strength, shift, plan, cells, y0, y1);
    }
}

#endif
