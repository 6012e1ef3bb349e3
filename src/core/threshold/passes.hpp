// The palette loops and the vector forms of the threshold engines,
// compiled once per target (see targets.hpp) for threshold/ordered.cpp.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the passes
// for that target.
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
#include "threshold/cell_thresholds.hpp"
#include "threshold/matrices.hpp"
#include "threshold/noise.hpp"
#include "threshold/shifts.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_THRESHOLD_PASSES_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_THRESHOLD_PASSES_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_THRESHOLD_PASSES_2))
#if TONALIS_TARGET == 0
#define TONALIS_THRESHOLD_PASSES_0
#elif TONALIS_TARGET == 1
#define TONALIS_THRESHOLD_PASSES_1
#else
#define TONALIS_THRESHOLD_PASSES_2
#endif

#include "vectors.hpp"
#include "search/layout_forms.hpp"
#include "search/cell_lists.hpp"
#include "search/cell_search.hpp"
#include "search/pixel_groups.hpp"

// The generator's draws, native_lanes at a time: 64-bit states in two
// halves of native_lanes / 2 lanes, mixed, and the top halves of the mixed
// words joined into one vector of 32-bit lanes (one shuffle) and shifted
// down to their top 24 bits.
typedef std::uint64_t vq __attribute__((vector_size(4 * native_lanes)));
typedef std::uint32_t vu __attribute__((vector_size(4 * native_lanes)));

// mix_bits' two multiplying steps (noise.hpp) in vector lanes, compiled for
// this target; the top 24 bits are taken by join_top_bits.
[[gnu::always_inline]] inline vq mix_lanes(vq z) noexcept {
    z = (z ^ (z >> 30)) * NoiseGenerator::first_multiplier;
    return (z ^ (z >> 27)) * NoiseGenerator::second_multiplier;
}

// The odd 32-bit lanes of a, then those of b: on little-endian x86, the
// top halves of the 64-bit lanes.
template <std::size_t... I>
[[gnu::always_inline]] inline vu top_halves_impl(vu a, vu b, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(a, b, static_cast<int>(2 * I + 1)...);
}

[[gnu::always_inline]] inline vi join_top_bits(vq a, vq b) noexcept {
    const vu top = top_halves_impl(reinterpret_cast<vu>(a), reinterpret_cast<vu>(b),
                                   std::make_index_sequence<native_lanes>{});
    return reinterpret_cast<vi>(top >> 8);
}

// The shifts (noise_of) of the draws of the states after `state`,
// native_lanes at a time: lane l of the two halves holds the states of
// draws l and half + l.
struct NoiseLanes {
    static constexpr std::size_t half = native_lanes / 2;
    static constexpr std::uint64_t inc = NoiseGenerator::increment;
    vq lo;
    vq hi;

    template <std::size_t... I>
    [[gnu::always_inline]] static vq counts(std::uint64_t first,
                                            std::index_sequence<I...>) noexcept {
        return vq{(first + I)...};
    }
    [[gnu::always_inline]] explicit NoiseLanes(std::uint64_t state) noexcept
        : lo(state + counts(1, std::make_index_sequence<half>{}) * inc),
          hi(state + counts(half + 1, std::make_index_sequence<half>{}) * inc) {}
    [[gnu::always_inline]] vf next() noexcept {
        const vi bits = join_top_bits(mix_lanes(lo), mix_lanes(hi));
        lo += native_lanes * inc;
        hi += native_lanes * inc;
        return __builtin_convertvector(bits, vf) * NoiseGenerator::draw_scale - 0.5f;
    }
};

// The next n shifts (n a multiple of native_lanes) into out, as n calls of
// the shift's next() give them.
[[gnu::always_inline]] inline void fill_shifts(MatrixShift& shift, float* out,
                                               std::size_t n) noexcept {
    shift.fill(out, n);
}

