#!/usr/bin/env bash
# Installs the module and runs the demo on the embedded sample pipeline.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q .
exec .venv/bin/korvane demo "$@"
