#!/usr/bin/env bash
# A longer run of the kill-during-install trials than the test suite makes.
#   tests/updater-core/install-fault-script.sh [TRIALS] [BUILD_DIR]
# Runs in a sandbox (throw-away HOME and TMPDIR), like every test.
set -euo pipefail
trials=${1:-1000}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build}
test_binary=$build/bin/updater_core_install_atomicity_test
if [ ! -x "$test_binary" ]; then
  echo "install-fault-script.sh: build $test_binary first" >&2
  exit 2
fi
QUILLANE_INSTALL_TRIALS=$trials nice -n 10 bash "$here/../run-sandboxed.sh" -- "$test_binary"
