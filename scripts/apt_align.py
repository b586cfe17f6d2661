#!/usr/bin/env python3
"""Finds why apt cannot install a foreign architecture's packages next to the native ones
when the archive's indexes disagree, and the versions that make it possible.

A Multi-Arch: same package (linux-libc-dev, libssl3...) must have one version on every
architecture. When one architecture's index is mid-sync, the native package may be
installed (or offered) at a version the foreign index does not have yet, and apt then
reports "held broken packages". The plan installs each such pair at the highest version
both architectures have, with the installed packages that pin the native one to its exact
version (libssl-dev depends on libssl3 (= version)) moved along, or names the package that
cannot be aligned and why.

  apt_align.py plan --foreign armhf PKG...      print the pins (one name=version a line)
  apt_align.py plan --recorded DIR --foreign armhf PKG...
      the same from recorded command outputs in DIR: arch (dpkg --print-architecture),
      depends.txt (apt-cache depends --recurse ... PKG...), status.txt (dpkg-query, see
      STATUS_FORMAT) and policy.txt (apt-cache policy of every package it asks about)

Exit status: 0 with the pins on standard output (none when no pair is out of step), 1 when
a pair cannot be aligned (the reasons on standard error), 2 on a usage error.
"""
import argparse
import os
import re
import subprocess
import sys

