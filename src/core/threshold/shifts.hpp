// The per-pixel shifts of the threshold engines: a tiled matrix or seeded noise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "threshold/matrices.hpp"
#include "threshold/noise.hpp"

namespace tonalis {

// Per-pixel shift in [-0.5, 0.5) from the tiled matrix: after begin_row(y),
// next() gives the shifts of row y's pixels from left to right.
class MatrixShift {
public:
    explicit MatrixShift(const ThresholdMatrix& m) noexcept : m_(m) {}
    // The smallest and the largest shift.
    void range(float& lowest, float& highest) const noexcept {
        lowest = __builtin_inff();
        highest = -__builtin_inff();
        for (float v : m_.values) {
            lowest = v - 0.5f < lowest ? v - 0.5f : lowest;
            highest = v - 0.5f > highest ? v - 0.5f : highest;
        }
    }
    void begin_row(std::size_t y) noexcept {
        row_ = m_.values.data() + (y % m_.height) * m_.width;
        column_ = 0;
    }
    float next() noexcept {
        const float s = row_[column_] - 0.5f;
        column_ = column_ + 1 == m_.width ? 0 : column_ + 1;
        return s;
    }
    // The next n shifts, as n calls of next() give them: the rest of the
    // matrix row, the row once, then copies of what is written, doubling.
    [[gnu::always_inline]] void fill(float* out, std::size_t n) noexcept {
        const float* row = row_;
        const std::size_t width = m_.width;
        const std::size_t column = column_;
        const std::size_t rest = n < width - column ? n : width - column;
        for (std::size_t i = 0; i < rest; ++i) out[i] = row[column + i] - 0.5f;
        if (rest < n) {
            // out[rest] starts a row: whole rows from there on.
            float* rows = out + rest;
            const std::size_t left = n - rest;
            std::size_t done = left < width ? left : width;
            for (std::size_t i = 0; i < done; ++i) rows[i] = row[i] - 0.5f;
            while (done < left) {
                const std::size_t k = done < left - done ? done : left - done;
                __builtin_memcpy(rows + done, rows, k * sizeof(float));
                done += k;
            }
        }
        column_ = (column + n) % width;
    }

private:
    const ThresholdMatrix& m_;
    const float* row_ = nullptr;
    std::size_t column_ = 0;
};

// Per-pixel shift from the generator, one draw per pixel in visiting order
// (row by row), starting at any pixel of the image: pixel k takes the
// generator's (k + 1)-th draw.
class NoiseShift {
public:
    NoiseShift(std::uint64_t seed, std::uint64_t first_pixel) noexcept
        : state_(NoiseGenerator::from_seed(seed).state + first_pixel * NoiseGenerator::increment) {}
    void range(float& lowest, float& highest) const noexcept {
        lowest = -0.5f;
        highest = 0.5f;
    }
    void begin_row(std::size_t) noexcept {}
    float next() noexcept {
        state_ += NoiseGenerator::increment;
        return noise_of(mix_bits(state_));
    }
    // The state before the next draw, and a jump over n draws, for vector
    // forms that draw many pixels at once.
    std::uint64_t state() const noexcept { return state_; }
    void skip(std::size_t n) noexcept { state_ += n * NoiseGenerator::increment; }

private:
    std::uint64_t state_;
};

}  // namespace tonalis
