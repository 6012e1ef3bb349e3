#!/usr/bin/env bash
# Installs tonalis into .venv and dithers the built-in sample into gallery/.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[pil]"
.venv/bin/python examples/demo.py "${1:-gallery}"
