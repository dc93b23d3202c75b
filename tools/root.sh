#!/usr/bin/env bash
# Builds (once) and enters a Debian testing root. MIVO_ROOT names which one:
#   main   (default) the x86-64 toolchain: Python 3.14, compilers, peers, tools
#   wheel  where the built wheel is installed and smoke-tested: Python 3.14, NumPy,
#          venv and pytest, and nothing to build with (no compiler, CMake or Highway)
#   arm64  an arm64 runtime (no compilers) run through user-mode emulation; code for it
#          is cross-compiled in main. QEMU_CPU, if set, is passed through (for
#          example max,sve-default-vector-length=32 for 256-bit SVE)
#
# Each root is cached outside the checkout in a directory of its own, keyed by a hash
# of its name, architecture and package list, so a changed list builds a new one and
# leaves the other roots alone (an emulated root takes many minutes to build). It is built in a temporary folder and renamed into
# place only when complete, so an interrupted build never leaves a broken cache.
# Commands run in it under `unshare --mount` + chroot: the bind mounts die with the
# command.
set -euo pipefail

ROOT_NAME=${MIVO_ROOT:-main}
ROOT_SUITE=forky
ROOT_CACHE=${MIVO_ROOT_CACHE:-/var/cache/mivo-root}
ROOT_ARCH=amd64
ROOT_FOREIGN_ARCH=
case "$ROOT_NAME" in
  main)
    ROOT_PACKAGES=(
      python3 python3-dev python3-numpy python3-pip python3-venv
      g++ cmake ninja-build binutils
      python3-pytest python3-hypothesis python3-scikit-build-core
      python3-sklearn libgtest-dev libhwy-dev
      python3-faiss python3-matplotlib python3-tqdm python3-distributed
      dataset-fashion-mnist clang libclang-rt-dev python3.14-dbg
      locales libopenblas-dev swig clang-format
      libc++-dev libc++abi-dev googletest python3-auditwheel patchelf
      g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
      libhwy-dev:arm64 libpython3.14-dev:arm64 libgtest-dev:arm64
      python3.15 libpython3.15-dev libpython3.15-dev:arm64 python3-mypy python3-build
    )
    ROOT_FOREIGN_ARCH=arm64
    ;;
  wheel)
    ROOT_PACKAGES=(python3 python3-numpy python3-venv python3-pytest python3.15)
    ;;
  arm64)
    ROOT_ARCH=arm64
    ROOT_PACKAGES=(python3 python3-numpy python3-pytest python3-hypothesis libhwy1t64
      python3-venv python3.15)
    ;;
  *) echo "unknown root: $ROOT_NAME" >&2; exit 2 ;;
esac

root_key() {
  printf '%s\n' "$ROOT_NAME" "$ROOT_ARCH" "$ROOT_FOREIGN_ARCH" "$ROOT_SUITE" \
    "${ROOT_PACKAGES[@]}" | sha256sum | cut -c1-16
}

root_dir() { echo "$ROOT_CACHE/$ROOT_NAME-$(root_key)"; }

# The mirror is the host's own: the first enabled apt entry whose suites are the
# release's main ones (not -security, -updates or -backports).
host_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      BEGIN { RS=""; FS="\n" }
      {
        uri=""; suites=""; enabled="yes"
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^[ \t]*#/) continue
          if (line ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", line); split(line, u, /[ \t]+/); uri = u[1] }
          else if (line ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", line); suites = line }
          else if (line ~ /^Enabled:[ \t]*no/) enabled = "no"
        }
        if (enabled == "no" || uri == "") next
        n = split(suites, s, /[ \t]+/)
        for (j = 1; j <= n; j++) if (s[j] != "" && s[j] !~ /-/) { print uri; exit }
      }' "$f"
  done | head -n 1 | grep . && return 0
  if [ -f /etc/apt/sources.list ]; then
    awk '$1 == "deb" {
           k = 2; if ($2 ~ /^\[/) { while ($k !~ /\]$/) k++; k++ }
           if ($(k + 1) !~ /-/) { print $k; exit }
         }' /etc/apt/sources.list | grep . && return 0
  fi
  echo "no usable apt mirror found in the host's configuration" >&2
  return 1
}

ensure_host_tool() {
  local tool=$1 pkg=$2
  command -v "$tool" >/dev/null 2>&1 && return 0
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >/dev/null
}

