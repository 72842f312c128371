#!/usr/bin/env python3
"""Writes the seed corpus of the wave reader's fuzz target into a directory.

Small RIFF/WAVE images, well-formed and not: the shapes the reader has to
handle (formats, chunk orders, odd sizes, lying sizes, cut images) and one
file or more of each codec the decoder takes (whole blocks, a last block cut
short, parameters that do not fit), so that the fuzzer starts from inputs
that reach deep into the parser and the decoders.

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


def fmt_codec(tag, rate, channels, bits, align, extra):
    return struct.pack("<HHIIHHH", tag, channels, rate, rate * align // 2, align,
                       bits, len(extra)) + extra


def noise(n, seed=7):
    out = bytearray()
    for _ in range(n):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(seed >> 16 & 0xFF)
    return bytes(out)


def ima_blocks(channels, align, blocks):
    """Blocks with sane headers (a sample, a step index) and noisy codes."""
    out = b""
    for b in range(blocks):
        body = noise(align - 4 * channels, b + 1)
        heads = b"".join(struct.pack("<hBB", 1000 * c - 500, (b * 11 + c) % 89, 0)
                         for c in range(channels))
        out += heads + body
    return out


def ms_blocks(channels, align, blocks):
    out = b""
    for b in range(blocks):
        head = bytes([(b + c) % 7 for c in range(channels)])
        head += b"".join(struct.pack("<h", 16 + 40 * c) for c in range(channels))
        head += b"".join(struct.pack("<h", 300 * c) for c in range(channels))
        head += b"".join(struct.pack("<h", -200 * c) for c in range(channels))
        out += head + noise(align - 7 * channels, b + 3)
    return out


MS_COEFS = [(256, 0), (512, -256), (0, 0), (192, 64), (240, 0), (460, -208), (392, -232)]


def ms_extra(channels, align, coefs=7, per_block=None):
    if per_block is None:
        per_block = (align - 7 * channels) * 2 // channels + 2
    pairs = b"".join(struct.pack("<hh", *p) for p in MS_COEFS[:coefs])
    return struct.pack("<HH", per_block, 7) + pairs


def codec_seeds():
    s = {}
    tone8 = tone(40, 2, 8)
    s["alaw_stereo"] = riff(chunk(b"fmt ", fmt_codec(6, 8000, 2, 8, 4, b"")) +
                            chunk(b"fact", struct.pack("<I", 40)) + chunk(b"data", tone8))
    s["mulaw_mono"] = riff(chunk(b"fmt ", fmt_codec(7, 8000, 1, 8, 2, b"")) +
                           chunk(b"data", tone8[:33]))
    s["mulaw_bad_align"] = riff(chunk(b"fmt ", fmt_codec(7, 8000, 2, 8, 3, b"")) +
                                chunk(b"data", tone8))
    ima_extra = lambda ch, align: struct.pack("<H", (align - 4 * ch) * 2 // ch + 1)
    s["ima_mono"] = riff(chunk(b"fmt ", fmt_codec(0x11, 22050, 1, 4, 64, ima_extra(1, 64))) +
                         chunk(b"data", ima_blocks(1, 64, 3)))
    s["ima_stereo_cut"] = riff(chunk(b"fmt ", fmt_codec(0x11, 44100, 2, 4, 72, ima_extra(2, 72))) +
                               chunk(b"data", ima_blocks(2, 72, 3)[:190]))
    s["ima_6ch"] = riff(chunk(b"fmt ", fmt_codec(0x11, 48000, 6, 4, 96, ima_extra(6, 96))) +
                        chunk(b"data", ima_blocks(6, 96, 2)))
    s["ima_zero_per_block"] = riff(chunk(b"fmt ", fmt_codec(0x11, 22050, 1, 4, 64, b"\0\0")) +
                                   chunk(b"data", ima_blocks(1, 64, 1)))
    s["ima_no_extra"] = riff(chunk(b"fmt ", fmt_codec(0x11, 22050, 1, 4, 64, b"")) +
                             chunk(b"data", ima_blocks(1, 64, 1)))
    s["ms_mono"] = riff(chunk(b"fmt ", fmt_codec(2, 22050, 1, 4, 64, ms_extra(1, 64))) +
                        chunk(b"data", ms_blocks(1, 64, 3)))
    s["ms_stereo_cut"] = riff(chunk(b"fmt ", fmt_codec(2, 44100, 2, 4, 80, ms_extra(2, 80))) +
                              chunk(b"data", ms_blocks(2, 80, 2)[:101]))
    s["ms_8ch"] = riff(chunk(b"fmt ", fmt_codec(2, 8000, 8, 4, 128, ms_extra(8, 128))) +
                       chunk(b"data", ms_blocks(8, 128, 2)))
    s["ms_short_coefs"] = riff(chunk(b"fmt ", fmt_codec(2, 22050, 1, 4, 64, ms_extra(1, 64, 3))) +
                               chunk(b"data", ms_blocks(1, 64, 1)))
    s["ms_big_per_block"] = riff(
        chunk(b"fmt ", fmt_codec(2, 22050, 1, 4, 64, ms_extra(1, 64, 7, 500))) +
        chunk(b"data", ms_blocks(1, 64, 1)))
    s["float64"] = riff(chunk(b"fmt ", fmt_ex(3, 44100, 2, 64, b"")) +
                        chunk(b"data", struct.pack("<6d", 0.5, -0.5, 1e-3, 2.0, -1e30, 0.0)))
    s["float64_extensible"] = riff(chunk(b"fmt ", extensible(48000, 3, 64, 0x7, sub=3)) +
                                   chunk(b"data", struct.pack("<3d", 0.1, 0.2, 0.3)))
    s["pcm_6ch_plain"] = riff(chunk(b"fmt ", fmt_pcm(44100, 6, 16)) +
                              chunk(b"data", tone(10, 6)))
    s["float_8ch_plain"] = riff(chunk(b"fmt ", fmt_ex(3, 48000, 8, 32, b"")) +
                                chunk(b"data", struct.pack("<16f", *[0.25] * 16)))
    s["gsm"] = riff(chunk(b"fmt ", fmt_codec(0x31, 8000, 1, 0, 65, struct.pack("<H", 320))) +
                    chunk(b"data", noise(65)))
    return s


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
    # At the edges of what plays: refused just past them, taken at them.
    s["int64_extensible"] = riff(chunk(b"fmt ", extensible(44100, 2, 64, 3)) +
                                 chunk(b"data", bytes(32)))
    s["int128_extensible"] = riff(chunk(b"fmt ", extensible(44100, 1, 128, 4)) +
                                  chunk(b"data", bytes(32)))
    s["pcm_9ch_plain"] = riff(chunk(b"fmt ", fmt_pcm(44100, 9, 16)) + chunk(b"data", tone(4, 9)))
    s["pcm_10ch_extensible"] = riff(chunk(b"fmt ", extensible(48000, 10, 16, 0x3FF)) +
                                    chunk(b"data", bytes(40)))
    s["rate_99"] = riff(chunk(b"fmt ", fmt_pcm(99)) + chunk(b"data", data))
    s["rate_100"] = riff(chunk(b"fmt ", fmt_pcm(100)) + chunk(b"data", data))
    s["rate_200001"] = riff(chunk(b"fmt ", fmt_pcm(200001)) + chunk(b"data", data))
    s["pcm12"] = riff(chunk(b"fmt ", struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 12)) +
                      chunk(b"data", data))
    # Other files, for the first refusal of all.
    s["ogg"] = b"OggS\0\2" + bytes(20) + noise(60)
    s["elf"] = b"\x7fELF\2\1\1" + bytes(9) + noise(60)
    s.update(codec_seeds())
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
