// Error diffusion with the refinements: the quantizers, the refinements
// as a policy of the row walker (diffusion/rows.hpp) and the pass that
// diffusion/refined_levels.hpp and diffusion/refined_palette.cpp
// instantiate, each for the baseline and AVX2 (see targets.hpp): the colour
// match's selects and conversions gain from AVX2's encodings, and nothing
// more from AVX-512. One translation unit per quantizer family keeps each
// compile short: every option is a template switch, so the instantiations
// are many.
//
// The arithmetic is that of the plain engine, in the same order: a pixel's
// working value is its code's value plus the error its cell received, and
// every cell receives its shares in visiting order, starting from zero.
// Each option is a template switch, so a call pays only for the options it
// uses, and each kernel's taps are compile-time data.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the passes
// for that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "colour.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "diffusion/refined_passes.hpp"
#include "diffusion/rows.hpp"
#include "extras.hpp"
#include "prepared.hpp"
#include "quad_lanes.hpp"
#include "space.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_REFINED_ROWS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_REFINED_ROWS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_REFINED_ROWS_2))
#if TONALIS_TARGET == 0
#define TONALIS_REFINED_ROWS_0
#elif TONALIS_TARGET == 1
#define TONALIS_REFINED_ROWS_1
#else
#define TONALIS_REFINED_ROWS_2
#endif

#include "diffusion/rows.hpp"

using Weights = RowWeights<Quad>;

// Levels, one lane per channel. Two levels are decided by a comparison
// with 127.5, as the plain engine decides them; more by the nearest-level
// rule. `single`: one channel (gray, gray with alpha), its lane count known
// when compiling.
template <bool two_levels, bool single>
struct LevelLanes {
    using V = Quad;
    const float* to_work;
    const Levels* levels;
    LaneSet lanes;

    [[gnu::always_inline]] std::size_t count() const noexcept { return single ? 1 : lanes.count; }

    [[gnu::always_inline]] Quad input(const std::uint8_t* px) const noexcept {
        Quad r = {};
        for (std::size_t l = 0; l < count(); ++l) r[l] = to_work[px[lanes.offset[l]]];
        return r;
    }
    [[gnu::always_inline]] Quad quantize(Quad v, std::uint8_t* px) const noexcept {
        if constexpr (two_levels) {
            // Levels 0 and 255, codes 0 and 255: the comparison's mask is both.
            const QuadI high = v >= 127.5f;
            for (std::size_t l = 0; l < count(); ++l) {
                px[lanes.offset[l]] = static_cast<std::uint8_t>(high[l]);
            }
            const QuadI top = reinterpret_cast<QuadI>(Quad{} + 255.0f);
            return v - reinterpret_cast<Quad>(top & high);
        }
        QuadI i;
        level_index(v * levels->inv_step, levels->max_index, i);
        Quad level = {};
        for (std::size_t l = 0; l < count(); ++l) {
            const auto k = static_cast<std::size_t>(i[l]);
            px[lanes.offset[l]] = levels->codes[k];
            level[l] = levels->values[k];
        }
        return v - level;
    }
};

// A palette: the colour nearest under the chosen distance; the error is
// taken on the working values.
struct PaletteColours {
    using V = Quad;
    const float* to_work;
    const Palette* palette;
    const ColourMatch* match;

    [[gnu::always_inline]] Quad input(const std::uint8_t* px) const noexcept {
        return Quad{to_work[px[0]], to_work[px[1]], to_work[px[2]], 0.0f};
    }
    [[gnu::always_inline]] Quad quantize(Quad v, std::uint8_t* px) const noexcept {
        const std::size_t j = match->nearest(match->coordinates(v));
        const Rgb& out = palette->rgb[j];
        px[0] = out[0];
        px[1] = out[1];
        px[2] = out[2];
        const Color& c = palette->colors[j];
        return v - Quad{c[0], c[1], c[2], 0.0f};
    }
    // Four pixels (of four rows) at once: their channels side by side, one
    // pixel per lane, so that conversion and search serve all four.
    [[gnu::always_inline]] void quantize_four(const Quad (&v)[4], std::uint8_t* const (&px)[4],
                                              Quad (&err)[4]) const noexcept {
        const Quad lo01 = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);
        const Quad lo23 = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5);
        const Quad hi01 = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
        const Quad hi23 = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
        Quad c0 = __builtin_shufflevector(lo01, lo23, 0, 1, 4, 5);
        Quad c1 = __builtin_shufflevector(lo01, lo23, 2, 3, 6, 7);
        Quad c2 = __builtin_shufflevector(hi01, hi23, 0, 1, 4, 5);
        match->coordinates_four(c0, c1, c2);
        const QuadI j = match->nearest_four(c0, c1, c2);
        for (std::size_t r = 0; r < 4; ++r) {
            const auto k = static_cast<std::size_t>(j[r]);
            const Rgb& out = palette->rgb[k];
            px[r][0] = out[0];
            px[r][1] = out[1];
            px[r][2] = out[2];
            const Color& c = palette->colors[k];
            err[r] = v[r] - Quad{c[0], c[1], c[2], 0.0f};
        }
    }
};

