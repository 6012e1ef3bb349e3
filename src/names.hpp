// The loose comparison of method and matrix names, and method-name resolution.
#pragma once

#include <string>
#include <string_view>

#include "diffusion.hpp"

namespace tonalis {

// ASCII capitals lowered; spaces, hyphens and low lines dropped; every
// other character kept. May throw std::bad_alloc.
std::string normalize(std::string_view text);

// The kernel whose name or alias the text normalises to, or nullptr.
// Allocates nothing and cannot fail.
const DiffusionKernel* parse_method(std::string_view text) noexcept;

}  // namespace tonalis
