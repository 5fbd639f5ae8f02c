#!/usr/bin/env python3
"""Runs every action of the Windows build under wine and of the Linux build
on one test volume and compares what they print. Called by tools/wine_e2e.sh,
which prepares the wine prefix: drive X: is a read-only ntfs-3g mount of the
image (so the system sees X:\\dir\\file) and "x::" the image itself (so
\\\\.\\X: opens it). The Linux build reads the same image through -m X:.

Both outputs are compared as text: the Windows build's output is decoded
from code page 936 (the "chs" locale; standard output is a pipe here, not a
console) with CRLF line ends, the Linux build's from UTF-8, where every
character that code page 936 cannot hold stands as '?'. -w output files
must hold the same bytes. Account names are the one thing the two builds
take from different places (wine's account database, a built-in table of
well-known SIDs): where they differ, the lines are compared without them
and the difference is listed.
"""

import argparse
import concurrent.futures
import dataclasses
import hashlib
import os
import re
import subprocess
import sys

CODE_PAGE = "gbk"  # Windows code page 936
LINUX_NOTES = "On Linux:\n"
WINDOWS_NOTES = "Volume images:\n"
IMAGE = "<image>"  # stands for the image's path, in each system's form
ACCOUNT_LINE = re.compile(r"^((?:Owner|Group|SACL ACE|DACL ACE) : \S*    )(.*?)\\(.*?)((?: [0-9A-F]{8} [0-9A-F]{2} [0-9A-F]{2})?)$")


@dataclasses.dataclass
class Case:
    name: str
    args: list
    output: str = ""  # -w output file name, relative to the run directory


@dataclasses.dataclass
class Facts:
    paths: dict  # path -> (recno, kind)
    secids: list
    lsns: list
    values: list  # (recno, type, id, name, size, sha)


def read_manifest(path):
    facts = Facts({}, [], [], [])
    with open(path, encoding="utf-8") as manifest:
        for line in manifest:
            fields = line.rstrip("\n").split("\t")
            if not fields or fields[0].startswith("#"):
                continue
            kind = fields[0]
            if kind == "path" and len(fields) >= 4:
                facts.paths[fields[3]] = (int(fields[1]), fields[2])
            elif kind == "secid" and len(fields) >= 3:
                facts.secids.append(int(fields[2]))
            elif kind == "lsn" and len(fields) >= 2:
                facts.lsns.append(fields[1])
            elif kind == "value" and len(fields) >= 7:
                facts.values.append((int(fields[1]), int(fields[2]), int(fields[3]), fields[4], int(fields[5]),
                                     fields[6]))
    return facts


def drive(path):
    return "X:" + path


QUICK_FILES = ["\\readme.txt", "\\data\\nonresident.bin", "\\streams.txt", "\\日本語の長いファイル名.txt",
               "\\compressed\\text.txt", "\\frag\\fragmented.bin"]


