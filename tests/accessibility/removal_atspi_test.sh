#!/usr/bin/env bash
# The removal tool through AT-SPI in one language (C, de or fr): its window and item rows
# read by name and role, Uninstall pressed through the action interface, the completion
# alert announced and answered; then the items must be gone and the tool ended.
set -uo pipefail
here=$(dirname "$0")
source "$here/a11y_session.sh"
language=$1
bin=$QUILLANE_BUILD_DIR/bin

use_language "$language"
start_display
trap 'kill "$XVFB_PID" 2>/dev/null' EXIT
start_accessibility

library=$HOME/Library
mkdir -p "$library/Mail/Bundles/Quillane.mailbundle/Contents" \
  "$library/Spotlight/Quillane.mdimporter/Contents" "$library/Mail/Bundles/Quillane Extras"
head -c 480000 /dev/urandom >"$library/Mail/Bundles/Quillane.mailbundle/Contents/Quillane"
head -c 20000 /dev/urandom >"$library/Spotlight/Quillane.mdimporter/Contents/Importer"
echo extras >"$library/Mail/Bundles/Quillane Extras/notes.txt"

# The screen reader listens before the tool starts: a Qt application asks which events are
# listened to as it starts, and may never hear of a listener registered meanwhile.
# Debian's own interpreter: the one python3-gi is installed for.
listening=$TMPDIR/listening
/usr/bin/python3 "$here/removal_scenario.py" "$language" "$listening" &
scenario=$!
for _ in $(seq 300); do [ -e "$listening" ] || ! kill -0 "$scenario" 2>/dev/null && break; sleep 0.1; done
"$bin/QuillaneRemover" 2>"$TMPDIR/remover.log" &
remover=$!
wait "$scenario"
status=$?

for _ in $(seq 100); do kill -0 "$remover" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$remover" 2>/dev/null; then
  echo "FAIL the removal tool is still running after its alert was answered"
  kill "$remover"
  status=1
else
  echo "ok   the removal tool ended"
fi
for item in "Mail/Bundles/Quillane.mailbundle" "Spotlight/Quillane.mdimporter" "Mail/Bundles/Quillane Extras"; do
  if [ -e "$library/$item" ]; then echo "FAIL $item is still there"; status=1; else echo "ok   $item removed"; fi
done
[ "$status" -eq 0 ] || { echo "--- the removal tool's log"; cat "$TMPDIR/remover.log"; }
exit "$status"
