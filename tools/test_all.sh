#!/usr/bin/env bash
# The full matrix, as CI runs it (.ci/run): about 23 minutes on a 2-core
# machine with the caches of an earlier run (tools/cache.sh), and about 35
# with empty ones, the free-threaded interpreter's build included (62 CPU
# minutes, most of them compiling). The emulated aarch64 part adds about 4
# when its root filesystem is cached; otherwise it passes without running
# (the root is made by hand, about 7 minutes).
#
#   bash tools/test_all.sh          # every part
#   bash tools/test_all.sh --list   # the parts' names, in order
#
# The parts, in order:
#   lint         ruff check, ruff format --check, clang-format (tools/lint.sh);
#   python3      the whole suite on a build with warnings as errors, tests
#                spread over the cores (tools/test.sh);
#   typing       stubtest and mypy --strict, once (tools/typecheck.py);
#   docs         the documentation site, with Sphinx's warnings as errors
#                (tools/docs.sh), from that build's docstrings;
#   variants     the bit-exact files under each instruction set below the
#                widest, and under one worker thread (tools/test_variants.sh);
#   freethreaded a free-threaded CPython (tools/freethreaded_python.sh builds
#                and caches it): the suite, the GIL left off after importing
#                everything under -W error, and bench/threads.py --quick;
#   cpython      every other CPython 3.11 or newer here (python3.X on the
#                PATH, then pyenv's): the module face and bit-exact files;
#   clang        the module face and bit-exact files against a build with
#                clang++ (the compiler of Apple, emscripten and clang-cl);
#   emulated     the wheel cross-compiled for aarch64 and a few module-face
#                and bit-exact files, the golden corpus among them, run on
#                it under QEMU (tools/emulated_suite.sh), when its arm64 root
#                filesystem is cached; otherwise it says so and passes;
#   cross-aarch64, cross-armv7
#                the core's C++ tests cross-compiled for aarch64 and 32-bit
#                ARM and run under QEMU (tools/cross_core.sh), each beside
#                the parts after it;
#   core         the core's C++ tests as built for release and under
#                ThreadSanitizer (tools/test_core.sh);
#   sanitize     the core's C++ tests (beside core), and then (once the
#                three are done) the files that reach the C++, under
#                AddressSanitizer and UndefinedBehaviorSanitizer
#                (tools/sanitize.sh).
#
# Every part runs even when an earlier one fails; the summary at the end
# gives each part's time and names the parts that failed, and so does the
# exit status. Builds share one compiler cache, and environments are kept
# between runs (tools/cache.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh

parts=(lint python3 typing docs variants freethreaded cpython clang emulated cross-aarch64 cross-armv7 core
    sanitize)
if [ "${1:-}" = --list ]; then
    printf '%s\n' "${parts[@]}"
    exit 0
fi

results=()
failed=()
# part NAME WHAT COMMAND...: runs one part of the matrix and records how it went.
part() {
    local name=$1 what=$2
    shift 2
    local began=$SECONDS status=0
    step "$name: $what"
    "$@" || status=$?
    local took
    took=$(clock $((SECONDS - began)))
    if [ "$status" -eq 0 ]; then
        results+=("passed  $took  $name: $what")
    else
        results+=("FAILED  $took  $name: $what (status $status)")
        failed+=("$name")
        step "$name: FAILED (status $status)"
    fi
    return 0
}

