// Palette construction, its layout for the vector searches, and hex colour parsing.
#include "palette.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace tonalis {

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_value = std::numeric_limits<float>::infinity();

// Splits order[first, last) into blocks of up to `lanes` colours, cutting
// each range across its widest channel, and appends the blocks in
// depth-first order, so consecutive blocks lie near each other.
void split_blocks(const std::vector<Color>& colors, std::vector<std::int32_t>& order,
                  std::size_t first, std::size_t last, std::vector<std::size_t>& block_starts) {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    const std::size_t count = last - first;
    if (count <= lanes) {
        block_starts.push_back(first);
        // Caller's order inside a block: the lowest lane of a tie is then
        // the lowest index.
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(first),
                  order.begin() + static_cast<std::ptrdiff_t>(last));
        return;
    }
    std::size_t axis = 0;
    float widest = -1.0f;
    for (std::size_t c = 0; c < 3; ++c) {
        float lo = inf_value;
        float hi = -inf_value;
        for (std::size_t i = first; i < last; ++i) {
            const float v = colors[static_cast<std::size_t>(order[i])][c];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if (hi - lo > widest) {
            widest = hi - lo;
            axis = c;
        }
    }
    const std::size_t leaves = (count + lanes - 1) / lanes;
    const std::size_t middle = first + (leaves / 2) * lanes;
    auto by_axis = [&](std::int32_t a, std::int32_t b) {
        const float va = colors[static_cast<std::size_t>(a)][axis];
        const float vb = colors[static_cast<std::size_t>(b)][axis];
        return va < vb || (va == vb && a < b);
    };
    std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(first),
                     order.begin() + static_cast<std::ptrdiff_t>(middle),
                     order.begin() + static_cast<std::ptrdiff_t>(last), by_axis);
    split_blocks(colors, order, first, middle, block_starts);
    split_blocks(colors, order, middle, last, block_starts);
}

void set_bounds(std::vector<float>& bounds, std::size_t stride, std::size_t entry,
                const float lo[3], const float hi[3]) {
    for (std::size_t c = 0; c < 3; ++c) {
        bounds[c * stride + entry] = lo[c];
        bounds[(3 + c) * stride + entry] = hi[c];
    }
}

}  // namespace

PaletteLayout PaletteLayout::make(const std::vector<Color>& colors) {
    PaletteLayout layout;
    const std::size_t n = colors.size();
    layout.count = n;
    layout.padded = (n + lanes - 1) / lanes * lanes;
    layout.planes.assign(3 * layout.padded, nan_value);
    layout.quads.assign(4 * n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < 3; ++c) {
            layout.planes[c * layout.padded + i] = colors[i][c];
            layout.quads[4 * i + c] = colors[i][c];
        }
    }
    // Sixteen groups of sixteen blocks cover the largest palette.
    static_assert(max_palette_colors <= lanes * lanes * lanes);
    if (n <= scan_limit || n > max_palette_colors) {
        return layout;
    }

    std::vector<std::int32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = static_cast<std::int32_t>(i);
    }
    std::vector<std::size_t> starts;
    split_blocks(colors, order, 0, n, starts);
    starts.push_back(n);

    const std::size_t blocks = starts.size() - 1;
    layout.blocks = blocks;
    layout.blocks_padded = (blocks + lanes - 1) / lanes * lanes;
    layout.groups = layout.blocks_padded / lanes;
    layout.block_planes.assign(blocks * 3 * lanes, nan_value);
    layout.block_members.assign(blocks * lanes, std::numeric_limits<std::int32_t>::max());
    layout.block_bounds.assign(3 * layout.blocks_padded, inf_value);
    layout.block_bounds.resize(6 * layout.blocks_padded, -inf_value);
    layout.group_bounds.assign(3 * lanes, inf_value);
    layout.group_bounds.resize(6 * lanes, -inf_value);

    for (std::size_t b = 0; b < blocks; ++b) {
        float lo[3] = {inf_value, inf_value, inf_value};
        float hi[3] = {-inf_value, -inf_value, -inf_value};
        for (std::size_t k = starts[b]; k < starts[b + 1]; ++k) {
            const auto i = static_cast<std::size_t>(order[k]);
            const std::size_t lane = k - starts[b];
            layout.block_members[b * lanes + lane] = order[k];
            for (std::size_t c = 0; c < 3; ++c) {
                layout.block_planes[(3 * b + c) * lanes + lane] = colors[i][c];
                lo[c] = std::min(lo[c], colors[i][c]);
                hi[c] = std::max(hi[c], colors[i][c]);
            }
        }
        set_bounds(layout.block_bounds, layout.blocks_padded, b, lo, hi);
        const std::size_t g = b / lanes;
        float glo[3];
        float ghi[3];
        for (std::size_t c = 0; c < 3; ++c) {
            glo[c] = std::min(layout.group_bounds[c * lanes + g], lo[c]);
            ghi[c] = std::max(layout.group_bounds[(3 + c) * lanes + g], hi[c]);
        }
        set_bounds(layout.group_bounds, lanes, g, glo, ghi);
    }
    return layout;
}

Palette Palette::make(std::vector<Rgb> triples, const Space& space) {
    Palette palette;
    palette.colors.reserve(triples.size());
    for (const Rgb& t : triples) {
        palette.colors.push_back({space.to_work[t[0]], space.to_work[t[1]], space.to_work[t[2]]});
    }
    palette.rgb = std::move(triples);
    palette.layout = PaletteLayout::make(palette.colors);

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
        palette.spread[c] =
            distinct >= 2 ? (channel.back() - channel.front()) / static_cast<float>(distinct - 1)
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
        const int value =
            text.size() == 3 ? digits[c] * 17 : digits[2 * c] * 16 + digits[2 * c + 1];
        rgb[c] = static_cast<std::uint8_t>(value);
    }
    return rgb;
}

}  // namespace tonalis
