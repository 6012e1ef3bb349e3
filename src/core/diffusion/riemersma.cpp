// Riemersma dither.
//
// The path is the generalised Hilbert curve: the rectangle is split along
// its longer side into two halves (long and thin), or into three parts
// (start, middle, end) so that the curve enters at one corner and leaves at
// the neighbouring one; halves are made even where that keeps the curve
// unbroken.
//
// The walks along the path are compiled for the baseline and AVX2 (see
// targets.hpp): the file includes itself once per target, and its second
// part, at the end, is that target's copy.
#if !defined(TONALIS_TARGET)
#include "diffusion/riemersma.hpp"

#include <algorithm>
#include <array>
#include <variant>

#include "checked_size.hpp"
#include "exact_powers.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"

namespace tonalis {

namespace {

using Int = std::int64_t;

constexpr Int sign(Int v) noexcept {
    return (v > 0) - (v < 0);
}
constexpr Int abs_of(Int v) noexcept {
    return v < 0 ? -v : v;
}
// Division rounding toward minus infinity.
constexpr Int floor_half(Int v) noexcept {
    return v >= 0 ? v / 2 : -((-v + 1) / 2);
}

// The path is handed to its consumer in chunks as it is traced, so no
// buffer of the whole path is written and read back.
constexpr std::size_t chunk_entries = 4096;

// Small rectangles recur with the same axes all over the image, and a
// rectangle's path depends on where it lies only by a translation: the
// first path of each such shape is kept as offsets from its first pixel's
// index (modulo 2^32, as indices fit in 32 bits) and replayed for the rest.
// A shape is its four axes (each within +-memo_area) then its offsets.
constexpr Int memo_area = 64;
constexpr std::size_t shape_entries = 4 + memo_area;
constexpr std::size_t memo_shapes = 64;
static_assert(chunk_entries >= static_cast<std::size_t>(memo_area));

struct PathWriter {
    std::uint32_t* out;  // chunk_entries, then the kept shapes
    std::size_t width;
    PathSink sink;
    void* context;
    std::uint32_t* shapes = out + chunk_entries;
    std::size_t at = 0;
    std::size_t known = 0;
    bool tracing_small = false;  // inside a small rectangle being kept

