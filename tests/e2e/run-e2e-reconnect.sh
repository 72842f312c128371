#!/usr/bin/env bash
# A device made while no sound server answers, or whose server is killed and
# started again, is heard once the server answers: dudidadu-e2e loops the
# tone on a device made before its private server starts (on ALSA, an ALSA
# device of the test's own that writes to a file, standing in for the
# server); the tone must be heard on the server's monitor once it does. The
# server is then killed (the device goes on, unheard or on ALSA, and still
# reads as playing) and started again on the same socket, and the tone must
# come back on the new server's recording. Diagnostic lines say that the device moved there. Then the
# server is stopped (SIGSTOP) and the player must still end. Last, with a
# device playing on the server, and then on ALSA routed to the server (an
# ALSA configuration of the test's own, through ALSA's pulse plugin), the
# server is stopped: a one-shot must still end, and the device's teardown
# and a new device must not wait for the server (dudidadu-e2e frozen).
#
#   run-e2e-reconnect.sh SOURCE-DIR DUDIDADU-E2E
#
# DUDIDADU_E2E_SERVER=pipewire runs it on a private PipeWire instead, whose
# PulseAudio service (pipewire-pulse) is what is killed and started again.
#
# Every wait polls with a generous deadline; nothing assumes a quiet machine.
set -u

if [ $# -ne 2 ]; then
    echo "usage: run-e2e-reconnect.sh SOURCE-DIR DUDIDADU-E2E" >&2
    exit 2
fi
source_dir=$1
program=$2
server=${DUDIDADU_E2E_SERVER:-pulse}
case $server in
pulse) tools="pulseaudio parec pactl" ;;
pipewire) tools="dbus-daemon pipewire wireplumber pipewire-pulse parec pactl" ;;
*) echo "run-e2e-reconnect.sh: DUDIDADU_E2E_SERVER is pulse or pipewire" >&2; exit 2 ;;
esac
for tool in $tools; do
    command -v "$tool" >/dev/null 2>&1 || { echo "run-e2e-reconnect.sh: $tool is missing" >&2; exit 1; }
done
. "$source_dir/scripts/lib/$server.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/dudidadu-reconnect.XXXXXX") || exit 1
recorder=""
player=""
finish() {
    local status=$1
    [ -n "$player" ] && { touch "$work/stop"; kill "$player" 2>/dev/null; wait "$player" 2>/dev/null; }
    [ -n "$recorder" ] && { kill "$recorder" 2>/dev/null; wait "$recorder" 2>/dev/null; }
    "${server}_stop"
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "run-e2e-reconnect.sh: recordings and logs kept in $work"
        cat "$work/player.log" 2>/dev/null
    fi
    exit "$status"
}

record() {
    parec -d reconnect_sink.monitor --format=s16le --channels=2 --rate=48000 --latency-msec=20 \
        --property=node.dont-reconnect=true >"$1" 2>>"$work/parec.log" &
    recorder=$!
}

# until SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds.
until_within() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >"$work/last-try.log" 2>&1; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

${server}_prepare "$work/server" reconnect_sink || finish 1
printf 'pcm.!default { type file slave.pcm "nothing" file "%s" format "raw" }\npcm.nothing { type null }\n' \
    "$work/alsa.raw" >"$work/alsa-to-file.conf"
ALSA_CONFIG_PATH="$work/alsa-to-file.conf" DUDIDADU_LOG=1 "$program" hold "$work/stop" 150 \
    >"$work/player.out" 2>"$work/player.log" &
player=$!
until_within 30 grep -q "device output: ALSA" "$work/player.log" || { echo "FAIL: no device on ALSA"; finish 1; }

echo "starting the server"
${server}_relaunch || finish 1
record "$work/before.raw"
until_within 60 "$program" heard "$work/before.raw" || { echo "FAIL: the tone is not heard once the server answers"; finish 1; }
cat "$work/last-try.log"

echo "killing the server"
${server}_kill
wait "$recorder" 2>/dev/null
recorder=""
until_within 30 grep -q "went away" "$work/player.log" || { echo "FAIL: the device did not notice"; finish 1; }

echo "starting the server again"
${server}_relaunch || finish 1
record "$work/after.raw"
until_within 60 "$program" heard "$work/after.raw" || { echo "FAIL: the tone is not heard again"; cat "$work/last-try.log"; finish 1; }
cat "$work/last-try.log"
[ "$(grep -c "PulseAudio answers" "$work/player.log")" -eq 2 ] || { echo "FAIL: no two lines say the device moved"; finish 1; }
grep "dudidadu:" "$work/player.log"

# Stopped, the server takes the connection and answers nothing: the player
# must still end, its device's teardown never waiting for the server.
echo "stopping the server, then the player"
kill -STOP "$DUDIDADU_SERVER_PID"
touch "$work/stop"
asked=$(date +%s.%N)
deadline=$((SECONDS + 20))
while kill -0 "$player" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.05
done
echo "the player ended $(awk "BEGIN { printf \"%.2f\", $(date +%s.%N) - $asked }") s after it was asked to"
kill -CONT "$DUDIDADU_SERVER_PID"
kill -0 "$player" 2>/dev/null && { echo "FAIL: the player does not end while its server is stopped"; finish 1; }
wait "$player"
played=$?
player=""
cat "$work/player.out"
[ "$played" -eq 0 ] || { echo "FAIL: the player failed"; finish 1; }

# frozen NAME OUTPUT [VARIABLE=VALUE...]: the frozen check on a device that
# gets OUTPUT, with the server stopped once it plays there.
frozen() {
    local name=$1 output=$2 pid status
    shift 2
    rm -f "$work/ready" "$work/frozen"
    env DUDIDADU_LOG=1 "$@" "$program" frozen "$work/ready" "$work/frozen" >"$work/$name.log" 2>&1 &
    pid=$!
    until_within 30 test -e "$work/ready" || { cat "$work/$name.log"; kill "$pid"; echo "FAIL: $name: nothing plays"; return 1; }
    kill -STOP "$DUDIDADU_SERVER_PID"
    touch "$work/frozen"
    until_within 30 sh -c "! kill -0 $pid" || kill -KILL "$pid"
    wait "$pid"
    status=$?
    kill -CONT "$DUDIDADU_SERVER_PID"
    echo "$name:"
    cat "$work/$name.log"
    grep -q "device output: $output" "$work/$name.log" || { echo "FAIL: $name: the device did not play on $output"; return 1; }
    [ "$status" -eq 0 ] || { echo "FAIL: $name"; return 1; }
}
frozen "a frozen server" PulseAudio || finish 1
printf 'pcm.!default { type pulse server "%s" }\n' "$PULSE_SERVER" >"$work/alsa-to-server.conf"
frozen "ALSA routed to a frozen server" ALSA ALSA_CONFIG_PATH="$work/alsa-to-server.conf" \
    PULSE_SERVER="unix:$work/no-server" || finish 1
finish 0
