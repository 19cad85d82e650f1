#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a temporary prefix, checks that exactly the expected files arrive, validates the
# desktop entry and the AppStream metadata, and (as root) that only the capture helper holds a capability:
# cap_net_raw=ep, owner root, group flowsentry, mode 0750.
#   check-install.sh CMAKE BUILD_DIR EXPECTED_FILES_LIST
set -eu
cmake_command=$1
build=$2
expected=$3

# As root the installation creates the group flowsentry if it is missing; it is removed again afterwards
# in that case. The lock keeps concurrent test runs from removing it under each other.
group_made=""
if [ "$(id -u)" -eq 0 ]; then
    exec 9>>/tmp/flowsentry-group-test.lock
    flock 9
    getent group flowsentry >/dev/null || group_made=maybe
fi
prefix=$(mktemp -d)
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    rm -rf "$prefix"
    if [ -n "$group_made" ] && getent group flowsentry >/dev/null; then
        groupdel flowsentry
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

"$cmake_command" --install "$build" --prefix "$prefix"

status=0
echo "Installed files:"
(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) | tee "$prefix.actual"
sort "$expected" | sed '/^$/d' > "$prefix.expected"
if ! diff -u "$prefix.expected" "$prefix.actual"; then
    echo "FAIL: the installed files differ from the expected ones (- expected, + installed)"
    status=1
fi
rm -f "$prefix.expected" "$prefix.actual"

for program in "$prefix"/bin/*; do
    [ -e "$program" ] || continue
    if [ ! -x "$program" ]; then
        echo "FAIL: $program is not executable"
        status=1
    fi
done
for entry in "$prefix"/share/applications/*.desktop; do
    [ -e "$entry" ] || continue
    desktop-file-validate "$entry" || status=1
done
for metainfo in "$prefix"/share/metainfo/*.xml; do
    [ -e "$metainfo" ] || continue
    appstreamcli validate --no-net "$metainfo" || status=1
    if ! grep -q '<project_license>GPL-3.0-or-later</project_license>' "$metainfo"; then
        echo "FAIL: $metainfo does not give the licence GPL-3.0-or-later"
        status=1
    fi
done
for copyright in "$prefix"/share/doc/*/copyright; do
    [ -e "$copyright" ] || continue
    if ! grep -q '^License: GPL-3+$' "$copyright" || ! grep -q '/usr/share/common-licenses/GPL-3' "$copyright"; then
        echo "FAIL: $copyright does not give the licence GPL-3+"
        status=1
    fi
done
for page in "$prefix"/share/man/man1/*.1.gz; do
    [ -e "$page" ] || continue
    # groff's warnings (bad requests, unknown fonts) turn into output on stderr.
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "FAIL: $page: $warnings"
        status=1
    fi
done

# capabilities FILE: the file's capability text in the form "cap_net_raw=ep", empty for none.
capabilities() {
    getcap "$1" | sed "s|^$1 *||; s|^= *||; s|+|=|"
}
# check_privileges: only the capture helper has a capability.
check_privileges() {
    for program in "$prefix"/bin/*; do
        [ -e "$program" ] || continue
        caps=$(capabilities "$program")
        if [ -n "$caps" ]; then
            echo "FAIL: $program has capabilities ($caps); only the capture helper may have one"
            status=1
        fi
    done
    [ -n "$helper" ] || return 0
    caps=$(capabilities "$prefix/$helper")
    if [ "$caps" != "cap_net_raw=ep" ]; then
        echo "FAIL: $helper has the capabilities '$caps' instead of cap_net_raw=ep"
        status=1
    fi
    mode=$(stat -c '%a %U %G' "$prefix/$helper")
    if [ "$mode" != "750 root flowsentry" ]; then
        echo "FAIL: $helper has mode, owner and group '$mode' instead of '750 root flowsentry'"
        status=1
    fi
}
helper=$(grep '/flowsentry-capture$' "$expected" || true)
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the capability, owner and mode checks need root"
else
    check_privileges
fi
exit "$status"
