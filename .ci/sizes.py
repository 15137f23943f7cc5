#!/usr/bin/env python3
"""Prints the largest source files and functions of the tool and the board,
and fails when a file has more than 700 lines or a function more than 80.
A function is a definition whose body opens with a brace alone at the start
of a line and closes with the next brace alone at the start of a line (the
formatter puts function bodies so)."""
import pathlib
import re
import sys

MAX_FILE, MAX_FUNCTION = 700, 80
FOLDERS = ["app", "isp", "can", "Infra/src", "Mpsse/src", "TopLayer/SPI/src", "platform", "console", "sim"]

root = pathlib.Path(__file__).resolve().parent.parent
files, functions = [], []
for folder in FOLDERS:
    for path in sorted((root / folder).glob("*.[ch]*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        name = str(path.relative_to(root))
        files.append((len(lines), name))
        start = None
        for number, line in enumerate(lines):
            if line == "{" and number > 0 and re.search(r"\)\s*(const)?\s*(noexcept)?\s*(override)?$", lines[number - 1].rstrip()):
                start = number
            elif line == "}" and start is not None:
                functions.append((number - start + 1, "%s:%d %s" % (name, start, lines[start - 1].strip()[:70])))
                start = None

files.sort(reverse=True)
functions.sort(reverse=True)
print("largest files:")
for count, name in files[:5]:
    print("  %5d  %s" % (count, name))
print("largest functions:")
for count, name in functions[:5]:
    print("  %5d  %s" % (count, name))
bad = [f for f in files if f[0] > MAX_FILE] + [f for f in functions if f[0] > MAX_FUNCTION]
for count, name in bad:
    print("too large: %d lines: %s" % (count, name))
sys.exit(1 if bad else 0)
