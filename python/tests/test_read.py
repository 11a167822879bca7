"""The package on its own: the report's edge cases and the magnitudes'
worked values, the data frame, and bad input."""

import os
import signal
import tempfile
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix_testing import RAW_SAMPLE, REPORT_CASES, frames, recording_of


@pytest.mark.parametrize("what, data, end_block, lines", REPORT_CASES,
                         ids=[case[0] for case in REPORT_CASES])
def test_report(tmp_path, what, data, end_block, lines):
    path = tmp_path / "a.qvx"
    path.write_bytes(data)
    assert quendix.read(path, end_block).report == lines


def test_magnitudes_worked_values(tmp_path):
    # (AX, AY, AZ, GX, GY, GZ) and the ASVM and GSVM they give.
    cases = [
        ((8192, 0, 0, 6554, 0, 0), 100, 100), ((-8192, 0, 0, 6553, 0, 0), 100, 99),
        ((8192, 8192, 0, 65, 0, 0), 141, 0), ((4096, 4096, 4096, 66, 0, 0), 86, 1),
        ((100, 200, 300, 32767, 0, 0), 4, 499),
        ((-32768, -32768, -32768, -32768, -32768, -32768), 692, 866),
        ((32767, 32767, 32767, 1000, -2000, 3000), 692, 57), ((0, 0, 0, 0, 0, 0), 0, 0),
    ]
    samples = np.zeros(len(cases), RAW_SAMPLE)
    for i, name in enumerate(("AX", "AY", "AZ", "GX", "GY", "GZ")):
        samples[name] = [axes[i] for axes, _, _ in cases]
    path = tmp_path / "a.qvx"
    path.write_bytes(recording_of(samples))
    got = quendix.read(path).samples[:len(cases)]
    assert got["ASVM"].tolist() == [asvm for _, asvm, _ in cases]
    assert got["GSVM"].tolist() == [gsvm for _, _, gsvm in cases]


def test_a_row_as_stored(tmp_path):
    # SEQNO is unsigned and the axes signed, so 0xFFFF reads 65535 and -1.
    raw = np.zeros(9, RAW_SAMPLE)
    raw[0] = (0xFFFF, -1, 2, -3, 4, -5, 6)
    path = tmp_path / "a.qvx"
    path.write_bytes(frames([(1, 0)], raw))
    row = quendix.read(path).samples[0]
    assert row.tolist() == (65535, -1, 2, -3, 4, -5, 6, 0, 0)


def test_dataframe_has_the_csv_columns(tmp_path):
    pandas = pytest.importorskip("pandas")
    path = tmp_path / "a.qvx"
    raw = np.zeros(18, RAW_SAMPLE)
    raw["SEQNO"] = np.arange(18)
    raw["AX"] = 8192
    raw["GZ"] = -6554
    path.write_bytes(frames([(1, 0), (1, 1)], raw))
    frame = quendix.read(path).to_dataframe()
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.columns) == "SEQNO AX AY AZ GX GY GZ ASVM GSVM".split()
    assert frame["SEQNO"].tolist() == list(range(18))
    assert (frame["ASVM"] == 100).all() and (frame["GSVM"] == 100).all()


@pytest.mark.parametrize("end_block, error", [
    (0, ValueError), (512, ValueError), (-1, ValueError), (2 ** 31, ValueError),
    (5.0, TypeError), ("5", TypeError),
])
def test_end_block_not_1_to_511(tmp_path, end_block, error):
    path = tmp_path / "a.qvx"
    path.write_bytes(frames([(1, 0)]))
    with pytest.raises(error):
        quendix.read(path, end_block)


@pytest.fixture
def alarm():
    """Fails a test that blocks for more than 10 seconds."""
    def blocked(signum, frame):
        raise TimeoutError("quendix.read blocked")
    previous = signal.signal(signal.SIGALRM, blocked)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def make_fifo(directory):
    path = directory / "fifo.qvx"
    os.mkfifo(path)
    return path


def make_directory(directory):
    path = directory / "dir.qvx"
    path.mkdir()
    return path


@pytest.mark.parametrize("make, error", [
    (lambda d: d / "absent.qvx", FileNotFoundError),
    (make_directory, IsADirectoryError),
    (make_fifo, OSError),
    (lambda d: Path("/dev/null"), OSError),
    (lambda d: Path("/dev/zero"), OSError),
    # A regular file whose every read fails.
    (lambda d: Path("/proc/self/mem"), OSError),
])
def test_not_a_readable_regular_file(tmp_path, alarm, make, error):
    path = make(tmp_path)
    with pytest.raises(error) as raised:
        quendix.read(path)
    assert str(path) in str(raised.value)


def test_unreadable_file():
    # Root reads every file, so as root the read runs in a child that has
    # given up its rights; the directory lets it in.
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        os.chmod(directory, 0o755)
        path = directory / "locked.qvx"
        path.write_bytes(frames([(1, 0)]))
        os.chmod(path, 0)
        if os.geteuid() != 0:
            with pytest.raises(PermissionError) as raised:
                quendix.read(path)
            assert str(path) in str(raised.value)
            return
        reader, writer = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                os.close(reader)
                os.setgid(65534)
                os.setuid(65534)
                quendix.read(path)
                outcome = b"read"
            except PermissionError as e:
                outcome = b"PermissionError naming the path" if str(path) in str(e) else repr(e).encode()
            except BaseException as e:
                outcome = repr(e).encode()
            finally:
                os.write(writer, outcome)
                os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as pipe:
            outcome = pipe.read()
        os.waitpid(child, 0)
        assert outcome == b"PermissionError naming the path"


@pytest.mark.parametrize("size", [0, 10 ** 7], ids=["grown", "shrunk"])
def test_a_file_whose_size_changed_after_the_open(tmp_path, monkeypatch, size):
    # The size taken at the open only sizes the arrays: the frames read count.
    path = tmp_path / "a.qvx"
    raw = np.zeros(9 * 5000, RAW_SAMPLE)
    raw["AX"] = np.arange(len(raw))
    path.write_bytes(frames([(1, i % 512) for i in range(5000)], raw) + b"\x53\x44\x07")
    expected = quendix.read(path)
    open_file = quendix.recording.open_regular_file
    monkeypatch.setattr(quendix.recording, "open_regular_file",
                        lambda p: (open_file(p)[0], size))
    got = quendix.read(path)
    assert np.array_equal(got.samples, expected.samples)
    assert np.array_equal(got.frames, expected.frames)
    assert got.report == expected.report


def test_the_input_is_only_read(tmp_path):
    path = tmp_path / "a.qvx"
    data = frames([(1, 0), (1, 7)]) + b"\xff" * 132 + b"\x53\x44"
    path.write_bytes(data)
    os.chmod(path, 0o444)
    before = os.stat(path)
    quendix.read(path)
    after = os.stat(path)
    assert path.read_bytes() == data
    assert (after.st_mtime_ns, after.st_ctime_ns, after.st_mode) == (
        before.st_mtime_ns, before.st_ctime_ns, before.st_mode)
    assert sorted(os.listdir(tmp_path)) == ["a.qvx"]
