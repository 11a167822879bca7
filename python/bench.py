"""Benchmark of the quendix package: prints figures, asserts no targets.

    /usr/bin/python3 python/bench.py [--frames N] [--runs N] [--big-frames N] [--dir DIR] [--only PARTS]
    /usr/bin/python3 python/bench.py --dead-axis [--dead-frames N,N,...] [--dir DIR]

Makes a recording with quendix-gen (by default 1515152 frames, 200 MB, one
frame in 100 without the marker) and its CSV with quendix, then measures in
one run:
  - quendix.read of the recording, wall and CPU time, best and median of
    --runs runs (target: at most 1 s), against pandas.read_csv of the
    converter's CSV, once (target: read at least 20 times faster), and that
    both give the same values;
  - quendix.summary of the recording, best and median (target: at least 5
    times faster than read), and summary(quality=True) of it (target: at
    most 2 times the time of read, aim 1.3), and python -m quendix summary
    --quality of it, the whole command in a fresh process, where no array
    freed before has raised the allocator's thresholds;
  - Recording.to_physical of the read recording, best and median (target:
    at most 2 times the time of read, aim 1.5), and with fill="linear"
    (target: at most 3 times); quendix.calibrate of the recording (target:
    at most 1.2 times summary(quality=True));
  - the summary of 16 recordings of half the size, serially and with a
    ProcessPoolExecutor of 2, already running and started in the call, and
    the same with quality=True (target: the pool at least 1.6 times faster);
  - quendix.epochs of the recording at 100 samples per second in epochs of
    5 s (target: at most 2 times read), and quendix.export of it (target:
    at most 3 times read, and at most 1.1 times the recording's size), and
    epochs() of the 16 recordings serially and on a pool of 2 (target: the
    pool at least 1.6 times faster);
  - python -m quendix plot of the recording, in a fresh process (target: at
    most 3 s);
  - quendix.report of --report-recordings recordings (24 by default) of a
    sixteenth of the size, serially and
    with a process pool of 2 (target: at most 1.5 times the time of
    summary(quality=True) of them and their quick looks made one by one),
    and of --page-recordings small recordings (2,000 by default) with the
    pool: the page's size (target: under 20 MB) and the time Debian's
    chromium takes to open it, headless, in as many fresh browsers as
    --runs, at most 3 (target: under 3 s), where chromium,
    chromium-driver and python3-selenium are installed;
  - peak memory, each in a fresh process: read of the recording (target: at
    most twice the bytes of the arrays it returns), and read_chunks, summary,
    summary(quality=True) and calibrate (target: at most 150 MiB of peak
    resident set), epochs and export (target: at most 200 MiB), and plot
    and report of the recording and of one of --big-frames frames (2 GiB by
    default; not measured unless it is more than --frames), whose peaks
    must not grow with the file. tracemalloc counts
    every block that numpy and Python allocate during the call and nothing
    from before; the growth of the process's peak resident set (VmHWM)
    during the call is printed beside it, as a check that nothing untraced
    was allocated. (ru_maxrss would not do: a child started from this
    process inherits its high-water mark.)
With --dead-axis it measures instead the peak memory of summary(quality=True)
of recordings in which one axis (AX) holds one value throughout, a dead
axis, at the sizes of --dead-frames (by default a quarter of --big-frames,
--big-frames and four times it: 4, 16 and 65 million frames, 0.5 to 8.6 GB),
the other axes stuck in turn so that a stuck run ends every 190 rows,
each in a fresh process, with its time: the peaks must not grow with the
file (target: at most 150 MiB of peak resident set, as above).
The binaries are build/default/quendix and quendix-gen, or QUENDIX and
QUENDIX_GEN. QUENDIX_BENCH_FRAMES, QUENDIX_BENCH_BIG_FRAMES,
QUENDIX_BENCH_REPORT_RECORDINGS, QUENDIX_BENCH_PAGE_RECORDINGS and
QUENDIX_BENCH_RUNS change the defaults of --frames, --big-frames,
--report-recordings, --page-recordings and --runs: the check that the
commands of docs/python.md run as written sets them small, since it checks
that the benchmark runs, not its figures. The files go to --dir (default build/python-bench) and are
removed at the end; the files are read from the page cache, as a second
look at a recording is. --only PARTS (a comma-separated list of pandas,
summary, physical, calibrate, epochs, export, command, pool, epochs-pool,
plot, report and memory, or memory-WHAT for one of memory's calls, as
memory-export) measures only those parts, beside quendix.read, which every
figure is held to.
"""

