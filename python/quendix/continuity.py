"""The continuity report: the block/page position each frame should have,
and a line for every place where a recording departs from it.

The lines are the converter's log lines, without their line ends: start,
different (with its (R) variant), missing and end, by the converter's rules
and formats. Where the definition leaves a choice, the converter's is made:
a file whose first frame lacks the marker has its expected position start
at block 0, page 0; the end line shows the frame buffer, which holds the
last whole frame with the first bytes of a trailing fragment copied over
it and starts zeroed, so that a file without a whole frame shows
"      end :   0,   0" unless a fragment says otherwise; the offset of a
missing line is the full byte offset, beyond 2 GiB as well.
"""

import numpy as np

PAGES_PER_BLOCK = 512
PAGE_NUMBER_MASK = 0x7FFF
R_FLAG = 0x8000


def advance(block, page, end_block):
    """The expected position one frame after (block, page).

    The page moves on by one; after page 511 the prediction moves to page 0
    of the next block, and after block `end_block` to block 1. Both counters
    are 16-bit and wrap at 65536. The block is compared with `end_block`
    only when the page wraps, so a higher block seeded by the first frame is
    kept until then, and block 65535 wraps to 0, which is kept too.
    """
    page = (page + 1) & 0xFFFF
    if page < PAGES_PER_BLOCK:
        return block, page
    block = (block + 1) & 0xFFFF
    if block > end_block:
        block = 1
    return block, 0


