// exact_powf and portable_cbrt (exact_powers.hpp) against wider references.
//
// The powers are those of Riemersma's weights: ratio^(a / (history - 1))
// for every history from 1 to 64 and each a, and ratio^(1 / (history - 1)),
// over ratios of every kind (subnormal, near 1, round, spread over the
// exponents), plus the longer histories for a few ratios. Each must be the
// correctly rounded power, judged by the C library's pow in x86's 64-bit
// long double (cases too near a midpoint for the reference to judge are
// counted, not judged; the 113-bit long double of other processors is
// computed in software, too slow for a million powers, and the hash shows
// their powers the same); the weights must fall as a
// rises and rise with the ratio; and the hash of all of them, and of the
// cube roots checked below, must be the one recorded on x86-64. The count of powers that differ
// from the C library's powf is printed: an ulp, where powf is not correctly rounded. Last,
// Riemersma dither with weights of that kind (glibc's powf gives 0.5^(7/18) an ulp too high) must
// give the bytes recorded.
//
//   exact_powers          runs the checks; exit status 0 when all pass
//   exact_powers --print  prints the hash

#include "exact_powers.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "diffusion/riemersma.hpp"
#include "space.hpp"

namespace {

using tonalis::exact_powf;
using tonalis::portable_cbrt;

constexpr std::uint64_t recorded_hash = 0x595c1df362eb3910;
constexpr std::uint64_t recorded_riemersma_hash = 0x23b317daf6ff9b76;

// Checked at compile time: the function is a constant expression.
static_assert(exact_powf(0.25f, 0.5f) == 0.5f);
static_assert(exact_powf(0x1p-149f, 0.0f) == 1.0f && exact_powf(0.0f, 0.0f) == 1.0f);
static_assert(exact_powf(0.3f, 1.0f) == 0.3f && exact_powf(0.0f, 0.5f) == 0.0f);
static_assert(exact_powf(1.0f, 0.375f) == 1.0f);
static_assert(exact_powf(-1.0f, 0.5f) != exact_powf(-1.0f, 0.5f));  // NaN outside the domain
static_assert(portable_cbrt(27.0) == 3.0 && portable_cbrt(0.0) == 0.0);

int failures = 0;

void fail(const char* what, float x, float y, float got, double want) {
    if (++failures <= 20) {
        std::printf("FAIL %s: %a ^ %a gives %a, want %a\n", what, static_cast<double>(x),
                    static_cast<double>(y), static_cast<double>(got), want);
    }
}

void fail_root(double v, double got) {
    if (++failures <= 20) std::printf("FAIL cube root of %a gives %a\n", v, got);
}

float next_up(float f) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) + 1);
}

