#!/usr/bin/env bash
# Installs tonalis into .venv and writes the gallery of every dither family
# on the built-in samples into gallery/ (or the folder given).
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[pil]"
.venv/bin/tonalis demo "${1:-gallery}"
