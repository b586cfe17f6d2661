#!/usr/bin/env python3
"""Checks that a README's text has moved rather than been lost: every paragraph, every
table row and every code block of OLD (an earlier README.md) must appear, with its
whitespace reflowed and heading marks ignored, in README.md or a file under docs/.

  python3 scripts/docs-moved-check.py OLD [--where]
      git show REV:README.md > /tmp/old.md && python3 scripts/docs-moved-check.py /tmp/old.md

--where prints, for each section of OLD, the files its text is now found in.
Exit 0 when everything is found, 1 when something is missing (each piece printed),
2 on a usage error.
"""
import glob
import os
import re
import sys


def norm(text):
    return " ".join(re.sub(r"^#+ ", "", line.strip()) for line in text.split("\n") if line.strip()).strip()


def pieces(text):
    """(section heading, piece) for each paragraph, table row and code block of the text."""
    out, section, block, fence = [], "", [], None

    def flush():
        if block:
            out.append((section, norm("\n".join(block))))
            block.clear()

    for line in text.split("\n"):
        if fence is not None:
            fence.append(line)
            if line.startswith("```"):
                out.append((section, norm("\n".join(fence[1:-1]))))
                fence = None
            continue
        if line.startswith("```"):
            flush()
            fence = [line]
        elif re.match(r"^#{1,6} ", line):
            flush()
            section = line.lstrip("#").strip()
        elif line.startswith("|"):
            flush()
            if not re.match(r"^\|[-:| ]+\|$", line.strip()):
                out.append((section, norm(line)))
        elif not line.strip():
            flush()
        else:
            block.append(line)
    flush()
    return [(s, p) for s, p in out if p]


def main(argv):
    if not argv or argv[0].startswith("-") or len(argv) > 2 or (len(argv) == 2 and argv[1] != "--where"):
        print(__doc__, file=sys.stderr)
        return 2
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    files = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    texts = {os.path.relpath(f, root): norm(open(f, encoding="utf-8").read()) for f in files}
    old = pieces(open(argv[0], encoding="utf-8").read())
    missing, where = [], {}
    for section, piece in old:
        found = [f for f, t in texts.items() if piece in t]
        if not found:
            missing.append((section, piece))
        for f in found:
            where.setdefault(section, []).append(f) if f not in where.get(section, []) else None
    if len(argv) == 2:
        for section in dict.fromkeys(s for s, _ in old):
            print(f"{section} -> {', '.join(where.get(section, ['(nowhere)']))}")
    for section, piece in missing:
        print(f"missing from section '{section}': {piece[:160]}")
    print(f"docs-moved-check: {len(old) - len(missing)} of {len(old)} pieces found")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
