// The same bytes on every processor and instruction set.
//
// Dithers a fixed set of images through the engines (error diffusion with
// every kernel to levels and palettes, ordered and random dither, Riemersma)
// under each instruction-set ceiling this processor runs, hashes every
// output byte, and compares the hash with the one recorded below from
// x86-64. A processor whose vector code, rounding or char signedness
// changes a single byte gives a different hash.
//
//   same_bytes          checks the hash; exit status 0 when it matches
//   same_bytes --print  prints the hash
//
// tools/test_core.sh and tools/cross_core.sh run it.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "machine.hpp"
#include "threshold/matrices.hpp"
#include "threshold/ordered.hpp"
#include "palette.hpp"
#include "diffusion/riemersma.hpp"
#include "space.hpp"

namespace {

using namespace tonalis;

// FNV-1a, 64-bit, over every output in turn.
constexpr std::uint64_t recorded_hash = 0xc0c96f39e9c35561;

struct Hash {
    std::uint64_t h = 14695981039346656037ull;
    void add(const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h = (h ^ p[i]) * 1099511628211ull;
        }
    }
};

// Gradients with a little noise: every code appears, and errors carry far.
Img test_image(std::size_t height, std::size_t width, std::size_t channels, std::uint32_t seed) {
    Img img;
    img.height = height;
    img.width = width;
    img.channels = channels;
    img.data = Buffer<std::uint8_t>::allocate(height * width * channels, malloc_allocator);
    std::uint32_t state = seed;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            for (std::size_t c = 0; c < channels; ++c) {
                state = state * 1664525u + 1013904223u;
                const std::size_t ramp = (x * 255 / (width - 1) + y * 97 * (c + 1) / height) % 256;
                const std::size_t noise = (state >> 24) % 23;
                img.data[(y * width + x) * channels + c] =
                    static_cast<std::uint8_t>((ramp + noise) % 256);
            }
        }
    }
    return img;
}

Img copy_of(const Img& from) {
    Img img = test_image(from.height, from.width, from.channels, 0);
    std::memcpy(img.data.data(), from.data.data(), from.data.size());
    img.alpha = from.alpha;
    return img;
}

std::vector<Rgb> test_colours(std::size_t n) {
    std::vector<Rgb> rgb(n);
    std::uint32_t state = static_cast<std::uint32_t>(n);
    for (Rgb& c : rgb) {
        for (std::uint8_t& v : c) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<std::uint8_t>(state >> 24);
        }
    }
    return rgb;
}

std::vector<Target> targets(const Space& space, std::size_t channels) {
    std::vector<Target> out;
    for (std::uint32_t n : {2u, 3u, 16u, 256u}) {
        out.emplace_back(Levels::make(n, space));
    }
    if (channels >= 3) {
        for (std::size_t n : {2u, 8u, 40u, 700u}) {
            out.emplace_back(Palette::make(test_colours(n), space));
        }
    }
    return out;
}

std::uint64_t hash_of_outputs() {
    Hash hash;
    const ThresholdMatrix bayer = ThresholdMatrix::bayer(8);
    for (const std::size_t channels : {1u, 3u, 4u}) {
        Img image = test_image(37, 61, channels, static_cast<std::uint32_t>(channels));
        if (channels == 4) image.alpha = 3;
        for (const bool linear : {false, true}) {
            const Space space = Space::make(linear);
            for (Target& target : targets(space, channels)) {
                for (const DiffusionKernel& kernel : diffusion_kernels()) {
                    for (const bool serpentine : {false, true}) {
                        Img img = copy_of(image);
                        std::vector<float> scratch(diffusion_scratch_floats(img, target));
                        const search::Plan plan = prepare_diffusion(img, target);
                        error_diffuse(img, target, space, 0.875f, kernel, serpentine,
                                      scratch.data(), plan);
                        hash.add(img.data.data(), img.data.size());
                    }
                }
                Img ordered = copy_of(image);
                ordered_dither_pass(ordered, target, space, 0.75f, bayer);
                hash.add(ordered.data.data(), ordered.data.size());
                Img random = copy_of(image);
                random_dither_pass(random, target, space, 0.5f, 12345);
                hash.add(random.data.data(), random.data.size());
                if (std::holds_alternative<Levels>(target)) {
                    Img walked = copy_of(image);
                    std::vector<std::uint32_t> path(riemersma_path_entries(walked));
                    std::vector<float> history(riemersma_history_floats(16));
                    riemersma_dither(walked, target, nullptr, space, 1.0f, 16, 1.0f / 16.0f,
                                     path.data(), history.data());
                    hash.add(walked.data.data(), walked.data.size());
                }
            }
        }
    }
    return hash.h;
}

}  // namespace

int main(int argc, char** argv) {
    const bool print = argc > 1 && std::string(argv[1]) == "--print";
    int failures = 0;
    for (const VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        set_vector_isa_ceiling(isa);
        if (vector_isa() != isa) continue;
        const std::uint64_t h = hash_of_outputs();
        if (print) {
            std::printf("%d %016llx\n", static_cast<int>(isa), static_cast<unsigned long long>(h));
        } else if (h != recorded_hash) {
            std::printf("FAIL instruction set %d: hash %016llx, recorded %016llx\n",
                        static_cast<int>(isa), static_cast<unsigned long long>(h),
                        static_cast<unsigned long long>(recorded_hash));
            ++failures;
        }
    }
    if (!print && failures == 0) std::printf("same bytes: every output as recorded\n");
    return failures == 0 ? 0 : 1;
}
