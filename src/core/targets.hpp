// The instruction-set targets of the vector engines: each per-target body compiled once per target,
// and the one way to pick a variant.
//
// Code that gains from wider vectors is written once, in a body file that
// includes no headers (the including file provides them), and compiled for
// every target by including this header a second time, at global scope,
// with the body named:
//
//     #define TONALIS_TARGET_BODY "threshold_passes.ipp"
//     #include "targets.hpp"
//
// which puts one copy of the body in each of tonalis::target_baseline,
// target_avx2 and target_avx512, with TONALIS_TARGET set to 0, 1 and 2 and
// the matching instruction set enabled. TONALIS_DISPATCH(f) is then the
// copy of f for the widest target the processor offers and the ceiling
// allows (machine.hpp); TONALIS_DISPATCH_WIDE(f) the same for a function
// the body defines only from AVX2 on, null on the baseline. A body that
// gains nothing from AVX-512 over AVX2 is compiled for the first two only,
// with TONALIS_TARGET_WIDEST defined as 1, and picked by
// TONALIS_DISPATCH_TO_AVX2(f).
//
// Only functions whose benchmark rows show a gain get a body here; the rest
// of the engines is compiled once, for the baseline.
//
// The wider targets are x86-64's. Elsewhere (TONALIS_X86_64 is 0) only the
// baseline copy exists, in plain vector extensions: the dispatch macros
// name it, and TONALIS_DISPATCH_WIDE gives a stand-in equal to nullptr.

#ifndef TONALIS_CORE_TARGETS_HPP
#define TONALIS_CORE_TARGETS_HPP

#if defined(__x86_64__)
#define TONALIS_X86_64 1
#include <immintrin.h>
#else
#define TONALIS_X86_64 0
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#include "machine.hpp"

namespace tonalis {

// The widest target this processor runs, whatever the ceiling. The
// library's probe also checks that the operating system saves the wide
// registers.
inline VectorIsa processor_isa() noexcept {
#if TONALIS_X86_64
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
        return VectorIsa::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return VectorIsa::avx2;
    }
#endif
    return VectorIsa::baseline;
}

#if TONALIS_X86_64

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
#if TONALIS_X86_64
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
#if TONALIS_X86_64
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
#endif  // TONALIS_X86_64

#undef TONALIS_TARGET_BODY
#undef TONALIS_TARGET_WIDEST

#endif  // TONALIS_TARGET_BODY
