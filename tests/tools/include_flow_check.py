#!/usr/bin/env python3
"""Fails on an #include that runs against the data flow the README states.

  cli -> reports -> history, content -> ntfs, security -> source -> platform

and every folder may use base/. output/ (the console text and the JSON
writer) serves cli/ and reports/ only. A folder may include its own files
and those of any folder below it; ntfs/ and security/ stand side by side
and include neither the other.

  include_flow_check.py [ROOT]     exit 0 when every include keeps the flow
"""
import pathlib
import re
import sys

# Folder -> the folders its files may include besides their own and base/.
ALLOWED = {
    "platform": set(),
    "source": {"platform"},
    "ntfs": {"source", "platform"},
    "security": {"source", "platform"},
    "history": {"ntfs", "security", "source", "platform"},
    "content": {"ntfs", "security", "source", "platform"},
    "output": set(),
    "reports": {"output", "history", "content", "ntfs", "security", "source", "platform"},
    "cli": {"reports", "output", "history", "content", "ntfs", "security", "source", "platform"},
    "base": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def violations(root):
    found = []
    for folder, allowed in ALLOWED.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                if target in (folder, "base") or target in allowed:
                    continue
                if target not in ALLOWED:
                    continue  # a system or third-party header in quotes
                found.append(f"{path.relative_to(root)}:{number}: {folder}/ includes {target}/")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} includes run against the flow cli -> reports -> ntfs, security -> source -> platform")
        return 1
    print("every include keeps the flow")
    return 0


if __name__ == "__main__":
    sys.exit(main())
