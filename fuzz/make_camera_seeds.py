#!/usr/bin/env python3
"""Writes the seed corpora of the camera library's file and reply targets:
update_package, db_file, update_reply and handshake (fuzz/corpus/<target>/),
and ftp_reply (the FTP client's reply parser).

update_package: one byte choosing the block size, then the package file.
db_file: one byte choosing the block size, the file's length (u16), the file,
then the camera's answer to the database query.
update_reply: a settings byte (1 database, 2 a query waiting, 4 a link that
takes the library's frames), the sequence number of the library's last frame
(u32), then what the camera sends.
handshake: the bytes of a server-mode camera's one answer.
ftp_reply: what an FTP server sends on the control connection.
"""
import os
import struct

HEAD, TAIL, VERSION, MAGIC = 0x0FF055AA, 0x550FF0AA, 0x00010000, 0xAA55A55A
PCK, WHOLE, OTHER = 0x41504B7F, 0x44504B7F, 0x4D524F46


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def pattern(n, seed):
    return bytes((seed + i * 13) & 0xFF for i in range(n))


# ---- update packages ----

def part(kind, first=b"", second=b"", desc_texts=(b"CAM", b"1.0", b"a part")):
    fields = bytearray(56)
    fields[0:4] = u32(kind)
    fields[24:28] = u32(56)
    desc = bytearray(324)
    desc[2:4] = struct.pack("<H", 0x0102)
    for at, t in zip((4, 36, 68), desc_texts):
        desc[at:at + len(t)] = t
    body = bytes(fields) + bytes(desc)
    fields[32:36], fields[36:40] = u32(len(body)), u32(len(first))
    fields[48:52], fields[52:56] = u32(len(body) + len(first)), u32(len(second))
    return bytes(fields) + bytes(desc) + first + second


def package(parts, text=b"package", count_word=None, entry_fix=None):
    n = len(parts)
    head = bytearray(32 + 72 * n)
    head[0:4] = u32(0x4450557F)
    head[12:16] = u32(n + 1 if count_word is None else count_word)
    text_buf = text + b"\0"
    head[24:28], head[28:32] = u32(len(head)), u32(len(text_buf))
    out = bytes(head) + text_buf
    entries = bytearray(head)
    for i, (name, data) in enumerate(parts):
        entries[32 + 72 * i:36 + 72 * i] = u32(len(out))
        entries[36 + 72 * i:40 + 72 * i] = u32(len(data))
        entries[40 + 72 * i:40 + 72 * i + len(name)] = name
        out += data
    if entry_fix:
        entry_fix(entries)
    return bytes(entries) + out[len(entries):]


def shared(entries):
    entries[32 + 72:36 + 72] = entries[32:36]
    entries[36 + 72:40 + 72] = entries[36:40]


broken_part = bytearray(part(OTHER, b"n\0", b"d"))
broken_part[52:56] = u32(0x7FFFFFFF)
broken_part = bytes(broken_part)
three = [(b"cam.pck", part(PCK, pattern(40, 1), pattern(90, 2))), (b"boot.img", part(WHOLE)),
         (b"entry.bin", part(OTHER, b"fpga.bin\0", pattern(33, 3)))]
update_package = {
    "three_parts": b"\x01" + package(three),
    "program_package_names": b"\x00" + package([(b"a.pck.pck", part(PCK, pattern(5, 4), pattern(300, 5)))]),
    "shared_part": b"\x02" + package(three[:2], entry_fix=shared),
    "kind_fields_outside": b"\x03" + package([(b"x.bin", part(OTHER, b"n\0", b"d")), (b"y.bin", broken_part)]),
    "count_word_one": b"\x00" + package(three, count_word=1),
    "count_word_zero": b"\x00" + package(three, count_word=0),
    "wrong_magic": b"\x00" + b"\x7e" + package(three)[1:],
    "part_too_short": b"\x00" + package([(b"tiny", part(WHOLE)[:20])]),
    "text_unterminated": b"\x05" + package(three, text=b"T" * 40)[:-1],
    "description_texts_whole": b"\x00" + package([(b"full", part(WHOLE, desc_texts=(b"A" * 32, b"B" * 32, b"C" * 256))),
                                                 (b"inner", part(WHOLE, desc_texts=(b"x\0y", b"\0z", b"p\0q\0r")))]),
}


# ---- database files and answers ----

def db_header(w0, w1, w2, name, size=300):
    b = bytearray(pattern(size, 9))
    b[0:12] = u32(w0) + u32(w1) + u32(w2)
    b[20:96] = bytes(76)
    b[20:20 + len(name)] = name
    return bytes(b)


def db_seed(bs, file, answer):
    return bytes([bs]) + struct.pack("<H", len(file)) + file + answer


