// The instruction-set targets of the vector engines: each per-target body compiled once per target,
// and the one way to pick a variant.
//
// Code that gains from wider vectors is written once and compiled for every
// target by including this header a second time, at global scope, with the
// body named. Most bodies are the source file itself, which includes itself
// once per target:
//
//     #if !defined(TONALIS_TARGET)          // compiled once
//     #include ...                          // what the file uses
//     #define TONALIS_TARGET_BODY "diffusion/levels.cpp"
//     #include "targets.hpp"
//     ... the dispatchers ...
//     #else                                 // compiled once per target
//     ... the passes ...
//     #endif
//
// A body shared by several files is a header in the same form
// (diffusion/rows.hpp, threshold/palette_passes.hpp, the searches of search/):
// included at global scope it brings in what it uses, included inside a
// target's namespace it defines that target's copy once, behind a guard of
// its own per target. Either way every file compiles with its own includes.
//
// which puts one copy of the body in each of tonalis::target_baseline,
// target_avx2 and target_avx512, with TONALIS_TARGET set to 0, 1 and 2 and
// the matching instruction set enabled. TONALIS_DISPATCH(f) is then the
// copy of f for the widest target the processor offers and the ceiling
// allows (machine.hpp); TONALIS_DISPATCH_WIDE(f) the same for a function
// the body defines only from AVX2 on, null on the baseline. A body that
// gains nothing from AVX-512 over AVX2 is compiled for the first two only,
// with TONALIS_TARGET_WIDEST defined as 1, and picked by
// TONALIS_DISPATCH_TO_AVX2(f). A file that wants only the baseline copy of
// a shared body (the row walker, for a pass that gains nothing from wider
// vectors) defines it as 0 and calls target_baseline:: directly.
//
// Only functions whose benchmark rows show a gain get a body here; the rest
// of the engines is compiled once, for the baseline.
//
// The wider targets are x86-64's. Elsewhere (TONALIS_X86_64 is 0) only the
// baseline copy exists, in plain vector extensions: the dispatch macros
// name it, and TONALIS_DISPATCH_WIDE gives a stand-in equal to nullptr.
// TONALIS_BASELINE_ONLY (defined by the ThreadSanitizer build, whose races
// do not depend on the instruction set) leaves the wider copies out on
// x86-64 as well: TONALIS_WIDE_TARGETS says whether they exist.

#ifndef TONALIS_CORE_TARGETS_HPP
#define TONALIS_CORE_TARGETS_HPP

#if defined(__x86_64__)
#define TONALIS_X86_64 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define TONALIS_X86_64 0
#endif
#if TONALIS_X86_64 && !defined(TONALIS_BASELINE_ONLY)
#define TONALIS_WIDE_TARGETS 1
#else
#define TONALIS_WIDE_TARGETS 0
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#include "machine.hpp"

namespace tonalis {

#if TONALIS_X86_64
// The operating system's extended-state mask (XCR0): which registers it
// saves on a context switch. xgetbv by its bytes, which every assembler
// takes without -mxsave.
inline std::uint64_t saved_state() noexcept {
    std::uint32_t low = 0, high = 0;
    __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}
#endif

// The widest target this processor runs and its operating system saves
// the registers of, whatever the ceiling: from cpuid and XCR0 directly,
// not the compiler's runtime (zig's static musl runtime answers "none" to
// every feature). The AVX2 copies need AVX2; the AVX-512 ones F, DQ, BW
// and VL with the mask and upper registers saved. macOS saves the AVX-512
// registers from their first use on and shows them in XCR0 only then, so
// there AVX state is taken to cover them, as its own runtime does.
inline VectorIsa processor_isa() noexcept {
#if TONALIS_X86_64
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_count(1, 0, &a, &b, &c, &d) == 0) {
        return VectorIsa::baseline;
    }
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & osxsave) == 0 || (c & avx) == 0) {
        return VectorIsa::baseline;
    }
    const std::uint64_t state = saved_state();
    constexpr std::uint64_t vector_state = 0x6;  // XMM and YMM
    if ((state & vector_state) != vector_state || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return VectorIsa::baseline;
    }
#if defined(__APPLE__)
    const bool wide_saved = true;
