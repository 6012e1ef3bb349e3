// The seed of an unseeded random dither, from the real-time clock.
#include "threshold/noise.hpp"

#include <time.h>

namespace tonalis {

std::uint64_t clock_seed() noexcept {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
        return NoiseGenerator::increment;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace tonalis
