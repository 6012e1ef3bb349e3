// Rows in flight on several threads at once: the progress each row publishes and the waits on it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tonalis {

// One thread's progress along its rows, on a cache line of its own. The
// value only grows: the caller encodes (row, pixels done) as one position,
// so a reader asking about an earlier row is answered as soon as the
// thread has moved past it. Every store is a release: what the thread
// wrote before publishing a position is visible to whoever waits for it.
//
// One thread publishes, one other thread waits. A waiter spins briefly
// and then blocks; the publisher wakes it only when it has said that it
// blocks, so publishing costs one store and one load when nobody waits.
struct alignas(64) RowProgress {
    std::atomic<std::uint64_t> position{0};
    std::atomic<std::uint32_t> bell{0};
    std::atomic<bool> waiting{false};

    void publish(std::uint64_t done) noexcept {
        // An exchange, not a store: a sequentially consistent store and the
        // load after it may pass each other where a processor is emulated
        // (user-mode QEMU runs aarch64's store-release and load-acquire on
        // x86 as plain moves, with no barrier between them), and the waiter
        // then sleeps for good. On x86 the store is this very instruction.
        position.exchange(done, std::memory_order_seq_cst);
        if (waiting.load(std::memory_order_seq_cst)) {
            ring();
        }
    }

    // Returns a position at least `need` (the latest seen).
    std::uint64_t wait_for(std::uint64_t need) noexcept {
        const std::uint64_t now = position.load(std::memory_order_acquire);
        return now >= need ? now : wait_slow(need);
    }

private:
    void ring() noexcept;
    std::uint64_t wait_slow(std::uint64_t need) noexcept;
};

static_assert(sizeof(RowProgress) == 64);

// How a pipelined pass runs: the threads, how often each publishes its
// progress, and how far a row trails the one above. A pass is only
// correct with the lag of its kernel; the core's tests set a shorter one,
// and a pause at every publication, to show that their checks would see
// the difference.
struct PipelineSettings {
    std::size_t threads = 1;
    std::size_t chunk = 256;  // pixels between publications
    std::size_t lag_cut = 0;  // pixels taken off the kernel's lag (tests only)
    void (*pause)(void* context, std::size_t row) = nullptr;
    void* context = nullptr;
};

}  // namespace tonalis
