"""python -m quendix end to end: the summary table and its CSV, serially,
with a process pool and on a Dask cluster, the quick look, and wrong
arguments; and the quick look's envelope against every sample."""

import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix.quicklook import PANELS, Envelope
from quendix_testing import REPO, erased_frame, frames, program, run_quendix

pandas = pytest.importorskip("pandas")


def run(*args, cwd=None):
    return run_quendix(*args, cwd=cwd, text=True)


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    directory = tmp_path_factory.mktemp("cli")
    generator = program("QUENDIX_GEN", "quendix-gen")
    for name, options in (("a/one.qvx", ["--missing-every", "50"]), ("a/two.qvx", ["--jump-every", "700"]),
                          ("b/three.qvx", ["--fragment", "20"])):
        (directory / name).parent.mkdir(exist_ok=True)
        subprocess.run([str(generator), "--frames", "2000", str(directory / name)] + options, check=True)
    return directory


def test_summary_table_and_csv(campaign, tmp_path):
    done = run("summary", "-e", "100", "-o", tmp_path / "table.csv", campaign)
    assert done.returncode == 0 and done.stderr == ""
    table = quendix.summary(campaign, 100)
    lines = done.stdout.splitlines()
    assert lines[0].split() == list(quendix.SUMMARY_COLUMNS)[:-1] + ["error"]
    assert len(lines) == 1 + len(table)
    for line, row in zip(lines[1:], table.itertuples(index=False)):
        assert line.split() == [str(v) for v in row[:-1]]
    # The columns line up: every field ends where its heading does.
    ends = [lines[0].index(name) + len(name) for name in ("bytes", "fragment")]
    assert all(line[end - 1] != " " and line[end:end + 1] in (" ", "") for line in lines for end in ends)
    written = pandas.read_csv(tmp_path / "table.csv", keep_default_na=False, dtype={"error": str})
    assert written.astype(str).values.tolist() == table.astype(str).values.tolist()
    assert os.listdir(tmp_path) == ["table.csv"]


def test_summary_with_jobs_and_on_a_cluster(campaign, dask_cluster):
    serial = run("summary", campaign)
    assert serial.returncode == 0
    assert run("summary", "-j", "2", campaign).stdout == serial.stdout
    on_cluster = run("summary", "--scheduler", dask_cluster.scheduler_address, campaign)
    assert on_cluster.returncode == 0, on_cluster.stderr
    assert on_cluster.stdout == serial.stdout


def test_summary_of_what_cannot_be_read(tmp_path):
    (tmp_path / "good.qvx").write_bytes(frames([(1, 0)]) + erased_frame())
    done = run("summary", tmp_path / "good.qvx", tmp_path / "gone.qvx")
    assert done.returncode == 1
    assert done.stderr == "python -m quendix: 1 of 2 recordings could not be read\n"
    last = done.stdout.splitlines()[-1]
    assert last.startswith(str(tmp_path / "gone.qvx")) and last.endswith("No such file or directory")
    assert last.split()[1:13] == ["-"] * 12


@pytest.mark.parametrize("options", [["--quality"], []])
def test_columns_and_failing_rows(campaign, tmp_path, options):
    # An empty recording and one that cannot be read beside the campaign.
    (tmp_path / "empty.qvx").write_bytes(b"")
    sources = [campaign, tmp_path / "empty.qvx", tmp_path / "gone.qvx"]
    done = run("summary", *options, "--failing", "--columns", "samples,path,error", "-o", tmp_path / "t.csv",
               *sources)
    table = quendix.summary(sources, quality=bool(options))
    failing = table["error"] != ""
    messages = ["1 of 5 recordings could not be read", "1 of 5 recordings hold no samples"]
    if options:
        failing |= table["quality"].fillna("") != ""
        messages.append("%d of 5 recordings fail a quality check" % (table["quality"].fillna("") != "").sum())
    assert done.returncode == 1
    assert done.stderr == "".join("python -m quendix: %s\n" % m for m in messages)
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["samples", "path", "error"]
    assert [line.split()[1] for line in lines[1:]] == list(table["path"][failing].astype(str))
    assert "empty.qvx" in lines[-2] if options else all("empty.qvx" not in line for line in lines)
    # The file gets the whole table.
    written = pandas.read_csv(tmp_path / "t.csv", keep_default_na=False, dtype={"error": str, "quality": str})
    assert list(written.columns) == list(table.columns) and len(written) == 5
    # On standard output, the CSV has those rows and columns alone.
    done = run("summary", *options, "--failing", "--columns", "path,error", "-o", "-", *sources)
    assert done.stdout.splitlines()[0] == "path,error"
    assert len(done.stdout.splitlines()) == 1 + int(failing.sum())


