// Ordered and random dither with per-pixel strength and a choice of colour distance.
//
// Pixel by pixel, with the plain engines' arithmetic: a pixel's shift in
// [-0.5, 0.5) (scaled by its strength when there is a mask) times the
// amplitude is added to its working value, which is then quantized.
#include "threshold/refined.hpp"

#include <variant>

#include "threshold/shifts.hpp"

namespace tonalis {

namespace {

template <class Shifts>
void threshold_pass(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                    float strength, Shifts shifts, const Extras& extras) noexcept {
    const float* to_work = space.to_work.data();
    const std::size_t channels = img.channels;
    std::uint8_t* px = img.data.data();
    const Palette* palette = std::get_if<Palette>(&target);
    if (palette != nullptr && (channels < 3 || match == nullptr)) {
        return;
    }
    const Levels* levels = std::get_if<Levels>(&target);
    const std::size_t kept = img.kept_channel();
    // Shift amplitudes: per level step, or per colour channel of the palette.
    const float amplitude = levels != nullptr ? strength * levels->step : 0.0f;
    Color spread{};
    if (palette != nullptr) {
        for (std::size_t c = 0; c < 3; ++c) {
            spread[c] = strength * palette->spread[c];
        }
    }
    for (std::size_t y = 0; y < img.height; ++y) {
        shifts.begin_row(y);
        for (std::size_t x = 0; x < img.width; ++x, px += channels) {
            float s = shifts.next();
            if (extras.mask != nullptr) {
                s = s * strength_of(extras.mask + y * img.width + x);
            }
            if (levels != nullptr) {
                const float d = s * amplitude;
                for (std::size_t c = 0; c < channels; ++c) {
                    if (c != kept) {
                        px[c] = levels->codes[nearest_level(*levels, to_work[px[c]] + d)];
                    }
                }
            } else {
                const Quad v = {to_work[px[0]] + spread[0] * s, to_work[px[1]] + spread[1] * s,
                                to_work[px[2]] + spread[2] * s, 0.0f};
                const Rgb& out = palette->rgb[match->nearest(match->coordinates(v))];
                px[0] = out[0];
                px[1] = out[1];
                px[2] = out[2];
            }
        }
    }
}

}  // namespace

void ordered_extras(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                    float strength, const ThresholdMatrix& matrix, const Extras& extras) noexcept {
    if (matrix.width == 0 || matrix.height == 0) {
        return;
    }
    threshold_pass(img, target, match, space, strength, MatrixShift(matrix), extras);
}

void random_extras(Img& img, const Target& target, const ColourMatch* match, const Space& space,
                   float strength, std::uint64_t seed, const Extras& extras) noexcept {
    threshold_pass(img, target, match, space, strength, NoiseShift(seed, 0), extras);
}

}  // namespace tonalis