// The ratios: a dense set near 1, subnormals, round values and
// pseudo-random floats spread evenly over the exponents of (0, 1].
std::vector<float> ratios(std::size_t spread) {
    std::vector<float> out = {1.0f, 0.5f, 0.25f, 0.3f, 0.1f, 1.0f / 16.0f, 0.75f, 0.9f, 0.99f};
    for (std::uint32_t k = 1; k <= 40; ++k) {
        out.push_back(std::bit_cast<float>(std::bit_cast<std::uint32_t>(1.0f) - k));
        out.push_back(std::bit_cast<float>(std::bit_cast<std::uint32_t>(1.0f) - k * 997));
    }
    for (std::uint32_t bits : {1u, 2u, 3u, 0x7Fu, 0x12345u, 0x7FFFFFu, 0x800000u, 0x800001u}) {
        out.push_back(std::bit_cast<float>(bits));
    }
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < spread; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        // Below 1.0f's bits (0x3F800000): every float of (0, 1) alike.
        const auto bits = static_cast<std::uint32_t>((state >> 32) % 0x3F800000u) + 1;
        out.push_back(std::bit_cast<float>(bits));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// The exponents of a history's weights, as riemersma.cpp computes them,
// then its ratio of neighbouring weights.
std::vector<float> exponents(std::size_t history) {
    std::vector<float> out;
    for (std::size_t a = 0; a < history; ++a) {
        out.push_back(history == 1 ? 0.0f
                                   : static_cast<float>(a) / static_cast<float>(history - 1));
    }
    if (history > 1) out.push_back(1.0f / static_cast<float>(history - 1));
    return out;
}

struct Tally {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the results' bits
    std::size_t powers = 0;

    void add(std::uint64_t bits, int bytes) {
        for (int i = 0; i < bytes; ++i)
            hash = (hash ^ ((bits >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
    std::size_t unlike_powf = 0;
    std::size_t judged = 0;
    std::size_t undecided = 0;
};

// The correctly rounded x^y as the reference sees it, or NaN when the
// reference lies too near a midpoint between two floats to tell.
double reference(float x, float y) {
    constexpr int digits = std::numeric_limits<long double>::digits;
    const long double r = std::pow(static_cast<long double>(x), static_cast<long double>(y));
    const auto f = static_cast<float>(r);
    const float up = next_up(f);
    const float down = std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) - 1);
    for (const float g : {up, down}) {
        const long double middle = (static_cast<long double>(f) + static_cast<long double>(g)) / 2;
        if (std::fabs(r - middle) <= std::ldexp(r, 4 - digits)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
    }
    return static_cast<double>(f);
}

void check_power(float x, float y, float got, Tally& tally) {
    ++tally.powers;
    tally.add(std::bit_cast<std::uint32_t>(got), 4);
    const float libm = std::pow(x, y);
    if (got != libm) {
        ++tally.unlike_powf;
        if (!(std::fabs(static_cast<double>(got) - static_cast<double>(libm)) <=
              static_cast<double>(next_up(std::min(got, libm)) - std::min(got, libm)))) {
            fail("more than an ulp from powf", x, y, got, static_cast<double>(libm));
        }
    }
    if (std::numeric_limits<long double>::digits == 64) {
        const double want = reference(x, y);
        if (want != want) {
            ++tally.undecided;
            return;
        }
        ++tally.judged;
        if (static_cast<double>(got) != want) fail("not correctly rounded", x, y, got, want);
    }
}

// Every power of every history in [first, last] for every ratio, with
// the weights falling along a history and rising with the ratio.
void check_histories(const std::vector<float>& xs, std::size_t first, std::size_t last,
                     Tally& tally) {
    for (std::size_t history = first; history <= last; ++history) {
        const std::vector<float> ys = exponents(history);
        std::vector<float> previous(ys.size(), 0.0f);
        for (const float x : xs) {
            for (std::size_t i = 0; i < ys.size(); ++i) {
                const float p = exact_powf(x, ys[i]);
                check_power(x, ys[i], p, tally);
                if (p < previous[i]) fail("falls as the ratio rises", x, ys[i], p, previous[i]);
                if (i > 0 && i < history && p > exact_powf(x, ys[i - 1])) {
                    fail("rises along the history", x, ys[i], p, exact_powf(x, ys[i - 1]));
                }
                previous[i] = p;
            }
        }
    }
}

// Cube roots of exact cubes and of doubles of every exponent (subnormals
// too), hashed with the powers, within 1.5 ulps of the C library's cbrt in
// long double where that is wider than double (its cbrt in double is off
// by up to 3 ulps).
void check_cube_roots(Tally& tally) {
    auto ulps = [](double got, long double want) {
        return std::fabs(static_cast<long double>(got) - want) /
               std::ldexp(1.0L, std::ilogb(static_cast<double>(want)) - 52);
    };
    for (double k = 1; k <= 4096; ++k) {
        const double got = portable_cbrt(k * k * k);
        tally.add(std::bit_cast<std::uint64_t>(got), 8);
        if (ulps(got, k) > 1.5L) fail_root(k * k * k, got);
    }
    std::uint64_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const double v = std::bit_cast<double>((state >> 2) % 0x7FF0000000000000u);
        const double got = portable_cbrt(v);
        tally.add(std::bit_cast<std::uint64_t>(got), 8);
        if (portable_cbrt(-v) != -got) fail_root(-v, portable_cbrt(-v));
        if (std::numeric_limits<long double>::digits > std::numeric_limits<double>::digits &&
            ulps(got, std::cbrt(static_cast<long double>(v))) > 1.5L) {
            fail_root(v, got);
        }
    }
}

// FNV-1a of Riemersma dither's output, history 19 and ratio 0.5, on a
// 512 x 512 gradient with a little noise, to two levels and to four.
std::uint64_t riemersma_hash() {
    using namespace tonalis;
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint32_t levels : {2u, 4u}) {
        Img img;
        img.height = 512;
        img.width = 512;
        img.channels = 1;
        img.data = Buffer<std::uint8_t>::allocate(512 * 512, malloc_allocator);
        std::uint32_t state = 7;
        for (std::size_t i = 0; i < img.data.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            img.data[i] = static_cast<std::uint8_t>(i % 512 / 2 + (state >> 28));
        }
        const Space space = Space::make(false);
        const Target target = Levels::make(levels, space);
        std::vector<std::uint32_t> path(riemersma_path_entries(img));
        std::vector<float> history(riemersma_history_floats(19));
        riemersma_dither(img, target, nullptr, space, 1.0f, 19, 0.5f, path.data(), history.data());
        for (std::size_t i = 0; i < img.data.size(); ++i) {
            hash = (hash ^ img.data[i]) * 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace

int main(int argc, char** argv) {
    const bool print = argc > 1 && std::string(argv[1]) == "--print";
    Tally tally;
    check_histories(ratios(200), 1, 64, tally);
    check_histories({0x1p-149f, 0x1.8p-127f, 1e-20f, 1.0f / 16.0f, 0.3f, 0.5f, 0x1.fffffep-1f}, 65,
                    256, tally);
    check_cube_roots(tally);
    const std::uint64_t dithered = riemersma_hash();
    if (print) {
        std::printf("%016llx %016llx\n", static_cast<unsigned long long>(tally.hash),
                    static_cast<unsigned long long>(dithered));
        return 0;
    }
    if (dithered != recorded_riemersma_hash) {
        std::printf("FAIL Riemersma dither's hash %016llx, recorded %016llx\n",
                    static_cast<unsigned long long>(dithered),
                    static_cast<unsigned long long>(recorded_riemersma_hash));
        ++failures;
    }
    if (tally.hash != recorded_hash) {
        std::printf("FAIL hash of the powers %016llx, recorded %016llx\n",
                    static_cast<unsigned long long>(tally.hash),
                    static_cast<unsigned long long>(recorded_hash));
        ++failures;
    }
    if (failures != 0) {
        std::printf("exact powers: FAILED (%zu powers, %zu unlike powf's)\n", tally.powers,
                    tally.unlike_powf);
        return 1;
    }
    std::printf(
        "exact powers: %zu powers as recorded, %zu judged correctly rounded (%zu too near a "
        "midpoint to judge), %zu unlike powf's; cube roots as recorded; Riemersma's bytes as "
        "recorded\n",
        tally.powers, tally.judged, tally.undecided, tally.unlike_powf);
    return 0;
}
