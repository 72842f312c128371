#!/bin/sh
# sox-compare.sh [--runner PROGRAM] WAVE-DECODE-CHECK: encodes tones with sox
# into each codec the library decodes, decodes them with sox too, and has
# wave_decode_check compare its own decoding with sox's, row by row of the
# table below. --runner runs the checker through another program (wine, for
# the Windows build); sox always runs here.
set -u

runner=""
if [ "${1:-}" = "--runner" ]; then
    runner="$2"
    shift 2
fi
if [ $# -ne 1 ]; then
    echo "usage: sox-compare.sh [--runner PROGRAM] WAVE-DECODE-CHECK" >&2
    exit 2
fi
checker="$1"
case "$checker" in
/*) ;;
*) checker="$(pwd)/$checker" ;;
esac
for tool in sox python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "sox-compare.sh: $tool is missing (scripts/install-deps installs it)" >&2
        exit 1
    fi
done
work="$(mktemp -d "${TMPDIR:-/tmp}/dudidadu-sox.XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# cut FILE BYTES: the data chunk of FILE cut to its first BYTES (a last block
# cut short), the sizes rewritten to match.
cut() {
    python3 - "$1" "$2" <<'PY'
import struct, sys
path, keep = sys.argv[1], int(sys.argv[2])
b = open(path, "rb").read()
out, at = bytearray(b[:12]), 12
while at + 8 <= len(b):
    cid, size = b[at:at + 4], struct.unpack("<I", b[at + 4:at + 8])[0]
    body = b[at + 8:at + 8 + size]
    if cid == b"data":
        body = body[:keep]
    out += cid + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")
    at += 8 + size + (size & 1)
out[4:8] = struct.pack("<I", len(out) - 8)
open(path, "wb").write(out)
PY
}

failed=0
rows=0
# name       channels rate   encoding           bits cut   LSB
while read -r name channels rate encoding bits keep lsb; do
    case "$name" in '#'* | '') continue ;; esac
    rows=$((rows + 1))
    # Tones of different pitch on each channel, loud enough to use the range.
    tones=""
    i=0
    while [ $i -lt "$channels" ]; do
        tones="$tones sine $((330 + 110 * i))"
        i=$((i + 1))
    done
    sox -n -r "$rate" -c "$channels" -b 16 source.wav synth 0.37 $tones vol 0.8 &&
        sox source.wav -e "$encoding" -b "$bits" "$name.wav" || { failed=1; continue; }
    [ "$keep" = "-" ] || cut "$name.wav" "$keep"
    raw=s16
    [ "$encoding" = floating-point ] && raw=f32
    sox "$name.wav" -t "$raw" "$name.raw" || { failed=1; continue; }
    $runner "$checker" "$name.wav" "$name.raw" "$lsb" || failed=1
done <<'TABLE'
alaw_stereo      2 22050 a-law              8  -     0
mulaw_mono       1  8000 u-law              8  -     0
alaw_5_1         6 44100 a-law              8  -     0
ima_mono         1 11025 ima-adpcm          4  -     0
ima_stereo       2 44100 ima-adpcm          4  -     0
ima_5_1          6 48000 ima-adpcm          4  -     0
ima_cut_block    2 22050 ima-adpcm          4  3100  0
ms_mono          1  8000 ms-adpcm           4  -     0
ms_stereo        2 44100 ms-adpcm           4  -     0
ms_5_1           6 22050 ms-adpcm           4  -     0
ms_cut_block     1 22050 ms-adpcm           4  1300  0
float64_stereo   2 48000 floating-point     64 -     1
float64_5_1      6 44100 floating-point     64 -     1
TABLE
echo "sox-compare.sh: $rows codec files compared with sox's decoding"
[ $rows -gt 0 ] && [ $failed -eq 0 ]
