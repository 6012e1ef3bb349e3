// Working values of 8-bit codes (raw or linear light) and evenly spaced output levels.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tonalis {

// sRGB transfer functions on fractions in [0, 1], single precision.
float srgb_to_linear(float x) noexcept;
float linear_to_srgb(float x) noexcept;

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
    float step = 0.0f;      // 255 / (n - 1)
    float inv_step = 0.0f;  // 1 / step
    float max_index = 0.0f; // n - 1

    // WARNING: n must lie in 2..256; callers validate it first.
    static Levels make(std::uint32_t n, const Space& space) noexcept;
};

// Index of the level nearest to working value v: round half away from zero
// of v * inv_step, clamped to the levels; NaN gives level 0.
inline std::size_t nearest_level(const Levels& levels, float v) noexcept {
    float t = std::roundf(v * levels.inv_step);
    t = t < 0.0f ? 0.0f : t;
    t = t > levels.max_index ? levels.max_index : t;
    return t >= 0.0f ? static_cast<std::size_t>(t) : 0;
}

}  // namespace tonalis
