// Colour matching: the palette in each distance's coordinates.
#include "colour.hpp"

#include <cmath>

#include "search/plan.hpp"

namespace tonalis {

ColourMatch ColourMatch::make(const Palette& palette, const Space& space, Distance distance) {
    ColourMatch match;
    match.distance_ = distance;
    match.linear_ = space.linear;
    for (std::size_t i = 0; i < match.to_linear_.size(); ++i) {
        match.to_linear_[i] = space.linear ? space.to_work[i] / 255.0f
                                           : code_linear_light(static_cast<std::uint8_t>(i));
    }
    for (std::size_t i = 0; i + 1 < match.to_linear_.size(); ++i) {
        match.rise_[i] = match.to_linear_[i + 1] - match.to_linear_[i];
    }
    const std::size_t n = palette.colors.size();
    match.count_ = n;
    match.padded_ = (n + 3) / 4 * 4;
    match.planes_.assign(3 * match.padded_, std::nanf(""));
    for (std::size_t j = 0; j < n; ++j) {
        const Color& c = palette.colors[j];
        const Quad at = match.coordinates(Quad{c[0], c[1], c[2], 0.0f});
        for (std::size_t k = 0; k < 3; ++k) {
            match.planes_[k * match.padded_ + j] = at[k];
        }
    }
    const search::Plan plan = search::choose(search::Engine::refined, n, 3, 0);
    if (plan.form != search::Form::quad_scan) {
        std::vector<Color> coordinates(n);
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < 3; ++k) {
                coordinates[j][k] = match.planes_[k * match.padded_ + j];
            }
        }
        match.layout_ = PaletteLayout::make(coordinates);
        match.search_ = nearest_color_function(plan.form);
    }
    return match;
}

}  // namespace tonalis
