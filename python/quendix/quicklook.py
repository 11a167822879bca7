"""A quick look at a recording: every axis and both magnitudes against the
sample index (or the time, given the rate), in g and degrees per second,
drawn as a minimum/maximum envelope per pixel column, with the frames of
the report and the jumps marked above them.

The recording is read twice, piece by piece: its headers first, for the
number of samples, then its samples, each piece folded into the envelope
before the next is read. Memory depends on the picture's width, never on
the recording's size.
"""

import os

import numpy as np

from .files import access_of, check_output, write_whole
from .quality import Quality
from .recording import DEFAULT_END_BLOCK, FrameFile, check_end_block, is_path, read_chunks
from .continuity import Jumps
from .summary import frame_counts

# Counts in one g of the accelerometer axes, and in one degree per second
# of the gyroscope axes.
COUNTS_PER_G = 8192.0
COUNTS_PER_DEGREE_PER_SECOND = 65.536

# The panels: a field of the samples, its counts in one unit, the label.
PANELS = (
    ("AX", COUNTS_PER_G, "AX (g)"), ("AY", COUNTS_PER_G, "AY (g)"), ("AZ", COUNTS_PER_G, "AZ (g)"),
    ("GX", COUNTS_PER_DEGREE_PER_SECOND, "GX (°/s)"), ("GY", COUNTS_PER_DEGREE_PER_SECOND, "GY (°/s)"),
    ("GZ", COUNTS_PER_DEGREE_PER_SECOND, "GZ (°/s)"),
    ("ASVM", 100.0, "ASVM / 100 (g)"), ("GSVM", 1.0, "GSVM (°/s)"),
)
MARKS = ("start", "different", "jumps", "missing", "clipped", "stuck", "seq_breaks", "duplicate_frames")
# The marks of the quality events, counted by quality.Quality.
QUALITY_MARKS = ("clipped", "stuck", "seq_breaks", "duplicate_frames")
MARK_COLOURS = {"start": "tab:green", "different": "tab:purple", "jumps": "tab:pink", "missing": "tab:red",
                "clipped": "tab:orange", "stuck": "tab:brown", "seq_breaks": "tab:blue",
                "duplicate_frames": "tab:gray"}
# What the strip counts of each kind: report lines, or rows and frames.
MARK_LABELS = {"start": "start", "different": "different", "jumps": "jumps", "missing": "missing",
               "clipped": "clipped rows", "stuck": "stuck rows", "seq_breaks": "SEQNO breaks",
               "duplicate_frames": "duplicate frames"}
PANEL_COLOURS = ("tab:blue",) * 3 + ("tab:orange",) * 3 + ("tab:green", "tab:red")

FIGURE_INCHES = (12.0, 13.0)
DPI = 100
MARGINS = dict(left=0.13, right=0.985, top=0.94, bottom=0.04, hspace=0.12)


