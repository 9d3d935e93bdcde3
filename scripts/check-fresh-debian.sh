#!/usr/bin/env bash
# Checks the README's two commands on a fresh Debian root made with
# debootstrap: nothing but the system Python (no pip, no compiler, no
# headers), so whatever the commands need they must install themselves.
# Runs them as root on a clean copy of the committed tree, then checks that
# the system Python was left without tarnix.
#
#   check-fresh-debian.sh [SUITE]    SUITE defaults to this machine's release
#
# Needs root. Slow (a Debian root, then a full build and test run): not part
# of CI. The mirror is the one in this machine's apt configuration; pip's
# settings (PIP_* variables, its CA file) are passed through as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# shellcheck source=scripts/debian-root.sh
source scripts/debian-root.sh
suite=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
[ "$(id -u)" = 0 ] || { echo "check-fresh-debian: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
mirror=$(debian_mirror)
target="$repo/build/fresh-debian-$suite"
mkdir -p "$repo/build"

command -v debootstrap >/dev/null 2>&1 || apt_install --recommends debootstrap

trap 'root_umount "$target"' EXIT

root_umount "$target"
# Never delete through a mount that is still there (/dev is the host's).
if grep -q " $target/" /proc/mounts; then
  echo "check-fresh-debian: $target still has mounts; unmount them first" >&2
  exit 1
fi
rm -rf "$target"
echo "== debootstrap $suite from $mirror into $target"
debootstrap --variant=minbase --include=python3 "$suite" "$target" "$mirror" >"$target.log" 2>&1 ||
  { tail -n 20 "$target.log" >&2; exit 1; }

# Mounted here rather than by root_mount, which writes an /etc/hosts where
# there is none: the fresh root stays as debootstrap made it.
mount -t proc proc "$target/proc"
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"
cp /etc/resolv.conf "$target/etc/resolv.conf"

mkdir -p "$target/root/tarnix"
git archive HEAD | tar -x -C "$target/root/tarnix"

envs=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM=xterm)
mapfile -t -O ${#envs[@]} envs < <(root_pip_env "$target")
in_fresh() { chroot "$target" /usr/bin/env -i "${envs[@]}" bash -c "$1"; }

echo "== system Python: $(in_fresh 'python3 --version'); pip: $(in_fresh 'python3 -m pip --version 2>/dev/null || echo none')"
status=0
echo "== bash scripts/demo.sh"
if in_fresh 'cd /root/tarnix && bash scripts/demo.sh -n 200 -c 4'; then echo "demo: passed"; else echo "demo: FAILED"; status=1; fi
echo "== bash scripts/test.sh"
if in_fresh 'cd /root/tarnix && bash scripts/test.sh'; then echo "tests: passed"; else echo "tests: FAILED"; status=1; fi
echo "== the system Python is unchanged"
if in_fresh 'cd / && ! python3 -c "import tarnix" 2>/dev/null && ! python3 -m pip --version >/dev/null 2>&1'; then
  echo "system Python: no tarnix, no pip"
else
  echo "system Python: CHANGED"
  status=1
fi
exit $status
