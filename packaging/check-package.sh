#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from the build tree, checks that it carries the capture helper and the postinst
# that sets it up (tests/privsep/postinst_test.sh tests that script), and checks it with lintian (errors
# fail, warnings are shown).
#   check-package.sh CPACK BUILD_DIR
set -eu
cpack_command=$1
build=$2
source_dir=$(cd "$(dirname "$0")" && pwd)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$cpack_command" -G DEB --config "$build/CPackConfig.cmake" -B "$out"
deb=$(ls "$out"/*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | tee "$out/contents"

status=0
if ! grep -q ' \./usr/libexec/flowsentry/flowsentry-capture$' "$out/contents"; then
    echo "FAIL: the package has no /usr/libexec/flowsentry/flowsentry-capture"
    status=1
fi
dpkg-deb --control "$deb" "$out/control"
if ! cmp "$source_dir/debian/postinst" "$out/control/postinst"; then
    echo "FAIL: the package's postinst is not packaging/debian/postinst"
    status=1
fi
depends=$(dpkg-deb --field "$deb" Depends)
for needed in libcap2-bin adduser; do
    case ", $depends," in
        *", $needed,"*|*", $needed "*) ;;
        *) echo "FAIL: the package does not depend on $needed, which the postinst uses"; status=1 ;;
    esac
done
lintian --fail-on error --display-info "$deb" || status=1
exit "$status"
