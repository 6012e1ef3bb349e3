// The committed sRGB tables (space_tables.hpp) against the C library's powf.
//
// The tables were generated from glibc's powf, so on glibc the formulas
// they replace must still give the same bits: every code's linear light,
// and the code of every level of 2..256 linear levels. Each threshold must
// also be the least working value with its code, which ties the table to
// the formula on every value, not only the sampled levels. Elsewhere the C
// library's powf may differ in the last bit, which is why the tables exist;
// the program then only reports that it had nothing to compare.
//
//   tools/test_core.sh builds and runs it; exit status 0 when all hold.

#include <math.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "space.hpp"
#include "space_tables.hpp"

namespace {

#ifdef __GLIBC__

std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float srgb_to_linear(float x) {
    return x > 0.04045f ? ::powf((x + 0.055f) / 1.055f, 2.4f) : x / 12.92f;
}

std::uint8_t encode(float work) {
    const float x = work / 255.0f;
    const float e = x <= 0.0031308f ? 12.92f * x : 1.055f * ::powf(x, 0.41666666f) - 0.055f;
    return static_cast<std::uint8_t>(std::fmin(std::fmax(std::roundf(e * 255.0f), 0.0f), 255.0f));
}

int failures = 0;

void fail(const char* what, double at, unsigned got, unsigned want) {
    if (++failures <= 10) {
        std::printf("FAIL %s at %.9g: %#x, the formula gives %#x\n", what, at, got, want);
    }
}

#endif

}  // namespace

int main() {
#ifdef __GLIBC__
    using namespace tonalis;
    for (unsigned c = 0; c < 256; ++c) {
        const float want = srgb_to_linear(static_cast<float>(c) / 255.0f);
        const float got = code_linear_light(static_cast<std::uint8_t>(c));
        if (bits_of(got) != bits_of(want)) fail("linear light", c, bits_of(got), bits_of(want));
    }
    for (unsigned k = 1; k < 256; ++k) {
        const float t = space_tables::encode_from[k - 1];
        const float below = std::nextafter(t, 0.0f);
        if (encode(t) < k) fail("threshold reaches its code", t, encode(t), k);
        if (encode(below) >= k) fail("threshold is the least", below, encode(below), k);
    }
    const Space linear = Space::make(true);
    unsigned checked = 0;
    for (std::uint32_t n = 2; n <= 256; ++n) {
        const Levels levels = Levels::make(n, linear);
        for (std::uint32_t i = 0; i < n; ++i) {
            const float g = std::fmin(static_cast<float>(i) * levels.step, 255.0f);
            if (levels.codes[i] != encode(g)) fail("level code", g, levels.codes[i], encode(g));
            ++checked;
        }
    }
    if (failures != 0) {
        std::printf("%d mismatches with glibc's powf\n", failures);
        return 1;
    }
    std::printf("space tables: 256 codes, 255 thresholds and %u levels agree with glibc's powf\n",
                checked);
#else
    std::printf("space tables: no glibc here, nothing to compare\n");
#endif
    return 0;
}
