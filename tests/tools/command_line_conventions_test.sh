#!/usr/bin/env bash
# Every command-line tool answers --help and --version on standard output with status 0, and
# refuses an unknown option with status 2, its name first on standard error, nothing on
# standard output. The manual pages are made from the same --help, so this guards them too.
#   command_line_conventions_test.sh BIN_DIR VERSION
set -uo pipefail
bin=$1 version=$2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in aesend mail-standin plutil update-publisher; do
  "$bin/$tool" --help >"$out" 2>"$err"; status=$?
  [ "$status" -eq 0 ] || fail "$tool --help: status $status"
  grep -q "^Usage: $tool " "$out" || fail "$tool --help: no \"Usage: $tool\" line on standard output"
  grep -q '^Exit status:$' "$out" || fail "$tool --help: the exit statuses are not documented"
  [ ! -s "$err" ] || fail "$tool --help wrote to standard error: $(cat "$err")"

  "$bin/$tool" --version >"$out" 2>"$err"; status=$?
  [ "$status" -eq 0 ] || fail "$tool --version: status $status"
  [ "$(cat "$out")" = "$tool (Quillane) $version" ] || fail "$tool --version printed: $(cat "$out")"

  "$bin/$tool" --no-such-option >"$out" 2>"$err"; status=$?
  [ "$status" -eq 2 ] || fail "$tool --no-such-option: status $status, not 2"
  [ ! -s "$out" ] || fail "$tool --no-such-option wrote to standard output: $(cat "$out")"
  head -n1 "$err" | grep -q "^$tool: " || fail "$tool --no-such-option: standard error does not start with \"$tool: \": $(head -n1 "$err")"

  # A closed standard output is a failure, not a silent success.
  if [ -w /dev/full ]; then
    "$bin/$tool" --help >/dev/full 2>/dev/null; status=$?
    [ "$status" -eq 1 ] || fail "$tool --help into a full disk: status $status, not 1"
  fi
done
exit $((failures > 0))
