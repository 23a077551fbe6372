#!/usr/bin/env python3
"""Repairs every frame of a capture file (the frames back to back, as
`v4l2-ctl --stream-to` and `ffmpeg -f mjpeg` write them) in memory and
writes the result: repair_capture.py CAPTURE OUTPUT."""

import sys

import dhtfix


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        capture = f.read()
    report = dhtfix.inspect(capture)
    repaired = dhtfix.repair(capture)
    with open(sys.argv[2], "wb") as f:
        f.write(repaired)
    left = [i for i in report.lacking if i.fit != "fits"]
    print(f"{report.images} images, {report.fitting} repaired, {len(left)} left alone"
          f" ({report.verdict}); {len(capture)} -> {len(repaired)} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
