#!/usr/bin/env bash
# Two agents of one plug-in, one per login of the same user, each on its own session bus,
# checking at the same moment: whatever order their installations take, the plug-in ends at
# the newest version offered, and a version is installed once.
set -uo pipefail
here=$(dirname "$0")
source "$here/plugin_sandbox.sh"
source "$here/check.sh"

ROUNDS=${ROUNDS:-20}
sandbox_init
make_key
choose_feed_port
FEED_FILE=$WWW/feed-1.1.xml publish 1.1
FEED_FILE=$WWW/feed-1.2.xml publish 1.2

python3 "$here/paired_feed_server.py" "$WWW" "$FEED_PORT" >"$WORK/feed-server.log" 2>&1 &
SANDBOX_PIDS+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "$FEED_BASE/" && break; sleep 0.1; done

# The second login's bus.
dbus-daemon --session --nofork --print-address=3 3>"$WORK/second-bus" &
SANDBOX_PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/second-bus" ] && break; sleep 0.05; done
FIRST_BUS=$DBUS_SESSION_BUS_ADDRESS
SECOND_BUS=$(head -n 1 "$WORK/second-bus")

# on_bus ADDRESS COMMAND...: the command with that bus as the session bus.
on_bus() {
  local saved=$DBUS_SESSION_BUS_ADDRESS status
  export DBUS_SESSION_BUS_ADDRESS=$1
  shift
  "$@"
  status=$?
  export DBUS_SESSION_BUS_ADDRESS=$saved
  return $status
}

# round N: both agents check a plug-in at 1.0; their logs in $WORK/agent-N-{1,2}.log.
round() {
  rm -rf "$PLUGIN"
  make_plugin "$BUNDLES" 1.0
  AGENT_LOG=$WORK/agent-$1-1.log on_bus "$FIRST_BUS" start_agent "$INSTALLED_AGENT" || return 1
  local first=$AGENT_PID
  AGENT_LOG=$WORK/agent-$1-2.log on_bus "$SECOND_BUS" start_agent "$INSTALLED_AGENT" || return 1
  local second=$AGENT_PID
  on_bus "$FIRST_BUS" send_aesend CHBG >/dev/null && on_bus "$SECOND_BUS" send_aesend CHBG >/dev/null || return 1
  wait_for_exit "$first" 60 && wait_for_exit "$second" 60
}

installs_in() { cat "$@" | grep -c "Update: installed Quillane" || true; }

start_case "1.2 offered to one login, 1.1 to the other, $ROUNDS rounds"
echo "feed-1.2.xml feed-1.1.xml" >"$WWW/feed-order"
at_newest=0 refused_older=0
for n in $(seq "$ROUNDS"); do
  expect "round $n: both agents end" round "$n"
  if [ "$(plugin_version)" = 1.2 ]; then at_newest=$((at_newest + 1)); fi
  grep -q "version 1.1 of Quillane was not installed: version 1.2 was installed meanwhile" \
    "$WORK"/agent-"$n"-*.log && refused_older=$((refused_older + 1))
done
echo "at 1.2: $at_newest of $ROUNDS; 1.1 refused under the lock after 1.2: $refused_older"
expect_eq "rounds ending at 1.2" "$ROUNDS" "$at_newest"
expect_eq "its contents too" "Quillane 1.2" "$(cat "$PLUGIN/Contents/Resources/version.txt")"

start_case "1.1 offered to both logins, 5 rounds"
echo "feed-1.1.xml" >"$WWW/feed-order"
for n in $(seq 101 105); do
  expect "round $n: both agents end" round "$n"
  expect_eq "round $n: at 1.1" 1.1 "$(plugin_version)"
  expect_eq "round $n: one installation" 1 "$(installs_in "$WORK"/agent-"$n"-*.log)"
  expect_eq "round $n: the other names both versions" 1 \
    "$(cat "$WORK"/agent-"$n"-*.log | grep -c "version 1.1 of Quillane was not installed: version 1.1 was installed meanwhile")"
done
expect_eq "no staging folder left" "" "$(ls -A "$BUNDLES" | grep -v '^Quillane.mailbundle$')"
expect "the lock file is beside the bundles folder" test -f "$HOME/Library/Mail/.Quillane.mailbundle-installation.lock"

finish
