#!/usr/bin/env python3
"""Writes the seed corpus of the wave reader's fuzz target into a directory.

Small RIFF/WAVE images, well-formed and not: the shapes the reader has to
handle (formats, chunk orders, odd sizes, lying sizes, cut images), so that
the fuzzer starts from inputs that reach deep into the parser.

Usage: make_seeds.py OUTPUT_DIR
"""
import math
import os
import struct
import sys


def chunk(cid, body, declared=None, pad=True):
    size = len(body) if declared is None else declared
    out = cid + struct.pack("<I", size) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


def riff(body, form=b"WAVE", declared=None):
    size = len(body) + 4 if declared is None else declared
    return b"RIFF" + struct.pack("<I", size) + form + body


def fmt_pcm(rate=8000, channels=1, bits=16):
    align = channels * bits // 8
    return struct.pack("<HHIIHH", 1, channels, rate, rate * align, align, bits)


def fmt_ex(tag, rate, channels, bits, extra):
    align = channels * bits // 8
    return struct.pack("<HHIIHHH", tag, channels, rate, rate * align, align,
                       bits, len(extra)) + extra


def extensible(rate, channels, bits, mask, sub=1):
    guid = struct.pack("<IHH", sub, 0, 0x10) + bytes(
        [0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])
    return fmt_ex(0xFFFE, rate, channels, bits,
                  struct.pack("<HI", bits, mask) + guid)


def tone(frames, channels=1, bits=16, rate=8000, freq=440.0):
    out = bytearray()
    for i in range(frames):
        v = 0.7 * math.sin(2 * math.pi * freq * i / rate)
        for _ in range(channels):
            if bits == 8:
                out.append(int(round(128 + v * 127)))
            else:
                out += struct.pack("<h", int(round(v * 32767)))
    return bytes(out)


def seeds():
    pcm = fmt_pcm()
    data = tone(32)
    s = {}
    s["pcm16_mono"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data))
    s["pcm8_stereo"] = riff(chunk(b"fmt ", fmt_pcm(11025, 2, 8)) +
                            chunk(b"data", tone(20, 2, 8, 11025)))
    s["float"] = riff(chunk(b"fmt ", fmt_ex(3, 44100, 2, 32, b"")) +
                      chunk(b"data", struct.pack("<8f", *[0.25] * 8)))
    s["float_fmt16"] = riff(chunk(b"fmt ", fmt_ex(3, 44100, 1, 32, b"")[:16]) +
                            chunk(b"data", bytes(16)))
    s["extensible"] = riff(chunk(b"fmt ", extensible(48000, 6, 24, 0x3F)) +
                           chunk(b"data", bytes(36)))
    s["extensible_short"] = riff(
        chunk(b"fmt ", extensible(48000, 2, 16, 3)[:18]) + chunk(b"data", data))
    s["adpcm_cb32"] = riff(chunk(b"fmt ", fmt_ex(2, 22050, 1, 4, bytes(range(32)))) +
                           chunk(b"data", bytes(64)))
    s["junk_between"] = riff(
        chunk(b"LIST", b"INFO" + chunk(b"INAM", b"name!")) + chunk(b"junk", b"abc") +
        chunk(b"fmt ", pcm) + chunk(b"fact", struct.pack("<I", 32)) +
        chunk(b"data", data) + chunk(b"id3 ", bytes(9)))
    s["odd_data"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data[:5]))
    s["odd_no_pad"] = riff(chunk(b"fmt ", pcm) + chunk(b"junk", b"abc", pad=False) +
                           chunk(b"data", data))
    s["data_first"] = riff(chunk(b"data", data) + chunk(b"fmt ", pcm))
    s["two_data"] = riff(chunk(b"data", data[:8]) + chunk(b"fmt ", pcm) +
                         chunk(b"data", data))
    s["fmt14"] = riff(chunk(b"fmt ", pcm[:14]) + chunk(b"data", data))
    s["fmt18_trailing"] = riff(chunk(b"fmt ", pcm + b"\xef\xbe") + chunk(b"data", data))
    s["data_empty"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", b""))
    s["data_lying"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data, 100000))
    s["data_huge"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data, 0xFFFFFFFF))
    s["fmt_lying"] = riff(chunk(b"fmt ", pcm, 1000) + chunk(b"data", data))
    s["junk_lying"] = riff(chunk(b"junk", b"\0" * 6, 0xFFFFFFF8) + chunk(b"fmt ", pcm) +
                           chunk(b"data", data))
    s["riff_small"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data), declared=28)
    s["riff_max"] = riff(chunk(b"fmt ", pcm) + chunk(b"data", data), declared=0xFFFFFFFF)
    s["other_form_first"] = (riff(chunk(b"fmt ", pcm), form=b"AVI ") +
                             s["pcm16_mono"])
    full = s["pcm16_mono"]
    for cut in (7, 10, 14, 30, 40, 47):
        s["cut_%d" % cut] = full[:cut]
    return s


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, image in sorted(seeds().items()):
        with open(os.path.join(out, name + ".wav"), "wb") as f:
            f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
