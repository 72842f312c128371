# A private PipeWire for tests, headless: a session bus of its own, the
# daemon with one null sink, WirePlumber, and the PulseAudio service
# (pipewire-pulse), all with their runtime, home and configuration in one
# folder. Source this file (bash), then
#   pipewire_start DIR [SINK]    start it all, export PULSE_SERVER and friends
#   pipewire_prepare DIR [SINK]  start all but the PulseAudio service
#                                (pipewire_relaunch does)
#   pipewire_kill                kill the PulseAudio service at once (SIGKILL),
#                                as a crash would
#   pipewire_relaunch            start the PulseAudio service (again)
#   pipewire_stop                stop everything started here, by pid
# The null sink lives in the daemon (it outlives the PulseAudio service) and
# is the default; its name is exported as DUDIDADU_E2E_SINK.
# DUDIDADU_SERVER_PID is the PulseAudio service's pid (what kill -STOP
# freezes). A user's own PipeWire is never touched.

. "$(dirname "${BASH_SOURCE[0]}")/service.sh"

DUDIDADU_PIPEWIRE_DIR=""
DUDIDADU_PIPEWIRE_SINK=""
DUDIDADU_PIPEWIRE_PIDS=()  # bus, daemon, session manager
DUDIDADU_SERVER_PID=""

pipewire_start() {
  pipewire_prepare "$@" && pipewire_relaunch
}

# pw_env COMMAND...: becomes the command, with the private folder's
# environment (run as a background job, $! is then the program itself).
pw_env() {
  local dir=$DUDIDADU_PIPEWIRE_DIR
  exec env HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime" \
      XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" \
      DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/runtime/bus" PIPEWIRE_LOG_SYSTEMD=false "$@"
}

# pw_wait WHAT SECONDS COMMAND...: until COMMAND succeeds; says so when not.
pw_wait() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "pipewire: $what did not come up; the logs:" >&2
      tail -n 20 "$DUDIDADU_PIPEWIRE_DIR"/*.log >&2
      return 1
    fi
    sleep 0.1
  done
}

pipewire_prepare() {
  local dir=$1 sink=${2:-dudidadu_test}
  rm -rf "$dir"
  mkdir -p "$dir/runtime" "$dir/home" "$dir/state" "$dir/config/pipewire/pipewire.conf.d"
  chmod 700 "$dir" "$dir/runtime"
  DUDIDADU_PIPEWIRE_DIR=$dir
  DUDIDADU_PIPEWIRE_SINK=$sink
  DUDIDADU_PIPEWIRE_PIDS=()
  cat >"$dir/config/pipewire/pipewire.conf.d/dudidadu-sink.conf" <<EOF
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "$sink"
      node.description = "$sink"
      media.class = Audio/Sink
      audio.position = [ FL FR ]
      priority.session = 5000
      priority.driver = 5000
      monitor.channel-volumes = true
    }
  }
]
EOF
  export PULSE_SERVER="unix:$dir/runtime/pulse/native"
  export DUDIDADU_E2E_SINK="$sink"

  # Each in the foreground of a background job, so that $! is the program.
  pw_env dbus-daemon --session --address="unix:path=$dir/runtime/bus" --nofork --nopidfile \
    </dev/null >>"$dir/dbus.log" 2>&1 &
  DUDIDADU_PIPEWIRE_PIDS+=($!)
  pw_wait "the session bus" 30 test -S "$dir/runtime/bus" || { pipewire_stop; return 1; }
  pw_env pipewire </dev/null >>"$dir/pipewire.log" 2>&1 &
  DUDIDADU_PIPEWIRE_PIDS+=($!)
  pw_wait "pipewire" 30 test -S "$dir/runtime/pipewire-0" || { pipewire_stop; return 1; }
  pw_env wireplumber </dev/null >>"$dir/wireplumber.log" 2>&1 &
  DUDIDADU_PIPEWIRE_PIDS+=($!)
}

# Starts the PulseAudio service and waits until it answers with the sink as
# its default.
pipewire_relaunch() {
  local dir=$DUDIDADU_PIPEWIRE_DIR sink=$DUDIDADU_PIPEWIRE_SINK
  pw_env pipewire-pulse </dev/null >>"$dir/pipewire-pulse.log" 2>&1 &
  DUDIDADU_SERVER_PID=$!
  pw_wait "pipewire-pulse" 30 pactl info || { pipewire_stop; return 1; }
  pw_wait "the null sink" 30 sh -c "pactl list short sinks | awk '{print \$2}' | grep -qx '$sink'" ||
    { pipewire_stop; return 1; }
  pactl set-default-sink "$sink" >/dev/null 2>&1
  return 0
}

pipewire_kill() {
  local pid=$DUDIDADU_SERVER_PID
  [ -n "$pid" ] || return 0
  DUDIDADU_SERVER_PID=""
  service_end "$pid" KILL
}

pipewire_stop() {
  local i
  if [ -n "$DUDIDADU_SERVER_PID" ]; then
    kill -CONT "$DUDIDADU_SERVER_PID" 2>/dev/null
    service_end "$DUDIDADU_SERVER_PID" TERM
    DUDIDADU_SERVER_PID=""
  fi
  # The session manager first, the bus last.
  for ((i = ${#DUDIDADU_PIPEWIRE_PIDS[@]} - 1; i >= 0; i--)); do
    service_end "${DUDIDADU_PIPEWIRE_PIDS[i]}" TERM
  done
  DUDIDADU_PIPEWIRE_PIDS=()
  return 0
}
