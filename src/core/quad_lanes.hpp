// Loads, stores, splats, lane selection and lane masks for four-lane float vectors.
#pragma once

#include "colour.hpp"

namespace tonalis {

[[gnu::always_inline]] inline Quad splat_quad(float x) noexcept {
    return Quad{x, x, x, x};
}

[[gnu::always_inline]] inline Quad load_quad(const float* p) noexcept {
    Quad v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store_quad(float* p, Quad v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

// Lane by lane: `yes` where mask is all ones, `no` where it is zero.
[[gnu::always_inline]] inline Quad pick_quad(QuadI mask, Quad yes, Quad no) noexcept {
    const QuadI y = reinterpret_cast<QuadI>(yes);
    const QuadI n = reinterpret_cast<QuadI>(no);
    return reinterpret_cast<Quad>((y & mask) | (n & ~mask));
}

// Lane l of a comparison result as bit l.
[[gnu::always_inline]] inline unsigned quad_bits(QuadI mask) noexcept {
#if defined(__x86_64__)
    return static_cast<unsigned>(__builtin_ia32_movmskps(reinterpret_cast<Quad>(mask)));
#else
    unsigned bits = 0;
    for (int l = 0; l < 4; ++l) {
        bits |= (mask[l] < 0 ? 1u : 0u) << l;
    }
    return bits;
#endif
}

}  // namespace tonalis
