#!/usr/bin/env bash
# The agent's real bundle, copied into a plug-in or elsewhere, started as a program on a
# private bus and driven by its control events through aesend and through plain D-Bus calls.
set -uo pipefail
here=$(dirname "$0")
source "$here/plugin_sandbox.sh"
source "$here/check.sh"

sandbox_init
PUBLIC_KEY=unused
FEED_URL=http://127.0.0.1:9/appcast.xml  # never fetched here
make_plugin "$BUNDLES" 1.0
LAUNCH_LINE="SparkleHelper Launched! Target Bundle: Sorrelby.mailbundle"
NO_PLUGIN_LINE="Sparkle Update Error -- No MailbundleToUpdate specified in info.plist"

# Whether every library of ours the process has loaded comes from that bundle's Frameworks.
loads_only_from() {
  local pid=$1 frameworks=$2/Contents/Frameworks
  local ours
  ours=$(grep -oE '/[^ ]*/lib(QuillaneUpdater|quillane_[a-z]+)\.so[^ ]*' "/proc/$pid/maps" | sort -u)
  [ -n "$ours" ] || return 1
  [ "$(grep -c "^$frameworks/" <<<"$ours")" -eq "$(wc -l <<<"$ours")" ] && grep -q libQuillaneUpdater <<<"$ours"
}

log_count() { grep -cF -- "$1" "$AGENT_LOG" || true; }

start_case "quit right after launch, with aesend"
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "the copy inside the plug-in loads its own libraries" loads_only_from "$AGENT_PID" "$INSTALLED_AGENT"
expect "aesend reports the event handled" send_aesend QTSH
expect "the agent ends" wait_for_exit "$AGENT_PID" 5
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"
expect_eq "launch line" 1 "$(log_count "] $LAUNCH_LINE")"
expect_eq "no check ran" 0 "$(log_count "Sparkle Update Error")"

start_case "quit right after launch, with gdbus"
expect "the agent is up" start_agent "$INSTALLED_AGENT"
send_gdbus QTSH >/dev/null 2>&1
expect "the agent ends" wait_for_exit "$AGENT_PID" 5
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"

start_case "background check outside any plug-in, then quit"
elsewhere=$HOME/Applications
mkdir -p "$elsewhere"
cp -a "$AGENT_APP" "$elsewhere/"
expect "the agent is up" start_agent "$elsewhere/QuillaneUpdateAgent.app"
expect "a copy elsewhere loads its own libraries" loads_only_from "$AGENT_PID" "$elsewhere/QuillaneUpdateAgent.app"
expect_eq "gdbus answer: status 0, no reply parameters" "(0, @a(uuay) [])" "$(send_gdbus CHBG 2>&1)"
sleep 1.5
expect "still running" running "$AGENT_PID"
expect_eq "still on the bus" "$AGENT_PID" "$(name_owner_pid "$AGENT_ID")"
expect_eq "one error line, exactly" 1 "$(grep -cE "^[0-9-]+ [0-9:.]+ QuillaneUpdateAgent\[[0-9]+:[0-9]+\] $NO_PLUGIN_LINE\$" "$AGENT_LOG")"
expect "a second check, by aesend waiting for the answer" "$BIN/aesend" --wait "$AGENT_ID" SKHP CHFG
expect_eq "its own error line" 2 "$(log_count "$NO_PLUGIN_LINE")"
expect_not "an unknown event is refused" "$BIN/aesend" --wait "$AGENT_ID" SKHP XXXX
expect "still running" running "$AGENT_PID"
expect "quit" send_aesend QTSH
expect "the agent ends" wait_for_exit "$AGENT_PID" 5
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"

start_case "a second agent while one runs"
expect "the first agent is up" start_agent "$INSTALLED_AGENT"
first=$AGENT_PID
second_log=$WORK/second-agent.log
t0=$(now)
"$INSTALLED_AGENT/Contents/MacOS/QuillaneUpdateAgent" 2>"$second_log" &
second=$!
SANDBOX_PIDS+=("$second")
expect "the second ends" wait_for_exit "$second" 5
took=$(elapsed "$t0" "$(now)")
echo "second agent's lifetime: ${took}s"
expect_between "seconds the second agent lived" 0 1 "$took"
expect_eq "its exit status is a failure" 1 "${EXIT_STATUS:-none}"
expect "it says why" grep -q "Cannot receive events for $AGENT_ID: error -910" "$second_log"
expect "and that the first one goes on" grep -q "$AGENT_ID is already running" "$second_log"
expect_eq "it never launched" 0 "$(grep -c "SparkleHelper Launched" "$second_log" || true)"
expect_eq "the first still owns the name" "$first" "$(name_owner_pid "$AGENT_ID")"
expect "the first still answers" send_aesend QTSH
expect "the first ends" wait_for_exit "$first" 5

finish
