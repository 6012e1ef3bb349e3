// The sRGB transfer functions, the working-value table and evenly spaced levels.
#include "space.hpp"

#include <algorithm>
#include <cmath>

#include "space_tables.hpp"

namespace tonalis {

float code_linear_light(std::uint8_t code) noexcept {
    return space_tables::linear_light[code];
}

std::uint8_t encoded_code(float work) noexcept {
    const float* first = std::begin(space_tables::encode_from);
    const float* found = std::upper_bound(first, std::end(space_tables::encode_from), work);
    return static_cast<std::uint8_t>(found - first);
}

Space Space::make(bool linear) noexcept {
    Space space;
    space.linear = linear;
    for (std::size_t i = 0; i < space.to_work.size(); ++i) {
        const float code = static_cast<float>(i);
        space.to_work[i] = linear ? code_linear_light(static_cast<std::uint8_t>(i)) * 255.0f : code;
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
        levels.codes[i] = space.linear
                              ? encoded_code(g)
                              : static_cast<std::uint8_t>(std::clamp(std::roundf(g), 0.0f, 255.0f));
        levels.values[i] = space.to_work[levels.codes[i]];
    }
    return levels;
}

}  // namespace tonalis