def build_cases(facts, quick):
    """Every action on the paths the volume's build script made; fewer
    paths and ids when quick."""
    cases = [Case("usage", [])]
    have = lambda p: p in facts.paths
    root = "\\"
    cases += [
        Case("root -l", ["-f", drive(root), "-l"]),
        Case("root -a -c -e", ["-f", drive(root), "-a", "-c", "-e"]),
        Case("root -v 5 -d 9", ["-f", drive(root), "-v", "5", "-d", "9"]),
        Case("root -v 3 -d 10 0 100", ["-f", drive(root), "-v", "3", "-d", "10", "0", "100"]),
        Case("missing path", ["-f", drive("\\no such file.txt"), "-a"]),
        Case("prefixed path", ["-f", "\\\\?\\" + drive("\\readme.txt"), "-a"]),
        Case("letter case", ["-f", drive("\\README.TXT"), "-v", "3"]),
    ]
    directories = ["\\bigdir", "\\unicode", "\\unicode\\中文目录", "\\data", "\\security", "\\links"]
    for directory in directories[:2] if quick else directories:
        if have(directory):
            cases.append(Case(directory + " -l", ["-f", drive(directory), "-l"]))
    files = ["\\readme.txt", "\\MixedCase.TXT", "\\data\\nonresident.bin", "\\data\\sparse.bin", "\\data\\empty.txt",
             "\\streams.txt", "\\manystreams.txt", "\\日本語の長いファイル名.txt", "\\unicode\\中文目录\\文件.txt",
             "\\unicode\\한국어.txt", "\\unicode\\😀 smile.txt", "\\compressed\\text.txt", "\\frag\\fragmented.bin",
             "\\links\\second name.txt"]
    files += sorted(p for p in facts.paths if p.startswith("\\deep\\") and p.endswith(".txt"))
    if quick:
        files = QUICK_FILES
    for path in files:
        if not have(path):
            continue
        cases += [
            Case(path + " -l -a -v 1 -d 8", ["-f", drive(path), "-l", "-a", "-v", "1", "-d", "8"]),
            Case(path + " -v 8 -d 8 100 20", ["-f", drive(path), "-v", "8", "-d", "8", "100", "20"]),
        ]
        if not quick:
            cases.append(Case(path + " -v 3", ["-f", drive(path), "-v", "3"]))
    secids = sorted(set(facts.secids))
    for secid in (secids[:3] if quick else secids) + [0x100, 0xFFFF]:
        cases.append(Case("-s %X" % secid, ["-f", drive(root), "-s", "%X" % secid]))
    if not quick:
        for path in sorted(p for p in facts.paths if p.startswith("\\security\\")):
            cases.append(Case(path + " -v 1", ["-f", drive(path), "-v", "1"]))
    for lsn in facts.lsns + ["1", "FFFFFFFFFFFFFFFF"]:
        cases.append(Case("-n " + lsn, ["-f", drive(root), "-n", lsn]))
    # -r: the path picks the volume, the reference the record. (With -l the
    # directory test is the system's view of the -f path on Windows, and of
    # the -r record on a drive bound to an image: both are directories here.)
    for path in ["\\readme.txt", "\\bigdir", "\\unicode\\中文目录"]:
        if have(path):
            recno, kind = facts.paths[path]
            listing = ["-l"] if kind == "D" else []
            cases.append(Case("-r " + path, ["-f", drive(root), "-r", "%X" % recno, "-a", "-v", "3"] + listing))
    cases.append(Case("-r unreadable", ["-f", drive(root), "-r", "FFFFFFFFFF", "-a"]))
    # -w: values of the base records, each into a file of its own.
    by_record = {recno: path for path, (recno, _) in facts.paths.items()}
    written = 0
    for recno, attr_type, attr_id, name, size, _ in facts.values:
        if recno not in by_record or attr_type not in (0x80, 0x50) or written >= (4 if quick else 10):
            continue
        if by_record[recno].startswith(("\\$", "\\bigdir\\", "\\frag\\grow\\")):
            continue
        out = "w%d-%X.bin" % (recno, attr_id)
        cases.append(Case("-w %X %s" % (attr_id, by_record[recno]), ["-f", drive(by_record[recno]), "-w",
                                                                      "%X" % attr_id, out], out))
        written += 1
    cases.append(Case("-w no such id", ["-f", drive("\\readme.txt"), "-w", "7777", "none.bin"], "none.bin"))
    # -m on both: the drive letter names the image, and only the volume
    # knows its paths (the system has no view of them).
    bind = ["-m", "M:", IMAGE]
    cases += [
        Case("-m root -l -a", bind + ["-f", "M:\\", "-l", "-a"]),
        Case("-m file -l -v 3", bind + ["-f", "M:\\readme.txt", "-l", "-v", "3"]),
        Case("-m offset", ["-m", "M:", IMAGE + "@0", "-f", "M:\\data", "-l"]),
        Case("-m missing image", ["-m", "M:", IMAGE + ".missing", "-f", "M:\\", "-a"]),
    ]
    return cases


def as_code_page(text):
    """The text as it comes back from code page 936: each UTF-16 unit it
    cannot hold is '?' (the conversion goes unit by unit, so a character
    beyond U+FFFF, a surrogate pair, becomes "??")."""
    return "".join(c if _encodable(c) else "?" * (2 if ord(c) > 0xFFFF else 1) for c in text)


def _encodable(c):
    try:
        c.encode(CODE_PAGE)
        return True
    except UnicodeEncodeError:
        return False


def strip_notes(text, marker):
    at = text.find(marker)
    return text if at < 0 else text[:at]


def split_accounts(lines):
    """Lines with the domain and account cut out, and the names by line."""
    bare, names = [], {}
    for i, line in enumerate(lines):
        match = ACCOUNT_LINE.match(line)
        if match:
            bare.append(match.group(1) + "<names>" + match.group(4))
            names[i] = match.group(2) + "\\" + match.group(3)
        else:
            bare.append(line)
    return bare, names


