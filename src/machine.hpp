// What the processor offers the engines: its vector instruction set and its cores.
#pragma once

#include <cstddef>

namespace tonalis {

// Vector instruction sets the engines are built for, widest last. Every
// level computes the same bits; only the speed differs.
enum class VectorIsa : int { baseline = 0, avx2 = 1, avx512 = 2 };

// The widest level this processor and operating system support, no higher
// than the ceiling (the widest level by default).
VectorIsa vector_isa() noexcept;

// The one of three variants of a routine built for the widest level in use.
template <class F>
F by_isa(F baseline, F avx2, F avx512) noexcept {
    switch (vector_isa()) {
        case VectorIsa::avx512:
            return avx512;
        case VectorIsa::avx2:
            return avx2;
        default:
            return baseline;
    }
}

// Lowers (or restores) the widest level the engines may pick, so that a
// check program can run every code path on one machine and compare them.
void set_vector_isa_ceiling(VectorIsa ceiling) noexcept;

// Online processors, at least 1, at most max_workers and at most the
// ceiling (max_workers by default).
inline constexpr std::size_t max_workers = 8;
std::size_t worker_count() noexcept;

// Lowers (or restores) the number of threads an engine call may use, so
// that a check program can compare thread counts.
void set_worker_ceiling(std::size_t ceiling) noexcept;

// Runs task(context, part) once for every part in [0, parts), on up to
// `parts` threads; returns when all are done. Part 0 runs on the calling
// thread; a part whose thread cannot be started runs there too, so the
// work always completes. Parts must write disjoint memory.
void run_parts(std::size_t parts, void (*task)(void* context, std::size_t part),
               void* context) noexcept;

// The same with any callable taking the part number.
template <class F>
void run_parts(std::size_t parts, F& task) noexcept {
    run_parts(
        parts, [](void* context, std::size_t part) { (*static_cast<F*>(context))(part); }, &task);
}

}  // namespace tonalis
