"""read_chunks against read at piece sizes that cut every kind of report
line, read from file objects, and the magnitudes where the exact integer
sums and the converter's double arithmetic could part."""

import io
import itertools
import subprocess

import numpy as np
import pytest

import quendix
from quendix_testing import (RAW_SAMPLE, REPORT_CASES, assert_same_as_converter, convert,
                             erased_frame, frames, program, recording_of)


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """A recording with every kind of report line in runs and alone: jumps
    (with and without the R flag), frames without the marker, and a
    fragment; and the recording read whole."""
    rng = np.random.default_rng(5)
    positions = [(1, p) for p in range(40)] + [(1, 45 + p) for p in range(6)] + [(1, 0x8000 | 60)]
    positions += [(1, 61 + p) for p in range(30)]
    data = frames(positions, rng.integers(-32768, 32768, (len(positions) * 9, 7)).astype(np.int16).view(RAW_SAMPLE))
    data = bytearray(data)
    for i in (3, 4, 5, 50, 90):  # frames without the marker, in a run and alone
        data[i * 132:i * 132 + 2] = b"\xff\xff"
    path = tmp_path_factory.mktemp("pieces") / "damaged.qvx"
    path.write_bytes(bytes(data) + b"\x53\x44\x09")
    return path, quendix.read(path)


def joined(pieces):
    """The pieces of read_chunks joined into one Recording's fields."""
    samples = np.concatenate([p.samples for p in pieces])
    frames_ = np.concatenate([p.frames for p in pieces])
    report = [line for p in pieces for line in p.report]
    return samples, frames_, report


def assert_same(pieces, whole, size):
    samples, frames_, report = joined(pieces)
    assert np.array_equal(samples, whole.samples)
    assert np.array_equal(frames_, whole.frames)
    assert report == whole.report
    assert all(len(p.frames) <= size for p in pieces)
    assert all(len(p.frames) == size for p in pieces[:-1])
    # Only the last piece has the "end" line, and each piece knows where
    # its rows start.
    assert [p.report[-1].startswith("      end") for p in pieces if p.report][-1]
    assert not any(line.startswith("      end") for p in pieces[:-1] for line in p.report)
    assert [p.first_sample for p in pieces] == list(np.cumsum([0] + [len(p.samples) for p in pieces[:-1]]))


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 6, 7, 40, 41, 46, 47, 90, 91, 92, 1000])
def test_pieces_are_the_whole(damaged, size):
    path, whole = damaged
    assert_same(list(quendix.read_chunks(path, frames=size)), whole, size)


@pytest.mark.parametrize("what, data, end_block, lines", REPORT_CASES, ids=[case[0] for case in REPORT_CASES])
def test_pieces_of_the_report_cases(tmp_path, what, data, end_block, lines):
    path = tmp_path / "a.qvx"
    path.write_bytes(data)
    whole = quendix.read(path, end_block)
    for size in (1, 2, 3):
        assert_same(list(quendix.read_chunks(path, end_block, size)), whole, size)


def test_pieces_of_generated_recordings_against_the_converter(tmp_path):
    converter = program("QUENDIX", "quendix")
    generator = program("QUENDIX_GEN", "quendix-gen")
    options = ["--frames", "3000", "--start", "509,17", "--jump-every", "101", "--missing-every", "37",
               "--r-flag-every", "13", "--fragment", "77"]
    subprocess.run([str(generator)] + options + [str(tmp_path / "g.qvx")], check=True, stdout=subprocess.DEVNULL)
    convert(converter, tmp_path, 7)
    whole = assert_same_as_converter(tmp_path / "g.qvx", 7)
    for size in (1, 37, 512, 2999, 3000):
        assert_same(list(quendix.read_chunks(tmp_path / "g.qvx", 7, size)), whole, size)


def test_an_empty_file_is_one_piece(tmp_path):
    path = tmp_path / "a.qvx"
    path.write_bytes(b"")
    pieces = list(quendix.read_chunks(path))
    assert len(pieces) == 1 and pieces[0].report == ["      end :   0,   0"]
    assert len(pieces[0].frames) == 0 and len(pieces[0].samples) == 0


