// Caller-supplied colour palettes and the nearest-colour search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "space.hpp"

namespace tonalis {

using Rgb = std::array<std::uint8_t, 3>;
using Color = std::array<float, 3>;

inline constexpr std::size_t min_palette_colors = 2;
inline constexpr std::size_t max_palette_colors = 4096;

// N colours in the caller's order (repeats kept). `colors` holds their
// working values in the call's space, `rgb` the bytes written out, `spread`
// per channel the mean gap between the distinct working values in use: the
// amplitude the threshold engines shift a pixel by.
struct Palette {
    std::vector<Color> colors;
    std::vector<Rgb> rgb;
    Color spread{};

    // May throw std::bad_alloc.
    static Palette make(std::vector<Rgb> triples, const Space& space);
};

// A hex colour "#rgb", "#rrggbb", "rgb" or "rrggbb" (any case); nothing
// when the text is malformed.
std::optional<Rgb> parse_hex_color(std::u32string_view text) noexcept;

// Index of the colour at the smallest squared distance (dr² + dg²) + db²;
// the colour listed first wins ties.
std::size_t nearest_color(const Palette& palette, const Color& p) noexcept;

}  // namespace tonalis
