#!/bin/sh
# play-malformed.sh DUDIDADU-PLAY: broken WAVE headers, other files and what
# is no file get a message and exit status 1 (never a crash, never a hang):
# the library's reason and then the error it set, as an application gets
# them; a sound that is whole plays.
player="$1"
dir="$(mktemp -d "${TMPDIR:-/tmp}/dudidadu-play-bad.XXXXXX")" || exit 1
trap 'rm -rf "$dir"' EXIT
failed=0

# 16-bit mono 44100 Hz format chunk.
fmt='fmt \020\000\000\000\001\000\001\000\104\254\000\000\210\130\001\000\002\000\020\000'

check() { # check STATUS NAME [MESSAGE]: runs the player on $dir/NAME
    "$player" "$dir/$2" --null >"$dir/out" 2>&1
    got=$?
    if [ $got -ne "$1" ]; then
        echo "FAIL $2: exit status $got, expected $1"
        cat "$dir/out"
        failed=1
    elif [ "$1" -eq 1 ] && ! grep -q "${3:-not a playable RIFF/WAVE file}" "$dir/out"; then
        echo "FAIL $2: no clear message"
        cat "$dir/out"
        failed=1
    else
        echo "ok $2"
    fi
}

printf 'RIFF\044\000\000\000WAVE' >"$dir/header-only.wav"
check 1 header-only.wav
printf 'RIFF\044\000\000\000WAVE'"$fmt" | head -c 24 >"$dir/short-fmt.wav"
check 1 short-fmt.wav
printf 'RIFF\044\000\000\000WAVEdata\004\000\000\000\000\000\000\000'"$fmt" >"$dir/data-first.wav"
check 1 data-first.wav
printf 'RIFF\044\000\000\000WAVEJUNK\360\377\377\377'"$fmt" >"$dir/huge-chunk.wav"
check 1 huge-chunk.wav
printf 'RIFF\044\000\000\000WAVEfmt \020\000\000\000\001\000\001\000\104\254\000\000\210\130\001\000\000\000\020\000data\004\000\000\000\000\000\000\000' >"$dir/no-block-align.wav"
check 1 no-block-align.wav
printf 'RIFF\044\000\000\000WAVE'"$fmt"'data\000\000\000\000' >"$dir/empty-data.wav"
check 1 empty-data.wav
# Claims 0xFFFFFFF0 bytes of data, holds 400.
{ printf 'RIFF\044\000\000\000WAVE'"$fmt"'data\360\377\377\377'; head -c 400 /dev/zero; } >"$dir/long-data.wav"
check 1 long-data.wav
# A codec the library does not decode (MPEG in WAVE): its reason, from the
# library's diagnostic line.
{ printf 'RIFF\044\000\000\000WAVEfmt \020\000\000\000\125\000\001\000\104\254\000\000\210\130\001\000\002\000\020\000data\220\001\000\000'; head -c 400 /dev/zero; } >"$dir/mpeg.wav"
check 1 mpeg.wav "format tag 0x0055 not supported"
# 300 MiB of data announced: too large for a buffer, whatever the file holds.
{ printf 'RIFF\044\000\000\000WAVE'"$fmt"'data\000\000\300\022'; head -c 400 /dev/zero; } >"$dir/300mib.wav"
check 1 300mib.wav "playable RIFF/WAVE file: File too large"
# Other kinds of file say so first.
{ printf 'OggS\000\002\000\000\000\000\000\000\000\000'; head -c 400 /dev/zero; } >"$dir/ogg.wav"
check 1 ogg.wav "not a RIFF/WAVE file"
# A FIFO without a writer is never opened: no hang.
if mkfifo "$dir/fifo.wav"; then
    check 1 fifo.wav "not a regular file"
fi
# An odd-sized chunk before the format is skipped with its pad byte.
{ printf 'RIFF\300\001\000\000WAVELIST\003\000\000\000abc\000'"$fmt"'data\220\001\000\000'; head -c 400 /dev/zero; } >"$dir/padded.wav"
check 0 padded.wav
exit $failed
