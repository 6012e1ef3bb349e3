#!/usr/bin/env bash
# Builds the core library and its C++ test programs (no Python module) and
# runs them: once as built for release, once under ThreadSanitizer.
#
#   bash tools/test_core.sh            # both
#   bash tools/test_core.sh release    # or: tsan
#
# Needs cmake and ninja (or make) and g++. Fails if any program fails.
set -euo pipefail
cd "$(dirname "$0")/.."
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(release tsan)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

for kind in "${kinds[@]}"; do
    case "$kind" in
        release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
        tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONALIS_CORE_TSAN=ON) ;;
        *) echo "unknown build kind: $kind (release or tsan)" >&2; exit 2 ;;
    esac
    dir="build/core-$kind"
    cmake -S . -B "$dir" "${generator[@]}" -DTONALIS_CORE_TESTS=ON -DTONALIS_WERROR=ON "${flags[@]}" >/dev/null
    cmake --build "$dir" -j 2
    echo "=== $kind"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$dir/tests/core/pipelined_rows"
done
