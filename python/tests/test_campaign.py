"""The summary of many recordings against the converter's outputs, read in
the converter's order, with and without executors, on one machine and on a
Dask cluster, and their samples as one Dask data frame."""

import concurrent.futures
import io
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix.quicklook import Envelope
from quendix_testing import RAW_SAMPLE, REPO, erased_frame, frames, log_lines

pandas = pytest.importorskip("pandas")


def generate(generator, path, *options):
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([str(generator), "--frames", "300"] + list(options) + [str(path)], check=True,
                   stdout=subprocess.DEVNULL)


def make_campaign(directory, generator):
    """A campaign with every kind of damage: the examples, generated
    recordings, files without a whole frame, a first frame without the
    marker, and names the walk must select, order or pass over."""
    shutil.copytree(REPO / "examples", directory, dirs_exist_ok=True)
    generate(generator, directory / "jumps.qvx", "--jump-every", "7", "--r-flag-every", "5")
    generate(generator, directory / "Logger2" / "missing.QVX", "--missing-every", "4", "--fragment", "3")
    generate(generator, directory / "Logger2" / "all missing.qvx", "--missing-every", "1")
    generate(generator, directory / "Logger2" / "deep" / "high.qvx", "--start", "600,0", "--fragment", "131")
    generate(generator, directory / "a" / "r flag start.qvx", "--start", "3,32773", "--fragment", "6")
    (directory / "empty.qvx").write_bytes(b"")
    (directory / "fragment.qvx").write_bytes(b"\x53\x44\x05\x00\x07")
    (directory / "first invalid.qvx").write_bytes(erased_frame() + frames([(0, 1), (1, 0), (1, 1)]))
    (directory / "not selected.dat").write_bytes(frames([(1, 0)]))
    (directory / "day2" / "x.qvx").mkdir()  # a directory: walked into, never a row
    (directory / "day2" / "x.qvx" / "inner.qvx").write_bytes(frames([(5, 5), (5, 6)]))
    os.mkfifo(directory / "fifo.qvx")
    os.symlink("nowhere", directory / "dangling.qvx")
    os.symlink("/proc/self/mem", directory / "unreadable.qvx")  # every read fails
    os.symlink("..", directory / "a" / "loop")  # a link back up: entered once


def converter_rows(converter, directory, end_block):
    """The rows the converter's console, CSV and log files give for every
    file that `quendix -r` selects in `directory`, in its order: a dict of
    the summary's counts, or the converter's message for a file it could
    not open or read."""
    console = subprocess.run([str(converter), "-r", "-e", str(end_block)], cwd=directory, check=True,
                             capture_output=True, text=True, timeout=120).stdout
    rows = []
    for line in console.splitlines():
        if line.startswith("uqendix : "):
            path = line[len("uqendix : "):]
            rows.append({"path": os.path.normpath(path)})
        elif line.startswith("quendix : "):
            rows[-1]["error"] = line.rsplit(", ", 1)[1]
    for row in rows:
        if "error" in row:
            continue
        path = directory / row["path"]
        csv = (path.parent / (path.name[:-4] + ".csv")).read_bytes()
        log = log_lines(path.parent / (path.name[:-4] + ".log"))
        size = path.stat().st_size
        kinds = [line.split(":")[0].strip() for line in log]
        start = [line for line in log if line.startswith("    start")]
        end = log[-1].split(":")[1].split(",")
        row.update({
            "bytes": size, "frames": size // 132, "valid": (csv.count(b"\n") - 1) // 9,
            "missing": kinds.count("missing"), "different": kinds.count("different"),
            "samples": csv.count(b"\n") - 1,
            "start_block": int(start[0].split(":")[1].split(",")[0]) if start else None,
            "start_page_word": int(start[0].split(",")[1]) if start else None,
            "last_block": int(end[0]), "last_page_word": int(end[1]), "fragment": size % 132,
        })
    return rows