# beside NAME WHAT COMMAND...: starts a part that runs beside the ones
# after it, its output kept in a log until gathered. For the parts that keep
# one core busy (the C++ programs, under QEMU or a sanitizer) while the
# others keep the second one: never beside the Python suites, whose
# workers take both cores and some of whose tests are timed.
beside=()
beside() {
    local name=$1 log="build/logs/part-$1.log"
    mkdir -p build/logs
    # An earlier run's result must not stand in for this one's.
    rm -f "$log.result" "$log.failed"
    (
        results=() failed=()
        part "$@"
        printf '%s\n' "${results[@]}" >"$log.result"
        printf '%s\n' "${failed[@]}" >"$log.failed"
    ) >"$log" 2>&1 &
    beside+=("$!:$name:$log")
}
# gather: waits for the parts started beside the others, shows their
# output and records how they went.
gather() {
    local entry pid name log rest
    for entry in "${beside[@]}"; do
        IFS=: read -r pid name log <<<"$entry"
        wait "$pid" 2>/dev/null || true
        step "the output of the part run beside ($log):"
        cat "$log"
        if [ -s "$log.result" ]; then
            results+=("$(cat "$log.result")")
            rest=$(cat "$log.failed")
            [ -n "$rest" ] && failed+=("$rest")
        else
            results+=("FAILED  --:--  $name: it left no result")
            failed+=("$name")
        fi
    done
    beside=()
}

# CPython 3.11 or newer, one per minor version (a free-threaded build counts
# apart), python3 first: "minor-tag path" lines.
interpreters() {
    local -A seen=()
    local cand key
    local candidates=(python3 python3.11 python3.12 python3.13 python3.14 python3.15)
    for cand in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3; do
        [ -x "$cand" ] && candidates+=("$cand")
    done
    for cand in "${candidates[@]}"; do
        key=$("$cand" -c 'import sys, sysconfig
assert sys.version_info >= (3, 11)
print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null) || continue
        [ -n "${seen[$key]:-}" ] && continue
        seen[$key]=1
        echo "$key $(command -v "$cand")"
    done
}

# Every build of the matrix treats warnings as errors, so that all of them
# compile the core with the same flags and share its cached objects.
export TONALIS_WERROR=1
use_compiler_cache
[ -n "${CCACHE_DIR:-}" ] && "$CMAKE_CXX_COMPILER_LAUNCHER" --zero-stats >/dev/null

# What the later parts fetch from Debian (the free-threaded interpreter's
# source, and its build; clang, the cross compilers and QEMU) comes in the
# background while the first parts run: with empty caches most of that time
# is spent waiting on the network. The parts that need it wait for it first.
mkdir -p build/logs
(
    bash tools/freethreaded_python.sh >/dev/null
    debian_tools clang++=clang aarch64-linux-gnu-g++=g++-aarch64-linux-gnu \
        arm-linux-gnueabihf-g++=g++-arm-linux-gnueabihf qemu-aarch64-static=qemu-user-static
) >build/logs/prefetch.log 2>&1 &
prefetch=$!
prefetched() {
    wait "$prefetch" 2>/dev/null || true
}

part lint "ruff and clang-format" bash tools/lint.sh

# python3: the -Werror build serves the suite, the type checks, the docs and the variants.
python3_venv=$(python_environment python3 werror build/logs/werror) || python3_venv=
python3_suite() {
    [ -n "$python3_venv" ] || return 1
    TONALIS_VENV=$python3_venv bash tools/test.sh
}
part python3 "the suite on a -Werror build" python3_suite
part typing "stubtest and mypy --strict" bash tools/lint.sh typing "$python3_venv/bin/python"
part docs "the documentation site (sphinx-build -W)" bash tools/docs.sh "$python3_venv/bin/python"
part variants "bit-exact files under the narrower instruction sets and one thread" \
    bash tools/test_variants.sh "$python3_venv/bin/python"

