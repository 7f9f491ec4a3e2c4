#!/usr/bin/env bash
# Screenshots of the removal tool's window and the update prompt in each language we ship,
# for docs/screenshots/: <window>.<language>.png. Each runs in a sandbox (a throw-away HOME
# with an installed plug-in, a private session bus, a feed served from this machine) under
# Xvfb, so nothing of yours is touched and no display is needed.
#   scripts/screenshots.sh            (after scripts/build.sh; BUILD_DIR=build by default)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export QUILLANE_BUILD_DIR=${QUILLANE_BUILD_DIR:-$(cd "$root/${BUILD_DIR:-build}" && pwd)}
out=$root/docs/screenshots
languages=(C de fr)

# ---- Inside the sandbox, on the private bus, under Xvfb -------------------------------
if [ "${1:-}" = --in-sandbox ]; then
  tests=$root/tests
  source "$tests/accessibility/a11y_session.sh"
  source "$tests/update-agent/plugin_sandbox.sh"
  export QT_QPA_PLATFORM=xcb
  start_display

  # shoot PID FILE: the program's window, once its contents have settled.
  shoot() {
    local window
    window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$1" | head -n1)
    sleep 2  # item sizes and release notes arrive just after the window appears
    import -window "$window" "$2"
    echo "  $2"
  }

  library=$HOME/Library
  sandbox_init
  SANDBOX_PIDS+=("$XVFB_PID")
  make_key
  choose_feed_port
  publish 2.0 --description "<h2>Quillane 2.0</h2><ul><li>Searches are faster.</li><li>Attachments open in place.</li></ul>"
  start_feed_server
  install_mail_entry
  start_mail >/dev/null
  for language in "${languages[@]}"; do
    name=$language
    [ "$language" = C ] && name=en
    ( use_language "$language"
      rm -rf "$PLUGIN"
      mkdir -p "$library/Mail/Bundles/Quillane.mailbundle/Contents" \
        "$library/Spotlight/Quillane.mdimporter/Contents" "$library/Mail/Bundles/Quillane Extras"
      head -c 480000 /dev/zero >"$library/Mail/Bundles/Quillane.mailbundle/Contents/Quillane"
      head -c 20000 /dev/zero >"$library/Spotlight/Quillane.mdimporter/Contents/Importer"
      "$QUILLANE_BUILD_DIR/bin/QuillaneRemover" 2>/dev/null &
      remover=$!
      shoot "$remover" "$out/removal-tool.$name.png"
      kill "$remover"

      rm -rf "$PLUGIN"
      make_plugin "$BUNDLES" 1.0
      start_agent "$INSTALLED_AGENT"
      send_aesend CHFG >/dev/null
      shoot "$AGENT_PID" "$out/update-prompt.$name.png"
      kill "$AGENT_PID" )
  done
  exit
fi

for tool in Xvfb xdotool import localedef; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh needs $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
mkdir -p "$out"
bash "$root/tests/run-sandboxed.sh" --bus -- bash "$0" --in-sandbox
