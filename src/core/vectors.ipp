// Vector primitives of the engines, in portable vector code compiled once
// per target (see targets.hpp): native_lanes floats or 32-bit integers per
// vector, loads, splats, lane masks and reductions across lanes.

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
