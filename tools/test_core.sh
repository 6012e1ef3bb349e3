#!/usr/bin/env bash
# Builds the core library and its C++ test programs (no Python module) and
# runs them: as built for release, under ThreadSanitizer, and under
# AddressSanitizer with UndefinedBehaviorSanitizer. The builds go through
# the compiler cache (tools/cache.sh); the release one has the flags of the
# Python build's core, so each serves the other.
#
#   bash tools/test_core.sh                 # release and tsan
#   bash tools/test_core.sh release asan    # any of release, tsan, asan
#
# Needs cmake and ninja (or make) and g++. Fails if any program fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(release tsan)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
use_compiler_cache

for kind in "${kinds[@]}"; do
    case "$kind" in
        release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
        tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONALIS_CORE_TSAN=ON) ;;
        asan) flags=(-DCMAKE_BUILD_TYPE=Release -DTONALIS_SANITIZE=ON) ;;
        *) echo "unknown build kind: $kind (release, tsan or asan)" >&2; exit 2 ;;
    esac
    # TONALIS_CORE_BUILD_SUFFIX keeps builds by other compilers apart.
    dir="build/core-$kind${TONALIS_CORE_BUILD_SUFFIX:-}"
    cmake -S . -B "$dir" "${generator[@]}" -DTONALIS_CORE_TESTS=ON -DTONALIS_WERROR=ON "${flags[@]}" >/dev/null
    quietly "build/logs/core-$kind${TONALIS_CORE_BUILD_SUFFIX:-}.log" "building the core ($kind)" cmake --build "$dir" -j 2
    echo "=== $kind"
    for program in pipelined_rows space_tables same_bytes exact_powers sizes palette_threads dbs_threads \
        search_plans golden_corpus; do
        arguments=()
        # ThreadSanitizer looks for races, which the plan sweep's threaded
        # calls meet on any palette: its quick form (the hashed palettes),
        # about a fifth of the time; release and ASan sweep every kind.
        # Its direct binary search runs under one instruction set alone
        # (--quick) for the same reason; that build compiles the engines'
        # baseline copies alone anyway (CMakeLists.txt).
        [ "$kind" = tsan ] && [[ "$program" = search_plans || "$program" = dbs_threads ]] &&
            arguments=(--quick)
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
            ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1" \
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
            "$dir/tests/core/$program" "${arguments[@]}"
    done
done
