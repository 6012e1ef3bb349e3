// Sizes near the top of size_t: scratch counts never wrap around, and row
// bands split any height exactly.
//
// The scratch counts of the engines, for widths from 1 to the largest
// size, must rise with the width and never fall below it: a count that
// wrapped would drop, and the engine would overrun the small buffer it
// sized. Past what a size can hold they are the largest size, which no
// allocation satisfies. On a 32-bit target the counts of images that fit
// in memory already reach that far. Bands of rows (part_start) must start
// at 0, end at the height, and each hold the floor or the ceiling of the
// height over the bands, for heights up to the largest size.

#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "checked_size.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/refined.hpp"
#include "threshold/pattern.hpp"
#include "diffusion/riemersma.hpp"
#include "space.hpp"
#include "diffusion/variable.hpp"

namespace {

using namespace tonalis;

constexpr std::size_t most = std::numeric_limits<std::size_t>::max();

int failures = 0;

void fail(const char* what, std::size_t a, std::size_t b) {
    if (++failures <= 20) std::printf("FAIL %s: %zu, %zu\n", what, a, b);
}

// Widths from 1 to the largest size: powers of two and their neighbours.
std::vector<std::size_t> widths() {
    std::vector<std::size_t> out;
    for (std::size_t p = 1; p != 0; p <<= 1) {
        for (const std::size_t w : {p - 1, p, p + 1}) {
            if (w != 0 && (out.empty() || w > out.back())) out.push_back(w);
        }
    }
    out.push_back(most - 1);
    out.push_back(most);
    return out;
}

template <class Count>
void check_count(const char* what, Count count) {
    std::size_t previous = 0;
    for (const std::size_t w : widths()) {
        const std::size_t n = count(w);
        if (n < previous || n < w) fail(what, w, n);
        previous = n;
    }
    if (Buffer<float>::allocate(count(most / 2), malloc_allocator).data() != nullptr) {
        fail(what, most / 2, count(most / 2));
    }
}

void check_bands() {
    for (const std::size_t height :
         {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000},
          std::size_t{0x80000005}, most / 3, most - 3, most}) {
        for (std::size_t bands = 1; bands <= 64; ++bands) {
            const std::size_t low = height / bands;
            const std::size_t high = low + (height % bands != 0 ? 1 : 0);
            if (part_start(height, 0, bands) != 0 || part_start(height, bands, bands) != height) {
                fail("bands cover the height", height, bands);
            }
            for (std::size_t b = 0; b < bands; ++b) {
                const std::size_t rows =
                    part_start(height, b + 1, bands) - part_start(height, b, bands);
                if (rows < low || rows > high) fail("band size", height, rows);
            }
        }
    }
}

}  // namespace

int main() {
    Img img;
    img.height = 1;
    img.channels = 1;
    const Target target = Levels::make(2, Space::make(false));
    for (const std::size_t threads : {1u, 2u, 8u}) {
        check_count("diffusion scratch", [&](std::size_t w) {
            img.width = w;
            return diffusion_scratch_floats(img, target, threads);
        });
    }
    check_count("refined diffusion scratch", [&](std::size_t w) {
        img.width = w;
        return extras_scratch_floats(img);
    });
    check_count("variable diffusion scratch", [&](std::size_t w) {
        img.width = w;
        return variable_scratch_floats(img);
    });
    check_count("Riemersma history", [](std::size_t h) { return riemersma_history_floats(h); });
    check_count("pattern cache", [](std::size_t n) { return pattern_scratch_bytes(n); });
    check_bands();
    if (failures != 0) return 1;
    std::printf("sizes: scratch counts never wrap, bands cover every height\n");
    return 0;
}
