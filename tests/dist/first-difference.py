#!/usr/bin/env python3
"""Names the first entry in which two zip archives differ, and how; exits 1.
Usage: first-difference.py ARCHIVE ARCHIVE"""
import sys
import zipfile

FIELDS = ("filename date_time create_system create_version extract_version flag_bits "
          "compress_type external_attr internal_attr extra comment CRC compress_size").split()


def entries(name):
    """Each entry's name, header fields and bytes in the archive (local header and data)."""
    z, data = zipfile.ZipFile(name), open(name, "rb").read()
    ends = [i.header_offset for i in z.infolist()[1:]] + [z.start_dir]
    return [(i.filename, [getattr(i, f) for f in FIELDS], data[i.header_offset:end])
            for i, end in zip(z.infolist(), ends)]


a, b = entries(sys.argv[1]), entries(sys.argv[2])
for i in range(max(len(a), len(b))):
    if i >= min(len(a), len(b)):
        name = (a if i < len(a) else b)[i][0]
        sys.exit("first entry that differs: %s, in one archive only" % name)
    fields = ["%s %r against %r" % d for d in zip(FIELDS, a[i][1], b[i][1]) if d[1] != d[2]]
    if fields or a[i][2] != b[i][2]:
        sys.exit("first entry that differs: %s: %s" % (a[i][0], "; ".join(fields) or "its data"))
sys.exit("the entries agree; the archives' own records differ")
