"""A campaign at a glance: one web page with the summary table, a picture of
every recording's time line and a section per recording with its quick
look, its figures and the first lines of its report.

The page is one HTML file that holds everything it shows: the pictures are
inline (PNG as data: URIs, the campaign picture as SVG), and so are its
style and its small script, which sorts the table and filters it; it asks
nothing of the network. Every name and text from the recordings is escaped,
so that a name is always shown as the text it is. The sections are made
side by side on an executor, as the summary's rows are, and written to a
temporary file as they come, so that memory does not grow with the number
of recordings; the page is put in place only once whole.
"""

import base64
import hashlib
import html
import inspect
import io
import os
import re
import shutil
import socket
import struct
import tempfile
import time

import numpy as np

from .files import access_of, check_output, write_whole
from .quality import QUALITY_COLUMNS, THRESHOLDS
from .recording import DEFAULT_END_BLOCK, check_end_block, is_path
from .summary import CALIBRATION_COLUMNS as SUMMARY_CALIBRATION_COLUMNS
from .summary import SUMMARY_COLUMNS, summary
from .walk import DEFAULT_SELECTOR, recordings

# The report lines a section shows; it says how many more there are.
REPORT_LINES = 12

# The quick look of a section: plot()'s figure at FINEST_DPI for a campaign
# of up to FINE_UP_TO recordings, coarser for larger ones, down to
# COARSEST_DPI, so that the page stays small.
FINEST_DPI = 80
COARSEST_DPI = 24
FINE_UP_TO = 100
# Colours of a section's picture: a palette this size keeps it small.
PICTURE_COLOURS = 16

# The marks of the campaign picture: the kind of the quick look's marks,
# what the legend calls it and its colour.
TIME_LINE_MARKS = (
    ("missing", "lost: frames without the marker", "#d62728"),
    ("different", "jumps: frames at another position", "#9467bd"),
    ("clipped", "clipped rows", "#ff7f0e"),
    ("stuck", "stuck rows", "#8c564b"),
)
# With a rate, the epochs that are non-wear (see quendix.epochs).
NONWEAR_MARK = ("nonwear", "non-wear epochs", "#17becf")

# What each check of the quality column is about, in words.
CHECK_WORDS = {
    "clipped": "rows with an axis at the end of its range",
    "stuck": "rows in a run of 900 or more where an axis keeps one value",
    "seq_lost": "samples missing from the SEQNO count",
    "seq_repeats": "SEQNOs repeated",
    "seq_backward": "SEQNOs stepping back",
    "duplicate_frames": "frames equal to the one before",
    "gravity_error": "thousandths by which gravity in still windows is off",
}

# Columns of a section's calibration diagnostics: the quality's, and those
# of calibration=True.
CALIBRATION_COLUMNS = ("still_windows", "gravity_error", "gyro_offset") + SUMMARY_CALIBRATION_COLUMNS

_CONTROLS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


