#!/usr/bin/env bash
# The download limits at their real values, by hand (about two minutes): the real agent in a
# plug-in at 1.0, against a loopback server that drips the feed or the archive a byte every
# 5 s, and one that sends the archive at an honest 2 KiB/s.
#   tests/updater/transfer-limits-script.sh [BUILD_DIR]
# Runs in a sandbox (throw-away HOME, private bus), like every test.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QUILLANE_LIMITS_SANDBOXED:-}" ]; then
  export QUILLANE_BUILD_DIR=${1:-$here/../../build} QUILLANE_LIMITS_SANDBOXED=1
  exec bash "$here/../run-sandboxed.sh" --bus -- bash "$0"
fi
source "$here/../update-agent/plugin_sandbox.sh"
source "$here/../update-agent/check.sh"

sandbox_init
make_key
choose_feed_port
PACE=$WORK/pace  # what the server does to the next request: "PATH MODE" lines

# Serves $WWW; a path listed in $PACE goes out a byte every 5 s ("drip") or at 2 KiB/s ("slow").
start_paced_server() {
  python3 - "$WWW" "$FEED_PORT" "$PACE" >"$WORK/server.log" 2>&1 <<'PY' &
import http.server, os, sys, time
root, port, pace_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = os.path.join(root, self.path.lstrip("/"))
        if not os.path.isfile(path):
            self.send_error(404); return
        body = open(path, "rb").read()
        modes = dict(line.split() for line in open(pace_file)) if os.path.exists(pace_file) else {}
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        step, pause = {"drip": (1, 5.0), "slow": (256, 0.125)}.get(modes.get(self.path), (len(body), 0))
        try:
            for i in range(0, len(body), step):
                self.wfile.write(body[i:i + step]); self.wfile.flush()
                if pause: time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError):
            pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
  SANDBOX_PIDS+=($!)
  sleep 1
}

# A plug-in at VERSION with 100 KB that does not compress, so that 2 KiB/s takes ~50 s.
publish_padded() {
  local staging=$WORK/padded-$1
  mkdir -p "$staging/Quillane.mailbundle/Contents/Resources"
  write_info_plist "$staging/Quillane.mailbundle/Contents/Info.plist" "$1" "$FEED_URL"
  echo "Quillane $1" >"$staging/Quillane.mailbundle/Contents/Resources/version.txt"
  head -c 100000 /dev/urandom >"$staging/Quillane.mailbundle/Contents/Resources/padding"
  tar -czf "$WWW/Quillane-$1.tar.gz" -C "$staging" Quillane.mailbundle
  "$BIN/update-publisher" feed --feed "$WWW/appcast.xml" --archive "$WWW/Quillane-$1.tar.gz" \
    --url "$FEED_BASE/Quillane-$1.tar.gz" --key "$KEY" >/dev/null
}

# run_check PACE_LINE: a background check from a fresh plug-in at 1.0; seconds to the agent's end.
run_check() {
  echo "$1" >"$PACE"
  rm -rf "$PLUGIN"
  make_plugin "$BUNDLES" 1.0
  start_agent "$INSTALLED_AGENT" || return 1
  local t0
  t0=$(now)
  send_aesend CHBG >/dev/null
  wait_for_exit "$AGENT_PID" 150 || { echo "the agent still runs after 150 s"; return 1; }
  TOOK=$(elapsed "$t0" "$(now)")
}

start_paced_server
install_mail_entry
publish_padded 1.1

start_case "the feed drips a byte every 5 s"
expect "the run ends" run_check "/appcast.xml drip"
echo "CHBG to the agent's end: ${TOOK}s"
expect_between "seconds (the floor applies from 20 s on)" 19 40 "$TOOK"
expect_eq "the plug-in is untouched" 1.0 "$(plugin_version)"
grep -F "failed" "$AGENT_LOG"
expect "the log line names the floor" grep -q "below the floor of 1024 bytes/s" "$AGENT_LOG"

start_case "the archive drips a byte every 5 s"
expect "the run ends" run_check "/Quillane-1.1.tar.gz drip"
echo "CHBG to the agent's end: ${TOOK}s"
expect_between "seconds" 19 40 "$TOOK"
expect_eq "the plug-in is untouched" 1.0 "$(plugin_version)"
grep -F "failed" "$AGENT_LOG"
expect "the log line names the floor" grep -q "below the floor of 1024 bytes/s" "$AGENT_LOG"

start_case "the archive comes at 2 KiB/s"
expect "the run ends" run_check "/Quillane-1.1.tar.gz slow"
echo "CHBG to the agent's end: ${TOOK}s"
expect_between "seconds (100 KB at 2 KiB/s)" 40 120 "$TOOK"
expect_eq "the update is installed" 1.1 "$(plugin_version)"
expect_eq "no failure logged" 0 "$(grep -c "failed" "$AGENT_LOG" || true)"

finish
