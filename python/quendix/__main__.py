"""The command line: python -m quendix summary | plot | calibrate | report | epochs | export ...

    python -m quendix summary [-e N] [-j JOBS] [--scheduler ADDRESS] [--selector PATTERN]
                              [-o FILE.csv] [--quality [--threshold NAME=LIMIT]...]
                              [--calibration] [--columns NAME,...] [--failing] SOURCE...
    python -m quendix plot [-e N] [-o FILE.png] [--rate HZ] RECORDING
    python -m quendix calibrate [-e N] [--json] RECORDING
    python -m quendix report [-e N] [-j JOBS] [--selector PATTERN] [--threshold NAME=LIMIT]...
                             [--rate R] [--calibration] [--epoch-seconds S] -o FILE.html SOURCE...
    python -m quendix epochs [-e N] [-j JOBS] [--selector PATTERN] [--rate R]
                             [--epoch-seconds S | --epoch TICKS] [--calibration]
                             [--still-std MG] [--gyro-still DPS] [--nonwear-window MIN]
                             [--nonwear-step MIN] [--nonwear-std MG] [--nonwear-range MG]
                             [--nonwear-axes N] [-o FILE.csv] SOURCE...
    python -m quendix export [-e N] [--selector PATTERN] [--rate R] [--calibration]
                             [--epoch-seconds S | --epoch TICKS] -o FILE.h5 SOURCE...

summary prints quendix.summary() of the recordings and directories given
as an aligned table, "-" for a missing value; -o writes it as CSV too (a
missing value empty), and -o - writes the CSV alone, to standard output.
-j JOBS reads with a pool of that many processes, --scheduler ADDRESS on
the Dask cluster whose scheduler is there (tcp://host:8786); the table is
the same. --quality adds the quality columns and --threshold NAME=LIMIT
(or NAME=off, as often as needed) changes a check's limit, a number of 0
or more; a progress bar is drawn on standard error when it is a terminal,
the campaign has more than a few recordings and tqdm is installed.
--columns NAME,... prints only those columns, in that order, and
--failing only the rows of recordings that could not be read or fail a
check; both shape what is printed (the table, or the CSV of -o -), while
a file named with -o gets the whole table. A message on standard error
says how many recordings hold no samples.

--calibration adds the columns of each recording's calibration (and,
with --quality, the check "calibration_error_after").

--rate R (samples per second) adds still_fraction and nonwear_fraction,
from the recordings' epochs.

epochs writes quendix.epochs() of the recordings as CSV, to standard
output or to -o FILE.csv (the flags' options as quendix.epochs() names
them); export writes quendix.export() of them to the HDF5 file -o FILE.h5
(never standard output: HDF5 needs a file it can seek in), written whole
or not at all, and prints a line per recording.

calibrate prints quendix.calibrate() of one recording: its coefficients
and diagnostics, or with --json one JSON object (Calibration.to_dict(),
NaN as null); the exit status is 1 too when the calibration is not
applied, its reason on standard error.

plot draws quendix.plot() of one recording to -o FILE.png, by default
beside the recording, its name with .png as the converter names its
outputs (alpha/day1.qvx gives alpha/day1.png); -o - is standard output.
--rate HZ, the samples per second, puts seconds on the x axis in place of
samples.

report writes quendix.report() of the recordings and directories given
to -o FILE.html (- for standard output): one web page, the summary with
its quality, a time line of every recording and each one's quick look
and report lines, which any browser opens offline; -j JOBS makes its
rows and sections with a pool of that many processes. Its exit status
is that of summary --quality.

-e N is the converter's -e, 1 to 511 (default 510). An output is written
as quendix.files says: a regular file is replaced only once the output is
whole, by a file as private as the recordings it was made from. Names
are shown as the converter shows them: on a
terminal each control character and each byte that is not valid UTF-8 as
"?", elsewhere their exact bytes. The exit status is 0; 1 when a
recording could not be read (its row says why, and a message on standard
error how many), with --quality when a recording fails a check, or when
an output could not be written; and 2 for wrong arguments (the usage and
the reason on standard error) and for an output name that is refused (a
directory, a socket, a name reached through another user's link, another
user's file in a sticky directory, a FIFO without a reader, one of the
recordings, or anything but a regular file at the default picture name).
"""

import argparse
import io
import os
import sys

