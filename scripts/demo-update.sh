#!/usr/bin/env bash
# Runs one update of the Quillane plug-in through QuillaneUpdateAgent, in a sandbox: a
# throw-away HOME and a private session bus, never the real user's. The plug-in is installed
# at version 1.0 with the agent inside, a signed 1.1 is published on a feed served from this
# machine, the Mail stand-in runs (with a desktop entry, so it can be started again), and
# the agent is sent "CHBG". Prints what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" != --in-sandbox ]; then
  bash scripts/install-deps.sh
  bash scripts/build.sh
  sandbox=$(mktemp -d "${TMPDIR:-/tmp}/quillane-demo.XXXXXX")
  trap 'rm -rf "$sandbox"' EXIT
  export QUILLANE_BUILD_DIR=$root/${BUILD_DIR:-build}
  export HOME=$sandbox/home XDG_DATA_HOME=$sandbox/home/.local/share XDG_CONFIG_HOME=$sandbox/home/.config
  export XDG_CACHE_HOME=$sandbox/home/.cache XDG_RUNTIME_DIR=$sandbox/run TMPDIR=$sandbox/tmp
  export QT_QPA_PLATFORM=offscreen
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
  mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
  mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
  dbus-run-session -- bash "$0" --in-sandbox
  exit
fi

source tests/update-agent/plugin_sandbox.sh
sandbox_init

echo "== Setting up (sandbox HOME: $HOME)"
make_key
choose_feed_port
make_plugin "$BUNDLES" 1.0
publish 1.1
start_feed_server
install_mail_entry
start_mail
first_mail=$MAIL_PID
echo "Plug-in:  $PLUGIN, version $(plugin_version)"
echo "Agent:    $INSTALLED_AGENT"
echo "Feed:     $FEED_URL offers 1.1, signed"
echo "Mail:     stand-in running as process $first_mail"

start_agent "$INSTALLED_AGENT"
echo
echo "== Sending CHBG to $AGENT_ID"
echo "aesend status: $(send_aesend CHBG)"
if wait_for_exit "$AGENT_PID" 60; then
  echo "The agent ended (exit status $EXIT_STATUS)."
else
  echo "The agent did not end within 60 s."
fi

echo
echo "== The agent's log"
sed 's/^/  /' "$AGENT_LOG"
echo
echo "== Events Mail received"
python3 -c '
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    print("  %s/%s to %s%s" % (e["class"], e["id"], e["address"], ", reply wanted" if e["reply_wanted"] else ""))
' "$MAIL_EVENTS" 2>/dev/null || echo "  (none)"
echo
echo "== Result"
echo "Plug-in version now: $(plugin_version) ($(cat "$PLUGIN/Contents/Resources/version.txt"))"
now_mail=$(name_owner_pid "$MAIL_ID")
if [ -n "$now_mail" ] && [ "$now_mail" != "$first_mail" ]; then
  echo "Mail was started again from its desktop entry (process $now_mail)."
elif [ -n "$now_mail" ]; then
  echo "Mail is still the process it was ($now_mail)."
else
  echo "Mail is not running."
fi
