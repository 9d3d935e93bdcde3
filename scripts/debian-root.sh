#!/usr/bin/env bash
# Debian roots made with debootstrap for the release build and its tests,
# cached under build/roots/ (git-ignored). Sourced by the release scripts;
# run on its own it makes (or reuses) one root:
#
#   debian-root.sh NAME SUITE ARCH [PACKAGE...]
#
# A root of another architecture runs through qemu-user-static and
# binfmt_misc. A root is reused while it was finished with the same suite,
# architecture and package list; otherwise it is made anew. Needs root.

# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
roots_dir=${TARNIX_ROOTS:-$tarnix_root/build/roots}

host_tools() {
  local need=()
  command -v debootstrap >/dev/null 2>&1 || need+=(debootstrap)
  [ -e /usr/bin/qemu-aarch64-static ] || need+=(qemu-user-static binfmt-support)
  # binfmt-support registers qemu as it starts.
  apt_install --start-services "${need[@]}"
  # Foreign roots need the kernel to hand their binaries to qemu.
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 ||
      systemd-binfmt /usr/lib/binfmt.d/qemu-aarch64.conf 2>/dev/null || true
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
    echo "debian-root: binfmt_misc has no qemu-aarch64 entry; arm64 roots will not run" >&2
}

root_mount() {
  local target=$1
  mountpoint -q "$target/proc" || mount -t proc proc "$target/proc"
  mountpoint -q "$target/dev" || mount --bind /dev "$target/dev"
  mountpoint -q "$target/dev/pts" || mount --bind /dev/pts "$target/dev/pts"
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  # The tests name loopback only as localhost: never a question to DNS.
  [ -e "$target/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$target/etc/hosts"
}

root_umount() {
  local target=$1 m
  for m in dev/pts dev proc; do
    mountpoint -q "$target/$m" && umount -l "$target/$m"
  done
  return 0
}

# root_pip_env ROOT: pip's settings (its CA file, copied in, its index and
# the proxies), one VAR=value a line, so that PyPI works inside as it does here.
root_pip_env() {
  local target=$1 var
  if [ -n "${PIP_CERT:-}" ] && [ -f "$PIP_CERT" ]; then
    cp "$PIP_CERT" "$target/root/pip-ca.pem"
    echo PIP_CERT=/root/pip-ca.pem
  fi
  for var in PIP_INDEX_URL PIP_DEFAULT_TIMEOUT HTTP_PROXY HTTPS_PROXY http_proxy https_proxy NO_PROXY no_proxy; do
    if [ -n "${!var:-}" ]; then echo "$var=${!var}"; fi
  done
}

# Runs a bash command inside a root, with a clean environment plus pip's settings.
in_root() {
  local target=$1
  shift
  local envs=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
    DEBIAN_FRONTEND=noninteractive)
  local pip_envs
  mapfile -t pip_envs < <(root_pip_env "$target")
  envs+=("${pip_envs[@]}")
  root_mount "$target"
  chroot "$target" /usr/bin/env -i "${envs[@]}" bash -c "$*"
}

bootstrap_base() {
  local target=$1 suite=$2 arch=$3 mirror=$4 log=$5
  # Never delete through a mount that is still there (/dev is the host's).
  if grep -q " $target/" /proc/mounts; then
    echo "debian-root: $target still has mounts; unmount them first" >&2
    return 1
  fi
  rm -rf "$target"
  echo "== debootstrap $suite ($arch) into $target" >&2
  local opts=(--variant=minbase --arch="$arch")
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    debootstrap "${opts[@]}" "$suite" "$target" "$mirror" >"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; return 1; }
  else
    debootstrap "${opts[@]}" --foreign "$suite" "$target" "$mirror" >"$log" 2>&1 &&
      cp /usr/bin/qemu-aarch64-static "$target/usr/bin/" &&
      chroot "$target" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; return 1; }
  fi
  # Services never start inside (nginx is started by the tests themselves).
  printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
  chmod 755 "$target/usr/sbin/policy-rc.d"
  # A mirror that is a dated snapshot serves Release files past their
  # Valid-Until (unstable's are valid for a week).
  echo 'Acquire::Check-Valid-Until "false";' >"$target/etc/apt/apt.conf.d/99tarnix-snapshot"
  echo "$suite $arch" >"$target/.tarnix-base"
}

# make_root NAME SUITE ARCH [PACKAGE...]: prints the root's path.
make_root() {
  local name=$1 suite=$2 arch=$3
  shift 3
  local target="$roots_dir/$name"
  local stamp="$suite $arch $*"
  if [ -f "$target/.tarnix-root" ] && [ "$(cat "$target/.tarnix-root")" = "$stamp" ]; then
    echo "$target"
    return 0
  fi
  host_tools
  local mirror
  mirror=$(debian_mirror) || return 1
  mkdir -p "$roots_dir"
  root_umount "$target"
  local log="$roots_dir/$name.log"
  # The base system is kept when only the package list changed (or failed).
  if [ ! -f "$target/.tarnix-base" ] || [ "$(cat "$target/.tarnix-base")" != "$suite $arch" ]; then
    bootstrap_base "$target" "$suite" "$arch" "$mirror" "$log" || return 1
  fi
  # apt inside resolves the packages' dependencies better than debootstrap.
  if [ $# -gt 0 ]; then
    in_root "$target" "apt-get update -qq && apt-get install -y -qq --no-install-recommends $*" >>"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; root_umount "$target"; return 1; }
    in_root "$target" "apt-get clean"
  fi
  root_umount "$target"
  echo "$stamp" >"$target/.tarnix-root"
  echo "$target"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  [ $# -ge 3 ] || { echo "usage: $0 NAME SUITE ARCH [PACKAGE...]" >&2; exit 2; }
  make_root "$@"
fi