from .files import OutputRefused, access_of, check_output, write_line, write_whole
from .recording import DEFAULT_END_BLOCK
from .summary import summary
from .walk import DEFAULT_SELECTOR, recordings

PROGRAM = "python -m quendix"


def end_block(text):
    """The value of -e: a whole number from 1 to 511."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if not 1 <= value <= 511:
        raise argparse.ArgumentTypeError("%d is not from 1 to 511" % value)
    return value


def jobs(text):
    """The value of -j: a whole number of processes, 1 or more."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("%d is not 1 or more" % value)
    return value


def threshold(text):
    """A value of --threshold: NAME=LIMIT, LIMIT a number or "off"."""
    from .quality import THRESHOLDS, limit

    name, equals, value = text.partition("=")
    if not equals or name not in THRESHOLDS:
        raise argparse.ArgumentTypeError("not NAME=LIMIT with NAME one of %s: %r" % (", ".join(THRESHOLDS), text))
    if value == "off":
        return name, None
    try:
        return name, limit(value, name)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError("not a number of 0 or more, or off: %r" % value) from None


def rate(text):
    """The value of --rate: samples per second, a number above 0."""
    from .quicklook import check_rate

    try:
        return check_rate(float(text))
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of samples per second above 0: %r" % text) from None


def column_names(text):
    """The value of --columns: names separated by commas."""
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError("not names separated by commas: %r" % text)
    return names


# More recordings than this get a progress bar on a terminal.
PROGRESS_FROM = 4


def progress_bar(count):
    """A ProgressBar on standard error when it is a terminal, the campaign
    has more than a few recordings (`count()`, called only on a terminal,
    since it walks the campaign) and tqdm is installed; else None."""
    if not sys.stderr.isatty():
        return None
    total = count()
    if total <= PROGRESS_FROM:
        return None
    bar = ProgressBar()
    bar.call(lambda: bar.start(total))
    return bar if bar.bar is not None else None


class ProgressBar:
    """A tqdm bar that switches itself off, with one line on standard
    error, when tqdm fails in any way: the summary goes on without it."""

    def __init__(self):
        self.bar = None

    def start(self, total):
        try:
            import tqdm
        except ImportError:
            return
        self.bar = tqdm.tqdm(total=total, unit="recording", file=sys.stderr, leave=False)

    def call(self, action):
        try:
            action()
        except Exception as error:  # anything a broken tqdm may raise
            self.bar = None
            fail("progress bar off: %s" % ("%s: %s" % (type(error).__name__, error) if str(error)
                                            else type(error).__name__))

    def update(self):
        if self.bar is not None:
            self.call(self.bar.update)

    def close(self):
        if self.bar is not None:
            bar, self.bar = self.bar, None
            self.call(bar.close)


