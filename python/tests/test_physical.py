"""Physical units, the time line, the fill policies and the calibration
against a computation written here from their definitions, row by row or
whole-array: on recordings made frame by frame with gaps, repeats,
backward steps, frames without the marker and counter wraps, and on a
sensor laid still in many orientations with a known offset and scale; the
same bit for bit at every small piece size, on a process pool and on a
Dask cluster."""

import concurrent.futures
import json
import warnings
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix.calibration import fit
from quendix.quality import Quality
from quendix_testing import CORNERS, EDGES, FACES, RAW_SAMPLE, erased_frame, frames, run_quendix, still_rows

pandas = pytest.importorskip("pandas")

AXES = ("AX", "AY", "AZ", "GX", "GY", "GZ")
OFFSET = (0.031, -0.024, 0.047)
SCALE = (1.021, 0.968, 1.012)


def write(path, rows, missing=()):
    """Writes the rows (RAW_SAMPLE, nine a frame) as a recording, its
    positions in step, with a frame without the marker before each valid
    frame of `missing`; returns the path."""
    count = len(rows) // 9
    valid = frames([(1 + i // 512 % 510, i % 512) for i in range(count)], rows)
    parts = []
    for i in range(count):
        if i in missing:
            parts.append(erased_frame())
        parts.append(valid[i * 132:(i + 1) * 132])
    Path(path).write_bytes(b"".join(parts))
    return path


def counter(first, steps):
    """SEQNO values from `first`, each next one `steps[i]` on, mod 65536."""
    return (first + np.concatenate(([0], np.cumsum(steps)))) & 0xFFFF


def moving_rows(rng, seqno):
    rows = np.zeros(len(seqno), RAW_SAMPLE)
    rows["SEQNO"] = seqno
    for name in AXES:
        rows[name] = rng.integers(-32768, 32768, len(rows))
    return rows


# --- the time line, from its definition, row by row --------------------------------------------

def expected_time_line(seqno):
    tick, lost, fault = [0], [0], [False]
    for previous, current in zip(seqno[:-1], seqno[1:]):
        d = (int(current) - int(previous)) % 65536
        tick.append(tick[-1] + (d if 1 <= d <= 32767 else 1))
        lost.append(d - 1 if 2 <= d <= 32767 else 0)
        fault.append(d == 0 or d >= 32768)
    return np.array(tick), np.array(lost), np.array(fault)


# The counter's steps of each recording: 1 but where a table row says.
TIME_LINES = {
    "gaps": {3: 2, 40: 100, 41: 5, 900: 32767, 1300: 2},
    "repeats and backward": {5: 0, 6: 0, 77: 65535, 500: 40000, 501: 32768, 502: 32767},
    "wraps": {10: 65000, 20: 536, 1000: 65535},
    "random": None,
}


@pytest.fixture(scope="module")
def time_lines(tmp_path_factory):
    directory = tmp_path_factory.mktemp("time_lines")
    made = {}
    rng = np.random.default_rng(32)
    for name, changes in TIME_LINES.items():
        count = 1800
        if changes is None:
            steps = rng.choice([1] * 30 + [0, 2, 3, 9, 32767, 32768, 65535, 40000], count - 1)
        else:
            steps = np.ones(count - 1, np.int64)
            for row, step in changes.items():
                steps[row - 1] = step
        rows = moving_rows(rng, counter(65530, steps))
        made[name] = write(directory / (name.replace(" ", "_") + ".qvx"), rows, missing=(0, 7, 8, 150, 199))
    return made


@pytest.mark.parametrize("name", list(TIME_LINES))
def test_the_time_line_and_the_units_are_the_definitions(time_lines, name):
    path = time_lines[name]
    recording = quendix.read(path)
    samples = recording.samples
    got = recording.to_physical(rate=64)
    tick, lost, fault = expected_time_line(samples["SEQNO"])
    assert list(got.columns) == ["tick", "time", *AXES, "lost_before", "seq_fault"]
    assert np.array_equal(got["tick"], tick) and np.array_equal(got["lost_before"], lost)
    assert np.array_equal(got["seq_fault"], fault)
    assert np.array_equal(got["time"], tick / 64.0)
    for name_ in AXES[:3]:
        assert np.array_equal(got[name_], samples[name_] / 8192.0)
    for name_ in AXES[3:]:
        assert np.array_equal(got[name_], samples[name_] / 65.536)
    assert got["tick"].dtype == np.int64 and all(got[a].dtype == np.float64 for a in AXES)
    assert got.attrs["rate"] == 64.0 and got.attrs["fill"] is None
    # Every lost sample counted: the quality's count of them.
    assert got["lost_before"].sum() == quendix.summary(path, quality=True)["seq_lost"][0]
    assert "time" not in recording.to_physical().columns


POLICIES = [None, "nan", "hold", "linear"]


@pytest.mark.parametrize("name", list(TIME_LINES))
def test_every_piece_carries_the_time_line_on(time_lines, name):
    path = time_lines[name]
    for fill in (None, "linear"):  # the others at a few sizes below
        whole = quendix.read(path).to_physical(rate=10, fill=fill)
        for size in range(1, 11):
            pieces = [piece.to_physical(rate=10, fill=fill) for piece in quendix.read_chunks(path, frames=size)]
            pandas.testing.assert_frame_equal(pandas.concat(pieces, ignore_index=True), whole, check_exact=True)


# --- the fill policies, from their definitions, tick by tick ---------------------------------

def expected_fill(tick, values, policy):
    """The ticks, values (a list of rows) and filled flags of every tick
    from the first row's to the last's."""
    at = {int(t): i for i, t in enumerate(tick)}
    out_tick, out_values, filled = [], [], []
    previous = following = None
    for t in range(int(tick[0]), int(tick[-1]) + 1):
        out_tick.append(t)
        if t in at:
            previous, following = at[t], None
            out_values.append(values[previous])
            filled.append(False)
            continue
        filled.append(True)
        if policy == "nan":
            out_values.append([np.nan] * 6)
        elif policy == "hold":
            out_values.append(values[previous])
        else:
            # The same row for every tick of one gap.
            if following is None:
                following = min(i for u, i in at.items() if u > t)
            t0, t1 = int(tick[previous]), int(tick[following])
            out_values.append([a + (b - a) * (t - t0) / (t1 - t0)
                               for a, b in zip(values[previous], values[following])])
    return np.array(out_tick), np.array(out_values), np.array(filled)


# Where the gaps are: after the first row, in the middle, before the last
# row, and next to the counter's wrap (from 65533 on); with a repeat and a
# step back, which add no row.
GAPS = {"start": {1: 4}, "middle": {300: 9, 301: 0, 500: 65535}, "end": {-1: 7},
        "wrap": {2: 6, 4: 65534, 8: 3}, "all": {1: 3, 100: 2, 101: 2, 200: 32767, -1: 5}}


@pytest.mark.parametrize("where", list(GAPS))
@pytest.mark.parametrize("policy", POLICIES[1:])
def test_each_fill_policy_on_each_gap(tmp_path, where, policy):
    count = 9 * 70
    steps = np.ones(count - 1, np.int64)
    for row, step in GAPS[where].items():
        steps[row - 1 if row > 0 else row] = step
    rng = np.random.default_rng(7)
    rows = moving_rows(rng, counter(65533 if where == "wrap" else 100, steps))
    path = write(tmp_path / "gaps.qvx", rows, missing=(3, 40))
    recording = quendix.read(path)
    got = recording.to_physical(fill=policy, rate=8)
    tick, _, _ = expected_time_line(recording.samples["SEQNO"])
    values = np.stack([recording.samples[a] / (8192.0 if a[0] == "A" else 65.536) for a in AXES], axis=1)
    want_tick, want_values, want_filled = expected_fill(tick, values.tolist(), policy)
    assert want_filled.any()
    assert np.array_equal(got["tick"], want_tick) and np.array_equal(got["filled"], want_filled)
    assert np.array_equal(got["time"], want_tick / 8.0)
    got_values = got[list(AXES)].to_numpy()
    if policy == "linear":
        np.testing.assert_allclose(got_values, want_values, rtol=1e-13, atol=1e-13)
    else:
        np.testing.assert_array_equal(got_values, want_values)
    recorded = ~got["filled"].to_numpy()
    plain = recording.to_physical(rate=8)
    assert np.array_equal(got["lost_before"][recorded], plain["lost_before"])
    assert np.array_equal(got["seq_fault"][recorded], plain["seq_fault"])
    assert (got["lost_before"][~recorded] == 0).all() and not got["seq_fault"][~recorded].any()
    assert got.attrs["fill"] == policy
    # Cut anywhere, the pieces hold the same rows.
    for size in (1, 2, 3, 7):
        pieces = [piece.to_physical(fill=policy, rate=8) for piece in quendix.read_chunks(path, frames=size)]
        pandas.testing.assert_frame_equal(pandas.concat(pieces, ignore_index=True), got, check_exact=True)


@pytest.mark.parametrize("arguments, error", [
    ({"fill": "zeros"}, ValueError), ({"rate": 0}, ValueError), ({"rate": -5}, ValueError),
    ({"rate": float("nan")}, ValueError), ({"calibration": "yes"}, TypeError),
])
def test_wrong_arguments_are_refused(arguments, error):
    with pytest.raises(error):
        quendix.read(Path(__file__).parents[2] / "examples" / "morning.qvx").to_physical(**arguments)


# --- the calibration, from its definitions -----------------------------------------------------

def expected_windows(samples):
    """The accelerometer's mean (g) and the gyroscope's mean (degrees per
    second) of each still window, from the standard deviations."""
    axes = np.stack([samples[a].astype(np.float64) for a in AXES])
    count = axes.shape[1] // 900
    windows = axes[:, :count * 900].reshape(6, count, 900)
    still = (windows[:3].std(axis=2) < 0.013 * 8192).all(axis=0)
    means = windows[:, still].mean(axis=2).T
    return means[:, :3] / 8192, means[:, 3:] / 65.536


def expected_fit(points):
    """Offset and scale by iteratively reweighted least squares, each axis
    towards the closest points on the unit sphere, solved with lstsq."""
    offset, scale, weights = np.zeros(3), np.ones(3), np.ones(len(points))
    for _ in range(1000):
        calibrated = (points - offset) * scale
        closest = calibrated / np.linalg.norm(calibrated, axis=1, keepdims=True)
        new_offset, new_scale = np.empty(3), np.empty(3)
        root = np.sqrt(weights)
        for axis in range(3):
            design = np.stack([np.ones(len(points)), points[:, axis]], axis=1) * root[:, None]
            (intercept, slope), *_ = np.linalg.lstsq(design, closest[:, axis] * root, rcond=None)
            new_offset[axis], new_scale[axis] = -intercept / slope, slope
        residual = np.linalg.norm((points - new_offset) * new_scale - closest, axis=1)
        weights = np.minimum(1 / residual, 100)
        change = max(np.abs(new_offset - offset).max(), np.abs(new_scale - scale).max())
        offset, scale = new_offset, new_scale
        if change < 1e-10:
            break
    return offset, scale


def error_of(points):
    return 1000 * np.mean(np.abs(np.linalg.norm(points, axis=1) - 1))


# The sensors: laid in which orientations, with which offset and scale,
# and what the calibration says of them.
SENSORS = {
    "many orientations": (FACES + CORNERS + EDGES, OFFSET, SCALE, ""),
    "noisy": (FACES + CORNERS, (-0.05, 0.02, 0.0), (0.95, 1.04, 1.0), ""),
    "too few": (FACES[:4], OFFSET, SCALE, "too few points: %d still windows, at least 10 needed"),
    "no Z": (FACES[:4] * 3, OFFSET, SCALE,
             "orientations not covered: no point below -0.3 g on AZ, no point above +0.3 g on AZ"),
    "upwards only": ([v for v in CORNERS + EDGES if v[2] > 0] + FACES[:4] + [FACES[4]], OFFSET, SCALE,
                     "orientations not covered: no point below -0.3 g on AZ"),
}


@pytest.fixture(scope="module")
def sensors(tmp_path_factory):
    directory = tmp_path_factory.mktemp("sensors")
    made = {}
    for n, (name, (orientations, offset, scale, _)) in enumerate(SENSORS.items()):
        rng = np.random.default_rng(100 + n)
        rows = still_rows(rng, orientations, offset, scale, noise=60 if name == "noisy" else 20,
                          first_seqno=65000)
        made[name] = write(directory / (name.replace(" ", "_") + ".qvx"), rows, missing=(5, 333))
    # Gravity read 4% high in one half of the orientations and 4% low in
    # the other: no offset and scale make it right.
    rng = np.random.default_rng(99)
    parts = [still_rows(rng, [v * (1.04 if i % 2 else 0.96)], (0, 0, 0), (1, 1, 1))
             for i, v in enumerate(FACES + CORNERS)]
    rows = np.concatenate(parts)
    rows["SEQNO"] = np.arange(len(rows)) & 0xFFFF
    made["distorted"] = write(directory / "distorted.qvx", rows)
    return directory, made


@pytest.mark.parametrize("name", list(SENSORS))
def test_calibration_is_the_definitions(sensors, name):
    path = sensors[1][name]
    orientations, offset, scale, reason = SENSORS[name]
    got = quendix.calibrate(path)
    points, gyro = expected_windows(quendix.read(path).samples)
    assert got.points == len(points) > 0
    assert got.error_before == pytest.approx(error_of(points), rel=1e-12)
    assert got.gyro_bias == pytest.approx(tuple(gyro.mean(axis=0)), rel=1e-12)
    # The gyroscope read its bias of 100, -40, 20 counts, with noise.
    assert np.allclose(got.gyro_bias, np.array([100, -40, 20]) / 65.536, atol=0.01)
    if reason:
        assert got.reason == (reason % len(points) if "%d" in reason else reason)
        assert not got.applied and got.offset == (0, 0, 0) and got.scale == (1, 1, 1)
        assert got.error_after == got.error_before
        return
    assert got.applied and got.reason == ""
    want_offset, want_scale = expected_fit(points)
    np.testing.assert_allclose(got.offset, want_offset, rtol=0, atol=1e-9)
    np.testing.assert_allclose(got.scale, want_scale, rtol=0, atol=1e-9)
    assert got.error_after == pytest.approx(error_of((points - want_offset) * want_scale), abs=1e-6)
    # The sensor's own offset and scale, to within 0.5 mg and 0.05%.
    np.testing.assert_allclose(got.offset, offset, rtol=0, atol=5e-4)
    np.testing.assert_allclose(got.scale, scale, rtol=0, atol=5e-4)
    assert got.error_before > 10 and got.error_after < 1


def test_a_calibration_that_cannot_help_is_not_applied(sensors):
    got = quendix.calibrate(sensors[1]["distorted"])
    points, _ = expected_windows(quendix.read(sensors[1]["distorted"]).samples)
    assert got.points == len(points) and not got.applied
    assert got.error_after >= 10
    assert got.reason.startswith(("no improvement: error after ", "error after %.1f mg, not below 10 mg"
                                  % got.error_after))


def bits(calibration):
    return np.array(calibration.offset + calibration.scale + calibration.gyro_bias
                    + (calibration.error_before, calibration.error_after)).tobytes()


def test_the_same_coefficients_for_every_piece_size(sensors):
    path = sensors[1]["noisy"]
    whole = quendix.calibrate(path)
    assert whole.applied
    for size in range(1, 11):
        assert bits(quendix.calibrate(path, frames=size)) == bits(whole), size
        accumulator = Quality(keep_still_sums=True)
        for piece in quendix.read_chunks(path, frames=size):
            accumulator.add(piece)
        assert bits(fit(*accumulator.still_window_sums())) == bits(whole), size
    recording = quendix.read(path)
    assert bits(recording.to_physical(calibration=True).attrs["calibration"]) == bits(whole)


def test_the_same_coefficients_and_table_on_a_pool_and_a_cluster(sensors, cluster):
    directory, made = sensors
    serial = quendix.summary(directory, quality=True, calibration=True)
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        pooled = quendix.summary(directory, executor=executor, quality=True, calibration=True)
        pool_fits = list(executor.map(quendix.calibrate, [str(p) for p in made.values()]))
    on_cluster = quendix.summary(directory, executor=cluster.get_executor(), quality=True, calibration=True)
    pandas.testing.assert_frame_equal(pooled, serial, check_exact=True)
    pandas.testing.assert_frame_equal(on_cluster, serial, check_exact=True)
    cluster_fits = cluster.gather(cluster.map(quendix.calibrate, [str(p) for p in made.values()]))
    for path, pooled_fit, cluster_fit in zip(made.values(), pool_fits, cluster_fits):
        here = quendix.calibrate(path)
        assert bits(pooled_fit) == bits(here) and bits(cluster_fit) == bits(here)
        assert pooled_fit.reason == here.reason


def test_the_summary_has_each_calibration_and_checks_it(sensors):
    directory, made = sensors
    table = quendix.summary(directory, quality=True, calibration=True)
    assert list(table.columns) == list(quendix.SUMMARY_COLUMNS + quendix.QUALITY_COLUMNS
                                       + quendix.CALIBRATION_COLUMNS)
    assert str(table["calibrated"].dtype) == "boolean" and str(table["calibration_points"].dtype) == "Int64"
    for row in table.to_dict("records"):
        want = quendix.calibrate(row["path"])
        assert (row["calibration_points"], row["calibrated"], row["calibration_reason"]) == (
            want.points, want.applied, want.reason)
        assert np.array([row["calibration_error_before"], row["calibration_error_after"]]).tobytes() == \
            np.array([want.error_before, want.error_after]).tobytes()
        failed = "calibration error after above 10 mg" in row["quality"]
        assert failed == (want.error_after > 10), row["path"]
    # Those calibrated pass; those where none could be fitted are left
    # with their error before, above 10 mg, and the distorted one too.
    failing = {Path(p).stem for p, q in zip(table["path"], table["quality"]) if "calibration error" in q}
    assert failing == {"distorted", "too_few", "no_Z", "upwards_only"}
    relaxed = quendix.summary(made["distorted"], quality=True, calibration=True,
                              thresholds={"calibration_error_after": 60, "gravity_error": None})
    assert relaxed["quality"][0] == ""
    # Without the calibration columns there is nothing to check; without
    # the quality, no verdict.
    assert "calibration" not in quendix.summary(made["distorted"], quality=True)["quality"][0]
    alone = quendix.summary(made["distorted"], calibration=True)
    assert list(alone.columns) == list(quendix.SUMMARY_COLUMNS + quendix.CALIBRATION_COLUMNS)


def test_applying_a_calibration(sensors):
    made = sensors[1]
    own = quendix.calibrate(made["many orientations"])
    other = quendix.read(made["noisy"])
    # Another recording's calibration, applied as the model says.
    got = other.to_physical(calibration=own)
    for axis, name in enumerate(AXES[:3]):
        assert np.array_equal(got[name], (other.samples[name] / 8192 - own.offset[axis]) * own.scale[axis])
    for name in AXES[3:]:
        assert np.array_equal(got[name], other.samples[name] / 65.536)
    assert got.attrs["calibration"] == own
    # The gyroscope's bias, when asked: the calibration's, or the recording's own.
    biased = other.to_physical(calibration=own, gyro_bias=True)
    for axis, name in enumerate(AXES[3:]):
        assert np.array_equal(biased[name], other.samples[name] / 65.536 - own.gyro_bias[axis])
    alone = other.to_physical(gyro_bias=True)
    _, gyro = expected_windows(other.samples)
    assert np.allclose(alone["GX"], other.samples["GX"] / 65.536 - gyro[:, 0].mean(), rtol=0, atol=1e-12)
    assert np.array_equal(alone["AX"], other.samples["AX"] / 8192)
    # One that was not applied changes nothing, and says why.
    refused = quendix.calibrate(made["no Z"])
    plain = other.to_physical()
    with pytest.warns(UserWarning, match="calibration not applied: orientations not covered"):
        pandas.testing.assert_frame_equal(other.to_physical(calibration=refused), plain, check_exact=True)
    with pytest.warns(UserWarning, match="calibration not applied: too few points"):
        quendix.read(made["too few"]).to_physical(calibration=True)
    # A piece is part of its recording: its calibration is fitted whole.
    piece = next(quendix.read_chunks(made["noisy"], frames=100))
    with pytest.raises(ValueError, match="quendix.calibrate"):
        piece.to_physical(calibration=True)
    # Through JSON and back, the same calibration.
    assert quendix.Calibration.from_dict(json.loads(json.dumps(own.to_dict()))) == own


def test_to_dask_gives_the_physical_columns(sensors, cluster):
    made = sensors[1]
    paths = [str(made["many orientations"]), str(made["too few"])]
    samples = quendix.to_dask(paths, frames=700, rate=100, calibration=True)
    assert list(samples.columns) == ["path", "frame", "tick", "time", *AXES, "lost_before", "seq_fault"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = cluster.compute(samples).result().reset_index(drop=True)
        parts = []
        for path in paths:
            recording = quendix.read(path)
            part = recording.to_physical(rate=100, calibration=True)
            part.insert(0, "frame", np.repeat(np.flatnonzero(recording.frames["valid"]), 9))
            parts.append(part)
    want = pandas.concat(parts, ignore_index=True)
    assert got["path"].astype(str).tolist() == [p for p in paths for _ in range(len(quendix.read(p).samples))]
    pandas.testing.assert_frame_equal(got.drop(columns="path"), want, check_exact=True)
    # A calibration of another recording, for all of them, without a rate.
    own = quendix.calibrate(made["many orientations"])
    plain = quendix.to_dask(paths, frames=700, calibration=own).compute()
    assert "time" not in plain.columns
    assert np.array_equal(plain["AX"], np.concatenate([
        (quendix.read(p).samples["AX"] / 8192 - own.offset[0]) * own.scale[0] for p in paths]))


def run(*args):
    return run_quendix(*args, text=True)


def test_the_calibrate_command(sensors):
    made = sensors[1]
    good = made["many orientations"]
    done = run("calibrate", "--json", good)
    assert done.returncode == 0 and done.stderr == ""
    assert json.loads(done.stdout) == dict(recording=str(good), **quendix.calibrate(good).to_dict())
    done = run("calibrate", good)
    want = quendix.calibrate(good)
    lines = done.stdout.splitlines()
    assert lines[0] == "recording: %s" % good and lines[-1] == "applied: yes"
    assert lines[2] == "offset: %s g" % "  ".join("%.6f" % v for v in want.offset)
    assert lines[6] == "error_after: %.3f mg" % want.error_after
    done = run("calibrate", made["no Z"])
    assert done.returncode == 1
    assert done.stderr == "python -m quendix: %s: calibration not applied: %s\n" % (
        made["no Z"], quendix.calibrate(made["no Z"]).reason)
    assert run("calibrate", made["no Z"].with_name("gone.qvx")).returncode == 1
    done = run("summary", "--quality", "--calibration", good, made["distorted"])
    assert done.returncode == 1
    assert done.stdout.splitlines()[0].split()[-len(quendix.CALIBRATION_COLUMNS):] == list(quendix.CALIBRATION_COLUMNS)
    assert "calibration error after above 10 mg" in done.stdout.splitlines()[2]
    done = run("summary", "--quality", "--calibration", "--threshold", "calibration_error_after=off",
               "--threshold", "gravity_error=off", good, made["distorted"])
    assert done.returncode == 0, done.stderr