// The refinements as the row walker's policy (diffusion/rows.hpp): the
// working value is the pixel's input plus (its share of) the error its cell
// received, clamped to the limit, and (its share of) its error is passed
// on.
template <bool with_mask, bool with_limit>
struct Refinement {
    static constexpr bool scales = with_mask;
    const float* m;       // the mask at the current pixel
    std::ptrdiff_t step;  // +1 or -1
    Quad low;
    Quad high;
    Quad share{};  // the pixel's strength, between take() and scale()

    [[gnu::always_inline]] Quad take(Quad in, Quad cur) noexcept {
        Quad v;
        if constexpr (with_mask) {
            share = Quad{} + strength_of(m);
            v = in + share * cur;
        } else {
            v = in + cur;
        }
        if constexpr (with_limit) {
            v = v > low ? v : low;
            v = v < high ? v : high;
        }
        return v;
    }
    [[gnu::always_inline]] Quad scale(Quad err) const noexcept {
        if constexpr (with_mask) {
            return share * err;
        } else {
            return err;
        }
    }
    [[gnu::always_inline]] void next() noexcept {
        if constexpr (with_mask) {
            m += step;
        }
    }
};

template <class Q>
concept QuantizesFour = requires(const Q& q, const Quad (&v)[4], std::uint8_t* const (&px)[4],
                                 Quad (&err)[4]) { q.quantize_four(v, px, err); };

// Advances rows First..Last-1 of a group `n` times, side by side. Four
// rows whose quantizer can take four pixels at once are quantized together
// (each pixel's arithmetic is the same either way).
template <std::size_t First, std::size_t Last, class W, std::size_t R>
[[gnu::always_inline]] inline void advance_rows(W (&rows)[R], std::size_t n,
                                                const Weights& w) noexcept {
    if constexpr (Last - First == 4 && QuantizesFour<decltype(rows[0].q)>) {
        for (std::size_t p = 0; p < n; ++p) {
            const Quad v[4] = {rows[First].value(), rows[First + 1].value(),
                               rows[First + 2].value(), rows[First + 3].value()};
            std::uint8_t* const px[4] = {rows[First].px, rows[First + 1].px, rows[First + 2].px,
                                         rows[First + 3].px};
            Quad err[4];
            rows[First].q.quantize_four(v, px, err);
            [&]<std::size_t... r>(std::index_sequence<r...>) __attribute__((always_inline)) {
                (rows[First + r].give(w, err[r]), ...);
            }(std::make_index_sequence<4>{});
        }
    } else {
        for (std::size_t p = 0; p < n; ++p) {
            [&]<std::size_t... r>(std::index_sequence<r...>) __attribute__((always_inline)) {
                (rows[First + r].template step<(Last - First == 1)>(w), ...);
            }(std::make_index_sequence<Last - First>{});
        }
    }
}

// A group of R rows: row r starts when row r - 1 has done `lag` pixels and
// ends `lag` pixels after it. Needs width > (R - 1) * lag.
// The walkers are locals of one inlined body, so they live in registers:
// the lambdas of the walk are forced inline, since a group of four rows with
// a large kernel is past what the compiler inlines by itself (out of line,
// the walkers go to memory and the pass is 15-30 % slower).
template <std::size_t R, class W, class Make>
[[gnu::always_inline]] inline void walk_group(const Make& make, std::size_t y, std::size_t width,
                                              const Weights& w) noexcept {
    [&]<std::size_t... r>(std::index_sequence<r...>) __attribute__((always_inline)) {
        W rows[R] = {make(y + r)...};
        ((rows[r].begin(),
          advance_rows<0, r + 1>(rows, r + 1 < R ? lag : width - (R - 1) * lag, w)),
         ...);
        (advance_rows<r + 1, R>(rows, r + 1 < R ? lag : 0, w), ...);
    }(std::make_index_sequence<R>{});
}

