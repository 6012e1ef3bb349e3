// The nine diffusion kernels, their weight rows, and the error-diffusion pixel loops.
#include "diffusion.hpp"

#include <algorithm>
#include <cassert>
#include <variant>

namespace tonalis {

namespace {

constexpr KernelTap floyd_steinberg_taps[] = {
    {1, 0, 7.0f},
    {-1, 1, 3.0f}, {0, 1, 5.0f}, {1, 1, 1.0f},
};
constexpr KernelTap false_floyd_steinberg_taps[] = {
    {1, 0, 3.0f},
    {0, 1, 3.0f}, {1, 1, 2.0f},
};
constexpr KernelTap jarvis_judice_ninke_taps[] = {
    {1, 0, 7.0f}, {2, 0, 5.0f},
    {-2, 1, 3.0f}, {-1, 1, 5.0f}, {0, 1, 7.0f}, {1, 1, 5.0f}, {2, 1, 3.0f},
    {-2, 2, 1.0f}, {-1, 2, 3.0f}, {0, 2, 5.0f}, {1, 2, 3.0f}, {2, 2, 1.0f},
};
constexpr KernelTap stucki_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-2, 2, 1.0f}, {-1, 2, 2.0f}, {0, 2, 4.0f}, {1, 2, 2.0f}, {2, 2, 1.0f},
};
constexpr KernelTap atkinson_taps[] = {
    {1, 0, 1.0f}, {2, 0, 1.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f}, {1, 1, 1.0f},
    {0, 2, 1.0f},
};
constexpr KernelTap burkes_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
};
constexpr KernelTap sierra_taps[] = {
    {1, 0, 5.0f}, {2, 0, 3.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 5.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-1, 2, 2.0f}, {0, 2, 3.0f}, {1, 2, 2.0f},
};
constexpr KernelTap sierra_two_row_taps[] = {
    {1, 0, 4.0f}, {2, 0, 3.0f},
    {-2, 1, 1.0f}, {-1, 1, 2.0f}, {0, 1, 3.0f}, {1, 1, 2.0f}, {2, 1, 1.0f},
};
constexpr KernelTap sierra_lite_taps[] = {
    {1, 0, 2.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f},
};

constexpr DiffusionKernel kernels[] = {
    {"floyd_steinberg", floyd_steinberg_taps, 16.0f},
    {"false_floyd_steinberg", false_floyd_steinberg_taps, 8.0f},
    {"jarvis_judice_ninke", jarvis_judice_ninke_taps, 48.0f},
    {"stucki", stucki_taps, 42.0f},
    {"atkinson", atkinson_taps, 8.0f},
    {"burkes", burkes_taps, 32.0f},
    {"sierra", sierra_taps, 32.0f},
    {"sierra_two_row", sierra_two_row_taps, 16.0f},
    {"sierra_lite", sierra_lite_taps, 4.0f},
};

static_assert(std::size(kernels) == 9);

constexpr float weight_sum(const DiffusionKernel& k) {
    float sum = 0.0f;
    for (const KernelTap& t : k.taps) sum += t.weight;
    return sum;
}

// Taps must fit the 3 x 8 weight window, reach only unvisited pixels, and be
// stored row by row, ascending and without repeats.
constexpr bool taps_well_formed(const DiffusionKernel& k) {
    for (std::size_t i = 0; i < k.taps.size(); ++i) {
        const KernelTap& t = k.taps[i];
        if (t.dy < 0 || t.dy > 2 || t.dx < -2 || t.dx > 2) return false;
        if (t.dy == 0 && t.dx <= 0) return false;
        if (i > 0) {
            const KernelTap& p = k.taps[i - 1];
            if (p.dy > t.dy || (p.dy == t.dy && p.dx >= t.dx)) return false;
        }
    }
    return !k.taps.empty();
}

