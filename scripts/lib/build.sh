# Configure and build one build directory under build/. Source this file after
# setting DUDIDADU_ROOT (the source tree); output goes to LOG, not the terminal.
#   dd_build DIR LOG CONFIGURE-ARGS... [-- TARGETS...]
# Builds with -k 0, so that one broken file still leaves the rest built and
# tested; returns non-zero when configuring or any target failed.

DUDIDADU_JOBS=${DUDIDADU_JOBS:-$(nproc 2>/dev/null || echo 2)}

dd_build() {
  local dir=$1 log=$2 rc=0
  shift 2
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  mkdir -p "$(dirname "$log")"
  {
    echo "== configure $dir"
    cmake -S "$DUDIDADU_ROOT" -B "$dir" -G Ninja "${args[@]}"
  } >"$log" 2>&1 || return 1
  {
    echo "== build $dir ${targets[*]}"
    ninja -C "$dir" -j "$DUDIDADU_JOBS" -k 0 "${targets[@]}"
  } >>"$log" 2>&1 || rc=1
  return $rc
}

# Shows what went wrong in a build log: the compiler's errors first, then its end.
dd_show_log() {
  local log=$1
  echo "---- errors in $log:"
  grep -E 'error|FAILED|CMake Error' "$log" | head -n 40
  echo "---- end of $log:"
  tail -n 60 "$log"
  echo "----"
}