import argparse
import json
import os
import platform
import resource
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


def measure_memory(what, path):
    """Runs in a fresh process: calls `what` on `path` and prints its
    memory figures as JSON."""
    import tracemalloc

    # Imported before the baseline: their memory is no part of the call.
    import pandas  # noqa: F401

    if what in ("plot", "report"):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot  # noqa: F401
    calls = {
        "read": lambda: quendix.read(path),
        "read_chunks": lambda: sum(len(piece.samples) for piece in quendix.read_chunks(path)),
        "summary": lambda: quendix.summary(path),
        "summary_quality": lambda: quendix.summary(path, quality=True),
        "calibrate": lambda: quendix.calibrate(path),
        "epochs": lambda: quendix.epochs(path, rate=100, epoch_seconds=5),
        "export": lambda: quendix.export(path, str(path) + ".h5", rate=100),
        "plot": lambda: quendix.plot(path, str(path) + ".png"),
        "report": lambda: quendix.report(path, str(path) + ".html"),
    }
    baseline = peak_resident_set()
    tracemalloc.start()
    result = calls[what]()
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    figures = {"traced_peak": traced_peak, "rss_growth": peak_resident_set() - baseline,
               "rss_peak": peak_resident_set()}
    if what == "read":
        figures["arrays"] = result.samples.nbytes + result.frames.nbytes
    print(json.dumps(figures))


