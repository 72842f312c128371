#!/usr/bin/env python3
"""make-sample.py OUT.wav: write a short demonstration sound.

A rising C major arpeggio (C5 E5 G5 C6) of soft bell-like notes that ring
into a chord, each note placed a little further to the right; 1.5 seconds,
16-bit stereo PCM at 44100 Hz. Python's standard library only.
"""
import argparse
import math
import struct
import sys
import wave

RATE = 44100
SECONDS = 1.5
NOTES = [(523.25, 0.00, -0.45), (659.26, 0.18, -0.15),
         (783.99, 0.36, 0.15), (1046.50, 0.54, 0.45)]  # Hz, start s, pan
PARTIALS = [(1.0, 1.0), (2.0, 0.35), (3.0, 0.12), (4.0, 0.05)]  # ratio, level
ATTACK = 0.008


def render():
    frames = int(RATE * SECONDS)
    left = [0.0] * frames
    right = [0.0] * frames
    for freq, start, pan in NOTES:
        # Constant-power pan: the note keeps its loudness wherever it stands.
        angle = (pan + 1.0) * math.pi / 4.0
        gain_l, gain_r = math.cos(angle), math.sin(angle)
        first = int(start * RATE)
        for n in range(first, frames):
            t = (n - first) / RATE
            env = min(1.0, t / ATTACK) * math.exp(-2.6 * t)
            # Higher partials die away sooner, as on a struck string.
            s = sum(level * math.exp(-3.0 * (ratio - 1.0) * t) *
                    math.sin(2.0 * math.pi * freq * ratio * t)
                    for ratio, level in PARTIALS)
            v = env * s
            left[n] += v * gain_l
            right[n] += v * gain_r
    # A short fade at the very end, so that the sound stops without a click.
    tail = int(0.12 * RATE)
    for i in range(tail):
        g = 0.5 * (1.0 + math.cos(math.pi * (i + 1) / tail))
        left[frames - tail + i] *= g
        right[frames - tail + i] *= g
    peak = max(max(map(abs, left)), max(map(abs, right)), 1e-9)
    scale = 0.7 * 32767 / peak  # about -3 dB below full scale
    data = bytearray()
    for l, r in zip(left, right):
        data += struct.pack('<hh', int(round(l * scale)), int(round(r * scale)))
    return bytes(data)


def main():
    summary, details = __doc__.split('\n\n', 1)
    summary = summary.split(': ', 1)[1]
    parser = argparse.ArgumentParser(
        prog='make-sample.py', description=summary[0].upper() + summary[1:] + '\n\n' + details.strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('out', metavar='OUT.wav', help='the file to write ("-" is standard output)')
    args = parser.parse_args()
    out = sys.stdout.buffer if args.out == '-' else args.out
    with wave.open(out, 'wb') as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(render())


if __name__ == '__main__':
    main()
