#!/usr/bin/env bash
# Builds tonalis for python3 and runs the whole test suite against it: about
# 5 minutes on a 2-core machine from a fresh clone, most of it compiling, and
# about 2 when run again (the environment and the compiler cache are kept,
# tools/cache.sh). Each step is announced with the time since the start;
# long ones print a line every 30 seconds.
#
#   bash tools/test.sh                     # python3
#   bash tools/test.sh -k palette          # extra arguments go to pytest
#   PYTHON=python3.12 bash tools/test.sh   # another interpreter
#
# TONALIS_VENV names the environment (default: one under the cache, keyed by
# the interpreter and pyproject.toml); TONALIS_COMPILER=clang builds with
# clang++ instead of g++, in an environment and build folder of its own;
# TONALIS_WERROR=1 builds with the
# compiler's warnings as errors; TONALIS_TEST_FILES limits the run to those
# test files (CI's runs on other interpreters). On a free-threaded
# interpreter pip prefers wheels and takes the constraints in
# tools/constraints-freethreaded.txt (tools/cache.sh). bash tools/test_all.sh runs the full
# matrix (every interpreter, instruction sets, sanitizers) and the lint stage.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
python="${PYTHON:-python3}"

if ! info=$("$python" -c 'import sys, sysconfig
assert sys.version_info >= (3, 11)
ft = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(sys.version.split()[0] + ft, ft)' 2>/dev/null); then
    echo "tools/test.sh needs CPython 3.11 or newer; $python is not" >&2
    exit 1
fi
read -r version _ <<<"$info"
name="py$version"
build_options=()
case "${TONALIS_COMPILER:-}" in
    "") ;;
    gcc | clang)
        if [ "$TONALIS_COMPILER" = clang ]; then
            export CC=clang CXX=clang++
        else
            export CC=gcc CXX=g++
        fi
        if ! command -v "$CXX" >/dev/null; then
            echo "TONALIS_COMPILER=$TONALIS_COMPILER needs $CXX" >&2
            exit 1
        fi
        name="$name-$TONALIS_COMPILER"
        build_options+=("-Cbuild-dir=build/$TONALIS_COMPILER-{wheel_tag}")
        ;;
    *)
        echo "TONALIS_COMPILER is gcc or clang, not $TONALIS_COMPILER" >&2
        exit 2
        ;;
esac
logs="build/logs/$name"
[ "${TONALIS_WERROR:-0}" = 1 ] && build_options+=(-Ccmake.define.TONALIS_WERROR=ON)

step "CPython $version ($(command -v "$python")): the environment"
use_compiler_cache
venv=$(python_environment "$python" "$name" "$logs")

step "building and installing tonalis with ${CXX:-the default compiler}${build_options[*]:+ (${build_options[*]})}; log: $logs/build.log"
# Without build isolation: the environment holds the build requirements, and
# the same numpy include path each time lets the compiler cache hit.
quietly "$logs/build.log" "building" "$venv/bin/python" -m pip install -v --no-deps \
    --no-build-isolation "${build_options[@]}" .

step "running the test suite"
files=()
[ -n "${TONALIS_TEST_FILES:-}" ] && read -r -a files <<<"$TONALIS_TEST_FILES"
# From outside the source tree, so the installed module is the one tested.
(cd tests && run_suite "$venv/bin/python" "$@" "${files[@]}")
step "CPython $version: the suite passed"
