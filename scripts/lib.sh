# Shared by scripts/run and scripts/test: build the project and start the
# services the host and the tests need. Source it; every start_* registers
# its own stop with zk_cleanup, which the caller runs on exit.

ZK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZK_CLEANUP=()

zk_cleanup() {
  local i
  for ((i = ${#ZK_CLEANUP[@]} - 1; i >= 0; i--)); do eval "${ZK_CLEANUP[$i]}" || true; done
  ZK_CLEANUP=()
}

# zk_build DIR [-DOPTION=...] [--target T...]
zk_build() {
  local dir="$1"; shift
  local options=() targets=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --target) shift; targets=("$@"); break ;;
      *) options+=("$1"); shift ;;
    esac
  done
  cmake -S "$ZK_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" --parallel 2 --target "${targets[@]}"
  else
    cmake --build "$dir" --parallel 2
  fi
}

# A private runtime folder, as a desktop session would give (Qt and
# PulseAudio want one).
zk_runtime_dir() {
  export XDG_RUNTIME_DIR="$(mktemp -d /tmp/zerka-runtime.XXXXXX)"
  chmod 700 "$XDG_RUNTIME_DIR"
  ZK_CLEANUP+=("rm -rf '$XDG_RUNTIME_DIR'")
}

# Uses the display there is; without one, starts Xvfb with two side-by-side
# 1920x1080 monitors (A, the primary, and B) on the first free display number.
zk_start_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    return 0
  fi
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 3840x1080x24 +extension RANDR -nolisten tcp -noreset >/dev/null 2>&1 &
  local pid=$!
  ZK_CLEANUP+=("kill $pid 2>/dev/null; wait $pid 2>/dev/null")
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start on $DISPLAY" >&2; return 1; }
  xrandr --setmonitor A 1920/508x1080/286+0+0 screen >/dev/null
  xrandr --setmonitor B 1920/508x1080/286+1920+0 none >/dev/null
}
