// What the processor offers the engines: its vector instruction set and its cores.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tonalis {

// Vector instruction sets the engines are built for (targets.hpp), widest
// last. Every level computes the same bits; only the speed differs.
enum class VectorIsa : int { baseline = 0, avx2 = 1, avx512 = 2 };

// The widest level this processor and operating system support, no higher
// than the ceiling (the widest level by default).
VectorIsa vector_isa() noexcept;

// Sets the widest level the engines may pick (the widest by default); the
// module sets it once, from the TONALIS_ISA switch, when it is imported.
void set_vector_isa_ceiling(VectorIsa ceiling) noexcept;

// Threads one engine call may use, at least 1 and at most max_workers: the
// count set_worker_ceiling chose, else the processors this process may run
// on.
inline constexpr std::size_t max_workers = 8;
std::size_t worker_count() noexcept;

// Sets the most threads one engine call may use, up to max_workers, even
// beyond the processors (as OMP_NUM_THREADS does); 0 counts as 1, which
// means no worker threads. The module sets it once, from the
// TONALIS_NUM_THREADS switch, when it is imported.
void set_worker_ceiling(std::size_t ceiling) noexcept;

// Threads for work whose threads wait for each other (the row pipeline of
// error diffusion): worker_count() once the user has set the ceiling; else
// as many of the usable processors as no other work keeps busy (by the
// system's load average and, on Linux, the threads ready to run now), and 1
// where the system tells neither. A pipeline gains on idle processors but stalls whenever
// another process takes one of them (every row waits for the one above),
// which split work does not: on two processors busy with three other
// programs a pipelined 256-colour Floyd-Steinberg took 3.8 times as long
// as one thread.
std::size_t pipeline_worker_count() noexcept;

// Reads Linux's /proc/loadavg text, "A.AA B.BB C.CC R/T ...": the load
// average over the last minute, and R, the threads running or ready to run
// now (the reader among them). False when the text is not of that form.
bool parse_loadavg(const char* text, double& minute, double& running) noexcept;

// Blocks the calling thread while `word` holds `seen`, as
// word.wait(seen, std::memory_order_acquire) does; wake_all wakes every
// thread blocked on `word`. On Windows these are the system's own address
// waits: MinGW's C++ library can lose a wake-up there, and a team or a row
// pipeline then never finishes.
void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept;
void wake_all(std::atomic<std::uint32_t>& word) noexcept;

// A block of `bytes` at a multiple of `alignment` (a power of two, at least
// the size of a pointer, dividing `bytes`), or null when there is no room.
// It must be given back to free_aligned, not to std::free: some systems'
// aligned blocks are not the C library's.
void* allocate_aligned(std::size_t alignment, std::size_t bytes) noexcept;
void free_aligned(void* block) noexcept;

// Runs task(context, part) once for every part in [0, parts), on up to
// `parts` threads; returns when all are done. Part 0 runs on the calling
// thread; a part whose thread cannot be started runs there too, so the
// work always completes. Parts must write disjoint memory.
void run_parts(std::size_t parts, void (*task)(void* context, std::size_t part),
               void* context) noexcept;

// Runs task(context, member, team) once for every member of a team of up
// to `wanted` threads that all run at the same time, as parts that wait
// for each other need; the calling thread is member 0. When a thread
// cannot be started the team is smaller (1 at the least); every member
// learns its size before it starts.
void run_team(std::size_t wanted, void (*task)(void* context, std::size_t member, std::size_t team),
              void* context) noexcept;

template <class F>
void run_team(std::size_t wanted, F& task) noexcept {
    run_team(
        wanted,
        [](void* context, std::size_t member, std::size_t team) {
            (*static_cast<F*>(context))(member, team);
        },
        &task);
}

// The same with any callable taking the part number.
template <class F>
void run_parts(std::size_t parts, F& task) noexcept {
    run_parts(
        parts, [](void* context, std::size_t part) { (*static_cast<F*>(context))(part); }, &task);
}

}  // namespace tonalis
