#!/usr/bin/env bash
# Runs what we ship on machines that hold nothing else: two minimal Debian 12 roots, made with
# mmdebstrap from the archive apt uses (this machine's /etc/apt/sources.list.d/debian.sources).
#
#   1. The agent's root: only the agent's runtime (cmake/AgentRuntime.cmake) and what the Mail
#      stand-in needs. The plug-in, with the agent that update-publisher embed-agent put into it,
#      lies in a user's Library folder there; the agent runs in that root (chroot) on a private
#      bus, the Mail stand-in beside it, and updates the plug-in from 1.0 to 1.1 from a feed
#      served on this machine's loopback.
#   2. The packages' root: the essential packages and apt. Our .debs are installed with
#      apt-get, each installed program's --version is run, the packages are upgraded to a next
#      version and purged; nothing of theirs may be left.
#
#   scripts/check-clean-roots.sh [--if-allowed] [--next-packages DIR]
#
# --if-allowed: on a machine that does not let root mount or chroot (an unprivileged
# container), say so and end with success instead of failing; CI passes it.
#
# As root (chroot, mount); network to the Debian archive. Uses build/ (or $BUILD_DIR) and its
# packages (scripts/package.sh). The next version is DIR's .debs when given (built from a
# tree whose version was raised), else ours repacked with the version raised to VERSION+1.
# Prints each step with its time and the sizes of the roots. Making the roots downloads and
# unpacks about 570 MB; the whole run takes about six minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/${BUILD_DIR:-build}
next_packages=
if_allowed=
while [ $# -gt 0 ]; do
  case $1 in
    --if-allowed) if_allowed=1; shift ;;
    --next-packages) next_packages=$(cd "$2" && pwd); shift 2 ;;
    *) echo "check-clean-roots: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "check-clean-roots: run as root" >&2; exit 1; }
if [ -n "$if_allowed" ]; then
  probe=$(mktemp -d)
  if ! unshare -m --propagation private sh -c "mount -t tmpfs quillane-probe '$probe' && chroot / true" 2>/dev/null; then
    rmdir "$probe"
    echo "check-clean-roots: skipped: this machine does not let root mount a filesystem or chroot"
    exit 0
  fi
  rmdir "$probe"
