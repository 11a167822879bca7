"""The continuity report: the block/page position each frame should have,
and a line for every place where a recording departs from it.

The lines are the converter's log lines, without their line ends.
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


def expected_positions(block, page, count, end_block):
    """The expected (block, page) before each of `count` frames, the first
    being (block, page): two uint16 arrays.

    `advance` is applied frame by frame until the prediction lies within
    blocks 1 to `end_block` and pages 0 to 511, which takes at most two
    wraps of the page. From there `advance` is a counter of pages modulo
    `end_block` blocks of 512 pages, worked out for all frames at once.
    """
    blocks = np.empty(count, np.uint16)
    pages = np.empty(count, np.uint16)
    i = 0
    while i < count and not (page < PAGES_PER_BLOCK and 1 <= block <= end_block):
        blocks[i], pages[i] = block, page
        block, page = advance(block, page, end_block)
        i += 1
    position = np.arange((block - 1) * PAGES_PER_BLOCK + page,
                         (block - 1) * PAGES_PER_BLOCK + page + (count - i), dtype=np.int64)
    position %= end_block * PAGES_PER_BLOCK
    blocks[i:] = position // PAGES_PER_BLOCK
    blocks[i:] += 1
    pages[i:] = position % PAGES_PER_BLOCK
    return blocks, pages


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

    def check(self, block, page_word, valid):
        """Checks the next frames (their block, page_word and valid arrays).

        Returns a boolean array set for every frame with a line of its own,
        and the expected block and page before each frame.
        """
        count = len(valid)
        if count == 0:
            empty = np.empty(0, np.uint16)
            return np.zeros(0, bool), empty, empty
        if self.expected is None:
            # The first frame, when valid, seeds the prediction with its
            # block and whole page word, R flag included. A first frame
            # without the marker leaves it at (0, 0), and the prediction
            # runs on from there all the same.
            self.expected = (int(block[0]), int(page_word[0])) if valid[0] else (0, 0)
        expected_block, expected_page = expected_positions(*self.expected, count, self.end_block)
        self.expected = advance(int(expected_block[-1]), int(expected_page[-1]), self.end_block)
        # A valid frame is reported when it is the first ("start"), or when
        # its block or page number, R flag aside, is not the predicted one
        # ("different"). The prediction never takes a frame's position, so
        # after a jump every frame is reported until the recording is back
        # in step. A frame without the marker is always reported ("missing").
        reported = block != expected_block
        reported |= (page_word & PAGE_NUMBER_MASK) != expected_page
        reported |= ~valid
        if self.frames_read == 0:
            reported[0] = True
        self.frames_read += count
        return reported, expected_block, expected_page

    def lines(self, frames):
        """Checks the next frames (a FRAME_DTYPE array, whose `reported`
        field it sets) and returns their report lines."""
        first = self.frames_read
        reported, expected_block, expected_page = self.check(
            frames["block"], frames["page_word"], frames["valid"])
        frames["reported"] = reported
        index = np.flatnonzero(reported)
        lines = []
        for i, v, b, w, eb, ep, offset in zip(
                index.tolist(), frames["valid"][index].tolist(), frames["block"][index].tolist(),
                frames["page_word"][index].tolist(), expected_block[index].tolist(),
                expected_page[index].tolist(), frames["offset"][index].tolist()):
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

