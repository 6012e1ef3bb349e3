#!/usr/bin/env bash
# Installs tonalis into .venv and writes the gallery of every dither family
# on the built-in samples into gallery/ (or the folder given).
#
#   bash tools/demo.sh              # gallery/
#   bash tools/demo.sh my-gallery   # another folder
#
# The first run sets up the environment and compiles the module (a few
# minutes on two cores, with a line every 30 seconds); later runs reuse both
# and only build again when the sources changed, through the compiler cache
# the test scripts share (tools/cache.sh). TONALIS_VENV names another
# environment, PYTHON another interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
python="${PYTHON:-python3}"
export TONALIS_VENV="${TONALIS_VENV:-.venv}"
logs="build/logs/demo"

step "the environment"
use_compiler_cache
venv=$(python_environment "$python" demo "$logs")

# What the installed module was built from: the sources and the build setup.
sources=$(find src python CMakeLists.txt pyproject.toml -type f \
    ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum |
    cut -c1-16)
stamp="$venv/.tonalis-built"
if [ -e "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] &&
    "$venv/bin/python" -c 'import tonalis, tonalis_tools' 2>/dev/null; then
    step "tonalis is built from these sources already"
else
    step "building and installing tonalis; log: $logs/build.log"
    rm -f "$stamp"
    quietly "$logs/build.log" "building" "$venv/bin/python" -m pip install -v --no-deps \
        --no-build-isolation ".[pil]"
    echo "$sources" >"$stamp"
fi

step "writing the gallery into ${1:-gallery}"
"$venv/bin/tonalis" demo "${1:-gallery}"
step "done: open ${1:-gallery}/index.html"
