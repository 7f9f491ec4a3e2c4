#!/usr/bin/env bash
# Runs the gdbus example of the events document exactly as written, against the Mail
# stand-in, and checks the answer it prints and the event the stand-in received.
#   doc_example_test.sh DOCUMENT
set -euo pipefail
document=$1
bin="$QUILLANE_BUILD_DIR/bin"

# The first ```sh block that starts with "gdbus call".
example=$(awk '
  /^```sh$/ { inside = 1; block = ""; next }
  /^```$/ && inside { inside = 0; if (block ~ /^gdbus call/) { printf "%s", block; exit } next }
  inside { block = block $0 "\n" }
' "$document")
[ -n "$example" ] || { echo "no gdbus example in $document" >&2; exit 1; }

log="$TMPDIR/mail.log"
"$bin/mail-standin" --log "$log" &
standin=$!
trap 'kill $standin 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner com.apple.mail | grep -q true && break
  sleep 0.05
done

answer=$(bash -c "$example")
expected_answer=$(grep -o 'It prints the answer, `[^`]*`' "$document" | sed 's/.*`\(.*\)`/\1/')
if [ "$answer" != "$expected_answer" ]; then
  echo "answer: '$answer', document says: '$expected_answer'" >&2
  exit 1
fi

expected_log='{"class":"misc","id":"actv","return_id":-1,"transaction_id":0,"address_type":"bund","address":"com.apple.mail","reply_wanted":true}'
if [ "$(cat "$log")" != "$expected_log" ]; then
  echo "the stand-in received: $(cat "$log")" >&2
  exit 1
fi
echo "the example works as written"
