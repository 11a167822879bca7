"""Where python -m quendix and plot() put their outputs, end to end: a
regular file replaced whole, a FIFO, a device and /dev/stdout written
straight to, '-', links of the user and of another user, a directory, and
the recordings themselves, none of which may be replaced; another user's
files in a sticky directory and what may stand at the default picture
name; the outputs' modes and group; signals while an output is written;
and names with control bytes and invalid UTF-8 on a terminal and a pipe."""

import os
import pty
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import quendix
from quendix.files import OutputRefused, is_temporary_name
from quendix_testing import REPO, FifoReader, frames, package_environment, quendix_command, run_quendix

pandas = pytest.importorskip("pandas")

RECORDING = frames([(1, 0), (1, 1), (1, 5)])
CSV_HEADING = b"path,bytes,frames,"


command = quendix_command


environment = package_environment


run = run_quendix


def what(path):
    """What `path` is without following it: its kind and, for a link, its
    text; for a file, its bytes."""
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        return "link", os.readlink(path)
    if stat.S_ISREG(st.st_mode):
        return "file", Path(path).read_bytes()
    return stat.S_IFMT(st.st_mode), (st.st_ino, st.st_rdev)


@pytest.fixture
def recordings(tmp_path):
    (tmp_path / "rec").mkdir()
    for name in ("a.qvx", "b.qvx"):
        (tmp_path / "rec" / name).write_bytes(RECORDING)
    return tmp_path / "rec"


# Output names that are refused before anything is written: what the
# test makes at the name, relative to the test's directory.
def a_directory(tmp_path):
    (tmp_path / "out").mkdir()
    return tmp_path / "out", "a directory"


def a_recording(tmp_path):
    return tmp_path / "rec" / "a.qvx", "one of the recordings read"


def a_link_to_a_recording(tmp_path):
    os.symlink("rec/a.qvx", tmp_path / "out")
    return tmp_path / "out", "one of the recordings read"


