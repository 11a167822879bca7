"""Every row and every report line equal to the converter's, on the bundled
examples, generated recordings with every kind of damage, every axis value
around each step of the magnitudes, the report's edge cases and fragments."""

import shutil
import subprocess

import numpy as np
import pytest

from quendix_testing import (RAW_SAMPLE, REPO, REPORT_CASES, assert_same_as_converter,
                             convert, frames, recording_of)


def test_bundled_examples(converter, tmp_path):
    shutil.copytree(REPO / "examples", tmp_path, dirs_exist_ok=True)
    subprocess.run([str(converter), "-r"], cwd=tmp_path, check=True, stdout=subprocess.DEVNULL)
    paths = sorted(tmp_path.rglob("*.qvx"))
    assert len(paths) == 3
    for path in paths:
        assert_same_as_converter(path)


# quendix-gen options: every kind of damage it makes, alone and together,
# and first positions the prediction treats specially.
GENERATED = {
    "plain": [],
    "jumps": ["--jump-every", "7"],
    "missing": ["--missing-every", "5"],
    "all missing": ["--missing-every", "1"],
    "r flags": ["--r-flag-every", "3"],
    "r flags and jumps": ["--r-flag-every", "2", "--jump-every", "5"],
    "fragment 1": ["--fragment", "1"],
    "fragment 3": ["--fragment", "3"],
    "fragment 5": ["--fragment", "5"],
    "fragment 6": ["--fragment", "6"],
    "fragment 131": ["--fragment", "131"],
    "start above end block": ["--start", "600,0"],
    "start at block 65535": ["--start", "65535,300"],
    "start with the R flag": ["--start", "3,32773"],
    "start at page word 0xFFFF": ["--start", "7,65535"],
    "wrapping at block 1": ["--end-block", "1", "--frames", "1500"],
    "wrapping at block 511": ["--start", "510,0", "--end-block", "511", "--frames", "1500"],
    "everything": ["--frames", "30000", "--start", "509,17", "--jump-every", "1001",
                   "--missing-every", "97", "--r-flag-every", "13", "--fragment", "77",
                   "--seed", "7"],
}


@pytest.mark.parametrize("end_block", [1, 510, 511])
def test_generated_recordings(converter, generator, tmp_path, end_block):
    for i, options in enumerate(GENERATED.values()):
        subprocess.run([str(generator), "--frames", "700", "--seed", str(i)] + options
                       + [str(tmp_path / ("g%02d.qvx" % i))], check=True, stdout=subprocess.DEVNULL)
    convert(converter, tmp_path, end_block)
    for i in range(len(GENERATED)):
        assert_same_as_converter(tmp_path / ("g%02d.qvx" % i), end_block)


def magnitude_steps(values, magnitude):
    """The axis values among `values` (sorted) at which `magnitude` (an
    array over them) changes, with their neighbours: two each side."""
    step = np.flatnonzero(np.diff(magnitude)) + 1
    around = (step[:, None] + np.arange(-2, 2)).ravel()
    return values[np.clip(around, 0, len(values) - 1)]


def step_samples():
    """Samples with every value of each axis alone, and every value around
    each step of both magnitudes, with the other two axes of the magnitude
    held at a few values and the changing axis in each of its three places."""
    every = np.arange(-32768, 32768)
    rows = []
    for axis in range(6):
        one = np.zeros((len(every), 6), np.int64)
        one[:, axis] = every
        rows.append(one)
    others = [(0, 0), (1, -1), (100, 200), (-3000, 4000), (8192, -8192),
              (20000, -20000), (26000, -26000), (-32768, 32767), (32767, 32767)]
    # The first axis of each magnitude, and the magnitude of three axes.
    magnitudes = ((0, lambda axes: np.sqrt(((axes * 2.0 ** -13) ** 2).sum(axis=1)) * 100),
                  (3, lambda axes: np.sqrt(((axes / 65.536) ** 2).sum(axis=1))))
    for first, magnitude in magnitudes:
        for place in range(3):
            for a, b in others:
                axes = np.zeros((len(every), 3), np.int64)
                axes[:, place] = every
                axes[:, [p for p in range(3) if p != place]] = a, b
                # Where the magnitude steps is found here from the definition;
                # whether it is right there is for the converter to say.
                steps = magnitude_steps(every, np.trunc(magnitude(axes)))
                chosen = axes[np.searchsorted(every, steps)]
                sample = np.zeros((len(chosen), 6), np.int64)
                sample[:, first:first + 3] = chosen
                rows.append(sample)
    # Besides one axis alone, the only angular rate of exactly a whole number
    # of units: (8192, 16384, 16384) in any order and with any signs is 375.
    # The quotients by 65.536 are inexact, so only at a sample like this can
    # the rounding of the double arithmetic decide the truncated result.
    for order in ((8192, 16384, 16384), (16384, 8192, 16384), (16384, 16384, 8192)):
        for signs in np.ndindex(2, 2, 2):
            sample = np.zeros((1, 6), np.int64)
            sample[0, 3:] = np.array(order) * (1 - 2 * np.array(signs))
            rows.append(sample)
    return np.concatenate(rows)


def test_every_axis_value_around_each_step(converter, tmp_path):
    axes = step_samples()
    samples = np.zeros(len(axes), RAW_SAMPLE)
    for i, name in enumerate(("AX", "AY", "AZ", "GX", "GY", "GZ")):
        samples[name] = axes[:, i]
    (tmp_path / "steps.qvx").write_bytes(recording_of(samples))
    convert(converter, tmp_path)
    recording = assert_same_as_converter(tmp_path / "steps.qvx")
    # Every step of both magnitudes is reached.
    assert set(np.unique(recording.samples["ASVM"])) == set(range(693))
    assert set(np.unique(recording.samples["GSVM"])) == set(range(867))


@pytest.mark.parametrize("end_block", [1, 510, 511])
def test_report_edge_cases(converter, tmp_path, end_block):
    for i, (what, data, _, _) in enumerate(REPORT_CASES):
        (tmp_path / ("r%02d.qvx" % i)).write_bytes(data)
    convert(converter, tmp_path, end_block)
    for i, case in enumerate(REPORT_CASES):
        assert_same_as_converter(tmp_path / ("r%02d.qvx" % i), end_block)


def test_fragments_of_every_length(converter, tmp_path):
    rng = np.random.default_rng(13)
    whole = frames([(4, 100), (4, 101)], rng.integers(-32768, 32768, (18, 7)).astype(np.int16).view(RAW_SAMPLE))
    for n in range(132):
        fragment = rng.integers(0, 256, n, dtype=np.uint8).tobytes()
        (tmp_path / ("after%03d.qvx" % n)).write_bytes(whole + fragment)
        (tmp_path / ("alone%03d.qvx" % n)).write_bytes(fragment)
        (tmp_path / ("cut%03d.qvx" % n)).write_bytes(whole[:132 + n])
    convert(converter, tmp_path)
    for path in sorted(tmp_path.glob("*.qvx")):
        assert_same_as_converter(path)
