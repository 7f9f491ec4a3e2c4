#!/usr/bin/env bash
# Runs one test command in a sandbox: a throw-away HOME with its own XDG folders,
# Qt's offscreen platform and, with --bus, a private D-Bus session bus.
#   run-sandboxed.sh [--bus] -- command args...
set -euo pipefail

use_bus=0
while [ $# -gt 0 ]; do
  case "$1" in
    --bus) use_bus=1; shift ;;
    --) shift; break ;;
    *) echo "run-sandboxed.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/quillane-test.XXXXXX")
cleanup() {
  # A test may leave read-only or immutable items behind; make them removable first.
  chattr -R -i "$sandbox" 2>/dev/null || true
  chmod -R u+rwX "$sandbox" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

export HOME="$sandbox/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$sandbox/run"
export TMPDIR="$sandbox/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
# Never the machine's system bus: a test that needs one starts its own.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$sandbox/no-system-bus"
# The programs speak the user's language; tests read their English texts unless they choose one.
export LANG=C.UTF-8
unset LANGUAGE LC_ALL LC_MESSAGES
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

if [ "$use_bus" -eq 1 ]; then
  dbus-run-session -- "$@"
else
  "$@"
fi