fi
debs=("$build"/packages/*.deb)
[ -e "${debs[0]}" ] || { echo "check-clean-roots: no packages; run scripts/package.sh" >&2; exit 1; }

work=$(mktemp -d /var/tmp/quillane-roots.XXXXXX)
mounts=()
pids=()
cleanup() {
  local pid mount
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for mount in "${mounts[@]}"; do umount -l "$mount" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

started=$(date +%s)
step() { printf '== [%4ss] %s\n' "$(( $(date +%s) - started ))" "$*"; }
size_of() { du -sxh --apparent-size "$1" | cut -f1; }  # -x: not the mounted /proc
# The archive apt uses here; a machine with the older one-line format gives mmdebstrap its list.
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list
# The agent's runtime packages, from the one place that lists them.
echo 'include(cmake/AgentRuntime.cmake)
string(JOIN "," packages ${QUILLANE_AGENT_RUNTIME_PACKAGES})
message("${packages}")' >"$work/runtime.cmake"
runtime=$(cmake -P "$work/runtime.cmake" 2>&1)

# ---- 1. The agent's root ----------------------------------------------------------------------
agent_root=$work/agent-root
step "mmdebstrap the agent's root (essential + $runtime)"
mmdebstrap --quiet --mode=root --variant=essential --include="$runtime" bookworm "$agent_root" "$sources"
mount -t proc proc "$agent_root/proc" && mounts+=("$agent_root/proc")
step "the agent's root: $(size_of "$agent_root")"

# The Mail stand-in and aesend from the build tree, with their libraries beside them in /opt:
# they stand for Mail and for the user, not for anything we ship into that root.
mkdir -p "$agent_root/opt/quillane/bin" "$agent_root/opt/quillane/lib"
cp "$build/bin/mail-standin" "$agent_root/opt/quillane/bin/"
cp -L "$build"/lib/libquillane_*.so "$agent_root/opt/quillane/lib/"
home=/home/mailuser
mkdir -p "$agent_root$home/Library/Mail/Bundles" "$agent_root$home/.local/share/applications"
mkdir -m 0700 "$agent_root/run/bus"

# Keys, the plug-in at 1.0 and 1.1 with the agent embedded by update-publisher, the feed.
export QUILLANE_BUILD_DIR=$build HOME=$work/publisher-home TMPDIR=$work
mkdir -p "$HOME"
bin=$build/bin
www=$work/www && mkdir -p "$www"
"$bin/update-publisher" keygen --key "$work/key" >/dev/null
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
feed=http://127.0.0.1:$port/appcast.xml
make_plugin() {  # make_plugin DIR VERSION
  local bundle=$1/Quillane.mailbundle
  mkdir -p "$bundle/Contents/Resources"
  printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' '<plist version="1.0"><dict>' \
    '<key>CFBundleIdentifier</key><string>org.quillane.Quillane</string>' \
    '<key>CFBundleName</key><string>Quillane</string>' \
    "<key>CFBundleVersion</key><string>$2</string>" \
    "<key>CFBundleShortVersionString</key><string>$2</string>" \
    '<key>SUAutomaticallyUpdate</key><true/>' '</dict></plist>' >"$bundle/Contents/Info.plist"
  echo "Quillane $2" >"$bundle/Contents/Resources/version.txt"
  "$bin/update-publisher" embed-agent "$bundle" --feed-url "$feed" --key "$work/key" >/dev/null
}
step "the plug-in 1.0 (agent embedded) in the root's user's Library; 1.1 published on $feed"
make_plugin "$work/v1.0" 1.0
make_plugin "$work/v1.1" 1.1
tar -czf "$www/Quillane-1.1.tar.gz" -C "$work/v1.1" Quillane.mailbundle
"$bin/update-publisher" feed --feed "$www/appcast.xml" --archive "$www/Quillane-1.1.tar.gz" \
  --url "http://127.0.0.1:$port/Quillane-1.1.tar.gz" --key "$work/key" >/dev/null
cp -a "$work/v1.0/Quillane.mailbundle" "$agent_root$home/Library/Mail/Bundles/"
agent=$home/Library/Mail/Bundles/Quillane.mailbundle/Contents/Resources/QuillaneUpdateAgent.app/Contents/MacOS/QuillaneUpdateAgent
readelf -d "$agent_root$agent" | grep -E 'NEEDED|RUNPATH' | sed 's/^/   /'
python3 -m http.server --bind 127.0.0.1 --directory "$www" "$port" >"$work/feed.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "$feed" && break; sleep 0.1; done

# A private bus whose socket lies inside the root: the same bus for what runs in the root
# (unix:path=/run/bus/socket) and for aesend here.
dbus-daemon --session --nofork --address="unix:path=$agent_root/run/bus/socket" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$agent_root/run/bus/socket" ] && break; sleep 0.1; done
inside=(chroot "$agent_root" env -i HOME="$home" PATH=/usr/bin:/bin XDG_DATA_HOME="$home/.local/share"
  XDG_RUNTIME_DIR=/run/bus TMPDIR=/tmp QT_QPA_PLATFORM=offscreen DBUS_SESSION_BUS_ADDRESS=unix:path=/run/bus/socket)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$agent_root/run/bus/socket
mail="env LD_LIBRARY_PATH=/opt/quillane/lib /opt/quillane/bin/mail-standin --log /tmp/mail-events.jsonl"
printf '%s\n' '[Desktop Entry]' 'Type=Application' 'Name=Mail' "Exec=$mail" 'Terminal=false' \
  >"$agent_root$home/.local/share/applications/com.apple.mail.desktop"
"${inside[@]}" $mail >/dev/null 2>"$work/mail.err" &
pids+=($!)
owner() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}
wait_for_owner() { for _ in $(seq 200); do [ -n "$(owner "$1")" ] && return 0; sleep 0.05; done; return 1; }
wait_for_owner com.apple.mail || { cat "$work/mail.err" >&2; echo "FAILED: the Mail stand-in did not start in the root" >&2; exit 1; }

step "the embedded agent runs in the root; aesend CHBG"
"${inside[@]}" "$agent" 2>"$work/agent.log" &
agent_pid=$!
pids+=("$agent_pid")
wait_for_owner org.quillane.UpdateAgent || { cat "$work/agent.log" >&2; echo "FAILED: the agent did not start in the root" >&2; exit 1; }
"$bin/aesend" org.quillane.UpdateAgent SKHP CHBG >/dev/null || true
for _ in $(seq 1200); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$agent_pid" 2>/dev/null; then echo "FAILED: the agent did not end within 120 s" >&2; exit 1; fi
wait "$agent_pid" && status=0 || status=$?
version=$(cat "$agent_root$home/Library/Mail/Bundles/Quillane.mailbundle/Contents/Resources/version.txt")
sed 's/^/   agent: /' "$work/agent.log"
grep -ao '"GET /[^ ]*' "$work/feed.log" | sed 's/^/   feed server: /'
[ "$version" = "Quillane 1.1" ] || { echo "FAILED: the plug-in is at \"$version\" after the update (agent status $status)" >&2; exit 1; }
sed 's/^/   Mail stand-in received: /' "$agent_root/tmp/mail-events.jsonl" 2>/dev/null || true
step "ok: the agent ended with status $status; the plug-in in the root is now \"$version\""
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
pids=()
unset DBUS_SESSION_BUS_ADDRESS

# ---- 2. The packages' root --------------------------------------------------------------------
packages_root=$work/packages-root
step "mmdebstrap the packages' root (essential + apt)"
mmdebstrap --quiet --mode=root --variant=apt bookworm "$packages_root" "$sources"
cp /etc/resolv.conf "$packages_root/etc/resolv.conf"
mount -t proc proc "$packages_root/proc" && mounts+=("$packages_root/proc")
step "the packages' root: $(size_of "$packages_root")"
before=$work/before.list
chroot "$packages_root" sh -c 'find / -xdev -path /proc -prune -o -path /var/cache -prune -o -path /var/lib/apt -prune -o -path /var/log -prune -o -print' | sort >"$before"

mkdir -p "$packages_root/debs/now" "$packages_root/debs/next"
cp "${debs[@]}" "$packages_root/debs/now/"
now_version=$(dpkg-deb -f "${debs[0]}" Version)
if [ -n "$next_packages" ]; then
  cp "$next_packages"/*.deb "$packages_root/debs/next/"
else
  mkdir -p "$work/repack"
  for deb in "${debs[@]}"; do
    unpacked=$work/repack/$(basename "$deb")
    dpkg-deb -R "$deb" "$unpacked"
    sed -i "s/^Version: .*/Version: $now_version+1/" "$unpacked/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$unpacked" "$packages_root/debs/next/" >/dev/null
  done
fi
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
apt_in_root() { chroot "$packages_root" env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 "$@"; }

step "apt-get install ${names[*]} $now_version"
apt_in_root update >/dev/null
in_root_debs() { (cd "$packages_root" && printf '/%s\n' debs/"$1"/*.deb); }
mapfile -t now_debs < <(in_root_debs now)
mapfile -t next_debs < <(in_root_debs next)
apt_in_root install --no-install-recommends "${now_debs[@]}" >"$work/install.log" || { cat "$work/install.log" >&2; exit 1; }
step "the packages' root with them installed: $(size_of "$packages_root")"
run_versions() {
  local program
  for program in update-publisher quillane-plutil aesend; do
    printf '   %s\n' "$(chroot "$packages_root" "$program" --version)"
  done
  # The removal tool reads no command line; that it loads and links is what can be checked
  # without a display.
  chroot "$packages_root" sh -c '! ldd /usr/bin/QuillaneRemover | grep "not found"' >/dev/null &&
    echo "   QuillaneRemover: every library resolves"
}
run_versions
step "upgrade to $(dpkg-deb -f "$(ls "$packages_root"/debs/next/*.deb | head -n1)" Version)"
apt_in_root install --no-install-recommends "${next_debs[@]}" >"$work/upgrade.log" || { cat "$work/upgrade.log" >&2; exit 1; }
chroot "$packages_root" dpkg-query -W "${names[@]}" | sed 's/^/   /'
run_versions
step "apt-get purge --autoremove ${names[*]}"
apt_in_root purge --autoremove "${names[@]}" >"$work/purge.log" || { cat "$work/purge.log" >&2; exit 1; }
rm -rf "$packages_root/debs"
apt_in_root clean >/dev/null  # the downloaded .debs: the size below is what is installed
after=$work/after.list
chroot "$packages_root" sh -c 'find / -xdev -path /proc -prune -o -path /var/cache -prune -o -path /var/lib/apt -prune -o -path /var/log -prune -o -print' | sort >"$after"
left=$(comm -13 "$before" "$after" | grep -v -e '^/var/lib/dpkg/' -e '^/etc/ld.so.cache$' -e '^/tmp' || true)
if [ -n "$left" ]; then
  printf 'FAILED: left in the root after the purge:\n%s\n' "$left" >&2
  exit 1
fi
step "ok: nothing is left in the packages' root after the purge ($(size_of "$packages_root"))"