def report(sources, output, end_block=DEFAULT_END_BLOCK, executor=None, selector=DEFAULT_SELECTOR,
           thresholds=None, rate=None, calibration=False, epoch_seconds=None, progress=None):
    """Writes the page of the campaign of `sources` to `output` and returns
    its summary table: summary(sources, end_block, executor, selector,
    quality=True, thresholds=thresholds).

    The page, one self-contained HTML file, holds:
      - a header: where the campaign is (the machine and the sources), when
        and by which version and with which parameters the page was made,
        how many recordings there are, could not be read and fail a check,
        and how much was lost;
      - the summary table, every column of it: a click on a column's
        header sorts the rows by it, ascending, then descending; a switch
        shows the failing rows alone (could not be read, or failed a check,
        in words); each row links to its recording's section;
      - the campaign picture: one line per recording along its samples (or
        seconds, with a `rate` in samples per second), on one scale, with
        the frames without the marker, the jumps of the position, the
        clipped and the stuck rows and, with a `rate`, the non-wear epochs
        (see quendix.epochs) marked;
      - a section per recording: its quick look (see plot(); in seconds
        with a `rate`), its figures, its calibration diagnostics (with
        `calibration`, also calibrate()'s fit: applied or why not, offset,
        scale and gyroscope bias), with a `rate` its still and non-wear
        shares, and the first REPORT_LINES lines of its report, with how
        many more there are. The pictures load as they come near the
        window, so that a page of thousands opens quickly.

    `output` is a path, written as quendix.files says: a regular file is
    replaced only once the page is whole, and a new page gets no more
    permissions than the recordings have (read and write bits that all of
    them have); or a writable binary file object. A name that is refused
    raises quendix.files.OutputRefused before anything is read.

    `executor` (see summary()) makes the rows and then the sections, the
    sections also side by side: each reads its recording twice (three
    times with `calibration`), piece by piece, in memory that does not
    grow with it. `rate` (samples per second), `calibration` and
    `epoch_seconds` are given on to summary() when it takes them, and
    shown among the parameters; `rate` also puts the campaign picture and
    the quick looks in seconds, and `epoch_seconds` is the length of the
    epochs of the non-wear marks (5 seconds by default, as the summary's).
    `progress`, when given, is called with no argument as each row and
    then each section is done.
    Needs pandas and matplotlib.
    """
    end_block = check_end_block(end_block)
    if not is_path(sources):
        sources = list(sources)  # walked more than once
    rate = _positive(rate, "rate")
    epoch_seconds = _positive(epoch_seconds, "epoch_seconds")
    if rate is not None:
        from .epochs import Settings

        Settings(epoch_seconds=epoch_seconds, rate=rate)  # a whole number of ticks, or ValueError
    found = [path for path, error in recordings(sources, selector) if error is None]
    if isinstance(output, (str, bytes, os.PathLike)):
        check_output(output, avoid=found)
    made = time.time()
    # The options of the summary that this version of it has: the page shows
    # whatever columns they add.
    options = {"rate": rate, "calibration": calibration, "epoch_seconds": epoch_seconds}
    accepted = inspect.signature(summary).parameters
    table = summary(sources, end_block, executor, selector, quality=True, thresholds=thresholds,
                    progress=progress, **{k: v for k, v in options.items() if k in accepted and v})
    paths = [os.fsdecode(os.fspath(p)) for p in table["path"]]
    readable = [i for i, error in enumerate(table["error"]) if error == ""]
    dpi = _picture_dpi(len(readable))
    with tempfile.TemporaryFile() as spool:
        # Each recording's time line: its samples and marks, or its error;
        # the sections themselves wait in the spool.
        lines = []
        wanted = set(readable)
        sections = iter(_sections([paths[i] for i in readable], end_block, dpi, executor, rate, calibration,
                                   epoch_seconds))
        for i, row in enumerate(table.to_dict("records")):
            result = next(sections) if i in wanted else {"error": row["error"]}
            spool.write(_section(i, paths[i], row, result).encode("utf-8"))
            lines.append((paths[i], row, {k: result.get(k) for k in ("error", "samples", "marks")}))
            if progress is not None:
                progress()
        parameters = {"end_block": end_block, "selector": selector,
                      "thresholds": _changed(thresholds), "rate": rate,
                      "calibration": calibration, "epoch_seconds": epoch_seconds}
        head = _head(sources, table, paths, parameters, made)
        picture = _campaign_picture(lines, rate)
        table_html = _table(table, paths)

        def write(stream):
            stream.write(head.encode("utf-8"))
            stream.write(picture.encode("utf-8"))
            stream.write(table_html.encode("utf-8"))
            spool.seek(0)
            shutil.copyfileobj(spool, stream)
            stream.write(_TAIL.encode("utf-8"))

        write_whole(output, write, avoid=found, access=access_of([paths[i] for i in readable]))
    return table


def _positive(value, name):
    """`value` as a positive float, or None."""
    if value is None:
        return None
    number = float(value)
    if not number > 0 or number == float("inf"):
        raise ValueError("%s must be a positive number, not %r" % (name, value))
    return number


def _changed(thresholds):
    """The limits of `thresholds` that differ from THRESHOLDS."""
    return {name: limit for name, limit in (thresholds or {}).items() if THRESHOLDS.get(name, ()) != limit}


def _picture_dpi(count):
    """The resolution of the quick looks of a page of `count` of them."""
    if count <= FINE_UP_TO:
        return FINEST_DPI
    return max(COARSEST_DPI, int(FINEST_DPI * (FINE_UP_TO / count) ** 0.5))


