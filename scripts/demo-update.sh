#!/usr/bin/env bash
# Runs two updates of the Quillane plug-in through QuillaneUpdateAgent, in a sandbox: a
# throw-away HOME and a private session bus, never the real user's. The plug-in is installed
# at version 1.0 with the agent inside; the Mail stand-in runs (with a desktop entry, so it can
# be started again). A signed 1.1 is published on a feed served from this machine, with a delta
# from 1.0, and the agent is sent "CHBG": it downloads only the delta. Then a 1.2 with a delta
# from 1.1 is published, a file of the installed plug-in is changed by hand, and the agent is
# sent "CHBG" again: the delta does not fit, and the same run installs the full archive.
# Prints what happened.
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

# release VERSION: the plug-in at VERSION packed into the served folder. Every version carries
# the same help file, which the delta takes over unchanged from the installed plug-in.
release() {
  local staging=$WORK/build-$1
  mkdir -p "$staging"
  make_plugin "$staging" "$1"
  echo "Quillane help: press Reply to reply." >"$staging/Quillane.mailbundle/Contents/Resources/Help.txt"
  tar -czf "$WWW/Quillane-$1.tar.gz" -C "$staging" Quillane.mailbundle
}

# publish_with_delta FROM TO: TO's archive and the delta from FROM, signed, added to the feed.
publish_with_delta() {
  local delta=Quillane-$2-from-$1.delta
  "$BIN/update-publisher" delta --key "$KEY" --from "$WWW/Quillane-$1.tar.gz" --to "$WWW/Quillane-$2.tar.gz" \
    -o "$WWW/$delta" >/dev/null
  "$BIN/update-publisher" feed --feed "$WWW/appcast.xml" --archive "$WWW/Quillane-$2.tar.gz" \
    --url "$FEED_BASE/Quillane-$2.tar.gz" --delta "$WWW/$delta" --delta-url "$FEED_BASE/$delta" --key "$KEY" >/dev/null
  echo "Feed:     $FEED_URL offers $2 ($(stat -c %s "$WWW/Quillane-$2.tar.gz") bytes), and a delta from $1 ($(stat -c %s "$WWW/$delta") bytes)"
}

# update_round: starts the installed agent, sends it CHBG, waits for it, and shows what it logged
# and what was downloaded.
update_round() {
  local seen
  seen=$(wc -l <"$WORK/feed-server.log")
  start_agent "$INSTALLED_AGENT"
  echo "aesend CHBG to $AGENT_ID: status $(send_aesend CHBG)"
  if wait_for_exit "$AGENT_PID" 60; then
    echo "The agent ended (exit status $EXIT_STATUS)."
  else
    echo "The agent did not end within 60 s."
  fi
  echo "-- The agent's log"
  sed 's/^/  /' "$AGENT_LOG"
  echo "-- Downloaded from the feed server"
  local total=0 path size
  for path in $(tail -n +"$((seen + 1))" "$WORK/feed-server.log" | grep -ao '"GET /[^ ]*' | cut -c7-); do
    size=$(stat -c %s "$WWW/$path" 2>/dev/null || echo 0)
    total=$((total + size))
    printf '  %-34s %10s bytes\n' "$path" "$size"
  done
  printf '  %-34s %10s bytes\n' "in all" "$total"
  echo "Plug-in version now: $(plugin_version) ($(cat "$PLUGIN/Contents/Resources/version.txt"))"
}

echo "== Setting up (sandbox HOME: $HOME)"
make_key
choose_feed_port
release 1.0
cp -a "$WORK/build-1.0/Quillane.mailbundle" "$BUNDLES/"
release 1.1
publish_with_delta 1.0 1.1
start_feed_server
install_mail_entry
start_mail
first_mail=$MAIL_PID
echo "Plug-in:  $PLUGIN, version $(plugin_version)"
echo "Mail:     stand-in running as process $first_mail"

echo
echo "== 1. Update 1.0 -> 1.1 through the delta"
update_round

echo
echo "== Events Mail received"
python3 -c '
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    print("  %s/%s to %s%s" % (e["class"], e["id"], e["address"], ", reply wanted" if e["reply_wanted"] else ""))
' "$MAIL_EVENTS" 2>/dev/null || echo "  (none)"
now_mail=$(name_owner_pid "$MAIL_ID")
if [ -n "$now_mail" ] && [ "$now_mail" != "$first_mail" ]; then
  echo "Mail was started again from its desktop entry (process $now_mail)."
elif [ -n "$now_mail" ]; then
  echo "Mail is still the process it was ($now_mail)."
else
  echo "Mail is not running."
fi

echo
echo "== 2. Update 1.1 -> 1.2 after the installed Help.txt was changed by hand: the full archive"
release 1.2
publish_with_delta 1.1 1.2
echo "edited locally" >>"$PLUGIN/Contents/Resources/Help.txt"
update_round
