#!/usr/bin/env bash
# Runs the core's C++ tests and the test files that reach the C++ (the
# module face, the engines, the refinements, the added algorithms, hostile
# input, leaks and threads) against builds with AddressSanitizer and
# UndefinedBehaviorSanitizer. The environment is kept between runs
# (tools/cache.sh); the files of the command line, palette files, Dask and
# typing reach no C++ of ours and are left to the plain runs.
#
#   bash tools/sanitize.sh                       # with python3
#   PYTHON=python3.12 bash tools/sanitize.sh -k palette
#   bash tools/sanitize.sh test_module.py        # other files
#   bash tools/sanitize.sh --core                # the C++ tests alone
#   bash tools/sanitize.sh --python              # the test files alone
#
# Extra arguments go to pytest. Any sanitizer report ends the run with a
# non-zero status.
#
# The builds use g++; TONALIS_SANITIZE_COMPILER=clang builds with clang++
# and preloads clang's runtime instead.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
python="${PYTHON:-python3}"
core=1 suite=1
case "${1:-}" in
    --core) suite=0; shift ;;
    --python) core=0; shift ;;
esac
compiler=${TONALIS_SANITIZE_COMPILER:-gcc}
logs=build/logs/sanitize-$compiler
case "$compiler" in
    clang)
        debian_tools clang++=clang
        export CC=clang CXX=clang++
        # The runtime the interpreter preloads: clang's own, with UBSan's handlers in it.
        runtime_file="libclang_rt.asan-$(uname -m).so"
        if [ ! -e "$(clang++ -print-file-name="$runtime_file")" ] && [ "$(id -u)" = 0 ]; then
            major=$(clang++ -dumpversion | cut -d. -f1)
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" \
                >/dev/null 2>&1 || true
        fi
        ;;
    gcc)
        export CC=gcc CXX=g++
        runtime_file=libasan.so
        ;;
    *)
        echo "TONALIS_SANITIZE_COMPILER is clang or gcc, not $compiler" >&2
        exit 2
        ;;
esac
runtime=$("$CXX" -print-file-name="$runtime_file")
if [ ! -e "$runtime" ]; then
    echo "no $runtime_file for $CXX: its sanitizer runtime is not installed" >&2
    exit 1
fi

if [ "$core" = 1 ]; then
    step "the core's C++ tests under ASan/UBSan ($CXX)"
    TONALIS_CORE_BUILD_SUFFIX="-$compiler" bash tools/test_core.sh asan
fi
[ "$suite" = 1 ] || exit 0

step "the environment for $("$python" -c 'import sys; print("CPython", sys.version.split()[0])')"
use_compiler_cache
venv=$(python_environment "$python" "sanitize-$compiler" "$logs")
step "building with -DTONALIS_SANITIZE=ON; log: $logs/build.log"
# The build runs without isolation, so that the sanitizer settings reach CMake.
quietly "$logs/build.log" "building" "$venv/bin/python" -m pip install -v --no-deps \
    --no-build-isolation -Ccmake.define.TONALIS_SANITIZE=ON -Ccmake.define.TONALIS_WERROR=ON \
    "-Cbuild-dir=build/sanitize-$compiler-{wheel_tag}" .

module=$(cd tests && "$venv/bin/python" -c 'import importlib.util as u
print(u.find_spec("tonalis").origin)')
if ! nm -D --undefined-only "$module" | grep __asan_init >/dev/null; then
    echo "$module is not instrumented" >&2
    exit 1
fi
# The interpreter is not instrumented, so the sanitizer's runtime has to be
# loaded before anything else: the one of the compiler that built the module.
# detect_leaks=0: the interpreter frees little at exit by design; leaks of the
#   module are found by tests/test_leaks.py instead.
# allocator_may_return_null=1: an allocation too large for the machine fails
#   as it would without the sanitizer, so MemoryError can be tested.
# PYTHONMALLOC=malloc: every Python object comes from malloc, so a reference
#   released once too often shows as a use after free.
export LD_PRELOAD="$runtime"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc

step "running the test suite with the sanitizers' runtime preloaded"
# From outside the source tree, so the installed module is the one tested.
cd tests
files=(test_module.py test_intake.py test_hostile.py test_leaks.py test_threads.py
    test_pipelined.py test_switches.py test_dither.py test_diffusion.py test_ordered.py
    test_random.py test_palette.py test_space.py test_matrices.py test_engine_paths.py
    test_extras.py test_extras_stress.py test_algorithms.py)
for arg in "$@"; do
    # Files or folders named: those instead.
    [[ "$arg" == *.py* || -d "$arg" ]] && files=()
done
run_suite "$venv/bin/python" "$@" "${files[@]}"
