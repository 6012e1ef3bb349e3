#!/usr/bin/env bash
# Builds tonalis with AddressSanitizer and UndefinedBehaviorSanitizer,
# installs it with its test extras in a fresh virtual environment and runs
# the whole test suite against it.
#
#   bash tools/sanitize.sh                       # with python3
#   PYTHON=python3.12 bash tools/sanitize.sh -k palette
#
# Extra arguments go to pytest. Any sanitizer report ends the run with a
# non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
python="${PYTHON:-python3}"
venv=.venvs/sanitize
logs=build/logs/sanitize

step "fresh environment in $venv for $("$python" -c 'import sys; print("CPython", sys.version.split()[0])')"
rm -rf "$venv"
"$python" -m venv "$venv"
quietly "$logs/pip.log" "upgrading pip" "$venv/bin/python" -m pip install --upgrade pip
# The build runs without isolation, so that the sanitizer settings below
# reach CMake; its requirements are installed here instead.
mapfile -t build_requires < <("$venv/bin/python" -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]:
    print(r)')
command -v cmake >/dev/null && command -v ninja >/dev/null || build_requires+=(cmake ninja)
step "installing the build requirements: ${build_requires[*]}"
quietly "$logs/requirements.log" "installing" "$venv/bin/python" -m pip install "${build_requires[@]}"
step "building with -DTONALIS_SANITIZE=ON and installing the test extras; log: $logs/build.log"
quietly "$logs/build.log" "building" "$venv/bin/python" -m pip install -v --no-build-isolation \
    -Ccmake.define.TONALIS_SANITIZE=ON \
    "-Cbuild-dir=build/sanitize-{wheel_tag}" \
    ".[test]"

module=$(cd tests && "../$venv/bin/python" -c 'import importlib.util as u
print(u.find_spec("tonalis").origin)')
if ! nm -D --undefined-only "$module" | grep __asan_init >/dev/null; then
    echo "$module is not instrumented" >&2
    exit 1
fi
# The interpreter is not instrumented, so the sanitizer's runtime has to be
# loaded before anything else: the one of the compiler that built the module.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/sanitize-*/CMakeCache.txt | head -n 1)
libasan=$("${cxx:-g++}" -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
    echo "no libasan.so for ${cxx:-g++} (the sanitizer build needs gcc)" >&2
    exit 1
fi

# detect_leaks=0: the interpreter frees little at exit by design; leaks of the
#   module are found by tests/test_leaks.py instead.
# allocator_may_return_null=1: an allocation too large for the machine fails
#   as it would without the sanitizer, so MemoryError can be tested.
# PYTHONMALLOC=malloc: every Python object comes from malloc, so a reference
#   released once too often shows as a use after free.
export LD_PRELOAD="$libasan"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc

step "running the test suite with the sanitizers' runtime preloaded"
# From outside the source tree, so the installed module is the one tested.
cd tests
"../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .
