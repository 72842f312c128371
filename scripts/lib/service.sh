# What the private services of the tests (pulse.sh, pipewire.sh) share.
#   service_end PID SIGNAL   sends SIGNAL to one of ours, waits up to 5 s for
#                            its end (then SIGKILL) and collects it

service_end() {
  local pid=$1 i
  kill "-$2" "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
