#!/usr/bin/python3
"""Prints the tree of a compound file as olefile reads it (see test_support.h)."""
import sys

import olefile


def main(path):
    try:
        ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_POTENTIAL)
    except Exception as error:  # olefile refuses the file
        print("ERROR: %s" % error)
        return 0
    lines = []
    for entry in ole.listdir(streams=True, storages=True):
        name = "/".join(entry)
        if ole.get_type(entry) == olefile.STGTY_STORAGE:
            lines.append("S %s" % name)
        else:
            data = ole.openstream(entry).read()
            lines.append("F %s %d %s" % (name, len(data), data.hex()))
    for line in sorted(lines):
        print(line)
    ole.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
