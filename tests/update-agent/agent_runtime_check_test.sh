#!/usr/bin/env bash
# The build's check of the agent's runtime libraries (cmake/check_agent_runtime.cmake), on the
# agent bundle of this build: it passes with the project's list, and with one library taken
# off that list it fails, naming the library and the part of the bundle that needs it.
set -uo pipefail
bundle=$QUILLANE_BUILD_DIR/bin/QuillaneUpdateAgent.app/Contents
list=$(printf 'include(%s/cmake/AgentRuntime.cmake)\nstring(JOIN "|" l ${QUILLANE_AGENT_RUNTIME_LIBRARIES})\nmessage("${l}")\n' \
  "$QUILLANE_SOURCE_DIR" >"$TMPDIR/list.cmake" && cmake -P "$TMPDIR/list.cmake" 2>&1)
check() {
  cmake -D READELF=readelf -D "PROGRAM=$bundle/MacOS/QuillaneUpdateAgent" -D "FRAMEWORKS_DIR=$bundle/Frameworks" \
    -D "ALLOWED=$1" -P "$QUILLANE_SOURCE_DIR/cmake/check_agent_runtime.cmake" 2>&1
}
failures=0
out=$(check "$list") || { echo "FAILED: the agent's bundle does not pass with its own list:"; echo "$out"; failures=1; }
without=$(printf '%s' "$list" | tr '|' '\n' | grep -vx 'libsodium.so.23' | paste -sd '|')
if out=$(check "$without"); then
  echo "FAILED: the check passed without libsodium on the list"; failures=1
elif ! grep -q 'libsodium.so.23 (needed by libQuillaneUpdater.so)' <<<"$out"; then
  echo "FAILED: the refusal does not name libsodium and what needs it:"; echo "$out"; failures=1
fi
exit $failures
