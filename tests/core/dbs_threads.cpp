// Direct binary search on every worker thread against one thread, under
// each instruction-set ceiling this processor runs.
//
// The image is large enough for many tiles a phase, so threads take
// neighbouring tiles of one phase at once and read the blocks around
// tiles that others finished a phase before. Under ThreadSanitizer
// (tools/test_core.sh tsan) that must show no race; in every build the
// bytes must be those of the single thread. With --quick (ThreadSanitizer's
// run) only the widest instruction set: the tiles are scheduled alike under
// every set, so the races to look for are the same.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "dbs.hpp"
#include "machine.hpp"
#include "palette.hpp"
#include "space.hpp"

namespace {

using namespace tonalis;

constexpr std::size_t height = 200;
constexpr std::size_t width = 300;

Img ramp(std::size_t channels) {
    Img img;
    img.height = height;
    img.width = width;
    img.channels = channels;
    img.data = Buffer<std::uint8_t>::allocate(height * width * channels, malloc_allocator);
    std::uint32_t state = 7;
    for (std::size_t i = 0; i < height * width * channels; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::size_t x = (i / channels) % width;
        const std::size_t c = i % channels;
        img.data[i] =
            static_cast<std::uint8_t>((x * 255 / (width - 1) + c * 70 + (state >> 28)) % 256);
    }
    return img;
}

// A normalised 9 x 9 table of taps falling off from the centre.
std::vector<float> taps() {
    std::vector<float> t(81);
    float sum = 0.0f;
    for (std::size_t i = 0; i < 81; ++i) {
        const float dy = static_cast<float>(i / 9) - 4.0f;
        const float dx = static_cast<float>(i % 9) - 4.0f;
        t[i] = 1.0f / (1.0f + dy * dy + dx * dx);
        sum = sum + t[i];
    }
    for (float& v : t) {
        v = v / sum;
    }
    return t;
}

Img searched(const Img& image, Target target, const Space& space, const DbsSettings& settings) {
    Img img;
    img.height = image.height;
    img.width = image.width;
    img.channels = image.channels;
    img.data = Buffer<std::uint8_t>::allocate(image.data.size(), malloc_allocator);
    std::memcpy(img.data.data(), image.data.data(), image.data.size());
    auto scratch = Buffer<std::uint8_t>::allocate(dbs_scratch_bytes(img, target, settings.radius),
                                                  malloc_allocator);
    dbs_dither(img, target, space, settings, scratch.data());
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--quick") {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: dbs_threads [--quick]\n");
            return 2;
        }
    }
    const VectorIsa widest = vector_isa();
    const std::vector<float> filter = taps();
    DbsSettings settings;
    settings.taps = filter.data();
    settings.radius = 4;
    int failures = 0;
    std::size_t runs = 0;
    for (const VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        set_vector_isa_ceiling(isa);
        if (vector_isa() != isa) continue;
        if (quick && isa != widest) continue;
        for (const bool linear : {false, true}) {
            const Space space = Space::make(linear);
            const std::vector<Rgb> seven = {{0, 0, 0},   {255, 255, 255}, {0, 160, 0},  {0, 0, 200},
                                            {200, 0, 0}, {255, 230, 0},   {230, 120, 0}};
            const struct {
                const char* name;
                Img image;
                Target target;
                bool opponent;
            } cases[] = {
                {"gray, 2 levels", ramp(1), Levels::make(2, space), false},
                {"RGB, 3 levels", ramp(3), Levels::make(3, space), false},
                {"RGB, 7 colours", ramp(3), Palette::make(seven, space), false},
                {"RGB, 7 colours in lightness and colour differences", ramp(3),
                 Palette::make(seven, space), true},
            };
            for (const auto& c : cases) {
                DbsSettings these = settings;
                if (c.opponent) {
                    these.chroma_taps = filter.data();
                    these.chroma_weight = 0.3f;
                    these.near_taps = filter.data();
                    these.near_weight = 0.2f;
                }
                set_worker_ceiling(1);
                const Img one = searched(c.image, c.target, space, these);
                set_worker_ceiling(max_workers);
                const Img many = searched(c.image, c.target, space, these);
                ++runs;
                if (std::memcmp(one.data.data(), many.data.data(), one.data.size()) != 0) {
                    std::printf("FAIL dbs %s, instruction set %d%s: threads change bytes\n", c.name,
                                static_cast<int>(isa), linear ? ", linear" : "");
                    ++failures;
                }
            }
        }
    }
    if (failures != 0) return 1;
    std::printf("dbs threads: %zu searches on %zu threads as on one\n", runs, worker_count());
    return 0;
}