[[gnu::always_inline]] inline void fill_shifts(NoiseShift& shift, float* out,
                                               std::size_t n) noexcept {
    NoiseLanes lanes(shift.state());
    for (std::size_t k = 0; k < n; k += native_lanes) {
        const vf s = lanes.next();
        __builtin_memcpy(out + k, &s, sizeof s);
    }
    shift.skip(n);
}

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

[[gnu::always_inline]] inline vf gather_f32(const float* base, vi index) noexcept {
#if TONALIS_TARGET == 2
    return reinterpret_cast<vf>(_mm512_mask_i32gather_ps(
        _mm512_setzero_ps(), 0xFFFF, reinterpret_cast<__m512i>(index), base, 4));
#elif TONALIS_TARGET == 1
    return reinterpret_cast<vf>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
#else
    vf out;
    for (std::size_t l = 0; l < native_lanes; ++l) {
        out[l] = base[static_cast<std::uint32_t>(index[l])];
    }
    return out;
#endif
}

// Words of a and b, within each 128-bit lane (four words): kind 0 takes
// a0 b0 a1 b1, kind 1 a2 b2 a3 b3, kind 2 a0 a1 b0 b1, kind 3 a2 a3 b2 b3.
constexpr int interleaved(int kind, std::size_t i) noexcept {
    const auto base = static_cast<int>(i - i % 4) + (kind % 2 == 1 ? 2 : 0);
    const auto pos = static_cast<int>(i % 4);
    const int b = static_cast<int>(native_lanes);
    return kind < 2 ? base + pos / 2 + (pos % 2 == 1 ? b : 0)
                    : base + pos % 2 + (pos / 2 == 1 ? b : 0);
}

template <int kind, std::size_t... I>
[[gnu::always_inline]] inline vi interleave_impl(vi a, vi b, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(a, b, interleaved(kind, I)...);
}

template <int kind>
[[gnu::always_inline]] inline vi interleave(vi a, vi b) noexcept {
    return interleave_impl<kind>(a, b, std::make_index_sequence<native_lanes>{});
}

// A block of PaletteCells::list_block members of native_lanes lists: lane
// l of out[k] holds word k of the block at pool[start[l]] (a whole block of
// a list's room). One load per list instead of one gather per member: with
// wide vectors, 128-bit part j of in[i] is the block of lane 4j + i, and a
// transposition of each part turns blocks into members.
constexpr std::size_t list_block = PaletteCells::list_block;
static_assert(list_block == 4, "one block per 128 bits");

[[gnu::always_inline]] inline void list_blocks(const std::uint32_t* pool, vi start,
                                               vi out[list_block]) noexcept {
#if TONALIS_TARGET >= 1
    std::uint32_t from[native_lanes];
    auto part = [&]<int j>() noexcept {
#if TONALIS_TARGET == 2
        const __m128i x = _mm512_maskz_extracti32x4_epi32(0xF, reinterpret_cast<__m512i>(start), j);
#else
        const __m128i x = _mm256_extracti128_si256(reinterpret_cast<__m256i>(start), j);
#endif
        const auto q0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
        const auto q1 = static_cast<std::uint64_t>(_mm_extract_epi64(x, 1));
        from[4 * j] = static_cast<std::uint32_t>(q0);
        from[4 * j + 1] = static_cast<std::uint32_t>(q0 >> 32);
        from[4 * j + 2] = static_cast<std::uint32_t>(q1);
        from[4 * j + 3] = static_cast<std::uint32_t>(q1 >> 32);
    };
    part.template operator()<0>();
    part.template operator()<1>();
#if TONALIS_TARGET == 2
    part.template operator()<2>();
    part.template operator()<3>();
#endif
    auto block = [&](std::size_t l) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pool + from[l]));
    };
    vi in[list_block];
    for (std::size_t i = 0; i < list_block; ++i) {
#if TONALIS_TARGET == 2
        __m512i x = _mm512_zextsi128_si512(block(i));
        x = _mm512_inserti32x4(x, block(4 + i), 1);
        x = _mm512_inserti32x4(x, block(8 + i), 2);
        x = _mm512_inserti32x4(x, block(12 + i), 3);
        in[i] = reinterpret_cast<vi>(x);
#else
        in[i] = reinterpret_cast<vi>(_mm256_set_m128i(block(4 + i), block(i)));
#endif
    }
    const vi t0 = interleave<0>(in[0], in[1]);
    const vi t1 = interleave<1>(in[0], in[1]);
    const vi t2 = interleave<0>(in[2], in[3]);
    const vi t3 = interleave<1>(in[2], in[3]);
    out[0] = interleave<2>(t0, t2);
    out[1] = interleave<3>(t0, t2);
    out[2] = interleave<2>(t1, t3);
    out[3] = interleave<3>(t1, t3);
