"""Runs every command of a document as written, the way a new user would
after its install steps, and fails unless each one succeeds and prints what
the document shows.

    /usr/bin/python3 python/check_docs.py [DOCUMENT]     (default docs/python.md)

The commands are the ```sh blocks, run in order by bash (with -e and
pipefail), one block at a time, in a scratch copy of the repository's
python/, examples/ and docs/ with the built build/default/quendix and
quendix-gen, and with HOME a fresh scratch directory, so that `~/...`
names nothing left from before. A ```text block after a ```sh block (with
no other block between) is that block's standard output, exactly. The
commands may write only into directories of their own (a `mktemp -d`, the
home): once all have run, the copy must hold the same files as before, none
added, removed or changed, so that a reader who runs them in a work tree
finds nothing left there.

A command may not start a bare `python`, `python3` or `pip`: which one the
PATH finds first is not up to the document, so it names its interpreter.
`apt-get install` lines are not run (they need root and the network): the
packages they name must be installed instead. The benchmark runs once on one
small recording (QUENDIX_BENCH_FRAMES, QUENDIX_BENCH_BIG_FRAMES), a small
campaign and a small page (QUENDIX_BENCH_REPORT_RECORDINGS,
QUENDIX_BENCH_PAGE_RECORDINGS, QUENDIX_BENCH_RUNS). Needs only the standard library.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
BARE = re.compile(r"^(sudo\s+)?(python3?|pip3?)(\s|$)")
APT = re.compile(r"^(sudo\s+)?apt-get\s+install\s+(.*)$")


def blocks(text):
    """The fenced blocks of `text`: (language, body, first line number)."""
    found = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith("```"):
            language, start = lines[i][3:].strip(), i + 1
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            if i == len(lines):
                sys.exit("%d: a block is not closed" % start)
            found.append((language, "\n".join(lines[start:i]) + "\n", start))
        i += 1
    return found


def steps(text):
    """The ```sh blocks with the ```text block that follows each, if any."""
    found = blocks(text)
    out = []
    for n, (language, body, line) in enumerate(found):
        if language == "sh":
            following = found[n + 1] if n + 1 < len(found) else None
            expected = following[1] if following and following[0] == "text" else None
            out.append((body, expected, line))
        elif language == "text" and (n == 0 or found[n - 1][0] != "sh"):
            sys.exit("%d: a ```text block that follows no ```sh block" % line)
    return out


def commands_to_run(body, line, problems):
    """The block's text to run: apt-get lines become checks of the
    packages they name; bare interpreters are reported."""
    kept = []
    for offset, command in enumerate(body.split("\n")):
        stripped = command.strip()
        if BARE.match(stripped):
            problems.append("%d: `%s` runs whichever interpreter PATH finds first" % (line + offset, stripped))
        apt = APT.match(stripped)
        if apt:
            packages = [p for p in apt.group(2).split() if not p.startswith("-")]
            for package in packages:
                status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                                        capture_output=True, text=True)
                if "install ok installed" not in status.stdout:
                    problems.append("%d: Debian package %s is not installed" % (line + offset, package))
            kept.append(": apt-get install " + " ".join(packages))
        else:
            kept.append(command)
    return "\n".join(kept)


def scratch_copy(scratch):
    """The parts of the repository the document's commands use."""
    ignore = shutil.ignore_patterns("__pycache__", "*.egg-info", "build", "*.pyc")
    for part in ("python", "examples", "docs", "tests/data"):
        shutil.copytree(REPO / part, scratch / part, ignore=ignore)
    (scratch / "build" / "default").mkdir(parents=True)
    for name in ("quendix", "quendix-gen"):
        program = REPO / "build" / "default" / name
        if not os.access(program, os.X_OK):
            sys.exit("check_docs: %s is missing; build with cmake --workflow --preset default" % program)
        shutil.copy2(program, scratch / "build" / "default" / name)


def tree(top, skip):
    """Every file and directory below `top` but those below `skip`, as a
    mapping of the relative path to its size and modification time (None
    for a directory, whose times change with its entries)."""
    found = {}
    for directory, names, files in os.walk(top):
        here = Path(directory)
        if here == skip:
            names[:] = []
            continue
        for name in names:
            if here / name != skip:
                found[str((here / name).relative_to(top)) + "/"] = None
        for name in files:
            status = (here / name).lstat()
            found[str((here / name).relative_to(top))] = (status.st_size, status.st_mtime_ns)
    return found


def left_behind(before, after):
    """What the commands left in the copy: the paths added, removed or
    changed between the trees `before` and `after`."""
    changes = ["added %s" % path for path in sorted(after.keys() - before.keys())]
    changes += ["removed %s" % path for path in sorted(before.keys() - after.keys())]
    changes += ["changed %s" % path for path in sorted(before.keys() & after.keys())
                if before[path] != after[path]]
    return changes


def main():
    document = Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "docs" / "python.md")
    text = document.read_text(encoding="utf-8")
    problems = []
    prepared = [(commands_to_run(body, line, problems), expected, line) for body, expected, line in steps(text)]
    if problems:
        sys.exit("%s:\n  %s" % (document, "\n  ".join(problems)))
    scratch = Path(tempfile.mkdtemp(prefix="quendix-docs-"))
    try:
        scratch_copy(scratch)
        home = scratch / "home"
        home.mkdir()
        # The benchmark runs at a small size: what is checked is that the
        # documented command works, not the figures it prints.
        env = dict(os.environ, HOME=str(home), QUENDIX_BENCH_FRAMES="75758", QUENDIX_BENCH_BIG_FRAMES="75758",
                   QUENDIX_BENCH_REPORT_RECORDINGS="4", QUENDIX_BENCH_PAGE_RECORDINGS="20", QUENDIX_BENCH_RUNS="1")
        env.pop("PYTHONPATH", None)
        before = tree(scratch, home)
        for commands, expected, line in prepared:
            first = commands.strip().split("\n")[0]
            print("== %s:%d: %s" % (document.name, line, first), flush=True)
            started = time.monotonic()
            done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", commands], cwd=scratch, env=env,
                                  stdout=subprocess.PIPE, text=True)
            sys.stdout.write(done.stdout)
            print("-- %.1f s" % (time.monotonic() - started), flush=True)
            if done.returncode != 0:
                sys.exit("check_docs: the block at %s:%d ended with status %d" % (document, line, done.returncode))
            if expected is not None and done.stdout != expected:
                sys.exit("check_docs: the block at %s:%d printed another output than the document shows"
                         % (document, line))
        changes = left_behind(before, tree(scratch, home))
        if changes:
            sys.exit("check_docs: the commands of %s wrote into the repository instead of a scratch directory:\n  %s"
                     % (document, "\n  ".join(changes)))
        print("check_docs: the %d command blocks of %s ran as written" % (len(prepared), document))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