def another_users_link(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("only root can give a link to another user")
    (tmp_path / "theirs.csv").write_bytes(b"kept\n")
    os.symlink("theirs.csv", tmp_path / "out")
    os.lchown(tmp_path / "out", 65534, 65534)
    return tmp_path / "out", "a link of another user, not followed"


def through_another_users_link(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("only root can give a link to another user")
    (tmp_path / "sub").mkdir()
    os.symlink("sub", tmp_path / "via")
    os.lchown(tmp_path / "via", 65534, 65534)
    return tmp_path / "via" / "out.csv", "a link of another user, not followed"


REFUSED = [a_directory, a_recording, a_link_to_a_recording, another_users_link, through_another_users_link]


@pytest.mark.parametrize("make", REFUSED)
@pytest.mark.parametrize("use", ["summary", "plot", "plot()"])
def test_outputs_that_are_refused(recordings, tmp_path, make, use):
    if use != "summary":
        pytest.importorskip("matplotlib")
    output, reason = make(tmp_path)
    before = {name: what(tmp_path / name) for name in os.listdir(tmp_path)}
    before.update({name: what(recordings / name) for name in os.listdir(recordings)})
    if use == "plot()":
        with pytest.raises(OutputRefused) as caught:
            quendix.plot(recordings / "a.qvx", output)
        assert caught.value.strerror == reason and os.fspath(caught.value.filename) == str(output)
    else:
        source = recordings if use == "summary" else recordings / "a.qvx"
        done = run(use, "-o", output, source, cwd=tmp_path)
        assert done.returncode == 2
        assert done.stderr.decode() == "python -m quendix: %s not written: %s\n" % (output, reason)
    after = {name: what(tmp_path / name) for name in os.listdir(tmp_path)}
    after.update({name: what(recordings / name) for name in os.listdir(recordings)})
    assert after == before
    if (tmp_path / "sub").exists():
        assert os.listdir(tmp_path / "sub") == []


@pytest.mark.parametrize("use", ["summary", "plot", "plot()"])
def test_a_fifo_is_written_straight_to(recordings, tmp_path, use):
    if use != "summary":
        pytest.importorskip("matplotlib")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = FifoReader(fifo)
    try:
        if use == "plot()":
            quendix.plot(recordings / "a.qvx", fifo)
        else:
            done = run(use, "-o", fifo, recordings if use == "summary" else recordings / "a.qvx")
            assert done.returncode == 0, done.stderr
    finally:
        got = reader.close()
    assert got.startswith(CSV_HEADING if use == "summary" else b"\x89PNG")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["pipe", "rec"]


@pytest.mark.parametrize("use", ["summary", "plot", "plot()"])
def test_a_fifo_without_a_reader_is_refused(recordings, tmp_path, use):
    if use != "summary":
        pytest.importorskip("matplotlib")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reason = "a FIFO with no reader"
    if use == "plot()":
        # A plot() that waited for a reader would get one after a minute,
        # so that the test fails rather than hangs.
        late = []
        timer = threading.Timer(60, lambda: late.append(FifoReader(fifo)))
        timer.start()
        try:
            with pytest.raises(OutputRefused) as caught:
                quendix.plot(recordings / "a.qvx", fifo)
        finally:
            timer.cancel()
            for reader in late:
                reader.close()
        assert caught.value.strerror == reason
    else:
        done = run(use, "-o", fifo, recordings if use == "summary" else recordings / "a.qvx", timeout=60)
        assert done.returncode == 2
        assert done.stderr.decode() == "python -m quendix: %s not written: %s\n" % (fifo, reason)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["pipe", "rec"]


# Another user's files where the system would not let a program open them
# to write (a FIFO) or replace them (a file), in a directory anyone may
# write to, sticky as /tmp is: no output is written there, by any way of
# naming it.
ANOTHER_USER = 65534
STICKY_USES = {
    "plot": (["plot", "rec.qvx"], "rec.png"),
    "plot -o": (["plot", "-o", "rec.png", "rec.qvx"], "rec.png"),
    "summary -o": (["summary", "-o", "table.csv", "."], "table.csv"),
    "plot()": (None, "rec.png"),
    "plot() named": (None, "rec.png"),
}


@pytest.mark.parametrize("kind", ["a FIFO", "a regular file"])
@pytest.mark.parametrize("use", list(STICKY_USES))
def test_another_users_file_in_a_sticky_directory(tmp_path, kind, use):
    if os.geteuid() != 0:
        pytest.skip("only root can give a file to another user")
    if use != "summary -o":
        pytest.importorskip("matplotlib")
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    (shared / "rec.qvx").write_bytes(RECORDING)
    (shared / "rec.qvx").chmod(0o600)
    args, name = STICKY_USES[use]
    output = shared / name
    if kind == "a FIFO":
        os.mkfifo(output)
    else:
        output.write_bytes(b"theirs\n")
    os.chown(output, ANOTHER_USER, ANOTHER_USER)
    before = what(output)
    reason = "%s of another user in a sticky directory" % kind
    # The other user reads the FIFO: nothing may come.
    reader = FifoReader(output) if kind == "a FIFO" else None
    try:
        if args is None:
            with pytest.raises(OutputRefused) as caught:
                quendix.plot(shared / "rec.qvx", output if use == "plot() named" else None)
            assert caught.value.strerror == reason
        else:
            done = run(*args, cwd=shared)
            assert done.returncode == 2 and done.stdout == b""
            assert done.stderr.decode() == "python -m quendix: %s not written: %s\n" % (name, reason)
    finally:
        got = reader.close() if reader else b""
    assert got == b"" and what(output) == before
    assert sorted(os.listdir(shared)) == sorted(["rec.qvx", name])


# What the default picture name may not be, though the user's own: the
# package writes only a regular file of its own choosing.
def a_fifo(path):
    os.mkfifo(path)
    return FifoReader(path), "a FIFO, not a regular file"


def a_link_to_a_file(path):
    path.with_name("elsewhere.png").write_bytes(b"kept\n")
    os.symlink("elsewhere.png", path)
    return None, "a link, not a regular file"


def a_socket(path):
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind(str(path))
    return None, "a socket, not a regular file"


@pytest.mark.parametrize("make", [a_fifo, a_link_to_a_file, a_socket])
@pytest.mark.parametrize("use", ["plot", "plot()"])
def test_the_default_picture_name_takes_only_a_regular_file(recordings, make, use):
    pytest.importorskip("matplotlib")
    picture = recordings / "a.png"
    reader, reason = make(picture)
    before = {name: what(recordings / name) for name in os.listdir(recordings)}
    try:
        if use == "plot()":
            with pytest.raises(OutputRefused) as caught:
                quendix.plot(recordings / "a.qvx")
            assert caught.value.strerror == reason
        else:
            done = run("plot", "a.qvx", cwd=recordings)
            assert done.returncode == 2
            assert done.stderr.decode() == "python -m quendix: a.png not written: %s\n" % reason
    finally:
        got = reader.close() if reader else b""
    assert got == b""
    assert {name: what(recordings / name) for name in os.listdir(recordings)} == before


# The modes of two recordings a.qvx and b.qvx, whether they have one group,
# and the mode of the summary of both (in the first three rows, that of the
# picture of a.qvx too), under umask 022: no output more readable than what
# it was made from.
PRIVATE = [
    ((0o600, 0o600), True, 0o600),
    ((0o640, 0o640), True, 0o640),
    ((0o664, 0o664), True, 0o644),
    ((0o640, 0o604), True, 0o600),
    ((0o664, 0o646), True, 0o644),
    ((0o644, 0o644), False, 0o600),
]
PRIVATE_CASES = [(use,) + row for i, row in enumerate(PRIVATE)
                 for use in ("summary -o", "plot", "plot -o", "plot()") if use == "summary -o" or i < 3]


@pytest.mark.parametrize("use, modes, one_group, mode", PRIVATE_CASES,
                         ids=["%s-%03o-%03o%s" % (c[0], c[1][0], c[1][1], "" if c[2] else "-two-groups")
                              for c in PRIVATE_CASES])
def test_outputs_are_as_private_as_their_recordings(recordings, use, modes, one_group, mode):
    if use != "summary -o":
        pytest.importorskip("matplotlib")
    # A group the outputs would not have by themselves: root may give any,
    # another user one of its other groups.
    if os.geteuid() == 0:
        groups = [ANOTHER_USER, 0]
    else:
        groups = [g for g in os.getgroups() if g != os.getegid()] + [os.getegid()]
        if not one_group and len(groups) < 2:
            pytest.skip("two recordings of different groups need root or a user of two groups")
    for name, recording_mode, group in zip(("a.qvx", "b.qvx"), modes, groups if not one_group else groups[:1] * 2):
        os.chown(recordings / name, -1, group)
        os.chmod(recordings / name, recording_mode)
    mask = os.umask(0o022)
    try:
        if use == "plot()":
            quendix.plot(recordings / "a.qvx")
        else:
            args = {"summary -o": ["summary", "-o", "table.csv", "."], "plot": ["plot", "a.qvx"],
                    "plot -o": ["plot", "-o", "a.png", "a.qvx"]}[use]
            done = run(*args, cwd=recordings)
            assert done.returncode == 0, done.stderr
    finally:
        os.umask(mask)
    output = recordings / ("table.csv" if use == "summary -o" else "a.png")
    st = os.stat(output)
    assert oct(stat.S_IMODE(st.st_mode)) == oct(mode)
    if one_group:
        assert st.st_gid == groups[0]


# python -m quendix held once its output is written to the temporary file,
# until a signal comes.
# Holds the program once an output is written, until a signal. Not
# signal.pause(): a signal that comes between its last check for one and
# the pause would leave it paused for good; a short sleep ends anyway.
HELD_AT_THE_TEMPORARY = """
import sys
import time

import matplotlib.figure

import quendix.__main__


def held_after(write):
    def held(*args, **options):
        write(*args, **options)
        while True:
            time.sleep(0.05)
    return held


quendix.__main__.write_csv = held_after(quendix.__main__.write_csv)
matplotlib.figure.Figure.savefig = held_after(matplotlib.figure.Figure.savefig)
sys.exit(quendix.__main__.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
@pytest.mark.parametrize("use", ["summary -o", "plot"])
def test_a_signal_while_an_output_is_written_leaves_no_temporary(recordings, number, use):
    pytest.importorskip("matplotlib")
    args, output = {"summary -o": (["summary", "-o", "table.csv", "."], "table.csv"),
                    "plot": (["plot", "a.qvx"], "a.png")}[use]
    (recordings / output).write_bytes(b"earlier\n")
    with subprocess.Popen([sys.executable, "-c", HELD_AT_THE_TEMPORARY] + args, cwd=recordings,
                          env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        try:
            deadline = time.monotonic() + 120
            while not any(is_temporary_name(name) for name in os.listdir(recordings)):
                assert process.poll() is None, process.communicate()
                assert time.monotonic() < deadline, "no temporary file after two minutes"
                time.sleep(0.01)
            process.send_signal(number)
            _, errors = process.communicate(timeout=120)
        except BaseException:
            process.kill()  # or leaving the block would wait for it for good
            raise
    # Ended by the signal, as without a temporary file, and the earlier
    # output is as it was.
    assert process.returncode == -number, errors
    assert sorted(os.listdir(recordings)) == sorted(["a.qvx", "b.qvx", output])
    assert (recordings / output).read_bytes() == b"earlier\n"


def test_regular_files_links_and_standard_output(recordings, tmp_path):
    table = run("summary", recordings).stdout
    # A regular file is replaced whole; the user's own link is followed and
    # stays a link, dangling or not.
    (tmp_path / "old.csv").write_bytes(b"old\n")
    os.symlink("old.csv", tmp_path / "mine")
    os.symlink("new.csv", tmp_path / "dangling")
    for name in ("mine", "dangling", "plain.csv"):
        done = run("summary", "-o", name, recordings, cwd=tmp_path)
        assert done.returncode == 0 and done.stdout == table, done.stderr
    written = (tmp_path / "plain.csv").read_bytes()
    assert written.startswith(CSV_HEADING) and written.count(b"\n") == 3
    assert [what(tmp_path / n) for n in ("mine", "dangling", "old.csv", "new.csv")] == [
        ("link", "old.csv"), ("link", "new.csv"), ("file", written), ("file", written)]
    # '-': the CSV alone on standard output.
    done = run("summary", "-o", "-", recordings, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == written
    # /dev/stdout on a pipe and on a file: after the table, in the same
    # stream, which is never replaced.
    done = run("summary", "-o", "/dev/stdout", recordings)
    assert done.returncode == 0 and done.stdout == table + written
    with open(tmp_path / "console", "wb") as console:
        subprocess.run(command("summary", "-o", "/dev/stdout", recordings), stdout=console,
                       env=environment(), check=True, timeout=300)
    assert (tmp_path / "console").read_bytes() == table + written
    assert sorted(os.listdir(tmp_path)) == ["console", "dangling", "mine", "new.csv", "old.csv", "plain.csv", "rec"]


def test_devices_in_a_private_dev(recordings, tmp_path):
    # A /dev of the test's own, so that a fault cannot turn the system's
    # /dev/null into a file.
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("a private mount namespace needs root and unshare")
    script = """
        set -e
        mount -t tmpfs quendix-test /dev
        mknod -m 666 /dev/null c 1 3
        ln -s /proc/self/fd/1 /dev/stdout
        "$@" summary -o /dev/null "$REC" > table
        "$@" summary -o /dev/stdout "$REC" > both
        "$@" plot -o /dev/null "$REC/a.qvx" > /dev/null
        stat -c '%F %t,%T' /dev/null
        readlink /dev/stdout
        ls -A /dev
    """
    done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]
                          + command(), cwd=tmp_path, env=dict(environment(), REC=str(recordings)),
                          capture_output=True, text=True, timeout=300)
    if done.returncode != 0 and "mount" in done.stderr and not (tmp_path / "table").exists():
        pytest.skip("no private mount namespace here: %s" % done.stderr.strip())
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == ["character special file 1,3", "/proc/self/fd/1", "null", "stdout", ""]
    table = (tmp_path / "table").read_bytes()
    assert table.startswith(b"path ") and (tmp_path / "both").read_bytes().startswith(table + CSV_HEADING)


# Names that must not reach a terminal as they are, and how it shows them.
HOSTILE_NAMES = [
    (b"clear\x1b[2J\x1b]0;title\x07.qvx", "clear?[2J?]0;title?.qvx"),
    (b"del\x7f.qvx", "del?.qvx"),
    (b"c1 \xc2\x9b.qvx", "c1 ?.qvx"),
    (b"lone \x9b and \xff\xfe.qvx", "lone ? and ??.qvx"),
    (b"surrogate \xed\xa0\x80.qvx", "surrogate ???.qvx"),
    (b"caf\xc3\xa9 \xe2\x82\xac.qvx", "caf\u00e9 \u20ac.qvx"),
]


@pytest.fixture
def hostile(tmp_path):
    directory = os.fsencode(tmp_path / "hostile")
    os.mkdir(directory)
    for name, _ in HOSTILE_NAMES:
        with open(os.path.join(directory, name), "wb") as stream:
            stream.write(RECORDING)
    return directory


def test_names_on_a_terminal(hostile):
    pid, terminal = pty.fork()
    if pid == 0:
        try:
            os.chdir(hostile)
            os.environ["PYTHONPATH"] = environment()["PYTHONPATH"]
            os.execv(sys.executable, command("summary", "."))
        finally:
            os._exit(127)
    shown = b""
    while True:
        try:
            data = os.read(terminal, 65536)
        except OSError:  # the child has gone: the terminal reads EIO
            break
        if not data:
            break
        shown += data
    _, status = os.waitpid(pid, 0)
    os.close(terminal)
    assert os.waitstatus_to_exitcode(status) == 0, shown
    lines = shown.decode("utf-8").split("\r\n")
    expected = sorted(HOSTILE_NAMES)
    assert [line.split("  ")[0].rstrip() for line in lines[1:-1]] == ["./" + text for _, text in expected]
    assert not any(c < " " or "\x7f" <= c <= "\x9f" for line in lines for c in line)


def test_names_on_a_pipe_and_in_the_csv(hostile):
    done = run("summary", "-o", "table.csv", ".", cwd=hostile)
    assert done.returncode == 0 and done.stderr == b""
    names = [b"./" + name for name, _ in sorted(HOSTILE_NAMES)]
    assert [line.split(b"  ")[0].rstrip() for line in done.stdout.split(b"\n")[1:-1]] == names
    with open(os.path.join(hostile, b"table.csv"), "rb") as stream:
        assert [line.split(b",")[0] for line in stream.read().split(b"\n")[1:-1]] == names
    # A message names the file as given, in its exact bytes.
    done = run("plot", "-o", b"out\xff/x.png", b"./" + HOSTILE_NAMES[3][0], cwd=hostile)
    assert done.returncode == 1
    assert done.stderr.startswith(b"python -m quendix: ./lone \x9b and \xff\xfe.qvx not drawn: ")
    assert done.stderr.endswith(b" (out\xff/x.png)\n")


def test_the_api_draws_beside_the_recording(tmp_path):
    # plot() beside the recording by default, in the API too.
    pytest.importorskip("matplotlib")
    shutil.copy(REPO / "examples" / "morning.qvx", tmp_path / "day1.qvx")
    counts = quendix.plot(tmp_path / "day1.qvx")
    assert counts["samples"] == 540 and sorted(os.listdir(tmp_path)) == ["day1.png", "day1.qvx"]
