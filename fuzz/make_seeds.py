#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/corpus/<fuzzer>/seed-*).

Run again after changing an input layout; crash inputs kept as regression
inputs (corpus/<fuzzer>/regress-*) and the units merged from long runs
(named by their SHA-1, from `<fuzzer> -merge=1`) are not touched.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(fuzzer, name, data):
    d = os.path.join(HERE, "corpus", fuzzer)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def rec(cmd, payload=b""):
    return bytes([cmd]) + struct.pack(">H", len(payload)) + payload


HEADER = b"\xa5" * 32
WAIT, DELAY, OPEN, CLOSE, F1, F2 = 0x01, 0x02, 0x03, 0x04, 0x11, 0x12


def control(behaviours, auto=False, baud1=False):
    return bytes([len(behaviours) | (0x10 if auto else 0) | (0x20 if baud1 else 0)]) + bytes(behaviours)


full = HEADER + rec(OPEN) + rec(F1, b"\x01\x02\x03") + rec(F2, b"hello") + rec(DELAY, b"\x00\x01") + rec(WAIT) \
    + rec(CLOSE) + rec(OPEN) + rec(F1, b"") + rec(F2, bytes(range(40)))
write("script", "all-correct", control([]) + full)
write("script", "every-behaviour", control([0, 3 | (2 << 3), 4 | (5 << 3), 2, 6, 1, 5, 7]) + full)
write("script", "pieces-baud2", control([3, 3 | (8 << 3)], baud1=True) + full)
write("script", "header-only", control([]) + HEADER)
write("script", "short-file", control([]) + b"\xa5" * 10)
write("script", "bad-command", control([]) + HEADER + rec(OPEN) + rec(0x05, b"xx"))
write("script", "truncated", control([]) + HEADER + rec(OPEN) + b"\x11\x01\x00abc")
write("script", "short-delay", control([]) + HEADER + rec(OPEN) + rec(DELAY, b"\x01"))
write("script", "delay-zero", control([]) + HEADER + rec(OPEN) + rec(DELAY, b"\x00\x00") + rec(F2, b"z"))
write("script", "auto-detect", control([], auto=True) + full)
write("script", "send-closed", control([]) + HEADER + rec(F2, b"a") + rec(F1, b"b"))
write("script", "garbage-f2", control([4 | (6 << 3), 5]) + HEADER + rec(OPEN) + rec(F2, b"1") + rec(F1, b"2"))

# lookup: flags, [len, bytes] per property present.
def dev(hwid=None, fn=None, raw_h=False, raw_f=False, other_class=False):
    flags = (1 if hwid is not None else 0) | (2 if fn is not None else 0) | (4 if other_class else 0) \
        | (8 if raw_h else 0) | (16 if raw_f else 0)
    out = bytes([flags])
    for p in (hwid, fn):
        if p is not None:
            out += bytes([len(p)]) + p
    return out


def wide(text, terminated=True):
    data = text.encode("utf-32-le")
    return data + (b"\0\0\0\0" if terminated else b"")


write("lookup", "terminal-row0", dev(b"USB\\VID_03EB&PID_6133&REV_0100&MI_00", b"Terminal (ttyACM0)"))
write("lookup", "terminal-row1", dev(b"USB\\VID_0483&PID_5740&REV_0200", b"Pad (ttyACM3)"))
write("lookup", "raw-multisz", dev(wide("USB\\VID_03EB&PID_6133&MI_00") + wide("USB\\VID_03EB") + b"\0\0\0\0",
                                   wide("Terminal (ttyACM1)"), raw_h=True, raw_f=True))
write("lookup", "unterminated-odd", dev(wide("USB\\VID_0483&PID_5740", False)[:-1], wide("X (ttyS9)", False)[:-2],
                                        raw_h=True, raw_f=True))
write("lookup", "many-ports", b"".join(dev(None, b"Serial port (ttyUSB%d)" % i) for i in range(30)))
write("lookup", "mixed", dev(b"USB\\VID_03EB&PID_6133&MI_01", b"A (ttyACM0)") + dev(None, b"Printer (LPT1)")
      + dev(b"USB\\VID_0483&PID_5740", b") (ttyACM2") + dev(b"USB\\VID_0483&PID_5740", None)
      + dev(b"USB\\VID_0483&PID_5740", b"B (ttyACM7)", other_class=True)
      + dev(b"USB\\VID_0483&PID_5740", b"C (tty" + b"9" * 70 + b")"))

# receive: formats byte, then [queued, announced hi, announced lo, fill] operations.
def op(queued, announced, fill):
    return bytes([queued]) + struct.pack(">H", announced) + bytes([fill])


write("receive", "f1-in-two", bytes([0]) + op(6, 6, 0) + op(6, 6, 0) + op(12, 12, 0))
write("receive", "short-reads", bytes([0xAA]) + op(7, 3, 0x24) + op(0, 9, 0) + op(5, 0, 0) + op(200, 65535, 1))
write("receive", "fill-buffer", bytes([0]) + b"".join(op(250, 250, 7) for _ in range(9)) + op(3, 3, 7))
write("receive", "timeouts", bytes([0x0F]) + op(255, 0, 0) + op(5, 5, 0x24) + op(255, 0, 0) + op(12, 12, 0))
