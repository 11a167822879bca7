"""Helpers of the tests: the built converter and generator, frame files made
byte by byte, and the converter's outputs read back."""

import atexit
import contextlib
import locale
import os
import pickle
import select
import selectors
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import quendix

REPO = Path(__file__).resolve().parents[2]
PACKAGE_PARENT = str(Path(quendix.__file__).resolve().parents[1])
CSV_HEADER = b"SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n"

# A frame as it is recorded: the header, then nine samples.
RAW_SAMPLE = np.dtype([(name, quendix.SAMPLE_DTYPE[name]) for name in quendix.SAMPLE_DTYPE.names[:7]])
RAW_FRAME = np.dtype([("magic", "<u2"), ("block", "<u2"), ("page_word", "<u2"),
                      ("samples", RAW_SAMPLE, (9,))])


def program(variable, name):
    """The built program named by the environment variable `variable`, by
    default build/default/`name` of this repository; skips the test when it
    is not there."""
    path = Path(os.environ.get(variable) or REPO / "build" / "default" / name)
    if not (path.is_file() and os.access(path, os.X_OK)):
        pytest.skip("%s not found at %s: build it with `cmake --workflow --preset default` "
                    "or set %s" % (name, path, variable))
    return path


# The warm interpreters that run_quendix forks its commands from, one for
# each environment, up to WARM_MOST; QUENDIX_TEST_WARM=0 starts a fresh
# interpreter for every command instead.
WARM_MOST = 4
_warm = {}


class _Warm:
    """A running warm_quendix.py and the socket that reaches it."""

    def __init__(self, env):
        self.socket, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        # Its own output, a warning at most, goes to this run's standard
        # error; a pipe, as the commands' output is, so that it sets up
        # standard output and error as theirs.
        self.process = subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("warm_quendix.py")), str(theirs.fileno())],
            env=env, pass_fds=[theirs.fileno()], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        theirs.close()
        threading.Thread(target=self._forward, args=(self.process.stdout,), daemon=True).start()

    @staticmethod
    def _forward(stream):
        for line in stream:
            sys.__stderr__.write(line.decode(errors="replace"))

    def _answer(self):
        answer = self.socket.recv(8)
        if len(answer) != 8:
            raise RuntimeError("the warm interpreter ended: exit status %s" % self.process.wait())
        return struct.unpack("q", answer)[0]

    def run(self, arguments, cwd, env, timeout):
        """Runs the command; returns its exit status, output and error."""
        null = os.open(os.devnull, os.O_RDONLY)
        out, their_out = os.pipe()
        err, their_err = os.pipe()
        try:
            socket.send_fds(self.socket, [pickle.dumps((arguments, cwd, env))], [null, their_out, their_err])
        finally:
            for fd in (null, their_out, their_err):
                os.close(fd)
        pid = self._answer()
        caught = {out: bytearray(), err: bytearray()}
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            for fd in caught:
                selector.register(fd, selectors.EVENT_READ)
            try:
                while selector.get_map():
                    left = deadline - time.monotonic()
                    if left <= 0:
                        os.kill(pid, signal.SIGKILL)
                        self._answer()
                        raise subprocess.TimeoutExpired(arguments, timeout, bytes(caught[out]), bytes(caught[err]))
                    for key, _ in selector.select(left):
                        data = os.read(key.fd, 65536)
                        if data:
                            caught[key.fd] += data
                        else:
                            selector.unregister(key.fd)
            finally:
                os.close(out)
                os.close(err)
        return self._answer(), bytes(caught[out]), bytes(caught[err])

    def close(self):
        self.socket.close()
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@atexit.register
def _close_warm():
    while _warm:
        _warm.popitem()[1].close()


