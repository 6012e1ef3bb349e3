// Error diffusion along rows for a compile-time kernel shape, compiled
// once per target (see targets.hpp) for the level and palette passes
// (diffusion/levels.cpp, diffusion/palette.cpp): a quantizer compiled for
// a wider target cannot be inlined into a walker compiled for a narrower
// one.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the walkers
// for that target, once however many of the body's files include it.
//
// A row is walked in scan order: position p = 0, 1, ... is column p on a
// left-to-right row and column width - 1 - p on a right-to-left one, and a
// tap (dx, dy) always reaches position p + dx of row dy, so the forward
// weights serve both directions. Pointers step by px_step bytes and
// cell_step floats per position (negative on right-to-left rows).
//
// Rather than adding each error into eight cells of memory, which makes
// every pixel wait for the previous pixel's stores, the cells still
// receiving shares stay in registers: the current row's next two cells,
// and a sliding window over rows 1 and 2 in which every cell is loaded
// once, receives its shares in visiting order and is stored once when the
// last pixel that reaches it has been quantized. Row 2 receives its first
// shares from this row, so its cells start from zero instead of memory, and
// for kernels without a row 2 the same holds for row 1.
//
// Q (the quantizer) provides the value type V (Lane0, or f4 for several
// independent samples), input(px) and quantize(v, px), which writes the
// output at px and returns the error. A quantizer that needs to know where
// it is (a threshold drawn from the pixel's position) also provides
// start_row(y, width, reversed), called on each row's copy before its
// first pixel.
//
// The weights are a kernel's, the same for every pixel (RowWeights), or a
// policy whose at(px) gives the pixel's own from its input, read before the
// pixel is quantized (variable-coefficient diffusion).

#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "machine.hpp"
#include "pipeline.hpp"
#include "targets.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_DIFFUSION_ROWS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_DIFFUSION_ROWS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_DIFFUSION_ROWS_2))
#if TONALIS_TARGET == 0
#define TONALIS_DIFFUSION_ROWS_0
#elif TONALIS_TARGET == 1
#define TONALIS_DIFFUSION_ROWS_1
#else
#define TONALIS_DIFFUSION_ROWS_2
#endif

typedef float f4 __attribute__((vector_size(16)));
typedef std::int32_t i4 __attribute__((vector_size(16)));

// One sample in lane 0 of a vector register (the other lanes stay zero).
// Scalar code would decide the level with a branch, which dithered data
// mispredicts half the time; vector compares give masks instead.
struct Lane0 {
    f4 v;
};
[[gnu::always_inline]] inline Lane0 operator+(Lane0 a, Lane0 b) noexcept {
    return {a.v + b.v};
}
[[gnu::always_inline]] inline Lane0 operator-(Lane0 a, Lane0 b) noexcept {
    return {a.v - b.v};
}
[[gnu::always_inline]] inline Lane0 operator*(Lane0 a, Lane0 b) noexcept {
    return {a.v * b.v};
}

template <class V>
[[gnu::always_inline]] inline V splat_cell(float x) noexcept {
    if constexpr (std::is_same_v<V, Lane0>) {
        return Lane0{f4{x, x, x, x}};
    } else {
        return V{x, x, x, x};
    }
}

