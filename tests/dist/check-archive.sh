#!/bin/sh
# The release archive users unpack onto the card: one dist/vantiro-tools-*-mipsel.zip, whose
# programs are executable and the very ones in dist/mipsel/, with SHA256SUMS that verifies
# what unzip gives, a README.txt that carries the seizure warning and the archive's version,
# and a CHANGES.txt whose newest section is that version's.
#   check-archive.sh DIST_DIR
set -u
dist=$(cd "$1" && pwd) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "$*"; failed=1; }

set -- "$dist"/vantiro-tools-*-mipsel.zip
[ $# -eq 1 ] && [ -f "$1" ] || { echo "expected one archive in $dist, found: $*"; exit 1; }
zipinfo "$1"
version=${1##*/vantiro-tools-}
version=${version%-mipsel.zip}
unzip -q "$1" -d "$work" || exit 1
cd "$work/vantiro-tools" || exit 1
for program in voltrace strobel framepace; do
    [ -x "$program" ] || fail "$program is not executable once unpacked"
    cmp -s "$program" "$dist/mipsel/$program" || fail "$program differs from dist/mipsel/"
done
[ -f voltrace-report.html ] || fail "the report's page voltrace-report.html is missing"
grep -q 'photosensitive' README.txt || fail "README.txt has no seizure warning"
grep -qx "Version $version" README.txt || fail "README.txt does not say version $version"
[ "$(grep -m1 '^Version ' CHANGES.txt)" = "Version $version" ] ||
    fail "CHANGES.txt does not begin with version $version"
sha256sum -c SHA256SUMS || fail "SHA256SUMS does not verify"
[ "$(ls | grep -vx SHA256SUMS | sort)" = "$(cut -c67- SHA256SUMS | sort)" ] ||
    fail "SHA256SUMS does not list exactly the other files"
exit $failed
