#!/usr/bin/env python3
"""Runs two Linux builds of velmora over the same fixed list of commands on
every committed test volume and says where they differ, byte for byte:
standard output, standard error, the exit code and the bytes -w writes.

The commands are those the Windows end-to-end run uses (every action on
the paths each volume's build script made, from its manifest), each also
with --json, plus the timeline of the whole volume and of one directory,
in text and JSON. A change that should leave behaviour as it was (moving
code, merging two implementations) must pass with no difference.

  tools/compare_builds.py --old OLD_BIN --new NEW_BIN [--only REGEX]
"""

import argparse
import concurrent.futures
import glob
import lzma
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e  # noqa: E402  (the one list of end-to-end cases)

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")


def cases_for(manifest):
    cases = wine_e2e.build_cases(wine_e2e.read_manifest(manifest), quick=False)
    json_cases = [wine_e2e.Case(c.name + " --json", ["--json"] + c.args, c.output) for c in cases if c.args]
    timeline = [
        wine_e2e.Case("timeline", ["--timeline", "-f", "X:\\"]),
        wine_e2e.Case("timeline json", ["--timeline", "--json", "-f", "X:\\"]),
        wine_e2e.Case("timeline data", ["--timeline", "-f", "X:\\data"]),
    ]
    return cases + json_cases + timeline


def run(binary, image, case, cwd, tz):
    arguments = [a.replace(wine_e2e.IMAGE, image) for a in case.args]
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TZ=tz)
    output = os.path.join(cwd, case.output) if case.output else None
    if output and os.path.exists(output):
        os.remove(output)
    done = subprocess.run([binary, "-m", "X:", image] + arguments, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)
    written = None
    if output and os.path.exists(output):
        with open(output, "rb") as f:
            written = f.read()
    return done.returncode, done.stdout, done.stderr, written


def first_difference(a, b):
    a_lines, b_lines = a.split(b"\n"), b.split(b"\n")
    for i in range(max(len(a_lines), len(b_lines))):
        la = a_lines[i] if i < len(a_lines) else b"<end>"
        lb = b_lines[i] if i < len(b_lines) else b"<end>"
        if la != lb:
            return "line %d:\n    old: %r\n    new: %r" % (i + 1, la, lb)
    return "same lines"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--only", default="", help="regular expression: the matching case names only")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    args.old, args.new = os.path.abspath(args.old), os.path.abspath(args.new)

    work = tempfile.mkdtemp(prefix="velmora-compare-")
    compared = differed = 0
    try:
        for packed in sorted(glob.glob(os.path.join(DATA, "*.img.xz"))):
            volume = os.path.basename(packed)[:-len(".img.xz")]
            image = os.path.join(work, volume + ".img")
            with lzma.open(packed) as source, open(image, "wb") as target:
                shutil.copyfileobj(source, target)
            os.chmod(image, 0o444)
            dirs = {}
            for side in ("old", "new"):
                dirs[side] = os.path.join(work, volume + "-" + side)
                os.makedirs(dirs[side])
            cases = [c for c in cases_for(os.path.join(DATA, volume + ".manifest"))
                     if re.search(args.only, c.name)]
            runs = [(c, tz) for c in cases for tz in (["UTC", "America/New_York"] if " -l" in c.name else ["UTC"])]

            def compare(item):
                case, tz = item
                old = run(args.old, image, case, dirs["old"], tz)
                new = run(args.new, image, case, dirs["new"], tz)
                problems = []
                for name, index in (("exit code", 0), ("stdout", 1), ("stderr", 2), ("-w file", 3)):
                    if old[index] != new[index]:
                        detail = "%r vs %r" % (old[index], new[index]) if index in (0, 3) and (
                            old[index] is None or new[index] is None or index == 0) else ""
                        if index in (1, 2):
                            detail = first_difference(old[index], new[index])
                        problems.append("%s differs %s" % (name, detail))
                return case, tz, problems

            with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
                for case, tz, problems in pool.map(compare, runs):
                    compared += 1
                    if problems:
                        differed += 1
                        print("DIFF %s [%s] TZ=%s: %s" % (volume, case.name, tz, " ".join(case.args)))
                        for problem in problems:
                            print("  " + problem)
            os.remove(image)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d runs compared, %d differ" % (compared, differed))
    return 1 if differed else 0


if __name__ == "__main__":
    sys.exit(main())
