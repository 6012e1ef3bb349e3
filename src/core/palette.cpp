// Palette construction, its layout for the vector searches, and hex colour parsing.
#include "palette.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "exact_powers.hpp"

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

// Neighbour lists (for palettes with the blocked form), built from exact
// squared distances in double: each colour's nearest by (distance, index),
// gathered with the blocks' boxes.
class NeighbourBuilder {
public:
    NeighbourBuilder(const std::vector<Color>& colors, PaletteLayout& layout)
        : colors_(colors), layout_(layout), count_(layout.near_count) {
        near_.reserve(colors.size());
        // The squared distance within which a colour has count_ others if
        // the colours filled their bounding box evenly (or, on a line,
        // spread evenly along its diagonal).
        double volume = 1.0;
        double diagonal = 0.0;
        for (std::size_t k = 0; k < 3; ++k) {
            float lo = inf_value;
            float hi = -inf_value;
            for (const Color& color : colors) {
                lo = std::min(lo, color[k]);
                hi = std::max(hi, color[k]);
            }
            const double side = static_cast<double>(hi) - static_cast<double>(lo);
            volume *= side;
            diagonal += side * side;
        }
        const double n = static_cast<double>(colors.size());
        const double k = static_cast<double>(count_);
        const double even = portable_cbrt(3.0 * k * volume / (4.0 * 3.14159265358979 * n));
        const double along = std::sqrt(diagonal) * k / (2.0 * n);
        const double start = 1.25 * std::max(even, along);
        start_reach_ = start > 0.0 ? start * start : 1.0;
    }

    void build(std::size_t i) {
        gather_from_blocks(colors_[i]);
        const auto kept = near_.begin() + static_cast<std::ptrdiff_t>(count_);
        std::nth_element(near_.begin(), kept - 1, near_.end(), before);
        std::sort(near_.begin(), kept, before);
        write(i);
    }

private:
    struct Near {
        double d;
        std::int32_t index;
    };
    // Nearer, or as near and listed earlier (an object, so that the sorts
    // inline it).
    struct Before {
        bool operator()(const Near& a, const Near& b) const noexcept {
            return a.d < b.d || (a.d == b.d && a.index < b.index);
        }
    };
    static constexpr Before before{};

    static double squared(const Color& a, const Color& b) noexcept {
        double sum = 0.0;
        for (std::size_t k = 0; k < 3; ++k) {
            const double d = static_cast<double>(a[k]) - static_cast<double>(b[k]);
            sum += d * d;
        }
        return sum;
    }

    void add(const Color& c, std::size_t j, double within) {
        const double d = squared(c, colors_[j]);
        if (d <= within) near_.push_back({d, static_cast<std::int32_t>(j)});
    }

    void add_block(const Color& c, std::size_t b, double within) {
        for (std::size_t lane = 0; lane < PaletteLayout::lanes; ++lane) {
            const std::int32_t j = layout_.block_members[b * PaletteLayout::lanes + lane];
            if (j != std::numeric_limits<std::int32_t>::max()) {
                add(c, static_cast<std::size_t>(j), within);
            }
        }
    }

    // Squared gap from c to the box at `entry` of a six-plane bounds array:
    // at most the squared distance to anything inside it.
    static double gap(const std::vector<float>& bounds, std::size_t stride, std::size_t entry,
                      const Color& c) noexcept {
        double sum = 0.0;
        for (std::size_t k = 0; k < 3; ++k) {
            const double lo = bounds[k * stride + entry];
            const double hi = bounds[(3 + k) * stride + entry];
            const double x = c[k];
            const double g = x < lo ? lo - x : (x > hi ? x - hi : 0.0);
            sum += g * g;
        }
        return sum;
    }

    // Every colour within `reach` (squared) of c, from the blocks whose
    // boxes come that near; the reach grows until it takes in count_
    // colours. Nothing outside it can be among the count_ nearest.
    void gather_from_blocks(const Color& c) {
        constexpr std::size_t lanes = PaletteLayout::lanes;
        const std::size_t blocks = layout_.blocks;
        for (double reach = start_reach_;; reach *= 4.0) {
            near_.clear();
            for (std::size_t g = 0; g < layout_.groups; ++g) {
                if (gap(layout_.group_bounds, lanes, g, c) > reach) continue;
                for (std::size_t b = g * lanes; b < std::min(blocks, (g + 1) * lanes); ++b) {
                    if (gap(layout_.block_bounds, layout_.blocks_padded, b, c) <= reach) {
                        add_block(c, b, reach);
                    }
                }
            }
            if (near_.size() >= count_) return;
        }
    }

    // A float no larger than the square root of d.
    static float distance_below(double d) noexcept {
        const double r = std::sqrt(d);
        float f = static_cast<float>(r);
        if (static_cast<double>(f) > r) f = std::nextafter(f, 0.0f);
        // One step more for the rounding of the square root itself.
        return std::nextafter(f, 0.0f);
    }

    void write(std::size_t i) {
        constexpr std::size_t lanes = PaletteLayout::lanes;
        const std::size_t chunks = layout_.near_chunks;
        for (std::size_t k = 0; k < count_; ++k) {
            const std::size_t chunk = i * chunks + k / lanes;
            const std::size_t lane = k % lanes;
            const auto j = static_cast<std::size_t>(near_[k].index);
            layout_.near_members[chunk * lanes + lane] = near_[k].index;
            for (std::size_t ch = 0; ch < 3; ++ch) {
                layout_.near_planes[(3 * chunk + ch) * lanes + lane] = colors_[j][ch];
            }
        }
        const bool whole = count_ == colors_.size();
        for (std::size_t ch = 0; ch < chunks; ++ch) {
            float limit = inf_value;
            if (ch + 1 < chunks) {
                limit = distance_below(near_[(ch + 1) * lanes].d);
            } else if (!whole) {
                // Every colour left out is at least as far as the last kept.
                limit = distance_below(near_[count_ - 1].d);
            }
            layout_.near_limits[i * chunks + ch] = limit;
        }
    }

    const std::vector<Color>& colors_;
    PaletteLayout& layout_;
    std::size_t count_;
    std::vector<Near> near_;
    double start_reach_ = 1.0;
};

void build_neighbours(const std::vector<Color>& colors, PaletteLayout& layout) {
    constexpr std::size_t lanes = PaletteLayout::lanes;
    const std::size_t n = colors.size();
    layout.near_count = std::min(n, PaletteLayout::near_cap);
    layout.near_chunks = (layout.near_count + lanes - 1) / lanes;
    const std::size_t chunks = n * layout.near_chunks;
    layout.near_planes.assign(chunks * 3 * lanes, nan_value);
    layout.near_members.assign(chunks * lanes, std::numeric_limits<std::int32_t>::max());
    layout.near_limits.assign(chunks, inf_value);
    NeighbourBuilder builder(colors, layout);
    for (std::size_t i = 0; i < n; ++i) builder.build(i);
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
    if (n > max_palette_colors) {
        return layout;
    }
    if (!search::has_blocked_form(n)) {
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

void PaletteLayout::add_neighbours(const std::vector<Color>& colors) noexcept {
    if (blocks == 0 || near_count != 0 || colors.size() != count) {
        return;
    }
    try {
        build_neighbours(colors, *this);
    } catch (...) {
        // Out of memory: no lists, and the blocked search serves alone.
        near_count = 0;
        near_chunks = 0;
        near_planes = {};
        near_members = {};
        near_limits = {};
    }
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
