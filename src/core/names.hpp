// Method and matrix names: their loose comparison, resolution and the lists of valid names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "diffusion/kernels.hpp"

namespace tonalis {

// The kernel whose name or alias the text normalises to, or nullptr.
// Normalising lowers ASCII capitals and drops spaces, hyphens and low
// lines. Allocates nothing and cannot fail.
const DiffusionKernel* parse_method(std::string_view text) noexcept;

// The Bayer size a matrix name stands for ("bayer8x8", "Bayer 8x8", "8x8",
// "8", ...), or nothing. May throw std::bad_alloc.
std::optional<std::size_t> bayer_size_from_name(std::string_view text);

// "bayer8x8" for 8.
std::string bayer_name(std::size_t size);

// What a `dither` method selects: an error-diffusion kernel, first; else
// random dither; else a Bayer matrix.
struct DitherMethod {
    enum class Family { diffusion, random, ordered };
    Family family;
    const DiffusionKernel* kernel = nullptr;  // diffusion
    std::size_t bayer_size = 0;               // ordered
};

// The method a `dither` method name selects, or nothing. May throw
// std::bad_alloc.
std::optional<DitherMethod> parse_dither_method(std::string_view text);

// The valid names as messages list them: "'floyd_steinberg', ...",
// "'bayer2x2', ...", and all the `dither` methods. May throw std::bad_alloc.
std::string method_names();
std::string bayer_names();
std::string dither_method_names();

}  // namespace tonalis
