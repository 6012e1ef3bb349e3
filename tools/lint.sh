#!/usr/bin/env bash
# The lint stage: the checks that need no build, then the type checks that
# need the installed module. pre-commit runs the same (.pre-commit-config.yaml).
#
#   bash tools/lint.sh             # ruff check, ruff format --check, clang-format
#   bash tools/lint.sh fix         # the same, rewriting the files instead
#   bash tools/lint.sh typing PY   # stubtest and mypy --strict (tools/typecheck.py),
#                                  # with PY's installed tonalis
#
# ruff and clang-format come at the versions pyproject.toml's "lint" extra
# pins, in an environment of their own kept under the cache (tools/cache.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
mode=${1:-check}

if [ "$mode" = typing ]; then
    python=${2:?usage: tools/lint.sh typing PYTHON}
    exec "$python" tools/typecheck.py
fi

mapfile -t pins < <(python3 -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]:
    print(r)')
key=$(printf '%s\n' "${pins[@]}" "$(python3 -c 'import sys; print(sys.version)')" | sha256sum | cut -c1-12)
venv="$TONALIS_CACHE/venvs/lint-$key"
# Reused while its tools still run (a moved folder breaks their launchers).
if [ ! -e "$venv/.tonalis-ready" ] || ! "$venv/bin/clang-format" --version >/dev/null 2>&1 ||
    ! "$venv/bin/ruff" --version >/dev/null 2>&1; then
    rm -rf "$venv"
    mkdir -p "$(dirname "$venv")"
    python3 -m venv "$venv"
    quietly "build/logs/lint/pip.log" "installing ${pins[*]}" "$venv/bin/python" -m pip install "${pins[@]}"
    touch "$venv/.tonalis-ready"
fi

# The C++ of the tree, less what .clang-format-ignore names (generated files).
mapfile -t cxx < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/core/*.cpp' 'bench/*.cpp' |
    grep -v -x -F -f <(grep -v '^#' .clang-format-ignore))

status=0
if [ "$mode" = fix ]; then
    "$venv/bin/ruff" check --fix . || status=1
    "$venv/bin/ruff" format . || status=1
    "$venv/bin/clang-format" -i "${cxx[@]}" || status=1
    exit "$status"
fi
run() {
    local what=$1
    shift
    if "$@"; then
        echo "    passed: $what"
    else
        echo "    FAILED: $what"
        status=1
    fi
}
run "ruff check" "$venv/bin/ruff" check --no-cache .
run "ruff format --check" "$venv/bin/ruff" format --check --no-cache .
run "clang-format --dry-run -Werror (${#cxx[@]} files)" "$venv/bin/clang-format" --dry-run -Werror "${cxx[@]}"
exit "$status"