#else
    alignas(64) std::int32_t from[native_lanes];
    __builtin_memcpy(from, &start, sizeof from);
    std::int32_t members[list_block][native_lanes];
    for (std::size_t l = 0; l < native_lanes; ++l) {
        for (std::size_t k = 0; k < list_block; ++k) {
            members[k][l] = static_cast<std::int32_t>(pool[from[l] + static_cast<std::int32_t>(k)]);
        }
    }
    for (std::size_t k = 0; k < list_block; ++k) {
        __builtin_memcpy(&out[k], members[k], sizeof out[k]);
    }
#endif
}

// Bytes 3k, 3k + 1, 3k + 2 of each 128-bit lane into 32-bit lane k, and back.
#if TONALIS_TARGET >= 1
#define TONALIS_SPREAD_RGB 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1
#define TONALIS_PACK_RGB 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1
#endif

// native_lanes pixels of C samples as r | g << 8 | b << 16 (| a << 24).
// With C = 3 it reads up to 4 bytes past the pixels.
template <std::size_t C>
[[gnu::always_inline]] inline vi load_pixels(const std::uint8_t* at) noexcept {
    vi v;
    if constexpr (C == 4) {
        __builtin_memcpy(&v, at, sizeof v);
        return v;
    }
#if TONALIS_TARGET == 2
    __m512i x = _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
    x = _mm512_inserti32x4(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 12)), 1);
    x = _mm512_inserti32x4(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 24)), 2);
    x = _mm512_inserti32x4(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 36)), 3);
    v = reinterpret_cast<vi>(_mm512_shuffle_epi8(
        x, _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_setr_epi8(TONALIS_SPREAD_RGB))));
#elif TONALIS_TARGET == 1
    const __m256i x = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(at + 12),
                                          reinterpret_cast<const __m128i*>(at));
    v = reinterpret_cast<vi>(
        _mm256_shuffle_epi8(x, _mm256_broadcastsi128_si256(_mm_setr_epi8(TONALIS_SPREAD_RGB))));
#else
    for (std::size_t l = 0; l < native_lanes; ++l) {
        const std::uint32_t r = at[3 * l];
        const std::uint32_t g = at[3 * l + 1];
        const std::uint32_t b = at[3 * l + 2];
        v[l] = static_cast<std::int32_t>(r | g << 8 | b << 16);
    }
#endif
    return v;
}

// Writes the r, g, b of native_lanes pixels (r | g << 8 | b << 16), leaving
// any fourth sample as it is; writes nothing past the pixels.
template <std::size_t C>
[[gnu::always_inline]] inline void store_pixels(std::uint8_t* at, vi rgb) noexcept {
    if constexpr (C == 4) {
        vi old;
        __builtin_memcpy(&old, at, sizeof old);
        const vi out = (rgb & 0x00FFFFFF) | (old & static_cast<std::int32_t>(0xFF000000u));
        __builtin_memcpy(at, &out, sizeof out);
        return;
    }
#if TONALIS_TARGET == 2
    const __m512i pack = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_setr_epi8(TONALIS_PACK_RGB));
    const __m512i x = _mm512_shuffle_epi8(reinterpret_cast<__m512i>(rgb), pack);
    // In rising order, each store's four spare bytes rewritten by the next.
    auto* out = reinterpret_cast<__m128i*>(at);
    _mm_storeu_si128(out, _mm512_maskz_extracti32x4_epi32(0xF, x, 0));
    out = reinterpret_cast<__m128i*>(at + 12);
    _mm_storeu_si128(out, _mm512_maskz_extracti32x4_epi32(0xF, x, 1));
    out = reinterpret_cast<__m128i*>(at + 24);
    _mm_storeu_si128(out, _mm512_maskz_extracti32x4_epi32(0xF, x, 2));
    _mm_mask_storeu_epi8(at + 36, 0x0FFF, _mm512_maskz_extracti32x4_epi32(0xF, x, 3));
