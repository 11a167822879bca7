"""The worked examples of docs/python.md are the files of examples/, and
they run as they stand."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quendix
from quendix_testing import REPO

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


@pytest.mark.parametrize("name", ["gaps.py", "plot.py"])
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
    run_example("plot.py", REPO / "examples" / "afternoon.qvx", picture)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 10000
