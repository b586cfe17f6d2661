"""The zrt4600a package built from a prebuilt plug-in, as scripts/package.sh armhf does with
the Debian 11 build.

  plugin_package_test.py build   WORK SRC PREBUILT          configure SRC into WORK/build with
                                                           ZRT_PLUGIN_PREBUILT=PREBUILT, package
  plugin_package_test.py check   WORK SRC PREBUILT PROBE    the package's .so stripped, with its
                                                           debuglink, loadable; an unstripped one
                                                           refused
  plugin_package_test.py lintian WORK SRC PREBUILT LINTIAN  lintian --fail-on error

Exit 0 when the step passes, 1 when it fails (the reason on standard error).
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile


class Failed(Exception):
    pass


def run(cmd, **kw):
    """Runs cmd; its output is shown when it fails."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if p.returncode != 0:
        raise Failed(f"{' '.join(cmd)} exited {p.returncode}:\n{p.stdout}")
    return p.stdout


def shlib_depends(so, work):
    """The Depends dpkg-shlibdeps computes for so, as compat-check.sh --release does."""
    d = os.path.join(work, "shlibs")
    os.makedirs(os.path.join(d, "debian"), exist_ok=True)
    with open(os.path.join(d, "debian", "control"), "w") as f:
        f.write("Source: zrt4600a\n\nPackage: zrt4600a\nArchitecture: any\n")
    out = run(["dpkg-shlibdeps", "-O", so], cwd=d)
    for line in out.splitlines():
        if line.startswith("shlibs:Depends="):
            return line.split("=", 1)[1]
    raise Failed(f"dpkg-shlibdeps found no dependencies for {so}:\n{out}")


def the_deb(work):
    debs = glob.glob(os.path.join(work, "dist", "zrt4600a_*.deb"))
    if len(debs) != 1:
        raise Failed(f"expected one zrt4600a_*.deb in {work}/dist (did packaging.PluginPackageBuild pass?), found {debs}")
    return debs[0]


def build(work, src, prebuilt):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    b = os.path.join(work, "build")
    # No tools, no tests, and "install" not tied to "all": only what the plug-in package
    # holds is built (the stripped prebuilt and the changelog), so the test stays quick.
    run(["cmake", "-S", src, "-B", b, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_INSTALL_PREFIX=/usr",
         "-DZRT_BUILD_TESTS=OFF", "-DZRT_BUILD_TOOLS=OFF", "-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON",
         f"-DZRT_PLUGIN_PREBUILT={prebuilt}", f"-DZRT_PLUGIN_DEPENDS={shlib_depends(prebuilt, work)}"])
    run(["cmake", "--build", b, "--target", "zrt_plugin_stripped", "zrt_changelog"])
    run(["cpack", "-G", "DEB", "-B", os.path.join(work, "dist")], cwd=b)
    print(the_deb(work))


def check(work, src, prebuilt, probe):
    deb = the_deb(work)
    script = os.path.join(src, "scripts", "plugin-package-check.sh")
    print(run(["bash", script, "--debuglink", "--probe", probe, deb]), end="")

    # The debug info stays beside the build, and the stripped file is far smaller.
    debug = os.path.join(work, "build", "packaging", "zrt4600a.so.debug")
    sections = run(["readelf", "-W", "-S", debug])
    if "] .debug_info " not in sections:
        raise Failed(f"{debug} holds no .debug_info")
    stripped = os.path.join(work, "build", "packaging", "zrt4600a.so")
    if os.path.getsize(stripped) * 2 > os.path.getsize(prebuilt):
        raise Failed(f"{stripped} ({os.path.getsize(stripped)} bytes) is not much smaller than "
                     f"{prebuilt} ({os.path.getsize(prebuilt)} bytes)")

    # The check must refuse the fault it is there for: the same package with the plug-in
    # as built, debug info and symbol table in it.
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        run(["dpkg-deb", "-R", deb, tree])
        [so] = glob.glob(os.path.join(tree, "usr", "lib", "*", "zrt4600a", "zrt4600a.so"))
        shutil.copyfile(prebuilt, so)
        bad = os.path.join(tmp, "unstripped.deb")
        run(["dpkg-deb", "--root-owner-group", "-b", tree, bad])
        p = subprocess.run(["bash", script, "--debuglink", "--probe", probe, bad], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if p.returncode != 1 or "not stripped" not in p.stderr:
            raise Failed(f"plugin-package-check.sh passed a package with an unstripped plug-in "
                         f"(exit {p.returncode}):\n{p.stdout}{p.stderr}")


def lintian(work, src, prebuilt, tool):
    deb = the_deb(work)
    # Warnings are listed; an error fails, as in scripts/package.sh.
    print(run([tool, "--fail-on", "error", "--tag-display-limit", "0", deb]), end="")
    print(f"lintian: no error in {os.path.basename(deb)}")


def main(argv):
    steps = {"build": (build, 3), "check": (check, 4), "lintian": (lintian, 4)}
    if len(argv) < 2 or argv[1] not in steps or len(argv) - 2 != steps[argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        steps[argv[1]][0](*[os.path.abspath(a) for a in argv[2:]])
    except Failed as e:
        print(f"plugin_package_test.py {argv[1]}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
