# A private PulseAudio server for tests: its own runtime directory, one null
# sink, a socket that needs no cookie. Source this file (bash), then
#   pulse_start DIR [SINK]   start it, export PULSE_SERVER and friends
#   pulse_prepare DIR [SINK] the same without starting it (pulse_relaunch does)
#   pulse_kill               kill it at once (SIGKILL), as a crash would
#   pulse_relaunch           start it (again) on the same socket
#   pulse_stop               stop the server started here, by its pid
# DUDIDADU_SERVER_PID (as DUDIDADU_PULSE_PID) is the server's pid, as
# pipewire.sh names the process that serves the same protocol there.
# The null sink is the server's default; its name is exported as
# DUDIDADU_E2E_SINK for the tests that record its monitor. (Not as PULSE_SINK:
# that would follow tests onto servers of their own, which have no such sink.)
# A user's own server is never touched.

. "$(dirname "${BASH_SOURCE[0]}")/service.sh"

DUDIDADU_PULSE_PID=""
DUDIDADU_SERVER_PID=""
DUDIDADU_PULSE_DIR=""
DUDIDADU_PULSE_SINK=""

pulse_start() {
  pulse_prepare "$@" && pulse_relaunch
}

pulse_prepare() {
  local dir=$1 sink=${2:-dudidadu_test}
  rm -rf "$dir"
  mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
  chmod 700 "$dir" "$dir/runtime"
  DUDIDADU_PULSE_DIR=$dir
  DUDIDADU_PULSE_SINK=$sink
  export PULSE_SERVER="unix:$dir/native"
  export DUDIDADU_E2E_SINK="$sink"
}

# Starts the server in DUDIDADU_PULSE_DIR and waits until it answers.
pulse_relaunch() {
  local dir=$DUDIDADU_PULSE_DIR sink=$DUDIDADU_PULSE_SINK deadline
  # A killed server leaves its socket behind.
  rm -f "$dir/native"
  # Run in the foreground of a background job, so that $! is the server itself.
  env HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" \
      PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
    pulseaudio --daemonize=no -n --use-pid-file=no --system=no \
      --exit-idle-time=-1 --realtime=no --high-priority=no \
      --log-target=stderr \
      --load="module-null-sink sink_name=$sink" \
      --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
      </dev/null >>"$dir/pulseaudio.log" 2>&1 &
  DUDIDADU_PULSE_PID=$!
  DUDIDADU_SERVER_PID=$!

  deadline=$((SECONDS + 30))
  until pactl info >/dev/null 2>&1; do
    if ! kill -0 "$DUDIDADU_PULSE_PID" 2>/dev/null; then
      echo "pulseaudio exited at start; its log:" >&2
      cat "$dir/pulseaudio.log" >&2
      DUDIDADU_PULSE_PID=""
      return 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "pulseaudio did not answer within 30 s; its log:" >&2
      cat "$dir/pulseaudio.log" >&2
      pulse_stop
      return 1
    fi
    sleep 0.1
  done
}

pulse_kill() {
  local pid=$DUDIDADU_PULSE_PID
  [ -n "$pid" ] || return 0
  DUDIDADU_PULSE_PID=""
  DUDIDADU_SERVER_PID=""
  service_end "$pid" KILL
}

pulse_stop() {
  local pid=$DUDIDADU_PULSE_PID
  [ -n "$pid" ] || return 0
  DUDIDADU_PULSE_PID=""
  DUDIDADU_SERVER_PID=""
  service_end "$pid" TERM
}