STATUS_FORMAT = "${binary:Package} ${Version} ${db:Status-Abbrev}|${Depends}|${Pre-Depends}\n"
DEPENDS_ARGS = ["--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                "--no-breaks", "--no-replaces", "--no-enhances"]


# --- Debian version comparison (the algorithm of deb-version(7)) -------------------------

def _order(c):
    if c == "~":
        return -1
    if c.isdigit():
        return 0
    if c.isalpha():
        return ord(c)
    return ord(c) + 256


def _compare_part(a, b):
    i = j = 0
    while i < len(a) or j < len(b):
        # The non-digit run, character by character; '~' sorts before everything, even the end.
        while (i < len(a) and not a[i].isdigit()) or (j < len(b) and not b[j].isdigit()):
            ca = _order(a[i]) if i < len(a) and not a[i].isdigit() else 0
            cb = _order(b[j]) if j < len(b) and not b[j].isdigit() else 0
            if ca != cb:
                return -1 if ca < cb else 1
            i += 1
            j += 1
        da = re.match(r"\d*", a[i:]).group()
        db = re.match(r"\d*", b[j:]).group()
        i += len(da)
        j += len(db)
        na, nb = int(da or 0), int(db or 0)
        if na != nb:
            return -1 if na < nb else 1
    return 0


def _split(v):
    epoch, _, rest = v.partition(":") if ":" in v else ("0", "", v)
    upstream, _, revision = rest.rpartition("-") if "-" in rest else (rest, "", "0")
    return int(epoch or 0), upstream, revision


def compare_versions(a, b):
    """-1, 0 or 1 as Debian version a sorts before, with or after b."""
    ea, ua, ra = _split(a)
    eb, ub, rb = _split(b)
    if ea != eb:
        return -1 if ea < eb else 1
    return _compare_part(ua, ub) or _compare_part(ra, rb)


def highest(versions):
    best = None
    for v in versions:
        if best is None or compare_versions(v, best) > 0:
            best = v
    return best


# --- Parsers of the recorded outputs -----------------------------------------------------

class Policy:
    def __init__(self):
        self.installed = None
        self.candidate = None
        self.versions = []  # every version in a package list or installed, as apt lists them
        self.sources = {}   # version -> the lines naming where it comes from


def parse_policy(text):
    """apt-cache policy output -> {package name as apt printed it: Policy}."""
    policies = {}
    current = None
    version = None
    for line in text.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            m = re.match(r"^(\S+):$", line)
            current = Policy() if m else None
            if m:
                policies[m.group(1)] = current
            continue
        if current is None:
            continue
        m = re.match(r"^  (Installed|Candidate): (\S+)", line)
        if m:
            value = None if m.group(2) == "(none)" else m.group(2)
            if m.group(1) == "Installed":
                current.installed = value
            else:
                current.candidate = value
            continue
        m = re.match(r"^ (?:\*\*\*| {3}) (\S+) (-?\d+)$", line)
        if m:
            version = m.group(1)
            current.versions.append(version)
            current.sources[version] = []
            continue
        m = re.match(r"^ {8}-?\d+ (.+)$", line)
        if m and version is not None and current.versions and current.versions[-1] == version:
            current.sources[version].append(m.group(1))
    return policies


def parse_depends(text):
    """apt-cache depends --recurse output -> {package: [group, ...]}, a group being the
    alternatives of one Depends or PreDepends, each a list of the real packages that
    satisfy it (a virtual package stands for its providers)."""
    graph = {}
    groups = None
    alternative_open = False
    for line in text.splitlines():
        if not line.startswith(" "):
            name = line.strip()
            if name and not name.startswith("<"):
                groups = graph.setdefault(name, [])
                alternative_open = False
            else:
                groups = None
            continue
        if groups is None:
            continue
        m = re.match(r"^ ( |\|)(Depends|PreDepends): (\S+)$", line)
        if m:
            name = m.group(3)
            alt = [] if name.startswith("<") else [name]
            if alternative_open:
                groups[-1].append(alt)
            else:
                groups.append([alt])
            alternative_open = m.group(1) == "|"
            continue
        m = re.match(r"^ {4}(\S+)$", line)
        if m and groups and groups[-1]:
            groups[-1][-1].append(m.group(1))  # a provider of the virtual package above
    return graph


def wanted_closure(graph, packages, is_installed):
    """The packages apt would bring for `packages`: each dependency is taken as met when
    an alternative is installed, otherwise by its first alternative that exists, as apt's
    resolver does when nothing stands in the way."""
    seen = set()
    work = list(packages)
    while work:
        pkg = work.pop()
        if pkg in seen:
            continue
        seen.add(pkg)
        for group in graph.get(pkg, []):
            if any(is_installed(p) for alt in group for p in alt):
                continue
            for alt in group:
                if alt:
                    work.append(alt[0])
                    break
    return seen


def foreign_bases(names, foreign):
    suffix = ":" + foreign
    return {n[: -len(suffix)] for n in names if n.endswith(suffix)}


def parse_status(text, native):
    """dpkg-query output (STATUS_FORMAT) -> {name:arch: (version, depends)} of installed
    packages; names without an architecture (Multi-Arch: no, or all) get the native one."""
    installed = {}
    for line in text.splitlines():
        head, _, rest = line.partition("|")
        parts = head.split()
        if len(parts) < 3 or parts[2] != "ii":
            continue
        name = parts[0] if ":" in parts[0] else parts[0] + ":" + native
        depends, _, pre = rest.partition("|")
        installed[name] = (parts[1], (depends + ", " + pre.rstrip("|")).strip(", "))
    return installed


def exact_pins(depends, package):
    """The versions `depends` (one Depends field) pins `package` (a base name) to with =."""
    pins = []
    for clause in depends.split(","):
        for alt in clause.split("|"):
            m = re.match(r"^\s*([^\s:(]+)(?::\S+)?\s*\(\s*=\s*([^)\s]+)\s*\)", alt)
            if m and m.group(1) == package:
                pins.append(m.group(2))
    return pins


# --- The plan -----------------------------------------------------------------------------

def plan(native, foreign, foreign_names, installed, policy_of):
    """Returns (pins, problems). foreign_names: base names of the foreign packages the
    install may bring; installed: parse_status(); policy_of(name) -> Policy or None, name
    as apt prints it (the native package without a suffix, the foreign one with)."""
    pins = {}
    problems = []
    for base in sorted(foreign_names):
        native_inst = installed.get(base + ":" + native)
        if native_inst is None:
            continue  # no native twin: nothing to keep in step
        have = native_inst[0]
        foreign_inst = installed.get(base + ":" + foreign)
        if foreign_inst is not None and foreign_inst[0] == have:
            continue
        pf = policy_of(base + ":" + foreign)
        pn = policy_of(base)
        if pf is None or not pf.versions or pn is None:
            continue  # not in the foreign lists at all: apt's own message says so
        if pf.candidate == have:
            continue
        if have in pf.versions:
            target = have
        else:
            common = [v for v in pn.versions if v in pf.versions]
            if not common:
                problems.append(
                    f"{base}: {native} has {have} installed ({', '.join(pn.versions)} known) and "
                    f"{foreign} only {', '.join(pf.versions)}; no version both architectures have, "
                    f"so {base}:{foreign} cannot be installed next to it (Multi-Arch: same). "
                    f"The {foreign} index is probably mid-sync: run again later.")
                continue
            target = highest(common)
        pins[base + ":" + foreign] = target
        if foreign_inst is not None:
            _move_dependants(base, foreign, foreign_inst[0], target, native, installed, policy_of, pins, problems)
        if target != have:
            pins[base] = target
            _move_dependants(base, native, have, target, native, installed, policy_of, pins, problems)
    order = sorted(pins, key=lambda n: (n.split(":")[0], ":" in n))
    return [f"{n}={pins[n]}" for n in order], problems


def _move_dependants(base, arch, old, new, native, installed, policy_of, pins, problems):
    """Installed packages of `arch` that depend on base (= old) must move to new as well."""
    def apt_name(b):
        return b if arch == native else b + ":" + arch

    work = [(base, old, new)]
    while work:
        pkg, was, to = work.pop()
        if was == to:
            continue
        for name, (version, depends) in sorted(installed.items()):
            dep_base, _, dep_arch = name.partition(":")
            if dep_arch != arch or apt_name(dep_base) in pins or was not in exact_pins(depends, pkg):
                continue
            pd = policy_of(apt_name(dep_base))
            if pd is None or to not in pd.versions:
                problems.append(
                    f"{apt_name(dep_base)}: installed {version} depends on {pkg} (= {was}), but it "
                    f"has no version {to} to move with {pkg}; install it at {to} when the archive "
                    f"has that version, or remove it")
                continue
            pins[apt_name(dep_base)] = to
            work.append((dep_base, version, to))


# --- Where the outputs come from -----------------------------------------------------------

def _run(cmd):
    env = dict(os.environ, LC_ALL="C")
    return subprocess.run(cmd, check=False, capture_output=True, text=True, env=env).stdout


class Live:
    def __init__(self, foreign, packages):
        self.native = _run(["dpkg", "--print-architecture"]).strip()
        self.depends = _run(["apt-cache", "depends"] + DEPENDS_ARGS + packages)
        self.status = _run(["dpkg-query", "-W", "-f=" + STATUS_FORMAT])
        self._policies = {}

    def policies(self, names):
        missing = [n for n in names if n not in self._policies]
        if missing:
            self._policies.update(parse_policy(_run(["apt-cache", "policy"] + missing)))
            for n in missing:
                self._policies.setdefault(n, None)
        return self._policies


class Recorded:
    def __init__(self, folder):
        def read(name):
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                return f.read()
        self.native = read("arch").strip()
        self.depends = read("depends.txt")
        self.status = read("status.txt")
        self._all = parse_policy(read("policy.txt"))

    def policies(self, names):
        return self._all


def run_plan(source, foreign, packages, out=sys.stdout, err=sys.stderr):
    installed = parse_status(source.status, source.native)

    def is_installed(name):
        return (name if ":" in name else name + ":" + source.native) in installed

    wanted = wanted_closure(parse_depends(source.depends), packages, is_installed)
    names = foreign_bases(wanted, foreign)
    twins = [b for b in sorted(names) if b + ":" + source.native in installed]
    source.policies([n for b in twins for n in (b, b + ":" + foreign)])

    def policy_of(name):
        return source.policies([name]).get(name)

    pins, problems = plan(source.native, foreign, names, installed, policy_of)
    for p in problems:
        print(f"install-deps.sh: {p}", file=err)
    if problems:
        return 1
    for p in pins:
        print(p, file=out)
    return 0


def main(argv):
    ap = argparse.ArgumentParser(prog="apt_align.py", description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    p = sub.add_parser("plan", help="print the name=version pins that align the twins")
    p.add_argument("--foreign", required=True, help="the foreign architecture, e.g. armhf")
    p.add_argument("--recorded", metavar="DIR", help="read recorded outputs from DIR")
    p.add_argument("packages", nargs="+")
    args = ap.parse_args(argv)
    try:
        source = Recorded(args.recorded) if args.recorded else Live(args.foreign, args.packages)
    except OSError as e:
        print(f"apt_align.py: {e.filename}: {e.strerror}", file=sys.stderr)
        return 2
    return run_plan(source, args.foreign, args.packages)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
