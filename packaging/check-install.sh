#!/bin/sh
# Installs the build into a temporary prefix, checks that exactly the expected files arrive, and validates the
# desktop entry and the AppStream metadata.
#   check-install.sh CMAKE BUILD_DIR EXPECTED_FILES_LIST
set -eu
cmake_command=$1
build=$2
expected=$3

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

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
exit "$status"