class Continuity:
    """The continuity check of one recording, run piece by piece.

    Each call of `check` takes the next frames of the file, in order, and
    carries the prediction on to the frames after them, so the pieces of a
    file give the lines of the whole file read at once.
    """

    def __init__(self, end_block):
        self.end_block = end_block
        self.frames_read = 0
        # The expected position before the next frame; None until the first
        # frame has been seen.
        self.expected = None
        # The prediction over the frames of the last check: `advance` step by
        # step over its first frames (a list of positions), then a counter of
        # pages from `start` modulo end_block blocks of 512 pages.
        self._steps = []
        self._start = 0

    def check(self, block, page_word, valid):
        """Checks the next frames (their block, page_word and valid arrays)
        and returns a boolean array set for every frame with a line of its
        own. expected_at() then gives the prediction for any of them."""
        count = len(valid)
        if count == 0:
            return np.zeros(0, bool)
        if self.expected is None:
            # The first frame, when valid, seeds the prediction with its
            # block and whole page word, R flag included. A first frame
            # without the marker leaves it at (0, 0), and the prediction
            # runs on from there all the same.
            self.expected = (int(block[0]), int(page_word[0])) if valid[0] else (0, 0)
        # `advance` frame by frame until the prediction lies within blocks 1
        # to end_block and pages 0 to 511, which takes at most two wraps of
        # the page; from there it is a counter of pages.
        expected_block, expected_page = self.expected
        steps = []
        while len(steps) < count and not (expected_page < PAGES_PER_BLOCK
                                          and 1 <= expected_block <= self.end_block):
            steps.append((expected_block, expected_page))
            expected_block, expected_page = advance(expected_block, expected_page, self.end_block)
        cycle = self.end_block * PAGES_PER_BLOCK
        start = (expected_block - 1) * PAGES_PER_BLOCK + expected_page
        counted = count - len(steps)
        self._steps, self._start = steps, start
        if counted:
            following = (start + counted) % cycle
            self.expected = (following // PAGES_PER_BLOCK + 1, following % PAGES_PER_BLOCK)
        else:
            self.expected = (expected_block, expected_page)

        # A valid frame is reported when it is the first ("start"), or when
        # its block or page number, R flag aside, is not the predicted one
        # ("different"). The prediction never takes a frame's position, so
        # after a jump every frame is reported until the recording is back
        # in step. A frame without the marker is always reported ("missing").
        page = page_word & PAGE_NUMBER_MASK
        reported = np.empty(count, bool)
        for i, (b, p) in enumerate(steps):
            reported[i] = block[i] != b or page[i] != p
        if counted:
            n = len(steps)
            # The frame's position as the counter counts it; out of the
            # counter's range for a block outside 1 to end_block, and a page
            # of 512 or more is out of step however it adds up.
            position = np.multiply(block[n:], PAGES_PER_BLOCK, dtype=np.int32)
            position += page[n:]
            predicted = np.arange(start + PAGES_PER_BLOCK, start + PAGES_PER_BLOCK + counted, dtype=np.int32)
            if start + counted > cycle:
                predicted -= PAGES_PER_BLOCK
                predicted %= cycle
                predicted += PAGES_PER_BLOCK
            np.not_equal(position, predicted, out=reported[n:])
            reported[n:] |= page[n:] >= PAGES_PER_BLOCK
        reported |= ~valid
        if self.frames_read == 0:
            reported[0] = True
        self.frames_read += count
        return reported

    def expected_at(self, index):
        """The expected block and page (two int64 arrays) before each of the
        frames at `index` (an array of indices into the last check)."""
        index = np.asarray(index, dtype=np.int64)
        n = len(self._steps)
        position = (self._start + index - n) % (self.end_block * PAGES_PER_BLOCK)
        blocks = position // PAGES_PER_BLOCK + 1
        pages = position % PAGES_PER_BLOCK
        early = np.flatnonzero(index < n)
        if len(early):
            steps = np.array(self._steps, dtype=np.int64)[index[early]]
            blocks[early], pages[early] = steps[:, 0], steps[:, 1]
        return blocks, pages

    def lines(self, frames):
        """Checks the next frames (a FRAME_DTYPE array, whose `reported`
        field it sets) and returns their report lines."""
        first = self.frames_read
        reported = self.check(frames["block"], frames["page_word"], frames["valid"])
        frames["reported"] = reported
        index = np.flatnonzero(reported)
        expected_block, expected_page = self.expected_at(index)
        lines = []
        for i, v, b, w, eb, ep, offset in zip(
                index.tolist(), frames["valid"][index].tolist(), frames["block"][index].tolist(),
                frames["page_word"][index].tolist(), expected_block.tolist(),
                expected_page.tolist(), frames["offset"][index].tolist()):
            if not v:
                # The frame's raw block and page word, and its byte offset
                # in the file, which is a whole 64-bit count.
                lines.append("%9s : %3d, %3d -> %3d, %3d (%d)" % ("missing", eb, ep, b, w, offset))
            elif first + i == 0:
                lines.append("%9s : %3d, %3d" % ("start", b, w))
            elif w & R_FLAG:
                lines.append("%9s : %3d, %3d -> %3d, %3d(R)" % (
                    "different", eb, ep, b, w & PAGE_NUMBER_MASK))
            else:
                lines.append("%9s : %3d, %3d -> %3d, %3d" % (
                    "different", eb, ep, b, w & PAGE_NUMBER_MASK))
        return lines


def end_line(end_header):
    """The "end" line of the (block, page_word) the frame buffer holds after
    the last read."""
    return "%9s : %3d, %3d" % ("end", *end_header)



def advanced(block, page, steps, end_block):
    """The positions `steps` frames after the positions (block, page), by
    `advance` taken that many times: three int64 arrays, steps 1 or more,
    pages below 32768. Returns the blocks and the pages (int64 arrays)."""
    block = np.asarray(block, dtype=np.int64)
    page = np.asarray(page, dtype=np.int64)
    steps = np.asarray(steps, dtype=np.int64)
    # Up to the first wrap of the page the block stays; a page of 512 or
    # more wraps at the first step.
    to_wrap = np.where(page >= PAGES_PER_BLOCK, 1, PAGES_PER_BLOCK - page)
    within = steps < to_wrap
    wrapped = (block + 1) & 0xFFFF
    wrapped[wrapped > end_block] = 1
    left = steps - to_wrap
    # Block 65535 goes on to block 0, which holds for a whole block of pages
    # before block 1; from a block of 1 to end_block the position is a
    # counter of pages modulo end_block blocks.
    zero = wrapped == 0
    in_zero = zero & (left < PAGES_PER_BLOCK)
    base = np.where(zero, 1, wrapped)
    left = np.where(zero, left - PAGES_PER_BLOCK, left)
    position = ((base - 1) * PAGES_PER_BLOCK + np.maximum(left, 0)) % (end_block * PAGES_PER_BLOCK)
    blocks = np.where(within, block, np.where(in_zero, 0, position // PAGES_PER_BLOCK + 1))
    pages = np.where(within, page + steps, np.where(in_zero, left + PAGES_PER_BLOCK, position % PAGES_PER_BLOCK))
    return blocks, pages


class Jumps:
    """The jumps of one recording, found piece by piece: the valid frames
    whose position (block, and page number without the R flag) is not the
    one that follows the valid frame before them, advanced by one page for
    every frame from that one to this. Unlike the report's prediction, each
    jump is counted once: the frame after it follows the jumped frame."""

    def __init__(self, end_block):
        self.end_block = end_block
        self.frames_read = 0
        self.last = None  # the block, page and frame index of the last valid frame

    def check(self, block, page_word, valid):
        """Checks the next frames (their block, page_word and valid arrays)
        and returns a boolean array set for every frame that jumps."""
        count = len(valid)
        jumped = np.zeros(count, bool)
        index = np.flatnonzero(valid)
        if len(index):
            blocks = block[index].astype(np.int64)
            pages = (page_word[index] & PAGE_NUMBER_MASK).astype(np.int64)
            where = index + self.frames_read
            before = self.last if self.last is not None else (blocks[0], pages[0], where[0])
            previous = (np.concatenate(([before[0]], blocks[:-1])), np.concatenate(([before[1]], pages[:-1])),
                        np.concatenate(([before[2]], where[:-1])))
            if self.last is None:
                previous = tuple(values[1:] for values in previous)
                index, blocks, pages, where = index[1:], blocks[1:], pages[1:], where[1:]
            expected_block, expected_page = advanced(previous[0], previous[1], where - previous[2], self.end_block)
            jumped[index] = (expected_block != blocks) | (expected_page != pages)
            last = int(np.flatnonzero(valid)[-1])
            self.last = (int(block[last]), int(page_word[last]) & PAGE_NUMBER_MASK, self.frames_read + last)
        self.frames_read += count
        return jumped
