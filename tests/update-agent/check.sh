# Tiny assertion helpers for the agent's shell tests: each failed check prints what it
# expected and what it saw; finish prints "N passed, N failed" and sets the exit status.
CHECKS_PASSED=0
CHECKS_FAILED=0

pass() { CHECKS_PASSED=$((CHECKS_PASSED + 1)); }
fail() {
  CHECKS_FAILED=$((CHECKS_FAILED + 1))
  echo "FAIL [${CASE:-}]: $*" >&2
}

# expect DESCRIPTION COMMAND...: the command succeeds.
expect() {
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}

# expect_not DESCRIPTION COMMAND...: the command fails.
expect_not() {
  local what=$1
  shift
  if "$@"; then fail "$what"; else pass; fi
}

# expect_eq DESCRIPTION EXPECTED ACTUAL
expect_eq() {
  if [ "$2" = "$3" ]; then pass; else fail "$1: expected [$2], got [$3]"; fi
}

# expect_between DESCRIPTION LOW HIGH VALUE (numbers, inclusive)
expect_between() {
  if awk -v lo="$2" -v hi="$3" -v v="$4" 'BEGIN { exit !(v >= lo && v <= hi) }'; then
    pass
  else
    fail "$1: expected between $2 and $3, got $4"
  fi
}

start_case() {
  CASE=$1
  echo "--- $CASE"
}

finish() {
  echo "$CHECKS_PASSED passed, $CHECKS_FAILED failed"
  [ "$CHECKS_FAILED" -eq 0 ] && [ "$CHECKS_PASSED" -gt 0 ]
}
