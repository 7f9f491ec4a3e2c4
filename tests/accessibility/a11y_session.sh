# What the accessibility tests share: a display (Xvfb), the accessibility bus as a desktop
# session offers it, and the user's language. Source it from a test that runs on a private
# session bus (quillane_add_test ... DBUS).

# start_display: an Xvfb display of this test's own (DISPLAY; XVFB_PID to end it). The server
# picks a free display number itself, so tests running side by side never collide.
start_display() {
  local number=$TMPDIR/xvfb-display
  : >"$number"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number" 2>"$TMPDIR/xvfb.log" &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.1; done
  [ -s "$number" ] || { echo "Xvfb did not start:" >&2; cat "$TMPDIR/xvfb.log" >&2; exit 1; }
  export DISPLAY=:$(head -n1 "$number")
}

# use_language C|de|fr: LANG for the program under test. The locale is generated into the
# test's own folder (no root needed); without the locale sources the test is skipped.
use_language() {
  case "$1" in
    C) export LANG=C LC_ALL=C; unset LANGUAGE; return 0 ;;
    de) locale=de_DE ;;
    fr) locale=fr_FR ;;
    *) echo "unknown language $1" >&2; exit 2 ;;
  esac
  export LOCPATH="$TMPDIR/locale"
  mkdir -p "$LOCPATH"
  if ! localedef -i "$locale" -f UTF-8 "$LOCPATH/$locale.UTF-8" 2>"$TMPDIR/localedef.err"; then
    echo "SKIP: the locale $locale.UTF-8 cannot be generated here (package 'locales'):" >&2
    cat "$TMPDIR/localedef.err" >&2
    exit 77
  fi
  unset LC_ALL LANGUAGE LC_MESSAGES
  export LANG=$locale.UTF-8
}

# start_accessibility: turns the desktop's accessibility on, as a screen reader does; the
# session bus starts the accessibility bus (at-spi-bus-launcher) for the first caller.
# Programs find it through the session bus, never through AT_SPI_BUS_ADDRESS.
start_accessibility() {
  unset AT_SPI_BUS_ADDRESS
  export QT_QPA_PLATFORM=xcb NO_AT_BRIDGE=0 QT_ACCESSIBILITY=1
  : "${DISPLAY:?start_display first}"
  : "${DBUS_SESSION_BUS_ADDRESS:?run on a private session bus}"
  gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
    --method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<true>' >/dev/null
  gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
    --method org.a11y.Bus.GetAddress >/dev/null
}
