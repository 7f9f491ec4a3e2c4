#!/usr/bin/env bash
# The Apple-event demo: in a sandbox (a throw-away HOME and a private session bus), starts
# the Mail stand-in, asks it to quit with aesend without waiting and then waiting for its
# answer, and prints what the stand-in received.
set -euo pipefail
cd "$(dirname "$0")/.."
bin="$(pwd)/${BUILD_DIR:-build}/bin"
for tool in aesend mail-standin; do
  [ -x "$bin/$tool" ] || { echo "demo: $bin/$tool is missing; build first (scripts/build.sh)" >&2; exit 1; }
done

if [ "${QUILLANE_DEMO_IN_SANDBOX:-}" != 1 ]; then
  sandbox=$(mktemp -d "${TMPDIR:-/tmp}/quillane-demo.XXXXXX")
  trap 'rm -rf "$sandbox"' EXIT
  mkdir -p "$sandbox/home" "$sandbox/tmp"
  mkdir -m 0700 "$sandbox/run"
  env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
    HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/run" TMPDIR="$sandbox/tmp" \
    XDG_CONFIG_HOME="$sandbox/home/.config" XDG_DATA_HOME="$sandbox/home/.local/share" \
    XDG_CACHE_HOME="$sandbox/home/.cache" QT_QPA_PLATFORM=offscreen QUILLANE_DEMO_IN_SANDBOX=1 \
    dbus-run-session -- bash "$0" "$@" 2> >(grep -v 'Failed to set fd limit' >&2)
  exit $?
fi

log="$HOME/mail-events.log"

start_mail() {
  "$bin/mail-standin" --log "$log" &
  mail_pid=$!
  for _ in $(seq 100); do
    if gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner com.apple.mail 2>/dev/null | grep -q true; then
      return 0
    fi
    kill -0 "$mail_pid" 2>/dev/null || { echo "demo: the Mail stand-in did not start" >&2; exit 1; }
    sleep 0.05
  done
  echo "demo: the Mail stand-in did not claim com.apple.mail" >&2
  exit 1
}

send() {
  echo "\$ aesend $*"
  "$bin/aesend" "$@"
}

stop_mail() {
  # The stand-in quits after answering a quit; anything else is a failure of the demo.
  if ! wait "$mail_pid"; then
    echo "demo: the Mail stand-in did not quit cleanly" >&2
    exit 1
  fi
}

echo "== Quit request without waiting, as the removal tool sends it"
start_mail
send com.apple.mail aevt quit
stop_mail

echo "== Quit request waiting up to 600 ticks, as the update agent sends it"
start_mail
send --wait --timeout 600 com.apple.mail aevt quit
stop_mail

echo "== Mail not running"
send --wait --timeout 600 com.apple.mail aevt quit || true

echo "== What the Mail stand-in received"
cat "$log"
