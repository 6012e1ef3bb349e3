// Threshold matrices for ordered dither: Bayer, index and threshold forms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tonalis {

inline constexpr std::array<std::size_t, 4> bayer_sizes{2, 4, 8, 16};

inline constexpr bool is_bayer_size(std::uint64_t n) noexcept {
    for (std::size_t size : bayer_sizes) {
        if (n == size) {
            return true;
        }
    }
    return false;
}

// Thresholds in [0, 1], row-major, tiled over the image: column x, row y
// reads values[(y % height) * width + (x % width)]. 0.5 applies no shift.
struct ThresholdMatrix {
    std::vector<float> values;
    std::size_t width = 0;
    std::size_t height = 0;

    // WARNING: size must be one of bayer_sizes. May throw std::bad_alloc.
    static ThresholdMatrix bayer(std::size_t size);

    // Bayer-style indices, row-major; the matrix or the message of what is
    // wrong with them. May throw std::bad_alloc.
    static std::variant<ThresholdMatrix, std::string> from_indices(
        std::size_t rows, std::size_t cols, std::span<const std::int64_t> indices);

    // Thresholds in [0, 1]; the matrix or the message. May throw std::bad_alloc.
    static std::variant<ThresholdMatrix, std::string> from_thresholds(
        std::size_t rows, std::size_t cols, std::span<const double> thresholds);
};

}  // namespace tonalis
