// Colour matching under three distances: squared RGB, luminance-weighted linear RGB, and Oklab.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "palette.hpp"
#include "space.hpp"

namespace tonalis {

typedef float Quad __attribute__((vector_size(16)));
typedef std::int32_t QuadI __attribute__((vector_size(16)));

// How the nearest palette colour is chosen. Every distance is a squared
// Euclidean distance between coordinates of the colours, so one search
// serves all three:
//
// - rgb: the working values themselves (the rule of the plain engines);
// - luma: linear light in [0, 1], each channel scaled by the square root
//   of its luminance weight (0.2126, 0.7152, 0.0722);
// - oklab: the Oklab coordinates of linear light in [0, 1].
//
// For luma and oklab a working value is first clamped to [0, 255]: error
// diffusion may push it outside, and light outside the gamut has no
// colour. Only the choice sees the clamp; the error passed on is the
// unclamped working value minus the chosen colour.
enum class Distance : std::uint8_t { rgb = 0, luma = 1, oklab = 2 };
inline constexpr int distance_count = 3;

// The cube root of x > 0 to a relative error of about 1e-4: an exponent
// estimate refined by one Halley step, every operation in single
// precision. x at or below 2^-30 counts as 2^-30.
[[gnu::always_inline]] inline Quad cube_root(Quad x) noexcept {
    const Quad tiny = Quad{} + 0x1p-30f;
    x = x > tiny ? x : tiny;
    QuadI bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    bits = bits / 3 + 709921077;
    Quad y;
    __builtin_memcpy(&y, &bits, sizeof y);
    const Quad y3 = (y * y) * y;
    return y * (y3 + (x + x)) / ((y3 + y3) + x);
}

template <class V>
[[gnu::always_inline]] inline V swap_pairs(V v) noexcept {
    return __builtin_shufflevector(v, v, 1, 0, 3, 2);
}
template <class V>
[[gnu::always_inline]] inline V swap_halves(V v) noexcept {
    return __builtin_shufflevector(v, v, 2, 3, 0, 1);
}

// The palette in the coordinates of a distance, and what a working value
// needs to reach them.
class ColourMatch {
public:
    // May throw std::bad_alloc.
    static ColourMatch make(const Palette& palette, const Space& space, Distance distance);

    Distance distance() const noexcept { return distance_; }

    // The coordinates of a working colour (lanes 0 to 2; lane 3 is ignored).
    [[gnu::always_inline]] Quad coordinates(Quad v) const noexcept {
        if (distance_ == Distance::rgb) {
            return v;
        }
        const Quad lin = linear_light(v);
        if (distance_ == Distance::luma) {
            return lin * luma_scale;
        }
        return oklab(lin);
    }

    // coordinates() of four colours, one per lane: channel k of each in
    // ck, replaced by its coordinate k. The same arithmetic, lane by lane.
    [[gnu::always_inline]] void coordinates_four(Quad& c0, Quad& c1, Quad& c2) const noexcept {
        if (distance_ == Distance::rgb) {
            return;
        }
        c0 = linear_light(c0);
        c1 = linear_light(c1);
        c2 = linear_light(c2);
        if (distance_ == Distance::luma) {
            c0 = c0 * luma_scale[0];
            c1 = c1 * luma_scale[1];
            c2 = c2 * luma_scale[2];
            return;
        }
        const Quad l = cube_root((c0 * to_lms_r[0] + c1 * to_lms_g[0]) + c2 * to_lms_b[0]);
        const Quad m = cube_root((c0 * to_lms_r[1] + c1 * to_lms_g[1]) + c2 * to_lms_b[1]);
        const Quad s = cube_root((c0 * to_lms_r[2] + c1 * to_lms_g[2]) + c2 * to_lms_b[2]);
        c0 = (l * to_lab_l[0] + m * to_lab_m[0]) + s * to_lab_s[0];
        c1 = (l * to_lab_l[1] + m * to_lab_m[1]) + s * to_lab_s[1];
        c2 = (l * to_lab_l[2] + m * to_lab_m[2]) + s * to_lab_s[2];
    }

    // nearest() of four coordinates, one per lane, as in coordinates_four.
    [[gnu::always_inline]] QuadI nearest_four(Quad c0, Quad c1, Quad c2) const noexcept {
        if (search_ != nullptr) {
            QuadI at;
            for (int l = 0; l < 4; ++l) {
                at[l] = static_cast<std::int32_t>(search_(layout_, c0[l], c1[l], c2[l]));
            }
            return at;
        }
        const float* p0 = planes_.data();
        const float* p1 = p0 + padded_;
        const float* p2 = p1 + padded_;
        Quad best = Quad{} + __builtin_inff();
        QuadI best_at = QuadI{};
        for (std::size_t j = 0; j < count_; ++j) {
            const Quad a = c0 - p0[j];
            const Quad b = c1 - p1[j];
            const Quad d = c2 - p2[j];
            const Quad dist = (a * a + b * b) + d * d;
            const QuadI nearer = dist < best;
            best = nearer ? dist : best;
            best_at = nearer ? QuadI{} + static_cast<std::int32_t>(j) : best_at;
        }
        return best_at;
    }

