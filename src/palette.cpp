// Palette construction, hex colour parsing and the nearest-colour search.
#include "palette.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace tonalis {

Palette Palette::make(std::vector<Rgb> triples, const Space& space) {
    Palette palette;
    palette.colors.reserve(triples.size());
    for (const Rgb& t : triples) {
        palette.colors.push_back({space.to_work[t[0]], space.to_work[t[1]], space.to_work[t[2]]});
    }
    palette.rgb = std::move(triples);

    std::vector<float> channel;
    channel.reserve(palette.colors.size());
    for (std::size_t c = 0; c < 3; ++c) {
        channel.clear();
        for (const Color& color : palette.colors) {
            channel.push_back(color[c]);
        }
        std::sort(channel.begin(), channel.end());
        channel.erase(std::unique(channel.begin(), channel.end()), channel.end());
        const std::size_t distinct = channel.size();
        palette.spread[c] = distinct >= 2
            ? (channel.back() - channel.front()) / static_cast<float>(distinct - 1)
            : 0.0f;
    }
    return palette;
}

namespace {

int hex_digit(char32_t ch) noexcept {
    if (ch >= U'0' && ch <= U'9') return static_cast<int>(ch - U'0');
    if (ch >= U'a' && ch <= U'f') return static_cast<int>(ch - U'a') + 10;
    if (ch >= U'A' && ch <= U'F') return static_cast<int>(ch - U'A') + 10;
    return -1;
}

}  // namespace

std::optional<Rgb> parse_hex_color(std::u32string_view text) noexcept {
    if (!text.empty() && text.front() == U'#') {
        text.remove_prefix(1);
    }
    if (text.size() != 3 && text.size() != 6) {
        return std::nullopt;
    }
    int digits[6] = {};
    for (std::size_t i = 0; i < text.size(); ++i) {
        digits[i] = hex_digit(text[i]);
        if (digits[i] < 0) {
            return std::nullopt;
        }
    }
    Rgb rgb{};
    for (std::size_t c = 0; c < 3; ++c) {
        const int value = text.size() == 3 ? digits[c] * 17 : digits[2 * c] * 16 + digits[2 * c + 1];
        rgb[c] = static_cast<std::uint8_t>(value);
    }
    return rgb;
}

std::size_t nearest_color(const Palette& palette, const Color& p) noexcept {
    float best = std::numeric_limits<float>::infinity();
    std::size_t best_index = 0;
    const std::size_t n = palette.colors.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Color& c = palette.colors[i];
        const float dr = p[0] - c[0];
        const float dg = p[1] - c[1];
        const float db = p[2] - c[2];
        const float d = (dr * dr + dg * dg) + db * db;
        // Strict: of equally near colours the first listed wins.
        if (d < best) {
            best = d;
            best_index = i;
        }
    }
    return best_index;
}

}  // namespace tonalis
