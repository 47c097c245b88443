#!/usr/bin/env python3
"""Writes the seed corpus of box_frame_fuzz into fuzz/corpus/box_frame/.

Each file is one byte choosing how the stream is cut into receives and how
much time passes between them (0: as much as the buffer takes, all at one
time; odd: an update is under way; bit 7: the bytes come over a serial line),
then the stream.
"""
import os
import struct


def frame(cls, sub, payload=b"", seq=0, status=0x8000, direction=0, tail=b"\x55\xaa", length=None):
    n = len(payload) + 16 if length is None else length
    body = b"\xaa\x55\xff\x00" + struct.pack("<HHHBBB", n, seq, status, direction, cls, sub) + payload
    check = (-(sum(body) + sum(tail))) & 0xFF
    return body + bytes([check]) + tail


def head(length):
    return b"\xaa\x55\xff\x00" + struct.pack("<H", length)


def one_tail(n):
    s = b"\x55\xaa"
    for _ in range(n):
        h = head(len(s) + 7)
        fill = 2 if (sum(h) + 1 + sum(s)) & 0xFF == 0 else 1
        s = h + bytes([fill]) + s
    return s


def replies(n):
    return b"".join(frame(7, 0, struct.pack("<I", seq), seq=seq) for seq in range(1, n + 1))


seeds = {
    "gate_reply": (0, frame(1, 1, seq=1)),
    "two_frames_cut": (7, frame(0, 1, b"1.2.3", seq=1) + frame(7, 0, b"\x01\x00\x00\x00", seq=2)),
    "noise_and_false_heads": (3, b"\x00\xaa\x55\xff\x01\xaa\x55\xff" + frame(4, 1, b"\x05")),
    "short_lengths": (0, b"\xaa\x55\xff\x00\x03\x00" + b"\xaa\x55\xff\x00\x00\x00" + frame(4, 0, b"\x01")),
    "bad_tail": (5, frame(3, 2, b"abc", tail=b"\x55\xab") + frame(3, 9, b"xy")),
    "heartbeats": (0, frame(0, 0, bytes(36)) + frame(0, 0, bytes(range(144))) + frame(0, 0, b"\x01")),
    "link_info": (2, frame(0, 35, bytes(range(40))) + frame(0, 35, bytes(39))),
    "serial_data": (9, frame(3, 2, b"data", direction=0) + frame(3, 10, b"port1", direction=1)),
    "reports": (4, b"".join([
        frame(4, 4, bytes(range(33))), frame(4, 5, bytes(range(12))), frame(4, 6, b"\xab\xc8" + bytes(range(8))),
        frame(4, 7, b"\x11\x09" + bytes(range(18))), frame(4, 6, bytes(3)), frame(4, 8, b"\x01")])),
    "log_records": (6, frame(7, 1, bytes(range(200))) + frame(7, 1)),
    "update_acks": (1, frame(6, 0, seq=1) + frame(6, 1) + frame(6, 1) + frame(6, 1) + frame(6, 2) + frame(5, 9)),
    "large_frame": (0, frame(3, 9, bytes(i & 0xFF for i in range(5000)), seq=1)),
    "high_classes": (8, frame(8, 0) + frame(0xFF, 1) + frame(3, 18) + frame(2, 0)),
    # A head whose body never comes, then the box's traffic: its time runs
    # out, and the report and replies it took are found.
    "bad_head_then_traffic": (0x23, head(0xFFFF) + frame(4, 1, b"\x5a") + replies(12)),
    "bad_head_then_traffic_line": (0xA3, head(2000) + frame(4, 1, b"\x5a") + replies(12)),
    "short_bad_head_then_traffic": (0x42, head(64) + frame(4, 1, b"\x5a") + replies(6)),
    # A bad frame whose tail falls on the next frame's tail (its checksum
    # tells), or into the next frame.
    "bad_sum_where_the_length_ends": (0, head(6 + 17 + 16) + frame(1, 1, b"\x01", seq=1) + frame(0, 33)),
    "bad_tail_cuts_the_next": (3, head(6 + 17 + 5) + frame(1, 1, b"\x01", seq=1) + frame(0, 33) + frame(4, 0, b"\x02")),
    "bad_sum_good_tail": (0, frame(1, 1, b"\x01", seq=1)[:-3] + b"\x00\x55\xaa" + frame(1, 1, seq=1)),
    "nested_bad_heads": (5, head(16) * 60 + frame(4, 1, b"\x01")),
    "head_in_a_payload": (0, frame(3, 2, head(16) + head(0xFFFF)) + frame(4, 1, b"\x03")),
    # Heads nested one inside another, each announcing more than follows:
    # all at one time (the chain clears at once), cut and timed (each head by
    # its own time), on the line, and a long run of them.
    "nested_chain_at_once": (0, head(0xFFFF) * 10 + frame(7, 0, b"\x01\x00\x00\x00", seq=1)),
    "nested_chain_timed": (0x35, head(0xFFFF) * 10 + frame(4, 1, b"\x5a") + replies(4)),
    "nested_chain_line": (0xB1, head(1024) * 10 + frame(4, 1, b"\x5a") + replies(4)),
    "nested_growing_lengths": (0x27, b"".join(head(100 << i) for i in range(9)) + frame(4, 1, b"\x02")),
    "nested_flood": (0x1D, head(0xFFFF) * 3000 + frame(4, 1, b"\x5a")),
    # Heads whose lengths all end on one 55 AA tail with no checksum right.
    "nested_heads_one_tail": (0, one_tail(300) + frame(4, 1, b"\x03")),
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "box_frame")
os.makedirs(out, exist_ok=True)
for name, (cut, stream) in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([cut]) + stream)
