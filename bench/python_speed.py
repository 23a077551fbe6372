#!/usr/bin/env python3
"""dhtfix.repair against a Python function that only inserts the segment in
front of the first DQT found with bytes.find, per frame, for each file
named. Run by bench/run with the module on PYTHONPATH.

  python_speed.py FILE...
"""
import sys
import timeit

import dhtfix

SEGMENT = dhtfix.STANDARD_SEGMENT


def insert(frame: bytes) -> bytes:
    """What projects paste: no walk, no fit check, no second image."""
    if frame.find(b"\xff\xc4") >= 0:
        return frame
    at = frame.find(b"\xff\xdb")
    return frame if at < 0 else frame[:at] + SEGMENT + frame[at:]


def per_frame(call, frame) -> float:
    timer = timeit.Timer(lambda: call(frame))
    number, _ = timer.autorange()
    return min(timer.repeat(5, number)) / number * 1e6


for path in sys.argv[1:]:
    with open(path, "rb") as f:
        frame = f.read()
    ours, theirs = per_frame(dhtfix.repair, frame), per_frame(insert, frame)
    verdict = dhtfix.inspect(frame).verdict
    print(f"  {path:22} {len(frame):8} bytes, {verdict:12} dhtfix.repair {ours:7.2f} us, "
          f"bytes.find insertion {theirs:6.2f} us")
