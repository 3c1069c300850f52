#!/bin/sh
# The release is the same bytes whoever builds it, wherever and whenever: built from two copies
# of the tree on its device runtime, the second deeper, later and in another time zone, locale,
# umask, HOME and user name. Names the first entry that differs, and how.
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
cmp "$@" && exit 0
python3 - "$@" <<'END'
import sys, zipfile
fields = ("filename date_time create_system create_version extract_version flag_bits "
          "compress_type external_attr internal_attr extra comment CRC compress_size").split()
a, b = ([[getattr(i, f) for f in fields] for i in zipfile.ZipFile(n).infolist()]
        for n in sys.argv[1:])
for x, y in zip(a + [None] * len(b), b + [None] * len(a)):
    if x != y and None in (x, y):
        sys.exit("first entry that differs: %s, in one archive only" % (x or y)[0])
    if x != y:
        sys.exit("first entry that differs: %s: %s" % (x[0], "; ".join(
            "%s %r against %r" % d for d in zip(fields, x, y) if d[1] != d[2])))
sys.exit("no entry's fields differ: the compressed data or the archive's own records do")
END
