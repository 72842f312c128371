#!/bin/sh
# play-interrupt.sh DUDIDADU-PLAY FILE: a looped play without --duration ends
# with Ctrl-C (SIGINT): the player fades out, says it stopped and exits with
# 130, the status of a program ended by SIGINT.
player="$1"
file="$2"
out="$(mktemp "${TMPDIR:-/tmp}/dudidadu-play-int.XXXXXX")" || exit 1
"$player" "$file" --null --loop --fade-out 300 >"$out" 2>&1 &
pid=$!
# Wait for the header line: the sound is playing from then on.
tries=0
until grep -q "looped" "$out"; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ] || ! kill -0 $pid 2>/dev/null; then
        echo "play-interrupt.sh: the player did not start:" >&2
        cat "$out" >&2
        kill $pid 2>/dev/null
        rm -f "$out"
        exit 1
    fi
    sleep 0.05
done
sleep 0.5
if ! kill -0 $pid 2>/dev/null; then
    echo "play-interrupt.sh: a loop ended by itself" >&2
    rm -f "$out"
    exit 1
fi
kill -INT $pid
# Deadline: the fade is 300 ms; allow the machine plenty more.
tries=0
while kill -0 $pid 2>/dev/null; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
        echo "play-interrupt.sh: still playing 10 s after Ctrl-C" >&2
        kill -KILL $pid 2>/dev/null
        rm -f "$out"
        exit 1
    fi
    sleep 0.05
done
wait $pid
status=$?
output=$(cat "$out")
printf '%s\n' "$output"
rm -f "$out"
if [ $status -ne 130 ]; then
    echo "play-interrupt.sh: exit status $status after Ctrl-C, 130 expected" >&2
    exit 1
fi
if ! printf '%s' "$output" | grep -q "stopped"; then
    echo "play-interrupt.sh: no word that the play was stopped" >&2
    exit 1
fi
