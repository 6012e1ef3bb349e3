#!/usr/bin/env bash
# Builds tonalis and runs its test suite on every CPython 3.11 or newer found
# on this machine, each in a fresh virtual environment; fails if any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
pytest_args=("$@")

candidates=(python3 python3.11 python3.12 python3.13 python3.14)
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
for dir in "$pyenv_root"/versions/3.*; do
    [ -x "$dir/bin/python3" ] && candidates+=("$dir/bin/python3")
done

declare -A seen=()
interpreters=()
for cand in "${candidates[@]}"; do
    id=$("$cand" -c 'import sys; print(sys.version_info >= (3, 11), sys.base_prefix, sys.version.split()[0])' 2>/dev/null) || continue
    read -r new_enough prefix version <<<"$id"
    [ "$new_enough" = True ] || continue
    [ -n "${seen[$prefix]:-}" ] && continue
    seen[$prefix]=1
    interpreters+=("$cand:$version")
done

if [ ${#interpreters[@]} -eq 0 ]; then
    echo "no CPython 3.11 or newer found" >&2
    exit 1
fi

failed=()
for entry in "${interpreters[@]}"; do
    python="${entry%%:*}"
    version="${entry##*:}"
    venv=".venvs/py$version"
    echo "=== CPython $version ($python)"
    rm -rf "$venv"
    if ! "$python" -m venv "$venv" \
        || ! "$venv/bin/python" -m pip install -q --upgrade pip \
        || ! "$venv/bin/python" -m pip install -q ".[test]"; then
        failed+=("$version (install)")
        continue
    fi
    # From outside the source tree, so the installed module is the one tested.
    if ! (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}" .); then
        failed+=("$version")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED on: ${failed[*]}" >&2
    exit 1
fi
echo "all interpreters passed: ${interpreters[*]}"
