# A Quillane world in a throw-away HOME on a private session bus, for the agent's integration
# tests and the update demo: the plug-in with the agent inside, a feed served from this
# machine, the Mail stand-in with a desktop entry that starts it again. Source it, then call
# sandbox_init. Needs HOME, XDG_DATA_HOME, TMPDIR and DBUS_SESSION_BUS_ADDRESS set to
# private ones (tests/run-sandboxed.sh --bus does that) and QUILLANE_BUILD_DIR.

AGENT_ID=org.quillane.UpdateAgent
PLUGIN_ID=org.quillane.Quillane
MAIL_ID=com.apple.mail

sandbox_init() {
  : "${QUILLANE_BUILD_DIR:?the build folder}"
  BIN=$QUILLANE_BUILD_DIR/bin
  AGENT_APP=$BIN/QuillaneUpdateAgent.app
  WORK=$(mktemp -d "$TMPDIR/world.XXXXXX")
  BUNDLES=$HOME/Library/Mail/Bundles
  PLUGIN=$BUNDLES/Quillane.mailbundle
  INSTALLED_AGENT=$PLUGIN/Contents/Resources/QuillaneUpdateAgent.app
  WWW=$WORK/www
  MAIL_EVENTS=$WORK/mail-events.jsonl
  AGENT_LOG=$WORK/agent.log
  SANDBOX_PIDS=()
  mkdir -p "$BUNDLES" "$WWW"
  trap sandbox_cleanup EXIT
}

# Ends what this world started, by process id.
sandbox_cleanup() {
  local pid
  # Mail started again by the update library belongs to this world too: it owns Mail's name.
  for pid in "${SANDBOX_PIDS[@]}" $(name_owner_pid "$MAIL_ID"); do
    kill "$pid" 2>/dev/null || true
  done
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# ---- Keys, bundles, feeds ---------------------------------------------------------------

make_key() {
  KEY=$WORK/update.key
  PUBLIC_KEY=$("$BIN/update-publisher" keygen --key "$KEY" | tail -n 1)
}

# write_info_plist FILE VERSION FEED_URL: the plug-in's Info.plist.
write_info_plist() {
  cat >"$1" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>$PLUGIN_ID</string>
	<key>CFBundleName</key>
	<string>Quillane</string>
	<key>CFBundleVersion</key>
	<string>$2</string>
	<key>CFBundleShortVersionString</key>
	<string>$2</string>
	<key>SUFeedURL</key>
	<string>$3</string>
	<key>SUPublicEDKey</key>
	<string>$PUBLIC_KEY</string>
	<key>SUAutomaticallyUpdate</key>
	<true/>
</dict>
</plist>
EOF
}

# make_plugin DIR VERSION: DIR/Quillane.mailbundle at VERSION, with a copy of the agent inside.
make_plugin() {
  local bundle=$1/Quillane.mailbundle
  mkdir -p "$bundle/Contents/Resources"
  write_info_plist "$bundle/Contents/Info.plist" "$2" "$FEED_URL"
  echo "Quillane $2" >"$bundle/Contents/Resources/version.txt"
  cp -a "$AGENT_APP" "$bundle/Contents/Resources/"
}

# publish VERSION [feed options]: a signed archive of the plug-in at VERSION, added to the feed
# (FEED_FILE, $WWW/appcast.xml unless set).
publish() {
  local version=$1 staging=$WORK/build-$1
  shift
  mkdir -p "$staging"
  make_plugin "$staging" "$version"
  tar -czf "$WWW/Quillane-$version.tar.gz" -C "$staging" Quillane.mailbundle
  "$BIN/update-publisher" feed --feed "${FEED_FILE:-$WWW/appcast.xml}" --archive "$WWW/Quillane-$version.tar.gz" \
    --url "$FEED_BASE/Quillane-$version.tar.gz" --key "$KEY" "$@" >/dev/null
}

# set_update_group N: the plug-in's preference domain puts this installation in rollout group N.
set_update_group() {
  mkdir -p "$HOME/Library/Preferences"
  python3 -c 'import plistlib, sys; plistlib.dump({"SUUpdateGroupIdentifier": int(sys.argv[2])}, open(sys.argv[1], "wb"))' \
    "$HOME/Library/Preferences/$PLUGIN_ID.plist" "$1"
}

# An empty but valid feed: nothing newer on offer.
publish_nothing() {
  local staging=$WORK/build-empty
  mkdir -p "$staging"
  make_plugin "$staging" 0.9
  tar -czf "$WORK/Quillane-0.9.tar.gz" -C "$staging" Quillane.mailbundle
  "$BIN/update-publisher" feed --feed "$WWW/appcast.xml" --archive "$WORK/Quillane-0.9.tar.gz" \
    --url "$FEED_BASE/Quillane-0.9.tar.gz" --key "$KEY" >/dev/null
}

plugin_version() {
  python3 -c 'import plistlib, sys; print(plistlib.load(open(sys.argv[1], "rb"))["CFBundleVersion"])' \
    "$PLUGIN/Contents/Info.plist"
}

# ---- The feed server --------------------------------------------------------------------

# Picks the port first so the feed's address can go into the bundles before serving.
choose_feed_port() {
  FEED_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  FEED_BASE=http://127.0.0.1:$FEED_PORT
  FEED_URL=$FEED_BASE/appcast.xml
}

start_feed_server() {
  python3 -m http.server --bind 127.0.0.1 --directory "$WWW" "$FEED_PORT" >"$WORK/feed-server.log" 2>&1 &
  SANDBOX_PIDS+=($!)
  local i
  for i in $(seq 100); do
    curl -sf -o /dev/null "$FEED_URL" && return 0
    sleep 0.1
  done
  echo "the feed server did not start" >&2
  return 1
}

# ---- Mail ---------------------------------------------------------------------------------

# install_mail_entry [stand-in options]: Mail's desktop entry, so Mail can be found and
# started again; every instance appends to the same event log.
install_mail_entry() {
  mkdir -p "$XDG_DATA_HOME/applications"
  cat >"$XDG_DATA_HOME/applications/$MAIL_ID.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Mail
Exec=$BIN/mail-standin --log $MAIL_EVENTS $*
Terminal=false
EOF
}

start_mail() {
  "$BIN/mail-standin" --log "$MAIL_EVENTS" "$@" >/dev/null 2>"$WORK/mail.err" &
  MAIL_PID=$!
  SANDBOX_PIDS+=("$MAIL_PID")
  wait_for_name "$MAIL_ID" 10 "$MAIL_PID"
}

mail_events() { cat "$MAIL_EVENTS" 2>/dev/null || true; }

# ---- The bus ------------------------------------------------------------------------------

name_owner_pid() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p' || true
}

