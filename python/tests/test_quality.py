"""The quality table against a whole-array computation written here from the
columns' definitions, on recordings made row by row with each fault alone,
all of them together and at random; at every small piece size; its checks
and their limits; the command line; and the quick look's strip."""

import os

import numpy as np
import pytest

import quendix
from quendix.quality import Quality, quality
from quendix.quicklook import Envelope
from quendix_testing import RAW_SAMPLE, erased_frame, frames, run_quendix

pandas = pytest.importorskip("pandas")

AXES = ("AX", "AY", "AZ", "GX", "GY", "GZ")
FRAMES = 420  # 3780 rows: four whole windows and a shorter one


def expected(samples):
    """The quality columns of the rows `samples`, whole-array."""
    n = len(samples)
    axes = np.stack([samples[a].astype(np.int64) for a in AXES])
    out = {"clipped": int(((axes == -32768) | (axes == 32767)).any(axis=0).sum())}
    stuck = np.zeros(n, bool)
    for values in axes:
        if n:
            run = np.cumsum(np.r_[True, values[1:] != values[:-1]]) - 1
            stuck |= np.bincount(run)[run] >= 900
    out["stuck"] = int(stuck.sum())
    d = np.diff(samples["SEQNO"].astype(np.int64)) % 65536
    out.update(seq_breaks=int((d != 1).sum()), seq_lost=int((d[(d >= 2) & (d <= 32767)] - 1).sum()),
               seq_repeats=int((d == 0).sum()), seq_backward=int((d >= 32768).sum()))
    stored = np.stack([samples[f].astype(np.int64) for f in ("SEQNO",) + AXES], axis=1).reshape(-1, 63)
    out["duplicate_frames"] = int((stored[1:] == stored[:-1]).all(axis=1).sum())
    k = n // 900
    windows = axes[:, :k * 900].reshape(6, k, 900)
    still = (windows[:3].std(axis=2) < 0.013 * 8192).all(axis=0)
    out["still_windows"] = int(still.sum())
    means = windows[:, still].mean(axis=2)
    if still.any():
        out["gravity_error"] = 1000 * np.mean(np.abs(np.linalg.norm(means[:3], axis=0) / 8192 - 1))
        out["gyro_offset"] = np.mean(np.linalg.norm(means[3:], axis=0) / 65.536)
    else:
        out["gravity_error"] = out["gyro_offset"] = float("nan")
    return out


def moving(rng, count):
    """Rows of a sensor in motion: no value held, no clipping, no stillness."""
    rows = np.zeros(count, RAW_SAMPLE)
    for axis in AXES:
        rows[axis] = rng.integers(-20000, 20000, count)
    rows["SEQNO"] = np.arange(count) & 0xFFFF
    return rows


def still(rng, rows, start, stop, gravity, spread=50):
    """Makes rows [start, stop) lie still: the accelerometer at `gravity`
    with noise of +-`spread` counts, the gyroscope near a small offset."""
    for axis, level in zip(AXES, tuple(gravity) + (100, -40, 20)):
        noise = spread if axis.startswith("A") else 5
        rows[axis][start:stop] = level + rng.integers(-noise, noise + 1, stop - start)


def clipped(rng, rows):
    rows["AX"][100:150] = 32767
    rows["GZ"][140:160] = -32768  # ten rows clip on both axes: counted once
    rows["AY"][3700] = -32768


def stuck_899(rng, rows):
    rows["AY"][1000:1899] = 25000


def stuck_900(rng, rows):
    rows["GX"][1500:2400] = 25000
    rows["AZ"][1700:2600] = -25000  # overlaps the GX run: its rows count once


def sequence(rng, rows):
    seqno = np.arange(len(rows), dtype=np.int64) + 65000  # wraps past 65535 in step
    seqno[500:] += 7  # seven lost
    seqno[800:] -= 1  # a repeat
    seqno[1200:] -= 20  # a step backwards
    seqno[2000:] += 40000  # a jump read as backwards, 40001 = -25535 mod 65536
    rows["SEQNO"] = seqno & 0xFFFF


