// Vector primitives of the engines, in portable vector code compiled once
// per target (see targets.hpp): native_lanes floats or 32-bit integers per
// vector, loads, splats, lane masks and reductions across lanes. The one
// place, with targets.hpp, for instruction-set intrinsics and target tests.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines the
// primitives for that target, once however many of the body's files
// include it.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "quad_lanes.hpp"
#include "targets.hpp"

// Whether the target has byte shuffles (AVX2 and AVX-512): the passes that
// look codes up by byte index are compiled only where it has.
#define TONALIS_BYTE_SHUFFLES (TONALIS_TARGET >= 1)
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_VECTORS_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_VECTORS_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_VECTORS_2))
#if TONALIS_TARGET == 0
#define TONALIS_VECTORS_0
#elif TONALIS_TARGET == 1
#define TONALIS_VECTORS_1
#else
#define TONALIS_VECTORS_2
#endif

// Native vectors of the target: wider generic vectors would be split into
// single lanes by the compiler.
#if TONALIS_TARGET == 2
constexpr std::size_t native_lanes = 16;
#elif TONALIS_TARGET == 1
constexpr std::size_t native_lanes = 8;
#else
constexpr std::size_t native_lanes = 4;
#endif
typedef float vf __attribute__((vector_size(4 * native_lanes)));
typedef std::int32_t vi __attribute__((vector_size(4 * native_lanes)));

