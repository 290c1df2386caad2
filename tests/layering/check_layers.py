#!/usr/bin/env python3
"""Fails when a library folder includes a header of a folder above it, or when
a folder below the screens includes Qt: every include points down
app -> screens -> download -> data -> platform."""
import os
import re
import sys

ORDER = ["platform", "data", "download", "screens", "app"]
NO_QT = {"platform", "data", "download"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def problems(root):
    found = []
    for rank, folder in enumerate(ORDER):
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(2)
                        where = "%s:%d" % (os.path.relpath(path, root), number)
                        top = target.split("/", 1)[0]
                        if m.group(1) == '"' and top in ORDER and ORDER.index(top) > rank:
                            found.append("%s includes %s from a layer above" % (where, target))
                        if folder in NO_QT and re.match(r"Q[A-Za-z]|qt", target):
                            found.append("%s includes Qt (%s) below the screens" % (where, target))
    return found


if __name__ == "__main__":
    found = problems(sys.argv[1] if len(sys.argv) > 1 else ".")
    for p in found:
        print(p)
    sys.exit(1 if found else 0)
