// The plainest fast serial loop for two-level Floyd–Steinberg on a grayscale
// image: two float32 error rows, threshold at 127.5, weights 7, 3, 5, 1 / 16.
// bench/run.py compiles it (g++ -O2 -ffp-contract=off) into a shared library
// and calls serial_fs through ctypes; it is the "serial limit" the diffusion
// engine is measured against.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

extern "C" void serial_fs(const std::uint8_t* in, std::uint8_t* out, std::size_t width,
                          std::size_t height) {
    // One spare cell on each side so the kernel never needs a bounds check.
    std::vector<float> cur(width + 2, 0.0f), next(width + 2, 0.0f);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* src = in + y * width;
        std::uint8_t* dst = out + y * width;
        float* e = cur.data() + 1;
        float* n = next.data() + 1;
        for (std::size_t x = 0; x < width; ++x) {
            const float v = static_cast<float>(src[x]) + e[x];
            const float q = v >= 127.5f ? 255.0f : 0.0f;
            dst[x] = static_cast<std::uint8_t>(q);
            const float err = v - q;
            e[x + 1] += err * (7.0f / 16.0f);
            n[x - 1] += err * (3.0f / 16.0f);
            n[x] += err * (5.0f / 16.0f);
            n[x + 1] += err * (1.0f / 16.0f);
        }
        std::swap(cur, next);
        std::fill(next.begin(), next.end(), 0.0f);
    }
}
