#!/usr/bin/env bash
# Cross-compiles the core and its C++ test programs (no Python module) for
# other processors and runs them under user-mode QEMU: aarch64 by default,
# armv7 (hard float) on request. Only the baseline variant exists there, in
# plain vector extensions; the programs must pass as they do on x86-64.
#
#   bash tools/cross_core.sh                 # aarch64
#   bash tools/cross_core.sh aarch64 armv7   # any of aarch64, armv7
#
# Needs cmake, ninja (or make), the Debian cross compilers
# (g++-aarch64-linux-gnu, g++-arm-linux-gnueabihf) and qemu-user-static.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
arches=("$@")
[ ${#arches[@]} -eq 0 ] && arches=(aarch64)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
use_compiler_cache

for arch in "${arches[@]}"; do
    case "$arch" in
        aarch64) triple=aarch64-linux-gnu processor=aarch64 qemu=qemu-aarch64-static ;;
        armv7) triple=arm-linux-gnueabihf processor=armv7 qemu=qemu-arm-static ;;
        *) echo "unknown processor: $arch (aarch64 or armv7)" >&2; exit 2 ;;
    esac
    for tool in "$triple-g++" "$qemu"; do
        if ! command -v "$tool" >/dev/null; then
            echo "tools/cross_core.sh $arch needs $tool" >&2
            exit 1
        fi
    done
    dir="build/cross-$arch"
    cmake -S . -B "$dir" "${generator[@]}" -DTONALIS_CORE_TESTS=ON -DTONALIS_WERROR=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor" \
        -DCMAKE_CXX_COMPILER="$triple-g++" >/dev/null
    quietly "build/logs/cross-$arch.log" "building the core ($arch)" cmake --build "$dir" -j 2
    echo "=== $arch"
    for program in pipelined_rows space_tables same_bytes exact_powers sizes palette_threads; do
        # Under qemu-user the pipelined rows' workers now and then all sit in
        # a futex wait for good (about one run in five on aarch64, never
        # natively, where the release, ThreadSanitizer and ASan builds run
        # them): a stall is reported and retried once, any other failure fails.
        limit=()
        [ "$program" = pipelined_rows ] && limit=(timeout 600)
        status=0
        for attempt in 1 2; do
            status=0
            "${limit[@]}" "$qemu" -L "/usr/$triple" "$dir/tests/core/$program" || status=$?
            [ "$status" -ne 124 ] && break
            echo "    $program stalled under $qemu (attempt $attempt of 2)" >&2
        done
        [ "$status" -eq 0 ] || exit "$status"
    done
    # A third of the corpus, spread over it: all of it takes minutes emulated.
    "$qemu" -L "/usr/$triple" "$dir/tests/core/golden_corpus" --sample 700
done
