#!/usr/bin/env python3
"""Checks the hand-written man pages against the programs they describe.

  man_check.py render PAGE...
      each page renders with groff's warnings on (-ww) and without a word on standard error
  man_check.py options PAGE -- COMMAND...
      every long option that COMMAND prints (its --help) appears in PAGE
  man_check.py settings PAGE KEY_TABLE_SOURCE
      every key of the settings key table (the {"key", Type::...} rows of the source) appears
      in PAGE as "key"

Exit 0 when every check passes, 1 when one fails (each failure named on standard error),
2 on a usage error.
"""
import re
import subprocess
import sys


def page_text(path):
    """The page's words as a reader sees them: roff escapes for dashes, quotes and fonts undone."""
    text = open(path, encoding="utf-8").read()
    text = re.sub(r"\\f[BIRP]|\\f\(..|\\&|\\c", "", text)
    return text.replace("\\-", "-").replace("\\(dq", '"').replace("\\e", "\\")


def render(pages):
    failed = 0
    for page in pages:
        run = subprocess.run(["groff", "-man", "-k", "-Tutf8", "-ww", "-z", page],
                             capture_output=True, text=True)
        if run.returncode != 0 or run.stderr.strip():
            print(f"man_check: {page} does not render cleanly (exit {run.returncode}):\n{run.stderr}",
                  file=sys.stderr)
            failed = 1
        else:
            print(f"man_check: {page} renders without a warning")
    return failed


def has_word(text, word):
    return re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", text) is not None


def options(page, command):
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        print(f"man_check: {' '.join(command)} exited {run.returncode}:\n{run.stderr}", file=sys.stderr)
        return 1
    printed = sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", run.stdout)))
    if not printed:
        print(f"man_check: {' '.join(command)} printed no long option", file=sys.stderr)
        return 1
    text = page_text(page)
    missing = [o for o in printed if not has_word(text, o)]
    for o in missing:
        print(f"man_check: {page} lacks {o}, which {' '.join(command)} prints", file=sys.stderr)
    if not missing:
        print(f"man_check: {page} names all {len(printed)} options of {' '.join(command)}")
    return 1 if missing else 0


def settings(page, source):
    rows = re.findall(r'^\s*\{"([A-Za-z0-9_.\[\]]+)",\s*Type::', open(source, encoding="utf-8").read(), re.M)
    keys = sorted({re.split(r"[.\]\[]+", r.rstrip("[]"))[-1] for r in rows} - {""})
    if len(keys) < 10:
        print(f"man_check: only {len(keys)} keys read from {source}: has its table changed form?",
              file=sys.stderr)
        return 1
    text = page_text(page)
    missing = [k for k in keys if f'"{k}"' not in text]
    for k in missing:
        print(f'man_check: {page} lacks the settings key "{k}"', file=sys.stderr)
    if not missing:
        print(f"man_check: {page} names all {len(keys)} settings keys")
    return 1 if missing else 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "render":
        return render(argv[1:])
    if len(argv) >= 4 and argv[0] == "options" and argv[2] == "--":
        return options(argv[1], argv[3:])
    if len(argv) == 3 and argv[0] == "settings":
        return settings(argv[1], argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
