#!/bin/sh
# Records the monitor of a PulseAudio null sink while dudidadu-e2e plays its
# scenarios, then lets it check the recording against its timeline; then,
# run here (not through a runner), the idle check: a sound ends, and the
# device must go quiet (its stream corked on a server, no thread running).
#
#   run-e2e.sh [--runner PROGRAM] [--keep] [--alsa] DUDIDADU-E2E
#
# PULSE_SERVER names the server, DUDIDADU_E2E_SINK its null sink. --runner
# runs the program through another program (wine, for the Windows build; the
# recorder always runs here). --alsa plays through ALSA instead, to a device
# of an ALSA configuration written here that records into a file: no server
# and no sound card needed. The recording and the timeline are kept in a
# temporary folder when a check fails, or always with --keep. The player is
# given DUDIDADU_E2E_TIMEOUT seconds (120) to finish.
set -u

runner=""
keep=0
alsa=0
while [ $# -gt 0 ]; do
    case "$1" in
    --runner) runner="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --alsa) alsa=1; shift ;;
    -*) echo "run-e2e.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -ne 1 ]; then
    echo "usage: run-e2e.sh [--runner PROGRAM] [--keep] [--alsa] DUDIDADU-E2E" >&2
    exit 2
fi
program="$1"
rate=48000

if [ $alsa -eq 0 ] && { [ -z "${PULSE_SERVER:-}" ] || [ -z "${DUDIDADU_E2E_SINK:-}" ]; }; then
    echo "run-e2e.sh: set PULSE_SERVER and DUDIDADU_E2E_SINK (a null sink of that server) to record" >&2
    exit 1
fi
if [ $alsa -eq 0 ]; then
    for tool in parec pactl; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "run-e2e.sh: $tool is missing (package pulseaudio-utils)" >&2
            exit 1
        fi
    done
    if ! pactl list short sinks 2>/dev/null | awk '{print $2}' | grep -qx "$DUDIDADU_E2E_SINK"; then
        echo "run-e2e.sh: no sink '$DUDIDADU_E2E_SINK' on the server '$PULSE_SERVER'" >&2
        exit 1
    fi
    # Sounds of programs that name no sink go to ours (libpulse reads PULSE_SINK).
    PULSE_SINK="$DUDIDADU_E2E_SINK"
    export PULSE_SINK
fi

case "$program" in
/*) ;;
*) program="$(pwd)/$program" ;;
esac
work="$(mktemp -d "${TMPDIR:-/tmp}/dudidadu-e2e.XXXXXX")" || exit 1
cd "$work" || exit 1

recorder=""
if [ $alsa -eq 1 ]; then
    # The device converts to the recording's format and writes it to a file;
    # it is this configuration alone that libasound reads.
    cat >alsa.conf <<EOC
pcm.!default {
    type plug
    slave { pcm "tofile" format S16_LE rate $rate channels 2 }
}
pcm.tofile {
    type file
    slave.pcm "nothing"
    file "$work/recording.raw"
    format "raw"
}
pcm.nothing {
    type null
}
EOC
    ALSA_CONFIG_PATH="$work/alsa.conf"
    DUDIDADU_OUTPUT=alsa
    # The file device writes nothing while the device is idle: the player
    # keeps it busy with a silent loop, so that the gaps are recorded.
    DUDIDADU_E2E_KEEP_AWAKE=1
    export ALSA_CONFIG_PATH DUDIDADU_OUTPUT DUDIDADU_E2E_KEEP_AWAKE
else
    # On PipeWire, a recorder left free to move would follow a new default
    # sink; and one that asks for less than a player's latency has the
    # graph's period change when the player comes and goes (which shifts
    # what is recorded against the clock): it asks for as little.
    latency=20
    if pactl info 2>/dev/null | grep -q "on PipeWire"; then
        latency=5
    fi
    parec --format=s16le --channels=2 --rate=$rate --latency-msec=$latency \
        --property=node.dont-reconnect=true \
        -d "$DUDIDADU_E2E_SINK.monitor" >recording.raw 2>parec.log &
    recorder=$!

    # The monitor delivers silence from the start; wait for it to arrive.
    tries=0
    while [ ! -s recording.raw ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 $recorder 2>/dev/null; then
            echo "run-e2e.sh: parec records nothing:" >&2
            cat parec.log >&2
            kill $recorder 2>/dev/null
            exit 1
        fi
        sleep 0.05
    done
fi

# The program runs with the folder as its working directory and relative
# paths, so that a Windows program under wine finds them as well.
# A player that hangs (a sound that never ends) must not hold the recorder.
limit=""
if command -v timeout >/dev/null 2>&1; then
    limit="timeout ${DUDIDADU_E2E_TIMEOUT:-120}"
fi
$limit $runner "$program" play events.log
played=$?
if [ $played -eq 124 ]; then
    echo "run-e2e.sh: the player did not finish in time" >&2
fi

if [ -n "$recorder" ]; then
    sleep 0.5
    kill -INT $recorder 2>/dev/null
    wait $recorder 2>/dev/null
fi

$runner "$program" check events.log recording.raw $rate
checked=$?

# After the check: on ALSA it would write over the recording.
idle=0
if [ -z "$runner" ]; then
    DUDIDADU_E2E_KEEP_AWAKE= $limit "$program" idle
    idle=$?
fi

if [ $played -eq 0 ] && [ $checked -eq 0 ] && [ $idle -eq 0 ] && [ $keep -eq 0 ]; then
    cd / && rm -rf "$work"
else
    echo "run-e2e.sh: recording and timeline kept in $work"
fi
[ $played -eq 0 ] && [ $checked -eq 0 ] && [ $idle -eq 0 ]
