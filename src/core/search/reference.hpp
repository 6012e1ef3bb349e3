// The nearest-colour rule, stated once as a plain scan.
//
// The nearest colour to a point p is the first colour, in the caller's
// order, at the smallest distance (dr² + dg²) + db², where dr = p0 - r and
// so on, each step rounded to single precision (no fused multiply-adds).
// Ties go to the lowest index; a colour whose distance is NaN is never
// nearer; when no distance is a number the answer is colour 0. Every search
// form of the engines (search/plan.hpp) returns what this scan returns, and
// the core test search_plans checks each of them against it.
#pragma once

#include <array>
#include <cstddef>

namespace tonalis::search {

inline std::size_t reference_nearest(const std::array<float, 3>* colors, std::size_t count,
                                     float p0, float p1, float p2) noexcept {
    std::size_t nearest = 0;
    float best = __builtin_inff();
    for (std::size_t j = 0; j < count; ++j) {
        const float dr = p0 - colors[j][0];
        const float dg = p1 - colors[j][1];
        const float db = p2 - colors[j][2];
        const float d = (dr * dr + dg * dg) + db * db;
        if (d < best) {
            best = d;
            nearest = j;
        }
    }
    return nearest;
}

}  // namespace tonalis::search
