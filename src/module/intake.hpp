// Validation of the common options and intake of the caller's image into the working image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "prepared.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// The form the caller's image came in, which the result takes again.
struct Origin {
    int ndim = 2;                         // of the array received: 2 or 3
    std::optional<std::string> pil_mode;  // "L", "LA", "RGB" or "RGBA" for a PIL image
};

// Validates strength, levels, the levels/palette choice, the palette and
// the image, in that order; copies the pixels into a private working image
// (on up to `copy_threads` threads, the interpreter held) and builds the
// space and target, and fills in `origin`. Nothing in the result refers to
// a caller's object. nullopt with an exception set on failure. May throw
// std::bad_alloc.
std::optional<Prepared> prepare(PyObject* image, std::uint32_t levels, PyObject* palette,
                                bool linear, bool preserve_alpha, float strength, Origin& origin,
                                std::size_t copy_threads = 1);

// The interpreter's raw allocator: usable while detached, seen by tracemalloc.
inline constexpr RawAllocator interpreter_allocator{
    [](std::size_t bytes) -> void* { return PyMem_RawMalloc(bytes); },
    [](void* block) { PyMem_RawFree(block); },
};

// The code points of a str (lone surrogates included). May throw std::bad_alloc.
std::u32string code_points(PyObject* text);

}  // namespace tonalis::py
