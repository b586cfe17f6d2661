"""scripts/source-tree.sh, which copies the sources into the Debian 11 root of compat-check.sh
(and so into the armhf release): from a git checkout, and from a tree without .git such as a
release tarball or a "git archive" export."""
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
GIT = ["git", "-c", "user.name=test", "-c", "user.email=test@example.invalid", "-c", "init.defaultBranch=main"]


def files_under(d):
    out = set()
    for top, dirs, names in os.walk(d):
        dirs[:] = [x for x in dirs if x != ".git"]
        out.update(os.path.relpath(os.path.join(top, n), d) for n in names)
    return out


def make_tree(root):
    """A small source tree with this project's scripts and .gitignore, and beside the sources
    what a developer's tree holds that no package may take: build trees, packages, the
    report's node_modules, history databases."""
    os.makedirs(os.path.join(root, "scripts"))
    shutil.copy(os.path.join(SRC, "scripts", "source-tree.sh"), os.path.join(root, "scripts"))
    shutil.copy(os.path.join(SRC, ".gitignore"), root)
    sources = {"CMakeLists.txt", "plugin/providers.cpp", "tests/contract/CMakeLists.txt",
               "scripts/source-tree.sh", ".gitignore"}
    ignored = {"build/default/plugin/zrt4600a.so", "build-old/x.o", "tests/contract/build/y.o",
               "dist/armhf/zrt4600a_1.0.0_armhf.deb", "tools/history/report/node_modules/uplot/a.js",
               "history.db", "history.db-wal"}
    for f in (sources - {"scripts/source-tree.sh", ".gitignore"}) | ignored:
        os.makedirs(os.path.dirname(os.path.join(root, f)) or root, exist_ok=True)
        with open(os.path.join(root, f), "w") as fh:
            fh.write(f + "\n")
    return sources


def copy(tree, dest):
    return subprocess.run(["bash", os.path.join(tree, "scripts", "source-tree.sh"), dest],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class SourceTree(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_tree_without_git_copies_the_sources_and_leaves_out_what_is_ignored(self):
        tree = os.path.join(self.tmp, "zrt4600a-1.0.0")
        sources = make_tree(tree)
        dest = os.path.join(self.tmp, "dest")
        os.makedirs(os.path.join(dest, "stale"))  # emptied first
        p = copy(tree, dest)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(files_under(dest), sources)
        with open(os.path.join(dest, "plugin", "providers.cpp")) as fh:
            self.assertEqual(fh.read(), "plugin/providers.cpp\n")

    def test_tarball_unpacked_inside_another_checkout_is_judged_by_its_own_rules(self):
        # Under the outer checkout's ignored build/, the outer index and rules would list nothing.
        outer = os.path.join(self.tmp, "outer")
        os.makedirs(outer)
        subprocess.run(GIT + ["init", "-q", outer], check=True)
        with open(os.path.join(outer, ".gitignore"), "w") as fh:
            fh.write("build/\n")
        tree = os.path.join(outer, "build", "export")
        sources = make_tree(tree)
        p = copy(tree, os.path.join(self.tmp, "dest"))
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(files_under(os.path.join(self.tmp, "dest")), sources)

    def test_git_checkout_copies_tracked_and_new_files_as_the_worktree_stands(self):
        tree = os.path.join(self.tmp, "checkout")
        sources = make_tree(tree)
        subprocess.run(GIT + ["init", "-q", tree], check=True)
        subprocess.run(GIT + ["-C", tree, "add", "-A"], check=True)
        subprocess.run(GIT + ["-C", tree, "commit", "-q", "-m", "sources"], check=True)
        os.remove(os.path.join(tree, "CMakeLists.txt"))  # deleted, not yet committed
        with open(os.path.join(tree, "plugin", "new.cpp"), "w") as fh:
            fh.write("new\n")
        p = copy(tree, os.path.join(self.tmp, "dest"))
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(files_under(os.path.join(self.tmp, "dest")),
                         (sources - {"CMakeLists.txt"}) | {"plugin/new.cpp"})

    def test_git_archive_export_of_this_tree_copies_every_tracked_file(self):
        # This project's own files against its own .gitignore: a tracked file that an ignore
        # rule matches would be lost from a release tarball's packages.
        top = subprocess.run(["git", "-C", SRC, "rev-parse", "--show-toplevel"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if top.returncode != 0 or os.path.realpath(top.stdout.strip()) != os.path.realpath(SRC):
            self.skipTest(f"{SRC} is not a git checkout")
        export = os.path.join(self.tmp, "export")
        os.makedirs(export)
        archive = subprocess.run(["git", "-C", SRC, "archive", "HEAD"], stdout=subprocess.PIPE, check=True)
        subprocess.run(["tar", "-xf", "-", "-C", export], input=archive.stdout, check=True)
        tracked = subprocess.run(["git", "-C", SRC, "ls-tree", "-r", "--name-only", "HEAD"],
                                 stdout=subprocess.PIPE, text=True, check=True).stdout.split("\n")
        # The script as it stands here, which HEAD may not hold yet.
        shutil.copy(os.path.join(SRC, "scripts", "source-tree.sh"), os.path.join(export, "scripts"))
        p = copy(export, os.path.join(self.tmp, "dest"))
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(files_under(os.path.join(self.tmp, "dest")),
                         {t for t in tracked if t} | {"scripts/source-tree.sh"})


if __name__ == "__main__":
    unittest.main()
