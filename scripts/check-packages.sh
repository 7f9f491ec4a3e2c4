#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh made: lintian (no errors allowed), the
# desktop entry (desktop-file-validate), the AppStream metadata (appstreamcli validate), and
# that no path they ship belongs to a Debian 12 package (apt-file's index of the archive apt
# uses; the check first proves itself on a package it makes that ships /usr/bin/plutil).
#
#   scripts/check-packages.sh            the checks above; changes nothing on the system but
#       apt-file's index, fetched (as root) when it is empty
#   scripts/check-packages.sh --install  then, as root: installs the packages with apt-get,
#       runs the installed programs (the removal tool's window under Xvfb, from its desktop
#       entry, in a throw-away HOME on a private bus), removes the packages again and checks
#       that nothing they installed is left. For CI and machines meant for it.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(cd "${BUILD_DIR:-build}/packages" && pwd)
debs=("$packages"/*.deb)
[ -e "${debs[0]}" ] || { echo "check-packages: no packages in $packages; run scripts/package.sh" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/quillane-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== lintian"
lintian --fail-on error --info "${debs[@]}"

echo "== desktop entry and AppStream metadata"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/contents"; done
desktop-file-validate "$work"/contents/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/contents/usr/share/metainfo/*.metainfo.xml

echo "== paths another Debian package owns"
# Prints the paths of the given packages that a Debian package in apt-file's index ships;
# fails when there is one.
paths_owned_elsewhere() {
  local owned
  owned=$(apt-file --from-deb search "$@") || [ $? -eq 1 ]  # 1: nothing found
  [ -z "$owned" ] || { printf '%s\n' "$owned"; return 1; }
}
if [ -x /usr/share/apt-file/is-cache-empty ] && /usr/share/apt-file/is-cache-empty; then
  [ "$(id -u)" -eq 0 ] || { echo "check-packages: apt-file has no index; run: sudo apt-file update" >&2; exit 1; }
  apt-file update -q
fi
mkdir -p "$work/colliding/DEBIAN" "$work/colliding/usr/bin"
printf '%s\n' 'Package: quillane-path-check' 'Version: 1' 'Architecture: all' \
  'Maintainer: Quillane developers <developers@quillane.org>' 'Description: ships a path gnustep-base-runtime owns' \
  >"$work/colliding/DEBIAN/control"
printf '#!/bin/sh\n' >"$work/colliding/usr/bin/plutil"
dpkg-deb --root-owner-group -b "$work/colliding" "$work/colliding.deb" >/dev/null
if paths_owned_elsewhere "$work/colliding.deb" >/dev/null; then
  echo "FAILED: a package shipping /usr/bin/plutil passed the path check; is apt-file's index complete?" >&2
  exit 1
fi
echo "ok: a package shipping /usr/bin/plutil is refused"
if ! collisions=$(paths_owned_elsewhere "${debs[@]}"); then
  printf 'FAILED: our packages ship paths that Debian packages own:\n%s\n' "$collisions" >&2
  exit 1
fi
echo "ok: no path of ours belongs to a Debian package"

[ "${1:-}" = --install ] || exit 0

# ---- Install, run, remove ------------------------------------------------------------------
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
# Beside gnustep-base-runtime, whose /usr/bin/plutil we once shipped too: both must install.
neighbour=gnustep-base-runtime
neighbour_was_installed=$(dpkg-query -W -f='${Status}' "$neighbour" 2>/dev/null | grep -c "install ok installed" || true)
echo "== apt-get install $neighbour ${debs[*]}"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$neighbour" "${debs[@]}"
installed=$(dpkg -L "${names[@]}")
version=$(dpkg-deb -f "${debs[0]}" Version)
failures=0
check() {  # check DESCRIPTION COMMAND...: runs it, says how it went
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1" >&2; failures=$((failures + 1)); fi
}

check "update-publisher --version" bash -c "[ \"\$(update-publisher --version)\" = 'update-publisher (Quillane) $version' ]"
cat >"$work/sample.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>org.quillane.Quillane</string></dict></plist>
PLIST
check "quillane-plutil -p of a sample" bash -c "quillane-plutil -p '$work/sample.plist' | grep -qx '  \"CFBundleIdentifier\" => \"org.quillane.Quillane\"'"
check "$neighbour's plutil beside ours" bash -c "[ \"\$(dpkg -S /usr/bin/plutil)\" = '$neighbour: /usr/bin/plutil' ]"
check "aesend to an absent Mail gives -600" bash -c \
  "out=\$(dbus-run-session -- aesend com.apple.mail aevt quit 2>/dev/null); status=\$?; [ \"\$out\" = -600 ] && [ \$status -eq 1 ]"
check "manual pages" bash -c "for page in update-publisher quillane-plutil aesend QuillaneRemover; do man -w \$page >/dev/null || exit 1; done"

# embed-agent with the agent bundle the package carries; the embedded agent's libraries resolve.
plugin=$work/Quillane.mailbundle
mkdir -p "$plugin/Contents"
printf '%s\n' '<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>org.quillane.Quillane</string>' \
  '<key>CFBundleVersion</key><string>1.0</string></dict></plist>' >"$plugin/Contents/Info.plist"
check "update-publisher embed-agent" bash -c "
  update-publisher keygen --key '$work/key' >/dev/null &&
  update-publisher embed-agent '$plugin' --feed-url https://updates.example/appcast.xml --key '$work/key' >/dev/null &&
  agent='$plugin/Contents/Resources/QuillaneUpdateAgent.app/Contents/MacOS/QuillaneUpdateAgent' &&
  [ -x \"\$agent\" ] && ! ldd \"\$agent\" | grep -q 'not found' &&
  quillane-plutil -p '$plugin/Contents/Info.plist' | grep -q SUPublicEDKey"

# The removal tool's window, started as a desktop would start it: from its entry's Exec.
entry=$(grep -l '^Exec=.*QuillaneRemover' /usr/share/applications/*.desktop)
exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/ *%[a-zA-Z]//g')
mkdir -p "$work/home" && mkdir -m 0700 "$work/run"
# window_titled LANG TITLE: the window comes up with that title under that language.
window_titled() {
  env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL -u LC_MESSAGES \
    LANG="$1" TITLE="$2" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb EXEC_LINE="$exec_line" \
    dbus-run-session -- xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" bash -c '
      $EXEC_LINE 2>"$HOME/remover.log" &
      remover=$!
      window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$TITLE\$" | head -n1)
      kill "$remover" 2>/dev/null; wait "$remover" 2>/dev/null
      [ -n "$window" ] || { cat "$HOME/remover.log" >&2; exit 1; }'
}
check "the removal tool's window from $entry" window_titled C "Uninstall Quillane"
# Its translations were installed where it looks for them.
check "the removal tool's window in German" window_titled de_DE.UTF-8 "Quillane deinstallieren"

echo "== apt-get purge ${names[*]}"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${names[@]}"
check "$neighbour's plutil is still there" test -x /usr/bin/plutil
[ "$neighbour_was_installed" = 1 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "$neighbour" >/dev/null
left=()
while IFS= read -r path; do
  case "$path" in /usr/*) ;; *) continue ;; esac
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    dpkg -S "$path" >/dev/null 2>&1 || left+=("$path")  # a folder no other package owns
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done <<<"$installed"
if [ "${#left[@]}" -eq 0 ]; then
  echo "ok: nothing the packages installed is left in /usr"
else
  printf 'FAILED: left in /usr after the purge: %s\n' "${left[@]}" >&2
  failures=$((failures + 1))
fi
exit $((failures > 0))
