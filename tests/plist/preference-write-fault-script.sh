#!/usr/bin/env bash
# A longer run of the killed-preference-write trials than the test suite makes.
#   tests/plist/preference-write-fault-script.sh [TRIALS] [BUILD_DIR]
# Runs in a sandbox (throw-away HOME and TMPDIR), like every test.
set -euo pipefail
trials=${1:-1000}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build}
test_binary=$build/bin/plist_user_defaults_test
if [ ! -x "$test_binary" ]; then
  echo "preference-write-fault-script.sh: build $test_binary first" >&2
  exit 2
fi
QUILLANE_PREFERENCE_KILL_TRIALS=$trials nice -n 10 bash "$here/../run-sandboxed.sh" -- \
  "$test_binary" --gtest_filter='*WritesKilledAtAnyMoment*'
