#!/bin/sh
# Seeds for updater_key_statement_fuzzer, made by the publisher tool itself: a feed through two
# routine rotations and a recovery, with the fuzzer's three fixed keys, each prefixed by the
# fuzzer's flag byte.
#   make_key_statement_seeds.sh PATH/TO/update-publisher OUTPUT_DIR
set -eu
publisher=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
# The fuzzer's keys: base64 of 32 bytes of 1, 2 and 3 (signing, recovery, third).
for i in 1 2 3; do
  printf "\\$(printf '%03o' "$i")%.0s" $(seq 32) | base64 -w0 > "$work/key$i"
  chmod 600 "$work/key$i"
done
cat > "$work/feed.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Updates</title>
    <item>
      <title>Version 2</title>
      <sparkle:version>2</sparkle:version>
      <enclosure url="https://example.com/2.zip" length="10" type="application/octet-stream" sparkle:edSignature="AAAA"/>
    </item>
  </channel>
</rss>
XML
seed() { { printf '\377'; cat "$work/feed.xml"; } > "$out/$1"; }
"$publisher" sign-feed --key "$work/key1" --feed "$work/feed.xml" --expires 2030-01-01T00:00:00Z >/dev/null
seed signed
"$publisher" rotate-key --feed "$work/feed.xml" --key "$work/key1" --new-key "$work/key3" --expires 2030-01-01T00:00:00Z >/dev/null
seed routine
"$publisher" keygen --key "$work/key4" >/dev/null
"$publisher" rotate-key --feed "$work/feed.xml" --key "$work/key2" --new-key "$work/key4" --expires 2030-01-01T00:00:00Z >/dev/null
seed recovery
