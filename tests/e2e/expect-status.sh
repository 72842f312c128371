#!/bin/sh
# expect-status.sh STATUS PATTERN COMMAND...: passes when COMMAND exits with
# STATUS and its standard error matches PATTERN (an extended regular expression).
status="$1"
pattern="$2"
shift 2
err="$("$@" 2>&1 >/dev/null)"
got=$?
printf '%s\n' "$err"
if [ "$got" -ne "$status" ]; then
    echo "expect-status.sh: exit status $got, expected $status" >&2
    exit 1
fi
if ! printf '%s\n' "$err" | grep -Eq -- "$pattern"; then
    echo "expect-status.sh: message does not match '$pattern'" >&2
    exit 1
fi
