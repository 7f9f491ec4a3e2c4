#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job in a sandbox:
# a throw-away HOME and a private session bus, never the real user's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec bash scripts/demo-removal.sh "$@"