    // Index of the colour whose coordinates are nearest to c: the smallest
    // (d0² + d1²) + d2², the first listed of equally near ones.
    [[gnu::always_inline]] std::size_t nearest(Quad c) const noexcept {
        if (search_ != nullptr) {
            return search_(layout_, c[0], c[1], c[2]);
        }
        const float* p0 = planes_.data();
        const float* p1 = p0 + padded_;
        const float* p2 = p1 + padded_;
        const Quad c0 = Quad{} + c[0];
        const Quad c1 = Quad{} + c[1];
        const Quad c2 = Quad{} + c[2];
        Quad best = Quad{} + __builtin_inff();
        QuadI best_at = QuadI{};
        QuadI at = QuadI{0, 1, 2, 3};
        for (std::size_t i = 0; i < padded_; i += 4) {
            Quad a, b, d;
            __builtin_memcpy(&a, p0 + i, sizeof a);
            __builtin_memcpy(&b, p1 + i, sizeof b);
            __builtin_memcpy(&d, p2 + i, sizeof d);
            a = c0 - a;
            b = c1 - b;
            d = c2 - d;
            const Quad dist = (a * a + b * b) + d * d;
            const QuadI nearer = dist < best;
            best = nearer ? dist : best;
            best_at = nearer ? at : best_at;
            at += 4;
        }
        // Lanes hold the first of their nearest; of the lanes, the smallest
        // distance and then the lowest index, without a branch (a dither
        // makes any branch on the winner unpredictable).
        Quad least = best < swap_pairs(best) ? best : swap_pairs(best);
        least = least < swap_halves(least) ? least : swap_halves(least);
        QuadI index = best == least ? best_at : QuadI{} + 0x7fffffff;
        index = index < swap_pairs(index) ? index : swap_pairs(index);
        index = index < swap_halves(index) ? index : swap_halves(index);
        return static_cast<std::size_t>(index[0]);
    }

    // Linear light in [0, 1] of working values clamped to [0, 255], lane
    // by lane: from linear working values by a division, from sRGB codes by
    // the straight line between the two neighbouring codes' linear values,
    // so that whole codes give exactly their table value.
    [[gnu::always_inline]] Quad linear_light(Quad v) const noexcept {
        const Quad zero{};
        const Quad top = zero + 255.0f;
        v = v > zero ? v : zero;
        v = v < top ? v : top;
        if (linear_) {
            return v / top;
        }
        QuadI i = __builtin_convertvector(v, QuadI);
        i = i < 254 ? i : QuadI{} + 254;
        const Quad f = v - __builtin_convertvector(i, Quad);
        const auto at = [&](int l) { return static_cast<std::size_t>(i[l]); };
        const Quad lo = {to_linear_[at(0)], to_linear_[at(1)], to_linear_[at(2)],
                         to_linear_[at(3)]};
        const Quad rise = {rise_[at(0)], rise_[at(1)], rise_[at(2)], rise_[at(3)]};
        return lo + f * rise;
    }

    // Oklab coordinates of linear light: to cone responses, their cube
    // roots, then to L, a, b; each coordinate summed left to right.
    [[gnu::always_inline]] static Quad oklab(Quad lin) noexcept {
        const Quad r = Quad{} + lin[0];
        const Quad g = Quad{} + lin[1];
        const Quad b = Quad{} + lin[2];
        const Quad lms = cube_root((to_lms_r * r + to_lms_g * g) + to_lms_b * b);
        const Quad l = Quad{} + lms[0];
        const Quad m = Quad{} + lms[1];
        const Quad s = Quad{} + lms[2];
        return (to_lab_l * l + to_lab_m * m) + to_lab_s * s;
    }

private:
    static constexpr Quad to_lms_r = {0.4122214708f, 0.2119034982f, 0.0883024619f, 0.0f};
    static constexpr Quad to_lms_g = {0.5363325363f, 0.6806995451f, 0.2817188376f, 0.0f};
    static constexpr Quad to_lms_b = {0.0514459929f, 0.1073969566f, 0.6299787005f, 0.0f};
    static constexpr Quad to_lab_l = {0.2104542553f, 1.9779984951f, 0.0259040371f, 0.0f};
    static constexpr Quad to_lab_m = {0.7936177850f, -2.4285922050f, 0.7827717662f, 0.0f};
    static constexpr Quad to_lab_s = {-0.0040720468f, 0.4505937099f, -0.8086757660f, 0.0f};
    static constexpr Quad luma_scale = {0.46108568f, 0.84569499f, 0.26870057f, 0.0f};

    Distance distance_ = Distance::rgb;
    bool linear_ = false;
    std::size_t count_ = 0;      // colours
    std::size_t padded_ = 0;     // colours rounded up to whole vectors
    std::vector<float> planes_;  // three planes of padded_ coordinates; padding is NaN
    // Palettes whose plan (search/plan.hpp) takes the layout searches: the
    // coordinates laid out for them, which are wider and skip what cannot
    // be nearer; search_ is the plan's search. Null for the scans above.
    PaletteLayout layout_;
    NearestColorFn search_ = nullptr;
    std::array<float, 256> to_linear_{};
    std::array<float, 256> rise_{};  // to_linear_[i + 1] - to_linear_[i]
};

}  // namespace tonalis
