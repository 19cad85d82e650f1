#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian postinst's decisions, without touching the system: it runs with a PATH of stand-ins for the
# commands it calls (each records its arguments) and DPKG_ROOT pointing at a directory that holds a
# stand-in helper.
#   postinst_test.sh PATH/TO/postinst
set -eu
postinst=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/root/usr/libexec/flowsentry"
helper=/usr/libexec/flowsentry/flowsentry-capture

# Each stand-in appends "name args" to the log; getent, dpkg-statoverride and setcap answer as the case
# asks through STUB_* variables.
for command in getent addgroup groupadd dpkg-statoverride chown chmod setcap; do
    cat > "$work/bin/$command" <<EOF
#!/bin/sh
echo "$command \$*" >> "$work/log"
case "$command" in
    getent) [ "\${STUB_GROUP:-no}" = yes ] || exit 2; echo "flowsentry:x:999:" ;;
    dpkg-statoverride) [ "\${STUB_OVERRIDE:-no}" = yes ] || exit 1; echo "root wheel 0710 $helper" ;;
    setcap) [ "\${STUB_SETCAP:-ok}" = ok ] || { echo "Failed to set capabilities" >&2; exit 1; } ;;
esac
exit 0
EOF
    chmod 755 "$work/bin/$command"
done

status=0
# check NAME EXPECTED_LOG POSTINST_ARGS...: runs the postinst, which must exit 0, and compares the calls.
check() {
    name=$1
    expected=$2
    shift 2
    : > "$work/log"
    if ! PATH="$work/bin" DPKG_ROOT="$work/root" /bin/sh -e "$postinst" "$@" > "$work/out" 2>&1; then
        echo "FAIL: $name: the postinst failed:"
        cat "$work/out"
        status=1
        return
    fi
    printf '%s' "$expected" > "$work/expected"
    if ! diff -u "$work/expected" "$work/log"; then
        echo "FAIL: $name: other commands than expected (- expected, + called)"
        status=1
        return
    fi
    echo "ok: $name"
}

touch "$work/root$helper"
h=$work/root$helper

STUB_GROUP=no STUB_OVERRIDE=no check "first install: group made, helper for root and the group, capability" \
"getent group flowsentry
addgroup --quiet --system flowsentry
dpkg-statoverride --list $helper
chown root:flowsentry $h
chmod 0750 $h
setcap cap_net_raw=ep $h
" configure

STUB_GROUP=yes STUB_OVERRIDE=no check "upgrade: the existing group is kept" \
"getent group flowsentry
dpkg-statoverride --list $helper
chown root:flowsentry $h
chmod 0750 $h
setcap cap_net_raw=ep $h
" configure 1.5.1-1

STUB_GROUP=yes STUB_OVERRIDE=yes check "an administrator's statoverride: owner and mode left to dpkg" \
"getent group flowsentry
dpkg-statoverride --list $helper
setcap cap_net_raw=ep $h
" configure 1.5.1-1

for action in abort-upgrade abort-remove abort-deconfigure triggered; do
    STUB_GROUP=no check "$action: nothing changes" "" "$action" 1.5.1-1
done

STUB_GROUP=yes STUB_OVERRIDE=no STUB_SETCAP=fail check "setcap fails: the package still configures" \
"getent group flowsentry
dpkg-statoverride --list $helper
chown root:flowsentry $h
chmod 0750 $h
setcap cap_net_raw=ep $h
" configure
if ! grep -q "only root can capture" "$work/out"; then
    echo "FAIL: a failed setcap is not explained: $(cat "$work/out")"
    status=1
fi

rm "$work/root$helper"
STUB_GROUP=yes check "no helper in the package: only the group" "getent group flowsentry
" configure

exit "$status"