    std::uint32_t index(Int x, Int y) const noexcept {
        return static_cast<std::uint32_t>(static_cast<std::size_t>(y) * width +
                                          static_cast<std::size_t>(x));
    }
    void flush() noexcept {
        if (at > 0) {
            sink(context, out, at);
        }
        at = 0;
    }
    // Room for `count` more entries in the chunk.
    void reserve(std::size_t count) noexcept {
        if (at + count > chunk_entries) {
            flush();
        }
    }
    void put(Int x, Int y) noexcept {
        reserve(1);
        out[at++] = index(x, y);
    }
};

void trace(PathWriter& w, Int x, Int y, Int ax, Int ay, Int bx, Int by) noexcept;

// The rectangle at (x, y) spanned by the major axis (ax, ay) and the minor
// axis (bx, by), one of each pair zero.
void cover(PathWriter& w, Int x, Int y, Int ax, Int ay, Int bx, Int by) noexcept {
    const Int area = abs_of(ax + ay) * abs_of(bx + by);
    if (area > memo_area || w.tracing_small) {
        trace(w, x, y, ax, ay, bx, by);
        return;
    }
    const std::uint32_t base = w.index(x, y);
    const auto count = static_cast<std::size_t>(area);
    // A kept shape's path lies whole in one chunk.
    w.reserve(count);
    const std::uint32_t key[4] = {static_cast<std::uint32_t>(ax), static_cast<std::uint32_t>(ay),
                                  static_cast<std::uint32_t>(bx), static_cast<std::uint32_t>(by)};
    for (std::size_t k = 0; k < w.known; ++k) {
        const std::uint32_t* shape = w.shapes + k * shape_entries;
        if (shape[0] == key[0] && shape[1] == key[1] && shape[2] == key[2] && shape[3] == key[3]) {
            std::uint32_t* out = w.out + w.at;
            for (std::size_t i = 0; i < count; ++i) out[i] = base + shape[4 + i];
            w.at += count;
            return;
        }
    }
    const std::size_t start = w.at;
    w.tracing_small = true;
    trace(w, x, y, ax, ay, bx, by);
    w.tracing_small = false;
    if (w.known < memo_shapes) {
        std::uint32_t* shape = w.shapes + w.known++ * shape_entries;
        std::copy_n(key, 4, shape);
        for (std::size_t i = 0; i < count; ++i) shape[4 + i] = w.out[start + i] - base;
    }
}

void trace(PathWriter& w, Int x, Int y, Int ax, Int ay, Int bx, Int by) noexcept {
    const Int width = abs_of(ax + ay);
    const Int height = abs_of(bx + by);
    const Int dax = sign(ax), day = sign(ay);
    const Int dbx = sign(bx), dby = sign(by);
    if (height == 1) {
        for (Int i = 0; i < width; ++i, x += dax, y += day) {
            w.put(x, y);
        }
        return;
    }
    if (width == 1) {
        for (Int i = 0; i < height; ++i, x += dbx, y += dby) {
            w.put(x, y);
        }
        return;
    }
    Int ax2 = floor_half(ax), ay2 = floor_half(ay);
    Int bx2 = floor_half(bx), by2 = floor_half(by);
    const Int width2 = abs_of(ax2 + ay2);
    const Int height2 = abs_of(bx2 + by2);
    if (2 * width > 3 * height) {
        if (width2 % 2 != 0 && width > 2) {
            ax2 += dax;
            ay2 += day;
        }
        cover(w, x, y, ax2, ay2, bx, by);
        cover(w, x + ax2, y + ay2, ax - ax2, ay - ay2, bx, by);
        return;
    }
    if (height2 % 2 != 0 && height > 2) {
        bx2 += dbx;
        by2 += dby;
    }
    cover(w, x, y, bx2, by2, ax2, ay2);
    cover(w, x + bx2, y + by2, ax, ay, bx - bx2, by - by2);
    cover(w, x + (ax - dax) + (bx2 - dbx), y + (ay - day) + (by2 - dby), -bx2, -by2, -(ax - ax2),
          -(ay - ay2));
}

}  // namespace

std::size_t hilbert_scratch_entries() noexcept {
    return chunk_entries + memo_shapes * shape_entries;
}

void hilbert_path(std::size_t width, std::size_t height, std::uint32_t* scratch, PathSink sink,
                  void* context) noexcept {
    if (width == 0 || height == 0) {
        return;
    }
    PathWriter w{scratch, width, sink, context};
    const auto wi = static_cast<Int>(width);
    const auto hi = static_cast<Int>(height);
    if (width >= height) {
        cover(w, 0, 0, wi, 0, 0, hi);
    } else {
        cover(w, 0, 0, 0, hi, wi, 0);
    }
    w.flush();
}

std::size_t riemersma_path_entries(const Img&) noexcept {
    return hilbert_scratch_entries();
}

std::size_t riemersma_history_floats(std::size_t history) noexcept {
    // A ring of errors (four lanes per entry) and the weights.
    return checked_mul(history, 5);
}

namespace {

// The history: a ring of errors (four lanes per entry, lane l the l-th
// quantized channel) and the weights, the latest first.
struct History {
    float* ring;
    const float* weights;
    std::size_t length;
    float first;  // weights[0]
    float last;   // weights[length - 1]
    float fall;   // the ratio of neighbouring weights
};

// Pixels carry the weighted error sum from one to the next: with weights
// falling by `fall` per step back, the next pixel's sum is the latest error
// times the first weight plus `fall` times this sum without its oldest
// term. It is summed afresh every `resync` pixels, so rounding cannot drift.
constexpr std::size_t resync = 1024;

// Where a walk stands along the path, between chunks.
struct Walked {
    Quad carried{};
    std::size_t latest = 0;        // ring slot of the latest error
    std::size_t until_resync = 0;  // pixels before the sum is taken afresh
};

// The least working value whose nearest level is the upper of two: the
// nearest-level rule is monotonic in the value, so one comparison with it
// gives the same choice (NaN fails it and gets level 0, as the rule says).
float upper_threshold(const Levels& levels) noexcept {
    std::uint32_t lo = 0;  // the bits of 0.0f: level 0
    std::uint32_t hi = 0;  // the bits of 255.0f: level 1
    const float top = 255.0f;
    __builtin_memcpy(&hi, &top, sizeof hi);
    while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        float v;
        __builtin_memcpy(&v, &mid, sizeof v);
        (nearest_level(levels, v) == 0 ? lo : hi) = mid;
    }
    float t;
    __builtin_memcpy(&t, &hi, sizeof t);
    return t;
}

// What a walk needs: the image, the target, the history, the quantized
// channels of a level walk and the path's scratch.
struct WalkSetup {
    Img* img;
    const Levels* levels;
    const Palette* palette;
    const ColourMatch* match;
    const float* to_work;
    float strength;
    History h;
    std::size_t offset[4];
    int count;
    std::uint32_t* path;
};

}  // namespace

}  // namespace tonalis

