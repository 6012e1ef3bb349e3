// The sRGB transfer functions, the working-value table and evenly spaced levels.
#include "space.hpp"

#include <algorithm>
#include <cmath>
#include <math.h>  // ::powf: libstdc++ lacks std::powf

namespace tonalis {

float srgb_to_linear(float x) noexcept {
    // The linear segment is a true division: a reciprocal multiply differs
    // in the last bit for some codes.
    if (x > 0.04045f) {
        return ::powf((x + 0.055f) / 1.055f, 2.4f);
    }
    return x / 12.92f;
}

float linear_to_srgb(float x) noexcept {
    if (x <= 0.0031308f) {
        return 12.92f * x;
    }
    // 0.41666666f is the float nearest to 1/2.4.
    return 1.055f * ::powf(x, 0.41666666f) - 0.055f;
}

Space Space::make(bool linear) noexcept {
    Space space;
    space.linear = linear;
    for (std::size_t i = 0; i < space.to_work.size(); ++i) {
        const float code = static_cast<float>(i);
        space.to_work[i] = linear ? srgb_to_linear(code / 255.0f) * 255.0f : code;
    }
    return space;
}

Levels Levels::make(std::uint32_t n, const Space& space) noexcept {
    // Out-of-range counts would overrun the fixed tables; callers validate,
    // so clamping only keeps a bug from corrupting memory.
    n = std::clamp<std::uint32_t>(n, 2, 256);

    Levels levels;
    levels.count = n;
    levels.step = 255.0f / static_cast<float>(n - 1);
    levels.inv_step = 1.0f / levels.step;
    levels.max_index = static_cast<float>(n - 1);

    for (std::uint32_t i = 0; i < n; ++i) {
        // The top level may land a rounding step above 255.
        const float g = std::min(static_cast<float>(i) * levels.step, 255.0f);
        float c;
        if (space.linear) {
            const float e = linear_to_srgb(g / 255.0f);
            c = std::roundf(e * 255.0f);
        } else {
            c = std::roundf(g);
        }
        c = std::clamp(c, 0.0f, 255.0f);
        levels.codes[i] = static_cast<std::uint8_t>(c);
        levels.values[i] = space.to_work[levels.codes[i]];
    }
    return levels;
}

}  // namespace tonalis
