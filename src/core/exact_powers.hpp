// Powers whose bits are the same on every platform: x^y rounded once to
// single precision, and a cube root for sizing structures.
//
// The C library's powf and cbrt are not: each library has its own
// approximations, and results differ in the last bit between platforms
// (and between versions of one library). Everything here is plain IEEE
// double arithmetic (sums, products and quotients, each correctly rounded;
// no fused multiply-add, which -ffp-contract=off rules out) and exact
// conversions, so every platform computes the same bits; all of it can be
// evaluated at compile time too.
//
// exact_powf carries about 95 bits (double-double arithmetic) through the
// logarithm and the exponential, so its rounding to 24 bits can go wrong
// only for a power within 2^-95 (relative) of a midpoint between two
// floats. No power x^y with y in (0, 1) lies on one (x = z^q for y = p/q
// in lowest terms, and z^p has fewer significant bits than x), and among
// the 2^60 pairs of floats in (0, 1) the nearest is to be expected some
// 2^-84 away: the result is the correctly rounded power, so monotonic in
// x and in y. tests/core/exact_powers.cpp checks it against a wider
// reference.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace tonalis {

namespace exact_powers_detail {

// The unevaluated sum hi + lo, |lo| at most half an ulp of hi.
struct Wide {
    double hi;
    double lo;
};

// a + b exactly, given |a| >= |b| (or a == 0).
constexpr Wide quick_two_sum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a + b exactly.
constexpr Wide two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double v = s - a;
    return {s, (a - (s - v)) + (b - v)};
}

// a * b exactly (Dekker's product: each operand split into two halves of
// 26 bits, whose products are exact), for operands far from overflow.
constexpr Wide two_product(double a, double b) noexcept {
    constexpr double splitter = 134217729.0;  // 2^27 + 1
    const double ta = splitter * a;
    const double ah = ta - (ta - a);
    const double al = a - ah;
    const double tb = splitter * b;
    const double bh = tb - (tb - b);
    const double bl = b - bh;
    const double p = a * b;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

constexpr Wide operator+(Wide a, Wide b) noexcept {
    const Wide s = two_sum(a.hi, b.hi);
    const Wide t = two_sum(a.lo, b.lo);
    const Wide u = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(u.hi, u.lo + t.lo);
}

constexpr Wide operator-(Wide a) noexcept {
    return {-a.hi, -a.lo};
}

constexpr Wide operator*(Wide a, Wide b) noexcept {
    const Wide p = two_product(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

constexpr Wide operator/(Wide a, Wide b) noexcept {
    const double q1 = a.hi / b.hi;
    const Wide r1 = a + -(b * Wide{q1, 0.0});
    const double q2 = r1.hi / b.hi;
    const Wide r2 = r1 + -(b * Wide{q2, 0.0});
    const double q3 = r2.hi / b.hi;
    return quick_two_sum(q1, q2) + Wide{q3, 0.0};
}

// ln 2 to 106 bits.
inline constexpr Wide ln2{0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

// 2^n for |n| within the normal exponents.
constexpr double power_of_two(int n) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(n + 1023) << 52);
}

// The series' coefficients, the leading ones to 106 bits: 1 / (2k + 1)
// for the logarithm, 1 / k! for the exponential. The later terms are
// below 2^-47 of the sum, so plain doubles carry them well enough.
inline constexpr int log_wide_terms = 10;
inline constexpr int log_terms = 21;
inline constexpr int exp_wide_terms = 5;
inline constexpr int exp_terms = 10;
struct Coefficients {
    Wide odd[log_wide_terms];
    double odd_tail[log_terms];
    Wide factorial[exp_wide_terms];
    double factorial_tail[exp_terms];
};
constexpr Coefficients coefficients() noexcept {
    Coefficients c{};
    for (int k = 0; k < log_terms; ++k) {
        const Wide v = Wide{1.0, 0.0} / Wide{2.0 * k + 1.0, 0.0};
        if (k < log_wide_terms) c.odd[k] = v;
        c.odd_tail[k] = v.hi;
    }
    Wide v{1.0, 0.0};
    for (int k = 0; k < exp_terms; ++k) {
        if (k > 0) v = v / Wide{1.0 * k, 0.0};
        if (k < exp_wide_terms) c.factorial[k] = v;
        c.factorial_tail[k] = v.hi;
    }
    return c;
}
inline constexpr Coefficients coefficient = coefficients();

// ln x for a positive finite float: x = m 2^e with m in [sqrt(1/2), sqrt(2)),
// and ln m = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...), s = (m - 1) / (m + 1),
// |s| < 0.172, so that 21 terms reach 2^-106. m - 1 and m + 1 are exact.
constexpr Wide log_of(float x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(x));
    int e = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    double m = std::bit_cast<double>((bits & 0x000F'FFFF'FFFF'FFFFu) | 0x3FF0'0000'0000'0000u);
    if (m > 0x1.6a09e667f3bcdp+0) {
        m *= 0.5;
        ++e;
    }
    const Wide s = Wide{m - 1.0, 0.0} / Wide{m + 1.0, 0.0};
    const Wide z = s * s;
    double tail = coefficient.odd_tail[log_terms - 1];
    for (int k = log_terms - 2; k >= log_wide_terms; --k) {
        tail = tail * z.hi + coefficient.odd_tail[k];
    }
    Wide sum = Wide{tail, 0.0};
    for (int k = log_wide_terms - 1; k >= 0; --k) sum = sum * z + coefficient.odd[k];
    const Wide half = s * sum;
    return Wide{static_cast<double>(e), 0.0} * ln2 + Wide{2.0 * half.hi, 2.0 * half.lo};
}

// e^t for |t| below 1000: t = n ln 2 + r with |r| <= ln 2 / 2 + a little,
// e^r as (e^(r / 256))^256, whose Taylor series reaches 2^-116 in 10
// terms; the eight squarings lose 8 bits of the 106.
constexpr Wide exp_of(Wide t) noexcept {
    const double scaled = t.hi / ln2.hi;
    const double n =
        static_cast<double>(static_cast<std::int64_t>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5));
    const Wide r = t + -(Wide{n, 0.0} * ln2);
    const Wide q{r.hi * 0x1p-8, r.lo * 0x1p-8};
    double tail = coefficient.factorial_tail[exp_terms - 1];
    for (int k = exp_terms - 2; k >= exp_wide_terms; --k) {
        tail = tail * q.hi + coefficient.factorial_tail[k];
    }
    Wide p{tail, 0.0};
    for (int k = exp_wide_terms - 1; k >= 0; --k) p = p * q + coefficient.factorial[k];
    for (int k = 0; k < 8; ++k) p = p * p;
    const double scale = power_of_two(static_cast<int>(n));
    return {p.hi * scale, p.lo * scale};
}

// The float nearest to v.hi + v.lo (ties to even), for a positive v in the
// range of floats: v.hi rounded, unless it lies exactly halfway between
// two floats and v.lo tips the balance.
constexpr float nearest_float(Wide v) noexcept {
    const auto f = static_cast<float>(v.hi);
    const auto back = static_cast<double>(f);
    if (back == v.hi || v.lo == 0.0) {
        return f;
    }
    const auto bits = std::bit_cast<std::uint32_t>(f);
    const auto other = std::bit_cast<float>(v.hi > back ? bits + 1 : bits - 1);
    const double middle = (back + static_cast<double>(other)) * 0.5;  // exact
    if (v.hi != middle) {
        return f;
    }
    return (v.lo > 0.0) == (other > f) ? other : f;
}

}  // namespace exact_powers_detail