#elif TONALIS_TARGET == 1
    const __m256i pack = _mm256_broadcastsi128_si256(_mm_setr_epi8(TONALIS_PACK_RGB));
    const __m256i x = _mm256_shuffle_epi8(reinterpret_cast<__m256i>(rgb), pack);
    const __m128i high = _mm256_extracti128_si256(x, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(x));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 12), high);
    const std::int32_t last = _mm_extract_epi32(high, 2);
    __builtin_memcpy(at + 20, &last, sizeof last);
#else
    for (std::size_t l = 0; l < native_lanes; ++l) {
        const auto v = static_cast<std::uint32_t>(rgb[l]);
        at[3 * l] = static_cast<std::uint8_t>(v);
        at[3 * l + 1] = static_cast<std::uint8_t>(v >> 8);
        at[3 * l + 2] = static_cast<std::uint8_t>(v >> 16);
    }
#endif
}

#undef TONALIS_SPREAD_RGB
#undef TONALIS_PACK_RGB

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

// Byte 1 of each 32-bit lane, as the lane's value: one byte shuffle where
// there is one.
[[gnu::always_inline]] inline vi second_bytes(vi x) noexcept {
#if TONALIS_TARGET >= 1
    const __m128i pick = _mm_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
#endif
#if TONALIS_TARGET == 2
    return reinterpret_cast<vi>(_mm512_shuffle_epi8(reinterpret_cast<__m512i>(x),
                                                    _mm512_maskz_broadcast_i32x4(0xFFFF, pick)));
#elif TONALIS_TARGET == 1
    return reinterpret_cast<vi>(
        _mm256_shuffle_epi8(reinterpret_cast<__m256i>(x), _mm256_broadcastsi128_si256(pick)));
#else
    return (x >> 8) & 0xFF;
#endif
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

// The largest lane of x, whose lanes are below 2^16 (list lengths): through
// 16-bit words and the instruction that finds the least of eight words,
// cheaper than a full-width tree of maxima.
[[gnu::always_inline]] inline std::int32_t largest_length(vi x) noexcept {
#if TONALIS_TARGET >= 1
#if TONALIS_TARGET == 2
    const __m256i w = _mm512_maskz_cvtepi32_epi16(0xFFFF, reinterpret_cast<__m512i>(x));
    const __m128i words = _mm_max_epu16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
#else
    const __m256i w = reinterpret_cast<__m256i>(x);
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
#endif
    // The largest word is the complement of the least complement.
    const __m128i least = _mm_minpos_epu16(_mm_xor_si128(words, _mm_set1_epi16(-1)));
    return 0xFFFF - (_mm_cvtsi128_si32(least) & 0xFFFF);
#else
    std::int32_t most = x[0];
    for (std::size_t l = 1; l < native_lanes; ++l) most = std::max(most, x[l]);
    return most;
#endif
}

// The bits set in any lane.
typedef std::int32_t vi_four __attribute__((vector_size(16)));
[[gnu::always_inline]] inline std::uint32_t lanes_or(vi x) noexcept {
#if TONALIS_TARGET == 2
    typedef std::int32_t vi_eight __attribute__((vector_size(32)));
    const vi_eight h = __builtin_shufflevector(x, x, 0, 1, 2, 3, 4, 5, 6, 7) |
                       __builtin_shufflevector(x, x, 8, 9, 10, 11, 12, 13, 14, 15);
    vi_four q =
        __builtin_shufflevector(h, h, 0, 1, 2, 3) | __builtin_shufflevector(h, h, 4, 5, 6, 7);
#elif TONALIS_TARGET == 1
    vi_four q =
        __builtin_shufflevector(x, x, 0, 1, 2, 3) | __builtin_shufflevector(x, x, 4, 5, 6, 7);
#else
    vi_four q = x;
#endif
    q |= __builtin_shufflevector(q, q, 2, 3, 0, 1);
    q |= __builtin_shufflevector(q, q, 1, 0, 3, 2);
    return static_cast<std::uint32_t>(q[0]);
}

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
                    list_blocks(pool, b < length ? start + b : start, member);
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

#if TONALIS_TARGET >= 1

#if TONALIS_TARGET == 2
constexpr std::size_t byte_lanes = 64;
#else
constexpr std::size_t byte_lanes = 32;
#endif
typedef std::uint8_t vbw __attribute__((vector_size(byte_lanes)));

[[gnu::always_inline]] inline vbw load_vbw(const std::uint8_t* p) noexcept {
    vbw v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Bytes of `table` (its first 16, repeated in every 128-bit lane) chosen by
// the low four bits of each index byte.
[[gnu::always_inline]] inline vbw lookup16(vbw table, vbw index) noexcept {
#if TONALIS_TARGET == 2
    return reinterpret_cast<vbw>(
        _mm512_shuffle_epi8(reinterpret_cast<__m512i>(table), reinterpret_cast<__m512i>(index)));
#else
    return reinterpret_cast<vbw>(
        _mm256_shuffle_epi8(reinterpret_cast<__m256i>(table), reinterpret_cast<__m256i>(index)));
#endif
}

[[gnu::always_inline]] inline vbw replicated_codes(const Levels& levels) noexcept {
    vbw table;
    for (std::size_t i = 0; i < byte_lanes; ++i) table[i] = levels.codes[i % 16];
    return table;
}

// Ordered dither with the cell thresholds, rows [y0, y1). For one matrix
// row the samples of an image row repeat with a period of (matrix width ×
// channels) samples, so each plane of the pattern (level at byte 0,
// pass-through mask, thresholds) is written out for one period plus one
// vector and read at the sample's phase.
void pattern_rows(Img& img, const CellThresholds& th, const Levels& levels,
                  const ThresholdMatrix& matrix, std::size_t y0, std::size_t y1) noexcept {
    const std::size_t channels = img.channels;
    const std::size_t mw = matrix.width;
    const std::size_t period = mw * channels;
    const std::size_t span = period + byte_lanes;
    const std::size_t steps = th.steps;
    const std::size_t planes = steps + 2;
    const std::size_t kept = img.kept_channel();
    const bool has_alpha = kept < channels;
    const std::size_t row_bytes = planes * span;

    // At most 17 planes of 4 × 256 + 64 bytes fit; all matrix rows when
    // they fit too, else one at a time.
    alignas(64) std::uint8_t store[32768];
    static_assert((CellThresholds::max_steps + 2) * (4 * table_cells + 64) <= sizeof store);
    const bool all_rows = row_bytes * matrix.height <= sizeof store;
    auto build = [&](std::size_t r, std::uint8_t* out) {
        for (std::size_t q = 0; q < span; ++q) {
            const std::size_t s = q % period;
            const std::size_t cell = r * mw + s / channels;
            out[q] = th.base[cell];
            out[span + q] = s % channels == kept ? 0xFF : 0;
            for (std::size_t j = 0; j < steps; ++j) {
                out[(2 + j) * span + q] = th.limit[j][cell];
            }
        }
    };
    if (all_rows) {
        for (std::size_t r = 0; r < matrix.height; ++r) build(r, store + r * row_bytes);
    }
    const vbw codes = replicated_codes(levels);
    const std::size_t n = img.row_samples();
    const std::size_t advance = byte_lanes % period;
    std::size_t built = matrix.height;
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t r = y % matrix.height;
        const std::uint8_t* pattern = store;
        if (all_rows) {
            pattern = store + r * row_bytes;
        } else if (built != r) {
            build(r, store);
            built = r;
        }
        std::uint8_t* row = img.data.data() + y * n;
        std::size_t phase = 0;
        std::size_t s = 0;
        if (advance == 0 && steps == 1 && !has_alpha) {
            // Two levels, and a period that divides the vector (Bayer
            // matrices on gray rows): one level at byte 0 and one limit
            // for the whole row, held in registers.
            const vbw first = load_vbw(pattern);
            const vbw limit = load_vbw(pattern + 2 * span);
            for (; s + byte_lanes <= n; s += byte_lanes) {
                const vbw b = load_vbw(row + s);
                const vbw out = lookup16(codes, first - reinterpret_cast<vbw>(b > limit));
                __builtin_memcpy(row + s, &out, sizeof out);
            }
        }
        for (; s + byte_lanes <= n; s += byte_lanes) {
            const std::uint8_t* at = pattern + phase;
            const vbw b = load_vbw(row + s);
            vbw k = load_vbw(at);
            for (std::size_t j = 0; j < steps; ++j) {
                k -= reinterpret_cast<vbw>(b > load_vbw(at + (2 + j) * span));
            }
            vbw out = lookup16(codes, k);
            if (has_alpha) {
                const vbw keep = load_vbw(at + span);
                out = (b & keep) | (out & ~keep);
            }
            __builtin_memcpy(row + s, &out, sizeof out);
            phase += advance;
            if (phase >= period) phase -= period;
        }
        for (; s < n; ++s, ++phase) {
            const std::uint8_t b = row[s];
            std::size_t k = pattern[phase];
            for (std::size_t j = 0; j < steps; ++j) {
                k += b > pattern[(2 + j) * span + phase] ? 1 : 0;
            }
            row[s] = pattern[span + phase] != 0 ? b : levels.codes[k];
        }
    }
}

// Random dither, levels target, working values equal to the codes, rows
// [y0, y1): native_lanes pixels per step, each lane drawing its own
// generator state. The pixels of a band are contiguous, so rows need no
// seams.
typedef std::uint8_t vb_lanes __attribute__((vector_size(native_lanes)));

// The d of each sample of the q-th vector of a step's C × native_lanes
// samples: sample q·lanes + l belongs to pixel (q·lanes + l) / C.
template <int C, int Q, std::size_t... I>
[[gnu::always_inline]] inline vf spread_shift(vf d, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(d, d, static_cast<int>((Q * native_lanes + I) / C)...);
}

template <int C, int Q, std::size_t... I>
[[gnu::always_inline]] inline vb_lanes last_channel_mask(std::index_sequence<I...>) noexcept {
    return vb_lanes{static_cast<std::uint8_t>((Q * native_lanes + I) % C == C - 1 ? 0xFF : 0)...};
}

// native_lanes bytes widened to 32-bit lanes (the generic conversion goes
// through scalar registers).
[[gnu::always_inline]] inline vi widen_bytes(const std::uint8_t* p) noexcept {
#if TONALIS_TARGET == 2
    // The zero-masked forms: the plain ones start from an undefined vector,
    // which the compiler reports as possibly uninitialised.
    return reinterpret_cast<vi>(
        _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
    return reinterpret_cast<vi>(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
#endif
}

// Lanes holding 0..255 narrowed to the low native_lanes bytes.
[[gnu::always_inline]] inline __m128i narrow_lanes(vi x) noexcept {
#if TONALIS_TARGET == 2
    return _mm512_maskz_cvtepi32_epi8(0xFFFF, reinterpret_cast<__m512i>(x));
#else
    const __m256i w = reinterpret_cast<__m256i>(x);
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
    return _mm_packus_epi16(words, words);
#endif
}

template <int C, bool keep_last, int Q>
[[gnu::always_inline]] inline void noise_vector(std::uint8_t* px, vf d, float inv_step,
                                                float max_index, __m128i codes) noexcept {
    using Lanes = std::make_index_sequence<native_lanes>;
    const vf shift = spread_shift<C, Q>(d, Lanes{});
    const vf v = __builtin_convertvector(widen_bytes(px + Q * native_lanes), vf) + shift;
    vi i;
    level_index(v * inv_step, max_index, i);
    const __m128i chosen = _mm_shuffle_epi8(codes, narrow_lanes(i));
    vb_lanes out;
    __builtin_memcpy(&out, &chosen, sizeof out);
    if constexpr (keep_last) {
        vb_lanes b;
        __builtin_memcpy(&b, px + Q * native_lanes, sizeof b);
        const vb_lanes keep = last_channel_mask<C, Q>(Lanes{});
        out = (b & keep) | (out & ~keep);
    }
    __builtin_memcpy(px + Q * native_lanes, &out, sizeof out);
}

template <int C, bool keep_last, int... Q>
void noise_rows_c(Img& img, const Levels& levels, float strength, std::uint64_t state0,
                  std::size_t y0, std::size_t y1, std::integer_sequence<int, Q...>) noexcept {
    constexpr std::uint64_t inc = NoiseGenerator::increment;
    const float amplitude = strength * levels.step;
    const float inv_step = levels.inv_step;
    const float max_index = levels.max_index;
    __m128i codes;
    __builtin_memcpy(&codes, levels.codes.data(), sizeof codes);

    const std::size_t first = y0 * img.width;
    const std::size_t count = (y1 - y0) * img.width;
    std::uint8_t* px = img.data.data() + first * C;
    NoiseLanes lanes(state0 + first * inc);
    std::size_t k = 0;
    for (; k + native_lanes <= count; k += native_lanes, px += C * native_lanes) {
        const vf d = lanes.next() * amplitude;
        (noise_vector<C, keep_last, Q>(px, d, inv_step, max_index, codes), ...);
    }
    // The last few pixels one at a time, with the same formula.
    std::uint64_t state = state0 + (first + k) * inc;
    for (; k < count; ++k, px += C) {
        state += inc;
        const float d = noise_of(mix_bits(state)) * amplitude;
        for (int c = 0; c < C; ++c) {
            if (keep_last && c == C - 1) continue;
            px[c] = levels.codes[nearest_level(levels, static_cast<float>(px[c]) + d)];
        }
    }
}

void noise_rows(Img& img, const Levels& levels, float strength, std::uint64_t state0,
                std::size_t y0, std::size_t y1) noexcept {
    const bool keep_last = img.kept_channel() + 1 == img.channels;
    switch (img.channels) {
        case 1:
            noise_rows_c<1, false>(img, levels, strength, state0, y0, y1,
                                   std::integer_sequence<int, 0>{});
            break;
        case 2:
            if (keep_last) {
                noise_rows_c<2, true>(img, levels, strength, state0, y0, y1,
                                      std::integer_sequence<int, 0, 1>{});
            } else {
                noise_rows_c<2, false>(img, levels, strength, state0, y0, y1,
                                       std::integer_sequence<int, 0, 1>{});
            }
            break;
        case 3:
            noise_rows_c<3, false>(img, levels, strength, state0, y0, y1,
                                   std::integer_sequence<int, 0, 1, 2>{});
            break;
        case 4:
            if (keep_last) {
                noise_rows_c<4, true>(img, levels, strength, state0, y0, y1,
                                      std::integer_sequence<int, 0, 1, 2, 3>{});
            } else {
                noise_rows_c<4, false>(img, levels, strength, state0, y0, y1,
                                       std::integer_sequence<int, 0, 1, 2, 3>{});
            }
            break;
        default: break;
    }
}

#endif

#endif
