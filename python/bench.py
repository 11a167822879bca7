"""Benchmark of quendix.read: prints figures, asserts no targets.

    /usr/bin/python3 python/bench.py [--frames N] [--runs N] [--dir DIR]

Makes a recording with quendix-gen (by default 1515152 frames, 200 MB, one
frame in 100 without the marker) and its CSV with quendix, then measures in
one run:
  - quendix.read of the recording, wall and CPU time, best and median of
    --runs runs (target: at most 1 s);
  - pandas.read_csv of the converter's CSV, once (target: read at least 10
    times faster), and that both give the same values;
  - the read's peak memory in a fresh process (target: at most twice the
    bytes of the arrays it returns). tracemalloc counts every block that
    numpy and Python allocate while reading, and nothing that was there
    before, so it is the figure compared with the target; the growth of the
    process's peak resident set (VmHWM) during the read is printed beside
    it, as a check that nothing untraced was allocated. (ru_maxrss would not
    do: a child started from this process inherits its high-water mark.)
The binaries are build/default/quendix and quendix-gen, or QUENDIX and
QUENDIX_GEN. The files go to --dir (default build/python-bench) and are
removed at the end.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import quendix  # noqa: E402


def peak_resident_set():
    """This process's peak resident set in bytes, from /proc."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


def measure_memory(path):
    """Runs in a fresh process: reads `path` and prints its memory figures."""
    import tracemalloc

    baseline = peak_resident_set()
    tracemalloc.start()
    recording = quendix.read(path)
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(json.dumps({
        "traced_peak": traced_peak,
        "rss_growth": peak_resident_set() - baseline,
        "arrays": recording.samples.nbytes + recording.frames.nbytes,
    }))


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def timed(function):
    wall, cpu = time.perf_counter(), time.process_time()
    result = function()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description="Benchmark of quendix.read.")
    parser.add_argument("--frames", type=int, default=1515152)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", type=Path, default=REPO / "build" / "python-bench")
    parser.add_argument("--measure-memory", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_memory:
        measure_memory(args.measure_memory)
        return

    converter = Path(os.environ.get("QUENDIX") or REPO / "build" / "default" / "quendix")
    generator = Path(os.environ.get("QUENDIX_GEN") or REPO / "build" / "default" / "quendix-gen")
    for program in (converter, generator):
        if not os.access(program, os.X_OK):
            sys.exit("bench: %s not found; build with cmake --workflow --preset default" % program)
    import pandas

    shutil.rmtree(args.dir, ignore_errors=True)
    args.dir.mkdir(parents=True)
    try:
        path = args.dir / "bench.qvx"
        subprocess.run([str(generator), "--frames", str(args.frames), "--missing-every", "100",
                        str(path)], check=True)
        subprocess.run([str(converter), "bench.qvx"], cwd=args.dir, check=True,
                       stdout=subprocess.DEVNULL)
        csv = path.with_suffix(".csv")

        print("machine: nproc %d, %s, Linux %s, load average %s" % (
            os.cpu_count(), cpu_model(), platform.release(),
            " ".join("%.2f" % x for x in os.getloadavg())))
        print("date: %s; Python %s, numpy %s, pandas %s" % (
            time.strftime("%Y-%m-%d %H:%M"), platform.python_version(), np.__version__,
            pandas.__version__))
        print("recording: %d bytes, %d frames; CSV: %d bytes" % (
            path.stat().st_size, args.frames, csv.stat().st_size))

        walls, cpus = [], []
        for _ in range(args.runs):
            recording, wall, cpu = timed(lambda: quendix.read(path))
            walls.append(wall)
            cpus.append(cpu)
            del recording
        recording = quendix.read(path)
        print("quendix.read: %d rows, %d report lines; wall best %.3f s, median %.3f s; "
              "CPU best %.3f s, median %.3f s (%d runs; target at most 1 s)" % (
                  len(recording.samples), len(recording.report), min(walls),
                  statistics.median(walls), min(cpus), statistics.median(cpus), args.runs))

        frame, pandas_wall, pandas_cpu = timed(lambda: pandas.read_csv(csv))
        same = list(frame.columns) == list(quendix.SAMPLE_DTYPE.names) and all(
            np.array_equal(frame[name].to_numpy(), recording.samples[name])
            for name in frame.columns)
        print("pandas.read_csv: wall %.3f s, CPU %.3f s; same values as quendix.read: %s" % (
            pandas_wall, pandas_cpu, "yes" if same else "NO"))
        print("speed-up: %.1f times in wall time, %.1f times in CPU time (pandas over the "
              "quendix.read median; target at least 10)" % (
                  pandas_wall / statistics.median(walls), pandas_cpu / statistics.median(cpus)))
        del frame, recording

        measured = subprocess.run([sys.executable, __file__, "--measure-memory", str(path)],
                                  check=True, capture_output=True, text=True)
        memory = json.loads(measured.stdout)
        mib = 1024.0 * 1024.0
        print("arrays returned: %.1f MiB; peak while reading, traced: %.1f MiB (%.2f times the "
              "arrays; target at most 2); growth of peak resident set: %.1f MiB (%.2f times)" % (
                  memory["arrays"] / mib, memory["traced_peak"] / mib,
                  memory["traced_peak"] / memory["arrays"], memory["rss_growth"] / mib,
                  memory["rss_growth"] / memory["arrays"]))
        if not same:
            sys.exit("bench: quendix.read and pandas.read_csv differ")
    finally:
        shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
