#!/bin/sh
# Builds the Debian package from the build tree and checks it with lintian (errors fail, warnings are shown).
#   check-package.sh CPACK BUILD_DIR
set -eu
cpack_command=$1
build=$2

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$cpack_command" -G DEB --config "$build/CPackConfig.cmake" -B "$out"
deb=$(ls "$out"/*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
lintian --fail-on error --display-info "$deb"
