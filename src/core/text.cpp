// Message text: plain-decimal floats, bracketed lists, quoted literals and UTF-8 decoding.
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <system_error>

#include "unicode_tables.hpp"

namespace tonalis {

namespace {

constexpr char32_t replacement_character = 0xFFFD;
constexpr char32_t max_code_point = 0x10FFFF;

template <std::size_t N>
bool in_ranges(const unicode::CodePointRange (&ranges)[N], char32_t cp) noexcept {
    // The first range that starts beyond cp; the one before it may hold cp.
    const auto* it =
        std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                         [](char32_t v, const unicode::CodePointRange& r) { return v < r.first; });
    return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp > max_code_point || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = replacement_character;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

template <class Int>
std::string format_integers(std::span<const Int> values) {
    std::string out = "[";
    out += join_list(values, [](std::string& text, Int v) { text += std::to_string(v); });
    out += ']';
    return out;
}

}  // namespace

std::string format_f32(float value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0.0f ? "-inf" : "inf";
    }
    // Scientific form without a precision gives the shortest digits that
    // round-trip; they are then laid out without the exponent.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::string out;
    std::size_t pos = 0;
    if (sci[pos] == '-') {
        out.push_back('-');
        ++pos;
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e_pos; ++i) {
        if (sci[i] != '.') {
            digits.push_back(sci[i]);
        }
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    exponent);

    // The decimal point stands after `int_digits` digits.
    const long int_digits = static_cast<long>(exponent) + 1;
    const long n = static_cast<long>(digits.size());
    if (int_digits >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(int_digits - n), '0');
    } else if (int_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-int_digits), '0');
        out += digits;
    } else {
        out.append(digits, 0, static_cast<std::size_t>(int_digits));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(int_digits));
    }
    return out;
}

std::string format_list(std::span<const std::size_t> values) {
    return format_integers(values);
}

std::string format_list(std::span<const std::int64_t> values) {
    return format_integers(values);
}

std::string quoted_literal(std::u32string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (char32_t cp : text) {
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        // Invisible and combining characters would be lost or would merge
        // with the quote; show them by number instead.
        if (cp > max_code_point || in_ranges(unicode::non_printable, cp) ||
            in_ranges(unicode::grapheme_extend, cp)) {
            char hex[16];
            const auto res =
                std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
            out += "\\u{";
            out.append(hex, res.ptr);
            out += '}';
        } else {
            append_utf8(out, cp);
        }
    }
    out += '"';
    return out;
}

std::u32string decode_utf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        // The allowed range of the second byte excludes overlong forms,
        // surrogates and values beyond U+10FFFF.
        std::size_t need;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        char32_t cp;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2;
            cp = b0 & 0x0F;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3;
            cp = b0 & 0x07;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            out.push_back(replacement_character);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool complete = true;
        for (std::size_t k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                complete = false;
                break;
            }
            const auto b = static_cast<unsigned char>(text[j]);
            if (b < lo || b > hi) {
                complete = false;
                break;
            }
            lo = 0x80;
            hi = 0xBF;
            cp = (cp << 6) | (b & 0x3F);
        }
        // A broken sequence becomes one replacement; the byte that broke it
        // starts afresh.
        out.push_back(complete ? cp : replacement_character);
        i = j;
    }
    return out;
}

}  // namespace tonalis