def plain(table):
    """The rows of a summary as dicts, with None for missing values."""
    return [{name: (None if value is pandas.NA else value) for name, value in row.items()}
            for row in table.astype(object).to_dict("records")]


@pytest.mark.parametrize("end_block", [1, 510])
def test_summary_counts_are_the_converters(converter, generator, tmp_path, end_block):
    make_campaign(tmp_path, generator)
    table = quendix.summary(tmp_path, end_block)
    assert list(table.columns) == list(quendix.SUMMARY_COLUMNS)
    expected = converter_rows(converter, tmp_path, end_block)
    got = plain(table)
    assert [os.path.relpath(row["path"], tmp_path) for row in got] == [row["path"] for row in expected]
    assert len(got) == 15
    for row, want in zip(got, expected):
        name = want["path"]
        if "error" in want:
            # What the converter could not open or read is a row with the
            # reason, and no counts.
            assert row["error"] != "", name
            assert want["error"] in ("not opened.", "not read."), name
            assert all(row[column] is None for column in quendix.SUMMARY_COLUMNS[1:-1]), name
        else:
            assert row["error"] == "", name
            assert {k: row[k] for k in want if k != "path"} == {k: v for k, v in want.items() if k != "path"}, name
    errors = {os.path.basename(row["path"]): row["error"] for row in got if row["error"]}
    assert errors == {"dangling.qvx": "No such file or directory", "fifo.qvx": "not a regular file (a FIFO)",
                      "unreadable.qvx": "Input/output error"}