# tqdm failing in each of its uses, the error it raises, and the line that
# says the bar is off.
BROKEN_TQDM = [
    ("raise RuntimeError('no terminal')", "RuntimeError: no terminal"),
    ("def tqdm(**options):\n    raise ValueError", "ValueError"),
    ("class tqdm:\n    def __init__(self, **options):\n        pass\n"
     "    def update(self):\n        raise OSError(5, 'Input/output error')\n"
     "    def close(self):\n        pass", "OSError: [Errno 5] Input/output error"),
    ("class tqdm:\n    def __init__(self, **options):\n        pass\n"
     "    def update(self):\n        pass\n"
     "    def close(self):\n        raise AttributeError('closed')", "AttributeError: closed"),
]


@pytest.mark.parametrize("module, error", BROKEN_TQDM, ids=["import", "start", "update", "close"])
def test_a_failing_progress_bar_switches_itself_off(campaign, tmp_path, module, error):
    # Standard error on a terminal, where the bar is drawn, and a tqdm
    # that fails; the table and the exit status are those without a bar.
    (tmp_path / "tqdm").mkdir()
    (tmp_path / "tqdm" / "__init__.py").write_text(module + "\n")
    (tmp_path / "copies").mkdir()
    for name in ("a/one.qvx", "a/two.qvx", "b/three.qvx"):
        for copy in (1, 2):
            (tmp_path / "copies" / ("%d-%s" % (copy, name.replace("/", "-")))).write_bytes(
                (campaign / name).read_bytes())
    without = run("summary", "--quality", tmp_path / "copies")
    package_parent = str(Path(quendix.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), package_parent]))
    terminal, other_end = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-m", "quendix", "summary", "--quality", str(tmp_path / "copies")],
                              env=env, stdout=subprocess.PIPE, stderr=other_end, text=True, timeout=300)
        os.close(other_end)
        shown = b""
        while True:
            try:
                data = os.read(terminal, 65536)
            except OSError:  # the other end is closed: the terminal reads EIO
                break
            if not data:
                break
            shown += data
    finally:
        os.close(terminal)
    assert done.returncode == without.returncode and done.stdout == without.stdout
    assert shown.decode().split("\r\n") == (["python -m quendix: progress bar off: %s" % error]
                                             + without.stderr.split("\n"))


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["count", "x"], "invalid choice: 'count'"),
    (["summary"], "the following arguments are required: SOURCE"),
    (["summary", "-e", "0", "x"], "argument -e: 0 is not from 1 to 511"),
    (["summary", "-e", "512", "x"], "argument -e: 512 is not from 1 to 511"),
    (["summary", "-e", "5x", "x"], "argument -e: not a whole number: '5x'"),
    (["summary", "-e"], "argument -e: expected one argument"),
    (["summary", "-j", "0", "x"], "argument -j: 0 is not 1 or more"),
    (["summary", "-j", "2", "--scheduler", "tcp://h:1", "x"], "not allowed with argument -j"),
    (["summary", "--frames", "x"], "unrecognized arguments: --frames"),
    (["plot"], "the following arguments are required: RECORDING"),
    (["plot", "a.qvx", "b.qvx"], "unrecognized arguments: b.qvx"),
    (["summary", "--quality", "--threshold", "stuck=nan", "x"], "not a number of 0 or more, or off: 'nan'"),
    (["summary", "--quality", "--threshold", "clipped=-1", "x"], "not a number of 0 or more, or off: '-1'"),
    (["summary", "--quality", "--threshold", "no_samples=-0.5", "x"], "not a number of 0 or more, or off"),
    (["summary", "--columns", "path,gravity_error", "x"], "--columns: gravity_error not a column"),
    (["summary", "--columns", "path,,error", "x"], "not names separated by commas: 'path,,error'"),
    (["plot", "--rate", "0", "a.qvx"], "argument --rate: not a number of samples per second above 0: '0'"),
    (["plot", "--rate", "nan", "a.qvx"], "argument --rate: not a number of samples per second above 0"),
    (["plot", "--rate=-inf", "a.qvx"], "argument --rate: not a number of samples per second above 0"),
    (["plot", "--rate", "inf", "a.qvx"], "argument --rate: not a number of samples per second above 0"),
])
def test_wrong_arguments(tmp_path, args, message):
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == ""
    assert message in done.stderr and done.stderr.startswith("usage: python -m quendix")
    assert os.listdir(tmp_path) == []


