// Riemersma dither: error diffusion along a Hilbert curve with a short, fading history.
#pragma once

#include <cstddef>
#include <cstdint>

#include "colour.hpp"
#include "image.hpp"
#include "prepared.hpp"

namespace tonalis {

inline constexpr std::size_t max_riemersma_history = 256;

// Receives the next n pixel indices of a path.
using PathSink = void (*)(void* context, const std::uint32_t* indices, std::size_t n) noexcept;

// Hands `sink` the pixel indices (y * width + x) in the order of a
// generalised Hilbert curve covering the whole rectangle, a chunk at a
// time: every pixel once, each step to a neighbour (a diagonal step can
// occur when a side is odd). Recursion depth is logarithmic. `scratch`
// holds hilbert_scratch_entries() entries, whatever the size.
std::size_t hilbert_scratch_entries() noexcept;
void hilbert_path(std::size_t width, std::size_t height, std::uint32_t* scratch, PathSink sink,
                  void* context) noexcept;

// Scratch for an image and history length: the path's, then the history
// (oversized when the count does not fit in a size).
std::size_t riemersma_path_entries(const Img& img) noexcept;
std::size_t riemersma_history_floats(std::size_t history) noexcept;

// Rewrite img.data in place, visiting pixels along hilbert_path. The value
// quantized is the pixel plus the weighted sum of the last `history`
// errors (working value minus output), the most recent weighted most, the
// oldest `ratio` times as much, the weights summing to 1 so that every
// error is passed on whole. The sum is carried from pixel to pixel (see
// riemersma.cpp) and recomputed every 1024 pixels. Levels per channel (the kept channel untouched)
// or the palette colour chosen by `match`. `strength` scales the errors.
// Run without the interpreter; cannot fail.
void riemersma_dither(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                      float strength, std::size_t history, float ratio, std::uint32_t* path,
                      float* history_rows) noexcept;

}  // namespace tonalis