def package_environment():
    """This environment with the directory of the quendix imported here
    first on PYTHONPATH, so that a program started in it imports the same."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        [PACKAGE_PARENT] + [p for p in [os.environ.get("PYTHONPATH")] if p]))


def quendix_command(*args):
    """The command line of `python -m quendix ARGS` with this interpreter."""
    return [sys.executable, "-m", "quendix"] + [os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args]


def run_quendix(*args, cwd=None, env=None, text=False, timeout=300):
    """Runs quendix_command(ARGS) in `env` (by default
    package_environment()), as subprocess.run with capture_output does, and
    returns the same CompletedProcess. The process is forked from a warm interpreter
    (warm_quendix.py) that has its modules imported, so that a command
    costs its own work alone; a test of what a fresh interpreter does (its
    imports, a terminal, a signal) starts its own."""
    if env is None:
        env = package_environment()
    command = quendix_command(*args)
    # The environment a warm interpreter starts with, but for the name of
    # the test, which pytest changes from test to test.
    key = frozenset((name, value) for name, value in env.items() if name != "PYTEST_CURRENT_TEST")
    if os.environ.get("QUENDIX_TEST_WARM") == "0" or (key not in _warm and len(_warm) == WARM_MOST):
        return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=text, timeout=timeout)
    if key not in _warm:
        _warm[key] = _Warm(env)
    status, out, err = _warm[key].run(command[3:], None if cwd is None else os.fspath(cwd), env, timeout)
    if text:
        # As subprocess decodes: the locale's encoding, universal newlines.
        encoding = locale.getpreferredencoding(False)
        out, err = (data.decode(encoding).replace("\r\n", "\n").replace("\r", "\n") for data in (out, err))
    return subprocess.CompletedProcess(command, status, out, err)


def frames(positions, samples=None):
    """The bytes of valid frames at the (block, page_word) `positions`, with
    zero samples or the rows of `samples` (a RAW_SAMPLE array, nine a frame)."""
    out = np.zeros(len(positions), RAW_FRAME)
    out["magic"] = 0x4453
    if len(positions):
        out["block"], out["page_word"] = np.array(positions, dtype=np.uint16).T
    if samples is not None:
        out["samples"] = samples.reshape(-1, 9)
    return out.tobytes()


def erased_frame():
    """A frame without the marker: every byte 0xFF, as erased storage reads."""
    return b"\xff" * 132


def recording_of(samples):
    """A frame file holding the rows of `samples` (padded with zero rows to
    whole frames), its frames in step from (1, 0)."""
    padded = np.zeros(-(-len(samples) // 9) * 9, RAW_SAMPLE)
    padded[:len(samples)] = samples
    padded["SEQNO"] = np.arange(len(padded)) & 0xFFFF
    count = len(padded) // 9
    positions = [(1 + i // 512 % 510, i % 512) for i in range(count)]
    return frames(positions, padded)


def convert(quendix_program, directory, end_block=510):
    """Runs the converter on every .qvx file of `directory`."""
    subprocess.run([str(quendix_program), "-e", str(end_block), "*.qvx"], cwd=directory,
                   check=True, stdout=subprocess.DEVNULL, timeout=120)


def csv_rows(path):
    """The rows of the converter's CSV file: an int64 array of nine columns.
    Checks the header, the CR LF line ends and that every field is a plain
    decimal integer."""
    text = Path(path).read_bytes()
    assert text.startswith(CSV_HEADER)
    body = text[len(CSV_HEADER):]
    lines = body.count(b"\n")
    assert body.count(b"\r\n") == lines and body.endswith(b"\r\n") == (lines > 0)
    assert body.translate(None, b"0123456789-,\r\n") == b""
    values = np.fromstring(body.replace(b"\r\n", b","), dtype=np.int64, sep=",")
    assert len(values) == 9 * lines
    return values.reshape(lines, 9)


def log_lines(path):
    """The lines of the converter's log file, without their CR LF."""
    text = Path(path).read_bytes().decode("ascii")
    assert text.endswith("\r\n")
    return text[:-2].split("\r\n")


