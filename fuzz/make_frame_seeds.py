#!/usr/bin/env python3
"""Writes the seed corpus of frame_fuzz into fuzz/corpus/frame/.

Each file is one byte choosing how the stream is cut into receives (0: as
much as the buffer takes), then the stream.
"""
import os
import struct

HEAD, TAIL, VERSION, ALT = 0x0FF055AA, 0x550FF0AA, 0x00010000, 0x00010001


def item(code, data=b"", magic=0xAA55A55A, status=0, length=None):
    n = len(data) if length is None else length
    return struct.pack("<IIBBHII", magic, code, 0, 0, 0, status, n) + data


def frame(items=(), seq=0, version=VERSION, tail=TAIL, count=None, length=None):
    body = b"".join(items)
    total = 36 + len(body) + 4
    head = struct.pack("<IIIHHIIIII", HEAD, version, total if length is None else length, 8, 2, seq, 0,
                       0x8002, 0, len(items) if count is None else count)
    return head + body + struct.pack("<I", tail)


def head_only(length, version=VERSION):
    return struct.pack("<III", HEAD, version, length)


a = frame([item(0x20001, b"\x01\x02\x03\x04")], seq=1)
b = frame(seq=2)
seeds = {
    "two_frames": b"\x00" + a + b,
    "two_frames_cut": b"\x07" + a + b + a,
    "garbage_and_false_heads": b"\x03" + b"\x00\xaa\x55\xaa\x55\xf0" + struct.pack("<I", HEAD) + b"\x01" + a
                               + struct.pack("<II", HEAD, VERSION) + a,
    "tail_and_versions": b"\x00" + frame(seq=3, tail=TAIL + 1) + frame(seq=4, version=ALT)
                         + frame(seq=5, version=0x00020000) + a,
    "bad_lengths": b"\x05" + head_only(0) + head_only(15) + head_only(39) + head_only(4097) + head_only(0xFFFFFFFF)
                   + a,
    "items": b"\x00" + frame([item(1, b"abc"), item(2), item(3, b"x" * 10)], count=5)
             + frame([item(1, b"abcd"), item(2, b"", length=0xFFFFFFFF)])
             + frame([item(1, b"abcd"), item(2, b"z" * 3, length=4)], count=0),
    "large_frame": b"\x02" + frame([item(0x10105, bytes(range(256)) * 20)]) + a,
    # Bad frames: a head whose body never comes (dropped at a time-out or at
    # the stream's end), one whose length ends inside the next frames, and a
    # whole frame whose tail is wrong; the good frames among their bytes count.
    "no_body_then_frames": b"\x05" + frame(length=3 << 20)[:36] + a + b + a,
    "no_body_at_the_bound": b"\x09" + head_only(4 << 20) + a + head_only(64 << 20) + b,
    "nested_heads_without_body": b"\x0b" + head_only(3 << 20) + head_only(1000) + a + b[:20] + b[20:] + a,
    "length_ends_inside_a_frame": b"\x00" + head_only(12 + len(a) + 20) + a + b + a,
    "wrong_tail_holds_frames": b"\x04" + frame([item(0x10105, a + b)], tail=TAIL ^ 1) + a,
    # Heads one inside another, none with its body: each is bad 5 s after its
    # own first byte came, however many there are and however they are found.
    "nested_chain_then_frames": b"\x00" + head_only(3 << 20) * 200 + a + b,
    "nested_chain_with_pauses": b"\x0d" + b"".join(head_only(3 << 20) + a[:k] for k in range(0, 60, 3)) + a + b,
    "nested_at_every_bound": b"\x11" + (head_only(4096) + head_only(1024) + head_only(4 << 20)
                                        + head_only(64 << 20)) * 40 + a,
    "nested_tails_in_later_bytes": b"\x06" + head_only(3 << 20)
                                   + b"".join(head_only(12 * (30 - i) + 40) for i in range(30)) + a + b,
    "heads_split_over_pauses": b"\x17" + b"".join(a[:k] + a for k in (1, 4, 11)) + head_only(200) * 30 + b,
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "frame")
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
