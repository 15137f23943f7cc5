#!/usr/bin/env python3
"""Tries each fault of sample.txt against the suites and prints which tests
caught it. Works in a scratch clone of HEAD (the working tree is not
touched): applies one fault, builds, runs ctest without the Windows suites,
restores the file. A fault no test catches prints SURVIVED; the run ends
with the count caught.

usage: .ci/mutants/run.py [ID ...]    (all faults when no id is given)
Takes about 15 s per fault on two cores after a first full build."""
import pathlib
import re
import subprocess
import sys
import tempfile

root = pathlib.Path(__file__).resolve().parent.parent.parent
sample = [line.split("#") for line in (root / ".ci/mutants/sample.txt").read_text().splitlines()
          if line and not line.startswith("#")]
wanted = set(sys.argv[1:])


def run(args, cwd, log=None):
    with open(log or "/dev/null", "w") as out:
        return subprocess.run(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def apply(tree, path, line, text, replacement):
    lines = (tree / path).read_text().split("\n")
    hits = [i for i, s in enumerate(lines) if text in s]
    if not hits or min(abs(i - (line - 1)) for i in hits) > 40:
        return False
    at = min(hits, key=lambda i: abs(i - (line - 1)))
    lines[at] = lines[at].replace(text, replacement, 1)
    (tree / path).write_text("\n".join(lines))
    return True


with tempfile.TemporaryDirectory(prefix="canisp-mutants-") as scratch:
    tree = pathlib.Path(scratch) / "tree"
    run(["git", "clone", "-q", str(root), str(tree)], root)
    build = tree / "build"
    if run(["cmake", "-S", ".", "-B", "build"], tree) or run(["cmake", "--build", "build", "-j2"], tree):
        sys.exit("the unchanged tree does not build")
    caught = tried = 0
    for ident, path, line, text, replacement in sample:
        if wanted and ident not in wanted:
            continue
        original = (tree / path).read_text()
        if not apply(tree, path, int(line), text, replacement):
            print(f"{ident}|{path}|NOT FOUND", flush=True)
            continue
        tried += 1
        log = str(pathlib.Path(scratch) / "ctest.log")
        if run(["cmake", "--build", "build", "-j2"], tree):
            result = "does not build"
        else:
            run(["ctest", "--test-dir", "build", "-j2", "-E", "Windows", "--timeout", "90"], tree, log)
            text = open(log).read()
            failed = re.findall(r"\d+ - (\S+) \(", text.split("tests FAILED:")[1]) if "tests FAILED:" in text else []
            result = " ".join(failed) if failed else "SURVIVED"
        caught += result != "SURVIVED"
        (tree / path).write_text(original)
        print(f"{ident}|{path}|{result}", flush=True)
    print(f"caught {caught} of {tried}")
