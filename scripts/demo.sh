#!/usr/bin/env bash
# Sets everything up, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
.venv/bin/python examples/demo.py