def _sections(paths, end_block, dpi, executor, rate=None, calibration=False, epoch_seconds=None):
    """The results of recording_section for each of `paths`, in order."""
    count = len(paths)
    if executor is None:
        return (recording_section(path, end_block, dpi, REPORT_LINES, rate, calibration, epoch_seconds)
                for path in paths)
    return executor.map(recording_section, [os.path.abspath(p) for p in paths], [end_block] * count,
                        [dpi] * count, [REPORT_LINES] * count, [rate] * count, [bool(calibration)] * count,
                        [epoch_seconds] * count)


_FIGURE = {}


def recording_section(path, end_block=DEFAULT_END_BLOCK, dpi=FINEST_DPI, lines=REPORT_LINES, rate=None,
                      calibration=False, epoch_seconds=None):
    """What the page shows of the recording at `path` beyond its summary
    row, from one quick look of it: a dict of "picture" (PNG bytes),
    "lines" (the first `lines` report lines), "line_count" (all of them),
    "samples", "marks" (for each kind of TIME_LINE_MARKS, and with a
    `rate` NONWEAR_MARK, the stretches where it lies as [start, end)
    shares of the samples, a list of pairs), "calibration" (with
    `calibration`, quendix.calibrate()'s Calibration of it as a dict, see
    Calibration.to_dict; else None) and "error" ("", or why the recording
    could not be drawn). With a `rate` (samples per second) the quick
    look is in seconds and the non-wear epochs are those of
    quendix.epochs() with that rate and `epoch_seconds` (calibrated as the
    summary does with `calibration`), found in the quick look's own pass
    over the file.
    What an executor runs for each recording."""
    from .calibrating import calibrate
    from .epochs import Epochs, Settings
    from .quicklook import FIGURE_INCHES, look, new_figure

    # One figure per process, drawn on again for each recording.
    if _FIGURE.get(dpi) is None:
        _FIGURE.clear()
        _FIGURE[dpi] = new_figure(FIGURE_INCHES, dpi)
    head, total = [], 0
    fitted = None
    try:
        if calibration:
            fitted = calibrate(path, end_block)
    except OSError as error:
        return {"error": error.strerror or str(error)}
    epochs = None
    if rate is not None:
        applied = fitted if fitted is not None and fitted.applied else None
        epochs = Epochs(Settings(epoch_seconds=epoch_seconds, rate=rate), applied)

    def each_piece(piece):
        nonlocal total
        head.extend(piece.report[:max(0, lines - len(head))])
        total += len(piece.report)
        if epochs is not None:
            epochs.add(piece.samples, piece.before)

    picture = io.BytesIO()
    try:
        counts, envelope, _ = look(path, lambda figure: _png(figure, picture), end_block,
                                   each_piece=each_piece, figure=_FIGURE[dpi], rate=rate)
    except OSError as error:
        return {"error": error.strerror or str(error)}
    columns = envelope.columns
    marks = {}
    for kind, _, _ in TIME_LINE_MARKS:
        marks[kind] = [(a / columns, b / columns) for a, b in _runs(envelope.marks[kind] > 0)]
    if epochs is not None:
        table = epochs.columns()
        # Where each epoch starts among the samples: a stretch of non-wear
        # epochs covers the samples recorded in it.
        starts = np.concatenate(([0], np.cumsum(table["samples"])))
        count = max(1, int(starts[-1]))
        marks[NONWEAR_MARK[0]] = [(int(starts[a]) / count, int(starts[b]) / count)
                                  for a, b in _runs(table["nonwear"])]
    return {"picture": picture.getvalue(), "lines": head, "line_count": total,
            "samples": counts["samples"], "marks": marks,
            "calibration": None if fitted is None else fitted.to_dict(), "error": ""}


def _runs(flags):
    """The [start, end) index pairs of the runs of true values of `flags`."""
    marked = np.concatenate(([False], np.asarray(flags, bool), [False]))
    edges = np.flatnonzero(marked[1:] != marked[:-1])
    return list(zip(edges[0::2].tolist(), edges[1::2].tolist()))


def _png(figure, stream):
    """Writes `figure` to `stream` as a PNG of PICTURE_COLOURS colours."""
    from PIL import Image

    figure.canvas.draw()
    image = Image.fromarray(np.asarray(figure.canvas.buffer_rgba())).convert("RGB")
    image.quantize(PICTURE_COLOURS, method=Image.Quantize.FASTOCTREE).save(stream, format="png", optimize=True)


def _text(value):
    """`value` as HTML text: a name's bytes that are not UTF-8 and its
    control characters as U+FFFD, and &, <, >, " and ' escaped."""
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    text = str(value).encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    return html.escape(_CONTROLS.sub("\ufffd", text), quote=True)


