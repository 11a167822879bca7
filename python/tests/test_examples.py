"""The worked examples of docs/python.md are the files of examples/, and
they run as they stand."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quendix
from quendix_testing import REPO, only_loopback_ports

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run_example(name, *args):
    """Runs examples/`name` with this interpreter and this test run's quendix
    package; returns what it printed."""
    package_parent = str(Path(quendix.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [package_parent] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    done = subprocess.run([sys.executable, str(EXAMPLES / name)] + [str(a) for a in args],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("name", ["cluster.py"])
def test_the_doc_shows_the_example_as_it_is(name):
    code = (EXAMPLES / name).read_text()
    assert "```python\n" + code + "```\n" in (REPO / "docs" / "python.md").read_text(encoding="utf-8")


def test_gaps_example():
    assert run_example("gaps.py", REPO / "examples" / "afternoon.qvx") == (
        "%s: 26 frames, 216 samples\n"
        "1 frame(s) without the marker from frame 11, byte 1452\n"
        "1 frame(s) without the marker from frame 23, byte 3036\n"
        "frame 19, byte 2508: block 2, page 50, +3 pages from the frame before\n"
        % (REPO / "examples" / "afternoon.qvx"))


def test_plot_example(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "afternoon.png"
    assert run_example("plot.py", REPO / "examples" / "afternoon.qvx", picture) == (
        "%s: 216 samples, 2 frames without the marker, 6 different\n" % (REPO / "examples" / "afternoon.qvx"))
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 10000



def test_cluster_example_listens_on_the_loopback_address_alone(tmp_path):
    pytest.importorskip("distributed")
    shutil.copytree(REPO / "examples", tmp_path / "campaign")
    with only_loopback_ports(tmp_path):
        printed = run_example("cluster.py", tmp_path / "campaign")
    assert printed.startswith("{") and str(tmp_path / "campaign" / "morning.qvx") in printed


def test_campaign_example(tmp_path):
    pytest.importorskip("dask.dataframe")
    root = tmp_path / "campaign"
    shutil.copytree(REPO / "examples", root)
    (root / "day2" / "absent.qvx").symlink_to("nowhere")
    (root / "day2" / "dead.qvx").write_bytes(b"")
    lines = run_example("campaign.py", root, 2).splitlines()
    paths = [root / "afternoon.qvx", root / "morning.qvx", root / "day2" / "absent.qvx",
             root / "day2" / "dead.qvx", root / "day2" / "evening.qvx"]
    assert [line.split()[0] for line in lines[1:6]] == [str(p) for p in paths]
    assert lines[6:12] == ["", "4 of 5 recordings lost data:",
                           "  %s: 2 frames without the marker, 1 jump(s) (6 frames out of step), 0 bytes of "
                           "a partial frame" % paths[0],
                           "  %s: No such file or directory" % paths[2],
                           "  %s: no samples" % paths[3],
                           "  %s: 0 frames without the marker, 0 jump(s) (0 frames out of step), 50 bytes "
                           "of a partial frame" % paths[4]]
    # The analysis: every recording with samples, in order, with its
    # samples, mean acceleration and peak angular rate.
    analysis = [line.split() for line in lines[14:]]
    expected = []
    for path in (paths[0], paths[1], paths[4]):
        samples = quendix.read(path).samples
        expected.append([str(path), str(len(samples)), "%.4f" % (samples["ASVM"] / 100).mean(),
                         str(samples["GSVM"].max())])
    assert analysis == expected


def test_still_example(tmp_path):
    run_example("still.py", tmp_path)
    sys.path.insert(0, str(EXAMPLES))
    try:
        import still
    finally:
        sys.path.remove(str(EXAMPLES))
    monday = quendix.calibrate(tmp_path / "monday.qvx")
    # The sensor's offset and scale, found to within 0.1 mg and 0.01%.
    assert monday.applied
    assert max(abs(a - b) for a, b in zip(monday.offset, still.OFFSET)) < 1e-4
    assert max(abs(a - b) for a, b in zip(monday.scale, still.SCALE)) < 1e-4
    tuesday = quendix.calibrate(tmp_path / "tuesday.qvx")
    assert not tuesday.applied and tuesday.reason.startswith("too few points")


def test_cluster_example_names_what_holds_no_samples(tmp_path):
    pytest.importorskip("distributed")
    root = tmp_path / "campaign"
    shutil.copytree(REPO / "examples", root)
    (root / "day2" / "dead.qvx").write_bytes(b"")
    (root / "day2" / "gone.qvx").symlink_to("nowhere")
    lines = run_example("cluster.py", root).splitlines()
    assert lines == ["%s: no samples" % (root / "day2" / "dead.qvx"),
                     "%s: No such file or directory" % (root / "day2" / "gone.qvx"),
                     str({str(root / name): quendix.read(root / name).samples["GSVM"].max()
                          for name in ("afternoon.qvx", "morning.qvx", "day2/evening.qvx")})]
