"""Epochs, the still and non-wear flags, and the HDF5 export, against a
computation written here from their definitions on recordings whose time
line is known by construction: activity with a still stretch, a non-wear
stretch of two hours, a quiet stretch just too short to be non-wear, and
lost samples inside epochs; with and without a calibration; the same
table at every small piece size, on a pool and on a Dask cluster; the
export read back with h5py and with R."""

import concurrent.futures
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix.files import OutputRefused
from quendix_testing import (CORNERS, FACES, RAW_SAMPLE, erased_frame, frames, recording_of, run_quendix,
                             still_rows)

pandas = pytest.importorskip("pandas")

RATE = 10.0  # samples per second: a modest rate keeps two hours small
AXES = ("AX", "AY", "AZ", "GX", "GY", "GZ")
MINUTE = int(60 * RATE)


def stretch(rng, minutes, quiet, orientation=(0.0, 0.0, 1.0), noise=20):
    """Rows of `minutes` minutes: quiet (the sensor lying in
    `orientation`, normal noise of `noise` counts) or active (values far
    apart)."""
    rows = np.zeros(int(minutes * MINUTE), RAW_SAMPLE)
    for axis, name in enumerate(AXES[:3]):
        if quiet:
            rows[name] = np.rint(orientation[axis] * 8192 + rng.normal(0, noise, len(rows)))
        else:
            rows[name] = rng.integers(-16000, 16000, len(rows))
    for name in AXES[3:]:
        rows[name] = rng.integers(-30, 31, len(rows)) if quiet else rng.integers(-9000, 9000, len(rows))
    return rows


