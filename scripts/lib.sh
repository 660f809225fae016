# Shared by scripts/run and scripts/test: build the project and start the
# services the host and the tests need. Source it; every start_* registers
# its own stop with zk_cleanup, which the caller runs on exit.

ZK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZK_CLEANUP=()

# The OBS Studio to build and run against: 30 (OBS 30.2, Qt 6.8, FFmpeg 7.1:
# Debian 13) or 32 (OBS 32.2, Qt 6.11, FFmpeg 9: Debian testing). Each has
# its own root where the system is not that Debian (scripts/install-deps;
# ZK_ROOTFS and ZK_ROOTFS32 override where) and its own build folders.
ZK_OBS="${ZK_OBS:-30}"
ZK_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/zerka"
case "$ZK_OBS" in
  30 | 30.2) ZK_OBS=30 ZK_SUITE=trixie ZK_DISTRO="Debian 13" ZK_HOST_ROOT="${ZK_ROOTFS:-$ZK_CACHE/debian13}" ;;
  32 | 32.2) ZK_OBS=32 ZK_SUITE=forky ZK_DISTRO="Debian testing" ZK_HOST_ROOT="${ZK_ROOTFS32:-$ZK_CACHE/debian-testing}" ;;
  *) echo "ZK_OBS=$ZK_OBS: the OBS Studio to use is 30 or 32" >&2; exit 2 ;;
esac
export ZK_OBS
# A clean Debian 13, nothing installed beyond the minimal system, that
# tests/package-check installs the Debian package into.
ZK_CLEAN_ROOT="${ZK_ROOTFS_CLEAN:-$ZK_CACHE/debian13-clean}"

# zk_debootstrap SUITE DIR: a minimal Debian SUITE at DIR, from the mirror
# this machine's apt uses (as root). Built under a temporary name and
# renamed when complete, so an interrupted build is started again, never
# half used.
zk_debootstrap() {
  local suite="$1" root="$2" mirror script=() log
  command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap; }
  mirror="$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | grep -v security | head -1)"
  [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" && $3 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)"
  [ -n "$mirror" ] || { echo "no Debian mirror found in apt's sources" >&2; return 1; }
  mkdir -p "$(dirname "$root")"
  rm -rf "$root.new"
  # An older debootstrap knows testing's name only as "sid"'s script.
  [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=(/usr/share/debootstrap/scripts/sid)
  log="$root.debootstrap.log"
  debootstrap --variant=minbase "$suite" "$root.new" "$mirror" "${script[@]}" >"$log" 2>&1 ||
    { echo "debootstrap of $suite from $mirror failed, see $log" >&2; return 1; }
  # A mirror's copy of testing may be older than its Release file says is
  # valid; the packages are still the ones signed.
  if [ "$suite" != trixie ]; then
    echo 'Acquire::Check-Valid-Until "false";' > "$root.new/etc/apt/apt.conf.d/99zerka"
  fi
  # Package scripts must not start services inside the root (nginx would take port 80).
  printf '#!/bin/sh\nexit 101\n' > "$root.new/usr/sbin/policy-rc.d"
  chmod 755 "$root.new/usr/sbin/policy-rc.d"
  mv "$root.new" "$root"
}

# zk_build_dir NAME: the build folder NAME for OBS 30, NAME-obs32 for OBS 32.
zk_build_dir() {
  if [ "$ZK_OBS" = 30 ]; then echo "$ZK_ROOT/$1"; else echo "$ZK_ROOT/$1-obs$ZK_OBS"; fi
}

# True when the system itself carries the OBS asked for and what Zerka is
# built with: Debian 13 for OBS 30, Debian testing for OBS 32, or OBS Studio
# of that version built with Qt 6, with its development files, FFmpeg >= 7.1
# and Qt >= 6.8 already installed.
zk_system_ready() {
  [ -n "${ZK_IN_ROOT:-}" ] && return 0
  if [ -r /etc/debian_version ] && grep -q '^ID=debian' /etc/os-release 2>/dev/null; then
    case "$(cut -d. -f1 /etc/debian_version)" in
      13) [ "$ZK_OBS" = 30 ] && return 0 ;;
      '' | *[!0-9]*) [ "$ZK_OBS" = 32 ] && return 0 ;; # testing or unstable
    esac
  fi
  command -v obs >/dev/null 2>&1 && ldd "$(command -v obs)" 2>/dev/null | grep -q libQt6Widgets &&
    pkg-config --atleast-version="$ZK_OBS" libobs 2>/dev/null &&
    ! pkg-config --atleast-version="$((ZK_OBS + 1))" libobs 2>/dev/null &&
    pkg-config --atleast-version=61.7 libavformat 2>/dev/null &&
    pkg-config --atleast-version=6.8 Qt6Core 2>/dev/null
}

# Called first by the commands that build or run Zerka: installs what is
# missing and, on a system other than the one that carries the OBS asked
# for, runs the calling script again inside its root (it does not return then).
#   zk_prepare "$0" "$@"
zk_prepare() {
  local script="$1"; shift
  "$ZK_ROOT/scripts/install-deps" >&2
  if ! zk_system_ready; then
    exec "$ZK_ROOT/scripts/in-root" "$(cd "$(dirname "$script")" && pwd)/$(basename "$script")" "$@"
  fi
}

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
  # A display in another root has no socket file here, but its abstract
  # socket (shared by every root on the machine) is listed.
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix 2>/dev/null; do
    n=$((n + 1))
  done
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