#define TONALIS_TARGET_BODY "diffusion/riemersma.cpp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

void riemersma_dither(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                      float strength, std::size_t history, float ratio, std::uint32_t* path,
                      float* history_rows) noexcept {
    const Palette* palette = std::get_if<Palette>(&target);
    const Levels* levels = std::get_if<Levels>(&target);
    if (history == 0 || (palette != nullptr && (img.channels < 3 || match == nullptr))) {
        return;
    }
    float* ring = history_rows;
    float* weights = history_rows + history * 4;
    // Weight of the error a steps back (a = 0 the latest): ratio^(a/(q-1)),
    // correctly rounded (not the C library's powf, whose last bit differs
    // between platforms), then scaled to sum to 1.
    const PowersOf powers(ratio);
    float sum = 0.0f;
    for (std::size_t a = 0; a < history; ++a) {
        const float e =
            history == 1 ? 0.0f : static_cast<float>(a) / static_cast<float>(history - 1);
        weights[a] = powers.to(e);
        sum += weights[a];
    }
    for (std::size_t a = 0; a < history; ++a) {
        weights[a] = weights[a] / sum;
    }
    for (std::size_t i = 0; i < history * 4; ++i) {
        ring[i] = 0.0f;
    }
    const History h{ring,
                    weights,
                    history,
                    weights[0],
                    weights[history - 1],
                    history == 1 ? 0.0f : powers.to(1.0f / static_cast<float>(history - 1))};
    WalkSetup setup{&img, levels, palette, match, space.to_work.data(), strength, h, {}, 0, path};
    // The quantized channels of levels, side by side in one pass.
    const std::size_t kept = img.kept_channel();
    for (std::size_t c = 0; c < img.channels && setup.count < 4; ++c) {
        if (c != kept) {
            setup.offset[setup.count++] = c;
        }
    }
    TONALIS_DISPATCH_TO_AVX2(riemersma_walk)(setup);
}

}  // namespace tonalis

#else  // one target's copy: the walks along the path

// AVX2's blend (pick_lanes) takes one step off the chain of dependent
// operations from one pixel to the next, and its three-operand encodings
// the register copies.
#include "vectors.hpp"

// Runs step(index, carried, cell) for the pixels idx[0 .. n), where cell is
// the ring slot of the pixel's error (holding the error leaving the
// window) and step returns the next pixel's sum.
template <class Step>
[[gnu::always_inline]] inline void follow(const History& h, Walked& at, const std::uint32_t* idx,
                                          std::size_t n, Step step) noexcept {
    while (n > 0) {
        if (at.until_resync == 0) {
            Quad sum{};
            std::size_t slot = at.latest;
            for (std::size_t a = 0; a < h.length; ++a) {
                sum = sum + load_quad(h.ring + slot * 4) * h.weights[a];
                slot = slot == 0 ? h.length - 1 : slot - 1;
            }
            at.carried = sum;
            at.until_resync = resync;
        }
        const std::size_t m = n < at.until_resync ? n : at.until_resync;
        Quad carried = at.carried;
        std::size_t latest = at.latest;
        for (std::size_t i = 0; i < m; ++i) {
            latest = latest + 1 == h.length ? 0 : latest + 1;
            carried = step(idx[i], carried, h.ring + latest * 4);
        }
        at.carried = carried;
        at.latest = latest;
        at.until_resync -= m;
        idx += m;
        n -= m;
    }
}