def test_read_chunks_arguments(tmp_path):
    path = tmp_path / "a.qvx"
    path.write_bytes(frames([(1, 0)]))
    for frames_, error in ((0, ValueError), (2.0, TypeError)):
        with pytest.raises(error):
            quendix.read_chunks(path, frames=frames_)
    with pytest.raises(ValueError):
        quendix.read_chunks(path, end_block=512)
    # The file is opened at the call, not at the first piece.
    with pytest.raises(FileNotFoundError):
        quendix.read_chunks(tmp_path / "absent.qvx")
    with pytest.raises(IsADirectoryError):
        quendix.read_chunks(tmp_path)


def test_file_objects_read_as_paths(damaged):
    path, whole = damaged
    with open(path, "rb") as stream:
        got = quendix.read(stream)
        assert not stream.closed
    assert got.path == str(path)
    with open(path, "rb", buffering=0) as stream:
        pieces = list(quendix.read_chunks(stream, frames=7))
    assert_same(pieces, whole, 7)
    # Without a size to go by: bytes in memory, and a pipe.
    in_memory = quendix.read(io.BytesIO(path.read_bytes()))
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
        piped = quendix.read(cat.stdout)
    for got in (in_memory, piped):
        assert np.array_equal(got.samples, whole.samples)
        assert np.array_equal(got.frames, whole.frames)
        assert got.report == whole.report


class FailingReader(io.RawIOBase):
    """A file object whose reads fail after `good` bytes."""

    def __init__(self, data, good):
        self.data, self.good, self.at = data, good, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.at >= self.good:
            raise OSError(5, "Input/output error")
        n = min(len(buffer), self.good - self.at)
        buffer[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


class MiscountingReader(io.RawIOBase):
    """A file object whose readinto() gives `count` instead of a count of
    the bytes it read, and that fails the test when read too often."""

    def __init__(self, count):
        self.count, self.calls = count, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        self.calls += 1
        if self.calls > 1000:
            raise RuntimeError("read %d times: the reading does not end" % self.calls)
        return self.count


def test_file_objects_that_cannot_be_read(damaged):
    path, _ = damaged
    with open(path) as text:
        with pytest.raises(TypeError):
            quendix.read(text)
    with pytest.raises(TypeError):
        quendix.read([path])
    with pytest.raises(OSError):
        quendix.read(FailingReader(path.read_bytes(), 1000))
    with pytest.raises(OSError):
        list(quendix.read_chunks(FailingReader(path.read_bytes(), 1000), frames=2))


@pytest.mark.parametrize("count", [-1, -132, 1.5, "132", 10 ** 9])
def test_a_readinto_that_gives_no_count_is_an_error(count):
    with pytest.raises(OSError, match="readinto"):
        quendix.read(MiscountingReader(count))
    with pytest.raises(OSError, match="readinto"):
        list(quendix.read_chunks(MiscountingReader(count), frames=2))


def test_every_sample_of_whole_units_of_angular_rate(tmp_path):
    # The definition divides each gyroscope count by 65.536, which could
    # round; the converter and the package take the root of the exact
    # integer sum. The two ways can only part where the exact root is a
    # whole number: elsewhere the sum times 15625 / 2^26 is at least 2^-26
    # from a square, far beyond the rounding. A whole root k means
    # gx^2 + gy^2 + gz^2 = (k / 125)^2 2^26, and a sum of three squares
    # divisible by 4 has all three even, so every such sample is 8192 times
    # (a, b, c) with a^2 + b^2 + c^2 a square: here every sample of that
    # form, each in every place.
    converter = program("QUENDIX", "quendix")
    triples = np.array(list(itertools.product(range(-4, 4), repeat=3))) * 8192
    samples = np.zeros(len(triples), RAW_SAMPLE)
    for i, name in enumerate(("GX", "GY", "GZ")):
        samples[name] = triples[:, i]
    for i, name in enumerate(("AX", "AY", "AZ")):
        samples[name] = triples[:, i]
    (tmp_path / "whole.qvx").write_bytes(recording_of(samples) + erased_frame())
    convert(converter, tmp_path)
    recording = assert_same_as_converter(tmp_path / "whole.qvx")
    assert {125, 250, 375, 500, 625, 750} <= set(recording.samples["GSVM"].tolist())
