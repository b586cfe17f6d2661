#!/usr/bin/env bash
# Copies the source tree, without build trees, packages or other ignored files, into DEST:
#   bash scripts/source-tree.sh DEST
# In a git checkout: the tracked files and the new ones git does not ignore (the worktree as
# it stands). In a tree without .git (a release tarball, a "git archive" export): every file
# that .gitignore does not exclude, as git would judge it, through a scratch repository.
# DEST is emptied first. Exit 0 when copied, 1 when a step fails, 2 on a usage error.
set -euo pipefail
if [ $# -ne 1 ]; then echo "usage: source-tree.sh DEST" >&2; exit 2; fi
repo="$(cd "$(dirname "$0")/.." && pwd)"
dest="$1"
scratch=""
trap '[ -z "${scratch}" ] || rm -rf "${scratch}"' EXIT

# The checkout must be this tree itself: a tarball unpacked inside another repository
# (say, under its ignored build/) would otherwise be listed by that one's index and rules.
top="$(git -C "${repo}" rev-parse --show-toplevel 2>/dev/null || true)"
if [ -n "${top}" ] && [ "$(cd "${top}" && pwd -P)" = "$(cd "${repo}" && pwd -P)" ]; then
  git_ls=(git -C "${repo}" ls-files -z --cached --others --exclude-standard)
else
  scratch="$(mktemp -d)"
  git init -q --bare "${scratch}/git"
  git_ls=(git --git-dir="${scratch}/git" --work-tree="${repo}" -C "${repo}" ls-files -z --others --exclude-standard)
fi

rm -rf "${dest}" && mkdir -p "${dest}"
list="$(mktemp)"
"${git_ls[@]}" > "${list}"
[ -s "${list}" ] || { rm -f "${list}"; echo "source-tree.sh: no source files found in ${repo}" >&2; exit 1; }
# A tracked file deleted in the worktree is still listed: it is skipped.
(cd "${repo}" && tar -cf - --null --files-from="${list}" --ignore-failed-read 2>/dev/null) | tar -xf - -C "${dest}"
rm -f "${list}"