def _missing(value):
    """Whether a value of the table is missing: None, NaN or pandas.NA."""
    if value is None:
        return True
    try:
        return bool(value != value)
    except TypeError:  # pandas.NA, which is neither true nor false
        return True


def _shown(value):
    """A figure of the table as the page shows it: "-" when missing."""
    if _missing(value):
        return "-"
    if isinstance(value, (float, np.floating)):
        return "%.3f" % value
    return _text(value)


def _failing(row):
    return bool(row["error"]) or bool(row.get("quality"))


def _verdict(row):
    """The recording's state in words, as HTML."""
    if row["error"]:
        return '<p class="verdict bad">Could not be read: %s</p>' % _text(row["error"])
    if not row.get("quality"):
        return '<p class="verdict good">Passes every quality check.</p>'
    items = []
    for failed in str(row["quality"]).split("; "):
        name = failed.split(" ", 1)[0]
        words = CHECK_WORDS.get(name)
        items.append("<li>%s%s</li>" % (_text(failed), " &mdash; %s" % _text(words) if words else ""))
    return '<div class="verdict bad">Fails %s:<ul>%s</ul></div>' % (
        "a quality check" if len(items) == 1 else "%d quality checks" % len(items), "".join(items))


def _figures(row, names):
    """The figures `names` of `row` as one line of text: a page of
    thousands of sections opens far quicker than with a table each."""
    return '<p class="figures">%s</p>' % " &middot; ".join(
        "%s&nbsp;%s" % (_text(name), _shown(row[name])) for name in names)


def _calibration(fitted):
    """The calibration that calibrate() fitted (as Calibration.to_dict
    gives it), as HTML: whether it is applied and its coefficients."""
    if not fitted:
        return ""

    def axes(values, names, form):
        return " ".join("%s&nbsp;%s" % (name, "-" if v is None else form % v) for name, v in zip(names, values))

    state = "applied" if fitted["applied"] else "not applied: %s" % _text(fitted["reason"])
    return ('<p class="figures calibration">calibration %s &middot; offset (g) %s &middot; scale %s &middot; '
            'gyro_bias (&deg;/s) %s</p>' % (state, axes(fitted["offset"], ("AX", "AY", "AZ"), "%.5f"),
                                            axes(fitted["scale"], ("AX", "AY", "AZ"), "%.5f"),
                                            axes(fitted["gyro_bias"], ("GX", "GY", "GZ"), "%.3f")))


def _section(i, path, row, result):
    """The HTML of recording `i`'s section."""
    parts = ['<section id="r%d" class="recording%s">' % (i + 1, " failing" if _failing(row) else ""),
             '<h3><span class="number">%d</span> %s</h3>' % (i + 1, _text(path)), _verdict(row)]
    if result.get("picture"):
        # Decoded only once near the window, in the room its size keeps:
        # a page of thousands of pictures opens without decoding them all.
        width, height = struct.unpack(">II", result["picture"][16:24])
        parts.append('<img class="look" loading="lazy" decoding="async" width="%d" height="%d" '
                     'src="data:image/png;base64,%s" alt="quick look of %s">'
                     % (width, height, base64.b64encode(result["picture"]).decode("ascii"), _text(path)))
    elif result.get("error") and not row["error"]:
        parts.append('<p class="verdict bad">No quick look: %s</p>' % _text(result["error"]))
    names = [n for n in row if n not in ("path", "error", "quality")]
    calibration = [n for n in names if n in CALIBRATION_COLUMNS]
    wear = [n for n in names if n not in calibration and n not in SUMMARY_COLUMNS + QUALITY_COLUMNS]
    counts = [n for n in names if n not in calibration and n not in wear]
    if not row["error"]:
        parts.append("<h4>Figures</h4>%s" % _figures(row, counts))
        parts.append("<h4>Calibration diagnostics</h4>%s%s" % (_figures(row, calibration),
                                                               _calibration(result.get("calibration"))))
        if wear:
            parts.append("<h4>Wear</h4>%s" % _figures(row, wear))
    if "lines" in result:
        shown = result["lines"]
        more = result["line_count"] - len(shown)
        parts.append("<h4>Report</h4><pre>%s</pre>" % _text("\n".join(shown)))
        if more > 0:
            parts.append('<p class="more">and %d more line%s</p>' % (more, "" if more == 1 else "s"))
    parts.append('<p class="back"><a href="#summary">back to the table</a></p></section>\n')
    return "".join(parts)