// Levels: the C quantized samples of a pixel (at `offset` within it) side
// by side in vector lanes, each lane performing the scalar rule's
// operations in its order; lanes from C on stay zero. With two levels both
// candidate errors and sums are formed before the comparison picks one, so
// a pixel's sum reaches the next pixel after the arithmetic alone; a unit
// strength skips its multiplication, which would leave the error unchanged.
template <int C, bool Two, bool Unit>
struct LevelWalk {
    std::uint8_t* data;
    std::size_t channels;
    std::size_t offset[4];
    const Levels* levels;
    const float* to_work;
    History h;
    Quad threshold, low, high, scale, inv_step, first, last, fall;
    std::uint8_t code_low, code_flip;
    // The output bytes of the lanes, byte l for lane l, by the mask of the
    // lanes at the upper level.
    std::uint32_t codes_by_mask[16];
    Walked at;

    LevelWalk(Img& img, const Levels& lv, const float* work, float strength, const History& hist,
              const std::size_t (&off)[4]) noexcept
        : data(img.data.data()),
          channels(img.channels),
          offset{off[0], off[1], off[2], off[3]},
          levels(&lv),
          to_work(work),
          h(hist),
          threshold(splat_quad(Two ? upper_threshold(lv) : 0.0f)),
          low(splat_quad(lv.values[0])),
          high(splat_quad(lv.values[Two ? 1 : 0])),
          scale(splat_quad(strength)),
          inv_step(splat_quad(lv.inv_step)),
          first(splat_quad(hist.first)),
          last(splat_quad(hist.last)),
          fall(splat_quad(hist.fall)),
          code_low(lv.codes[0]),
          code_flip(static_cast<std::uint8_t>(lv.codes[0] ^ lv.codes[Two ? 1 : 0])) {
        for (std::uint32_t m = 0; m < 16; ++m) {
            std::uint32_t word = 0;
            for (std::uint32_t l = 0; l < 4; ++l) {
                const std::uint32_t code = lv.codes[Two && (m >> l & 1) != 0 ? 1 : 0];
                word |= code << (8 * l);
            }
            codes_by_mask[m] = word;
        }
    }

    static void sink(void* self, const std::uint32_t* idx, std::size_t n) noexcept {
        static_cast<LevelWalk*>(self)->run(idx, n);
    }

    // The walk works on a copy: the byte stores could alias members of an
    // object in memory, which would then be read again after each pixel.
    void run(const std::uint32_t* idx, std::size_t n) noexcept {
        LevelWalk k = *this;
        follow(k.h, k.at, idx, n, [&k](std::uint32_t index, Quad carried, float* cell) {
            std::uint8_t* px = k.data + static_cast<std::size_t>(index) * k.channels;
            Quad input{};
            for (int l = 0; l < C; ++l) input[l] = k.to_work[px[k.offset[l]]];
            const Quad v = input + carried;
            const Quad rest = (carried - load_quad(cell) * k.last) * k.fall;
            Quad error;
            std::uint8_t out[4];
            if constexpr (Two) {
                const QuadI up = v >= k.threshold;
                Quad error_low = v - k.low;
                Quad error_high = v - k.high;
                if constexpr (!Unit) {
                    error_low = error_low * k.scale;
                    error_high = error_high * k.scale;
                }
                carried = pick_lanes(up, error_high * k.first + rest, error_low * k.first + rest);
                error = pick_lanes(up, error_high, error_low);
                const std::uint32_t mask = quad_bits(up);
                const std::uint32_t word = k.codes_by_mask[mask];
                for (int l = 0; l < C; ++l) out[l] = static_cast<std::uint8_t>(word >> (8 * l));
            } else {
                QuadI index_of;
                level_index(v * k.inv_step, k.levels->max_index, index_of);
                Quad level{};
                for (int l = 0; l < C; ++l) {
                    const auto i = static_cast<std::size_t>(index_of[l]);
                    level[l] = k.levels->values[i];
                    out[l] = k.levels->codes[i];
                }
                error = (v - level) * k.scale;
                carried = error * k.first + rest;
            }
            store_quad(cell, error);
            // Bytes are written last: a byte store may alias anything.
            for (int l = 0; l < C; ++l) px[k.offset[l]] = out[l];
            return carried;
        });
        at = k.at;
    }
};