def test_plot(tmp_path):
    pytest.importorskip("matplotlib")
    # The default picture goes beside its recording: two recordings of one
    # name each get their own. A name's "$" are drawn as they are.
    for directory, example in (("alpha", "afternoon.qvx"), ("$b^$", "morning.qvx")):
        (tmp_path / directory).mkdir()
        (tmp_path / directory / "day1.qvx").write_bytes((REPO / "examples" / example).read_bytes())
    for directory, samples in (("alpha", 216), ("$b^$", 540)):
        done = run("plot", Path(directory) / "day1.qvx", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "%s/day1.qvx: %d samples drawn to %s/day1.png\n" % (directory, samples, directory)
    pictures = [(tmp_path / d / "day1.png").read_bytes() for d in ("alpha", "$b^$")]
    assert all(p[:8] == b"\x89PNG\r\n\x1a\n" for p in pictures) and pictures[0] != pictures[1]
    done = run("plot", "-e", "3", "-o", tmp_path / "sub.png", REPO / "examples" / "morning.qvx")
    assert done.returncode == 0 and (tmp_path / "sub.png").stat().st_size > 10000
    assert sorted(os.listdir(tmp_path)) == ["$b^$", "alpha", "sub.png"]
    assert sorted(os.listdir(tmp_path / "alpha")) == ["day1.png", "day1.qvx"]


def test_plot_of_what_cannot_be_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    done = run("plot", tmp_path / "gone.qvx", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr == "python -m quendix: %s not drawn: No such file or directory\n" % (tmp_path / "gone.qvx")
    # The recording is never drawn over.
    recording = tmp_path / "r.png"
    recording.write_bytes(frames([(1, 0)]))
    done = run("plot", "-o", recording, recording)
    assert done.returncode == 2 and done.stderr.endswith("not written: one of the recordings read\n")
    assert recording.read_bytes() == frames([(1, 0)])
    done = run("plot", "-o", tmp_path / "nowhere" / "x.png", REPO / "examples" / "morning.qvx")
    assert done.returncode == 1 and done.stderr.endswith(
        "not drawn: No such file or directory (%s)\n" % (tmp_path / "nowhere" / "x.png"))
    assert os.listdir(tmp_path) == ["r.png"]


def brute_force_envelope(recording, columns):
    """Each panel's least and greatest value per column, and the columns
    with a gap, from every sample at once."""
    samples = recording.samples
    count = len(samples)
    column = np.arange(count) * columns // count
    valid = recording.frames["valid"]
    # The first sample of each valid frame right after one without the marker.
    rank = np.cumsum(valid) - 1
    after_gap = np.flatnonzero(valid[1:] & ~valid[:-1]) + 1
    gap_sample = 9 * rank[after_gap]
    joined = np.ones(count, bool)
    joined[0] = False
    joined[gap_sample] = False
    low = np.full((len(PANELS), columns), np.inf)
    high = np.full((len(PANELS), columns), -np.inf)
    for p, (field, _, _) in enumerate(PANELS):
        values = samples[field].astype(float)
        np.minimum.at(low[p], column, values)
        np.maximum.at(high[p], column, values)
        # A line from the sample before a column's first one enters it.
        first = np.flatnonzero(np.diff(column)) + 1
        first = first[joined[first]]
        np.minimum.at(low[p], column[first], values[first - 1])
        np.maximum.at(high[p], column[first], values[first - 1])
    gap = np.zeros(columns, bool)
    gap[column[gap_sample]] = True
    return low, high, gap


# Columns: at most one a sample; None is one for each sample.
@pytest.mark.parametrize("columns, piece", [(1, 5), (97, 1), (97, 13), (1000, 64), (None, 7)])
def test_envelope_is_every_samples(tmp_path, columns, piece):
    generator = program("QUENDIX_GEN", "quendix-gen")
    path = tmp_path / "a.qvx"
    subprocess.run([str(generator), "--frames", "993", "--missing-every", "31", "--jump-every", "200",
                    "--seed", "3", str(path)], check=True)
    data = bytearray(path.read_bytes())
    data[:132] = erased_frame()  # and no valid first frame
    data[500 * 132:503 * 132] = erased_frame() * 3
    path.write_bytes(bytes(data))
    whole = quendix.read(path)
    columns = columns or len(whole.samples)
    envelope = Envelope(len(whole.samples), columns)
    for part in quendix.read_chunks(path, frames=piece):
        envelope.add(part)
    low, high, gap = brute_force_envelope(whole, columns)
    assert np.array_equal(envelope.low, low) and np.array_equal(envelope.high, high)
    assert np.array_equal(envelope.gap, gap)
    # Every frame of the report is marked once, by its kind.
    frames_ = whole.frames
    assert envelope.marks["missing"].sum() == (~frames_["valid"]).sum()
    assert envelope.marks["different"].sum() == frames_["reported"][frames_["valid"]].sum()
    assert envelope.marks["start"].sum() == 0


def panel_boxes(image):
    """The inside of each panel of a quick look (the strip first), as
    (top, bottom, left, right) pixel bounds, found by their black frames."""
    dark = image[:, :, :3].max(axis=2) < 0.35
    rows = np.flatnonzero(dark.sum(axis=1) > 0.5 * image.shape[1])
    # The frames' horizontal sides: runs of such rows, two a panel.
    sides = np.split(rows, np.flatnonzero(np.diff(rows) > 1) + 1)
    boxes = []
    for top, bottom in zip(sides[0::2], sides[1::2]):
        middle = (top[-1] + bottom[0]) // 2
        columns = np.flatnonzero(dark[top[-1] + 1:bottom[0], :].all(axis=0))
        boxes.append((top[-1] + 1, bottom[0], columns.min() + 1, columns.max()))
        assert columns.max() - columns.min() > 0.5 * image.shape[1] and dark[middle, columns].all()
    return boxes


# A constant stretch of one axis: the whole recording (a dead axis), a
# clipped stretch and a stuck one in the middle.
@pytest.mark.parametrize("axis, value, start, stop", [("GY", 17, 0, None), ("AZ", 32767, 90000, 92000),
                                                      ("GY", -3, 60000, 63000), ("AX", 0, 0, None)])
def test_a_constant_stretch_is_drawn(tmp_path, axis, value, start, stop):
    image_module = pytest.importorskip("matplotlib.image")
    from quendix_testing import RAW_SAMPLE, recording_of

    rng = np.random.default_rng(5)
    rows = np.zeros(180000, RAW_SAMPLE)
    for name in ("AX", "AY", "AZ", "GX", "GY", "GZ"):
        rows[name] = rng.integers(-3000, 3000, len(rows))
    rows[axis][start:stop] = value
    path = tmp_path / "constant.qvx"
    path.write_bytes(recording_of(rows))
    done = run("plot", "--rate", "50", path)
    assert done.returncode == 0, done.stderr
    image = image_module.imread(tmp_path / "constant.png")
    boxes = panel_boxes(image)
    assert len(boxes) == 1 + len(PANELS)
    top, bottom, left, right = boxes[1 + [field for field, _, _ in PANELS].index(axis)]
    inside = image[top + 1:bottom - 1, left + 1:right - 1, :3]
    # Ink (anything not white) in every pixel column of the axis's panel.
    inked = (inside < 0.9).any(axis=2).any(axis=0)
    assert inked.all(), np.flatnonzero(~inked)