def _sum(table, name):
    if name not in table:
        return 0
    return int(table[name].fillna(0).sum())


def _head(sources, table, paths, parameters, made):
    """The page's start and its header."""
    from . import __version__

    if isinstance(sources, (str, bytes, os.PathLike)):
        sources = [sources]
    places = ", ".join(_text(os.path.abspath(os.fsdecode(os.fspath(s)))) for s in sources)
    count = len(table)
    unread = int((table["error"] != "").sum())
    failing = int(table["quality"].fillna("").ne("").sum())
    frames, missing = _sum(table, "frames"), _sum(table, "missing")
    shown = []
    for name, value in parameters.items():
        if value is None or value is False or value == {}:
            continue
        if isinstance(value, dict):
            value = ", ".join("%s=%s" % (k, "off" if v is None else "%g" % v) for k, v in value.items())
        elif value is True:
            value = "yes"
        elif isinstance(value, float):
            value = "%g" % value
        shown.append("%s %s" % (_text(name), _text(value)))
    title = "quendix report: %s" % places
    lost = ("%d of %d frames without the marker (%s), that is %d samples; %d frames at another position; "
            "%d samples missing from the SEQNO count; %d bytes after the last whole frames" % (
                missing, frames, "%.3g%%" % (100.0 * missing / frames) if frames else "none",
                9 * missing, _sum(table, "different"), _sum(table, "seq_lost"), _sum(table, "fragment")))
    return "".join([
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; img-src data:; '
        'style-src \'sha256-%s\'; script-src \'sha256-%s\'">' % (_digest(_STYLE), _digest(_SCRIPT)),
        '<link rel="icon" href="data:,">',
        "<title>%s</title><style>%s</style></head>\n<body>" % (title, _STYLE),
        '<header><h1>quendix report</h1><dl>',
        "<dt>Campaign</dt><dd>%s on %s</dd>" % (places, _text(socket.gethostname())),
        "<dt>Made</dt><dd>%s UTC by quendix %s</dd>" % (
            time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(made)), _text(__version__)),
        "<dt>Parameters</dt><dd>%s</dd>" % "; ".join(shown),
        "<dt>Recordings</dt><dd>%d: %d could not be read, %d fail a quality check, %d pass</dd>" % (
            count, unread, failing, count - unread - failing),
        "<dt>Lost</dt><dd>%s</dd></dl></header>\n" % lost,
        ])


def _digest(text):
    return base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")


