#!/usr/bin/env python3
"""Packs what a user unpacks onto the card: the given files in one folder, vantiro-tools/,
with SHA256SUMS, as DIST_DIR/vantiro-tools-VERSION-mipsel.zip. Each file keeps its name and
its permission bits (the programs stay executable). VERSION is the project's own, as the build
passes it. An older archive is removed, so DIST_DIR holds the one that matches its programs.

Usage: release-zip.py DIST_DIR VERSION FILE...
"""
import glob
import hashlib
import os
import sys
import zipfile

FOLDER = "vantiro-tools"


def main():
    dist, version, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    archive = os.path.join(dist, "vantiro-tools-%s-mipsel.zip" % version)
    sums = "".join("%s  %s\n" % (hashlib.sha256(open(f, "rb").read()).hexdigest(),
                                 os.path.basename(f)) for f in files)
    partial = archive + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for f in files:
            z.write(f, FOLDER + "/" + os.path.basename(f))
        listing = zipfile.ZipInfo(FOLDER + "/SHA256SUMS", z.infolist()[-1].date_time)
        listing.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
        listing.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(listing, sums)
    for old in glob.glob(os.path.join(dist, "vantiro-tools-*-mipsel.zip")):
        os.remove(old)
    os.replace(partial, archive)
    print("%s: %d bytes" % (archive, os.path.getsize(archive)))


if __name__ == "__main__":
    main()
