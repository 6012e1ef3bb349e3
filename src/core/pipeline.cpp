// The slow paths of RowProgress: spinning, blocking and waking.
#include "pipeline.hpp"

#include "machine.hpp"

namespace tonalis {

namespace {

// A few microseconds, less than a row of a large image takes: a producer
// that is running catches up within it, one that lost its processor does
// not. The loop has no pause instruction: in virtual machines a run of
// pauses makes the hypervisor take the processor away, and the producer's
// next publication then waits for it to come back.
constexpr int spin_rounds = 4096;

}  // namespace

void RowProgress::ring() noexcept {
    waiting.store(false, std::memory_order_relaxed);
    bell.fetch_add(1, std::memory_order_release);
    wake_all(bell);
}

std::uint64_t RowProgress::wait_slow(std::uint64_t need) noexcept {
    for (int i = 0; i < spin_rounds; ++i) {
        const std::uint64_t now = position.load(std::memory_order_acquire);
        if (now >= need) {
            return now;
        }
    }
    for (;;) {
        const std::uint32_t heard = bell.load(std::memory_order_acquire);
        // Say so first, then look again: either the publisher sees the flag
        // and rings, or this load sees its position (both are sequentially
        // consistent, so they cannot both miss; an exchange for the reason
        // publish gives).
        waiting.exchange(true, std::memory_order_seq_cst);
        const std::uint64_t now = position.load(std::memory_order_seq_cst);
        if (now >= need) {
            waiting.store(false, std::memory_order_relaxed);
            return now;
        }
        wait_while(bell, heard);
    }
}

}  // namespace tonalis