def write(path, rows, tick):
    """Writes the rows (padded to whole frames) at the ticks `tick` (their
    SEQNO the ticks mod 65536, each step below 32768); returns the ticks of
    the rows written."""
    count = -(-len(rows) // 9) * 9
    padded = np.zeros(count, RAW_SAMPLE)
    padded[:len(rows)] = rows
    tick = np.concatenate((tick, tick[-1] + 1 + np.arange(count - len(rows))))
    padded["SEQNO"] = tick & 0xFFFF
    positions = [(1 + i // 512 % 510, i % 512) for i in range(count // 9)]
    Path(path).write_bytes(frames(positions, padded))
    return padded, tick


def ticks_with_gaps(rng, count, gaps):
    """Ticks of `count` rows, one apart but `gaps` rows lost before each of
    `gaps` (row index -> samples lost)."""
    steps = np.ones(count, np.int64)
    steps[0] = 0
    for row, lost in gaps.items():
        steps[row] += lost
    return np.cumsum(steps)


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    """Recordings of a day at RATE: their rows and ticks by path."""
    directory = tmp_path_factory.mktemp("days")
    rng = np.random.default_rng(33)
    parts = [stretch(rng, 30, False), stretch(rng, 10, True, (0.0, 1.0, 0.0)), stretch(rng, 20, False),
             stretch(rng, 120, True, (0.6, 0.0, 0.8)), stretch(rng, 20, False),
             stretch(rng, 59, True, (0.0, 0.0, -1.0)), stretch(rng, 20, False)]
    rows = np.concatenate(parts)
    # Samples lost inside epochs: in activity, in the non-wear stretch
    # and in the stretch just too short.
    gaps = {100: 3, 5000: 17, 40 * MINUTE + 33: 9, 100 * MINUTE + 7: 120, 150 * MINUTE + 1: 5,
            215 * MINUTE + 4: 300, 250 * MINUTE: 2}
    made = {}
    made["day"] = write(directory / "day.qvx", rows, ticks_with_gaps(rng, len(rows), gaps))
    # A sensor turned still in many orientations, which its own
    # calibration corrects, then a quiet hour and a half.
    sensor = still_rows(rng, FACES + CORNERS, (0.03, -0.02, 0.04), (1.02, 0.97, 1.01))
    sensor = np.concatenate((sensor, stretch(rng, 90, True, (0.0, 0.0, 1.0))))
    made["sensor"] = write(directory / "sensor.qvx", sensor, ticks_with_gaps(rng, len(sensor), {77: 4}))
    return directory, made


def expected(rows, tick, epoch, rate=None, offset=(0, 0, 0), scale=(1, 1, 1), window=60.0, step=15.0):
    """The epoch table from the definitions, row by row over the epochs."""
    acc = np.stack([(rows[name] / 8192.0 - offset[a]) * scale[a] for a, name in enumerate(AXES[:3])], axis=1)
    gyro = np.stack([rows[name] / 65.536 for name in AXES[3:]], axis=1)
    magnitude = np.sqrt((acc ** 2).sum(axis=1))
    count = int(tick[-1]) // epoch + 1
    table = {name: [] for name in ("samples", "mean_AX", "mean_AY", "mean_AZ", "enmo", "mad", "gyro", "still")}
    for k in range(count):
        inside = (tick >= k * epoch) & (tick < (k + 1) * epoch)
        n = int(inside.sum())
        table["samples"].append(n)
        if n == 0:
            for name in ("mean_AX", "mean_AY", "mean_AZ", "enmo", "mad", "gyro"):
                table[name].append(np.nan)
            table["still"].append(False)
            continue
        for a, name in enumerate(AXES[:3]):
            table["mean_" + name].append(acc[inside, a].mean())
        m = magnitude[inside]
        table["enmo"].append(1000 * np.maximum(m - 1, 0).mean())
        table["mad"].append(1000 * np.abs(m - m.mean()).mean())
        table["gyro"].append(np.sqrt((gyro[inside] ** 2).sum(axis=1)).mean())
        table["still"].append(bool((acc[inside].std(axis=0) < 0.013).all()))
    table = {name: np.array(values) for name, values in table.items()}
    if rate is not None:
        nonwear = np.zeros(count, bool)
        w, s = round(window * 60 * rate), round(step * 60 * rate)
        j = 0
        while j * s + w <= tick[-1] + 1:
            inside = (tick >= j * s) & (tick < j * s + w)
            part = acc[inside]
            quiet = ((part.std(axis=0) < 0.013) & (part.max(axis=0) - part.min(axis=0) < 0.150)).sum()
            if inside.any() and quiet >= 2:
                for k in range(count):
                    if j * s <= k * epoch and (k + 1) * epoch <= j * s + w:
                        nonwear[k] = True
            j += 1
        table["nonwear"] = nonwear
    return table


def check(got, want, epoch):
    assert list(got["epoch"]) == list(range(len(want["samples"])))
    assert list(got["start_tick"]) == [k * epoch for k in range(len(want["samples"]))]
    np.testing.assert_array_equal(got["samples"], want["samples"])
    np.testing.assert_array_equal(got["valid_fraction"], want["samples"] / epoch)
    for name in ("mean_AX", "mean_AY", "mean_AZ", "enmo", "mad", "gyro"):
        np.testing.assert_allclose(got[name], want[name], rtol=1e-9, atol=1e-9, err_msg=name)
    np.testing.assert_array_equal(got["still"], want["still"])
    if "nonwear" in want:
        np.testing.assert_array_equal(got["nonwear"], want["nonwear"])


@pytest.mark.parametrize("calibrated", [False, True])
def test_the_epochs_of_a_day_are_the_definitions(days, calibrated):
    directory, made = days
    rows, tick = made["day"]
    offset, scale = ((0.02, -0.01, 0.03), (1.01, 0.99, 1.02)) if calibrated else ((0, 0, 0), (1, 1, 1))
    calibration = quendix.Calibration(offset=offset, scale=scale, applied=True) if calibrated else None
    got = quendix.epochs(directory / "day.qvx", epoch_seconds=30, rate=RATE, calibration=calibration)
    want = expected(rows, tick, 300, RATE, offset, scale)
    check(got, want, 300)
    assert set(got["path"]) == {str(directory / "day.qvx")}
    np.testing.assert_array_equal(got["time"], got["start_tick"] / RATE)
    # The stretches in minutes of the time line (the lost samples before
    # them move them on by up to half a minute): the two hours are
    # non-wear from the first window wholly inside them, 75 to 180; the
    # ten still minutes and the 59 quiet ones are still, not non-wear; the
    # activity neither.
    minute = got["start_tick"] / MINUTE
    np.testing.assert_array_equal(got["nonwear"], (minute >= 75) & (minute < 180))
    assert got["still"][(minute >= 31) & (minute < 40)].all()
    assert got["still"][(minute >= 201) & (minute < 259)].all()
    assert not got["still"][minute < 30].any() and not got["still"][(minute >= 41) & (minute < 60)].any()


def test_a_calibration_of_its_own_and_the_gyroscope_still_check(days):
    directory, made = days
    rows, tick = made["sensor"]
    own = quendix.calibrate(directory / "sensor.qvx")
    assert own.applied
    got = quendix.epochs(directory / "sensor.qvx", epoch=200, rate=RATE, calibration=True)
    check(got, expected(rows, tick, 200, RATE, own.offset, own.scale), 200)
    raw = quendix.epochs(directory / "sensor.qvx", epoch=200, rate=RATE)
    check(raw, expected(rows, tick, 200, RATE), 200)
    assert not np.array_equal(got["mean_AX"], raw["mean_AX"], equal_nan=True)
    # The gyroscope's noise while still (up to 30 counts, a standard
    # deviation below 0.3 degrees per second, and above 0.01) passes a
    # limit of 1 degree per second, not of 0.01.
    loose = quendix.epochs(directory / "sensor.qvx", epoch=200, rate=RATE, gyro_still=1.0)
    strict = quendix.epochs(directory / "sensor.qvx", epoch=200, rate=RATE, gyro_still=0.01)
    assert loose["still"].equals(raw["still"]) and raw["still"].any() and not strict["still"].any()


def test_each_flag_parameter_is_used(days):
    directory, made = days
    rows, tick = made["day"]
    # Windows of 30 minutes stepped by 10: the 59 quiet minutes hold some.
    got = quendix.epochs(directory / "day.qvx", epoch=300, rate=RATE, nonwear_window=30, nonwear_step=10)
    check(got, expected(rows, tick, 300, RATE, window=30, step=10), 300)
    minute = got["start_tick"] / MINUTE
    assert got["nonwear"][(minute >= 221) & (minute < 279)].any()
    for flags in ({"nonwear_axes": 3}, {"nonwear_std": 13}, {"nonwear_range": 1}, {"still_std": 1}):
        changed = quendix.epochs(directory / "day.qvx", epoch=300, rate=RATE, **flags)
        if flags in ({"nonwear_axes": 3}, {"nonwear_std": 13}):
            # The orientation (0.6, 0, 0.8) is quiet on all three axes.
            assert changed["nonwear"].equals(quendix.epochs(directory / "day.qvx", epoch=300, rate=RATE)["nonwear"])
        elif "nonwear_range" in flags:
            assert not changed["nonwear"].any()
        else:
            assert not changed["still"].any()
    assert "nonwear" not in quendix.epochs(directory / "day.qvx", epoch=300).columns


@pytest.mark.parametrize("arguments, error", [
    ({}, ValueError), ({"epoch": 0}, ValueError), ({"epoch_seconds": 5}, ValueError),
    ({"epoch": 5, "epoch_seconds": 5, "rate": 10}, ValueError), ({"epoch_seconds": 0.15, "rate": 10}, ValueError),
    ({"epoch": 5, "rate": -1}, ValueError), ({"epoch": 5, "nonwear_axes": 4}, ValueError),
    ({"epoch": 5, "still_std": float("nan")}, ValueError), ({"epoch": 5, "calibration": "yes"}, TypeError),
])
def test_wrong_arguments_are_refused(days, arguments, error):
    with pytest.raises(error):
        quendix.epochs(days[0] / "day.qvx", **arguments)


@pytest.fixture(scope="module")
def short(tmp_path_factory):
    """A short recording with quiet and active stretches and gaps, and the
    settings that make minutes of it hold several windows."""
    directory = tmp_path_factory.mktemp("short")
    rng = np.random.default_rng(34)
    rows = np.concatenate([stretch(rng, 1, False), stretch(rng, 3, True), stretch(rng, 0.5, False),
                           stretch(rng, 2, True, (1, 0, 0))])
    write(directory / "a.qvx", rows, ticks_with_gaps(rng, len(rows), {50: 3, 700: 40, 2000: 1, 3600: 2}))
    write(directory / "b.qvx", rows[::-1].copy(), ticks_with_gaps(rng, len(rows), {9: 1, 1234: 600}))
    settings = dict(epoch=7, rate=RATE, nonwear_window=1, nonwear_step=0.25)
    return directory, settings


def test_the_same_table_for_every_piece_size(short):
    directory, settings = short
    whole = quendix.epochs(directory, **settings)
    assert whole["nonwear"].any() and whole["still"].any() and whole["samples"].eq(0).any()
    calibration = quendix.Calibration(offset=(0.01, 0.02, -0.03), scale=(1.1, 0.9, 1.05), applied=True)
    calibrated = quendix.epochs(directory, calibration=calibration, **settings)
    for size in range(1, 11):
        pandas.testing.assert_frame_equal(quendix.epochs(directory, frames=size, **settings), whole,
                                          check_exact=True, obj="frames=%d" % size)
        pandas.testing.assert_frame_equal(quendix.epochs(directory, frames=size, calibration=calibration,
                                                         **settings), calibrated, check_exact=True)


def test_the_same_table_on_a_pool_and_a_cluster(short, cluster):
    directory, settings = short
    serial = quendix.epochs(directory, **settings)
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        pooled = quendix.epochs(directory, executor=executor, **settings)
    on_cluster = quendix.epochs(directory, executor=cluster.get_executor(), **settings)
    lazy = quendix.epochs_dask(directory, **settings).compute().reset_index(drop=True)
    for got in (pooled, on_cluster, lazy):
        pandas.testing.assert_frame_equal(got, serial, check_exact=True)
    table = quendix.summary(directory, rate=RATE)
    pooled_table = quendix.summary(directory, rate=RATE, executor=cluster.get_executor())
    pandas.testing.assert_frame_equal(pooled_table, table, check_exact=True)


def test_the_summary_has_the_shares_of_the_flags(days):
    directory, made = days
    table = quendix.summary(directory, rate=RATE)
    assert list(table.columns[-2:]) == ["still_fraction", "nonwear_fraction"]
    for row in table.itertuples():
        got = quendix.epochs(row.path, rate=RATE)
        assert row.still_fraction == got["still"].mean() and row.nonwear_fraction == got["nonwear"].mean()
    assert table["nonwear_fraction"].gt(0).all()
    assert "still_fraction" not in quendix.summary(directory).columns


# --- the export --------------------------------------------------------------------------------

h5py = None


@pytest.fixture(scope="module")
def exported(days, tmp_path_factory):
    global h5py
    h5py = pytest.importorskip("h5py")
    directory, made = days
    campaign = tmp_path_factory.mktemp("campaign")
    (campaign / "site").mkdir()
    shutil.copy(directory / "day.qvx", campaign / "site" / "day.qvx")
    shutil.copy(directory / "sensor.qvx", campaign / "sensor.qvx")
    # Noise over the whole range, which deflate cannot shrink.
    noise = np.zeros(70002, RAW_SAMPLE)
    rng = np.random.default_rng(35)
    for name in AXES:
        noise[name] = rng.integers(-32768, 32768, len(noise))
    write(campaign / "noise.qvx", noise, np.arange(len(noise)))
    (campaign / "sensor.qvx").chmod(0o600)
    (campaign / "site" / "day.qvx").chmod(0o640)
    output = tmp_path_factory.mktemp("out") / "campaign.h5"
    names = quendix.export(campaign, output, rate=RATE, calibration=True, epoch_seconds=30)
    return campaign, output, names


def test_the_export_holds_every_value_and_its_settings(exported):
    campaign, output, names = exported
    assert names == ["noise.qvx", "sensor.qvx", "site/day.qvx"]
    assert os.stat(output).st_mode & 0o777 == 0o600
    with h5py.File(output, "r") as out:
        for name in names:
            path = campaign / name
            recording = quendix.read(path)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)
                physical = recording.to_physical(rate=RATE)
                table = quendix.epochs(path, epoch_seconds=30, rate=RATE, calibration=True)
            group = out[name]
            counts = group["counts"][:]
            assert counts.dtype == np.int16 and counts.shape == (len(recording.samples), 6)
            for column, axis in enumerate(AXES):
                np.testing.assert_array_equal(counts[:, column], recording.samples[axis])
            np.testing.assert_array_equal(group["SEQNO"][:], recording.samples["SEQNO"])
            np.testing.assert_array_equal(group["tick"][:], physical["tick"])
            np.testing.assert_array_equal(group["lost_before"][:], physical["lost_before"])
            for field in ("offset", "block", "page_word", "valid"):
                np.testing.assert_array_equal(group["frames"][field][:], recording.frames[field])
            assert [line.decode() for line in group["report"][:]] == recording.report
            for column in table.columns[1:]:
                np.testing.assert_array_equal(group["epochs"][column][:], table[column].to_numpy())
            data = path.read_bytes()
            attrs = group.attrs
            assert attrs["recording_sha256"] == hashlib.sha256(data).hexdigest()
            assert attrs["recording_bytes"] == len(data) and attrs["rate"] == RATE
            own = quendix.calibrate(path)
            assert tuple(attrs["calibration_offset"]) == own.offset and attrs["calibrated"] == own.applied
            assert attrs["calibration_reason"] == own.reason
            assert attrs["acceleration_counts_per_unit"] == 8192 and attrs["angular_rate_unit"] == "degrees per second"
            parameters = json.loads(attrs["parameters"])
            assert parameters["rate"] == RATE and parameters["epochs"]["epoch_ticks"] == 300
            assert parameters["quendix_version"] == quendix.__version__ == attrs["quendix_version"]
            for dataset in ("counts", "tick", "report"):
                assert group[dataset].compression == "gzip" and group[dataset].shuffle
            # Filter mask: the noise's chunks skipped deflate, the time line's did not.
            if name == "noise.qvx":
                assert group["counts"].id.get_chunk_info(0).filter_mask == 0b10
            assert group["tick"].id.get_chunk_info(0).filter_mask == 0


def test_an_export_of_pieces_without_rows(tmp_path):
    # An empty file, a lone fragment, and frames without the marker read
    # two at a time, which makes pieces without a row.
    h5py = pytest.importorskip("h5py")
    rows = np.zeros(9 * 40, RAW_SAMPLE)
    rng = np.random.default_rng(36)
    for name in AXES:
        rows[name] = rng.integers(-9000, 9000, len(rows))
    data = recording_of(rows)
    sources = tmp_path / "in"
    sources.mkdir()
    (sources / "empty.qvx").write_bytes(b"")
    (sources / "fragment.qvx").write_bytes(data[:50])
    (sources / "gapped.qvx").write_bytes(data[:10 * 132] + erased_frame() * 5 + data[15 * 132:])
    output = tmp_path / "out.h5"
    names = quendix.export(sources, output, rate=RATE, epoch=9, frames=2)
    assert names == ["empty.qvx", "fragment.qvx", "gapped.qvx"]
    with h5py.File(output, "r") as out:
        for name in names:
            recording = quendix.read(sources / name)
            group = out[name]
            assert group["counts"].shape == (len(recording.samples), 6)
            for column, axis in enumerate(AXES):
                np.testing.assert_array_equal(group["counts"][:, column], recording.samples[axis])
            np.testing.assert_array_equal(group["tick"][:], recording.to_physical()["tick"])
            np.testing.assert_array_equal(group["frames"]["valid"][:], recording.frames["valid"])
            assert [line.decode() for line in group["report"][:]] == recording.report
            assert len(group["epochs"]["epoch"]) == len(quendix.epochs(sources / name, rate=RATE, epoch=9))


R_SCRIPT = r"""
library(hdf5r)
args <- commandArgs(trailingOnly = TRUE)
file <- H5File$new(args[1], mode = "r")
group <- file[[args[2]]]
counts <- group[["counts"]]$read()
tick <- group[["tick"]]$read()
enmo <- group[["epochs/enmo"]]$read()
nonwear <- group[["epochs/nonwear"]]$read()
report <- group[["report"]]$read()
cat(sprintf("dims %d %d\n", dim(counts)[1], dim(counts)[2]))
cat("AX", counts[1, 1:20], "\n")
cat("GZ", counts[6, 1:20], "\n")
cat("ticksum", sprintf("%.0f", sum(as.numeric(tick))), "\n")
cat("enmo", sprintf("%.17g", enmo[1:10]), "\n")
cat("nonwear", sum(nonwear), "\n")
cat("report", length(report), "\n")
cat("sha256", h5attr(group, "recording_sha256"), "\n")
cat("rate", h5attr(group, "rate"), "\n")
file$close_all()
"""


def test_r_reads_the_export(exported, tmp_path):
    rscript = shutil.which("Rscript")
    if rscript is None:
        pytest.skip("Rscript not found (Debian: r-base-core)")
    probe = subprocess.run([rscript, "-e", "library(hdf5r)"], capture_output=True, text=True, timeout=120)
    if probe.returncode != 0:
        pytest.skip("R's hdf5r is not installed (Debian: r-cran-hdf5r)")
    campaign, output, names = exported
    script = tmp_path / "read.R"
    script.write_text(R_SCRIPT)
    done = subprocess.run([rscript, str(script), str(output), "site/day.qvx"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    lines = {line.split()[0]: line.split()[1:] for line in done.stdout.splitlines()}
    recording = quendix.read(campaign / "site" / "day.qvx")
    table = quendix.epochs(campaign / "site" / "day.qvx", epoch_seconds=30, rate=RATE, calibration=True)
    tick = recording.to_physical()["tick"]
    # R shows the N x 6 dataset as 6 x N: its dimensions reversed.
    assert lines["dims"] == ["6", str(len(recording.samples))]
    assert [int(v) for v in lines["AX"]] == recording.samples["AX"][:20].tolist()
    assert [int(v) for v in lines["GZ"]] == recording.samples["GZ"][:20].tolist()
    assert int(lines["ticksum"][0]) == int(tick.sum())
    assert [float(v) for v in lines["enmo"]] == table["enmo"][:10].tolist()
    assert int(lines["nonwear"][0]) == int(table["nonwear"].sum()) > 0
    assert int(lines["report"][0]) == len(recording.report)
    assert lines["sha256"] == [hashlib.sha256((campaign / "site" / "day.qvx").read_bytes()).hexdigest()]
    assert float(lines["rate"][0]) == RATE


# Stops an export once its temporary file holds bytes (HDF5 writes a chunk
# once it is whole, and its own records when it pleases), a few pieces in.
STOPPED_EXPORT = r"""
import glob, importlib, os, sys, time
export = importlib.import_module("quendix.export")
calls = []
def stop():
    calls.append(1)
    temporary = glob.glob(os.path.join(os.path.dirname(sys.argv[2]), ".campaign.h5.quendix-*"))
    if len(calls) >= 3 and temporary and os.path.getsize(temporary[0]) > 0:
        open(sys.argv[3], "w").close()
        time.sleep(600)
export._written_piece = stop
export.export(sys.argv[1], sys.argv[2], frames=50)
"""


def test_a_killed_export_leaves_the_earlier_file_whole(exported, tmp_path):
    campaign, output, _ = exported
    target = tmp_path / "campaign.h5"
    shutil.copy(output, target)
    before = target.read_bytes()
    ready = tmp_path / "ready"
    process = subprocess.Popen([sys.executable, "-c", STOPPED_EXPORT, str(campaign), str(target), str(ready)],
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        deadline = time.monotonic() + 120
        while not ready.exists():
            assert process.poll() is None and time.monotonic() < deadline, "the export did not start"
            time.sleep(0.05)
        temporary = [p for p in os.listdir(tmp_path) if p.startswith(".campaign.h5.quendix-")]
        assert len(temporary) == 1 and (tmp_path / temporary[0]).stat().st_size > 0
    finally:
        process.send_signal(signal.SIGKILL)
        process.wait()
    assert target.read_bytes() == before
    with h5py.File(target, "r") as out:
        assert list(out["sensor.qvx"]) and out["site/day.qvx"]["counts"].shape[1] == 6


def test_an_export_replaces_no_recording_and_refuses_wrong_arguments(exported, tmp_path):
    campaign, _, _ = exported
    recording = campaign / "sensor.qvx"
    data = recording.read_bytes()
    with pytest.raises(OutputRefused):
        quendix.export(campaign, recording)
    with pytest.raises(OutputRefused):
        quendix.export(campaign, tmp_path)
    with pytest.raises(ValueError):
        quendix.export(campaign, tmp_path / "x.h5", epoch_seconds=5)
    with pytest.raises(ValueError):
        quendix.export([campaign / "sensor.qvx", campaign / "site" / ".." / "sensor.qvx"], tmp_path / "x.h5")
    assert recording.read_bytes() == data and not (tmp_path / "x.h5").exists()


run = run_quendix


def test_the_epochs_and_export_commands(short, tmp_path):
    directory, settings = short
    done = run("epochs", directory, "--rate", RATE, "--epoch", 7, "--nonwear-window", 1, "--nonwear-step", 0.25)
    assert done.returncode == 0, done.stderr
    import io

    table = pandas.read_csv(io.BytesIO(done.stdout), float_precision="round_trip")
    want = quendix.epochs(directory, **settings)
    assert list(table.columns) == list(want.columns) and len(table) == len(want)
    np.testing.assert_array_equal(table["nonwear"], want["nonwear"])
    np.testing.assert_array_equal(table["enmo"], want["enmo"])
    done = run("epochs", directory, "--rate", RATE, "-o", tmp_path / "e.csv")
    assert done.returncode == 0 and (tmp_path / "e.csv").exists()
    assert run("epochs", directory).returncode == 2  # no epoch length
    done = run("export", directory, "--rate", RATE, "--epoch-seconds", 5, "-o", tmp_path / "c.h5")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().splitlines() == ["a.qvx: exported to %s" % (tmp_path / "c.h5"),
                                                 "b.qvx: exported to %s" % (tmp_path / "c.h5")]
    assert run("export", directory, "-o", "-").returncode == 2
    assert run("export", directory, "-o", directory / "a.qvx").returncode == 2
    assert run("export", tmp_path / "missing.qvx", "-o", tmp_path / "m.h5").returncode == 1
    assert not (tmp_path / "m.h5").exists()