constexpr bool all_kernels_valid() {
    for (const DiffusionKernel& k : kernels) {
        if (!taps_well_formed(k)) return false;
        // Every kernel but Atkinson passes on the whole error.
        const bool whole = k.name != "atkinson";
        if (whole && weight_sum(k) != k.divisor) return false;
    }
    return true;
}

static_assert(all_kernels_valid());
static_assert(weight_sum(kernels[4]) == 6.0f && kernels[4].divisor == 8.0f,
              "Atkinson passes on three quarters of the error");

constexpr std::size_t margin_left = 2;   // cells for column offsets -2, -1
constexpr std::size_t margin_total = 8;  // plus six on the right for offsets up to +5

std::size_t cells_per_row(const Img& img) noexcept { return img.width + margin_total; }

// The active kernel rows of one scan direction, gathered once per row so
// the pixel loop has no flag tests.
struct ActiveRows {
    const float* weights[3];
    std::size_t dy[3];
    std::size_t count;
};

ActiveRows active_rows(const KernelRows& rows, bool mirrored) noexcept {
    ActiveRows a{};
    for (std::size_t dy = 0; dy < 3; ++dy) {
        if (rows.row_active[dy]) {
            a.weights[a.count] = mirrored ? rows.mirrored[dy] : rows.forward[dy];
            a.dy[a.count] = dy;
            ++a.count;
        }
    }
    return a;
}

void rotate_rows(float*& e0, float*& e1, float*& e2, std::size_t row_floats) noexcept {
    std::fill_n(e0, row_floats, 0.0f);
    float* cleared = e0;
    e0 = e1;
    e1 = e2;
    e2 = cleared;
}

