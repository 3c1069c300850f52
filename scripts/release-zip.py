#!/usr/bin/env python3
"""Packs what a user unpacks onto the card: the given files in one folder, vantiro-tools/,
with SHA256SUMS, as DIST_DIR/vantiro-tools-VERSION-mipsel.zip. VERSION is the project's own,
as the build passes it. An older archive is removed, so DIST_DIR holds the one that matches
its programs.

The archive is the same bytes whoever builds it, wherever and whenever, so that anyone can
rebuild a release from its commit and compare: nothing in it comes from the build's clock,
time zone, folder, user or umask. Entries go in the order given, SHA256SUMS last; each is a
Unix regular file, rw-r--r--, or rwxr-xr-x when the built file is executable; all are
deflated at level 9; and all carry one time, SOURCE_DATE_EPOCH (see source_date), in UTC.

Usage: release-zip.py DIST_DIR VERSION FILE...
"""
import glob
import hashlib
import os
import subprocess
import sys
import time
import zipfile

FOLDER = "vantiro-tools"
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ZIP_EPOCH = 315532800  # 1980-01-01 00:00 UTC, the earliest time a zip entry can carry


def source_date():
    """The reproducible-builds convention: SOURCE_DATE_EPOCH when the caller sets it, else the
    time of the commit the tree is checked out at. A tree that is not a checkout of its own (a
    source archive, perhaps unpacked inside some other repository) has the modification time
    of its CMakeLists.txt, which `git archive` sets to the commit's time and tar keeps."""
    given = os.environ.get("SOURCE_DATE_EPOCH")
    if given:
        if not given.isdigit():
            sys.exit("release-zip.py: SOURCE_DATE_EPOCH is %r, not seconds since 1970" % given)
        return int(given), "SOURCE_DATE_EPOCH"
    git = lambda *args: subprocess.run(("git", "-C", SOURCE) + args, capture_output=True,
                                       text=True).stdout.strip()
    try:
        top = git("rev-parse", "--show-toplevel")
        if top and os.path.samefile(top, SOURCE):
            return int(git("log", "-1", "--format=%ct")), "the commit's time"
    except (OSError, ValueError):
        pass  # no git, or no commit yet
    listfile = os.path.join(SOURCE, "CMakeLists.txt")
    return int(os.stat(listfile).st_mtime), "CMakeLists.txt's time"


def entry(name, date_time, mode):
    info = zipfile.ZipInfo(FOLDER + "/" + name, date_time)
    info.create_system = 3  # Unix, so that unzip applies the mode bits
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    dist, version, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    archive = os.path.join(dist, "vantiro-tools-%s-mipsel.zip" % version)
    seconds, source = source_date()
    date_time = time.gmtime(max(seconds, ZIP_EPOCH))[:6]
    sums = "".join("%s  %s\n" % (hashlib.sha256(open(f, "rb").read()).hexdigest(),
                                 os.path.basename(f)) for f in files)
    partial = archive + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for f in files:
            mode = 0o755 if os.stat(f).st_mode & 0o111 else 0o644
            z.writestr(entry(os.path.basename(f), date_time, mode), open(f, "rb").read(),
                       compresslevel=9)
        z.writestr(entry("SHA256SUMS", date_time, 0o644), sums, compresslevel=9)
    for old in glob.glob(os.path.join(dist, "vantiro-tools-*-mipsel.zip")):
        os.remove(old)
    os.replace(partial, archive)
    print("%s: %d bytes, entries dated %04d-%02d-%02d %02d:%02d:%02d UTC (%s)"
          % ((archive, os.path.getsize(archive)) + date_time + (source,)))


if __name__ == "__main__":
    main()
