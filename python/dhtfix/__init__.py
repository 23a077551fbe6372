"""Give JPEG frames in memory the standard Huffman tables they lack.

Motion-JPEG frames from webcams and IP cameras often leave out their DHT
segment; many decoders then refuse them. ``repair`` inserts the 420-byte
segment with the standard tables in front of the first DQT segment of every
image that lacks tables and that they fit, by the same rule as the dhtfix
tool: the bytes are exactly those the tool would leave in a file.

    import dhtfix
    fixed = dhtfix.repair(frame)   # bytes, bytearray, memoryview, NumPy array

Both functions release the interpreter lock while they work.
"""

from typing import NamedTuple, Tuple

from . import _dhtfix

__all__ = ["Image", "Report", "STANDARD_SEGMENT", "inspect", "repair"]
__version__ = _dhtfix.VERSION

#: The standard DHT segment, from its FF C4 marker on: 420 bytes.
STANDARD_SEGMENT: bytes = _dhtfix.STANDARD_SEGMENT


class Image(NamedTuple):
    """An image that lacks tables."""

    offset: int  #: of its first DQT segment's 0xFF byte, where the segment goes
    fit: str  #: "fits", "unfit" or "ends_early"


class Report(NamedTuple):
    """What the rule finds in a frame."""

    #: "too_short", "not_jpeg", "damaged", "has_tables", "needs_none" or "lacks_tables"
    verdict: str
    tag_offset: int  #: of the deciding DHT's or DQT's 0xFF byte; 0 for the other verdicts
    images: int  #: images judged: all when the first lacks tables, else 1, or 0 if no JPEG
    lacking: Tuple[Image, ...]  #: the images that lack tables, in order
    fitting: int  #: how many of them take the standard tables
    repaired_size: int  #: the frame's size after repair


def repair(frame) -> bytes:
    """The frame with the standard tables wherever they are lacking and fit.

    A frame with nothing to do comes back as it is (the same object, for
    bytes)."""
    return _dhtfix.repair(frame)


def inspect(frame) -> Report:
    """What repair would find in the frame, without repairing it."""
    verdict, tag_offset, images, lacking, fitting, size = _dhtfix.inspect(frame)
    return Report(verdict, tag_offset, images, tuple(Image(*i) for i in lacking), fitting, size)