def parser():
    top = argparse.ArgumentParser(prog=PROGRAM, description="Summaries and quick looks of quendix recordings.")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-e", dest="end_block", type=end_block, default=DEFAULT_END_BLOCK, metavar="N",
                        help="highest block number of the recorder, 1 to 511 (default %d)" % DEFAULT_END_BLOCK)

    run = commands.add_parser(
        "summary", parents=[common], help="one row per recording: what it holds and what it lost",
        description="Prints one row per recording: its frames, those without the marker, the report's "
                    "'different' lines, its samples, where it starts and ends, its trailing fragment, or "
                    "why it could not be read. A directory stands for the files that quendix -r with the "
                    "selector converts there, in its order. The exit status is 1 when a recording could "
                    "not be read.")
    run.add_argument("sources", nargs="+", metavar="SOURCE", help="a recording, or a directory of them")
    where = run.add_mutually_exclusive_group()
    where.add_argument("-j", dest="jobs", type=jobs, metavar="JOBS", help="read with a pool of JOBS processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="read on the Dask cluster whose scheduler is at ADDRESS (needs distributed)")
    run.add_argument("--selector", default=DEFAULT_SELECTOR, metavar="PATTERN",
                     help="the files of a directory to read, as quendix's file selector (default %(default)s)")
    run.add_argument("-o", dest="output", metavar="FILE.csv",
                     help="also write the table as CSV to FILE.csv; '-' writes only the CSV, to standard output")
    run.add_argument("--quality", action="store_true",
                     help="also read every sample: clipped and stuck rows, SEQNO steps, duplicate frames, "
                          "still windows and their calibration, and the failed checks; the exit status is "
                          "then 1 too when a recording fails a check")
    run.add_argument("--threshold", dest="thresholds", type=threshold, action="append", default=[],
                     metavar="NAME=LIMIT", help="with --quality: fail NAME above LIMIT instead (clipped as a "
                                                "share of the rows, no_samples at LIMIT samples or fewer), "
                                                "or not at all with LIMIT off")
    run.add_argument("--columns", type=column_names, metavar="NAME,...",
                     help="print only these columns, in this order (a file named with -o gets them all)")
    run.add_argument("--failing", action="store_true",
                     help="print only the rows of recordings that could not be read or, with --quality, "
                          "fail a check (a file named with -o gets them all)")

    run.add_argument("--calibration", action="store_true",
                     help="also fit each recording's calibration from its still windows and add its points, "
                          "errors before and after (mg), whether it is applied, and why not")

    run.add_argument("--rate", type=float, metavar="R",
                     help="samples per second: also add the shares of still and non-wear epochs")

    tabulate = commands.add_parser(
        "epochs", parents=[common], help="per-epoch figures and still and non-wear flags, as CSV",
        description="Writes one row per epoch of each recording's time line: its samples, mean acceleration, "
                    "ENMO, MAD, angular rate, and whether the sensor lay still or was not worn (non-wear "
                    "needs --rate). Flags are columns; no sample is altered or dropped.")
    tabulate.add_argument("sources", nargs="+", metavar="SOURCE", help="a recording, or a directory of them")
    tabulate.add_argument("-j", dest="jobs", type=jobs, metavar="JOBS", help="read with a pool of JOBS processes")
    tabulate.add_argument("-o", dest="output", metavar="FILE.csv", help="the table (default: standard output)")
    epoch_options(tabulate)
    for option, name, kind, unit in (("--still-std", "still_std", float, "MG"),
                                     ("--gyro-still", "gyro_still", float, "DPS"),
                                     ("--nonwear-window", "nonwear_window", float, "MIN"),
                                     ("--nonwear-step", "nonwear_step", float, "MIN"),
                                     ("--nonwear-std", "nonwear_std", float, "MG"),
                                     ("--nonwear-range", "nonwear_range", float, "MG"),
                                     ("--nonwear-axes", "nonwear_axes", int, "N")):
        tabulate.add_argument(option, dest=name, type=kind, metavar=unit,
                              help="as quendix.epochs()'s %s (see the guide for the default)" % name)

    save = commands.add_parser(
        "export", parents=[common], help="write recordings to one HDF5 file for R, MATLAB and others",
        description="Writes every recording's raw counts, time line, frames and report (and with an epoch "
                    "length its epochs) to one HDF5 file, a group per recording, with its size, SHA-256 "
                    "and the settings as attributes; written whole or not at all.")
    save.add_argument("sources", nargs="+", metavar="SOURCE", help="a recording, or a directory of them")
    save.add_argument("-o", dest="output", metavar="FILE.h5", required=True, help="the HDF5 file")
    epoch_options(save)

    fit = commands.add_parser(
        "calibrate", parents=[common], help="fit a recording's calibration from its still windows",
        description="Fits the accelerometer's offset and scale per axis to the windows where the recording "
                    "lay still, and prints them with the gyroscope's bias and the diagnostics. The exit "
                    "status is 1 when the recording could not be read or the calibration is not applied.")
    fit.add_argument("recording", metavar="RECORDING")
    fit.add_argument("--json", action="store_true", help="print one JSON object, for scripts")

    look = commands.add_parser(
        "plot", parents=[common], help="draw a quick look of a recording",
        description="Draws every axis and both magnitudes of a recording in g and degrees per second "
                    "against the sample index (or the time, with --rate), as a minimum/maximum envelope "
                    "per pixel column, with the frames of the report and the jumps marked.")
    look.add_argument("--rate", type=rate, metavar="HZ",
                      help="samples per second: the x axis in seconds from the first sample, not in samples")
    look.add_argument("recording", metavar="RECORDING")
    look.add_argument("-o", dest="output", metavar="FILE.png",
                      help="the picture, '-' for standard output (default: beside the recording, "
                           "its name with .png as the converter names its outputs)")

    page = commands.add_parser(
        "report", parents=[common], help="one web page of a campaign",
        description="Writes one self-contained web page of the recordings: the summary table with its "
                    "quality columns (sorted by a click on a column's name, filtered to the failing "
                    "recordings by a switch), a time line of each recording with what it lost, and a "
                    "section per recording with its quick look, its figures and its report's first lines. "
                    "The exit status is 1 when a recording could not be read or fails a check.")
    page.add_argument("sources", nargs="+", metavar="SOURCE", help="a recording, or a directory of them")
    page.add_argument("-o", dest="output", required=True, metavar="FILE.html",
                      help="the page, '-' for standard output")
    page.add_argument("-j", dest="jobs", type=jobs, metavar="JOBS", help="work with a pool of JOBS processes")
    page.add_argument("--selector", default=DEFAULT_SELECTOR, metavar="PATTERN",
                      help="the files of a directory to read, as quendix's file selector (default %(default)s)")
    page.add_argument("--threshold", dest="thresholds", type=threshold, action="append", default=[],
                      metavar="NAME=LIMIT", help="fail NAME above LIMIT instead, or not at all with LIMIT off")
    page.add_argument("--rate", type=positive, metavar="R",
                      help="samples per second: time lines and quick looks in seconds, non-wear marked")
    page.add_argument("--calibration", action="store_true", help="the calibration columns and each recording's fit")
    page.add_argument("--epoch-seconds", dest="epoch_seconds", type=positive, metavar="S",
                      help="the epochs of the non-wear marks, in seconds (default 5)")
    return top


def positive(text):
    """The value of --rate or --epoch-seconds: a number above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("%s is not above 0" % text)
    return value


def epoch_options(command):
    """The options that epochs and export share."""
    command.add_argument("--selector", default=DEFAULT_SELECTOR, metavar="PATTERN",
                         help="the files of a directory to read (default %(default)s)")
    command.add_argument("--rate", type=float, metavar="R", help="samples per second (never guessed)")
    command.add_argument("--calibration", action="store_true",
                         help="apply each recording's own calibration, fitted from its still windows")
    length = command.add_mutually_exclusive_group()
    length.add_argument("--epoch-seconds", type=float, metavar="S", help="epochs of S seconds (needs --rate)")
    length.add_argument("--epoch", type=int, metavar="TICKS", help="epochs of TICKS ticks")


FLAG_NAMES = ("still_std", "gyro_still", "nonwear_window", "nonwear_step", "nonwear_std", "nonwear_range",
              "nonwear_axes")


def run_epochs(args):
    from .epochs import epochs

    flags = {name: getattr(args, name) for name in FLAG_NAMES if getattr(args, name) is not None}
    to_stdout = args.output in (None, "-")
    if not to_stdout:
        try:
            check_output(args.output, avoid=args.sources)
        except OSError as error:
            return refused(args.output, error)
    executor = None
    if args.jobs:
        import concurrent.futures

        executor = concurrent.futures.ProcessPoolExecutor(args.jobs)
    try:
        table = epochs(args.sources, args.epoch, args.epoch_seconds, args.rate, args.calibration or None,
                       executor, args.end_block, args.selector, **flags)
    except OSError as error:
        return fail("%s not read: %s" % (os.fsdecode(error.filename or ""), error.strerror or error)
                    if error.filename else "not read: %s" % error)
    except ValueError as error:
        return fail(str(error), 2)
    finally:
        if executor is not None:
            executor.shutdown()
    if to_stdout:
        sys.stdout.flush()
        write_csv(table, sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return 0
    try:
        paths = table["path"].unique()
        write_whole(args.output, lambda stream: write_csv(table, stream), avoid=paths, access=access_of(paths))
    except OSError as error:
        return refused(args.output, error)
    count = table["path"].nunique()
    write_line(sys.stdout, "%d epochs of %d recording%s written to %s" % (
        len(table), count, "" if count == 1 else "s", os.fsdecode(args.output)))
    return 0


def run_export(args):
    from .export import export

    if args.output == "-":
        return fail("export -o -: an HDF5 file cannot go to standard output; name a file", 2)
    try:
        names = export(args.sources, args.output, args.rate, args.calibration, args.epoch_seconds, args.epoch,
                       args.end_block, args.selector)
    except OutputRefused as error:
        return refused(args.output, error)
    except OSError as error:
        if error.filename is not None and os.fspath(error.filename) == os.fspath(args.output):
            return refused(args.output, error)
        return fail("%s not written: %s" % (os.fsdecode(args.output), error))
    except ValueError as error:
        return fail(str(error), 2)
    for name in names:
        write_line(sys.stdout, "%s: exported to %s" % (name, os.fsdecode(args.output)))
    return 0


def fail(message, status=1):
    write_line(sys.stderr, "%s: %s" % (PROGRAM, message))
    return status


def refused(path, error):
    """The message for an output that is not written, and its status."""
    status = 2 if isinstance(error, OutputRefused) else 1
    return fail("%s not written: %s" % (os.fsdecode(path), error.strerror or error), status)


def table_text(table):
    """The summary as an aligned text table: numbers to the right, a dash
    for a missing value, the path and the error to the left."""
    import pandas

    names = list(table.columns)
    cells = [names]
    for row in table.itertuples(index=False):
        cells.append(["-" if pandas.isna(value) else "%.3f" % value if isinstance(value, float) else str(value)
                      for value in row])
    widths = [max(len(r[i]) for r in cells) for i in range(len(names))]
    left = {"path", "error", "quality", "calibration_reason"}
    lines = []
    for r in cells:
        parts = [(c.ljust(w) if n in left else c.rjust(w)) for c, w, n in zip(r, widths, names)]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def write_csv(table, stream):
    """Writes `table` as CSV to the binary `stream`, the paths as their
    exact bytes, and leaves the stream open."""
    text = io.TextIOWrapper(stream, encoding=sys.getfilesystemencoding(),
                            errors=sys.getfilesystemencodeerrors(), newline="")
    try:
        table.to_csv(text, index=False)
        text.flush()
    finally:
        text.detach()


def shown(table, args):
    """The rows and columns of `table` that --failing and --columns choose."""
    if args.failing:
        failing = table["error"] != ""
        if "quality" in table.columns:
            failing |= table["quality"].fillna("") != ""
        table = table[failing.to_numpy(dtype=bool)]
    if args.columns:
        table = table[args.columns]
    return table


def run_summary(args):
    to_stdout = args.output == "-"
    if args.output and not to_stdout:
        try:
            check_output(args.output)
        except OSError as error:
            return refused(args.output, error)
    executor = client = None
    if args.jobs:
        import concurrent.futures

        executor = concurrent.futures.ProcessPoolExecutor(args.jobs)
    elif args.scheduler:
        try:
            import distributed
        except ImportError:
            return fail("--scheduler needs the distributed package (Debian: python3-distributed)")
        try:
            client = distributed.Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            return fail("no Dask scheduler at %s: %s" % (args.scheduler, error))
        executor = client.get_executor()
    bar = None
    if args.quality:
        bar = progress_bar(lambda: sum(1 for _ in recordings(args.sources, args.selector)))
    try:
        table = summary(args.sources, args.end_block, executor, args.selector, quality=args.quality,
                        thresholds=dict(args.thresholds), progress=bar.update if bar else None,
                        calibration=args.calibration, rate=args.rate)
    finally:
        if bar is not None:
            bar.close()
        if client is not None:
            client.close()
        elif executor is not None:
            executor.shutdown()
    if to_stdout:
        sys.stdout.flush()
        write_csv(shown(table, args), sys.stdout.buffer)
        sys.stdout.buffer.flush()
    else:
        write_line(sys.stdout, table_text(shown(table, args)))
    if args.output and not to_stdout:
        try:
            write_whole(args.output, lambda stream: write_csv(table, stream), avoid=table["path"],
                        access=access_of(table.loc[table["error"] == "", "path"]))
        except OSError as error:
            return refused(args.output, error)
    failed = int((table["error"] != "").sum())
    if failed:
        fail("%d of %d recordings could not be read" % (failed, len(table)))
    # A recording read whole that holds no sample (empty, a fragment, every
    # frame without the marker) is a dead sensor, not a success to pass over.
    empty = int(((table["error"] == "") & (table["samples"] == 0)).sum())
    if empty:
        fail("%d of %d recordings hold no samples" % (empty, len(table)))
    failing = int(table["quality"].fillna("").ne("").sum()) if args.quality else 0
    if failing:
        fail("%d of %d recordings fail a quality check" % (failing, len(table)))
    return 1 if failed or failing else 0


def calibration_text(path, calibration):
    """The lines that `calibrate` prints of the Calibration `calibration`."""
    def triple(values, form):
        return "  ".join(form % v for v in values)
    return "\n".join([
        "recording: %s" % os.fsdecode(os.fspath(path)),
        "points: %d still windows" % calibration.points,
        "offset: %s g" % triple(calibration.offset, "%.6f"),
        "scale: %s" % triple(calibration.scale, "%.6f"),
        "gyro_bias: %s degrees per second" % triple(calibration.gyro_bias, "%.4f"),
        "error_before: %.3f mg" % calibration.error_before,
        "error_after: %.3f mg" % calibration.error_after,
        "applied: %s" % ("yes" if calibration.applied else "no: " + calibration.reason)])


def run_calibrate(args):
    import json

    from .calibrating import calibrate

    try:
        calibration = calibrate(args.recording, args.end_block)
    except OSError as error:
        return fail("%s not read: %s" % (args.recording, error.strerror or error))
    if args.json:
        fields = dict(recording=os.fsdecode(os.fspath(args.recording)), **calibration.to_dict())
        write_line(sys.stdout, json.dumps(fields))
    else:
        write_line(sys.stdout, calibration_text(args.recording, calibration))
    if not calibration.applied:
        return fail("%s: calibration not applied: %s" % (args.recording, calibration.reason))
    return 0


def run_plot(args):
    from .quicklook import picture_name, plot

    output = args.output or picture_name(args.recording)
    target = sys.stdout.buffer if output == "-" else output
    try:
        if target is output:
            check_output(output, avoid=[args.recording], chosen=not args.output)
        sys.stdout.flush()
        counts = plot(args.recording, target if args.output else None, args.end_block, rate=args.rate)
    except OutputRefused as error:
        return refused(output, error)
    except OSError as error:
        reason = error.strerror or str(error)
        if error.filename is not None and os.fspath(error.filename) != args.recording:
            reason += " (%s)" % os.fsdecode(error.filename)
        return fail("%s not drawn: %s" % (args.recording, reason))
    except ValueError as error:  # a picture format matplotlib does not know
        return fail("%s not drawn: %s" % (output, error))
    done = "%s: %d samples drawn to %s" % (args.recording, counts["samples"],
                                            "standard output" if target is not output else output)
    write_line(sys.stderr if target is not output else sys.stdout, done)
    return 0


def run_report(args):
    import concurrent.futures

    from .page import report

    target = sys.stdout.buffer if args.output == "-" else args.output
    executor = concurrent.futures.ProcessPoolExecutor(args.jobs) if args.jobs else None
    bar = progress_bar(lambda: 2 * sum(1 for _ in recordings(args.sources, args.selector)))
    try:
        sys.stdout.flush()
        table = report(args.sources, target, args.end_block, executor, args.selector, dict(args.thresholds),
                       args.rate, args.calibration, args.epoch_seconds, progress=bar.update if bar else None)
    except OSError as error:
        return refused(args.output, error)
    except ValueError as error:  # epochs of no whole number of samples
        return fail(str(error), 2)
    finally:
        if bar is not None:
            bar.close()
        if executor is not None:
            executor.shutdown()
    failed = int((table["error"] != "").sum())
    failing = int(table["quality"].fillna("").ne("").sum())
    done = "%d recordings: %d could not be read, %d fail a quality check; the page is %s" % (
        len(table), failed, failing, "on standard output" if target is not args.output else args.output)
    write_line(sys.stderr if target is not args.output else sys.stdout, done)
    return 1 if failed or failing else 0


def main(argv=None):
    top = parser()
    args = top.parse_args(argv)
    if args.command == "summary" and args.thresholds and not args.quality:
        top.error("--threshold needs --quality")
    if args.command == "summary" and args.columns:
        from .calibration import CALIBRATION_COLUMNS
        from .quality import QUALITY_COLUMNS
        from .summary import SUMMARY_COLUMNS

        known = (SUMMARY_COLUMNS + (QUALITY_COLUMNS if args.quality else ())
                 + (CALIBRATION_COLUMNS if args.calibration else ()))
        unknown = [name for name in args.columns if name not in known]
        if unknown:
            top.error("--columns: %s not a column; the columns are %s" % (", ".join(unknown), ", ".join(known)))
    if args.command == "summary":
        return run_summary(args)
    if args.command == "calibrate":
        return run_calibrate(args)
    if args.command == "report":
        return run_report(args)
    if args.command == "epochs":
        return run_epochs(args)
    if args.command == "export":
        return run_export(args)
    return run_plot(args)


if __name__ == "__main__":
    sys.exit(main())