def compare(case, linux, windows):
    """Problems (empty when equal) and account name differences."""
    problems, accounts = [], []
    if linux["code"] != windows["code"]:
        problems.append("exit code %d (Linux) vs %d (Windows)" % (linux["code"], windows["code"]))
    for stream in ("out", "err"):
        a = as_code_page(linux[stream])
        b = windows[stream]
        if case.name == "usage":
            a, b = strip_notes(a, LINUX_NOTES), strip_notes(b, WINDOWS_NOTES)
        if a == b:
            continue
        a_lines, b_lines = a.split("\n"), b.split("\n")
        # The reasons on stderr come from each system (its error texts, and
        # on Windows the system's own test of whether a path exists): both
        # builds must say something, one line per failure, not the same words.
        if stream == "err":
            if len(a_lines) != len(b_lines):
                problems.append("stderr: %d lines (Linux) vs %d (Windows):\n    Linux:   %r\n    Windows: %r" % (
                    len(a_lines) - 1, len(b_lines) - 1, a, b))
            continue
        a_bare, a_names = split_accounts(a_lines)
        b_bare, b_names = split_accounts(b_lines)
        if a_bare == b_bare:
            for i in sorted(set(a_names) | set(b_names)):
                if a_names.get(i) != b_names.get(i):
                    accounts.append("%s: %s (Linux) / %s (wine)" % (a_lines[i].split(" : ")[1].split("    ")[0],
                                                                   a_names.get(i), b_names.get(i)))
            continue
        for i in range(max(len(a_lines), len(b_lines))):
            la = a_lines[i] if i < len(a_lines) else "<end>"
            lb = b_lines[i] if i < len(b_lines) else "<end>"
            if la != lb:
                problems.append("%s line %d:\n    Linux:   %r\n    Windows: %r" % (stream, i + 1, la, lb))
                break
    if case.output:
        a, b = linux.get("file"), windows.get("file")
        if a != b:
            problems.append("-w files differ: Linux %s, Windows %s" % (
                "none" if a is None else "%d bytes %s" % (len(a), hashlib.sha256(a).hexdigest()[:16]),
                "none" if b is None else "%d bytes %s" % (len(b), hashlib.sha256(b).hexdigest()[:16])))
    return problems, accounts


def run(command, cwd, env, output):
    path = os.path.join(cwd, output) if output else None
    if path and os.path.exists(path):
        os.remove(path)
    done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    result = {"code": done.returncode, "out": done.stdout, "err": done.stderr}
    if path:
        result["file"] = open(path, "rb").read() if os.path.exists(path) else None
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--volume", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--linux", required=True)
    parser.add_argument("--loader", action="append", default=[],
                        help="LABEL=PATH: the wine loader of that build (default: wine)")
    parser.add_argument("--work", required=True)
    parser.add_argument("--tz", default="UTC")
    parser.add_argument("--only", default="", help="regular expression: run the matching cases only")
    parser.add_argument("--quick", action="store_true", help="fewer paths and ids")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("exes", nargs="+", help="LABEL=PATH of each Windows build")
    args = parser.parse_args()

    facts = read_manifest(args.manifest)
    cases = [c for c in build_cases(facts, args.quick) if re.search(args.only, c.name)]
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TZ=args.tz)
    runs = {"linux": os.path.join(args.work, "linux")}
    exes = dict(pair.split("=", 1) for pair in args.exes)
    loaders = dict(pair.split("=", 1) for pair in args.loader)
    for label in exes:
        runs[label] = os.path.join(args.work, label)
    for directory in runs.values():
        os.makedirs(directory, exist_ok=True)

    windows_image = "Z:" + os.path.abspath(args.image).replace("/", "\\")

    def with_image(arguments, path):
        return [a.replace(IMAGE, path) for a in arguments]

    def run_case(case):
        linux = run([args.linux, "-m", "X:", args.image] + with_image(case.args, args.image), runs["linux"], env,
                    case.output)
        linux["out"] = linux["out"].decode("utf-8", errors="replace")
        linux["err"] = linux["err"].decode("utf-8", errors="replace")
        outcomes = []
        for label, exe in exes.items():
            windows = run([loaders.get(label, "wine"), exe] + with_image(case.args, windows_image), runs[label], env, case.output)
            for stream in ("out", "err"):
                windows[stream] = windows[stream].replace(b"\r\n", b"\n").decode(CODE_PAGE, errors="replace")
            outcomes.append((label,) + compare(case, linux, windows))
        return outcomes

    passed = failed = 0
    account_notes = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for case, outcomes in zip(cases, pool.map(run_case, cases)):
            for label, problems, accounts in outcomes:
                account_notes.update(accounts)
                if problems:
                    failed += 1
                    print("FAIL %s %s [%s]: %s" % (args.volume, label, case.name, " ".join(case.args)))
                    for problem in problems:
                        print("  " + problem)
                else:
                    passed += 1
    for note in sorted(account_notes):
        print("note %s: account names differ for %s" % (args.volume, note))
    print("%s (TZ=%s): %d passed, %d failed" % (args.volume, args.tz, passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