def _ticks(end):
    """Round values from 0 to `end` for an axis, about five."""
    if end <= 0:
        return [0]
    step = 10.0 ** np.floor(np.log10(end / 5.0))
    for factor in (1, 2, 5, 10):
        if end / (step * factor) <= 6:
            step *= factor
            break
    return [step * k for k in range(int(end // step) + 1)]


def _campaign_picture(lines, rate):
    """The SVG of every recording's time line, one row each, on one scale."""
    width, left = 1000.0, 44.0
    count = len(lines)
    row = min(16.0, max(3.0, 640.0 / max(count, 1)))
    lengths = [r["samples"] or 0 for _, _, r in lines]
    longest = max(lengths + [1])
    end = longest / rate if rate else longest
    scale = (width - left - 10.0) / longest
    height = count * row + 40.0
    kinds = TIME_LINE_MARKS + ((NONWEAR_MARK,) if rate else ())
    parts = ['<section id="picture"><h2>Time lines</h2><svg class="campaign" viewBox="0 0 %d %d" '
             'role="img" aria-label="time line of each recording">' % (width, height)]
    for k, (path, summary_row, result) in enumerate(lines):
        y = k * row
        bar = max(1.0, row * 0.7)
        parts.append('<a href="#r%d"><title>%s</title>' % (k + 1, _text(path)))
        parts.append('<text x="%g" y="%.1f" class="n">%d</text>' % (left - 4, y + row * 0.8, k + 1)
                     if row >= 9 else "")
        if result["error"]:
            parts.append('<rect x="%g" y="%.1f" width="%g" height="%.1f" class="unread"/>'
                         % (left, y + (row - bar) / 2, width - left - 10.0, bar))
        else:
            extent = max(1.0, lengths[k] * scale)
            parts.append('<rect x="%g" y="%.1f" width="%.1f" height="%.1f" class="%s"/>' % (
                left, y + (row - bar) / 2, extent, bar, "line failing" if _failing(summary_row) else "line"))
            for kind, _, _ in kinds:
                # Non-wear, which other marks may share, is a band along the
                # line's lower part, drawn over them.
                top, high = (y + row * 0.6, row * 0.4) if kind == NONWEAR_MARK[0] else (y, row)
                for a, b in _merged(result["marks"].get(kind, ()), extent):
                    parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" class="m-%s"/>'
                                 % (left + a, top, b - a, high, kind))
        parts.append("</a>")
    axis_y = count * row + 4
    parts.append('<line x1="%g" x2="%g" y1="%.1f" y2="%.1f" class="axis"/>' % (left, width - 10, axis_y, axis_y))
    for tick in _ticks(end):
        x = left + tick * (rate or 1.0) * scale
        parts.append('<line x1="%.1f" x2="%.1f" y1="%.1f" y2="%.1f" class="axis"/>' % (x, x, axis_y, axis_y + 4))
        parts.append('<text x="%.1f" y="%.1f" class="tick">%s</text>' % (x, axis_y + 16, "%g" % tick))
    parts.append('<text x="%g" y="%.1f" class="n">%s</text></svg>'
                 % (width - 10, axis_y + 28, "seconds" if rate else "sample"))
    legend = "".join('<span><i class="m-%s"></i>%s</span>' % (kind, _text(words)) for kind, words, _ in kinds)
    parts.append('<p class="legend"><span><i class="line"></i>passes</span><span><i class="line failing"></i>'
                 'fails a check</span>%s<span><i class="unread"></i>could not be read</span></p></section>\n' % legend)
    return "".join(parts)


def _merged(stretches, extent):
    """`stretches` ([start, end) shares) in picture units along `extent`,
    each at least one unit wide, those that touch merged."""
    merged = []
    for a, b in stretches:
        a, b = a * extent, max(b * extent, a * extent + 1.0)
        if merged and a <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], b)
        else:
            merged.append([a, b])
    return merged


def _table(table, paths):
    """The summary table, its rows linked to their sections."""
    names = list(table.columns)
    head = "".join('<th scope="col"><button type="button">%s</button></th>' % _text(n) for n in names)
    rows = []
    for i, row in enumerate(table.to_dict("records")):
        cells = []
        for name in names:
            value = row[name]
            if name == "path":
                cells.append('<th scope="row"><a href="#r%d">%s</a></th>' % (i + 1, _text(paths[i])))
            elif isinstance(value, str) or name in ("error", "quality"):
                words = ""
                if name == "quality" and not _missing(value):
                    words = "; ".join(CHECK_WORDS.get(failed.split(" ", 1)[0], "") for failed in value.split("; "))
                tip = ' title="%s"' % _text(words) if words.strip("; ") else ""
                cells.append('<td class="words"%s>%s</td>' % (tip, "" if _missing(value) else _text(value)))
            else:
                number = "" if _missing(value) else repr(float(value)) if isinstance(value, float) else str(int(value))
                cells.append('<td data-v="%s">%s</td>' % (number, _shown(value)))
        rows.append('<tr%s>%s</tr>' % (' class="failing"' if _failing(row) else "", "".join(cells)))
    return ('<section id="summary"><h2>Recordings</h2><p class="controls"><label><input type="checkbox" '
            'id="only-failing"> only the failing recordings</label> <span class="hint">click a column&rsquo;s '
            'name to sort by it</span></p><div class="scroll"><table id="campaign"><thead><tr>%s</tr></thead>'
            '<tbody>%s</tbody></table></div></section>\n<h2>Each recording</h2>\n' % (head, "\n".join(rows)))


