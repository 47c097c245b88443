#!/usr/bin/env python3
"""Writes the seed corpus of update_file_fuzz into fuzz/corpus/update_file/.

Each file: the image type byte (type = byte % 5 - 1), the file length over
32512 bytes (u16), the flags (bit 0 the bytes sum to 0, bit 1 the path is a
folder), then the content that is repeated to the file's length.
"""
import os
import struct


def seed(image_type, length, flags=1, content=b""):
    return bytes([image_type + 1]) + struct.pack("<H", length - 32512) + bytes([flags]) + content


seeds = {
    "short_32767": seed(0, 32767, content=b"\x01\x02"),
    "exact_32768_type0": seed(0, 32768, content=bytes(range(256))),
    "one_more_32769_type1": seed(1, 32769, content=b"abc"),
    "long_type2": seed(2, 98047, content=b"firmware"),
    "type3": seed(3, 32768),
    "type_minus1": seed(-1, 32768),
    "sum_not_zero": seed(0, 40000, flags=0, content=b"\x01"),
    "zeros": seed(1, 33000, flags=0),
    "folder": seed(0, 32768, flags=3),
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "update_file")
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
