#!/usr/bin/env bash
# Makes the Debian packages quillane-remover and quillane-publisher-tools in build/packages/
# (or $BUILD_DIR/packages): installs what is missing, builds (an existing build folder is
# reused, so only what the packages change is rebuilt), and runs CPack's DEB generator.
# Then: sudo apt-get install ./build/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
bash scripts/install-deps.sh
# Installed under /usr, our libraries in private folders under the multiarch library folder.
BUILD_DIR=$build_dir bash scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
rm -rf "$build_dir/packages"
(cd "$build_dir" && cpack -G DEB >/dev/null)
rm -rf "$build_dir/packages/_CPack_Packages"
ls -1 "$build_dir"/packages/*.deb