# wait_for_name NAME SECONDS [PID]: until NAME has an owner on the bus (that process, if given).
wait_for_name() {
  local deadline=$(( $(date +%s) + $2 )) owner
  while [ "$(date +%s)" -le "$deadline" ]; do
    owner=$(name_owner_pid "$1")
    if [ -n "$owner" ] && { [ -z "${3:-}" ] || [ "$owner" = "$3" ]; }; then return 0; fi
    sleep 0.05
  done
  echo "${3:-nobody} did not take $1 on the bus within $2 s (owner: ${owner:-none})" >&2
  return 1
}

# ---- The agent ----------------------------------------------------------------------------

# start_agent APP: runs the agent of that bundle; AGENT_PID.
start_agent() {
  "$1/Contents/MacOS/QuillaneUpdateAgent" 2>"$AGENT_LOG" &
  AGENT_PID=$!
  SANDBOX_PIDS+=("$AGENT_PID")
  wait_for_name "$AGENT_ID" 10 "$AGENT_PID"
}

# running PID: the process exists and has not ended (a child that ended but was not yet
# waited for still answers kill -0).
running() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# wait_for_exit PID SECONDS: 0 once it has ended (its status in EXIT_STATUS), 1 on timeout.
wait_for_exit() {
  local deadline=$(( $(date +%s) + $2 ))
  EXIT_STATUS=
  while running "$1"; do
    if [ "$(date +%s)" -gt "$deadline" ]; then return 1; fi
    sleep 0.02
  done
  wait "$1" 2>/dev/null
  EXIT_STATUS=$?
  return 0
}

# send_gdbus ID: a control event through a plain D-Bus call.
send_gdbus() {
  local code
  code=$(printf '0x%02X%02X%02X%02X' "'${1:0:1}" "'${1:1:1}" "'${1:2:1}" "'${1:3:1}")
  # The address as a byte list: a b'...' bytestring would carry a terminating zero byte.
  local address
  address=$(printf '%s' "$AGENT_ID" | od -An -tx1 -v | tr -s ' \n' ' ' | sed 's/^ //; s/ $//; s/ /, 0x/g; s/^/[byte 0x/; s/$/]/')
  gdbus call --session --dest "$AGENT_ID" --object-path /org/quillane/AppleEvents \
    --method org.quillane.AppleEvents.Event -- \
    0x534B4850 "$code" 0x62756E64 "$address" -1 0 '[]'
}

send_aesend() { "$BIN/aesend" "$AGENT_ID" SKHP "$1"; }
