#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest.
# Each test gets its own sandbox HOME, Qt's offscreen platform and, where it
# talks D-Bus, a private session bus (tests/run-sandboxed.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j "$(nproc)" "$@"
