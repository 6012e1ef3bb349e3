#!/usr/bin/env bash
# Builds tonalis once for python3 in a fresh virtual environment and runs the
# whole test suite against it: about 5 minutes on a 2-core machine from a
# fresh clone, most of it compiling. Each step is announced with the time
# since the start; long ones print a line every 30 seconds.
#
#   bash tools/test.sh                     # python3
#   bash tools/test.sh -k palette          # extra arguments go to pytest
#   PYTHON=python3.12 bash tools/test.sh   # another interpreter
#
# TONALIS_VENV names the environment (default .venvs/pyVERSION);
# TONALIS_WERROR=1 builds with the compiler's warnings as errors. On a
# free-threaded interpreter pip prefers wheels and takes the constraints in
# tools/constraints-freethreaded.txt. bash tools/test_all.sh runs the full
# matrix (every interpreter, instruction sets, sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
python="${PYTHON:-python3}"

if ! info=$("$python" -c 'import sys, sysconfig
assert sys.version_info >= (3, 11)
ft = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(sys.version.split()[0] + ft, ft)' 2>/dev/null); then
    echo "tools/test.sh needs CPython 3.11 or newer; $python is not" >&2
    exit 1
fi
read -r version freethreaded <<<"$info"
venv="${TONALIS_VENV:-.venvs/py$version}"
logs="build/logs/$(basename "$venv")"
pip=("$venv/bin/python" -m pip)
if [ -n "$freethreaded" ]; then
    # Some of the newest releases of the test dependencies have no wheels for
    # free-threaded interpreters yet, and their source builds need more than
    # PyPI gives.
    export PIP_PREFER_BINARY=1
    export PIP_CONSTRAINT="$PWD/tools/constraints-freethreaded.txt"
fi
build_options=()
[ "${TONALIS_WERROR:-0}" = 1 ] && build_options+=(-Ccmake.define.TONALIS_WERROR=ON)

if [ -e "$venv" ] && [ ! -e "$venv/pyvenv.cfg" ]; then
    echo "$venv exists and is not a virtual environment; not replacing it" >&2
    exit 1
fi
step "CPython $version ($(command -v "$python")): fresh environment in $venv"
rm -rf "$venv"
"$python" -m venv "$venv"
quietly "$logs/pip.log" "upgrading pip" "$venv/bin/python" -m pip install --upgrade pip

mapfile -t requirements < <("$venv/bin/python" -c 'import tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
for r in project["dependencies"] + project["optional-dependencies"]["test"]:
    print(r)')
step "installing the test dependencies: ${requirements[*]}"
quietly "$logs/dependencies.log" "installing dependencies" "${pip[@]}" install "${requirements[@]}"

step "building and installing tonalis${build_options[*]:+ (${build_options[*]})}; log: $logs/build.log"
quietly "$logs/build.log" "building" "${pip[@]}" install -v --no-deps "${build_options[@]}" .

step "running the test suite"
# From outside the source tree, so the installed module is the one tested.
(cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .)
step "CPython $version: the suite passed"
