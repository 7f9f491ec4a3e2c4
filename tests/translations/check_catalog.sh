#!/usr/bin/env bash
# Fails when a catalog's translations no longer match the texts marked in the sources: a
# text without a finished translation in a shipped language, or a translation whose text
# has vanished from the sources.
#   check_catalog.sh <lupdate> <lupdate options...> -- <source folders...> -- <.ts files...>
set -euo pipefail

lupdate=$1; shift
options=()
while [ "$1" != -- ]; do options+=("$1"); shift; done; shift
sources=()
while [ "$1" != -- ]; do sources+=("$1"); shift; done; shift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for ts in "$@"; do
  copy="$work/$(basename "$ts")"
  cp "$ts" "$copy"
  # lupdate on a copy: the repository's file stays as it is.
  "$lupdate" "${options[@]}" "${sources[@]}" -ts "$copy" 2>/dev/null
  # One line per message: its state and its source text.
  report=$(python3 - "$copy" <<'PY'
import sys, xml.etree.ElementTree as ET
for context in ET.parse(sys.argv[1]).getroot().iter('context'):
    for message in context.iter('message'):
        kind = message.find('translation').get('type')
        text = (message.find('translation').text or '')
        if kind in ('unfinished', 'vanished', 'obsolete') or not text.strip():
            print(f"{kind or 'empty'}: {context.findtext('name')}: {message.findtext('source')!r}")
PY
  )
  count=$(grep -c '<message' "$copy" || true)
  if [ -n "$report" ]; then
    echo "$(basename "$ts"): not up to date with the sources (run: cmake --build build --target update_translations, then translate):"
    echo "$report"
    status=1
  else
    echo "$(basename "$ts"): $count texts, all translated"
  fi
done
exit $status