// One pass over the image, rows top to bottom, odd rows right to left when
// serpentine (one row at a time: each starts where the one above ended).
// The rows run on the row walker with their cells in memory.
template <int K, class Q, bool with_mask, bool with_limit>
void refined_pass(const Q& q, Img& img, bool serpentine, const Weights& weights,
                  const Extras& extras, float* scratch) noexcept {
    using Walker = RowWalker<K, Q, Refinement<with_mask, with_limit>, Cells::memory>;
    const std::size_t width = img.width;
    const std::size_t row_floats = 4 * (width + 2 * margin);
    std::fill_n(scratch, ring * row_floats, 0.0f);
    auto error_row = [&](std::size_t y) { return scratch + (y % ring) * row_floats; };
    const Quad low = Quad{} - extras.limit;
    const Quad high = Quad{} + (255.0f + extras.limit);
    auto walker = [&](std::size_t y) {
        const bool backwards = serpentine && (y & 1) != 0;
        const std::size_t x0 = backwards ? width - 1 : 0;
        const std::ptrdiff_t step = backwards ? -1 : 1;
        const std::size_t first_cell = 4 * (margin + x0);
        // Row y + 2 receives its first shares from row y.
        std::fill_n(error_row(y + 2), row_floats, 0.0f);
        return Walker{q,
                      img.data.data() + (y * width + x0) * img.channels,
                      step * static_cast<std::ptrdiff_t>(img.channels),
                      error_row(y) + first_cell,
                      error_row(y + 1) + first_cell,
                      error_row(y + 2) + first_cell,
                      4 * step,
                      {},
                      {},
                      {},
                      {with_mask ? extras.mask + y * width + x0 : nullptr, step, low, high}};
    };
    std::size_t y = 0;
    auto group = [&]<std::size_t R>(std::integral_constant<std::size_t, R>) {
        walk_group<R, Walker>(walker, y, width, weights);
        y += R;
    };
    if (!serpentine && width > (rows_in_flight - 1) * lag) {
        for (; y + rows_in_flight <= img.height;) {
            group(std::integral_constant<std::size_t, rows_in_flight>{});
        }
    }
    // The last rows (fewer than a group) one at a time: a group of two
    // would gain a little on three rows at most, and made every pass's
    // compile take a quarter longer.
    while (y < img.height) {
        group(std::integral_constant<std::size_t, 1>{});
    }
}

template <int K, class Q>
void diffuse_with(const Q& q, Img& img, bool serpentine, const Weights& weights,
                  const Extras& extras, float* scratch) noexcept {
    const bool limit = extras.limit < std::numeric_limits<float>::infinity();
    // Without a mask, no limit is a limit of infinity: the clamps then pass
    // every finite value through unchanged for a few percent of the time,
    // and the build is spared a fourth form of every pass. With a mask the
    // chain from one pixel to the next is longer, and the clamps would show.
    if (extras.mask == nullptr) {
        refined_pass<K, Q, false, true>(q, img, serpentine, weights, extras, scratch);
    } else if (limit) {
        refined_pass<K, Q, true, true>(q, img, serpentine, weights, extras, scratch);
    } else {
        refined_pass<K, Q, true, false>(q, img, serpentine, weights, extras, scratch);
    }
}

// Kernels share compiled passes as with_kernel says.
template <class Q>
void diffuse_kernel(std::size_t kernel, const Q& q, Img& img, bool serpentine,
                    const Weights& weights, const Extras& extras, float* scratch) noexcept {
    with_kernel(kernel,
                [&]<int K>() { diffuse_with<K>(q, img, serpentine, weights, extras, scratch); });
}

// The kernel's weight rows times the strength (kernel_rows), in every lane.
inline Weights weights_of(const DiffusionKernel& kernel, float strength) noexcept {
    return row_weights<Quad>(kernel_rows(kernel, strength), splat_quad);
}

#endif
