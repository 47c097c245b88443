#!/usr/bin/env python3
"""Writes the seed corpus of box_scan_fuzz into fuzz/corpus/box_scan/.

Each file is one datagram as a host address's socket receives it: mostly
524-byte discovery answers, some cut short, some too long.
"""
import os
import struct

HOST = bytes([198, 51, 100, 1])
OTHER_HOST = bytes([10, 0, 0, 1])


def text(s, size):
    b = s if isinstance(s, bytes) else s.encode()
    return (b + bytes(size))[:size]


def answer(kind="VELD", host=HOST, head=0x0FF055AA, tail=0x550FF0AA, command=0, reply=0x80000000,
           device_text=b"-box", serial=b"SN0001", users=(b"one", b"", b"", b""), mac=bytes(range(1, 7))):
    r = struct.pack("<III", head, 0x00010000, 524) + host + bytes(4)
    r += struct.pack("<II", command, reply) + text("QV-ZNPC", 16) + text(kind, 16) + text(device_text, 64)
    r += struct.pack("<I", 0xA1B2C3D4)
    net = struct.pack("<II", 0, 0) + bytes([198, 51, 100, 30]) + bytes([255, 255, 255, 0])
    net += struct.pack("<I", 0x55) + bytes([198, 51, 100, 254]) + mac + bytes(2) + text(serial, 32)
    net += bytes(132 - len(net))
    r += net
    for u in users:
        r += text(u, 64)
    r += bytes(4) + struct.pack("<I", tail)
    assert len(r) == 524
    return r


seeds = {
    "valid": answer(),
    "lower_case_type": answer(kind="veldp"),
    "type_oska": answer(kind="OSKA"),
    "type_velk": answer(kind="VELK"),
    "camera_type": answer(kind="IPNC"),
    "type_fills_its_field": answer(kind=b"VELD" + b"X" * 12),
    "other_host": answer(host=OTHER_HOST),
    "unknown_host": answer(host=bytes([198, 51, 100, 9])),
    "reply_code_0": answer(reply=0),
    "bad_head": answer(head=0),
    "bad_tail": answer(tail=0x550FF0AB),
    "command_1": answer(command=1),
    "command_high_bits": answer(command=0x10000),
    "whole_fields": answer(device_text=b"T" * 64, serial=b"S" * 32, users=(b"U" * 64,) * 4),
    "inner_nul": answer(device_text=b"-box\0tail", serial=b"SN\0rest"),
    "short": answer()[:500],
    "long": answer() + bytes(1000),
    "empty": b"",
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "box_scan")
os.makedirs(out, exist_ok=True)
for name, datagram in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(datagram)
