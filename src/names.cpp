// Loose name comparison and the alias table that resolves error-diffusion methods.
#include "names.hpp"

#include <algorithm>
#include <cstddef>

namespace tonalis {

namespace {

constexpr bool is_dropped(char ch) noexcept { return ch == ' ' || ch == '-' || ch == '_'; }

constexpr char lowered(char ch) noexcept {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

struct Alias {
    std::string_view text;    // already normalised
    std::size_t kernel;       // index into diffusion_kernels(), listing order
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
        if (a.text.empty() || a.kernel >= 9) return false;
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

}  // namespace

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

}  // namespace tonalis
