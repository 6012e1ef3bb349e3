// Error diffusion whose three weights depend on the input level, with optional threshold
// modulation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image.hpp"
#include "space.hpp"

namespace tonalis {

// One row of a weight table: the shares of the error passed to the next
// pixel along the row, to the one below and behind, and to the one below,
// as integers over their sum.
struct VariableWeights {
    std::int64_t next;
    std::int64_t below_behind;
    std::int64_t below;
};

enum class VariableKind : std::uint8_t { ostromoukhov = 0, zhou_fang = 1 };

// Levels 0..127 of the two published tables (128..255 mirror them).
const std::array<VariableWeights, 128>& ostromoukhov_table() noexcept;
// The key levels of the threshold-modulated method and their weights; the
// rows between two keys interpolate their normalised weights linearly.
struct KeyWeights {
    int level;
    VariableWeights weights;
};
const std::array<KeyWeights, 18>& zhou_fang_keys() noexcept;
// Threshold modulation strength in percent for levels 0..127.
const std::array<std::uint8_t, 128>& zhou_fang_strengths() noexcept;

// The three normalised weights of every level 0..255, in single precision.
using WeightRows = std::array<std::array<float, 3>, 256>;
WeightRows weight_rows(VariableKind kind) noexcept;

// Scratch floats for an image: the row walker's ring of error rows
// (diffusion/rows.hpp) for one thread (oversized when the count does not
// fit in a size).
std::size_t variable_scratch_floats(const Img& img) noexcept;

// Rewrite img.data in place with `levels` per channel (the kept channel
// untouched), serpentine, the weights chosen per pixel by where its input
// lies between its two neighbouring levels. Zhou-Fang moves the threshold
// between the two levels up by a share of the step drawn from the pixel's
// position and `seed`. `strength` scales the error passed on. Run without
// the interpreter; cannot fail.
void variable_diffuse(Img& img, const Levels& levels, const Space& space, float strength,
                      VariableKind kind, std::uint64_t seed, float* scratch) noexcept;

}  // namespace tonalis
