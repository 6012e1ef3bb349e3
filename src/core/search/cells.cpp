// The grid and the list pool of the cell search; the lists themselves are
// built per target, with vectors (search/cell_lists.hpp).
#include "search/cells.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace tonalis {

namespace {

// How far, in cells, a pixel may land from the cell its index arithmetic
// gives: two roundings of at most 2^-24 relative each, for coordinates
// below 64, are far below this.
constexpr double index_slack = 1.0 / 1024;

constexpr std::size_t line_bytes = 64;

static_assert(search::Limits::cell_sets_most <= PaletteCells::max_set_colors,
              "the plan's sets must fit in a state");

}  // namespace

bool PaletteCells::make(const Palette& palette, const float low[3], const float high[3],
                        std::size_t side, Entries entries) noexcept {
    side_ = 0;
    parent_.reset();
    if (side == 0 || side > max_side) {
        return false;
    }
    float origin[3];
    float scale[3];
    for (std::size_t c = 0; c < 3; ++c) {
        const float span = high[c] - low[c];
        scale[c] = static_cast<float>(side) / span;
        origin[c] = low[c];
        if (!(span > 0.0f) || !std::isfinite(scale[c]) || !std::isfinite(low[c])) {
            return false;
        }
    }
    if (!make_grid(palette, origin, scale, side, entries)) {
        return false;
    }
    // The parent's cells are parent_ratio of these on each channel: its
    // scale is this one's divided by a power of two, exactly, so that each
    // of its boxes holds the boxes of its cells.
    static_assert((parent_ratio & (parent_ratio - 1)) == 0, "a power of two");
    if (entries == Entries::packed_rgb && side >= parent_min_side &&
        palette.colors.size() > parent_min_colors) {
        parent_.reset(new (std::nothrow) PaletteCells);
        float parent_scale[3];
        for (std::size_t c = 0; c < 3; ++c) {
            parent_scale[c] = scale[c] / static_cast<float>(parent_ratio);
        }
        if (parent_ &&
            !parent_->make_grid(palette, origin, parent_scale,
                                (side + parent_ratio - 1) / parent_ratio, Entries::indices)) {
            parent_.reset();
        }
    }
    return true;
}

bool PaletteCells::make_grid(const Palette& palette, const float origin[3], const float scale[3],
                             std::size_t side, Entries entries) noexcept {
    for (std::size_t c = 0; c < 3; ++c) {
        origin_[c] = origin[c];
        scale_[c] = scale[c];
    }
    const std::size_t cells = side * side * side;
    // Zeroed pages come from the system untouched: only cells that pixels
    // reach are ever written. One state more, past the cells: no list.
    states_.reset(static_cast<std::uint32_t*>(std::calloc(cells + 1, sizeof(std::uint32_t))));
    sets_ = entries == Entries::sets && palette.colors.size() <= max_set_colors;
    blocks_ = entries == Entries::blocks;
    const bool packed = entries == Entries::packed_rgb || entries == Entries::sets;
    const std::size_t per_cell = std::max(palette.colors.size(), blocks_ ? block_words : 0);
    const std::size_t first = room_words();
    pool_size_ = sets_ ? first : std::min(cells * per_cell + first, max_pool_members);
    pool_.reset(static_cast<std::uint32_t*>(allocate_aligned(
        line_bytes,
        (pool_size_ * sizeof(std::uint32_t) + line_bytes - 1) / line_bytes * line_bytes)));
    packed_rgb_.reset();
    if (packed) {
        packed_rgb_.reset(
            static_cast<std::uint32_t*>(std::malloc(palette.rgb.size() * sizeof(std::uint32_t))));
    }
    if (!states_ || !pool_ || (packed && !packed_rgb_)) {
        states_.reset();
        pool_.reset();
        packed_rgb_.reset();
        return false;
    }
    for (std::size_t j = 0; packed && j < palette.rgb.size(); ++j) {
        const Rgb& c = palette.rgb[j];
        packed_rgb_[j] = std::uint32_t{c[0]} | std::uint32_t{c[1]} << 8 | std::uint32_t{c[2]} << 16;
    }
    states_[cells] = no_list;
    std::fill_n(pool_.get(), first, 0u);
    used_.store(first, std::memory_order_relaxed);
    side_ = side;
    return true;
}

std::uint32_t* PaletteCells::reserve(std::size_t length, std::size_t& start,
                                     std::uint32_t spare) noexcept {
    const std::size_t unit = room_words();
    const std::size_t room = (length + unit - 1) / unit * unit;
    start = used_.fetch_add(room, std::memory_order_relaxed);
    if (start + room > pool_size_) {
        return nullptr;
    }
    std::fill(pool_.get() + start + length, pool_.get() + start + room, spare);
    return pool_.get() + start;
}

void PaletteCells::box(std::size_t i0, std::size_t i1, std::size_t i2, float lo[3],
                       float hi[3]) const noexcept {
    const std::size_t index[3] = {i0, i1, i2};
    for (std::size_t c = 0; c < 3; ++c) {
        // In double, then rounded outward to float.
        const double width = 1.0 / static_cast<double>(scale_[c]);
        const double first = static_cast<double>(index[c]) - index_slack;
        const double last = static_cast<double>(index[c]) + 1.0 + index_slack;
        const double a = static_cast<double>(origin_[c]) + first * width;
        const double b = static_cast<double>(origin_[c]) + last * width;
        const double margin = (std::fabs(a) + std::fabs(b) + width) * 0x1p-20;
        lo[c] = std::nextafter(static_cast<float>(a - margin), -__builtin_inff());
        hi[c] = std::nextafter(static_cast<float>(b + margin), __builtin_inff());
    }
}

}  // namespace tonalis