# A foreign root's programs run through qemu's user-mode emulator, registered with
# the kernel's binfmt_misc (with the fix-binary flag, so it works inside chroot too).
ensure_emulation() {
  [ "$ROOT_ARCH" = amd64 ] && return 0
  local fmt
  case "$ROOT_ARCH" in
    arm64) fmt=qemu-aarch64 ;;
    *) echo "no emulator known for $ROOT_ARCH" >&2; return 1 ;;
  esac
  ensure_host_tool update-binfmts binfmt-support
  ensure_host_tool "$fmt-static" qemu-user-static
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  # The package registers its formats only where binfmt_misc was mounted at install.
  update-binfmts --display "$fmt" >/dev/null 2>&1 || update-binfmts --import "$fmt"
  [ -e "/proc/sys/fs/binfmt_misc/$fmt" ] || update-binfmts --enable "$fmt"
}

build_root() {
  local dir tmp mirror apt_opts
  dir=$(root_dir)
  ensure_emulation
  [ -x "$dir/usr/bin/python3" ] && return 0
  ensure_host_tool debootstrap debootstrap
  mirror=$(host_mirror)
  mkdir -p "$ROOT_CACHE"
  tmp=$(mktemp -d "$ROOT_CACHE/.build.XXXXXX")
  trap 'rm -rf --one-file-system "$tmp"' EXIT
  echo "building the toolchain root in $dir (a few minutes, once per machine)" >&2
  debootstrap --variant=minbase --arch="$ROOT_ARCH" "$ROOT_SUITE" "$tmp" "$mirror" \
    /usr/share/debootstrap/scripts/sid >"$tmp.log" 2>&1 || {
      tail -n 30 "$tmp.log" >&2; return 1; }
  printf 'Acquire::Check-Valid-Until "false";\n' >"$tmp/etc/apt/apt.conf.d/99no-valid-until"
  printf 'APT::Install-Recommends "false";\n' >"$tmp/etc/apt/apt.conf.d/99no-recommends"
  cp /etc/resolv.conf "$tmp/etc/resolv.conf" 2>/dev/null || true
  apt_opts=(-o Acquire::Check-Valid-Until=false -y -q)
  # Cross-compiling reads the foreign architecture's headers and libraries through
  # multiarch, side by side with the native ones.
  if [ -n "$ROOT_FOREIGN_ARCH" ]; then
    in_dir "$tmp" / dpkg --add-architecture "$ROOT_FOREIGN_ARCH"
  fi
  in_dir "$tmp" / apt-get "${apt_opts[@]}" update >>"$tmp.log" 2>&1 &&
  in_dir "$tmp" / env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" install \
    "${ROOT_PACKAGES[@]}" >>"$tmp.log" 2>&1 || { tail -n 30 "$tmp.log" >&2; return 1; }
  in_dir "$tmp" / apt-get clean >/dev/null 2>&1 || true
  rm -f "$tmp.log"
  mv -T "$tmp" "$dir"
  trap - EXIT
  # Older builds of this root (other package lists) are dead weight; other roots are
  # kept. Directories of the former layout (a bare key) go too.
  find "$ROOT_CACHE" -mindepth 1 -maxdepth 1 -type d ! -name "$(basename "$dir")" \
    \( -name "$ROOT_NAME-*" -o -regex '.*/[0-9a-f]\{16\}' \) \
    -exec rm -rf --one-file-system {} + 2>/dev/null || true
}

# in_dir ROOT WORKDIR CMD...: run CMD inside ROOT with /proc, /dev, /dev/shm and the
# checkout bound at the same path.
in_dir() {
  local root=$1 workdir=$2; shift 2
  local checkout
  checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  unshare --mount --propagation private -- bash -c '
    set -e
    root=$1 checkout=$2 workdir=$3; shift 3
    mount --rbind /proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mkdir -p "$root/dev/shm" "$root$checkout"
    mount --bind /dev/shm "$root/dev/shm"
    mount --bind "$checkout" "$root$checkout"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 CI="${CI:-}" MIVO_FULL="${MIVO_FULL:-}" ${QEMU_CPU:+"QEMU_CPU=$QEMU_CPU"} \
      /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
  ' _ "$root" "$checkout" "$workdir" "$@"
}

# in_root CMD...: run CMD in the (cached) root, from the checkout.
in_root() {
  build_root
  in_dir "$(root_dir)" "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    build) build_root ;;
    path) root_dir ;;
    mirror) host_mirror ;;
    run) shift; in_root "$@" ;;
    *) echo "usage: tools/root.sh build|path|mirror|run CMD..." >&2; exit 2 ;;
  esac
fi