template <int C, bool Two, bool Unit>
void levels_walk(Img& img, const Levels& levels, const float* to_work, float strength,
                 const History& h, const std::size_t (&offset)[4], std::uint32_t* path) noexcept {
    LevelWalk<C, Two, Unit> walk(img, levels, to_work, strength, h, offset);
    hilbert_path(img.width, img.height, path, &LevelWalk<C, Two, Unit>::sink, &walk);
}

template <int C>
void levels_walk_any(Img& img, const Levels& levels, const float* to_work, float strength,
                     const History& h, const std::size_t (&offset)[4],
                     std::uint32_t* path) noexcept {
    if (levels.count != 2) {
        levels_walk<C, false, false>(img, levels, to_work, strength, h, offset, path);
    } else if (strength == 1.0f) {
        levels_walk<C, true, true>(img, levels, to_work, strength, h, offset, path);
    } else {
        levels_walk<C, true, false>(img, levels, to_work, strength, h, offset, path);
    }
}

// A palette: the three colour channels as one four-lane value.
struct PaletteWalk {
    std::uint8_t* data;
    std::size_t channels;
    const Palette* palette;
    const ColourMatch* match;
    const float* to_work;
    float strength;
    History h;
    Walked at;

    static void sink(void* self, const std::uint32_t* idx, std::size_t n) noexcept {
        static_cast<PaletteWalk*>(self)->run(idx, n);
    }

    // On a copy, as LevelWalk::run.
    void run(const std::uint32_t* idx, std::size_t n) noexcept {
        PaletteWalk k = *this;
        follow(k.h, k.at, idx, n, [&k](std::uint32_t index, Quad carried, float* cell) {
            std::uint8_t* px = k.data + static_cast<std::size_t>(index) * k.channels;
            const Quad v =
                Quad{k.to_work[px[0]], k.to_work[px[1]], k.to_work[px[2]], 0.0f} + carried;
            const std::size_t chosen = k.match->nearest(k.match->coordinates(v));
            const Quad colour = load_quad(k.palette->layout.quads.data() + chosen * 4);
            const Quad error = (v - colour) * k.strength;
            const Quad oldest = load_quad(cell);  // the error leaving the window
            store_quad(cell, error);
            const Rgb& out = k.palette->rgb[chosen];
            px[0] = out[0];
            px[1] = out[1];
            px[2] = out[2];
            return error * k.h.first + (carried - oldest * k.h.last) * k.h.fall;
        });
        at = k.at;
    }
};

// The walk of one call: levels or a palette.
void riemersma_walk(const WalkSetup& a) noexcept {
    Img& img = *a.img;
    if (a.palette != nullptr) {
        PaletteWalk walk{img.data.data(), img.channels, a.palette, a.match,
                         a.to_work,       a.strength,   a.h,       {}};
        hilbert_path(img.width, img.height, a.path, &PaletteWalk::sink, &walk);
        return;
    }
    switch (a.count) {
        case 1:
            levels_walk_any<1>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 2:
            levels_walk_any<2>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 3:
            levels_walk_any<3>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 4:
            levels_walk_any<4>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        default: break;
    }
}

#endif  // TONALIS_TARGET
