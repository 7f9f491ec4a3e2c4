#!/usr/bin/env bash
# Removes the Quillane plug-in with the real QuillaneRemover window, in a sandbox: a
# throw-away HOME holding an installed plug-in (bundle, Spotlight importer, extras folder)
# and Mail settings with column identifiers, and the Mail stand-in on a private session bus.
#
# With a display (and a person at the terminal) the window opens there for you to click.
# Without one (CI, root, no DISPLAY, no terminal), or with --auto, the window runs under
# Xvfb and is driven from the keyboard with xdotool; screenshots of the window and of the
# alert are saved. Either way the script then prints what was removed, what Mail received,
# and Mail's settings before and after.
#
#   scripts/demo-removal.sh [--auto]      (after scripts/build.sh; BUILD_DIR=build by default)
# Screenshots go to $DEMO_OUTPUT (default: <build>/demo-removal).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root/${BUILD_DIR:-build}" && pwd)
bin="$build/bin"

# ---- Stage 3: under Xvfb, drive the window as a person at the keyboard would ----------
if [ "${1:-}" = "--drive-under-xvfb" ]; then
  output=$2
  export QT_QPA_PLATFORM=xcb
  "$bin/QuillaneRemover" 2>"$DEMO_SANDBOX/remover.log" &
  remover=$!
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Uninstall Quillane$' | head -n1)
  sleep 1  # the item sizes are filled in just after the window appears
  import -window "$window" "$output/1-window.png"
  echo "Pressing Return in the window (Uninstall is its default button)"
  xdotool windowfocus --sync "$window" key Return
  # Every alert the run shows is photographed and dismissed with Return, until the tool quits.
  shot=2 seen=" "
  for _ in $(seq 300); do
    kill -0 "$remover" 2>/dev/null || break
    for alert in $(xdotool search --onlyvisible --name '^Uninstall (Complete|Not Successful)$' 2>/dev/null); do
      case "$seen" in *" $alert "*) continue ;; esac
      seen="$seen$alert "
      sleep 0.5
      import -window "$alert" "$output/$shot-alert.png"
      shot=$((shot + 1))
      echo "Alert on screen: \"$(xdotool getwindowname "$alert")\"; pressing Return to dismiss it"
      xdotool windowfocus --sync "$alert" key Return
    done
    sleep 0.1
  done
  if kill -0 "$remover" 2>/dev/null; then
    echo "QuillaneRemover did not quit" >&2
    kill "$remover"
    exit 1
  fi
  wait "$remover"
  exit
fi

# ---- Stage 2: on the private bus: Mail, then the window ----------------------------------
if [ "${1:-}" = "--on-private-bus" ]; then
  mode=$2 output=$3
  "$bin/mail-standin" --log "$DEMO_SANDBOX/mail.log" 2>"$DEMO_SANDBOX/mail-standin.log" &
  mail=$!
  for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner com.apple.mail 2>/dev/null | grep -q true && break
    sleep 0.1
  done
  echo "Mail stand-in running as com.apple.mail on the private bus (pid $mail)"

  if [ "$mode" = interactive ]; then
    echo "The window is open: choose Uninstall (or Cancel)."
    "$bin/QuillaneRemover" 2>"$DEMO_SANDBOX/remover.log" || true
  else
    echo "No display to click in: driving the window under Xvfb with the keyboard"
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
      bash "$0" --drive-under-xvfb "$output"
  fi

  # The request asks for no reply, so give Mail a moment to act on it.
  for _ in $(seq 30); do kill -0 "$mail" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$mail" 2>/dev/null; then
    echo "Mail stand-in still running (it was not asked to quit); stopping it"
    kill "$mail"
  else
    echo "Mail stand-in has quit"
  fi
  wait "$mail" 2>/dev/null || true
  exit 0
fi

# ---- Stage 1: the sandbox -----------------------------------------------------------------
mode=interactive
if [ "${1:-}" = "--auto" ] || [ -z "${DISPLAY:-}" ] || [ "$(id -u)" -eq 0 ] || [ ! -t 0 ]; then
  mode=auto
fi
for program in QuillaneRemover mail-standin plutil; do
  [ -x "$bin/$program" ] || { echo "$bin/$program is missing: run scripts/build.sh first" >&2; exit 1; }