class Envelope:
    """The minimum and maximum of every panel's values in each of `columns`
    columns over `count` samples, with the frames of the report counted
    per column, built up piece by piece in sample order.

    A column also takes the value of the sample before its first one, as a
    line from that sample would pass through it, unless frames without the
    marker lie between the two: no line is drawn across them. The jumps
    are found with `end_block`, as the summary finds them.
    """

    def __init__(self, count, columns, end_block=DEFAULT_END_BLOCK):
        self.count = count
        self.columns = columns
        self.low = np.full((len(PANELS), columns), np.inf)
        self.high = np.full((len(PANELS), columns), -np.inf)
        # Whether frames without the marker come just before the column's
        # first sample, or inside the column.
        self.gap = np.zeros(columns, bool)
        self.marks = {kind: np.zeros(columns, np.int64) for kind in MARKS}
        # The totals the strip's labels show, where they are not the sums
        # of the marks (stuck runs of several axes may overlap).
        self.totals = {}
        self.last_values = None  # the values of the sample before the piece
        self.last_valid = True  # whether the frame before the piece was valid
        self.jumps = Jumps(end_block)

    def column_of(self, sample):
        """The column of each sample index in `sample` (an int64 array)."""
        return np.minimum(sample * self.columns // max(self.count, 1), self.columns - 1)

    def add(self, piece):
        """Folds in the next piece of read_chunks."""
        frames = piece.frames
        valid = frames["valid"]
        # The sample index of each frame's first row, or where its rows would
        # be for a frame without the marker.
        before = np.cumsum(valid) - valid
        first_row = piece.first_sample + 9 * before.astype(np.int64)
        after_gap = valid & ~np.concatenate(([self.last_valid], valid[:-1]))
        if len(valid):
            self.last_valid = bool(valid[-1])
        reported = frames["reported"]
        is_first = frames["offset"] == 0
        jumped = self.jumps.check(frames["block"], frames["page_word"], valid)
        for kind, which in (("start", reported & valid & is_first),
                            ("different", reported & valid & ~is_first),
                            ("jumps", jumped),
                            ("missing", ~valid)):
            if which.any():
                self.marks[kind] += np.bincount(self.column_of(first_row[which]), minlength=self.columns)
        # The first sample after frames without the marker: its column has a
        # gap, and takes nothing from the sample before.
        gap_samples = first_row[after_gap]
        gap_samples = gap_samples[gap_samples < self.count]
        self.gap[self.column_of(gap_samples)] = True

        samples = piece.samples
        if len(samples) == 0:
            return
        index = piece.first_sample + np.arange(len(samples), dtype=np.int64)
        if index[-1] >= self.count:
            # The file grew since it was counted: what came after is left out.
            keep = index < self.count
            samples, index = samples[keep], index[keep]
            if len(samples) == 0:
                return
        # The columns the piece reaches, and where each begins: the first
        # sample s of column c is the least with s * columns // count = c.
        first, last = int(index[0]), int(index[-1])
        touched = np.arange(first * self.columns // self.count, last * self.columns // self.count + 1)
        begins = -(-touched * self.count // self.columns)
        begins[0] = first
        starts = begins - first
        # Whether the sample before each column's first sample joins it.
        joined = index[starts] > 0
        joined &= ~np.isin(index[starts], gap_samples)
        for p, (field, _, _) in enumerate(PANELS):
            values = samples[field]
            low = np.minimum.reduceat(values, starts).astype(np.float64)
            high = np.maximum.reduceat(values, starts).astype(np.float64)
            previous = np.empty(len(starts))
            previous[1:] = values[starts[1:] - 1]
            previous[0] = self.last_values[p] if self.last_values is not None else values[0]
            np.minimum(low, np.where(joined, previous, low), out=low)
            np.maximum(high, np.where(joined, previous, high), out=high)
            self.low[p, touched] = np.minimum(self.low[p, touched], low)
            self.high[p, touched] = np.maximum(self.high[p, touched], high)
        self.last_values = [float(samples[field][-1]) for field, _, _ in PANELS]

    def add_events(self, events):
        """Marks the events of quality.Quality.add or finish: the columns
        of the clipped rows, the breaks of the counter and the duplicate
        frames, and every column a stuck run reaches."""
        for kind in ("clipped", "seq_breaks", "duplicate_frames"):
            rows = events[kind]
            rows = rows[rows < self.count]
            if len(rows):
                self.marks[kind] += np.bincount(self.column_of(rows), minlength=self.columns)
        spans = np.minimum(events["stuck"], self.count)
        spans = spans[spans[:, 1] > spans[:, 0]]
        if len(spans):
            steps = np.zeros(self.columns + 1, np.int64)
            np.add.at(steps, self.column_of(spans[:, 0]), 1)
            np.add.at(steps, self.column_of(spans[:, 1] - 1) + 1, -1)
            self.marks["stuck"] += np.cumsum(steps[:-1])


def picture_name(source):
    """The default picture of the recording at `source`: beside it, as the
    converter's outputs are, its name's last four bytes replaced by ".png"
    (or ".png" added to a name shorter than that)."""
    path = os.fspath(source)
    raw = os.fsencode(path)
    raw = (raw[:-4] if len(os.path.basename(raw)) >= 4 else raw) + b".png"
    return raw if isinstance(path, bytes) else os.fsdecode(raw)


def plot(source, output=None, end_block=DEFAULT_END_BLOCK, rate=None):
    """Draws the quick look of the recording at `source` (a path) into the
    picture `output` and returns the summary of the recording as a dict:
    the counts of a summary() row (bytes, frames, valid, missing,
    different, jumps, samples, start_block, start_page_word, last_block,
    last_page_word, fragment).

    One panel each, against the sample index, or the time in seconds
    from the first sample when `rate` (samples per second, a number above
    0) is given: the three accelerometer axes in g (8192 counts), the
    three gyroscope axes in degrees per second (65.536 counts), ASVM / 100
    in g and GSVM in degrees per second. A recording with more samples
    than the panels have pixel columns is drawn as an envelope: each column
    from the least to the greatest of its samples' values, and of the line
    from the sample before it, except where frames without the marker lie
    between the two, where no line is drawn; a column whose values are all
    one is drawn one line high, so a clipped or stuck stretch shows as the
    flat line it is. A shorter one is drawn as lines, broken there. A strip
    above the panels marks, with their counts, the report's frames (start,
    different, missing), each jump once (see summary()), and the quality
    events: clipped rows, stuck rows, SEQNO breaks and duplicate frames
    (see summary(quality=True)).

    `output` is a path (PNG, or another format matplotlib knows by the
    name's suffix), by default picture_name(source): beside the recording,
    as the converter names its outputs; or a writable binary file object
    (PNG). A path takes the picture as quendix.files says: a regular file
    is replaced only once the picture is whole, with the recording's
    permission bits and group, and a device or FIFO is written straight
    to; a directory, a socket, a name reached through a link of another
    user, another user's file in a sticky directory, the recording itself,
    and at the default name anything but a regular file raise
    quendix.files.OutputRefused (an OSError) before anything is read, as a
    FIFO without a reader does before anything is written. Raises OSError naming the recording
    when it cannot be read, TypeError for a source that is not a path (the
    recording is read twice), ValueError for an `end_block` that read()
    refuses, a picture format matplotlib does not know or a `rate` that is
    not a number above 0.

    The recording is read twice, piece by piece (its headers, for the
    number of samples, then its samples), so memory depends on the
    picture's width only. Needs matplotlib, and uses its Agg backend: no
    display.
    """
    end_block = check_end_block(end_block)
    rate = check_rate(rate)
    if not is_path(source):
        raise TypeError("the quick look reads the recording twice: give its path, not %s"
                        % type(source).__name__)
    chosen = output is None
    if chosen:
        output = picture_name(source)
    if is_path(output):
        check_output(output, avoid=[source], chosen=chosen)
    counts, _, _ = look(source, lambda figure: _save(figure, output, source, chosen), end_block,
                        rate=rate)
    return counts


def look(source, save, end_block=DEFAULT_END_BLOCK, inches=FIGURE_INCHES, dpi=DPI, each_piece=None,
         figure=None, rate=None):
    """Draws the quick look of plot() of the recording at `source` (a path)
    on a figure of `inches` (width, height) at `dpi` and calls
    save(figure) with it, so that the picture may go to a file or into
    memory. `each_piece`, when given, is called with every piece of
    read_chunks as it is drawn. Returns the counts of plot(), the Envelope
    drawn (its `marks` are where the report's frames and the quality
    events lie, per pixel column) and the Quality, finished. Raises as
    plot() does, but checks no output: that is up to `save`.

    `rate`, samples per second, puts seconds on the x axis (see plot()).
    `figure`, one of new_figure() drawn on before, is drawn on again,
    in place of `inches` and `dpi`: far quicker than a new figure for
    each of many recordings."""
    end_block = check_end_block(end_block)
    rate = check_rate(rate)
    with FrameFile(source) as source_file:
        counts = frame_counts(source_file, end_block)
    if figure is None:
        figure = new_figure(inches, dpi)
    else:
        for ax in figure.axes:
            for artist in list(ax.lines) + list(ax.texts):
                artist.remove()
            ax.relim()
            # A panel drawn with fixed limits (see _one_line_high) scales
            # to its values again.
            ax.set_autoscale_on(True)
    axes = figure.axes
    inches, dpi = figure.get_size_inches(), figure.dpi
    width = int(round(axes[1].get_position().width * inches[0] * dpi))
    count = counts["samples"]
    columns = max(1, min(width, count))
    envelope = Envelope(count, columns, end_block)
    quality = Quality()
    for piece in read_chunks(source, end_block):
        envelope.add(piece)
        envelope.add_events(quality.add(piece))
        if each_piece is not None:
            each_piece(piece)
    envelope.add_events(quality.finish())
    envelope.totals = {kind: quality.counts()[kind] for kind in MARKS if kind in QUALITY_MARKS}
    _draw(figure, axes, envelope, counts, os.fspath(source), rate)
    save(figure)
    return counts, envelope, quality


def new_figure(inches=FIGURE_INCHES, dpi=DPI):
    """A figure of the quick look's strip and panels, `inches` (width,
    height) at `dpi`, for look() to draw on. It is matplotlib's Agg
    canvas, without pyplot: no display, and nothing kept once it is let go."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=inches, dpi=dpi)
    FigureCanvasAgg(figure)
    figure.subplots(len(PANELS) + 1, 1, sharex=True, gridspec_kw={"height_ratios": [1.6] + [1] * len(PANELS)})
    figure.subplots_adjust(**MARGINS)
    return figure


def check_rate(rate):
    """`rate` as a float: None, or a number above 0 and finite; raises
    TypeError or ValueError for anything else."""
    if rate is None:
        return None
    try:
        value = float(rate)
    except (TypeError, ValueError):
        raise TypeError("the rate is a number of samples per second, not %r" % (rate,)) from None
    if not 0 < value < float("inf"):
        raise ValueError("the rate is a number of samples per second above 0, not %r" % (rate,))
    return value


def _draw(figure, axes, envelope, counts, name, rate=None):
    count, columns = envelope.count, envelope.columns
    # The x axis in samples, or in seconds at `rate`.
    scale = 1.0 / rate if rate else 1.0
    # Columns at their centres.
    x = (np.arange(columns) + 0.5) * count / columns if count else np.arange(columns, dtype=float)
    x *= scale
    strip = axes[0]
    for row, kind in enumerate(MARKS):
        marked = envelope.marks[kind] > 0
        _bars(strip, x[marked], np.full(marked.sum(), row - 0.4), np.full(marked.sum(), row + 0.4),
              MARK_COLOURS[kind])
    strip.set_yticks(range(len(MARKS)))
    strip.set_yticklabels(["%s (%d)" % (MARK_LABELS[kind], envelope.totals.get(kind, envelope.marks[kind].sum()))
                           for kind in MARKS], fontsize=7)
    strip.set_ylim(-0.7, len(MARKS) - 0.3)
    strip.invert_yaxis()
    figure.suptitle("%s: %d samples; %d frames, %d without the marker, %d different, %d jumps; %s" % (
        name, count, counts["frames"], counts["missing"], counts["different"], counts["jumps"],
        "%d bytes after the last frame" % counts["fragment"] if counts["fragment"] else "no fragment"),
        fontsize=10, parse_math=False)  # a name's "$" are its own, not mathematics
    strip.set_title("g = 8192 counts, °/s = 65.536 counts; each pixel column from its least to its greatest "
                    "value, one line high where they are equal", fontsize=8)
    one_per_column = count <= columns
    for p, ((field, unit, label), ax) in enumerate(zip(PANELS, axes[1:])):
        low = envelope.low[p] / unit
        high = envelope.high[p] / unit
        if count == 0:
            ax.text(0.5, 0.5, "no samples", transform=ax.transAxes, ha="center", va="center")
            # Limits of their own, not those a figure drawn on before had.
            ax.set_ylim(-1.0, 1.0)
        elif one_per_column:
            # As many pixels as samples or more: a line, broken where frames
            # without the marker lie.
            xs = np.arange(count, dtype=float) * scale
            ys = low.copy()
            ys = np.insert(ys, np.flatnonzero(envelope.gap[1:]) + 1, np.nan)
            xs = np.insert(xs, np.flatnonzero(envelope.gap[1:]) + 1, np.nan)
            ax.plot(xs, ys, linewidth=0.8, color=PANEL_COLOURS[p])
        else:
            low, high = _one_line_high(ax, low, high)
            _bars(ax, x, low, high, PANEL_COLOURS[p])
        ax.set_ylabel(label, fontsize=9)
        ax.tick_params(labelsize=8)
    axes[-1].set_xlabel("seconds from the first sample, at %g samples per second" % rate if rate else "sample")
    axes[-1].set_xlim(-0.5 * scale, (max(count, 1) - 0.5) * scale)


def _one_line_high(ax, low, high):
    """Fixes the panel's y limits to the values `low` to `high`, with a
    margin, and returns them with each column that would be less than a
    pixel high widened to one pixel about its middle: a bar of no height
    draws nothing, and a constant stretch would read as lost data."""
    drawn = np.isfinite(low) & np.isfinite(high)
    if not drawn.any():
        return low, high
    bottom, top = float(low[drawn].min()), float(high[drawn].max())
    margin = 0.05 * (top - bottom) if top > bottom else max(abs(top) * 0.05, 0.05)
    bottom, top = bottom - margin, top + margin
    ax.set_ylim(bottom, top)
    height = ax.get_window_extent().height or 1.0
    pixel = (top - bottom) / height
    middle = (low + high) / 2
    thin = high - low < pixel
    low = np.where(thin, middle - pixel / 2, low)
    high = np.where(thin, middle + pixel / 2, high)
    return low, high


def _bars(ax, x, low, high, colour):
    """Draws a vertical bar one pixel wide from `low` to `high` at each `x`:
    one line broken by NaN, far quicker to draw than a collection."""
    xs = np.repeat(x, 3)
    ys = np.empty(len(xs))
    ys[0::3], ys[1::3] = low, high
    xs[2::3] = ys[2::3] = np.nan
    ax.plot(xs, ys, color=colour, linewidth=72.0 / DPI, antialiased=False, solid_capstyle="projecting")


def _save(figure, output, source, chosen):
    """Writes the picture to `output` whole (see plot()), as private as
    the recording."""
    suffix = os.path.splitext(os.fsdecode(os.fspath(output)))[1][1:] if is_path(output) else ""
    write_whole(output, lambda stream: figure.savefig(stream, format=suffix or "png"), avoid=[source],
                access=access_of([source]), chosen=chosen)
