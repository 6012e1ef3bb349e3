// The textual forms used in messages: numbers, lists and quoted literals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tonalis {

// The shortest decimal digits that identify the float, written without an
// exponent: 1.1f -> "1.1", 2.0f -> "2", 1e30f -> "1" and thirty zeros,
// NaN -> "NaN", infinities -> "inf" and "-inf".
std::string format_f32(float value);

// "[2, 3, 4]"; "[]" when empty.
std::string format_list(std::span<const std::size_t> values);
std::string format_list(std::span<const std::int64_t> values);

// The items, each appended by write(out, item), with ", " between them.
template <class Range, class Write>
std::string join_list(const Range& items, Write write) {
    std::string out;
    bool first = true;
    for (const auto& item : items) {
        if (!first) {
            out += ", ";
        }
        first = false;
        write(out, item);
    }
    return out;
}

// A name as listed among valid values: 'name'.
inline void append_quoted_name(std::string& out, std::string_view name) {
    out += '\'';
    out += name;
    out += '\'';
}

// The text in double quotes, with \" \\ \t \r \n \0 escaped, and every other
// non-printable character and every combining mark (Grapheme_Extend) written
// as \u{hex}. Code points above U+10FFFF and lone surrogates are escaped too.
std::string quoted_literal(std::u32string_view text);

// Code points of UTF-8 text; a malformed byte becomes U+FFFD.
std::u32string decode_utf8(std::string_view text);

}  // namespace tonalis
