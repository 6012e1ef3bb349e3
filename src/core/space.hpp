// Working values of 8-bit codes (raw or linear light) and evenly spaced output levels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tonalis {

// The sRGB curve, from tables (space_tables.hpp) rather than the maths
// library's powf, which is not the same on every platform: the linear light
// of an 8-bit code on a 0..1 scale, and the 8-bit code of a working value
// (0..255, linear light), its encoding rounded half away from zero.
float code_linear_light(std::uint8_t code) noexcept;
std::uint8_t encoded_code(float work) noexcept;

// The working value (0..255 scale) of every code: the code itself, or its
// linear light scaled to 0..255. Engines look samples up here instead of
// evaluating a transfer function per sample.
struct Space {
    std::array<float, 256> to_work{};
    bool linear = false;

    static Space make(bool linear) noexcept;
};

// n evenly spaced levels per channel, 2 <= n <= 256. In linear mode the
// levels are evenly spaced in linear light and `codes` holds their sRGB
// encodings, so neighbouring levels may share a code.
struct Levels {
    std::array<std::uint8_t, 256> codes{};  // first `count` entries used
    std::array<float, 256> values{};        // to_work[codes[i]]
    std::uint32_t count = 0;
    float step = 0.0f;       // 255 / (n - 1)
    float inv_step = 0.0f;   // 1 / step
    float max_index = 0.0f;  // n - 1

    // WARNING: n must lie in 2..256; callers validate it first.
    static Levels make(std::uint32_t n, const Space& space) noexcept;
};

// The level nearest to a working value v, from x = v * inv_step: x rounded
// half away from zero, clamped to [0, max_index]; NaN gives level 0. One
// rule for a float (I = int) and for vectors of floats (I the integer
// vector of the same lanes), with no call to roundf and no data-dependent
// branch: clamping before rounding gives the same index (rounding is
// monotonic and the bounds are whole; a NaN fails both comparisons and
// becomes 0), and on [0, 255] truncation leaves an exact fraction, so half
// away from zero is one more than the truncation from one half on.
// Arguments by reference: wide vectors are then never passed by value to a
// function compiled for a narrower instruction set.
template <class F, class I>
[[gnu::always_inline]] inline void level_index(const F& v, float max_index, I& out) noexcept {
    const F zero{};
    F x = v > 0.0f ? v : zero;
    x = x < max_index ? x : zero + max_index;
    if constexpr (std::is_same_v<F, float>) {
        const I i = static_cast<I>(x);
        out = i + (x - static_cast<float>(i) >= 0.5f ? 1 : 0);
    } else {
        const I i = __builtin_convertvector(x, I);
        out = i - (x - __builtin_convertvector(i, F) >= 0.5f);
    }
}

// Index of the level nearest to working value v.
inline std::size_t nearest_level(const Levels& levels, float v) noexcept {
    int i;
    level_index(v * levels.inv_step, levels.max_index, i);
    return static_cast<std::size_t>(i);
}

}  // namespace tonalis
