"""Offline tests of scripts/install-deps.sh and its skew planner scripts/apt_align.py:
recorded apt outputs of the development machine, copies edited to stand for the states that
made the armhf install fail, and stand-ins for apt-get, dpkg, npm and sudo."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")
RECORDED = os.path.join(HERE, "apt-recorded")
sys.path.insert(0, SCRIPTS)
import apt_align  # noqa: E402

ARMHF = ["crossbuild-essential-armhf", "qemu-user", "libboost-dev:armhf",
         "libboost-date-time-dev:armhf", "libjsoncpp-dev:armhf", "libfmt-dev:armhf",
         "libgtest-dev:armhf", "libgmock-dev:armhf"]


def policy_section(policy, name):
    """The lines of one package's section of apt-cache policy output."""
    lines = policy.splitlines(keepends=True)
    start = lines.index(name + ":\n")
    end = start + 1
    while end < len(lines) and lines[end].startswith(" "):
        end += 1
    return start, end, lines


def set_native_installed(policy, name, version, keep=None):
    """Edits the native package's section as apt prints it when `version` is installed and
    no list carries it; `keep` limits the versions the lists offer."""
    start, end, lines = policy_section(policy, name)
    section = [f"{name}:\n", f"  Installed: {version}\n", lines[start + 2], "  Version table:\n"]
    body = lines[start + 4:end]
    entries, current = [], None
    for line in body:
        if not line.startswith("        "):
            current = [line.replace(" *** ", "     ")]
            entries.append(current)
        elif "/var/lib/dpkg/status" not in line:
            current.append(line)
    entries = [e for e in entries if len(e) > 1]
    if keep is not None:
        entries = [e for e in entries if e[0].split()[0] in keep]
        section[2] = f"  Candidate: {entries[0][0].split()[0]}\n"
    section.append(f" *** {version} 100\n")
    section.append("        100 /var/lib/dpkg/status\n")
    for e in entries:
        section.extend(e)
    return "".join(lines[:start] + section + lines[end:])


def drop_version(policy, name, version):
    start, end, lines = policy_section(policy, name)
    out, skipping = [], False
    for i, line in enumerate(lines):
        if start < i < end:
            if line.startswith("     ") and not line.startswith("        "):
                skipping = line.split()[-2] == version
            if skipping:
                continue
        out.append(line)
    return "".join(out)