// Cells hold one float (Lane0) or four (f4).
template <class V>
[[gnu::always_inline]] inline V load_cell(const float* p) noexcept {
    if constexpr (std::is_same_v<V, Lane0>) {
        return Lane0{f4{*p, 0.0f, 0.0f, 0.0f}};
    } else {
        V v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
}

template <class V>
[[gnu::always_inline]] inline void store_cell(float* p, V v) noexcept {
    if constexpr (std::is_same_v<V, Lane0>) {
        *p = v.v[0];
    } else {
        __builtin_memcpy(p, &v, sizeof v);
    }
}

// Runs unit(k, above, mine) for the units k = 0, 1, ... count - 1 (row
// pairs or row groups, top to bottom): on one thread in order, or dealt
// out in turn to a team of up to `threads`, where each unit publishes its
// progress in `mine` and waits on the unit above through `above` (null
// for the first unit, and on one thread).
template <class Unit>
[[gnu::always_inline]] inline void deal_out(std::size_t count, std::size_t threads,
                                            Unit& unit) noexcept {
    if (threads <= 1 || count <= 1) {
        for (std::size_t k = 0; k < count; ++k) unit(k, nullptr, nullptr);
        return;
    }
    RowProgress progress[max_workers];
    auto member = [&](std::size_t t, std::size_t team) {
        for (std::size_t k = t; k < count; k += team) {
            unit(k, k == 0 ? nullptr : &progress[(k - 1) % team], &progress[k % team]);
        }
    };
    run_team(std::min(threads, count), member);
}

template <class W>
concept PerPixelWeights = requires(const W& w, const std::uint8_t* px) { w.at(px); };

// The weights for the pixel at px: a kernel's table itself, or the policy's
// weights for that pixel.
template <class W>
[[gnu::always_inline]] inline decltype(auto) weights_at(const W& w,
                                                        const std::uint8_t* px) noexcept {
    if constexpr (PerPixelWeights<W>) {
        return w.at(px);
    } else {
        return (w);
    }
}

// A quantizer may also form the next pixel's share of the error itself
// (quantize(v, px, weight, share), share = weight * error): with two
// candidate errors it can scale both before choosing, which takes the
// multiplication off the chain from one pixel to the next.
template <class Q>
concept SharesAhead =
    requires(Q& q, typename Q::V v, std::uint8_t* px) { q.quantize(v, px, v, v); };
template <class Q>
concept QuantizesOne = requires(Q& q, typename Q::V v, std::uint8_t* px) { q.quantize(v, px); };

template <class Q>
concept KnowsRow = requires(Q& q, std::size_t n, bool b) { q.start_row(n, n, b); };

// What a walk adds to a pixel's arithmetic. The plain walk adds nothing:
// a pixel's working value is its input plus its cell's error, and its whole
// error is passed on. The refined passes' refinements (an error limit, a
// per-pixel strength mask) are another such policy
// (diffusion/refined_rows.hpp): take() forms the working value, scale() the
// error passed on, next() moves to the next pixel; `scales` says whether
// scale() changes the error.
struct NoRefinement {
    static constexpr bool scales = false;
    template <class V>
    [[gnu::always_inline]] V take(V in, V cur) const noexcept {
        return in + cur;
    }
    template <class V>
    [[gnu::always_inline]] V scale(V err) const noexcept {
        return err;
    }
    [[gnu::always_inline]] void next() const noexcept {}
};

// Where the cells of the rows below live while the row is walked: in a
// window of registers (each loaded and stored once), or in memory, each
// share added where the cell is. Windows serve one row or a pair beside
// each other; four rows side by side would need more registers than there
// are, so the refined passes keep their cells in memory.
enum class Cells : std::uint8_t { window, memory };

// The windows over rows 1 and 2: one[d + 2] / two[d + 2] is the cell at
// offset d from the current pixel.
template <class V>
struct Windows {
    V one[6];
    V two[6];
};
struct NoWindows {};

// One row in progress: begin(), then step() once per pixel, then finish().
template <int K, class Q, class R = NoRefinement, Cells cells = Cells::window>
struct RowWalker {
    using V = typename Q::V;
    static constexpr kernel_data::TapShape s = kernel_data::kernel_shape<K>;
    static constexpr int lo1 = s.lo[1];
    static constexpr int hi1 = s.hi[1];
    static constexpr int lo2 = s.lo[2];
    static constexpr int hi2 = s.hi[2];
    static constexpr bool window = cells == Cells::window;
    using Offsets = std::integer_sequence<int, -2, -1, 0, 1, 2>;

    Q q;
    std::uint8_t* px;
    std::ptrdiff_t px_step;
    const float* e0;
    float* e1;
    float* e2;
    std::ptrdiff_t cell_step;
    V cur;
    V ahead;
    std::conditional_t<window, Windows<V>, NoWindows> win;  // nothing for cells in memory
    R refine;

    [[gnu::always_inline]] void begin() noexcept { begin_impl(Offsets{}); }
    // `alone`: no other row is walked beside this one, so the chain from
    // pixel to pixel sets the pace and a quantizer's own share is taken
    // (SharesAhead); beside another row, the plain form's fewer operations
    // are faster.
    template <bool alone = true, class W>
    [[gnu::always_inline]] void step(const W& w) noexcept {
        const auto& pixel = weights_at(w, px);
        if constexpr (SharesAhead<Q> && !R::scales && (alone || !QuantizesOne<Q>)) {
            V share;
            const V err = q.quantize(value(), px, pixel.w[0][3], share);
            give_impl(pixel, err, share, Offsets{});
        } else {
            const V err = refine.scale(q.quantize(value(), px));
            give_impl(pixel, err, pixel.w[0][3] * err, Offsets{});
        }
    }
    [[gnu::always_inline]] void finish() noexcept { finish_impl(Offsets{}); }

    template <int... D>
    [[gnu::always_inline]] void begin_impl(std::integer_sequence<int, D...>) noexcept {
        cur = load_cell<V>(e0);
        ahead = s.row0_far ? load_cell<V>(e0 + cell_step) : V{};
        if constexpr (window) {
            ((win.one[D + 2] =
                  D >= lo1 && D < hi1 && s.row2 ? load_cell<V>(e1 + D * cell_step) : V{}),
             ...);
            ((win.two[D + 2] = V{}), ...);
        }
    }

    // A step in two halves, for quantizing several rows' pixels together:
    // the working value of the current pixel, then the spreading of its
    // error.
    [[gnu::always_inline]] V value() noexcept { return refine.take(q.input(px), cur); }
    template <class W>
    [[gnu::always_inline]] void give(const W& w, V err) noexcept {
        err = refine.scale(err);
        give_impl(w, err, w.w[0][3] * err, Offsets{});
    }

    template <int... D>
    [[gnu::always_inline]] void give_impl(const RowWeights<V>& weights, V err, V share,
                                          std::integer_sequence<int, D...>) noexcept {
        const auto& w = weights.w;

        if constexpr (s.row0_far) {
            cur = ahead + share;
            ahead = load_cell<V>(e0 + 2 * cell_step) + w[0][4] * err;
        } else {
            cur = load_cell<V>(e0 + cell_step) + share;
        }

        if constexpr (window) {
            win.one[hi1 + 2] = s.row2 ? load_cell<V>(e1 + hi1 * cell_step) : V{};
            ((s.at[1][D + 2] ? (win.one[D + 2] = win.one[D + 2] + w[1][D + 2] * err) : V{}), ...);
            store_cell(e1 + lo1 * cell_step, win.one[lo1 + 2]);
            ((D >= lo1 && D < hi1 ? (win.one[D + 2] = win.one[D + 3]) : V{}), ...);

            if constexpr (s.row2) {
                win.two[hi2 + 2] = V{};
                ((s.at[2][D + 2] ? (win.two[D + 2] = win.two[D + 2] + w[2][D + 2] * err) : V{}),
                 ...);
                store_cell(e2 + lo2 * cell_step, win.two[lo2 + 2]);
                ((D >= lo2 && D < hi2 ? (win.two[D + 2] = win.two[D + 3]) : V{}), ...);
            }
        } else {
            auto add = [&](float* cell, V part) __attribute__((always_inline)) {
                store_cell(cell, load_cell<V>(cell) + part);
            };
            ((s.at[1][D + 2] ? (add(e1 + D * cell_step, w[1][D + 2] * err), 0) : 0), ...);
            ((s.at[2][D + 2] ? (add(e2 + D * cell_step, w[2][D + 2] * err), 0) : 0), ...);
        }

        px += px_step;
        e0 += cell_step;
        e1 += cell_step;
        e2 += cell_step;
        refine.next();
    }

    // Cells past the last pixel still held in the window (margins included).
    template <int... D>
    [[gnu::always_inline]] void finish_impl(std::integer_sequence<int, D...>) noexcept {
        if constexpr (window) {
            ((D >= lo1 && D < hi1 ? (store_cell(e1 + D * cell_step, win.one[D + 2]), 0) : 0), ...);
            if constexpr (s.row2) {
                ((D >= lo2 && D < hi2 ? (store_cell(e2 + D * cell_step, win.two[D + 2]), 0) : 0),
                 ...);
            }
        }
    }
};

template <class Q>
concept QuantizesTwo =
    requires(Q& q, typename Q::V v, std::uint8_t* px) { q.quantize_two(v, px, v, px, v, v); };

// One step of both rows of a pair. A quantizer that takes two pixels at
// once gets the two current pixels together: the lower row's value reads
// only its own pixel and registers, and every cell either row loads is
// loaded after the upper row's step, as in the plain order.
template <class Walker, class W>
[[gnu::always_inline]] inline void step_pair(Walker& upper, Walker& lower, const W& w) noexcept {
    if constexpr (QuantizesTwo<decltype(upper.q)>) {
        using V = typename Walker::V;
        const auto& wu = weights_at(w, upper.px);
        const auto& wl = weights_at(w, lower.px);
        const V vu = upper.value();
        const V vl = lower.value();
        V eu;
        V el;
        upper.q.quantize_two(vu, upper.px, vl, lower.px, eu, el);
        upper.give(wu, eu);
        lower.give(wl, el);
    } else {
        upper.template step<false>(w);
        lower.template step<false>(w);
    }
}

// A whole pass over the image with weights w (a RowWeights<V> or a
// per-pixel policy): rows top to bottom, odd rows right to left when
// serpentine. `cells` floats per cell (1 or 4); the error rows of
// width + 8 cells each start at scratch, column x at cell x + 2, as a ring
// of error_rows(pipe.threads) rows.
//
// Without serpentine, rows are taken in pairs walked side by side, the
// lower one pair_lag pixels behind: by then every cell it reads has
// received all its shares from the upper row, and the two rows' chains of
// dependent operations overlap. Each cell still receives its shares in
// visiting order. A pair uses four error rows: rows y to y + 3.
//
// On several threads, the pairs are dealt out in turn, and the upper row
// of a pair trails the lower row of the pair before it (on another thread)
// by the kernel's lag (kernels.hpp), so each cell still receives its
// shares in the order of the plain scan and the bits are the same for any
// number of threads. Each thread publishes its progress every pipe.chunk
// pixels. A thread's previous pairs have finished, and so has every pair
// before them, so the ring's rows are free again after 2 * threads + 2.
template <int K, class Q, class W>
[[gnu::always_inline]] inline void diffuse_pass(const Q& quantizer, const W& w, std::uint8_t* data,
                                                std::size_t height, std::size_t width,
                                                std::size_t pixel_bytes, bool serpentine,
                                                std::size_t cells, float* scratch,
                                                const PipelineSettings& pipe) noexcept {
    using Walker = RowWalker<K, Q>;
    const std::size_t threads = std::clamp<std::size_t>(pipe.threads, 1, max_workers);
    const std::size_t ring = error_rows(threads);
    const std::size_t row_floats = cells * (width + 8);
    // Margins are read (never for an image pixel), so they start defined.
    std::fill_n(scratch, ring * row_floats, 0.0f);
    auto error_row = [&](std::size_t y) { return scratch + (y % ring) * row_floats; };
    const std::size_t stride = width * pixel_bytes;
    const auto step = static_cast<std::ptrdiff_t>(pixel_bytes);
    const auto cstep = static_cast<std::ptrdiff_t>(cells);
    auto walker = [&](std::size_t y) {
        std::uint8_t* row = data + y * stride;
        const bool reversed = serpentine && (y & 1) != 0;
        Q q = quantizer;
        if constexpr (KnowsRow<Q>) {
            q.start_row(y, width, reversed);
        }
        if (reversed) {
            const std::size_t last = cells * (2 + width - 1);
            return Walker{q,
                          row + (width - 1) * pixel_bytes,
                          -step,
                          error_row(y) + last,
                          error_row(y + 1) + last,
                          error_row(y + 2) + last,
                          -cstep,
                          {},
                          {},
                          {},
                          {}};
        }
        return Walker{q,
                      row,
                      step,
                      error_row(y) + 2 * cells,
                      error_row(y + 1) + 2 * cells,
                      error_row(y + 2) + 2 * cells,
                      cstep,
                      {},
                      {},
                      {},
                      {}};
    };

    if (serpentine || width <= pair_lag) {
        for (std::size_t y = 0; y < height; ++y) {
            Walker one = walker(y);
            one.begin();
            for (std::size_t p = 0; p < width; ++p) one.step(w);
            one.finish();
        }
        return;
    }

    constexpr std::size_t kernel_lag = kernel_data::kernel_lag<K>;
    static_assert(pair_lag >= kernel_lag);
    const std::size_t lag = kernel_lag - std::min(pipe.lag_cut, kernel_lag - 1);
    const std::size_t chunk = std::max<std::size_t>(pipe.chunk, 1);
    // Pair k publishes k * span + the pixels its lower row has done.
    const std::uint64_t span = width + 1;

    auto pair = [&](std::size_t k, RowProgress* above, RowProgress* mine) {
        const std::size_t y = 2 * k;
        const std::uint64_t above_base = k == 0 ? 0 : (k - 1) * span;
        std::size_t known = 0;  // pixels the row above is known to have done
        // Before this pair's upper row takes the steps below `through`.
        auto wait_above = [&](std::size_t through) {
            const std::size_t need = std::min(through - 1 + lag, width);
            if (above == nullptr || known >= need) {
                return;
            }
            const std::uint64_t at = above->wait_for(above_base + need);
            known = static_cast<std::size_t>(std::min<std::uint64_t>(at - above_base, width));
        };
        auto publish = [&](std::size_t done) {
            if (mine != nullptr) {
                mine->publish(k * span + done);
            }
            if (pipe.pause != nullptr) {
                pipe.pause(pipe.context, y);
            }
        };
        Walker upper = walker(y);
        std::size_t p = 0;
        if (y + 1 == height) {
            wait_above(std::min(chunk, width));
            upper.begin();
            while (p < width) {
                const std::size_t end = std::min(p + chunk, width);
                wait_above(end);
                for (; p < end; ++p) upper.step(w);
            }
            upper.finish();
            publish(width);
            return;
        }
        Walker lower = walker(y + 1);
        wait_above(pair_lag);
        upper.begin();
        for (; p < pair_lag; ++p) upper.step(w);
        lower.begin();
        while (p < width) {
            const std::size_t end = std::min(p + chunk, width);
            wait_above(end);
            for (; p < end; ++p) step_pair(upper, lower, w);
            if (end == width) {
                upper.finish();
            }
            publish(end - pair_lag);
        }
        for (p = width - pair_lag; p < width; ++p) lower.step(w);
        lower.finish();
        publish(width);
    };

    deal_out((height + 1) / 2, threads, pair);
}

template <class Q>
[[gnu::always_inline]] inline void diffuse_any(std::size_t kernel, const Q& q, std::uint8_t* data,
                                               std::size_t height, std::size_t width,
                                               std::size_t pixel_bytes, bool serpentine,
                                               const KernelRows& rows, std::size_t cells,
                                               float* scratch,
                                               const PipelineSettings& pipe) noexcept {
    using V = typename Q::V;
    const RowWeights<V> w = row_weights<V>(rows, splat_cell<V>);
    with_kernel(kernel, [&]<int K>() {
        diffuse_pass<K>(q, w, data, height, width, pixel_bytes, serpentine, cells, scratch, pipe);
    });
}

// One sample per pixel, rows in raster order, walked in groups of
// group_rows rows with row r of a group in lane r of one vector: at step t
// lane r is at column t - r * lag, lag being the kernel's (kernels.hpp), so
// one vector operation serves a pixel of each row and the rows' chains of
// dependent operations overlap. Each lane does the plain walker's
// arithmetic in its order (the current row's next cells and windows over
// rows 1 and 2 in registers).
//
// A cell of row y + 1 leaves lane r's row-1 window complete (for rows y - 1
// and y) and is picked up later by lane r + 1 as a cell of its own row; a
// cell of row y + 2 leaves the row-2 window and comes back into lane r + 1's
// row-1 window. So the windows' outgoing cells are stored by step, as
// whole vectors (row1 and row2 below), and read back moved up one lane:
// lane r + 1 reads what lane r stored `lag` steps earlier, lane 0 what the
// last lane of the group above stored (group_rows - 1) * lag steps later.
// Each group writes its own pair of buffers, and reads those of the group
// above.
//
// Lanes outside their row (before its first pixel, past its last, or past
// the image's last row) read and write no pixel and pass on an error of
// zero: adding +0 leaves every cell as it is (no cell is ever -0, as each
// starts from +0 and a sum is -0 only if both terms are).
//
// On several threads the groups are dealt out in turn; a group waits until
// the one above has stored every cell it is about to read, which keeps each
// cell's shares in the order of the plain scan. The buffers are reused
// after group_sets(threads) groups: a group's buffers are read only by the
// next group, and that one runs on the thread which later takes the group
// that reuses them.
//
// Q provides float input(px) for one sample, and quantize<all>(v, px,
// live), which quantizes the lanes, writes the pixels px[r] of the lanes r
// set in `live` (all of them when `all`), and returns the errors.
typedef float fr __attribute__((vector_size(4 * group_rows)));
typedef std::int32_t ir __attribute__((vector_size(4 * group_rows)));

[[gnu::always_inline]] inline void store_lanes(float* p, const fr& v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

// Lanes 0..N-2 of the vector at `own` moved up one lane, under lane N-1 of
// the vector at `above`.
[[gnu::always_inline]] inline fr shifted_lanes(const float* own, const float* above) noexcept {
    fr a;
    fr b;
    __builtin_memcpy(&a, own, sizeof a);
    __builtin_memcpy(&b, above, sizeof b);
    static_assert(group_rows == 8);
    return __builtin_shufflevector(a, b, 15, 0, 1, 2, 3, 4, 5, 6);
}

struct LaneSteps {
    static constexpr std::ptrdiff_t first = -4;  // lane 0 starts at column -4
    std::ptrdiff_t last;                         // one past the last step
    std::size_t count;
    LaneSteps(std::size_t width, std::size_t lag) noexcept
        : last(static_cast<std::ptrdiff_t>(width + (group_rows - 1) * lag + 4)),
          count(static_cast<std::size_t>(last - first)) {}
};

template <int K, class Q>
[[gnu::always_inline]] inline void diffuse_lanes(const Q& q, std::uint8_t* data, std::size_t height,
                                                 std::size_t width, std::size_t pixel_bytes,
                                                 const KernelRows& rows, float* scratch,
                                                 const PipelineSettings& pipe) noexcept {
    constexpr auto N = static_cast<int>(group_rows);
    constexpr kernel_data::TapShape s = kernel_data::kernel_shape<K>;
    constexpr int lo1 = s.lo[1];
    constexpr int hi1 = s.hi[1];
    constexpr int lo2 = s.lo[2];
    constexpr int hi2 = s.hi[2];
    constexpr int ahead_at = s.row0_far ? 2 : 1;  // the row-0 cell loaded at each step
    constexpr auto L = static_cast<std::ptrdiff_t>(kernel_data::kernel_lag<K>);
    static_assert(L <= static_cast<std::ptrdiff_t>(group_lag));
    constexpr auto up = (N - 1) * L;
    // Where a lane's cell of row 0 (at ahead_at) and of row 1 (at hi1) was
    // stored, relative to the current step.
    constexpr std::ptrdiff_t row0_from = ahead_at - lo1;
    constexpr std::ptrdiff_t row1_from = hi1 - lo2;
    static_assert(row0_from < L && row1_from < L && -lo1 <= 2 && -lo2 <= 2);
    // How far the group above must be ahead: its steps through
    // t + up + reach are stored before this group takes step t.
    constexpr std::ptrdiff_t reach = s.row2 ? std::max(row0_from, row1_from) : row0_from;

    fr w[3][5];
    for (std::size_t dy = 0; dy < 3; ++dy) {
        for (std::size_t c = 0; c < 5; ++c) {
            w[dy][c] = fr{} + rows.weights[dy][c];
        }
    }
    const LaneSteps steps(width, static_cast<std::size_t>(L));
    const std::size_t groups = (height + group_rows - 1) / group_rows;
    const std::size_t team =
        std::min(std::clamp<std::size_t>(pipe.threads, 1, max_workers), groups);
    const std::size_t sets = group_sets(team);
    const std::size_t buffer_floats = group_rows * group_cells(width);
    std::fill_n(scratch, sets * 2 * buffer_floats, 0.0f);
    // Step t of a buffer is at vector t + group_margin.
    auto buffer = [&](std::size_t g, int which) {
        return scratch + ((g % sets) * 2 + static_cast<std::size_t>(which)) * buffer_floats +
               group_rows * group_margin;
    };
    const std::size_t stride = width * pixel_bytes;
    const auto pb = static_cast<std::ptrdiff_t>(pixel_bytes);
    const std::size_t cut = std::min<std::size_t>(pipe.lag_cut, static_cast<std::size_t>(reach));
    const std::size_t chunk = std::max<std::size_t>(pipe.chunk, 1);
    const std::uint64_t span = steps.count + 1;

    auto group = [&](std::size_t g, RowProgress* above, RowProgress* mine) {
        const std::size_t y0 = g * group_rows;
        const std::size_t live_rows = std::min(group_rows, height - y0);
        float* row1_out = buffer(g, 0);
        float* row2_out = buffer(g, 1);
        const float* row1_in = buffer(g + sets - 1, 0);
        const float* row2_in = buffer(g + sets - 1, 1);
        // The row-0 or row-1 cells of the lanes at step t + from: what the
        // lane above stored L steps before (lane 0: the group above's last
        // lane, `up` steps after).
        auto lanes_from = [&](const float* own, const float* above_group,
                              std::ptrdiff_t at) __attribute__((always_inline)) {
            return shifted_lanes(own + N * (at - L), above_group + N * (at + up));
        };
        // Pixel column 0 of lane r's row, shifted so that step t is column t - r * L.
        std::uint8_t* base[group_rows];
        for (std::size_t r = 0; r < group_rows; ++r) {
            base[r] = r < live_rows ? data + (y0 + r) * stride : data;
        }
        fr cur{};
        fr ahead{};
        fr win1[5] = {};  // win1[d + 2]: the cell d ahead of the lane's column
        fr win2[5] = {};

        auto step = [&]<bool all>(std::ptrdiff_t t, std::bool_constant<all>) {
            std::uint8_t* px[group_rows];
            fr in{};
            unsigned live = (1u << N) - 1;
            ir keep = ir{} - 1;
            for (int r = 0; r < N; ++r) {
                const std::ptrdiff_t x = t - r * L;
                if constexpr (all) {
                    px[r] = base[r] + x * pb;
                    in[r] = q.input(px[r]);
                } else {
                    const bool on = static_cast<std::size_t>(r) < live_rows && x >= 0 &&
                                    x < static_cast<std::ptrdiff_t>(width);
                    px[r] = on ? base[r] + x * pb : base[0];
                    in[r] = on ? q.input(px[r]) : 0.0f;
                    keep[r] = on ? -1 : 0;
                    live &= on ? ~0u : ~(1u << r);
                }
            }
            const fr v = in + cur;
            fr err = q.template quantize<all>(v, px, live);
            if constexpr (!all) {
                err = reinterpret_cast<fr>(reinterpret_cast<ir>(err) & keep);
            }
            if constexpr (s.row0_far) {
                cur = ahead + w[0][3] * err;
                ahead = lanes_from(row1_out, row1_in, t + row0_from) + w[0][4] * err;
            } else {
                cur = lanes_from(row1_out, row1_in, t + row0_from) + w[0][3] * err;
            }
            win1[hi1 + 2] = s.row2 ? lanes_from(row2_out, row2_in, t + row1_from) : fr{};
            [&]<int... D>(std::integer_sequence<int, D...>) {
                ((s.at[1][D + 2] ? (win1[D + 2] = win1[D + 2] + w[1][D + 2] * err) : fr{}), ...);
                store_lanes(row1_out + N * t, win1[lo1 + 2]);
                ((D >= lo1 && D < hi1 ? (win1[D + 2] = win1[D + 3]) : fr{}), ...);
                if constexpr (s.row2) {
                    win2[hi2 + 2] = fr{};
                    ((s.at[2][D + 2] ? (win2[D + 2] = win2[D + 2] + w[2][D + 2] * err) : fr{}),
                     ...);
                    store_lanes(row2_out + N * t, win2[lo2 + 2]);
                    ((D >= lo2 && D < hi2 ? (win2[D + 2] = win2[D + 3]) : fr{}), ...);
                }
            }(std::integer_sequence<int, -2, -1, 0, 1, 2>{});
        };

        std::size_t known = 0;  // steps the group above is known to have done
        auto wait_above = [&](std::size_t done_after) {
            if (above == nullptr) {
                return;
            }
            // Step t reads what the group above stored at its step t + up + reach.
            const std::size_t need =
                std::min(done_after + static_cast<std::size_t>(up + reach) - cut, steps.count);
            if (known >= need) {
                return;
            }
            const std::uint64_t at = above->wait_for((g - 1) * span + need);
            known =
                static_cast<std::size_t>(std::min<std::uint64_t>(at - (g - 1) * span, steps.count));
        };
        // The steps where every lane is within its row.
        const std::ptrdiff_t full_from = up;
        const std::ptrdiff_t full_to =
            live_rows == group_rows ? static_cast<std::ptrdiff_t>(width) : 0;
        std::ptrdiff_t t = LaneSteps::first;
        while (t < steps.last) {
            const std::ptrdiff_t end = std::min(t + static_cast<std::ptrdiff_t>(chunk), steps.last);
            wait_above(static_cast<std::size_t>(end - LaneSteps::first));
            while (t < end) {
                if (t >= full_from && t < full_to) {
                    const std::ptrdiff_t stop = std::min(end, full_to);
                    for (; t < stop; ++t) step(t, std::true_type{});
                } else {
                    step(t, std::false_type{});
                    ++t;
                }
            }
            if (mine != nullptr) {
                mine->publish(g * span + static_cast<std::size_t>(end - LaneSteps::first));
            }
            if (pipe.pause != nullptr) {
                pipe.pause(pipe.context, y0);
            }
        }
    };

    deal_out(groups, team, group);
}

template <class Q>
[[gnu::always_inline]] inline void diffuse_lanes_any(std::size_t kernel, const Q& q,
                                                     std::uint8_t* data, std::size_t height,
                                                     std::size_t width, std::size_t pixel_bytes,
                                                     const KernelRows& rows, float* scratch,
                                                     const PipelineSettings& pipe) noexcept {
    with_kernel(kernel, [&]<int K>() {
        diffuse_lanes<K>(q, data, height, width, pixel_bytes, rows, scratch, pipe);
    });
}

#endif