[[gnu::always_inline]] inline vf load_vf(const float* p) noexcept {
    vf v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline vf splat_vf(float x) noexcept {
    vf v = {};
    for (std::size_t l = 0; l < native_lanes; ++l) v[l] = x;
    return v;
}

[[gnu::always_inline]] inline vi splat_vi(std::int32_t x) noexcept {
    vi v = {};
    for (std::size_t l = 0; l < native_lanes; ++l) v[l] = x;
    return v;
}

// Lane l of a comparison result as bit l.
[[gnu::always_inline]] inline unsigned lane_bits(vi m) noexcept {
#if TONALIS_TARGET == 2
    return _mm512_movepi32_mask(reinterpret_cast<__m512i>(m));
#elif TONALIS_TARGET == 1
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
#elif TONALIS_X86_64
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
    unsigned bits = 0;
    for (std::size_t l = 0; l < native_lanes; ++l) {
        bits |= (m[l] < 0 ? 1u : 0u) << l;
    }
    return bits;
#endif
}

[[gnu::always_inline]] inline vf min_vf(vf a, vf b) noexcept {
    return a < b ? a : b;
}
[[gnu::always_inline]] inline vi min_vi(vi a, vi b) noexcept {
    return a < b ? a : b;
}
[[gnu::always_inline]] inline vf max_vf(vf a, vf b) noexcept {
    return a > b ? a : b;
}

// x = OP(x, x with its lanes permuted) until every lane has met every
// other: with min, every lane receives the smallest; with max, the largest.
#if TONALIS_TARGET == 2
#define TONALIS_ACROSS_LANES(OP, x)                                                              \
    x = OP(x,                                                                                    \
           __builtin_shufflevector(x, x, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7)); \
    x = OP(x,                                                                                    \
           __builtin_shufflevector(x, x, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11)); \
    x = OP(x,                                                                                    \
           __builtin_shufflevector(x, x, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13)); \
    x = OP(x, __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
#elif TONALIS_TARGET == 1
#define TONALIS_ACROSS_LANES(OP, x)                                   \
    x = OP(x, __builtin_shufflevector(x, x, 4, 5, 6, 7, 0, 1, 2, 3)); \
    x = OP(x, __builtin_shufflevector(x, x, 2, 3, 0, 1, 6, 7, 4, 5)); \
    x = OP(x, __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6));
#else
#define TONALIS_ACROSS_LANES(OP, x)                       \
    x = OP(x, __builtin_shufflevector(x, x, 2, 3, 0, 1)); \
    x = OP(x, __builtin_shufflevector(x, x, 1, 0, 3, 2));
#endif

// Every lane receives the smallest lane (no NaN may be present).
[[gnu::always_inline]] inline vf all_min(vf x) noexcept {
    TONALIS_ACROSS_LANES(min_vf, x)
    return x;
}

[[gnu::always_inline]] inline vi all_min(vi x) noexcept {
    TONALIS_ACROSS_LANES(min_vi, x)
    return x;
}

// Every lane receives the largest lane (no NaN may be present).
[[gnu::always_inline]] inline vf all_max(vf x) noexcept {
    TONALIS_ACROSS_LANES(max_vf, x)
    return x;
}
#undef TONALIS_ACROSS_LANES

// Eight-lane vectors on every target (the blocks of the cell lists), and
// lane l of an eight-lane comparison result as bit l.
typedef float vf8 __attribute__((vector_size(32)));
typedef std::int32_t vi8 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline unsigned lane_bits8(vi8 m) noexcept {
#if TONALIS_TARGET >= 1
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
#else
    const vi low = __builtin_shufflevector(m, m, 0, 1, 2, 3);
    const vi high = __builtin_shufflevector(m, m, 4, 5, 6, 7);
    return lane_bits(low) | lane_bits(high) << 4;
#endif
}

// Appends first + l for every lane l set in mask to out from out[count],
// in rising order; gives the new count. With AVX-512 it stores a whole
// vector, so out needs native_lanes entries of room past the count.
[[gnu::always_inline]] inline std::size_t append_lane_numbers(std::int32_t* out, std::size_t count,
                                                              unsigned mask,
                                                              std::size_t first) noexcept {
#if TONALIS_TARGET == 2
    vi ids;
    for (std::size_t l = 0; l < native_lanes; ++l) ids[l] = static_cast<std::int32_t>(first + l);
    const __m512i packed =
        _mm512_maskz_compress_epi32(static_cast<__mmask16>(mask), reinterpret_cast<__m512i>(ids));
    __builtin_memcpy(out + count, &packed, sizeof packed);
    return count + static_cast<std::size_t>(__builtin_popcount(mask));
#else
    std::int32_t ids[native_lanes];
    for (std::size_t l = 0; l < native_lanes; ++l) ids[l] = static_cast<std::int32_t>(first + l);
    while (mask != 0) {
        out[count++] = ids[__builtin_ctz(mask)];
        mask &= mask - 1;
    }
    return count;
#endif
}

// Four lanes, lane by lane: `yes` where mask is all ones, `no` where it is
// zero (AVX2: one blend).
[[gnu::always_inline]] inline Quad pick_lanes(QuadI mask, Quad yes, Quad no) noexcept {
#if TONALIS_TARGET >= 1
    return __builtin_ia32_blendvps(no, yes, reinterpret_cast<Quad>(mask));
#else
    return pick_quad(mask, yes, no);
#endif
}

// Sixteen bytes on every target (a table of codes).
typedef std::uint8_t vb16 __attribute__((vector_size(16)));

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

// Four-word blocks of native_lanes places: lane l of out[k] holds word k
// of the block at pool[start[l]]. One load per block instead of one gather
// per word: with wide vectors, 128-bit part j of in[i] is the block of lane
// 4j + i, and a transposition of each part turns blocks into words.
constexpr std::size_t word_block = 4;

[[gnu::always_inline]] inline void load_word_blocks(const std::uint32_t* pool, vi start,
                                                    vi out[word_block]) noexcept {
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
    vi in[word_block];
    for (std::size_t i = 0; i < word_block; ++i) {
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
    std::int32_t members[word_block][native_lanes];
    for (std::size_t l = 0; l < native_lanes; ++l) {
        for (std::size_t k = 0; k < word_block; ++k) {
            members[k][l] = static_cast<std::int32_t>(pool[from[l] + static_cast<std::int32_t>(k)]);
        }
    }
    for (std::size_t k = 0; k < word_block; ++k) {
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

// One byte per lane: native_lanes bytes as a vector.
typedef std::uint8_t vb_lanes __attribute__((vector_size(native_lanes)));

#if TONALIS_BYTE_SHUFFLES

// Vectors of bytes as wide as the target's.
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

// Bytes of `table` chosen by lanes holding 0..15, one byte per lane.
[[gnu::always_inline]] inline vb_lanes lookup16_lanes(vb16 table, vi index) noexcept {
    const __m128i chosen = _mm_shuffle_epi8(reinterpret_cast<__m128i>(table), narrow_lanes(index));
    vb_lanes out;
    __builtin_memcpy(&out, &chosen, sizeof out);
    return out;
}
#endif

#endif
