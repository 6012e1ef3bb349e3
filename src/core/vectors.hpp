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
#include <cstddef>
#include <cstdint>

#include "quad_lanes.hpp"
#include "targets.hpp"
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
    vf v;
    for (std::size_t l = 0; l < native_lanes; ++l) v[l] = x;
    return v;
}

[[gnu::always_inline]] inline vi splat_vi(std::int32_t x) noexcept {
    vi v;
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

#endif
