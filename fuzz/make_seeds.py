#!/usr/bin/env python3
"""Writes the committed seed inputs of the fuzz targets (run from fuzz/)."""
import pathlib

def parity_header(length):
    byte = 0x20 | length
    ones = bin(byte & 0x7F).count("1")
    return byte | (0x80 if ones % 2 else 0)

# frame_reception: the far side's steps (see support/far_side.cpp).
CTS_ON, CTS_OFF, NOTHING = 0x00, 0x01, 0x04
def data(b): return bytes([0x02, b])

def bcu_byte(b):
    # One BCU-initiated byte: CTS on, the driver's RTS (no reaction), CTS off,
    # the driver drops RTS and the byte comes as the reaction.
    return bytes([CTS_ON, NOTHING, CTS_OFF]) + data(b)

def bcu_frame(body, cts_on=False):
    out = b""
    for b in [parity_header(len(body))] + body:
        out += bcu_byte(b)
    # With CTS already on, the first byte's exchange starts at the driver's RTS.
    return out[1:] if cts_on else out

OPEN = bytes([NOTHING, NOTHING])  # reactions to DTR on, RTS off at open
LISTEN = bytes([0x00])            # action: a listener turn (its idle wait takes the next step)

def indication(group, value_bytes, length):
    body = [0x49, 0x00, 0x11, 0x01, group >> 8, group & 0xFF, 0xE0 | (length - 6), 0x00, 0x80]
    body += value_bytes
    return body

seeds = {
    "bit": indication(0x0801, [0x81], 9)[:9],
    "byte": indication(0x1203, [0x00, 0x80, 0x7F], 10)[:10],
    "word": indication(0x6FFF, [0x00, 0x80, 0x12, 0x34], 11)[:11],
    "memory": [0x4B, 0x00, 0x01, 0x16, 0x05, 0x00, 0x00],
}
d = pathlib.Path("corpus/frame_reception")
for name, body in seeds.items():
    (d / f"listen_{name}").write_bytes(b"\x00" + OPEN + LISTEN + bcu_frame(body))
# A gate write (action 2) met by the BCU's own frame: CTS already on at the first byte.
# CTS rises as the BCU's reaction to RTS off at open, so the send meets it at once.
(d / "write_collision").write_bytes(b"\x00" + bytes([NOTHING, CTS_ON]) + bytes([0x02, 0x00, 0x01, 0x04, 0x08, 0x01]) +
                                    bcu_frame(seeds["bit"], cts_on=True))
# A gate read (action 3) of a byte group.
(d / "read_byte").write_bytes(b"\x00" + OPEN + bytes([0x03, 0x00, 0x00, 0x05, 0x12, 0x03]) +
                              bytes([NOTHING] * 8))

d = pathlib.Path("corpus/address_parser")
for i, text in enumerate([b"D_01/0001", b"A_13/2047", b"A201/0100", b"linklayer", b"SET_RTS", b"CHK_COMM",
                          b"D_1A/0001", b"GET_LAYER"]):
    gate = b"\xA0" if text.startswith(b"D_") else b"\x00"
    (d / f"seed{i}").write_bytes(gate + text)

d = pathlib.Path("corpus/telnet_codec")
(d / "raw_notify").write_bytes(b"\x00" + bytes([255, 250, 44, 107, 0x11, 255, 240, 0x41, 255, 255, 255, 251, 44]))
(d / "round_trip").write_bytes(b"\x01" + bytes([0, 0xFF, 1, 44, 8, 44, 107, 0xFF, 0x11]))
