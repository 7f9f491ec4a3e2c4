#!/usr/bin/env bash
# Whole updates through the real agent inside a plug-in at 1.0: a feed served from this
# machine, the update library, and the Mail stand-in with a desktop entry to start it again.
set -uo pipefail
here=$(dirname "$0")
source "$here/plugin_sandbox.sh"
source "$here/check.sh"

sandbox_init
make_key
choose_feed_port

# Event lines Mail received, as "class/id reply_wanted", in order.
mail_event_summary() {
  python3 -c '
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    print("%s/%s %s %s" % (e["class"], e["id"], e["address"], "reply" if e["reply_wanted"] else "no-reply"))
' "$MAIL_EVENTS" 2>/dev/null | paste -sd, -
}

# fresh_world: the plug-in back at 1.0, no Mail running, an empty event log.
fresh_world() {
  local pid
  for pid in $(name_owner_pid "$MAIL_ID"); do kill "$pid"; done
  rm -rf "$PLUGIN" "$MAIL_EVENTS"
  make_plugin "$BUNDLES" 1.0
}

start_case "no update on offer"
publish_nothing
start_feed_server
install_mail_entry
fresh_world
expect "Mail is up" start_mail
expect "the agent is up" start_agent "$INSTALLED_AGENT"
t0=$(now)
expect "CHBG sent" send_aesend CHBG
expect "the agent ends" wait_for_exit "$AGENT_PID" 30
took=$(elapsed "$t0" "$(now)")
echo "CHBG to the agent's end: ${took}s"
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"
expect_between "seconds from CHBG to the end (a loopback fetch, then at most 1 s)" 0 8 "$took"
expect_eq "the plug-in is untouched" 1.0 "$(plugin_version)"
expect_eq "Mail was only brought to the front" "misc/actv com.apple.mail no-reply" "$(mail_event_summary)"
expect_eq "Mail still runs as it was" "$MAIL_PID" "$(name_owner_pid "$MAIL_ID")"

start_case "QTSH while the foreground check shows \"up to date\""
fresh_world
expect "Mail is up" start_mail
expect "the agent is up" start_agent "$INSTALLED_AGENT"
fetches=$(grep -c "GET /appcast.xml" "$WORK/feed-server.log" || true)
expect "CHFG sent" send_aesend CHFG
for _ in $(seq 200); do
  [ "$(grep -c "GET /appcast.xml" "$WORK/feed-server.log" || true)" -gt "$fetches" ] && break
  sleep 0.05
done
sleep 1  # the alert is up, waiting for a click that never comes
expect "still running under the alert" running "$AGENT_PID"
expect "QTSH sent" send_aesend QTSH
expect "the agent ends" wait_for_exit "$AGENT_PID" 5
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"
sleep 0.5  # anything the agent sent would have arrived by now
expect_eq "Mail received nothing" "" "$(mail_event_summary)"
expect_eq "Mail still runs as it was" "$MAIL_PID" "$(name_owner_pid "$MAIL_ID")"

start_case "update found and installed"
publish 1.1
fresh_world
expect "Mail is up" start_mail
first_mail=$MAIL_PID
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHBG sent" send_aesend CHBG
expect "the agent ends" wait_for_exit "$AGENT_PID" 60
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"
expect_eq "the plug-in is the new version" 1.1 "$(plugin_version)"
expect_eq "its contents too" "Quillane 1.1" "$(cat "$PLUGIN/Contents/Resources/version.txt")"
expect_eq "Mail asked to quit with a reply wanted, then brought to the front" \
  "aevt/quit com.apple.mail reply,misc/actv com.apple.mail no-reply" "$(mail_event_summary)"
expect_not "the first Mail has quit" running "$first_mail"
relaunched=$(name_owner_pid "$MAIL_ID")
expect "Mail started again from its desktop entry" test -n "$relaunched" -a "$relaunched" != "$first_mail"
expect_eq "no error from the agent" 0 "$(grep -c "Error" "$AGENT_LOG" || true)"