class Recorded:
    """A writable copy of the recorded outputs."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp()
        test.addCleanup(shutil.rmtree, self.dir)
        for f in ("arch", "depends.txt", "status.txt", "policy.txt"):
            shutil.copy(os.path.join(RECORDED, f), self.dir)

    def edit(self, name, fn):
        path = os.path.join(self.dir, name)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(fn(text))

    def morning(self):
        """The state the lead saw: amd64 linux-libc-dev and libssl3/libssl-dev installed at
        versions the armhf lists lack, no armhf package installed yet."""
        def status(text):
            out = []
            for line in text.splitlines(keepends=True):
                if line.split()[0].endswith(":armhf"):
                    continue
                line = line.replace("linux-libc-dev:amd64 6.1.176-1", "linux-libc-dev:amd64 6.1.187-1")
                line = line.replace("3.0.20-1~deb12u2", "3.0.19-1~deb12u2") if line.startswith("libssl") else line
                out.append(line)
            return "".join(out)
        self.edit("status.txt", status)
        self.edit("policy.txt", lambda t: set_native_installed(
            set_native_installed(set_native_installed(t, "linux-libc-dev", "6.1.187-1"),
                                 "libssl3", "3.0.19-1~deb12u2"),
            "libssl-dev", "3.0.19-1~deb12u2"))
        return self

    def plan(self):
        r = subprocess.run([sys.executable, os.path.join(SCRIPTS, "apt_align.py"), "plan",
                            "--recorded", self.dir, "--foreign", "armhf"] + ARMHF,
                           capture_output=True, text=True, check=False)
        return r.returncode, r.stdout.split(), r.stderr


class DebianVersions(unittest.TestCase):
    def test_order_matches_dpkg(self):
        ordered = ["1.0~rc1", "1.0", "1.0-1", "1.0-1+b1", "1.0a", "1.0.1", "1.9", "1.10",
                   "2:0.1"]
        for a, b in zip(ordered, ordered[1:]):
            self.assertEqual(apt_align.compare_versions(a, b), -1, (a, b))
            self.assertEqual(apt_align.compare_versions(b, a), 1, (b, a))
        pairs = [("3.0.17-1~deb12u2", "3.0.20-1~deb12u2"), ("6.1.176-1", "6.1.194-1"),
                 ("5.4.1-1", "5.4.1-1+deb12u1"), ("3.0.20-1~deb12u2", "3.0.20-1"),
                 ("1.74.0.3", "1.74.0-3"), ("0:1.0", "1.0"), ("1.01", "1.1")]
        for a, b in pairs:
            mine = apt_align.compare_versions(a, b)
            if shutil.which("dpkg"):
                for op, want in (("lt", -1), ("eq", 0), ("gt", 1)):
                    r = subprocess.run(["dpkg", "--compare-versions", a, op, b], check=False)
                    if r.returncode == 0:
                        self.assertEqual(mine, want, (a, b, op))
        self.assertEqual(apt_align.highest(["6.1.176-1", "6.1.194-1", "6.1.187-1"]), "6.1.194-1")


class SkewPlan(unittest.TestCase):
    def test_the_recorded_machine_needs_no_pins(self):
        code, pins, err = Recorded(self).plan()
        self.assertEqual((code, pins, err), (0, [], ""))

    def test_the_morning_state_gets_the_pairs_at_a_common_version(self):
        code, pins, err = Recorded(self).morning().plan()
        self.assertEqual(code, 0, err)
        # What the lead installed by hand: linux-libc-dev down to the only armhf version,
        # libssl3 up to the newest both have, and libssl-dev with it.
        self.assertEqual(sorted(pins), sorted([
            "linux-libc-dev=6.1.176-1", "linux-libc-dev:armhf=6.1.176-1",
            "libssl3=3.0.20-1~deb12u2", "libssl3:armhf=3.0.20-1~deb12u2",
            "libssl-dev=3.0.20-1~deb12u2"]))

    def test_an_armhf_twin_of_the_installed_version_leaves_amd64_alone(self):
        rec = Recorded(self).morning()
        # The armhf list has caught up with the installed 6.1.187-1 (an extra entry).
        rec.edit("policy.txt", lambda t: t.replace(
            "linux-libc-dev:armhf:\n  Installed: 6.1.176-1\n  Candidate: 6.1.176-1\n  Version table:\n",
            "linux-libc-dev:armhf:\n  Installed: (none)\n  Candidate: 6.1.176-1\n  Version table:\n"
            "     6.1.187-1 500\n        500 http://deb.debian.org/debian-security bookworm-security/main armhf Packages\n"))
        code, pins, err = rec.plan()
        self.assertEqual(code, 0, err)
        self.assertIn("linux-libc-dev:armhf=6.1.187-1", pins)
        self.assertFalse([p for p in pins if p.startswith("linux-libc-dev=")], pins)

    def test_what_cannot_be_aligned_is_named_with_the_reason(self):
        rec = Recorded(self).morning()
        # amd64 offers only the security version, armhf only the main one.
        rec.edit("policy.txt", lambda t: set_native_installed(
            t, "linux-libc-dev", "6.1.187-1", keep={"6.1.194-1"}))
        code, pins, err = rec.plan()
        self.assertEqual((code, pins), (1, []))
        self.assertIn("linux-libc-dev: amd64 has 6.1.187-1 installed", err)
        self.assertIn("armhf only 6.1.176-1", err)
        self.assertIn("no version both architectures have", err)

        rec = Recorded(self).morning()
        # libssl-dev pins libssl3 but has no build of the common version.
        rec.edit("policy.txt", lambda t: drop_version(t, "libssl-dev", "3.0.20-1~deb12u2"))
        code, pins, err = rec.plan()
        self.assertEqual((code, pins), (1, []))
        self.assertIn("libssl-dev: installed 3.0.19-1~deb12u2 depends on libssl3 (= 3.0.19-1~deb12u2)", err)
        self.assertIn("no version 3.0.20-1~deb12u2", err)

    def test_a_missing_recording_is_a_usage_error(self):
        r = subprocess.run([sys.executable, os.path.join(SCRIPTS, "apt_align.py"), "plan",
                            "--recorded", os.path.join(HERE, "no-such-dir"), "--foreign", "armhf", "x"],
                           capture_output=True, text=True, check=False)
        self.assertEqual(r.returncode, 2)
        self.assertIn("no-such-dir/arch", r.stderr)


STUB_APT_GET = r"""#!/bin/sh
echo "apt-get $*" >> "$STUB_LOG"
case "$1" in
  update)
    if [ -n "$STUB_UPDATE_FAIL" ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
      exit 100
    fi
    exit 0 ;;
esac
case " $* " in *" --allow-downgrades "*) exit 0 ;; esac
if [ -n "$STUB_INSTALL_FAIL" ]; then echo "E: Unable to locate package" >&2; exit 100; fi
case "$*" in *:armhf*)
  if [ -n "$STUB_ARMHF_FAIL" ]; then
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
  fi ;;