def dead_axis_recording(generator, path, frames):
    """A generated recording of `frames` frames whose AX holds one value in
    every row, and whose other axes are stuck in turn, each for 950 rows
    at a time (a stuck run closed every 190 rows), written a piece at a
    time."""
    subprocess.run([str(generator), "--frames", str(frames), str(path)], check=True)
    words = np.memmap(path, dtype="<u2", mode="r+", shape=(frames, 66))
    piece = 1 << 18
    for start in range(0, frames, piece):
        part = words[start:start + piece]
        rows = (start + np.arange(len(part), dtype=np.int64))[:, None] * 9 + np.arange(9)
        # Field j of sample i is word 3 + 7 * i + j, after the three header
        # words: AX is field 1, GZ field 6.
        part[:, 4::7] = 1234
        for field in range(2, 7):
            part[:, 3 + field::7] = ((rows + 190 * field) // 950) & 0x3FF
    words.flush()
    del words


def dead_axis(args, generator):
    sizes = [int(n) for n in args.dead_frames.split(",")] if args.dead_frames else [
        args.big_frames // 4, args.big_frames, args.big_frames * 4]
    print("command: %s %s" % (sys.executable, " ".join(sys.argv)))
    print("machine: nproc %d, %s, Linux %s, file system %s; date %s; Python %s, numpy %s" % (
        os.cpu_count(), cpu_model(), platform.release(), file_system(args.dir),
        time.strftime("%Y-%m-%d %H:%M %Z"), platform.python_version(), np.__version__))
    for frames in sizes:
        path = args.dir / "dead.qvx"
        dead_axis_recording(generator, path, frames)
        started = time.perf_counter()
        figures = memory("summary_quality", path)
        print("summary(quality=True) of %d frames (%.2f GB) with a dead axis: peak traced %.1f MiB, "
              "growth of peak resident set %.1f MiB, peak resident set %.1f MiB; %.2f s in its process" % (
                  frames, path.stat().st_size / 1e9, figures["traced_peak"] / MIB,
                  figures["rss_growth"] / MIB, figures["rss_peak"] / MIB, time.perf_counter() - started))
        path.unlink()


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def file_system(path):
    """The type and device of the file system that holds `path`."""
    done = subprocess.run(["df", "-T", str(path)], capture_output=True, text=True)
    fields = done.stdout.splitlines()[-1].split() if done.returncode == 0 else []
    return "%s on %s" % (fields[1], fields[0]) if len(fields) > 1 else "unknown"


def timed(function):
    wall, cpu = time.perf_counter(), time.process_time()
    result = function()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def repeated(function, runs):
    """Best and median wall and CPU times of `runs` calls."""
    walls, cpus = [], []
    for _ in range(runs):
        _, wall, cpu = timed(function)
        walls.append(wall)
        cpus.append(cpu)
    return min(walls), statistics.median(walls), min(cpus), statistics.median(cpus)


def bench_report(args, generator):
    """The report's figures: its time against the summary and the quick
    looks it is made of, and the size and opening time of a large page."""
    import concurrent.futures
    import io

    campaign = args.dir / "campaign"
    campaign.mkdir()
    for i in range(args.report_recordings):
        subprocess.run([str(generator), "--frames", str(max(1, args.frames // 16)), "--missing-every", "100",
                        "--jump-every", "5000", "--seed", str(i + 1), str(campaign / ("r%02d.qvx" % i))],
                       check=True)
    runs = max(1, min(args.runs, 3))

    def parts():
        quendix.summary(campaign, quality=True)
        for path in sorted(campaign.glob("*.qvx")):
            quendix.plot(path, io.BytesIO())

    parts_best, parts_median, _, _ = repeated(parts, runs)
    page = args.dir / "campaign.html"
    serial_best, serial_median, _, _ = repeated(lambda: quendix.report(campaign, page), runs)
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        list(executor.map(abs, range(4)))
        pool_best, pool_median, _, _ = repeated(lambda: quendix.report(campaign, page, executor=executor), runs)
    print("report of %d recordings of %d bytes: serially best %.3f s, median %.3f s (%.2f times the summary "
          "with quality and the quick looks one by one, best %.3f s, median %.3f s; medians; target at most "
          "1.5); with a process pool of 2 already running best %.3f s, median %.3f s (%.2f times); %d bytes "
          "of page" % (args.report_recordings, (campaign / "r00.qvx").stat().st_size, serial_best,
                       serial_median, serial_median / parts_median, parts_best, parts_median, pool_best, pool_median,
                       pool_median / parts_median, page.stat().st_size))
    shutil.rmtree(campaign)
    bench_page(args, generator)


def bench_page(args, generator):
    """The page of --page-recordings small recordings: how long it takes
    with a pool, its size, and how long chromium takes to open it."""
    import concurrent.futures

    many = args.dir / "page"
    for i in range(args.page_recordings):
        (many / ("d%02d" % (i // 100))).mkdir(parents=True, exist_ok=True)
        subprocess.run([str(generator), "--frames", "200", "--missing-every", str(50 + i % 150),
                        "--seed", str(i + 1), str(many / ("d%02d" % (i // 100)) / ("r%04d.qvx" % i))],
                       check=True)
    page = args.dir / "page.html"
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        _, wall, _ = timed(lambda: quendix.report(many, page, executor=executor))
    size = page.stat().st_size
    print("report of %d recordings of 200 frames, a process pool of 2: %.1f s; page of %d bytes, %.1f MB "
          "(target under 20 MB)" % (args.page_recordings, wall, size, size / 1e6))
    opened = open_in_chromium(page, max(1, min(args.runs, 3)))
    if isinstance(opened, str):
        print("the page in chromium: not measured, %s" % opened)
    else:
        print("the page in chromium, headless: opened (its load event) in best %.3f s, median %.3f s of %d "
              "opens, each in a fresh browser (target under 3 s); %d rows, %d pictures; the last picture loaded "
              "once scrolled to: %s; load average %.2f" % (opened + (os.getloadavg()[0],)))
    shutil.rmtree(many)


def open_in_chromium(page, opens):
    """How long Debian's chromium takes to open `page`, from the request to
    its load event, by the page's own navigation timing: best and median
    of `opens` fresh browsers, with the rows and pictures it has and
    whether its last picture loads once scrolled to; or why it cannot be
    measured here."""
    for program in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(program, os.X_OK):
            return "%s is not installed" % program
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return "python3-selenium is not installed"
    times = []
    for _ in range(opens):
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--disable-gpu", "--window-size=1280,1000", "--disable-dev-shm-usage"):
            options.add_argument(argument)
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.get(page.as_uri())
            timing = driver.execute_script("var t = performance.getEntriesByType('navigation')[0];"
                                           "return [t.loadEventEnd, document.querySelectorAll('#campaign tbody tr')"
                                           ".length, document.images.length]")
            # The pictures load as they come near the window: the last one,
            # once scrolled to.
            driver.set_script_timeout(60)
            last = driver.execute_async_script(
                "var done = arguments[arguments.length - 1], image = document.images[document.images.length - 1];"
                "if (!image) return done(0); image.scrollIntoView();"
                "(function wait(k) { if (image.complete && image.naturalWidth > 0 || k > 600) done(image.naturalWidth);"
                " else setTimeout(function () { wait(k + 1); }, 50); })(0);")
        finally:
            driver.quit()
        times.append(timing[0] / 1000.0)
    return min(times), statistics.median(times), opens, timing[1], timing[2], "yes" if last else "NO"


def memory(what, path):
    measured = subprocess.run([sys.executable, __file__, "--measure-memory", what, str(path)],
                              check=True, capture_output=True, text=True)
    return json.loads(measured.stdout)


MIB = 1024.0 * 1024.0
PARTS = ("pandas", "summary", "physical", "calibrate", "epochs", "export", "command", "pool", "epochs-pool",
         "plot", "report", "memory")
MEMORY_CALLS = ("read", "read_chunks", "summary", "summary_quality", "calibrate", "epochs", "export", "plot",
                "report")


def main():
    parser = argparse.ArgumentParser(description="Benchmark of the quendix package.")
    parser.add_argument("--frames", type=int, default=int(os.environ.get("QUENDIX_BENCH_FRAMES", 1515152)))
    parser.add_argument("--big-frames", type=int, default=int(os.environ.get("QUENDIX_BENCH_BIG_FRAMES", 16268816)))
    parser.add_argument("--report-recordings", type=int,
                        default=int(os.environ.get("QUENDIX_BENCH_REPORT_RECORDINGS", 24)))
    parser.add_argument("--page-recordings", type=int,
                        default=int(os.environ.get("QUENDIX_BENCH_PAGE_RECORDINGS", 2000)))
    parser.add_argument("--runs", type=int, default=int(os.environ.get("QUENDIX_BENCH_RUNS", 5)))
    parser.add_argument("--dir", type=Path, default=REPO / "build" / "python-bench")
    parser.add_argument("--dead-axis", action="store_true",
                        help="measure only summary(quality=True) of recordings with a dead axis")
    parser.add_argument("--dead-frames", help="the sizes of those recordings in frames, N,N,...")
    parser.add_argument("--only", metavar="PART,PART,...",
                        help="measure only these parts beside read: %s, or memory-CALL for one of memory's "
                        "calls (%s)" % (", ".join(PARTS), ", ".join(MEMORY_CALLS)))
    parser.add_argument("--measure-memory", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    only = None if args.only is None else set(args.only.split(","))
    unknown = (only or set()) - set(PARTS) - {"memory-" + what for what in MEMORY_CALLS}
    if unknown:
        parser.error("--only: no part %s" % ", ".join(sorted(unknown)))

    def want(part):
        return only is None or part in only or (part.startswith("memory-") and "memory" in only)

    if args.measure_memory:
        measure_memory(args.measure_memory[0], Path(args.measure_memory[1]))
        return

    converter = Path(os.environ.get("QUENDIX") or REPO / "build" / "default" / "quendix")
    generator = Path(os.environ.get("QUENDIX_GEN") or REPO / "build" / "default" / "quendix-gen")
    for program in (converter, generator):
        if not os.access(program, os.X_OK):
            sys.exit("bench: %s not found; build with cmake --workflow --preset default" % program)
    import concurrent.futures

    import pandas

    shutil.rmtree(args.dir, ignore_errors=True)
    args.dir.mkdir(parents=True)
    if args.dead_axis:
        try:
            dead_axis(args, generator)
        finally:
            shutil.rmtree(args.dir, ignore_errors=True)
        return
    try:
        path = args.dir / "bench.qvx"
        subprocess.run([str(generator), "--frames", str(args.frames), "--missing-every", "100",
                        str(path)], check=True)
        same = agrees = pool_same = physical_same = True
        if want("pandas"):
            subprocess.run([str(converter), "bench.qvx"], cwd=args.dir, check=True,
                           stdout=subprocess.DEVNULL)
        csv = path.with_suffix(".csv")

        print("command: %s %s" % (sys.executable, " ".join(sys.argv)))
        print("machine: nproc %d, %s, Linux %s, file system %s, load average %s" % (
            os.cpu_count(), cpu_model(), platform.release(), file_system(args.dir),
            " ".join("%.2f" % x for x in os.getloadavg())))
        print("date: %s; Python %s, numpy %s, pandas %s" % (
            time.strftime("%Y-%m-%d %H:%M %Z"), platform.python_version(), np.__version__,
            pandas.__version__))
        print("recording: %d bytes, %d frames; CSV: %s" % (
            path.stat().st_size, args.frames, "%d bytes" % csv.stat().st_size if csv.exists() else "not made"))

        read_best, read_median, read_cpu_best, read_cpu_median = repeated(lambda: quendix.read(path), args.runs)
        recording = quendix.read(path)
        print("quendix.read: %d rows, %d report lines; wall best %.3f s, median %.3f s; "
              "CPU best %.3f s, median %.3f s (%d runs; target at most 1 s)" % (
                  len(recording.samples), len(recording.report), read_best, read_median,
                  read_cpu_best, read_cpu_median, args.runs))

        if want("pandas"):
            frame, pandas_wall, pandas_cpu = timed(lambda: pandas.read_csv(csv))
            same = list(frame.columns) == list(quendix.SAMPLE_DTYPE.names) and all(
                np.array_equal(frame[name].to_numpy(), recording.samples[name])
                for name in frame.columns)
            print("pandas.read_csv: wall %.3f s, CPU %.3f s; same values as quendix.read: %s" % (
                pandas_wall, pandas_cpu, "yes" if same else "NO"))
            print("speed-up: %.1f times in wall time, %.1f times in CPU time (pandas over the "
                  "quendix.read median; target at least 20)" % (
                      pandas_wall / read_median, pandas_cpu / read_cpu_median))
            del frame

        quality_median = None
        if want("summary"):
            table = quendix.summary(path)
            agrees = (int(table["frames"][0]) == len(recording.frames)
                      and int(table["samples"][0]) == len(recording.samples)
                      and int(table["missing"][0]) == int((~recording.frames["valid"]).sum()))
            summary_best, summary_median, _, _ = repeated(lambda: quendix.summary(path), args.runs)
            print("quendix.summary: wall best %.3f s, median %.3f s; %.1f times faster than read "
                  "(medians; target at least 5); counts as read's: %s" % (
                      summary_best, summary_median, read_median / summary_median, "yes" if agrees else "NO"))
            quality_best, quality_median, _, _ = repeated(lambda: quendix.summary(path, quality=True), args.runs)
            print("quendix.summary(quality=True): wall best %.3f s, median %.3f s; %.2f times the time of "
                  "read (medians; target at most 2, aim 1.3)" % (
                      quality_best, quality_median, quality_median / read_median))
        del recording

        if want("physical"):
            recording = quendix.read(path)
            physical = recording.to_physical()
            physical_same = (len(physical) == len(recording.samples) and int(physical["lost_before"].sum())
                             == int(quendix.summary(path, quality=True)["seq_lost"][0]))
            del physical
            physical_best, physical_median, _, _ = repeated(lambda: recording.to_physical(), args.runs)
            print("Recording.to_physical: wall best %.3f s, median %.3f s; %.2f times the time of read "
                  "(medians; target at most 2, aim 1.5)" % (
                      physical_best, physical_median, physical_median / read_median))
            filled = recording.to_physical(fill="linear")
            added = int(filled["filled"].sum())
            del filled
            linear_best, linear_median, _, _ = repeated(lambda: recording.to_physical(fill="linear"), args.runs)
            print("Recording.to_physical(fill=\"linear\"): %d rows added; wall best %.3f s, median %.3f s; "
                  "%.2f times the time of read (medians; target at most 3)" % (
                      added, linear_best, linear_median, linear_median / read_median))
            del recording
        if want("calibrate"):
            if quality_median is None:
                quality_median = repeated(lambda: quendix.summary(path, quality=True), args.runs)[1]
            calibration = quendix.calibrate(path)
            calibrate_best, calibrate_median, _, _ = repeated(lambda: quendix.calibrate(path), args.runs)
            print("quendix.calibrate: %d points; wall best %.3f s, median %.3f s; %.2f times the time of "
                  "summary(quality=True) (medians; target at most 1.2)" % (
                      calibration.points, calibrate_best, calibrate_median, calibrate_median / quality_median))

        if want("epochs"):
            table = quendix.epochs(path, rate=100, epoch_seconds=5)
            epochs_best, epochs_median, _, _ = repeated(lambda: quendix.epochs(path, rate=100, epoch_seconds=5),
                                                        args.runs)
            print("quendix.epochs(rate=100, epoch_seconds=5): %d epochs; wall best %.3f s, median %.3f s; %.2f "
                  "times the time of read (medians; target at most 2)" % (
                      len(table), epochs_best, epochs_median, epochs_median / read_median))
        if want("export"):
            exported = args.dir / "bench.h5"
            export_best, export_median, _, _ = repeated(lambda: quendix.export(path, exported, rate=100),
                                                        args.runs)
            print("quendix.export(rate=100): %d bytes, %.2f times the recording (target at most 1.1); wall best "
                  "%.3f s, median %.3f s; %.2f times the time of read (medians; target at most 3)" % (
                      exported.stat().st_size, exported.stat().st_size / path.stat().st_size, export_best,
                      export_median, export_median / read_median))
            exported.unlink()

        if want("command"):
            walls, cpus = [], []
            for _ in range(max(1, min(args.runs, 3))):
                started = time.perf_counter()
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                done = subprocess.run([sys.executable, "-m", "quendix", "summary", "--quality", str(path)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                      env=dict(os.environ, PYTHONPATH=str(HERE)))
                walls.append(time.perf_counter() - started)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                if done.returncode not in (0, 1):  # 1: the recording fails a check
                    sys.exit("bench: python -m quendix summary --quality failed: %s" % done.stderr)
            print("python -m quendix summary --quality: wall best %.3f s, median %.3f s; CPU best %.3f s, "
                  "median %.3f s; the whole command in a fresh process (%d runs)" % (
                      min(walls), statistics.median(walls), min(cpus), statistics.median(cpus), len(walls)))


        if want("pool") or want("epochs-pool"):
            # Sixteen recordings of half the size each.
            many = args.dir / "many"
            many.mkdir()
            for i in range(16):
                subprocess.run([str(generator), "--frames", str(args.frames // 2), "--missing-every", "100",
                                "--seed", str(i + 1), str(many / ("r%02d.qvx" % i))], check=True)
            if want("pool"):
                serial_best, serial_median, _, _ = repeated(lambda: quendix.summary(many), args.runs)

                def pooled():
                    with concurrent.futures.ProcessPoolExecutor(2) as executor:
                        return quendix.summary(many, executor=executor)

                cold_best, cold_median, _, _ = repeated(pooled, args.runs)
                with concurrent.futures.ProcessPoolExecutor(2) as executor:
                    list(executor.map(abs, range(4)))  # both workers started
                    warm_best, warm_median, _, _ = repeated(lambda: quendix.summary(many, executor=executor),
                                                            args.runs)
                    pool_same = quendix.summary(many, executor=executor).equals(quendix.summary(many))
                print("summary of 16 recordings of %d bytes: serially best %.3f s, median %.3f s; with a "
                      "process pool of 2 already running best %.3f s, median %.3f s (%.2f times faster, "
                      "medians); with the pool started in the call best %.3f s, median %.3f s (%.2f times); "
                      "same rows: %s" % (
                          (many / "r00.qvx").stat().st_size, serial_best, serial_median, warm_best,
                          warm_median, serial_median / warm_median, cold_best, cold_median,
                          serial_median / cold_median, "yes" if pool_same else "NO"))
                quality_serial = repeated(lambda: quendix.summary(many, quality=True), args.runs)
                with concurrent.futures.ProcessPoolExecutor(2) as executor:
                    list(executor.map(abs, range(4)))
                    quality_warm = repeated(lambda: quendix.summary(many, executor=executor, quality=True), args.runs)
                    pool_same &= quendix.summary(many, executor=executor, quality=True).equals(
                        quendix.summary(many, quality=True))
                print("summary(quality=True) of the 16 recordings: serially best %.3f s, median %.3f s; with "
                      "a process pool of 2 already running best %.3f s, median %.3f s (%.2f times faster, "
                      "medians; target at least 1.6)" % (
                          quality_serial[0], quality_serial[1], quality_warm[0], quality_warm[1],
                          quality_serial[1] / quality_warm[1]))
            if want("epochs-pool"):
                epochs_serial = repeated(lambda: quendix.epochs(many, rate=100), args.runs)
                with concurrent.futures.ProcessPoolExecutor(2) as executor:
                    list(executor.map(abs, range(4)))
                    epochs_warm = repeated(lambda: quendix.epochs(many, rate=100, executor=executor), args.runs)
                    pool_same &= quendix.epochs(many, rate=100, executor=executor).equals(
                        quendix.epochs(many, rate=100))
                print("epochs(rate=100) of the 16 recordings: serially best %.3f s, median %.3f s; with a process "
                      "pool of 2 already running best %.3f s, median %.3f s (%.2f times faster, medians; target at "
                      "least 1.6)" % (epochs_serial[0], epochs_serial[1], epochs_warm[0], epochs_warm[1],
                                      epochs_serial[1] / epochs_warm[1]))
            shutil.rmtree(many)

        if want("plot"):
            picture = args.dir / "bench.png"
            walls, cpus = [], []
            for _ in range(max(1, min(args.runs, 3))):
                started = time.perf_counter()
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                subprocess.run([sys.executable, "-m", "quendix", "plot", "-o", str(picture), str(path)],
                               check=True, stdout=subprocess.DEVNULL,
                               env=dict(os.environ, PYTHONPATH=str(HERE)))
                walls.append(time.perf_counter() - started)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            print("python -m quendix plot: wall best %.3f s, median %.3f s; CPU best %.3f s, median "
                  "%.3f s; the whole command in a fresh process (%d runs; target at most 3 s); %d bytes "
                  "of PNG" % (min(walls), statistics.median(walls), min(cpus), statistics.median(cpus),
                              len(walls), picture.stat().st_size))

        if want("report"):
            bench_report(args, generator)

        if want("memory-read"):
            figures = memory("read", path)
            print("read: arrays returned %.1f MiB; peak while reading, traced: %.1f MiB (%.2f times the "
                  "arrays; target at most 2); growth of peak resident set: %.1f MiB (%.2f times)" % (
                      figures["arrays"] / MIB, figures["traced_peak"] / MIB,
                      figures["traced_peak"] / figures["arrays"], figures["rss_growth"] / MIB,
                      figures["rss_growth"] / figures["arrays"]))
        wanted = [what for what in MEMORY_CALLS[1:] if want("memory-" + what)]
        sizes = [("%d MB" % round(path.stat().st_size / 1e6), path)]
        if wanted and args.big_frames > args.frames:
            big = args.dir / "big.qvx"
            subprocess.run([str(generator), "--frames", str(args.big_frames), "--missing-every", "100",
                            str(big)], check=True)
            sizes.append(("%.2f GiB" % (big.stat().st_size / 1024.0 ** 3), big))
        for what in wanted:
            for name, where in sizes:
                started = time.perf_counter()
                figures = memory(what, where)
                print("%s of %s: peak traced %.1f MiB, growth of peak resident set %.1f MiB, "
                      "peak resident set %.1f MiB; %.2f s in its process" % (
                          what, name, figures["traced_peak"] / MIB, figures["rss_growth"] / MIB,
                          figures["rss_peak"] / MIB, time.perf_counter() - started))
        if not (same and agrees and pool_same and physical_same):
            sys.exit("bench: the package's results differ")
    finally:
        shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
