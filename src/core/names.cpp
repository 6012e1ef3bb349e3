// Loose name comparison, the alias table of error-diffusion methods, Bayer names and dither
// methods.
#include "names.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>

#include "threshold/matrices.hpp"
#include "text.hpp"

namespace tonalis {

namespace {

constexpr bool is_dropped(char ch) noexcept {
    return ch == ' ' || ch == '-' || ch == '_';
}

constexpr char lowered(char ch) noexcept {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

struct Alias {
    std::string_view text;  // already normalised
    std::size_t kernel;     // index into diffusion_kernels(), listing order
};

constexpr Alias aliases[] = {
    {"fs", 0},
    {"floydsteinberg", 0},
    {"ffs", 1},
    {"falsefloydsteinberg", 1},
    {"jjn", 2},
    {"jarvis", 2},
    {"jarvisjudiceninke", 2},
    {"stucki", 3},
    {"atkinson", 4},
    {"burkes", 5},
    {"sierra", 6},
    {"sierra3", 6},
    {"sierra2", 7},
    {"sierratworow", 7},
    {"tworowsierra", 7},
    {"sierralite", 8},
    {"sierra24a", 8},
};

constexpr std::size_t longest_alias() {
    std::size_t n = 0;
    for (const Alias& a : aliases) n = std::max(n, a.text.size());
    return n;
}

// Aliases are compared byte for byte with normalised text, so each must be
// in normalised form itself, and none may appear twice.
constexpr bool aliases_valid() {
    for (std::size_t i = 0; i < std::size(aliases); ++i) {
        const Alias& a = aliases[i];
        if (a.text.empty() || a.kernel >= diffusion_kernels().size()) return false;
        for (char ch : a.text) {
            if (is_dropped(ch) || lowered(ch) != ch) return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (aliases[j].text == a.text) return false;
        }
    }
    return true;
}

static_assert(std::size(aliases) == 17);
static_assert(aliases_valid());
static_assert(longest_alias() == 19);

// ASCII capitals lowered; spaces, hyphens and low lines dropped; every
// other character kept.
std::string normalize(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (!is_dropped(ch)) {
            out.push_back(lowered(ch));
        }
    }
    return out;
}

// An optional single plus sign, then one or more digits, below 2^64.
std::optional<std::uint64_t> parse_decimal(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

const DiffusionKernel* parse_method(std::string_view text) noexcept {
    // Normalise on the stack: text longer than every alias cannot match.
    char buffer[longest_alias()];
    std::size_t length = 0;
    for (char ch : text) {
        if (is_dropped(ch)) {
            continue;
        }
        if (length == sizeof buffer) {
            return nullptr;
        }
        buffer[length++] = lowered(ch);
    }
    const std::string_view normalised(buffer, length);
    for (const Alias& a : aliases) {
        if (a.text == normalised) {
            return &diffusion_kernels()[a.kernel];
        }
    }
    return nullptr;
}

std::optional<std::size_t> bayer_size_from_name(std::string_view text) {
    const std::string t = normalize(text);
    std::string_view rest = t;
    if (rest.size() >= 5 && rest.substr(0, 5) == "bayer") {
        rest.remove_prefix(5);
    }
    const std::optional<std::uint64_t> n = parse_decimal(rest.substr(0, rest.find('x')));
    if (!n) {
        return std::nullopt;
    }
    const std::string digits = std::to_string(*n);
    if (rest != digits && rest != digits + "x" + digits) {
        return std::nullopt;
    }
    if (!is_bayer_size(*n)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*n);
}

std::string bayer_name(std::size_t size) {
    return "bayer" + std::to_string(size) + "x" + std::to_string(size);
}

std::optional<DitherMethod> parse_dither_method(std::string_view text) {
    if (const DiffusionKernel* kernel = parse_method(text)) {
        return DitherMethod{DitherMethod::Family::diffusion, kernel, 0};
    }
    if (normalize(text) == "random") {
        return DitherMethod{DitherMethod::Family::random, nullptr, 0};
    }
    if (const std::optional<std::size_t> size = bayer_size_from_name(text)) {
        return DitherMethod{DitherMethod::Family::ordered, nullptr, *size};
    }
    return std::nullopt;
}

std::string method_names() {
    return join_list(diffusion_kernels(), [](std::string& out, const DiffusionKernel& kernel) {
        append_quoted_name(out, kernel.name);
    });
}

std::string bayer_names() {
    return join_list(bayer_sizes, [](std::string& out, std::size_t size) {
        append_quoted_name(out, bayer_name(size));
    });
}

std::string dither_method_names() {
    return method_names() + ", " + bayer_names() + ", 'random'";
}

}  // namespace tonalis
