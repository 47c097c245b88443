#!/usr/bin/env python3
"""Writes the seed corpus of box_reply_fuzz into fuzz/corpus/box_reply/.

Each file: the read command (index into the target's table), its flags
(bit 0 failure status, bits 1-3 box kind, bit 4 port 1, bits 5-7 which LED
setting), the serial-port read's buffer length (u16), then the reply payload.
"""
import os
import struct

LED_PORT, PORT_SETTINGS, RAM, SERIAL_NO, MAC, LOG_COUNT, RESET, LOG_LEVEL, VERSION, NET_INFO, \
    LED_INT, LED_BYTE, BLE, BLE_MODE, PORT_DATA = range(15)


def seed(read, payload=b"", flags=0, buffer_len=0):
    return bytes([read, flags]) + struct.pack("<H", buffer_len) + payload


seeds = {
    "led_port": seed(LED_PORT, b"\x09\x08\x07\x06"),
    "led_port_short": seed(LED_PORT, b"\x09\x08\x07"),
    "port1_settings": seed(PORT_SETTINGS, b"\x01\x02\x03\xf4", flags=0x10),
    "ram_empty": seed(RAM),
    "serial_no_12": seed(SERIAL_NO, b"ABCDEFGHIJKL"),
    "serial_no_13": seed(SERIAL_NO, b"ABCDEFGHIJKLM"),
    "mac_5": seed(MAC, b"\x01\x02\x03\x04\x05"),
    "mac_6": seed(MAC, b"\x01\x02\x03\x04\x05\x06"),
    "log_count_failure": seed(LOG_COUNT, b"\x01\x02\x03\x04", flags=1),
    "reset_two_bytes": seed(RESET, b"\x01\x01"),
    "log_level": seed(LOG_LEVEL, b"\x07"),
    "version_kind2": seed(VERSION, b"1.2.3", flags=2 << 1),
    "version_kind16_full": seed(VERSION, bytes(range(0x41, 0x61)), flags=3 << 1),
    "version_33": seed(VERSION, bytes(33)),
    "version_failure": seed(VERSION, b"1.0", flags=1),
    "net_info": seed(NET_INFO, bytes([192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1, 0, 0, 0, 7])),
    "led_polarity": seed(LED_INT, b"\x80", flags=3 << 5),
    "led_light_long": seed(LED_BYTE, b"\x03\x03", flags=2 << 5),
    "ble": seed(BLE, b"\x01\x00\x00\x00\xfe\xff\xff\xff"),
    "ble_mode_empty": seed(BLE_MODE),
    "port_data_equal": seed(PORT_DATA, bytes(range(10)), buffer_len=10),
    "port_data_larger_port1": seed(PORT_DATA, bytes(range(10)), flags=0x10, buffer_len=11),
    "port_data_large": seed(PORT_DATA, bytes(i & 0xFF for i in range(5000)), buffer_len=2047),
    # Heads inside a reply's payload are payload: a whole frame is taken whole.
    "port_data_holding_a_head": seed(PORT_DATA, b"\xaa\x55\xff\x00\xff\xff" + bytes(20), buffer_len=100),
    "serial_no_holding_a_head": seed(SERIAL_NO, b"\xaa\x55\xff\x00\x10\x00\x55\xaa"),
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "box_reply")
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
