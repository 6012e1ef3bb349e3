#!/usr/bin/env bash
# Builds the core and its C++ test programs (no Python module) for other
# processors, operating systems and compilers, and runs them where this
# machine can: the programs must pass as they do on x86-64 Linux, same_bytes
# with the very hash recorded there. Only x86-64 has the AVX2 and AVX-512
# variants; elsewhere the baseline alone exists, in plain vector extensions.
#
#   bash tools/cross_core.sh                 # aarch64
#   bash tools/cross_core.sh aarch64 armv7 windows musl macos wasm clang
#
# The targets, and what each needs (a target whose tools are missing is
# skipped with a message saying what to install; the others still run):
#   aarch64, armv7  Debian's cross g++ (g++-aarch64-linux-gnu,
#                   g++-arm-linux-gnueabihf); run under qemu-user-static.
#   windows         x86-64 Windows with MinGW-w64 g++, posix thread model
#                   (g++-mingw-w64-x86-64-posix), through
#                   cmake/toolchains/mingw-w64-x86_64.cmake; run under wine
#                   (wine64), every instruction set this processor has.
#   musl            x86-64 Linux on musl, linked statically by zig's clang
#                   and libc++ (zig on the PATH, or PyPI's ziglang in
#                   $TONALIS_CACHE/ziglang); run here.
#   macos           x86-64 and arm64 macOS by zig's clang and libc++ against
#                   zig's macOS headers and stubs: built and linked only, as
#                   nothing here runs a Mach-O program.
#   wasm            WebAssembly with threads by emscripten's em++ (Debian's
#                   emscripten); run under node.
#   clang           this machine with clang++ instead of g++, warnings as
#                   errors; run here.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(aarch64)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
use_compiler_cache
programs=(pipelined_rows space_tables same_bytes exact_powers sizes palette_threads golden_corpus dbs_threads search_plans)
# No C++ modules here: CMake would otherwise look for clang-scan-deps
# beside a clang 16 or newer (zig's).
configure=(-DTONALIS_CORE_TESTS=ON -DTONALIS_WERROR=ON -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_SCAN_FOR_MODULES=OFF)
skipped=()

# missing TARGET WHAT: records that TARGET cannot be built here, and why.
missing() {
    echo "=== $1: skipped, $2" >&2
    skipped+=("$1")
}

# The zig command (zig, or python -m ziglang), empty when there is none.
zig_command() {
    if command -v zig >/dev/null; then
        echo zig
    elif "$TONALIS_CACHE/ziglang/bin/python" -c 'import ziglang' 2>/dev/null; then
        echo "$TONALIS_CACHE/ziglang/bin/python -m ziglang"
    fi
}

# zig_tools DIR ZIG TRIPLE: c++, ar and ranlib scripts in DIR for zig's
# toolchain of TRIPLE, for CMake to take as the compiler and archiver.
zig_tools() {
    local dir=$1 zig=$2 triple=$3
    mkdir -p "$dir"
    printf '#!/bin/sh\nexec %s c++ -target %s "$@"\n' "$zig" "$triple" >"$dir/c++"
    printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" >"$dir/ar"
    printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" >"$dir/ranlib"
    chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
}

# build NAME CMAKE-ARGUMENTS...: configures and builds build/cross-NAME.
build() {
    local name=$1
    shift
    local dir="build/cross-$name"
    cmake -S . -B "$dir" "${generator[@]}" "${configure[@]}" "$@" >"build/logs/cross-$name.configure.log" 2>&1 ||
        { tail -n 20 "build/logs/cross-$name.configure.log" >&2; return 1; }
    quietly "build/logs/cross-$name.log" "building the core ($name)" cmake --build "$dir" -j 2
}

# run_programs DIR SUFFIX RUNNER...: runs each test program of DIR (with the
# file name suffix the target's programs have) through RUNNER, which may be
# empty. Under qemu-user the pipelined rows' workers now and then all sit in
# a futex wait for good (about one run in five on aarch64, never natively,
# where the release, ThreadSanitizer and ASan builds run them): a stall is
# reported and retried once, any other failure fails. The golden corpus is
# sampled, a third of it spread over it: all of it takes minutes emulated,
# and the native core part checks all of it; the plan sweep runs its quick
# form.
run_programs() {
    local dir=$1 suffix=$2
    shift 2
    local program status attempt
    for program in "${programs[@]}"; do
        local arguments=()
        [ "$program" = golden_corpus ] && arguments=(tests/golden/corpus.txt --sample 700)
        [ "$program" = search_plans ] && arguments=(--quick)
        status=0
        for attempt in 1 2; do
            status=0
            timeout 600 "$@" "$dir/tests/core/$program$suffix" "${arguments[@]}" || status=$?
            [ "$status" -ne 124 ] && break
            echo "    $program stalled (attempt $attempt of 2)" >&2
        done
        [ "$status" -eq 0 ] || exit "$status"
    done
}

