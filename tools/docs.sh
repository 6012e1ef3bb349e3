#!/usr/bin/env bash
# Builds the documentation site from docs/ into build/docs/html, with
# Sphinx's warnings as errors.
#
#   bash tools/docs.sh          # its own environment, with tonalis built into it
#   bash tools/docs.sh PYTHON   # PYTHON's installed tonalis (tools/test_all.sh
#                               # passes the suite's environment)
#
# The API pages are read from the installed module's docstrings, so the
# interpreter that runs Sphinx needs tonalis. Sphinx, furo and MyST come at
# the versions pyproject.toml's "docs" extra asks for, installed once per
# interpreter and requirements into a folder under the cache
# (tools/cache.sh) that is put on PYTHONPATH: PYTHON's own environment is
# left as it is. TONALIS_DOCS_OUT names another output folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh
logs=build/logs/docs
out=${TONALIS_DOCS_OUT:-build/docs/html}

if [ $# -ge 1 ]; then
    python=$1
else
    step "docs: an environment with tonalis"
    use_compiler_cache
    venv=$(python_environment python3 docs "$logs")
    quietly "$logs/build.log" "building tonalis" "$venv/bin/python" -m pip install -v --no-deps \
        --no-build-isolation .
    python="$venv/bin/python"
fi

mapfile -t pins < <(python3 -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]:
    print(r)')
key=$(printf '%s\n' "${pins[@]}" "$("$python" -c 'import sys; print(sys.version)')" | sha256sum | cut -c1-12)
tools="$TONALIS_CACHE/docs-tools/$key"
if [ ! -e "$tools/.tonalis-ready" ] || [ "${TONALIS_NO_CACHE:-0}" = 1 ]; then
    rm -rf "$tools"
    # Folders of older keys are of no more use.
    rm -rf "$TONALIS_CACHE/docs-tools/"*
    mkdir -p "$tools"
    quietly "$logs/pip.log" "installing ${pins[*]}" \
        "$python" -m pip install --disable-pip-version-check --target "$tools" "${pins[@]}"
    touch "$tools/.tonalis-ready"
fi

step "docs: sphinx-build -W into $out"
rm -rf "$out"
PYTHONPATH="$tools${PYTHONPATH:+:$PYTHONPATH}" "$python" -m sphinx -W --keep-going -q -b html \
    -d build/docs/doctrees docs "$out"
echo "    passed: the site is in $out/index.html"
