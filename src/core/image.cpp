// The copy of a caller's samples into the working image.
#include "image.hpp"

#include <algorithm>
#include <cstring>

#include "checked_size.hpp"
#include "machine.hpp"

namespace tonalis {

namespace {

// Rows [y0, y1) of the copy.
void copy_rows(const Img& img, const SampleSource& source, std::size_t y0,
               std::size_t y1) noexcept {
    const std::size_t row = img.row_samples();
    const auto pixel_bytes = static_cast<std::ptrdiff_t>(img.channels);
    const std::uint8_t* from = source.data + static_cast<std::ptrdiff_t>(y0) * source.row_stride;
    std::uint8_t* to = img.data.data() + y0 * row;
    const bool packed_pixels =
        source.pixel_stride == pixel_bytes && (img.channels == 1 || source.channel_stride == 1);
    if (packed_pixels && source.row_stride == static_cast<std::ptrdiff_t>(row)) {
        std::memcpy(to, from, (y1 - y0) * row);
        return;
    }
    for (std::size_t y = y0; y < y1; ++y, from += source.row_stride, to += row) {
        if (packed_pixels) {
            std::memcpy(to, from, row);
            continue;
        }
        std::uint8_t* out = to;
        for (std::size_t x = 0; x < img.width; ++x) {
            const std::uint8_t* pixel = from + static_cast<std::ptrdiff_t>(x) * source.pixel_stride;
            for (std::size_t c = 0; c < img.channels; ++c) {
                *out++ = pixel[static_cast<std::ptrdiff_t>(c) * source.channel_stride];
            }
        }
    }
}

// Each thread copies at least this many bytes: starting one costs tens of
// microseconds, which copy about a megabyte.
constexpr std::size_t copy_bytes_per_thread = std::size_t{1} << 21;

}  // namespace

void copy_samples(const Img& img, const SampleSource& source, std::size_t threads) noexcept {
    const std::size_t bytes = img.pixel_count() * img.channels;
    const std::size_t parts =
        std::min({threads, img.height, std::max<std::size_t>(1, bytes / copy_bytes_per_thread)});
    if (parts <= 1) {
        copy_rows(img, source, 0, img.height);
        return;
    }
    auto task = [&](std::size_t part) {
        copy_rows(img, source, part_start(img.height, part, parts),
                  part_start(img.height, part + 1, parts));
    };
    run_parts(parts, task);
}

}  // namespace tonalis