void diffuse_levels(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                    bool serpentine, float* scratch) noexcept {
    const std::size_t width = img.width;
    const std::size_t channels = img.channels;
    const std::size_t stride = img.row_samples();
    const std::size_t row_floats = cells_per_row(img);
    const bool two_levels = levels.count == 2;
    const float* to_work = space.to_work.data();
    const std::uint8_t* codes = levels.codes.data();
    const float* values = levels.values.data();
    const ActiveRows forward = active_rows(rows, false);
    const ActiveRows mirrored = active_rows(rows, true);

    for (std::size_t c = 0; c < channels; ++c) {
        if (img.alpha && *img.alpha == c) {
            continue;
        }
        // Each channel is its own gray plane: fresh error rows, parity from row 0.
        std::fill_n(scratch, 3 * row_floats, 0.0f);
        float* e[3] = {scratch, scratch + row_floats, scratch + 2 * row_floats};

        for (std::size_t y = 0; y < img.height; ++y) {
            const bool right_to_left = serpentine && (y & 1) != 0;
            const ActiveRows& active = right_to_left ? mirrored : forward;
            float* targets[3] = {e[active.dy[0]], e[active.dy[1]], e[active.dy[2]]};
            const float* cur = e[0] + margin_left;
            std::uint8_t* samples = img.data.data() + y * stride + c;

            auto visit = [&](std::size_t x) {
                std::uint8_t& sample = samples[x * channels];
                const float v = to_work[sample] + cur[x];
                std::size_t i;
                if (two_levels) {
                    i = v >= 127.5f ? 1 : 0;
                } else {
                    i = nearest_level(levels, v);
                }
                sample = codes[i];
                const float err = v - values[i];
                for (std::size_t r = 0; r < active.count; ++r) {
                    float* cell = targets[r] + x;
                    const float* w = active.weights[r];
                    for (std::size_t col = 0; col < 8; ++col) {
                        cell[col] = cell[col] + w[col] * err;
                    }
                }
            };

            if (right_to_left) {
                for (std::size_t x = width; x-- > 0;) visit(x);
            } else {
                for (std::size_t x = 0; x < width; ++x) visit(x);
            }
            rotate_rows(e[0], e[1], e[2], row_floats);
        }
    }
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     bool serpentine, float* scratch) noexcept {
    // Colour pixels only; intake never pairs a palette with fewer channels.
    if (img.channels < 3) {
        return;
    }
    const std::size_t width = img.width;
    const std::size_t channels = img.channels;
    const std::size_t stride = img.row_samples();
    const std::size_t row_floats = 3 * cells_per_row(img);
    const float* to_work = space.to_work.data();
    const ActiveRows forward = active_rows(rows, false);
    const ActiveRows mirrored = active_rows(rows, true);

    std::fill_n(scratch, 3 * row_floats, 0.0f);
    float* e[3] = {scratch, scratch + row_floats, scratch + 2 * row_floats};

    for (std::size_t y = 0; y < img.height; ++y) {
        const bool right_to_left = serpentine && (y & 1) != 0;
        const ActiveRows& active = right_to_left ? mirrored : forward;
        float* targets[3] = {e[active.dy[0]], e[active.dy[1]], e[active.dy[2]]};
        const float* cur = e[0] + 3 * margin_left;
        std::uint8_t* pixels = img.data.data() + y * stride;

        auto visit = [&](std::size_t x) {
            std::uint8_t* px = pixels + x * channels;
            const float* err_in = cur + 3 * x;
            const Color v = {to_work[px[0]] + err_in[0], to_work[px[1]] + err_in[1],
                             to_work[px[2]] + err_in[2]};
            const std::size_t j = nearest_color(palette, v);
            const Rgb& out = palette.rgb[j];
            px[0] = out[0];
            px[1] = out[1];
            px[2] = out[2];
            const Color& chosen = palette.colors[j];
            const float err[3] = {v[0] - chosen[0], v[1] - chosen[1], v[2] - chosen[2]};
            for (std::size_t r = 0; r < active.count; ++r) {
                float* cell = targets[r] + 3 * x;
                const float* w = active.weights[r];
                for (std::size_t col = 0; col < 8; ++col) {
                    cell[3 * col + 0] = cell[3 * col + 0] + w[col] * err[0];
                    cell[3 * col + 1] = cell[3 * col + 1] + w[col] * err[1];
                    cell[3 * col + 2] = cell[3 * col + 2] + w[col] * err[2];
                }
            }
        };

        if (right_to_left) {
            for (std::size_t x = width; x-- > 0;) visit(x);
        } else {
            for (std::size_t x = 0; x < width; ++x) visit(x);
        }
        rotate_rows(e[0], e[1], e[2], row_floats);
    }
}

}  // namespace

std::span<const DiffusionKernel> diffusion_kernels() noexcept { return kernels; }

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept {
    KernelRows rows{};
    for (const KernelTap& tap : kernel.taps) {
        assert(tap.dy >= 0 && tap.dy <= 2 && tap.dx >= -2 && tap.dx <= 2);
        const float q = tap.weight / kernel.divisor;
        const float w = q * scale;
        const auto dy = static_cast<std::size_t>(tap.dy);
        rows.forward[dy][static_cast<std::size_t>(tap.dx + 2)] = w;
        rows.mirrored[dy][static_cast<std::size_t>(2 - tap.dx)] = w;
        // NaN compares unequal to zero and so marks its row active.
        if (w != 0.0f) {
            rows.row_active[dy] = true;
        }
    }
    return rows;
}

std::size_t diffusion_scratch_floats(const Img& img, const Target& target) noexcept {
    const std::size_t floats_per_cell = std::holds_alternative<Palette>(target) ? 3 : 1;
    return 3 * floats_per_cell * cells_per_row(img);
}

void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch) noexcept {
    const KernelRows rows = kernel_rows(kernel, strength);
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        diffuse_palette(img, *palette, space, rows, serpentine, scratch);
    } else if (const Levels* levels = std::get_if<Levels>(&target)) {
        diffuse_levels(img, *levels, space, rows, serpentine, scratch);
    }
}

}  // namespace tonalis
