// Threshold matrices for ordered dither: Bayer, index and threshold forms.
#include "threshold/matrices.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tonalis {

namespace {

// 2^24: above this an index no longer converts to float exactly.
constexpr std::int64_t index_limit = std::int64_t{1} << 24;

// The largest stored threshold, just below 1 (bits 0x3F7FFFFE). A threshold
// of 1 would shift a pixel by a full half step and turn black into white.
constexpr float max_threshold = 0.99999988f;
static_assert(std::bit_cast<std::uint32_t>(max_threshold) == 0x3F7FFFFEu);

constexpr unsigned log2_of(std::size_t n) noexcept {
    return static_cast<unsigned>(std::countr_zero(n));
}

static_assert(std::ranges::all_of(bayer_sizes,
                                  [](std::size_t n) { return std::has_single_bit(n); }));

}  // namespace

ThresholdMatrix ThresholdMatrix::bayer(std::size_t size) {
    const std::size_t cells = size * size;
    const unsigned bits = log2_of(size);
    const float divisor = static_cast<float>(cells);

    ThresholdMatrix m;
    m.values.resize(cells);
    m.width = size;
    m.height = size;
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < size; ++j) {
            const std::size_t e = i ^ j;
            // Low coordinate bits become the most significant index digits,
            // so neighbouring cells land far apart in the ordering.
            std::size_t index = 0;
            for (unsigned level = 0; level < bits; ++level) {
                index = index * 4 + 2 * ((e >> level) & 1u) + ((i >> level) & 1u);
            }
            m.values[i * size + j] = (static_cast<float>(index) + 0.5f) / divisor;
        }
    }
    return m;
}

std::variant<ThresholdMatrix, std::string> ThresholdMatrix::from_indices(
    std::size_t rows, std::size_t cols, std::span<const std::int64_t> indices) {
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (!indices.empty()) {
        const auto [min_it, max_it] = std::ranges::minmax_element(indices);
        lo = *min_it;
        hi = *max_it;
    }
    if (lo < 0) {
        return "integer matrix values must be >= 0, got " + std::to_string(lo) +
               " (note: unsigned 64-bit values above 2^63 overflow to negative)";
    }
    if (hi >= index_limit) {
        return "integer matrix values must be below 2^24, got " + std::to_string(hi);
    }

    // Indices past the cell count stretch the scale so every threshold stays
    // below 1 (up to float rounding near 2^24, capped below).
    const std::uint64_t cells = static_cast<std::uint64_t>(rows) * cols;
    const float divisor = static_cast<float>(std::max(cells, static_cast<std::uint64_t>(hi) + 1));

    ThresholdMatrix m;
    m.values.reserve(indices.size());
    for (const std::int64_t index : indices) {
        const float t = (static_cast<float>(index) + 0.5f) / divisor;
        m.values.push_back(std::min(t, max_threshold));
    }
    m.width = cols;
    m.height = rows;
    return m;
}

std::variant<ThresholdMatrix, std::string> ThresholdMatrix::from_thresholds(
    std::size_t rows, std::size_t cols, std::span<const double> thresholds) {
    ThresholdMatrix m;
    m.values.reserve(thresholds.size());
    for (const double v : thresholds) {
        if (!(v >= 0.0 && v <= 1.0)) {  // written so that NaN fails too
            return std::string("float matrix thresholds must be in [0, 1]");
        }
        m.values.push_back(std::min(static_cast<float>(v), max_threshold));
    }
    m.width = cols;
    m.height = rows;
    return m;
}

}  // namespace tonalis