plates = db_header(0x11223344, 0x50006, 7, b"Plates-2024")
db_file = {
    "same_identity_other_case": db_seed(1, plates, db_header(0x11223344, 0x50006, 9, b"pLATES-2024", 84)),
    "holds_none": db_seed(2, plates, bytes(12) + b"whatever"),
    "other_word_one": db_seed(3, plates, db_header(0x11223344, 0x50007, 7, b"Plates-2024", 84)),
    "short_answer": db_seed(0, plates, b"\x44\x33\x22"),
    "long_answer_name": db_seed(4, plates, u32(0x11223344) + u32(0x50006) + bytes(12) + b"P" * 6000),
    "header_cut": db_seed(1, plates[:95], b""),
    "name_unterminated": db_seed(1, plates[:20] + b"N" * 76 + plates[96:], bytes(12)),
}


# ---- update channel replies ----

def item(code, data=b"", magic=MAGIC, status=0, length=None):
    return u32(magic) + u32(code) + bytes(4) + u32(status) + u32(len(data) if length is None else length) + data


def reply(echo, items, ns=8, sender=2, count=None):
    body = b"".join(items)
    return (u32(HEAD) + u32(VERSION) + u32(40 + len(body)) + struct.pack("<HH", ns, sender) + u32(0x5151)
            + u32(echo) + u32(0x8002) + u32(0) + u32(len(items) if count is None else count) + body + u32(TAIL))


def settings(flags, seq):
    return bytes([flags]) + u32(seq)


def firmware_exchange(s):
    """The camera's answers to a whole transfer of the target's three items
    (100, 30 and 7 bytes in blocks of 16) starting after the first item head."""
    out, seq = [], s
    for kind_end, blocks in ((0x10205, 7), (0x10204, 2), (None, 1)):
        out.append(reply(seq, [item(0x10201)]))
        for _ in range(blocks):
            seq += 1
            out.append(reply(seq, [item(0x10202)]))
        seq += 1
        out.append(reply(seq, [item(0x10203)]))
        if kind_end:
            seq += 1
            out.append(reply(seq, [item(kind_end)]))
        seq += 1
    return b"".join(out)


def database_exchange(s):
    out = [reply(s, [item(0x10401)])] + [reply(s + k, [item(0x10402)]) for k in range(1, 5)]
    return b"".join(out) + reply(s + 5, [item(0x10403)])


update_reply = {
    "firmware_whole": settings(4, 100) + firmware_exchange(100),
    "firmware_sends_refused": settings(0, 100) + firmware_exchange(100),
    "database_whole": settings(5, 7) + database_exchange(7),
    "version_answer": settings(2, 1) + reply(1, [item(0x10209, b"CAM-X 3.2\nbuilt 2023")]),
    "database_answer": settings(3, 1) + reply(1, [item(0x1040A, bytes(12) + b"Plates")]),
    "checks_refused": settings(4, 9) + reply(8, [item(0x10201)]) + reply(9, [item(0x10201, status=5)])
                      + reply(9, [item(0x10201, magic=1)]) + reply(9, [item(0x10201)], ns=2, sender=8)
                      + reply(9, []),
    "two_items_and_overrun": settings(4, 30) + reply(30, [item(0x10201, b"1234567"), item(0x10202)])
                             + reply(32, [item(0x10202), item(0x10202, length=0xFFFFFFF0)], count=3),
}


# ---- server-mode first answers ----

def status_reply(length, word, extra=()):
    data = bytearray(length)
    if length >= 12:
        data[8:12] = u32(word)
    return reply(0, list(extra) + [item(0x20001, pattern(16, 1)), item(0x10001, bytes(data))])


good = status_reply(96, 96)
handshake = {
    "short_status": good,
    "long_status": status_reply(332, 332),
    "status_76": status_reply(76, 96),
    "long_with_short_word": status_reply(332, 96),
    "cut_first_receive": good[:50],
    "items_before_status": status_reply(200, 96, extra=[item(0x777, b"abc")]),
    "status_past_the_frame": reply(0, [item(0x10001, bytes(20), length=96)]),
    "wrong_echo": reply(1, [item(0x10001, bytes(8) + u32(96) + bytes(84))]),
}


# ---- FTP replies ----

ftp_reply = {
    "login": b"220 camera ready\r\n331 password please\r\n230 logged in\r\n",
    "multi_line": b"211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n200 ok\n",
    "other_codes_inside": b"150-first\r\n226 not the end\r\n150 end\r\n226 done\r\n",
    "code_only": b"200\n250\r\n",
    "malformed": b"hello\r\n",
    "incomplete": b"220 camera rea",
    "long_line": b"220 " + b"x" * 5000 + b"\r\n",
    "long_reply": b"220-start\r\n" + b" line of text\r\n" * 5000 + b"220 end\r\n",
}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
for target, seeds in (("update_package", update_package), ("db_file", db_file), ("update_reply", update_reply),
                      ("handshake", handshake), ("ftp_reply", ftp_reply)):
    out = os.path.join(root, target)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
