// Colour matching: the palette in each distance's coordinates, and the Oklab conversion.
#include "colour.hpp"

#include <cmath>

namespace tonalis {

Quad ColourMatch::oklab(Quad lin) noexcept {
    // Linear sRGB to cone responses, their cube roots, then to L, a, b.
    // Each coordinate is summed left to right in single precision.
    const Quad r = Quad{} + lin[0];
    const Quad g = Quad{} + lin[1];
    const Quad b = Quad{} + lin[2];
    constexpr Quad to_lms_r = {0.4122214708f, 0.2119034982f, 0.0883024619f, 0.0f};
    constexpr Quad to_lms_g = {0.5363325363f, 0.6806995451f, 0.2817188376f, 0.0f};
    constexpr Quad to_lms_b = {0.0514459929f, 0.1073969566f, 0.6299787005f, 0.0f};
    const Quad lms = cube_root((to_lms_r * r + to_lms_g * g) + to_lms_b * b);
    const Quad l = Quad{} + lms[0];
    const Quad m = Quad{} + lms[1];
    const Quad s = Quad{} + lms[2];
    constexpr Quad to_lab_l = {0.2104542553f, 1.9779984951f, 0.0259040371f, 0.0f};
    constexpr Quad to_lab_m = {0.7936177850f, -2.4285922050f, 0.7827717662f, 0.0f};
    constexpr Quad to_lab_s = {-0.0040720468f, 0.4505937099f, -0.8086757660f, 0.0f};
    return (to_lab_l * l + to_lab_m * m) + to_lab_s * s;
}

ColourMatch ColourMatch::make(const Palette& palette, const Space& space, Distance distance) {
    ColourMatch match;
    match.distance_ = distance;
    match.linear_ = space.linear;
    for (std::size_t i = 0; i < match.to_linear_.size(); ++i) {
        match.to_linear_[i] =
            space.linear ? space.to_work[i] / 255.0f : srgb_to_linear(static_cast<float>(i) / 255.0f);
    }
    const std::size_t n = palette.colors.size();
    match.padded_ = (n + 3) / 4 * 4;
    match.planes_.assign(3 * match.padded_, std::nanf(""));
    for (std::size_t j = 0; j < n; ++j) {
        const Color& c = palette.colors[j];
        const Quad at = match.coordinates(Quad{c[0], c[1], c[2], 0.0f});
        for (std::size_t k = 0; k < 3; ++k) {
            match.planes_[k * match.padded_ + j] = at[k];
        }
    }
    return match;
}

}  // namespace tonalis
