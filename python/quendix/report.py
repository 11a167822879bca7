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
    blocks[i:] = position // PAGES_PER_BLOCK + 1
    pages[i:] = position % PAGES_PER_BLOCK
    return blocks, pages


def report_lines(frames, end_header, end_block):
    """The report of a recording and which frames it reports.

    `frames` holds the whole frames (fields block, page_word, valid and
    offset) and `end_header` the (block, page_word) that the frame buffer
    holds after the last read. Returns the list of lines and a boolean
    array that is set for every frame with a line of its own.
    """
    count = len(frames)
    valid = frames["valid"]
    block = frames["block"]
    page_word = frames["page_word"]
    # The first frame, when valid, seeds the prediction with its block and
    # whole page word, R flag included. A first frame without the marker
    # leaves it at (0, 0), and the prediction runs on from there all the
    # same.
    if count > 0 and valid[0]:
        seed = int(block[0]), int(page_word[0])
    else:
        seed = 0, 0
    expected_block, expected_page = expected_positions(*seed, count, end_block)

    # A valid frame is reported when it is the first ("start"), or when its
    # block or page number, R flag aside, is not the predicted one
    # ("different"). The prediction never takes a frame's position, so after
    # a jump every frame is reported until the recording is back in step. A
    # frame without the marker is always reported ("missing").
    out_of_step = (block != expected_block) | ((page_word & PAGE_NUMBER_MASK) != expected_page)
    reported = ~valid | out_of_step
    if count > 0:
        reported[0] = True

    lines = []
    index = np.flatnonzero(reported)
    for i, v, b, w, eb, ep, offset in zip(
            index.tolist(), valid[index].tolist(), block[index].tolist(),
            page_word[index].tolist(), expected_block[index].tolist(),
            expected_page[index].tolist(), frames["offset"][index].tolist()):
        if not v:
            # The frame's raw block and page word, and its byte offset in
            # the file, which is a whole 64-bit count.
            lines.append("%9s : %3d, %3d -> %3d, %3d (%d)" % ("missing", eb, ep, b, w, offset))
        elif i == 0:
            lines.append("%9s : %3d, %3d" % ("start", b, w))
        elif w & R_FLAG:
            lines.append("%9s : %3d, %3d -> %3d, %3d(R)" % ("different", eb, ep, b, w & PAGE_NUMBER_MASK))
        else:
            lines.append("%9s : %3d, %3d -> %3d, %3d" % ("different", eb, ep, b, w & PAGE_NUMBER_MASK))
    lines.append("%9s : %3d, %3d" % ("end", *end_header))
    return lines, reported
