#!/bin/sh
# The release is the same bytes whoever builds it, wherever and whenever: it is built from two
# copies of the tree on the tree's device runtime, the second in a deeper folder once the
# first is done, in another time zone, locale, umask, HOME and user name. On a difference,
# names the first entry that differs.
#   check-reproducible.sh SOURCE_DIR
set -eu
source=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# release FOLDER: the tree without its builds copied to FOLDER, and the release built there.
release() {
    mkdir -p "$1"
    (cd "$source" && tar -cf - --exclude='./build*' --exclude=./.cache --exclude=./dist .) |
        tar -xf - -C "$1"
    ln -s "$(cd "$source/.cache" && pwd -P)" "$1/.cache"
    (cd "$1" && cmake --preset device && cmake --build --preset device --target dist) \
        >"$work/log" 2>&1 || { tail -n 30 "$work/log"; exit 1; }
}
release "$work/one"
# UTC+14 (UTC-12 if that is the caller's), so that a time taken as local time would show; a
# POSIX zone, which needs no time zone data.
[ "$(date +%z)" = +1400 ] && zone=WEST+12 || zone=EAST-14
mkdir "$work/home"
(umask 077 && export TZ=$zone LC_ALL=C HOME=$work/home USER=rebuilder LOGNAME=rebuilder &&
    release "$work/another/folder/further/down/two")
set -- "$work"/one/dist/vantiro-tools-*-mipsel.zip "$work"/another/*/*/*/two/dist/*.zip
sha256sum "$@"
cmp "$@" || exec python3 "$source/tests/dist/first-difference.py" "$@"
