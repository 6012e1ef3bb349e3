#!/usr/bin/env bash
# Runs the bit-exact test files once per instruction set this machine has
# below its widest (TONALIS_ISA=baseline, avx2), and once with worker threads
# off (TONALIS_NUM_THREADS=1), so that every compiled variant of the engines
# is checked here, not only the widest: the widest is what the suite's own
# run takes by default, so it is not run again (TONALIS_VARIANTS_ALL=1 runs
# it too). Fails if any run fails.
#
#   bash tools/test_variants.sh PYTHON [pytest arguments]
#
# PYTHON must already have tonalis and the test extras installed.
set -uo pipefail
if [ $# -lt 1 ]; then
    echo "usage: $0 PYTHON [pytest arguments]" >&2
    exit 2
fi
python="$1"
shift
# Keep a relative interpreter path usable from tests/ (without resolving
# symlinks, which would step out of a virtual environment).
case "$python" in
    /*) ;;
    */*) python="$PWD/$python" ;;
esac
cd "$(dirname "$0")/.."
source tools/steps.sh
cd tests

# The files that compare outputs with the independent float32 models and
# reach every engine path.
files=(test_space.py test_palette.py test_matrices.py test_ordered.py test_random.py
       test_diffusion.py test_dither.py test_engine_paths.py test_extras.py
       test_algorithms.py test_golden.py)

flags=" $(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null | cut -d: -f2) "
has() { [[ "$flags" == *" $1 "* ]]; }
isas=(baseline)
has avx2 && isas+=(avx2)
has avx512f && has avx512bw && has avx512dq && has avx512vl && isas+=(avx512)
# The widest is the default: the suite has run under it already.
[ "${TONALIS_VARIANTS_ALL:-0}" = 1 ] || unset 'isas[-1]'

runs=()
for isa in "${isas[@]}"; do
    runs+=("TONALIS_ISA=$isa")
done
runs+=("TONALIS_NUM_THREADS=1")

failed=()
for setting in "${runs[@]}"; do
    echo "=== $setting: ${files[*]}"
    if ! (unset TONALIS_ISA TONALIS_NUM_THREADS && export "${setting?}" &&
        run_suite "$python" "$@" "${files[@]}"); then
        failed+=("$setting")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED under: ${failed[*]}" >&2
    exit 1
fi
echo "bit-exact files passed under: ${runs[*]}"
