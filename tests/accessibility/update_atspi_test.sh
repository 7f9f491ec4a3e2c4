#!/usr/bin/env bash
# The update prompt of the real agent through AT-SPI in one language (C, de or fr): a
# foreground check finds 2.0 on a feed served from this machine; the prompt is read by name
# and role, Install pressed through the action interface; then the plug-in must be at 2.0.
set -uo pipefail
here=$(dirname "$0")
agent_tests=$here/../update-agent
source "$here/a11y_session.sh"
source "$agent_tests/plugin_sandbox.sh"
source "$agent_tests/check.sh"
language=$1
notes="Searches are faster in this version."

use_language "$language"
sandbox_init
start_display
SANDBOX_PIDS+=("$XVFB_PID")
start_accessibility
make_key
choose_feed_port
publish 2.0 --description "<h2>Quillane 2.0</h2><p>$notes</p>"
start_feed_server
install_mail_entry
make_plugin "$BUNDLES" 1.0

start_case "the update prompt through AT-SPI ($language)"
expect "Mail is up" start_mail
expect "the agent is up" start_agent "$INSTALLED_AGENT"
expect "CHFG sent" send_aesend CHFG
expect "the prompt read and Install pressed through AT-SPI" \
  /usr/bin/python3 "$here/update_scenario.py" "$language" "$notes"
for _ in $(seq 200); do [ "$(plugin_version)" = 2.0 ] && break; sleep 0.1; done
expect_eq "the plug-in was updated" 2.0 "$(plugin_version)"
expect "the agent ends" wait_for_exit "$AGENT_PID" 30
[ "$CHECKS_FAILED" -eq 0 ] || { echo "--- the agent's log"; cat "$AGENT_LOG"; }
finish