start_case "Mail does not answer the quit request"
fresh_world
expect "Mail is up" start_mail --no-reply
hung_mail=$MAIL_PID
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHBG sent" send_aesend CHBG
quit_seen=""
for _ in $(seq 600); do
  if grep -q '"id":"quit"' "$MAIL_EVENTS" 2>/dev/null; then quit_seen=$(now); break; fi
  sleep 0.05
done
expect "Mail got the quit request" test -n "$quit_seen"
installed=""
for _ in $(seq 600); do
  if [ "$(plugin_version 2>/dev/null)" = 1.1 ]; then installed=$(now); break; fi
  sleep 0.05
done
expect "the installation went on" test -n "$installed"
if [ -n "$quit_seen" ] && [ -n "$installed" ]; then
  waited=$(elapsed "$quit_seen" "$installed")
  echo "quit request to installation: ${waited}s"
  expect_between "seconds the agent waited for Mail's answer" 9.5 20 "$waited"
fi
expect "the agent ends" wait_for_exit "$AGENT_PID" 60
expect_eq "exit status" 0 "${EXIT_STATUS:-none}"
expect "the hung Mail is still there" running "$hung_mail"

start_case "phased rollout: group 6 waits, group 0 installs"
publish 1.1 --phased-rollout-interval 86400
fresh_world
set_update_group 6
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHBG sent" send_aesend CHBG
expect "the agent ends" wait_for_exit "$AGENT_PID" 30
expect_eq "group 6 keeps 1.0" 1.0 "$(plugin_version)"
# The day group 6 joins: six intervals after the item's publication date.
joins=$(python3 -c '
import email.utils, re, sys, datetime
feed = open(sys.argv[1]).read()
date = email.utils.parsedate_to_datetime(re.search(r"<pubDate>(.*?)</pubDate>", feed).group(1))
print((date + datetime.timedelta(days=6)).astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
' "$WWW/appcast.xml")
expect "its log line says when it will update (from $joins)" \
  grep -q "version 1.1 is being rolled out in stages; this installation (group 6) gets it from $joins" "$AGENT_LOG"
expect_eq "the stored group is kept" 6 "$(python3 -c 'import plistlib, sys; print(plistlib.load(open(sys.argv[1], "rb"))["SUUpdateGroupIdentifier"])' "$HOME/Library/Preferences/$PLUGIN_ID.plist")"
fresh_world
set_update_group 0
expect "Mail is up" start_mail
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHBG sent" send_aesend CHBG
expect "the agent ends" wait_for_exit "$AGENT_PID" 60
expect_eq "group 0 installs at once" 1.1 "$(plugin_version)"

start_case "the Bundles folder turns read-only while Mail quits: Mail comes back"
publish 1.1
fresh_world
expect "Mail is up" start_mail --reply-delay 2000
first_mail=$MAIL_PID
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHBG sent" send_aesend CHBG
for _ in $(seq 600); do grep -q '"id":"quit"' "$MAIL_EVENTS" 2>/dev/null && break; sleep 0.05; done
# Root writes into a folder without write permission; an immutable one stops it too.
if [ "$(id -u)" -eq 0 ]; then chattr +i "$BUNDLES"; else chmod a-w "$BUNDLES"; fi
expect "the agent ends" wait_for_exit "$AGENT_PID" 60
if [ "$(id -u)" -eq 0 ]; then chattr -i "$BUNDLES"; else chmod u+w "$BUNDLES"; fi
expect_eq "the plug-in is the old version" 1.0 "$(plugin_version)"
expect "the failure is logged" grep -q "Update of $PLUGIN failed: version 1.1 was not installed" "$AGENT_LOG"
expect "and that Mail was restarted" grep -q "Update: the update failed and Mail was restarted" "$AGENT_LOG"
expect_not "the first Mail has quit" running "$first_mail"
relaunched=$(name_owner_pid "$MAIL_ID")
expect "Mail started again" test -n "$relaunched" -a "$relaunched" != "$first_mail"
expect_eq "Mail asked to quit, then brought to the front" \
  "aevt/quit com.apple.mail reply,misc/actv com.apple.mail no-reply" "$(mail_event_summary)"

finish
