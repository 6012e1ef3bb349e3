#!/usr/bin/env bash
# The full matrix, as CI runs it (.ci/run): about 35 minutes on a 2-core
# machine, 2.5 more the first time, to build the free-threaded interpreter
# (it is cached afterwards).
#
#   1. python3: the suite on a build with the compiler's warnings as errors,
#      then the bit-exact files under every instruction set the machine has
#      and under one worker thread (tools/test_variants.sh);
#   2. a free-threaded CPython (tools/freethreaded_python.sh builds and caches
#      it): the suite, a check that importing tonalis and tonalis_tools leaves
#      the GIL disabled with warnings as errors, and bench/threads.py --quick;
#   3. the suite on every other CPython 3.11 or newer here (one per minor
#      version: python3.X on the PATH, then pyenv's);
#   4. the core's C++ tests (tools/test_core.sh): the pipelined diffusion rows
#      against a plain scan under hostile schedules, as built for release and
#      under ThreadSanitizer;
#   5. the suite against the ASan/UBSan build (tools/sanitize.sh).
#
# Every part runs even when an earlier one fails; the summary at the end names
# the parts that failed, and so does the exit status.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh

results=()
failed=()
# part NAME COMMAND...: runs one part of the matrix and records how it went.
part() {
    local name=$1
    shift
    local began=$SECONDS status=0
    step "$name"
    "$@" || status=$?
    local took
    took=$(clock $((SECONDS - began)))
    if [ "$status" -eq 0 ]; then
        results+=("passed  $took  $name")
    else
        results+=("FAILED  $took  $name (status $status)")
        failed+=("$name")
        step "$name: FAILED (status $status)"
    fi
    return 0
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

# python3: the -Werror build serves both the suite and the variant runs.
python3_venv=.venvs/werror
part "python3: suite on a -Werror build" \
    env PYTHON=python3 TONALIS_VENV=$python3_venv TONALIS_WERROR=1 bash tools/test.sh
part "python3: bit-exact files under every instruction set and one thread" \
    bash tools/test_variants.sh "$PWD/$python3_venv/bin/python"

# The free-threaded interpreter.
ft_venv=.venvs/freethreaded
freethreaded() {
    local python
    python=$(bash tools/freethreaded_python.sh) || return 1
    PYTHON=$python TONALIS_VENV=$ft_venv bash tools/test.sh
}
gil_stays_off() {
    (cd tests && "../$ft_venv/bin/python" -W error -c '
import importlib, pkgutil, sys
import tonalis, tonalis_tools
for module in pkgutil.iter_modules(tonalis_tools.__path__):
    if module.name != "__main__":  # that one runs the command line
        importlib.import_module("tonalis_tools." + module.name)
assert not sys._is_gil_enabled(), "importing tonalis and tonalis_tools enabled the GIL"
print("the GIL stays disabled after importing tonalis and every tonalis_tools module")')
}
part "free-threaded CPython: build (cached) and suite" freethreaded
part "free-threaded CPython: GIL stays disabled on import (-W error)" gil_stays_off
part "free-threaded CPython: bench/threads.py --quick" "$ft_venv/bin/python" bench/threads.py --quick

# Every other interpreter.
python3_key=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
while read -r key python; do
    [ "$key" = "$python3_key" ] && continue
    part "CPython $key ($python): suite" env PYTHON="$python" TONALIS_VENV=".venvs/py$key" bash tools/test.sh
done < <(interpreters)

part "core C++ tests, release and ThreadSanitizer builds" bash tools/test_core.sh
part "python3: suite against the ASan/UBSan build" bash tools/sanitize.sh

echo
echo "Summary (mm:ss):"
printf '  %s\n' "${results[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
step "every part passed"