# The free-threaded interpreter.
ft_venv=
freethreaded() {
    local python
    prefetched
    python=$(bash tools/freethreaded_python.sh --cached) || return 1
    ft_venv=$(python_environment "$python" freethreaded build/logs/freethreaded) || return 1
    PYTHON=$python TONALIS_VENV=$ft_venv bash tools/test.sh
}
gil_stays_off() {
    [ -n "$ft_venv" ] || return 1
    (cd tests && "$ft_venv/bin/python" -W error -c '
import importlib, pkgutil, sys
import tonalis, tonalis_tools
for module in pkgutil.iter_modules(tonalis_tools.__path__):
    if module.name != "__main__":  # that one runs the command line
        importlib.import_module("tonalis_tools." + module.name)
assert not sys._is_gil_enabled(), "importing tonalis and tonalis_tools enabled the GIL"
print("the GIL stays disabled after importing tonalis and every tonalis_tools module")') &&
        "$ft_venv/bin/python" bench/threads.py --quick
}
part freethreaded "build (cached) and the suite" freethreaded
part freethreaded "GIL stays disabled on import (-W error), bench/threads.py --quick" gil_stays_off

# Every other interpreter: the module face and the bit-exact files, where a
# difference between interpreters could show.
face_files="test_module.py test_intake.py test_hostile.py test_leaks.py test_threads.py
test_dither.py test_diffusion.py test_ordered.py test_random.py test_palette.py test_space.py
test_matrices.py test_engine_paths.py test_extras.py test_algorithms.py test_typing.py
test_golden.py"
python3_key=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
while read -r key python; do
    [ "$key" = "$python3_key" ] && continue
    [[ "$key" == *t ]] && continue # the free-threaded part has its own
    part cpython "CPython $key ($python): module face and bit-exact files" \
        env PYTHON="$python" TONALIS_TEST_FILES="${face_files//$'\n'/ }" bash tools/test.sh
done < <(interpreters)

clang_suite() {
    prefetched
    debian_tools clang++=clang || return 1
    TONALIS_COMPILER=clang TONALIS_TEST_FILES="${face_files//$'\n'/ }" bash tools/test.sh
}
part clang "clang++ build: module face and bit-exact files" clang_suite

# The cross compilers and QEMU, installed (if missing) before the lanes
# that use them start, so that no two of them run apt-get at once.
cross_tools() {
    debian_tools aarch64-linux-gnu-g++=g++-aarch64-linux-gnu \
        arm-linux-gnueabihf-g++=g++-arm-linux-gnueabihf qemu-aarch64-static=qemu-user-static
}

# The package itself on aarch64: what fits in a few minutes under emulation.
# Making the root filesystem takes longer and needs the network, so CI only
# uses one that an earlier bash tools/emulated_suite.sh left in the cache.
# The golden corpus (with its large calls on three threads) and the module
# face: about 4 minutes warm on a 2-core machine (the wheel 5 seconds of it).
emulated_files="test_golden.py test_module.py"
emulated_suite() {
    prefetched
    env ${python3_venv:+TONALIS_VENV="$python3_venv"} \
        bash tools/emulated_suite.sh --if-cached aarch64 ${emulated_files}
}
part emulated "the wheel for aarch64 under QEMU: face and bit-exact files (if its root is cached)" \
    emulated_suite

# The C++ programs in four lanes at once: aarch64 and armv7 under QEMU,
# under ASan/UBSan, and as released and under ThreadSanitizer. With warm
# caches they are mostly single-threaded programs, and side by side take
# about 5 minutes (6 in two lanes). With empty caches compiling keeps both
# cores busy, and the QEMU runs in two lanes no longer leave one idle at the
# end (one QEMU lane ran 2.5 minutes past the others).
prefetched
cross_ready=0
cross_tools && cross_ready=1
for arch in aarch64 armv7; do
    if [ "$cross_ready" = 1 ]; then
        beside "cross-$arch" "the core's C++ tests for $arch under QEMU" bash tools/cross_core.sh "$arch"
    else
        part "cross-$arch" "the core's C++ tests for $arch under QEMU" false
    fi
done
beside sanitize "C++ tests under ASan/UBSan" bash tools/sanitize.sh --core
part core "C++ tests, release and ThreadSanitizer builds" bash tools/test_core.sh release tsan
gather
part sanitize "the files that reach the C++, under ASan/UBSan" bash tools/sanitize.sh --python

echo
echo "Summary (mm:ss):"
printf '  %s\n' "${results[@]}"
if [ -n "${CCACHE_DIR:-}" ]; then
    "$CMAKE_CXX_COMPILER_LAUNCHER" --show-stats 2>/dev/null | grep -iE 'hits|misses' | head -n 3 |
        sed 's/^/  compiler cache: /'
fi
echo "  total $(clock $(($(date +%s) - TONALIS_STEPS_START)))"
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
step "every part passed"
