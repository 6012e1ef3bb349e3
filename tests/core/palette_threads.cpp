// Ordered and random dither to a large palette on every worker thread at
// once, against the same call on one thread.
//
// With 700 colours the threshold engines search through the cell lists
// (search/cells.hpp), which the band threads build as their pixels first
// reach a cell and publish for each other: the image is large enough for
// the pass to be split across the workers, and its bands meet the same
// colours, so threads read cells that others are building. Under
// ThreadSanitizer (tools/test_core.sh tsan) that must show no race; in
// every build the bytes must be those of the single thread, under each
// instruction-set ceiling this processor runs.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "machine.hpp"
#include "threshold/matrices.hpp"
#include "threshold/ordered.hpp"
#include "palette.hpp"
#include "space.hpp"

namespace {

using namespace tonalis;

// Large enough for the workers: the engines split passes estimated at 8 ms
// or more, about a million pixels of cell search.
constexpr std::size_t height = 1040;
constexpr std::size_t width = 1024;

Img gradient() {
    Img img;
    img.height = height;
    img.width = width;
    img.channels = 3;
    img.data = Buffer<std::uint8_t>::allocate(height * width * 3, malloc_allocator);
    std::uint32_t state = 1;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                const std::size_t ramp = (x * 255 / (width - 1) + y * 91 * (c + 1) / height) % 256;
                img.data[(y * width + x) * 3 + c] =
                    static_cast<std::uint8_t>((ramp + (state >> 27)) % 256);
            }
        }
    }
    return img;
}

std::vector<Rgb> colours(std::size_t n) {
    std::vector<Rgb> rgb(n);
    std::uint32_t state = 99;
    for (Rgb& c : rgb) {
        for (std::uint8_t& v : c) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<std::uint8_t>(state >> 24);
        }
    }
    return rgb;
}

Img copy_of(const Img& from) {
    Img img;
    img.height = from.height;
    img.width = from.width;
    img.channels = from.channels;
    img.data = Buffer<std::uint8_t>::allocate(from.data.size(), malloc_allocator);
    std::memcpy(img.data.data(), from.data.data(), from.data.size());
    return img;
}

// Ordered dither (the cell lists), then random dither (the same lists
// under a different shift).
Img dithered(const Img& image, const Target& target, const Space& space, bool random) {
    Img img = copy_of(image);
    if (random) {
        random_dither_pass(img, target, space, 0.5f, 2024);
    } else {
        ordered_dither_pass(img, target, space, 0.75f, ThresholdMatrix::bayer(8));
    }
    return img;
}

}  // namespace

int main() {
    const Img image = gradient();
    int failures = 0;
    std::size_t runs = 0;
    for (const VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        set_vector_isa_ceiling(isa);
        if (vector_isa() != isa) continue;
        for (const bool linear : {false, true}) {
            const Space space = Space::make(linear);
            const Target target = Palette::make(colours(700), space);
            for (const bool random : {false, true}) {
                set_worker_ceiling(1);
                const Img one = dithered(image, target, space, random);
                set_worker_ceiling(max_workers);
                const Img many = dithered(image, target, space, random);
                ++runs;
                if (std::memcmp(one.data.data(), many.data.data(), one.data.size()) != 0) {
                    std::printf("FAIL %s dither, instruction set %d%s: threads change bytes\n",
                                random ? "random" : "ordered", static_cast<int>(isa),
                                linear ? ", linear" : "");
                    ++failures;
                }
            }
        }
    }
    if (failures != 0) return 1;
    std::printf("palette threads: %zu passes on %zu threads as on one\n", runs, worker_count());
    return 0;
}
