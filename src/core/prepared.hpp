// What a dither call has once its arguments are validated: image, target, space, strength.
#pragma once

#include <variant>

#include "image.hpp"
#include "palette.hpp"
#include "space.hpp"

namespace tonalis {

// What pixels are quantized to: levels per channel, or a palette.
using Target = std::variant<Levels, Palette>;

struct Prepared {
    Img img;
    Target target;
    Space space;
    float strength = 1.0f;  // in [0, 1]
};

}  // namespace tonalis
