// Sizes that cannot wrap around. Scratch buffers are sized from image
// sizes times a few constants, which on a 32-bit target overflows for
// images that still fit in memory (a row of 60 million pixels needs 72
// error floats per pixel); a wrapped size would allocate a small buffer
// that the engine then overruns. These give oversized instead: the
// largest size, which no allocation can satisfy (Buffer::allocate refuses
// it), so the caller reports that memory is short. It stays the largest
// through further sums, and products with factors other than 0.
#pragma once

#include <cstddef>
#include <limits>

namespace tonalis {

inline constexpr std::size_t oversized = std::numeric_limits<std::size_t>::max();

// a * b, or oversized when it does not fit.
constexpr std::size_t checked_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? oversized : product;
}

// a + b, or oversized when it does not fit.
constexpr std::size_t checked_add(std::size_t a, std::size_t b) noexcept {
    std::size_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? oversized : sum;
}

// The product of all the factors, or oversized.
template <class... Sizes>
constexpr std::size_t checked_product(std::size_t first, Sizes... rest) noexcept {
    std::size_t product = first;
    ((product = checked_mul(product, static_cast<std::size_t>(rest))), ...);
    return product;
}

// Where part `part` of `parts` of `count` items starts (0 < parts, parts²
// within the range of sizes, part <= parts): the floor of count * part /
// parts, without forming that product, which wraps for large counts.
constexpr std::size_t part_start(std::size_t count, std::size_t part, std::size_t parts) noexcept {
    return count / parts * part + count % parts * part / parts;
}

}  // namespace tonalis
