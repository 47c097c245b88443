#!/usr/bin/env python3
"""Writes the seed corpus of nardix_scan_fuzz into fuzz/corpus/nardix_scan/.

Each file is one datagram as a plate-recognition camera sends it to the
library's discovery socket. The harness's PC has the addresses 198.51.100.1,
198.51.100.7 and 127.0.0.1.
"""
import os


def put(p, at, size, data):
    data = data.encode() if isinstance(data, str) else data
    p[at:at + min(len(data), size)] = data[:size]


def answer(to="198.51.100.1", kind="Parking", model="A1", sub=2, ip="198.51.100.30",
           mask="255.255.255.0", gateway="198.51.100.254"):
    p = bytearray(160)
    p[0:4] = bytes([0xAA, 0x55, 0xF0, sub])
    p[4:8] = (148).to_bytes(4, "little")
    put(p, 8, 16, to)
    put(p, 48, 8, kind)
    put(p, 56, 6, model)
    p[62] = 0x5A
    p[63:69] = bytes([0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F])
    put(p, 69, 16, ip)
    put(p, 91, 16, mask)
    put(p, 107, 16, gateway)
    p[156:159] = bytes([0x0F, 0x55, 0xAA])
    return bytes(p)


SEEDS = {
    "parking": answer(),
    "molq_six_character_model": answer(to="198.51.100.7", kind="MOLQ-SD", model="XYZ123"),
    "type_without_end": answer(kind="ParkingX"),
    "scan_not_answer": answer(sub=0),
    "not_for_this_pc": answer(to="10.0.0.1"),
    "texts_fill_their_fields": answer(ip="1" * 16, mask="2" * 16, gateway="3" * 16, to="127.0.0.1"),
    "one_byte_short": answer()[:159],
    "longer_datagram": answer() + bytes(range(256)) * 4,
    "empty": b"",
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "nardix_scan")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
