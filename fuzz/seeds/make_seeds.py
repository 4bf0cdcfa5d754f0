#!/usr/bin/env python3
"""Writes the binary seeds of the fuzz targets (table files and meta files) from the on-disk
layouts. The text seeds beside them are written by hand. Run from anywhere: python3 make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TIME = 1700000000


def meta(time, length, blksz, segbc, bitmap):
    # time, content_length (int64), blksz (int32), segbc (int64), packed, little-endian.
    return struct.pack("<qqiq", time, length, blksz, segbc) + bytes(bitmap)


def record(name, url, type_code, length, time):
    # name (255 bytes), URL (1024 bytes), type (int32), size and time (int64).
    return (name.ljust(255, b"\0") + url.ljust(1024, b"\0") + struct.pack("<iqq", ord(type_code), length, time))


def table(index_time, records):
    return struct.pack("<iq", len(records), index_time) + b"".join(records)


FILES = {
    # Fields filled to their last byte, and bytes left over behind a terminating NUL.
    "tablefile/full-length-fields.LinkTable": table(TIME, [
        record(b"", b"http://127.0.0.1/pub/", "H", 0, 0),
        record(b"n" * 255, b"http://127.0.0.1/pub/" + b"u" * 1003, "F", 2**62, -1),
        record(b"dir\0leftover", b"http://127.0.0.1/pub/dir/\0leftover", "D", 0, TIME),
        record(b"..", b"", "I", -5, 2**63 - 1),
    ]),
    # 100000 bytes in segments of 4096: 25 segments, every other one present.
    "meta/many-segments.meta": meta(TIME, 100000, 4096, 25, [i % 2 for i in range(25)]),
    # A bitmap of bytes other than 0 and 1, and a file of exactly one segment.
    "meta/odd-bitmap-bytes.meta": meta(TIME, 4096, 4096, 1, [0xff]),
}

for name, data in FILES.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