def duplicates(rng, rows):
    frame = rows.reshape(-1, 9)
    frame[11] = frame[10]
    frame[12] = frame[10]  # twice over
    frame[200] = frame[199]
    frame[301] = frame[300]  # across the frames without the marker of "missing"


def tilted_and_scaled(rng, rows):
    still(rng, rows, 0, 1800, (0, 5793, 5793))  # tilted, |g| within 0.1%
    still(rng, rows, 2700, 3600, (0, 0, 8400))  # scaled by 2.5%
    still(rng, rows, 1900, 2600, (8192, 0, 0))  # cut by window boundaries: not a still window
    still(rng, rows, 3600, 3780, (8192, 0, 0))  # the last, shorter window: not a window


def barely_moving(rng, rows):
    # Noise of +-200 counts: a standard deviation of about 115 counts, above 106.5.
    still(rng, rows, 900, 1800, (0, 0, 8192), spread=200)


FAULTS = {"clipped": clipped, "stuck 899": stuck_899, "stuck 900": stuck_900, "sequence": sequence,
          "duplicates": duplicates, "still": tilted_and_scaled, "barely moving": barely_moving}


def recording(rows, missing=(), out_of_place=(), fragment=b""):
    """The bytes of a recording holding `rows`, nine a frame, with frames
    without the marker inserted before the valid frames `missing` and the
    positions jumping ahead at the frames `out_of_place`."""
    count = len(rows) // 9
    page = np.arange(count) + 100 * np.isin(np.arange(count), out_of_place).cumsum()
    valid = np.frombuffer(frames([(1 + int(p) // 512 % 510, int(p) % 512) for p in page], rows), np.uint8)
    parts = []
    for i in range(count):
        if i in missing:
            parts.append(erased_frame())
        parts.append(valid[i * 132:(i + 1) * 132].tobytes())
    return b"".join(parts) + fragment


def layout(name):
    """Missing and out-of-place frames, and a fragment, for case `name`."""
    if name in ("missing and out of place", "all together"):
        return {"missing": (0, 100, 101, 301), "out_of_place": (50, 51, 300), "fragment": b"\x53\x44\x07"}
    return {}


def case(name, seed=1):
    """The rows and the bytes of the recording of case `name`."""
    rng = np.random.default_rng(seed)
    rows = moving(rng, FRAMES * 9)
    if name == "all together":
        # Still stretches first, so that the faults after them stand.
        for fault in ["still", "barely moving"] + [f for f in FAULTS if f not in ("still", "barely moving")]:
            FAULTS[fault](rng, rows)
    elif name.startswith("random"):
        # Runs of random lengths and values on every axis, random steps of
        # the counter and repeated frames.
        for axis in AXES:
            lengths = rng.integers(1, 1400, 40)
            values = rng.choice([-32768, 32767, 0, 8192, 3, -5], 40)
            rows[axis] = np.repeat(values, lengths)[:len(rows)]
        rows["SEQNO"] = np.cumsum(rng.choice([1, 1, 1, 0, 2, 9, 40000], len(rows))) & 0xFFFF
        frame = rows.reshape(-1, 9)
        for i in rng.integers(1, FRAMES, 20):
            frame[i] = frame[i - 1]
    elif name in FAULTS:
        FAULTS[name](rng, rows)
    elif name == "empty":
        rows = rows[:0]
    return rows, recording(rows, **layout(name))


# Each case, and what the definitions give for it, by hand where the
# numbers are plain.
CASES = [
    ("clean", {"clipped": 0, "stuck": 0, "seq_breaks": 0, "duplicate_frames": 0, "still_windows": 0,
               "quality": ""}),
    ("clipped", {"clipped": 61, "stuck": 0, "quality": "clipped 1.61% > 1%"}),
    ("stuck 899", {"stuck": 0, "quality": ""}),
    ("stuck 900", {"stuck": 1100, "quality": "stuck 1100 > 0"}),
    ("sequence", {"seq_breaks": 4, "seq_lost": 7, "seq_repeats": 1, "seq_backward": 2,
                  "quality": "seq_lost 7 > 0; seq_repeats 1 > 0; seq_backward 2 > 0"}),
    # A copied frame copies its SEQNO too: a step back to it, one ahead after.
    ("duplicates", {"duplicate_frames": 4, "seq_breaks": 7, "seq_repeats": 0, "seq_backward": 4,
                    "seq_lost": 18 + 9 + 9}),
    # Two windows tilted, |g| = 5793 * sqrt(2) = 8192.5 counts, one scaled to 8400.
    ("still", {"still_windows": 3, "stuck": 0, "quality": "",
               "gravity_error": (1000 * (2 * (5793 * 2 ** 0.5 / 8192 - 1) + 208 / 8192) / 3, 0.5),
               "gyro_offset": ((100 ** 2 + 40 ** 2 + 20 ** 2) ** 0.5 / 65.536, 0.01)}),
    ("barely moving", {"still_windows": 0, "quality": ""}),
    ("missing and out of place", {"seq_breaks": 0, "duplicate_frames": 0, "quality": ""}),
    ("all together", {"still_windows": 1}),
    ("random 1", {}),
    ("random 2", {}),
    # A dead sensor: no frame at all, and so no row to find anything in.
    ("empty", {"clipped": 0, "stuck": 0, "still_windows": 0, "quality": "no samples"}),
]


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    directory = tmp_path_factory.mktemp("quality")
    made = {}
    for name, _ in CASES:
        rows, data = case(name, seed=int(name[-1]) if name.startswith("random") else 1)
        path = directory / (name.replace(" ", "_") + ".qvx")
        path.write_bytes(data)
        made[name] = path
    return directory, made


def assert_figures(got, want):
    for name, value in want.items():
        if isinstance(value, tuple):  # worked out by hand, to within the noise
            assert got[name] == pytest.approx(value[0], abs=value[1]), name
        elif isinstance(value, float):
            assert got[name] == pytest.approx(value, rel=1e-12, nan_ok=True), name
        else:
            assert got[name] == value, name


@pytest.mark.parametrize("name, known", CASES, ids=[c[0] for c in CASES])
def test_quality_is_the_definitions(recordings, name, known):
    path = recordings[1][name]
    samples = quendix.read(path).samples
    got = quality(path)
    assert_figures(got, expected(samples))
    assert_figures(got, known)
    if name == "all together" or name.startswith("random"):
        # Every fault is there to be found.
        assert all(got[c] for c in ("clipped", "stuck", "seq_lost", "seq_repeats", "seq_backward",
                                    "duplicate_frames")), got
        assert quendix.summary(path)["missing"][0] > 0 or name != "all together"


@pytest.mark.parametrize("name", ["all together", "random 1", "random 2"])
def test_every_piece_size_gives_the_same_figures(recordings, name):
    path = recordings[1][name]
    whole = quality(path, frames=100000)
    for size in range(1, 11):
        assert quality(path, frames=size) == pytest.approx(whole, rel=1e-15, nan_ok=True), size


def test_a_stuck_run_within_a_piece_is_found_wherever_it_begins(tmp_path):
    # Pieces of 200 frames (1800 rows), each holding one run of exactly 900
    # rows, begun at its row 1, 2, 3, ... in turn.
    pieces = 460
    rows = moving(np.random.default_rng(3), pieces * 1800)
    for j in range(pieces):
        begin = 1800 * j + 1 + j
        rows["AY"][begin - 1:begin + 901] = [-1000] + [1000] * 900 + [-1000]
    path = tmp_path / "runs.qvx"
    path.write_bytes(recording(rows))
    got = quality(path, frames=200)
    assert got["stuck"] == pieces * 900
    assert_figures(got, expected(quendix.read(path).samples))


@pytest.mark.parametrize("dead, runs, lying_still", [("AX", "AY", False), ("GZ", "GZ", False),
                                                    (None, "GX", False), ("AX", "GY", True)])
def test_the_state_carried_stays_small(dead, runs, lying_still):
    # One axis holding one value for the whole recording (a dead axis) keeps
    # every row from the first open to a later stuck run; beside it another
    # axis stuck for 900 rows in every 1800, or the dead axis itself
    # alternating between two values; and a sensor lying still, every
    # window of which adds to the calibration's sums.
    rng = np.random.default_rng(4)
    rows = moving(rng, 200 * 1800)
    if lying_still:
        still(rng, rows, 0, len(rows), (0, 0, 8192))
    if dead is not None:
        rows[dead] = 77
    for j in range(200):
        rows[runs][1800 * j + 400:1800 * j + 1300] = 5 + j % 2
    accumulator = Quality()
    carried = 0
    for start in range(0, len(rows), 9 * 150):
        part = rows[start:start + 9 * 150]
        fields = np.stack([part[name].view(np.uint16) for name in ("SEQNO",) + AXES])
        accumulator._fold(np.ascontiguousarray(fields), False)
        carried = max(carried, len(accumulator.pending), len(accumulator.gravity_parts),
                      len(accumulator.gyro_parts))
    accumulator.finish()
    assert carried <= len(AXES) + 10
    assert_figures(accumulator.counts(), expected(rows))
    assert accumulator.counts()["still_windows"] == (400 if lying_still else 0)


@pytest.mark.parametrize("thresholds, verdict", [
    ({}, None),
    ({"clipped": 0.02, "stuck": 3000, "seq_lost": None, "seq_repeats": 1, "seq_backward": None,
      "duplicate_frames": 4, "gravity_error": 26}, ""),
    ({"clipped": 0.015, "stuck": None, "seq_lost": None, "seq_repeats": None, "seq_backward": None,
      "duplicate_frames": None, "gravity_error": 0}, "gravity_error 25."),
    ({"clipped": 0.01, "stuck": None, "seq_lost": None, "seq_repeats": None, "seq_backward": None,
      "duplicate_frames": None, "gravity_error": None}, "clipped 1.16% > 1%"),
    ({"no_samples": 3780, "clipped": None, "stuck": None, "seq_lost": None, "seq_repeats": None,
      "seq_backward": None, "duplicate_frames": None, "gravity_error": None}, "samples 3780 <= 3780"),
    ({"no_samples": 3779, "clipped": None, "stuck": None, "seq_lost": None, "seq_repeats": None,
      "seq_backward": None, "duplicate_frames": None, "gravity_error": None}, ""),
])
def test_limits_decide_the_verdict(recordings, thresholds, verdict):
    path = recordings[1]["all together"]
    got = quality(path, thresholds=thresholds)
    figures = expected(quendix.read(path).samples)
    if verdict is None:
        # The default limits: every check fails, but the one for rows and the
        # calibration's, whose columns are not asked for.
        assert [part.split()[0] for part in got["quality"].split("; ")] == [
            name for name in quendix.THRESHOLDS if name in quendix.QUALITY_COLUMNS]
        assert "; stuck %d > 0; " % figures["stuck"] in got["quality"]
    else:
        assert got["quality"].startswith(verdict) and (verdict or got["quality"] == "")
        assert ";" not in got["quality"]
    with pytest.raises(KeyError):
        quality(path, thresholds={"clipping": 1})
    # A limit that is not a number of 0 or more would pass or fail every
    # recording without a word.
    for bad in (float("nan"), -1, -1e-9):
        with pytest.raises(ValueError, match="0 or more"):
            quality(path, thresholds={"stuck": bad})
        with pytest.raises(ValueError, match="0 or more"):
            quendix.summary(path, quality=True, thresholds={"clipped": bad})
    with pytest.raises(TypeError):
        quality(path, thresholds={"stuck": "many"})


def test_summary_has_the_quality_of_each_file(recordings, tmp_path):
    directory, made = recordings
    (directory / "gone.qvx").symlink_to("nowhere")
    try:
        done = []
        table = quendix.summary(directory, quality=True, thresholds={"gravity_error": 30},
                                progress=lambda: done.append(1))
    finally:
        (directory / "gone.qvx").unlink()
    assert list(table.columns) == list(quendix.SUMMARY_COLUMNS + quendix.QUALITY_COLUMNS)
    assert len(done) == len(table) == len(made) + 1
    assert str(table["stuck"].dtype) == "Int64" and str(table["gravity_error"].dtype) == "float64"
    rows = {os.path.basename(p): row for p, row in zip(table["path"], table.to_dict("records"))}
    for name, path in made.items():
        row = rows[path.name]
        assert row["samples"] == len(quendix.read(path).samples)
        assert_figures(row, expected(quendix.read(path).samples))
        assert row["quality"] == quality(path, thresholds={"gravity_error": 30})["quality"]
    assert rows["still.qvx"]["quality"] == ""
    # An unreadable file has no figures; an empty one fails for that.
    assert rows["gone.qvx"]["error"] and all(pandas.isna(rows["gone.qvx"][c]) for c in quendix.QUALITY_COLUMNS)
    assert rows["empty.qvx"]["stuck"] == 0 and rows["empty.qvx"]["quality"] == "no samples"


def run(*args):
    return run_quendix(*args, text=True)


@pytest.mark.parametrize("names, options, status, message", [
    (["clean", "stuck 899", "barely moving"], [], 0, ""),
    (["clean", "stuck 900"], [], 1, "1 of 2 recordings fail a quality check"),
    (["clean", "stuck 900"], ["--threshold", "stuck=1100"], 0, ""),
    (["still", "all together"], ["--threshold", "stuck=off"], 1, "1 of 2 recordings fail a quality check"),
    (["sequence", "clipped", "stuck 900"], ["--threshold", "stuck=off", "--threshold", "seq_lost=7",
                                            "--threshold", "seq_repeats=off", "--threshold", "seq_backward=off"],
     1, "1 of 3 recordings fail a quality check"),
    (["clean", "empty", "still"], [], 1,
     "1 of 3 recordings hold no samples\npython -m quendix: 1 of 3 recordings fail a quality check"),
    (["clean", "empty"], ["--threshold", "no_samples=off"], 0, "1 of 2 recordings hold no samples"),
])
def test_command_line_status_and_table(recordings, names, options, status, message):
    paths = [recordings[1][name] for name in names]
    done = run("summary", "--quality", *options, *paths)
    assert done.returncode == status, done.stderr
    assert done.stderr == ("" if not message else "python -m quendix: %s\n" % message)
    lines = done.stdout.splitlines()
    assert lines[0].split()[-len(quendix.QUALITY_COLUMNS):] == list(quendix.QUALITY_COLUMNS)
    limits = {o.split("=")[0]: (None if o.split("=")[1] == "off" else float(o.split("=")[1]))
              for o in options[1::2]}
    for line, path in zip(lines[1:], paths):
        want = quality(path, thresholds=limits)
        assert line.startswith(str(path))
        # The counts, no error, the quality's counts, its figures, its verdict.
        figures = line[len(str(path)):].split(None, 22)
        assert figures[12:20] == [str(want[c]) for c in quendix.QUALITY_COLUMNS[:8]]
        assert figures[20:22] == ["-" if np.isnan(want[c]) else "%.3f" % want[c]
                                  for c in ("gravity_error", "gyro_offset")]
        assert figures[22:] == ([want["quality"]] if want["quality"] else [])


def test_the_strip_marks_where_the_events_are(recordings):
    path = recordings[1]["all together"]
    samples = quendix.read(path).samples
    envelope = Envelope(len(samples), 500)
    accumulator = Quality()
    for piece in quendix.read_chunks(path, frames=7):
        envelope.add_events(accumulator.add(piece))
    envelope.add_events(accumulator.finish())
    axes = np.stack([samples[a].astype(np.int64) for a in AXES])
    rows = np.arange(len(samples))
    flags = {"clipped": ((axes == -32768) | (axes == 32767)).any(axis=0),
             "seq_breaks": np.r_[False, np.diff(samples["SEQNO"].astype(np.int64)) % 65536 != 1]}
    stored = np.stack([samples[f] for f in ("SEQNO",) + AXES], axis=1).reshape(-1, 63)
    flags["duplicate_frames"] = np.repeat(np.r_[False, (stored[1:] == stored[:-1]).all(axis=1)], 9) & (rows % 9 == 0)
    stuck = np.zeros(len(samples), bool)
    for values in axes:
        run_ = np.cumsum(np.r_[True, values[1:] != values[:-1]]) - 1
        stuck |= np.bincount(run_)[run_] >= 900
    flags["stuck"] = stuck
    for kind, flag in flags.items():
        columns = np.zeros(500, bool)
        columns[envelope.column_of(rows[flag])] = True
        assert np.array_equal(envelope.marks[kind] > 0, columns), kind
        assert columns.any(), kind
