#!/bin/sh
# expect-status.sh [--wine] STATUS PATTERN COMMAND...: passes when COMMAND
# exits with STATUS and its standard error matches PATTERN (an extended
# regular expression).
#
# --wine: COMMAND runs under Wine, whose own PulseAudio driver thread can
# crash the host process as it exits while streams are open (a SIGSEGV in
# Wine's code, status 139, seen with any DLL loaded beside DirectSound): such
# a run is tried again, at most three times. A Windows program's own crash ends
# with an exception code instead, and fails at once.
tries=1
if [ "$1" = "--wine" ]; then
    tries=4
    shift
fi
status="$1"
pattern="$2"
shift 2
while :; do
    err="$("$@" 2>&1 >/dev/null)"
    got=$?
    printf '%s\n' "$err"
    tries=$((tries - 1))
    [ "$got" -eq 139 ] && [ "$tries" -gt 0 ] || break
    echo "expect-status.sh: Wine itself crashed on the way out (status 139); once more" >&2
done
if [ "$got" -ne "$status" ]; then
    echo "expect-status.sh: exit status $got, expected $status" >&2
    exit 1
fi
if ! printf '%s\n' "$err" | grep -Eq -- "$pattern"; then
    echo "expect-status.sh: message does not match '$pattern'" >&2
    exit 1
fi
