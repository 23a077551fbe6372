#!/usr/bin/env python3
"""Splits a raw Motion-JPEG stream into its images and takes the DHT segments
out of each, as a camera that relies on the standard tables sends them.

  strip_tables.py STREAM OUT_STREAM        one stream of table-less frames
  strip_tables.py STREAM DIR/%05d.jpg N     the first N frames, one file each
"""
import sys


def images(data):
    at = 0
    while True:
        start = data.find(b"\xff\xd8", at)
        if start < 0:
            return
        end = data.find(b"\xff\xd9", start)
        # A scan's data holds no FF D9: stuffing makes every data FF an FF 00.
        if end < 0:
            return
        yield data[start:end + 2]
        at = end + 2


def stripped(image):
    out, at = bytearray(image[:2]), 2
    while image[at + 1] != 0xDA:
        end = at + 2 + (image[at + 2] << 8 | image[at + 3])
        if image[at + 1] != 0xC4:
            out += image[at:end]
        at = end
    return bytes(out + image[at:])


def main():
    data = open(sys.argv[1], "rb").read()
    if len(sys.argv) == 3:
        with open(sys.argv[2], "wb") as out:
            for image in images(data):
                out.write(stripped(image))
        return
    for i, image in enumerate(images(data)):
        if i == int(sys.argv[3]):
            break
        with open(sys.argv[2] % i, "wb") as out:
            out.write(stripped(image))


main()