done
if [ "$mode" = auto ]; then
  for tool in xvfb-run xdotool import; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
  done
fi

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/quillane-demo.XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
output=${DEMO_OUTPUT:-$build/demo-removal}
mkdir -p "$output"
rm -f "$output"/*.png

export DEMO_SANDBOX=$sandbox
export HOME="$sandbox/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$sandbox/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
[ "$mode" = auto ] && unset DISPLAY

library="$HOME/Library"
bundle="$library/Mail/Bundles/Quillane.mailbundle"
importer="$library/Spotlight/Quillane.mdimporter"
extras="$library/Mail/Bundles/Quillane Extras"

# An installed plug-in, its importer and extras, and another plug-in that must stay.
mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/Resources/en.lproj" \
  "$importer/Contents/MacOS" "$extras/Templates" \
  "$library/Mail/Bundles/Other.mailbundle/Contents"
head -c 300000 /dev/urandom >"$bundle/Contents/MacOS/Quillane"
for i in $(seq 40); do echo "\"key$i\" = \"Value $i\";" >"$bundle/Contents/Resources/en.lproj/Strings$i.strings"; done
cat >"$bundle/Contents/Info.plist" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>com.quillane.mailbundle</string>
	<key>CFBundleVersion</key><string>2.0</string>
	<key>CFBundleShortVersionString</key><string>2.0</string>
</dict>
</plist>
EOF
head -c 40000 /dev/urandom >"$importer/Contents/MacOS/Quillane"
echo "Dear %name%," >"$extras/Templates/Reply.txt"
echo "another plug-in" >"$library/Mail/Bundles/Other.mailbundle/Contents/Info.plist"

# Mail's settings: column settings with the plug-in's columns 20 to 24, stored in binary.
mkdir -p "$library/Preferences"
settings="$library/Preferences/com.apple.mail.plist"
cat >"$settings" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>NumberOfSnippetLines</key><integer>2</integer>
	<key>TableColumns</key>
	<dict>
		<key>MessageList</key>
		<dict>
			<key>1</key><dict><key>Width</key><integer>180</integer></dict>
			<key>20</key><dict><key>Width</key><integer>40</integer></dict>
			<key>24</key><dict><key>Width</key><integer>60</integer></dict>
		</dict>
		<key>Drafts</key>
		<dict>
			<key>7</key><dict><key>Width</key><integer>120</integer></dict>
			<key>21</key><dict><key>Width</key><integer>30</integer></dict>
		</dict>
	</dict>
</dict>
</plist>
EOF
"$bin/plutil" -convert binary1 "$settings" >/dev/null
settings_before=$("$bin/plutil" -p "$settings")

echo "== Sandbox home: $HOME"
echo "== Installed items:"
for item in "$bundle" "$importer" "$extras"; do
  echo "   ${item#"$HOME"/}  ($(find "$item" | wc -l) entries, $(du -sh "$item" | cut -f1))"
done

dbus-run-session -- bash "$0" --on-private-bus "$mode" "$output"

echo
echo "== What was removed:"
for item in "$bundle" "$importer" "$extras"; do
  if [ -e "$item" ] || [ -L "$item" ]; then
    echo "   still there: ${item#"$HOME"/}"
  else
    echo "   removed:     ${item#"$HOME"/}"
  fi
done
echo "   left alone:  $(cd "$library/Mail/Bundles" && ls -A | sed 's/^/Mail\/Bundles\//' | tr '\n' ' ')"
echo
echo "== What Mail received (the stand-in's log):"
if [ -s "$sandbox/mail.log" ]; then sed 's/^/   /' "$sandbox/mail.log"; else echo "   nothing"; fi
echo
echo "== The removal tool's log lines:"
if [ -s "$sandbox/remover.log" ]; then sed 's/^/   /' "$sandbox/remover.log"; else echo "   none"; fi
echo
echo "== Mail's settings before:"
echo "$settings_before" | sed 's/^/   /'
echo "== Mail's settings after:"
"$bin/plutil" -p "$settings" | sed 's/^/   /'
if [ "$mode" = auto ]; then
  echo
  echo "== Screenshots:"
  ls "$output"/*.png | sed 's/^/   /'
fi
