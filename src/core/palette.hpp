// Caller-supplied colour palettes and their layout for the nearest-colour searches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search/plan.hpp"
#include "space.hpp"

namespace tonalis {

using Rgb = std::array<std::uint8_t, 3>;
using Color = std::array<float, 3>;

inline constexpr std::size_t min_palette_colors = 2;
inline constexpr std::size_t max_palette_colors = 4096;

// The working colours again, laid out for the vector searches of the
// engines. Every search built on it returns the nearest colour: the one at
// the smallest squared distance (dr² + dg²) + db², each step rounded to
// single precision, and of equally near colours the one listed first.
struct PaletteLayout {
    static constexpr std::size_t lanes = 16;

    std::size_t count = 0;   // N
    std::size_t padded = 0;  // N rounded up to a multiple of lanes
    // All channel-0 values in the caller's order, then channel 1, then
    // channel 2; padding lanes hold NaN, which is never nearer.
    std::vector<float> planes;
    // r, g, b, 0 of every colour, for four-wide error arithmetic.
    std::vector<float> quads;

    // Blocked form (only when search::has_blocked_form(count), for a search
    // that skips blocks which cannot hold a nearer colour; which search
    // pays depends on the engine, search/plan.hpp): the colours split into
    // blocks of up to `lanes` neighbouring colours, each block holding its
    // members in the caller's order so that the lowest lane of a tie is the
    // lowest index.
    std::size_t blocks = 0;
    std::size_t blocks_padded = 0;            // blocks rounded up to a multiple of lanes
    std::size_t groups = 0;                   // runs of `lanes` consecutive blocks
    std::vector<float> block_planes;          // per block: 16 r, 16 g, 16 b
    std::vector<std::int32_t> block_members;  // per block: 16 caller indices
    // Bounding boxes as six planes (low r, g, b, then high r, g, b) of
    // blocks_padded entries, and of `lanes` entries for the groups. Unused
    // entries span nothing (low +inf, high -inf), so nothing is near them.
    std::vector<float> block_bounds;
    std::vector<float> group_bounds;

    // Neighbour lists (only after add_neighbours, which the plan of error
    // diffusion calls for on large palettes, search/plan.hpp):
    // for every colour, the `near_count` colours nearest to it (itself
    // first), in chunks of `lanes`, ordered by Euclidean distance from it
    // and then by index. Error diffusion starts its search at the previous
    // pixel's colour, which usually lies near the next one's.
    static constexpr std::size_t near_cap = 32;
    std::size_t near_count = 0;              // min(N, near_cap)
    std::size_t near_chunks = 0;             // near_count rounded up, in chunks
    std::vector<float> near_planes;          // per colour and chunk: 16 r, 16 g, 16 b
    std::vector<std::int32_t> near_members;  // per colour and chunk: 16 caller indices
    // Per colour and chunk: at most the distance from the colour to any
    // colour after the chunk, its own list's later chunks and the colours
    // left out alike; +inf when nothing follows.
    std::vector<float> near_limits;

    // Builds the neighbour lists of a palette with the blocked form (only
    // error diffusion's plan asks for them; the lists take a few percent of
    // a large call to build). Without memory for them nothing is built, and
    // the searches return the same colours without them.
    void add_neighbours(const std::vector<Color>& colors) noexcept;

    // May throw std::bad_alloc.
    static PaletteLayout make(const std::vector<Color>& colors);
};

// N colours in the caller's order (repeats kept). `colors` holds their
// working values in the call's space, `rgb` the bytes written out, `spread`
// per channel the mean gap between the distinct working values in use: the
// amplitude the threshold engines shift a pixel by.
struct Palette {
    std::vector<Color> colors;
    std::vector<Rgb> rgb;
    Color spread{};
    PaletteLayout layout;

    // May throw std::bad_alloc.
    static Palette make(std::vector<Rgb> triples, const Space& space);
};

// The nearest colour of a layout to the point (p0, p1, p2) by the rule
// above, for callers outside the diffusion engines: by the vector scan
// (search::Form::scan) or the blocked search (search::Form::blocked, which
// scans a layout without the blocked form), as the caller's plan says, each
// compiled for every target. nearest_color_function gives the variant for
// the widest target in use.
using NearestColorFn = std::size_t (*)(const PaletteLayout& layout, float p0, float p1,
                                       float p2) noexcept;
NearestColorFn nearest_color_function(search::Form form) noexcept;

// A hex colour "#rgb", "#rrggbb", "rgb" or "rrggbb" (any case); nothing
// when the text is malformed.
std::optional<Rgb> parse_hex_color(std::u32string_view text) noexcept;

}  // namespace tonalis