def jumps_by_definition(data, end_block):
    """The jumps of the recording `data`, frame by frame: the valid frames
    whose block and page number are not those that follow the valid frame
    before them, the prediction advanced by one page a frame from there."""
    def step(block, page):
        page = (page + 1) & 0xFFFF
        if page < 512:
            return block, page
        block = (block + 1) & 0xFFFF
        return (1 if block > end_block else block), 0

    words = np.frombuffer(data[:len(data) // 132 * 132], "<u2").reshape(-1, 66)
    jumps, last = [], None
    for i, (magic, block, page_word) in enumerate(words[:, :3].tolist()):
        if magic != 0x4453:
            continue
        here = (block, page_word & 0x7FFF)
        if last is not None:
            expected = last[0]
            for _ in range(i - last[1]):
                expected = step(*expected)
            if expected != here:
                jumps.append(i)
        last = (here, i)
    return jumps


# Generated recordings with 0, 1 and 4 jumps, with frames without the marker
# (one of them at a jump), R flags, starts above the end block and a first
# frame without the marker; and frames written here at the edges of blocks.
@pytest.mark.parametrize("options, end_block, count", [
    (["--frames", "2000", "--missing-every", "301", "--r-flag-every", "7"], 510, 0),
    (["--frames", "2000", "--jump-every", "1500", "--start", "510,300", "--missing-every", "299"], 510, 1),
    (["--frames", "2000", "--jump-every", "450", "--missing-every", "300", "--r-flag-every", "3"], 510, 4),
    (["--frames", "2000", "--jump-every", "450", "--start", "600,500", "--end-block", "1"], 1, 4),
    (["--frames", "2000", "--start", "65535,510"], 7, None),
    ("edges", 3, None),
])
def test_jumps_are_counted_once_each(generator, tmp_path, options, end_block, count, monkeypatch):
    path = tmp_path / "jumps.qvx"
    if options == "edges":
        positions = [(3, 511), (1, 0), (1, 1), (1, 1), (65535, 511), (0, 0), (0, 511), (1, 0), (2, 0x8200),
                     (3, 0), (2, 700), (3, 0), (7, 5)]
        path.write_bytes(erased_frame() + frames(positions[:5]) + erased_frame() * 2 + frames(positions[5:]))
    else:
        generate(generator, path, *options)
        if end_block == 1:
            data = bytearray(path.read_bytes())
            data[:132] = erased_frame()
            path.write_bytes(bytes(data))
    expected = jumps_by_definition(path.read_bytes(), end_block)
    if count is not None:
        assert len(expected) == count
    # The same count whatever the pieces, and each jump marked once in
    # the quick look.
    for piece in (8192, 1, 2, 7, 1000):
        monkeypatch.setattr(sys.modules["quendix.summary"], "SUMMARY_PIECE_FRAMES", piece)
        row = quendix.summary(path, end_block)
        assert row["jumps"][0] == len(expected), piece
    samples = len(quendix.read(path).samples)
    envelope = Envelope(samples, samples, end_block)
    for piece in quendix.read_chunks(path, end_block, frames=5):
        envelope.add(piece)
    assert envelope.marks["jumps"].sum() == len(expected)


def test_summary_of_paths_lists_and_what_is_not_there(tmp_path):
    (tmp_path / "b.qvx").write_bytes(frames([(1, 0), (1, 1)]) + b"\x53\x44")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "a.qvx").write_bytes(b"")
    # A file named explicitly counts whatever its name; a directory is
    # walked; a missing path is a row.
    (tmp_path / "c.bin").write_bytes(erased_frame())
    table = quendix.summary([tmp_path / "c.bin", str(tmp_path), tmp_path / "gone.qvx"])
    assert [os.path.relpath(p, tmp_path) for p in table["path"]] == ["c.bin", "b.qvx", "sub/a.qvx", "gone.qvx"]
    assert table["frames"].tolist()[:3] == [1, 2, 0]
    assert table["missing"].tolist()[:3] == [1, 0, 0]
    assert table["fragment"].tolist()[:3] == [0, 2, 0]
    assert table["error"].tolist() == ["", "", "", "No such file or directory"]
    assert quendix.summary(tmp_path / "b.qvx")["path"].tolist() == [str(tmp_path / "b.qvx")]
    assert len(quendix.summary([])) == 0
    with pytest.raises(TypeError):
        quendix.summary([tmp_path, 5])
    with pytest.raises(ValueError):
        quendix.summary(tmp_path, end_block=0)


def test_a_file_and_a_directory_that_may_not_be_read():
    # Root reads everything, so the summary runs in a child that has given
    # up its rights.
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        os.chmod(directory, 0o755)
        (directory / "locked.qvx").write_bytes(frames([(1, 0)]))
        os.chmod(directory / "locked.qvx", 0)
        (directory / "closed").mkdir()
        (directory / "closed" / "inside.qvx").write_bytes(frames([(1, 0)]))
        os.chmod(directory / "closed", 0)
        reader, writer = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                os.close(reader)
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                table = quendix.summary(directory)
                outcome = repr([(os.path.relpath(p, directory), e) for p, e in zip(table["path"], table["error"])])
            except BaseException as e:
                outcome = repr(e)
            finally:
                os.write(writer, outcome.encode())
                os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as pipe:
            outcome = pipe.read().decode()
        os.waitpid(child, 0)
        os.chmod(directory / "closed", 0o755)
        assert outcome == repr([("locked.qvx", "Permission denied"),
                                ("closed", "cannot list the directory: Permission denied")])


@pytest.fixture(scope="module")
def campaign(tmp_path_factory, generator):
    directory = tmp_path_factory.mktemp("campaign")
    make_campaign(directory, generator)
    generate(generator, directory / "long.qvx", "--frames", "5000", "--missing-every", "33")
    # Still, stuck on every axis, a clipped burst, and every frame a copy of the first.
    flat = np.zeros(300 * 9, RAW_SAMPLE)
    flat["AX"][:20] = 32767
    (directory / "flat.qvx").write_bytes(frames([(1, p) for p in range(300)], flat))
    return directory


@pytest.mark.parametrize("quality", [False, True])
def test_summary_with_a_process_pool_is_the_serial_one(campaign, quality):
    serial = quendix.summary(campaign, quality=quality)
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        pooled = quendix.summary(campaign, executor=executor, quality=quality)
    pandas.testing.assert_frame_equal(pooled, serial)
    assert not quality or serial["quality"].str.contains("stuck").sum() == 1


@pytest.mark.parametrize("quality", [False, True])
def test_summary_on_a_cluster_is_the_serial_one(campaign, cluster, quality):
    serial = quendix.summary(campaign, 1, quality=quality, thresholds={"clipped": 0.5})
    on_cluster = quendix.summary(campaign, 1, executor=cluster.get_executor(), quality=quality,
                                 thresholds={"clipped": 0.5})
    pandas.testing.assert_frame_equal(on_cluster, serial)


def expected_samples(paths):
    """The samples of `paths` read one by one, as to_dask gives them."""
    parts = []
    for path in paths:
        recording = quendix.read(path)
        part = recording.to_dataframe()
        part.insert(0, "frame", np.repeat(np.flatnonzero(recording.frames["valid"]), 9))
        part.insert(0, "path", str(path))
        parts.append(part)
    return pandas.concat(parts, ignore_index=True)


def test_to_dask_on_a_cluster(campaign, cluster):
    readable = quendix.summary(campaign)
    paths = readable.loc[readable["error"] == "", "path"].tolist()
    samples = quendix.to_dask(paths, frames=1000)
    # One partition per recording, and per 1000 frames of a longer one.
    sizes = readable.loc[readable["error"] == "", "bytes"] // 132
    assert samples.npartitions == sum(max(1, -(-int(n) // 1000)) for n in sizes)
    assert list(samples.columns) == ["path", "frame"] + list(quendix.SAMPLE_DTYPE.names)
    got = cluster.compute(samples).result().reset_index(drop=True)
    want = expected_samples(paths)
    assert got["path"].astype(str).tolist() == want["path"].tolist()
    pandas.testing.assert_frame_equal(got.drop(columns="path"), want.drop(columns="path"))
    # An analysis over all of them: the rows per recording are the summary's.
    per_path = cluster.compute(samples.groupby("path", observed=True).size()).result()
    counted = readable[readable["samples"] > 0]
    assert per_path.to_dict() == dict(zip(counted["path"], counted["samples"]))


def converter_paths(converter, directory, selector, user=None):
    """The files `quendix -r SELECTOR` selects in `directory`, in its order,
    as (path, error) pairs: error "not opened." or the like, or ""."""
    prefix = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] if user else []
    console = subprocess.run(prefix + [str(converter), "-r", selector], cwd=directory, check=True,
                             capture_output=True, timeout=300).stdout.decode("utf-8", "surrogateescape")
    found = []
    for line in console.splitlines():
        if line.startswith("uqendix : "):
            found.append([os.path.normpath(line[len("uqendix : "):]), ""])
        elif line.startswith("quendix : "):
            found[-1][1] = line.rsplit(", ", 1)[1]
    return [tuple(pair) for pair in found]


def make_tree(directory, owner_of_theirs):
    """Names and links for selection: cases, a directory with a selected
    name, a subdirectory of the selector, loops and links of the user's own
    and, when `owner_of_theirs` is given, of that other user."""
    for name in ("a.qvx", "B.QVX", "c.dat", "xa.qvx.old", "x.qvx/y.qvx", "sub/s.qvx", "deep/sub/t.QvX",
                 "deep/more/u.qvx", "zz/sub/v.dat"):
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        (directory / name).write_bytes(frames([(1, 0)]))
    os.symlink("a.qvx", directory / "mine.qvx")
    os.symlink("deep", directory / "mydir")  # entered once: deep is entered by its own name first
    os.symlink("../..", directory / "deep" / "more" / "up")
    os.symlink("gone", directory / "dangling.qvx")
    if owner_of_theirs is not None:
        for link, target in (("theirs.qvx", "a.qvx"), ("theirdir", "zz"), ("sub/theirs.qvx", "s.qvx")):
            os.symlink(target, directory / link)
            os.lchown(directory / link, owner_of_theirs, owner_of_theirs)


@pytest.mark.parametrize("selector", ["*.qvx", "*.DAT", "sub/*.qvx", "sub/*", "*", "?a*.q?x", "*a*",
                                      "../*.qvx", "./*.qvx", "./sub/*.qvx", "sub/../*", "deep/../sub/*.qvx",
                                      "../tree/sub/*", "sub/./*.qvx", "deep/*/*.qvx", "*/t.qvx"])
def test_selection_is_the_converters(converter, tmp_path, selector):
    # The tree one level down, so that ".." in a selector stays in tmp_path,
    # beside a recording of its own there.
    tree = tmp_path / "tree"
    tree.mkdir()
    (tmp_path / "top.qvx").write_bytes(frames([(1, 0)]))
    make_tree(tree, 65534 if os.geteuid() == 0 else None)
    found = [(os.path.normpath(path[len(str(tree)) + 1:]), error)
             for path, error in zip(*quendix.summary(tree, selector=selector)[["path", "error"]].T.values)]
    expected = converter_paths(converter, tree, selector)
    # Each file once, as the converter converts it once, by the same path.
    assert [path for path, _ in found] == [path for path, _ in expected]
    assert len(expected) > 0 or "*/" in selector
    for (path, error), (_, message) in zip(found, expected):
        if message:
            assert error != "", path
        else:
            assert error == "", path
        if os.path.basename(path) == "theirs.qvx":
            assert error == "a link of another user, not followed"


@pytest.fixture(params=["descriptors", "portable"])
def file_way(request):
    """Each way of reaching files in turn, where the platform has it."""
    try:
        previous = quendix.files._use_way(request.param)
    except ValueError:
        pytest.skip("this platform has no %s way" % request.param)
    yield request.param
    quendix.files._use_way(previous)


@pytest.mark.parametrize("selector", ["*.QVX", "Sub/*.Q?X", "SUB/*", "m*X*.qVx", "*", "[*"])
def test_mixed_case_selection_is_the_converters_both_ways(converter, tmp_path, file_way, selector):
    # Letters of the selector's name part match either case; its directory
    # part is looked up as the file system does (here, by exact bytes); in
    # each directory the names come in the converter's order.
    for name in ("MiXeD.QvX", "lower.qvx", "UPPER.QVX", "Zeta.qvx", "alpha.Qvx", "_u.qvx", "[a.qvx",
                 "Sub/A.Qvx", "Sub/b.qvx", "sub/c.QVX", "SUB/D.qVx", "Sub/Deeper/E.QVX", "sub/deeper/f.qvx"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(frames([(1, 0)]))
    found = [os.path.relpath(path, tmp_path) for path, error in quendix.recordings(tmp_path, selector)]
    expected = [path for path, _ in converter_paths(converter, tmp_path, selector)]
    assert found == expected and expected


def test_the_portable_way_asks_for_nothing_but_names(tmp_path, monkeypatch):
    # As on a platform without directory descriptors nor owners: the walk,
    # reading and writing the portable way take no dir_fd and list no
    # descriptor, and follow the user's links still.
    monkeypatch.setattr(quendix.files, "_way", quendix.files.PORTABLE)
    for name in ("open", "stat", "lstat", "readlink", "rename", "replace", "unlink", "listdir", "scandir"):
        def by_name_only(*args, _function=getattr(os, name), _name=name, **keywords):
            assert not {"dir_fd", "src_dir_fd", "dst_dir_fd"} & set(keywords), _name
            assert not (args and isinstance(args[0], int)), _name
            return _function(*args, **keywords)
        monkeypatch.setattr(os, name, by_name_only)
    if hasattr(os, "geteuid"):
        monkeypatch.delattr(os, "geteuid")
    for name in ("a.qvx", "Sub/b.QVX"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(frames([(1, 0), (1, 1)]))
    os.symlink("Sub", tmp_path / "link")
    assert [os.path.relpath(p, tmp_path) for p, _ in quendix.recordings(tmp_path)] == [
        "a.qvx", "Sub/b.QVX"]
    assert len(quendix.read(tmp_path / "link" / "b.QVX").frames) == 2
    output = tmp_path / "link" / "out.csv"
    quendix.files.write_whole(output, lambda stream: stream.write(b"whole"),
                              access=quendix.files.access_of([tmp_path / "a.qvx"]))
    assert (tmp_path / "Sub" / "out.csv").read_bytes() == b"whole"
    assert sorted(os.listdir(tmp_path / "Sub")) == ["b.QVX", "out.csv"]


def test_temporary_outputs_are_passed_over(tmp_path):
    names = [".a.qvx.quendix-Ab12Z9", ".a.csv.quendix-000000", ".a.qvx.quendix-Ab12Z", ".a.qvx.quendix-Ab12Z!",
             "a.qvx.quendix-Ab12Z9", "..quendix-Ab12Z9", ".a.qvx.quendix-Ab12Z9x"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    listed = [os.path.basename(p) for p, _ in quendix.recordings(tmp_path, "*")]
    assert listed == sorted(names[2:])


def test_a_tree_deeper_than_the_recursion_limit(converter, tmp_path):
    levels = 1200
    path = str(tmp_path)
    try:
        for level in range(1, levels + 1):
            path = os.path.join(path, "d")
            os.mkdir(path)
            if level in (1, 600, levels):
                Path(path, "r.qvx").write_bytes(frames([(1, level % 512)]))
        table = quendix.summary(tmp_path)
        assert [os.path.relpath(p, tmp_path) for p in table["path"]] == [
            p for p, _ in converter_paths(converter, tmp_path, "*.qvx")]
        assert len(table) == 3 and table["error"].tolist() == [""] * 3
        assert table["start_page_word"].tolist() == [1, 600 % 512, levels % 512]
    finally:
        # Removed from the bottom up here: a recursive removal of the test's
        # directory would reach the interpreter's recursion limit.
        while path != str(tmp_path):
            for name in os.listdir(path):
                os.unlink(os.path.join(path, name))
            os.rmdir(path)
            path = os.path.dirname(path)


def test_links_of_root_and_of_others_as_another_user(converter, tmp_path):
    # As user 65534: root's links and the user's own are followed, those of
    # user 1 are not, by the converter and by the command line alike.
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("running as another user needs root and setpriv")
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        os.chmod(directory, 0o755)
        shutil.copy(converter, directory / "quendix")
        shutil.copytree(Path(quendix.__file__).parent, directory / "package" / "quendix")
        tree = directory / "tree"
        tree.mkdir()
        for file in ("a.qvx", "zin/b.qvx"):
            (tree / file).parent.mkdir(exist_ok=True)
            (tree / file).write_bytes(frames([(1, 0)]))
        for link, target, owner in (("root.qvx", "a.qvx", 0), ("own.qvx", "a.qvx", 65534), ("other.qvx", "a.qvx", 1),
                                    ("rootdir", "zin", 0), ("otherdir", "zin", 1)):
            os.symlink(target, tree / link)
            os.lchown(tree / link, owner, owner)
        subprocess.run(["chown", "-R", "65534:65534", str(tree)], check=True)
        for link, _, owner in (("root.qvx", 0, 0), ("other.qvx", 0, 1), ("rootdir", 0, 0), ("otherdir", 0, 1)):
            os.lchown(tree / link, owner, owner)
        done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable,
                               "-m", "quendix", "summary", "-o", "-", "."], cwd=tree, capture_output=True,
                              env=dict(os.environ, PYTHONPATH=str(directory / "package")), timeout=300)
        assert done.returncode == 1, done.stderr
        table = pandas.read_csv(io.BytesIO(done.stdout), keep_default_na=False, dtype=str)
        expected = converter_paths(directory / "quendix", tree, "*.qvx", user=65534)
    assert [os.path.normpath(p) for p in table["path"]] == [path for path, _ in expected]
    assert [path for path, error in expected if error] == ["other.qvx"]
    assert table["error"].tolist() == ["", "a link of another user, not followed", "", "", ""]
    assert table["path"].tolist()[-1] == "./rootdir/b.qvx"