esac
exit 0
"""
STUB_DPKG = r"""#!/bin/sh
echo "dpkg $*" >> "$STUB_LOG"
exit 0
"""
STUB_PASS = r"""#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_LOG"
exit 0
"""


class InstallDeps(unittest.TestCase):
    def run_script(self, *args, **env):
        bin_dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, bin_dir)
        for name, body in (("apt-get", STUB_APT_GET), ("dpkg", STUB_DPKG), ("npm", STUB_PASS),
                           ("sudo", '#!/bin/sh\nexec "$@"\n')):
            path = os.path.join(bin_dir, name)
            with open(path, "w", encoding="utf-8") as f:
                f.write(body)
            os.chmod(path, 0o755)
        log = os.path.join(bin_dir, "log")
        open(log, "w").close()
        full_env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], STUB_LOG=log,
                        ZRT_APT_RETRY_DELAY="0")
        full_env.update(env)
        r = subprocess.run(["bash", os.path.join(SCRIPTS, "install-deps.sh")] + list(args),
                           capture_output=True, text=True, env=full_env, check=False)
        with open(log, encoding="utf-8") as f:
            calls = f.read().splitlines()
        return r.returncode, calls, r.stderr, r.stdout

    def test_each_job_asks_only_for_what_it_uses(self):
        code, _, _, out = self.run_script("--print")
        native = out.split()
        self.assertEqual(code, 0)
        self.assertIn("cmake", native)
        self.assertIn("python3", native)  # the skew planner runs on it
        self.assertFalse([p for p in native if ":armhf" in p or p in ("qemu-user", "crossbuild-essential-armhf")])

        _, _, _, out = self.run_script("--print", "--armhf")
        self.assertTrue({"qemu-user", "crossbuild-essential-armhf", "libjsoncpp-dev:armhf"} <= set(out.split()))
        self.assertNotIn("libsqlite3-dev:armhf", out.split())
        _, _, _, out = self.run_script("--print", "--packaging")
        self.assertIn("lintian", out.split())
        self.assertFalse([p for p in out.split() if ":armhf" in p])
        _, _, _, out = self.run_script("--print", "--armhf", "--packaging")
        self.assertIn("libsqlite3-dev:armhf", out.split())

        code, _, err, _ = self.run_script("--arm")
        self.assertEqual(code, 2)
        self.assertIn("unknown option --arm", err)

    def test_a_failing_update_is_retried_and_the_install_goes_on(self):
        code, calls, err, _ = self.run_script(STUB_UPDATE_FAIL="1", ZRT_APT_UPDATE_TRIES="3")
        self.assertEqual(code, 0, err)
        self.assertEqual([c for c in calls if c.startswith("apt-get update")], ["apt-get update -qq"] * 3)
        self.assertIn("failed 3 times; going on", err)
        installs = [c for c in calls if c.startswith("apt-get install")]
        self.assertEqual(len(installs), 1)
        self.assertIn(" cmake ", installs[0] + " ")
        self.assertNotIn(":armhf", installs[0])
        self.assertFalse([c for c in calls if "--add-architecture" in c])  # native job only

        code, calls, err, _ = self.run_script(STUB_UPDATE_FAIL="1", STUB_INSTALL_FAIL="1",
                                              ZRT_APT_UPDATE_TRIES="2")
        self.assertEqual(code, 1)
        self.assertEqual(len([c for c in calls if c.startswith("apt-get update")]), 2)
        self.assertIn("could not install the native packages", err)
        self.assertIn("package lists may be stale or mid-sync", err)

    def test_an_armhf_skew_is_installed_at_a_common_version(self):
        rec = Recorded(self).morning()
        code, calls, err, _ = self.run_script("--armhf", STUB_ARMHF_FAIL="1", ZRT_APT_RECORDED=rec.dir)
        self.assertEqual(code, 0, err)
        self.assertIn("dpkg --add-architecture armhf", calls)
        last = calls[-2]  # then npm
        self.assertTrue(last.startswith("apt-get install"), calls)
        words = last.split()
        self.assertIn("--allow-downgrades", words)
        for pin in ("linux-libc-dev=6.1.176-1", "linux-libc-dev:armhf=6.1.176-1", "libssl3=3.0.20-1~deb12u2",
                    "libssl3:armhf=3.0.20-1~deb12u2", "libssl-dev=3.0.20-1~deb12u2", "libjsoncpp-dev:armhf"):
            self.assertIn(pin, words)

        rec.edit("policy.txt", lambda t: set_native_installed(t, "linux-libc-dev", "6.1.187-1", keep={"6.1.194-1"}))
        code, calls, err, _ = self.run_script("--armhf", STUB_ARMHF_FAIL="1", ZRT_APT_RECORDED=rec.dir)
        self.assertEqual(code, 1)
        self.assertIn("linux-libc-dev: amd64 has 6.1.187-1 installed", err)
        self.assertIn("the armhf packages cannot be installed", err)
        self.assertFalse([c for c in calls if "--allow-downgrades" in c])


if __name__ == "__main__":
    unittest.main()