#else
    constexpr std::uint64_t wide_state = 0xE0;  // opmask, ZMM0-15 upper halves, ZMM16-31
    const bool wide_saved = (state & wide_state) == wide_state;
#endif
    constexpr unsigned avx2 = 1u << 5, avx512f = 1u << 16, avx512dq = 1u << 17, avx512bw = 1u << 30,
                       avx512vl = 1u << 31;
    constexpr unsigned avx512 = avx512f | avx512dq | avx512bw | avx512vl;
    if (wide_saved && (b & avx512) == avx512) {
        return VectorIsa::avx512;
    }
    if ((b & avx2) != 0) {
        return VectorIsa::avx2;
    }
#endif
    return VectorIsa::baseline;
}

#if TONALIS_WIDE_TARGETS

// The variant of a routine for the widest target in use.
template <class F>
F pick_target(F baseline, F avx2, F avx512) noexcept {
    switch (vector_isa()) {
        case VectorIsa::avx512: return avx512;
        case VectorIsa::avx2: return avx2;
        default: return baseline;
    }
}

#else

// What TONALIS_DISPATCH_WIDE gives where no wide target exists: equal to
// nullptr, so callers take their other path and never call it.
struct NoWideVariant {
    friend constexpr bool operator==(NoWideVariant, std::nullptr_t) noexcept { return true; }
    template <class... Args>
    [[noreturn]] void operator()(Args&&...) const noexcept {
        __builtin_trap();
    }
};

#endif

}  // namespace tonalis

// Variadic, so that a template's arguments may hold commas.
#if TONALIS_WIDE_TARGETS
#define TONALIS_DISPATCH(...)                                                         \
    (::tonalis::pick_target(&target_baseline::__VA_ARGS__, &target_avx2::__VA_ARGS__, \
                            &target_avx512::__VA_ARGS__))
#define TONALIS_DISPATCH_TO_AVX2(...)                                                 \
    (::tonalis::pick_target(&target_baseline::__VA_ARGS__, &target_avx2::__VA_ARGS__, \
                            &target_avx2::__VA_ARGS__))
#define TONALIS_DISPATCH_WIDE(f) \
    (::tonalis::pick_target<decltype(&target_avx2::f)>(nullptr, &target_avx2::f, &target_avx512::f))
#else
#define TONALIS_DISPATCH(...) (&target_baseline::__VA_ARGS__)
#define TONALIS_DISPATCH_TO_AVX2(...) (&target_baseline::__VA_ARGS__)
#define TONALIS_DISPATCH_WIDE(f) (::tonalis::NoWideVariant{})
#endif

#endif  // TONALIS_CORE_TARGETS_HPP

#ifdef TONALIS_TARGET_BODY

// Wide vectors are passed only between inlined helpers, never across a
// call, so the baseline's different vector-passing convention does not
// matter. g++ reports it at the end of the file, so the warning stays off
// for the rest of any file that includes a body (clang++ takes the same
// pragma).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tonalis::target_baseline {
namespace {
#define TONALIS_TARGET 0
#include TONALIS_TARGET_BODY
#undef TONALIS_TARGET
}  // namespace
}  // namespace tonalis::target_baseline

// g++ takes a target pragma for a stretch of code; clang++ ignores it and
// takes an attribute applied to every function declared in the stretch
// (lambdas included).
#if TONALIS_WIDE_TARGETS && (!defined(TONALIS_TARGET_WIDEST) || TONALIS_TARGET_WIDEST >= 1)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace tonalis::target_avx2 {
namespace {
#define TONALIS_TARGET 1
#include TONALIS_TARGET_BODY
#undef TONALIS_TARGET
}  // namespace
}  // namespace tonalis::target_avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if !defined(TONALIS_TARGET_WIDEST) || TONALIS_TARGET_WIDEST >= 2
#if defined(__clang__)
// clang-format off
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))), apply_to = function)
// clang-format on
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#endif
namespace tonalis::target_avx512 {
namespace {
#define TONALIS_TARGET 2
#include TONALIS_TARGET_BODY
#undef TONALIS_TARGET
}  // namespace
}  // namespace tonalis::target_avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
#endif  // TONALIS_WIDE_TARGETS

#undef TONALIS_TARGET_BODY
#undef TONALIS_TARGET_WIDEST

#endif  // TONALIS_TARGET_BODY
