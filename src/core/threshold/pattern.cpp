// Pattern dither for any palette.
//
// The candidate list of a colour is the costly part (one nearest-colour
// search per candidate), and it depends on the colour alone, so lists are
// kept in a direct-mapped cache keyed by the pixel's three bytes: real
// images repeat colours, flat areas almost always hit.
#include "threshold/pattern.hpp"

#include <cstring>

#include "checked_size.hpp"

namespace tonalis {

namespace {

constexpr std::size_t cache_bits = 14;
constexpr std::size_t cache_entries = std::size_t{1} << cache_bits;
constexpr std::uint32_t empty_key = 0xffffffffu;

std::size_t slot_of(std::uint32_t key) noexcept {
    // Fibonacci hashing spreads neighbouring colours over the table.
    return static_cast<std::size_t>((key * 2654435769u) >> (32 - cache_bits));
}

// Luminance of a palette colour's bytes, for ordering candidates; integer
// weights, so equal colours order by index alone.
std::uint32_t luminance_of(const Rgb& c) noexcept {
    return 299u * c[0] + 587u * c[1] + 114u * c[2];
}

}  // namespace

std::size_t pattern_cache_entries() noexcept {
    return cache_entries;
}

std::size_t pattern_scratch_bytes(std::size_t candidates) noexcept {
    return checked_mul(cache_entries, checked_add(sizeof(std::uint32_t),
                                                  checked_mul(candidates, sizeof(std::uint16_t))));
}

void pattern_dither(Img& img, const Palette& palette, const ColourMatch& match, const Space& space,
                    float strength, const ThresholdMatrix& matrix, std::size_t candidates,
                    std::uint8_t* scratch) noexcept {
    if (img.channels < 3 || matrix.width == 0 || matrix.height == 0 || candidates == 0 ||
        candidates > max_pattern_candidates) {
        return;
    }
    auto* keys = reinterpret_cast<std::uint32_t*>(scratch);
    auto* lists = reinterpret_cast<std::uint16_t*>(scratch + cache_entries * sizeof(std::uint32_t));
    for (std::size_t i = 0; i < cache_entries; ++i) {
        keys[i] = empty_key;
    }
    const float* to_work = space.to_work.data();
    const std::size_t channels = img.channels;
    const float n = static_cast<float>(candidates);
    std::uint8_t* px = img.data.data();
    for (std::size_t y = 0; y < img.height; ++y) {
        const float* row = matrix.values.data() + (y % matrix.height) * matrix.width;
        for (std::size_t x = 0; x < img.width; ++x, px += channels) {
            const std::uint32_t key =
                (std::uint32_t{px[0]} << 16) | (std::uint32_t{px[1]} << 8) | std::uint32_t{px[2]};
            const std::size_t slot = slot_of(key);
            std::uint16_t* list = lists + slot * candidates;
            if (keys[slot] != key) {
                const Quad goal = {to_work[px[0]], to_work[px[1]], to_work[px[2]], 0.0f};
                Quad error{};
                for (std::size_t k = 0; k < candidates; ++k) {
                    const Quad attempt = goal + error * strength;
                    const std::size_t chosen = match.nearest(match.coordinates(attempt));
                    Quad colour;
                    std::memcpy(&colour, palette.layout.quads.data() + chosen * 4, sizeof colour);
                    error += goal - colour;
                    // Insertion by (luminance, index): lists are short.
                    const std::uint32_t lum = luminance_of(palette.rgb[chosen]);
                    std::size_t at = k;
                    while (at > 0) {
                        const std::uint16_t prev = list[at - 1];
                        const std::uint32_t prev_lum = luminance_of(palette.rgb[prev]);
                        if (prev_lum < lum || (prev_lum == lum && prev <= chosen)) {
                            break;
                        }
                        list[at] = prev;
                        --at;
                    }
                    list[at] = static_cast<std::uint16_t>(chosen);
                }
                keys[slot] = key;
            }
            float t = row[x % matrix.width] * n;
            std::size_t pick = t > 0.0f ? static_cast<std::size_t>(t) : 0;
            pick = pick < candidates ? pick : candidates - 1;
            const Rgb& out = palette.rgb[list[pick]];
            px[0] = out[0];
            px[1] = out[1];
            px[2] = out[2];
        }
    }
}

}  // namespace tonalis
