#!/usr/bin/env python3
"""Writes the nested-head seeds of nardix_result_fuzz and nardix_reply_fuzz
into fuzz/corpus/nardix_result/ and fuzz/corpus/nardix_reply/.

A result seed is one byte that chooses the receive size (0: all the store
takes, else n * 37 bytes), one settings byte (bits 0-2: the three image
switches; bits 3-7: the time between receives in steps of 250 ms), then the
stream. A reply seed is the receive size byte, a byte whose low three bits
name the waiting request and whose upper five bits give the time between
receives, the request's type and code, then the stream; the request goes out
before receive number (receive size byte & 3), or while that receive waits
when bit 2 of that byte is set, or after the last receive when there are fewer.
"""
import os

TAIL = bytes([0xAA, 0xF0, 0x0F, 0x55])
HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v):
    return v.to_bytes(2, "little")


def le32(v):
    return v.to_bytes(4, "little")


def result_head(kind, length, kind_type=0xFF):
    return bytes([0xAA, 0x55, kind_type, kind]) + le32(length)


def result_frame(kind, rid, body):
    return result_head(kind, len(body) + 2) + le16(rid) + body + TAIL


def result(rid, image=40):
    info = (b"R%d" % rid).ljust(64, b"\0")
    return (result_frame(0x00, rid, info) + result_frame(0x10, rid, b"P%d" % rid + bytes(300))
            + result_frame(0x40, rid, bytes((rid + i) & 0xFF for i in range(image)))
            + result_frame(0x50, rid, b""))


def nested_result_heads(n, after, beyond=1000):
    return b"".join(result_head(0x40, (n - i - 1) * 8 + after + beyond) for i in range(n))


def reply_head(n, type_=0x20, code=0x0B):
    return bytes([0xAA, 0x55, 0, 0, 0, 0, type_, code]) + le16(n) + le16(n)


def reply(type_, code, payload):
    return reply_head(len(payload), type_, code) + payload + bytes([sum(payload) & 0xFF]) + TAIL


def nested_reply_heads(n, after, beyond=40):
    return b"".join(reply_head((n - i - 1) * 12 + after + beyond) for i in range(n))


def write(folder, name, data):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def result_seeds():
    after = result(10) + result(11)
    write("nardix_result", "nested_heads_at_once", bytes([0, 7]) + nested_result_heads(10, len(after)) + after)
    # Receives of 37 bytes a second apart.
    write("nardix_result", "nested_heads_spread",
          bytes([1, 7 | 4 << 3]) + nested_result_heads(6, len(after)) + after)
    # Heads whose lengths end on the tails of the good frames behind them.
    good = result(12, 300)
    frames = [result_frame(0x00, 12, (b"R12").ljust(64, b"\0")),
              result_frame(0x10, 12, b"P12" + bytes(300)),
              result_frame(0x40, 12, bytes((12 + i) & 0xFF for i in range(300))), result_frame(0x50, 12, b"")]
    ends = [sum(len(f) for f in frames[:k + 1]) for k in range(len(frames))]
    heads = b"".join(result_head(0x50 if k % 2 else 0x40, 8 * (3 - k) + ends[k] - 4) for k in range(4))
    write("nardix_result", "heads_on_good_tails", bytes([0, 7]) + heads + good)
    # A flood of the longest heads, then a result.
    flood = result_head(0x40, 204800) * 4000
    write("nardix_result", "flood_then_result", bytes([3, 7]) + flood + result(13, 2000))


def reply_seeds():
    shutter = reply(0x20, 0x0B, bytes([0x00, 0x2A]))
    reset = reply(0x00, 0x00, bytes([1]))
    after = reset + shutter
    # A shutter request waiting (kind 2), sent before the first receive.
    write("nardix_reply", "nested_heads_at_once",
          bytes([0, 2, 0, 0]) + nested_reply_heads(10, len(after)) + after)
    # Receives of 111 bytes a second apart, the request sent after the last:
    # the replies held behind the heads are older than it.
    write("nardix_reply", "nested_heads_spread_stale",
          bytes([3, 2 | 4 << 3, 0, 0]) + nested_reply_heads(8, len(after)) + after)
    # A reply head whose reply would end on the tail of the shutter reply
    # behind it, its checksum made to match.
    outer = reply_head(1 + len(shutter) - 5)
    fill = (shutter[-5] - sum(shutter[:-5])) & 0xFF
    write("nardix_reply", "head_on_good_tail", bytes([0, 2, 0, 0]) + outer + bytes([fill]) + shutter)
    write("nardix_reply", "flood_then_reply", bytes([5, 2, 0, 0]) + reply_head(1022) * 300 + shutter)
    # All in one millisecond. A reply held behind a bodiless head in the
    # first receive of 37 bytes, the request sent before the second, which
    # brings its answer.
    answer = reply(0x20, 0x0B, bytes([0x00, 0x2B]))
    held = reply_head(1000) + shutter
    write("nardix_reply", "held_reply_then_send_in_one_millisecond",
          bytes([1, 2, 0, 0]) + held + bytes(37 - len(held)) + answer)
    # The request sent while the first receive of 148 bytes waits: the reply
    # it brings answers, and the one in the second receive comes too late.
    write("nardix_reply", "reply_received_while_sent",
          bytes([4, 2, 0, 0]) + shutter + bytes(148 - len(shutter)) + answer)


if __name__ == "__main__":
    result_seeds()
    reply_seeds()