// Powers x^y of one base, its logarithm taken once: correctly rounded to
// single precision, for finite x >= 0 and y in [0, 1] (NaN outside); 1
// when y is 0 (0^0 too) or x is 1, x itself when y is 1 or x is 0.
class PowersOf {
public:
    constexpr explicit PowersOf(float x) noexcept
        : x_(x),
          usable_(x >= 0.0f && x <= std::numeric_limits<float>::max()),
          log_(usable_ && x > 0.0f ? exact_powers_detail::log_of(x)
                                   : exact_powers_detail::Wide{0.0, 0.0}) {}

    constexpr float to(float y) const noexcept {
        using namespace exact_powers_detail;
        if (!(usable_ && y >= 0.0f && y <= 1.0f)) {
            return std::numeric_limits<float>::quiet_NaN();
        }
        if (y == 0.0f || x_ == 1.0f) {
            return 1.0f;
        }
        if (y == 1.0f || x_ == 0.0f) {
            return x_;
        }
        return nearest_float(exp_of(log_ * Wide{static_cast<double>(y), 0.0}));
    }

private:
    float x_;
    bool usable_;
    exact_powers_detail::Wide log_;
};

constexpr float exact_powf(float x, float y) noexcept {
    return PowersOf(x).to(y);
}

// The cube root of v to within an ulp or two, the same bits everywhere:
// for sizing grids and search radii, where no output byte depends on the
// last bits. v = w 2^(3q) with w in [1, 8); Newton's steps from
// (w + 2) / 3, which lies above the root, fall towards it, and eight of
// them reach double precision from anywhere in [1, 8).
constexpr double portable_cbrt(double v) noexcept {
    using namespace exact_powers_detail;
    if (v < 0.0) {
        return -portable_cbrt(-v);
    }
    if (!(v > 0.0) || v > std::numeric_limits<double>::max()) {
        return v;  // zero, NaN or infinity
    }
    int shift = 0;  // of the result: subnormals are made normal first
    if (v < std::numeric_limits<double>::min()) {
        v *= 0x1p54;
        shift = -18;
    }
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const int e = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    const int q = (e >= 0 ? e : e - 2) / 3;  // floor(e / 3)
    const double m =
        std::bit_cast<double>((bits & 0x000F'FFFF'FFFF'FFFFu) | 0x3FF0'0000'0000'0000u);
    const double w = m * power_of_two(e - 3 * q);
    double root = (w + 2.0) / 3.0;
    for (int k = 0; k < 8; ++k) root = (2.0 * root + w / (root * root)) / 3.0;
    return root * power_of_two(q + shift);
}

}  // namespace tonalis