# The table of a large campaign lies below its tall campaign picture: laid
# out only once it comes near the window (content-visibility), so that its
# thousands of cells do not hold up the page's opening; so are the sections.
_STYLE = """
#summary{content-visibility:auto;contain-intrinsic-size:auto 80vh}
body{font:15px/1.45 system-ui,sans-serif;margin:0 auto;padding:0 12px 40px;max-width:1100px;color:#222}
h1{font-size:1.5em;margin:.6em 0 .2em}h2{font-size:1.25em;margin:1.4em 0 .4em}
h3{font-size:1.05em;margin:0 0 .3em;word-break:break-all}h4{font-size:.95em;margin:.6em 0 .2em}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.15em 1em;margin:0}dt{font-weight:600}
dd{margin:0;word-break:break-word}
.scroll{overflow-x:auto;max-height:80vh;border:1px solid #ccc}
table#campaign{border-collapse:collapse;font-size:13px;white-space:nowrap}
#campaign th,#campaign td{padding:2px 8px;border-bottom:1px solid #eee;text-align:right}
#campaign thead th{position:sticky;top:0;background:#f4f4f4;z-index:1}
#campaign th button{font:inherit;font-weight:600;border:0;background:none;cursor:pointer;padding:0}
#campaign th[aria-sort=ascending] button::after{content:" \\25B2"}
#campaign th[aria-sort=descending] button::after{content:" \\25BC"}
#campaign tbody th{text-align:left;font-weight:normal;position:sticky;left:0;background:#fff;
max-width:45vw;overflow:hidden;text-overflow:ellipsis}#campaign thead th:first-child{text-align:left}
#campaign td.words{text-align:left;white-space:normal;min-width:12em}
#campaign tr.failing td,#campaign tr.failing th{background:#fdecec}
tbody.only-failing tr:not(.failing){display:none}
.controls{display:flex;flex-wrap:wrap;gap:.5em 1.5em;align-items:center}.hint{color:#666;font-size:.9em}
svg.campaign{width:100%;height:auto;display:block}svg .line{fill:#c8d3dc}svg .line.failing{fill:#f2b8b8}
svg .unread{fill:none;stroke:#d62728;stroke-dasharray:4 3}svg .axis{stroke:#666}
svg text{font:11px sans-serif;fill:#444}svg .tick{text-anchor:middle}svg .n{text-anchor:end}
.legend span{margin-right:1.2em;white-space:nowrap}.legend i{display:inline-block;width:.9em;height:.9em;
margin-right:.3em;vertical-align:-.1em}.legend i.unread{border:1px dashed #d62728}
.legend i.line{background:#c8d3dc}.legend i.line.failing{background:#f2b8b8}
section.recording{border-top:2px solid #ddd;padding:.8em 0;content-visibility:auto;
contain-intrinsic-size:auto 900px}section.recording.failing{border-top-color:#d62728}
.number{display:inline-block;min-width:2em;color:#666}
.verdict{margin:.2em 0}.verdict ul{margin:.2em 0}.good{color:#1a7f37}.bad{color:#b42318}
img.look{max-width:100%;height:auto;display:block;margin:.4em 0}
p.figures{font-size:13px;margin:.2em 0}pre{background:#f6f6f6;padding:.5em;overflow-x:auto;font-size:12px}
.more,.back{font-size:.9em;color:#555;margin:.2em 0}
"""

_STYLE += "".join(".m-%s{fill:%s;background:%s}" % (kind, colour, colour)
                  for kind, _, colour in (NONWEAR_MARK,) + TIME_LINE_MARKS)

_SCRIPT = """
"use strict";
(function () {
  var table = document.getElementById("campaign");
  var body = table.tBodies[0];
  var heads = table.tHead.rows[0].cells;
  var current = -1, ascending = true;
  function key(row, column) {
    var cell = row.cells[column], v = cell.getAttribute("data-v");
    if (v === null) return cell.textContent;
    return v === "" ? null : Number(v);
  }
  Array.prototype.forEach.call(heads, function (head, column) {
    head.addEventListener("click", function () {
      ascending = column === current ? !ascending : true;
      current = column;
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = key(a, column), y = key(b, column);
        if (x === null || y === null) return x === y ? 0 : x === null ? 1 : -1;
        var order = typeof x === "number" ? x - y : x < y ? -1 : x > y ? 1 : 0;
        return ascending ? order : -order;
      });
      var ordered = document.createDocumentFragment();
      rows.forEach(function (row) { ordered.appendChild(row); });
      body.appendChild(ordered);
      Array.prototype.forEach.call(heads, function (h) { h.removeAttribute("aria-sort"); });
      head.setAttribute("aria-sort", ascending ? "ascending" : "descending");
    });
  });
  var only = document.getElementById("only-failing");
  function filter() { body.classList.toggle("only-failing", only.checked); }
  only.addEventListener("change", filter);
  filter();
})();
"""

_TAIL = "<script>%s</script>\n</body></html>\n" % _SCRIPT