mkdir -p build/logs
for target in "${targets[@]}"; do
    dir="build/cross-$target"
    case "$target" in
        aarch64 | armv7)
            if [ "$target" = aarch64 ]; then
                triple=aarch64-linux-gnu qemu=qemu-aarch64-static
            else
                triple=arm-linux-gnueabihf qemu=qemu-arm-static
            fi
            command -v "$triple-g++" >/dev/null || { missing "$target" "needs $triple-g++"; continue; }
            command -v "$qemu" >/dev/null || { missing "$target" "needs $qemu (qemu-user-static)"; continue; }
            build "$target" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$target" \
                -DCMAKE_CXX_COMPILER="$triple-g++"
            echo "=== $target"
            run_programs "$dir" "" "$qemu" -L "/usr/$triple"
            ;;
        windows)
            command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
                { missing windows "needs x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix)"; continue; }
            command -v wine >/dev/null || { missing windows "needs wine (wine64)"; continue; }
            build windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
            echo "=== windows (wine $(wine --version 2>/dev/null || true))"
            # A prefix of the build's own; wine makes it on the first run.
            export WINEPREFIX="$PWD/build/wine-prefix" WINEDEBUG=-all
            run_programs "$dir" .exe wine
            ;;
        musl)
            zig=$(zig_command)
            [ -n "$zig" ] || {
                missing musl "needs zig: python3 -m venv \"$TONALIS_CACHE/ziglang\" && \"$TONALIS_CACHE/ziglang/bin/pip\" install ziglang"
                continue
            }
            zig_tools "$dir/zig" "$zig" x86_64-linux-musl
            # zig keeps its own cache of objects; the compiler cache is not used.
            CMAKE_CXX_COMPILER_LAUNCHER= build musl -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
                -DCMAKE_CXX_COMPILER="$PWD/$dir/zig/c++" -DCMAKE_AR="$PWD/$dir/zig/ar" \
                -DCMAKE_RANLIB="$PWD/$dir/zig/ranlib"
            echo "=== musl ($(file -b "$dir/tests/core/same_bytes" | grep -oE '(statically|dynamically) linked'))"
            run_programs "$dir" ""
            ;;
        macos)
            zig=$(zig_command)
            [ -n "$zig" ] || {
                missing macos "needs zig: python3 -m venv \"$TONALIS_CACHE/ziglang\" && \"$TONALIS_CACHE/ziglang/bin/pip\" install ziglang"
                continue
            }
            for processor in x86_64 aarch64; do
                name="macos-$processor"
                zig_tools "build/cross-$name/zig" "$zig" "$processor-macos"
                CMAKE_CXX_COMPILER_LAUNCHER= build "$name" -DCMAKE_SYSTEM_NAME=Darwin \
                    -DCMAKE_SYSTEM_PROCESSOR="$processor" -DCMAKE_OSX_SYSROOT=/ \
                    -DCMAKE_CXX_COMPILER="$PWD/build/cross-$name/zig/c++" \
                    -DCMAKE_AR="$PWD/build/cross-$name/zig/ar" \
                    -DCMAKE_RANLIB="$PWD/build/cross-$name/zig/ranlib"
                echo "=== $name: built and linked, not run (no Mach-O runner here)"
                for program in "${programs[@]}"; do
                    echo "    $program: $(file -b "build/cross-$name/tests/core/$program" | sed 's/,.*//')"
                done
            done
            ;;
        wasm)
            command -v em-config >/dev/null && command -v em++ >/dev/null && command -v node >/dev/null ||
                { missing wasm "needs em++, em-config and node (emscripten, nodejs)"; continue; }
            # The core takes C++20's library as GCC 12 and libc++ 15 have it;
            # older emscriptens' libc++ lacks std::bit_cast and the ranges
            # algorithms.
            mkdir -p "$dir"
            printf '%s\n' '#include <algorithm>' '#include <bit>' '#include <cstdint>' \
                'int main() { int a[2] = {1, 2}; return std::bit_cast<std::uint32_t>(1.0f) ==' \
                '  0 || std::ranges::minmax_element(a).min != a; }' >"$dir/probe.cpp"
            em++ -std=c++20 -c "$dir/probe.cpp" -o "$dir/probe.o" >/dev/null 2>&1 || {
                missing wasm "em++ $(em++ --version 2>/dev/null | sed -n 1p | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' || true) lacks std::bit_cast or the ranges algorithms (needs a newer emscripten)"
                continue
            }
            # Threads as the engines use them: a pool of max_workers workers
            # made at start, since node cannot start one while the main
            # thread waits for it.
            link="-pthread -sPTHREAD_POOL_SIZE=8 -sINITIAL_MEMORY=268435456 -sEXIT_RUNTIME=1"
            CMAKE_CXX_COMPILER_LAUNCHER= build wasm \
                -DCMAKE_TOOLCHAIN_FILE="$(em-config EMSCRIPTEN_ROOT)/cmake/Modules/Platform/Emscripten.cmake" \
                -DCMAKE_CXX_FLAGS="-pthread -msimd128" -DCMAKE_EXE_LINKER_FLAGS="$link"
            echo "=== wasm (node $(node --version))"
            run_programs "$dir" .js node
            ;;
        clang)
            command -v clang++ >/dev/null || { missing clang "needs clang++ (clang)"; continue; }
            build clang -DCMAKE_CXX_COMPILER=clang++
            echo "=== clang ($(clang++ --version | head -n 1))"
            run_programs "$dir" ""
            ;;
        *)
            echo "unknown target: $target (aarch64, armv7, windows, musl, macos, wasm or clang)" >&2
            exit 2
            ;;
    esac
done
if [ ${#skipped[@]} -ne 0 ]; then
    echo "skipped for want of their tools: ${skipped[*]}" >&2
fi