def assert_same_as_converter(path, end_block=510):
    """Reads `path` with the package and checks every row and report line
    against the converter's CSV and log files beside it."""
    path = Path(path)
    recording = quendix.read(path, end_block)
    assert recording.report == log_lines(path.with_suffix(".log")), path
    rows = np.stack([recording.samples[name].astype(np.int64)
                     for name in quendix.SAMPLE_DTYPE.names], axis=1)
    expected = csv_rows(path.with_suffix(".csv"))
    assert rows.shape == expected.shape, path
    mismatch = np.flatnonzero((rows != expected).any(axis=1))
    assert len(mismatch) == 0, "%s: row %d is %s, the converter wrote %s" % (
        path, mismatch[0], rows[mismatch[0]].tolist(), expected[mismatch[0]].tolist())
    # Every whole frame is listed, and every line but "end" reports one.
    frames_ = recording.frames
    size = path.stat().st_size
    assert np.array_equal(frames_["offset"], np.arange(size // 132) * 132)
    headers = np.fromfile(path, "<u2", count=size // 132 * 66).reshape(-1, 66)[:, :3]
    assert np.array_equal(frames_["valid"], headers[:, 0] == 0x4453)
    assert np.array_equal(frames_["block"], headers[:, 1])
    assert np.array_equal(frames_["page_word"], headers[:, 2])
    assert frames_["reported"].sum() == len(recording.report) - 1
    assert 9 * frames_["valid"].sum() == len(rows)
    return recording


def report_case_input(pieces):
    """The bytes of a recording written as in tests/data/report_cases.tsv."""
    def number(text):
        return int(text, 16) if text.startswith("0x") else int(text, 10)
    data = b""
    for piece in pieces.split():
        if piece == "erased":
            data += erased_frame()
        elif piece.startswith("hex:"):
            data += bytes.fromhex(piece[4:])
        elif piece.startswith("zeros:"):
            data += bytes(number(piece[6:]))
        else:
            block, pages = piece.split(",")
            first, _, last = pages.partition("..")
            data += frames([(number(block), page) for page in range(number(first), number(last or first) + 1)])
    return data


def read_report_cases(path):
    """The cases of tests/data/report_cases.tsv: (what, bytes, end_block, lines)."""
    cases = []
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        name, _, value = line.partition("\t")
        if name == "case":
            cases.append([value, None, None, []])
        elif not cases or name not in ("end_block", "input", "report"):
            raise ValueError("%s:%d: %r is not a field of a case" % (path, number, name))
        elif name == "end_block":
            cases[-1][2] = int(value)
        elif name == "input":
            cases[-1][1] = report_case_input(value)
        else:
            cases[-1][3].append(value)
    for what, data, end_block, lines in cases:
        if data is None or end_block is None or not lines:
            raise ValueError("%s: the case %r lacks its input, end block or report" % (path, what))
    return [tuple(case) for case in cases]


# The report of whole files, shared with the C++ end-to-end tests.
REPORT_CASES = read_report_cases(REPO / "tests" / "data" / "report_cases.tsv")


# Orientations a sensor can be laid in: the six faces, the eight corners
# and twelve edges of a cube, as unit vectors of the gravity it reads.
FACES = [v for axis in np.eye(3) for v in (axis, -axis)]
CORNERS = [np.array([x, y, z]) / 3 ** 0.5 for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]
EDGES = [np.array(v) / 2 ** 0.5 for v in ((1, 1, 0), (1, -1, 0), (-1, 1, 0), (-1, -1, 0), (1, 0, 1),
                                          (1, 0, -1), (-1, 0, 1), (-1, 0, -1), (0, 1, 1), (0, 1, -1),
                                          (0, -1, 1), (0, -1, -1))]


def still_rows(rng, orientations, offset, scale, gyro_bias=(100, -40, 20), noise=20, first_seqno=0):
    """Rows (RAW_SAMPLE) of a sensor laid still in each of `orientations`
    (unit vectors, in g) in turn and moved between them, whose
    accelerometer reads raw = true / scale + offset (g, per axis; so that
    (raw - offset) * scale is the true vector), as counts with normal
    noise of `noise` counts; the gyroscope reads `gyro_bias` counts with
    noise of 5 while still. Each still stretch lasts 1900 to 2300 rows
    from a random start, so that it holds two windows of 900 rows or
    three; the moving stretches between, 300 to 700 rows of values far
    apart, hold no still window."""
    parts = []
    for direction in orientations:
        moving = np.zeros(rng.integers(300, 701), RAW_SAMPLE)
        for name in ("AX", "AY", "AZ", "GX", "GY", "GZ"):
            moving[name] = rng.integers(-20000, 20000, len(moving))
        still = np.zeros(rng.integers(1900, 2301), RAW_SAMPLE)
        raw = np.asarray(direction, float) / np.asarray(scale, float) + np.asarray(offset, float)
        for axis, name in enumerate(("AX", "AY", "AZ")):
            still[name] = np.rint(raw[axis] * 8192 + rng.normal(0, noise, len(still)))
        for axis, name in enumerate(("GX", "GY", "GZ")):
            still[name] = gyro_bias[axis] + rng.integers(-5, 6, len(still))
        parts += [moving, still]
    rows = np.concatenate(parts)
    rows = rows[:len(rows) // 9 * 9]
    rows["SEQNO"] = (first_seqno + np.arange(len(rows))) & 0xFFFF
    return rows


class FifoReader:
    """Holds the FIFO at `path` open for reading from now on, so that a
    writer finds a reader there, and collects what is written to it until
    close(), which returns it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.data = bytearray()
        self.closing = False
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        while True:
            poller.poll(50)
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                chunk = None
            if chunk:
                self.data += chunk
            elif self.closing:
                return
            elif chunk == b"":
                time.sleep(0.01)  # no writer (yet, or any more)

    def close(self):
        self.closing = True
        self.thread.join(60)
        os.close(self.fd)
        return bytes(self.data)


# A Dask LocalCluster whose ports, the web pages of its scheduler and
# workers too, are all on the loopback address.
LOOPBACK_CLUSTER = dict(host="127.0.0.1", dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")

# Notes the address of every Internet socket bound, in the file named by
# QUENDIX_TEST_BINDS: run here, and in every Python started meanwhile as
# its sitecustomize.
_NOTE_BINDS = """
import os
import socket

def _noting_bind(self, address, _bind=socket.socket.bind):
    if self.family in (socket.AF_INET, socket.AF_INET6):
        with open(os.environ["QUENDIX_TEST_BINDS"], "a") as log:
            log.write("%r\\n" % (address[0],))
    return _bind(self, address)

socket.socket.bind = _noting_bind
"""
LOOPBACK_ADDRESSES = {"'127.0.0.1'", "'::1'", "'localhost'"}


@contextlib.contextmanager
def only_loopback_ports(directory):
    """Fails unless every Internet socket bound in the block, by this
    process or a Python program started in it (such as a Dask worker), is
    on a loopback address; and unless there is one."""
    hook = Path(directory) / "note-binds"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(_NOTE_BINDS)
    log = Path(directory) / "binds"
    saved = {name: os.environ.get(name) for name in ("PYTHONPATH", "QUENDIX_TEST_BINDS")}
    os.environ["PYTHONPATH"] = os.pathsep.join([str(hook)] + [p for p in [saved["PYTHONPATH"]] if p])
    os.environ["QUENDIX_TEST_BINDS"] = str(log)
    bind = socket.socket.bind
    exec(_NOTE_BINDS, {})
    try:
        yield
    finally:
        socket.socket.bind = bind
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    addresses = log.read_text().splitlines() if log.exists() else []
    assert addresses and set(addresses) <= LOOPBACK_ADDRESSES, addresses
