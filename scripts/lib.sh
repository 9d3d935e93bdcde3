# Shared by the scripts (sourced, never run): Debian packages, virtual
# environments, Debian source packages and the test trust store.
#
# Nothing here edits the machine's apt configuration: source and foreign
# packages come through a private apt directory of the script's own.

tarnix_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# as_root CMD...: runs CMD as root, through sudo when not root already.
as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "tarnix: installing missing Debian packages needs root or sudo; as root, run:" >&2
    echo "  $*" >&2
    return 1
  fi
}

# apt_retry CMD...: apt may be held for a moment by another apt-get on the machine.
apt_retry() {
  local i
  for i in 1 2 3 4 5 6; do
    DEBIAN_FRONTEND=noninteractive "$@" && return 0
    [ "$i" = 6 ] || sleep 10
  done
  return 1
}

# apt_missing PKG...: prints the packages that are not installed.
apt_missing() {
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || echo "$pkg"
  done
}

# apt_install [--recommends] [--start-services] PKG...: installs the
# packages (nothing without any), refreshing the package lists once per
# script. Unless told otherwise no service starts on install (nginx is for the
# tests, which start their own): Debian asks policy-rc.d, so a refusing one
# stands in for the install where the machine has none.
_apt_updated=0
apt_install() {
  local recommends=(--no-install-recommends) services=0
  while [ $# -gt 0 ]; do
    case $1 in
      --recommends) recommends=() ;;
      --start-services) services=1 ;;
      *) break ;;
    esac
    shift
  done
  [ $# -gt 0 ] || return 0
  # Without root or sudo, say what to run rather than retry.
  [ "$(id -u)" = 0 ] || command -v sudo >/dev/null 2>&1 || { as_root apt-get install "$@"; return 1; }
  if [ "$_apt_updated" = 0 ]; then
    apt_retry as_root apt-get update -qq || return 1
    _apt_updated=1
  fi
  local policy=/usr/sbin/policy-rc.d added=0 rc=0
  if [ "$services" = 0 ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
    as_root chmod 755 "$policy"
    added=1
  fi
  # Waits for a lock another apt-get holds, but a package that does not exist fails at once.
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 install -y -qq \
    "${recommends[@]}" "$@" >/dev/null || rc=$?
  [ "$added" = 0 ] || as_root rm -f "$policy"
  return "$rc"
}

# venv_make DIR [PYTHON]: makes the virtual environment DIR unless it has one.
venv_make() {
  local dir=$1 py=${2:-python3}
  [ -x "$dir/bin/python" ] && return 0
  "$py" -m venv "$dir" || {
    echo "tarnix: '$py -m venv' failed; on Debian: apt-get install python3-venv" >&2
    return 1
  }
}

# venv_fresh DIR [PYTHON]: a new, empty virtual environment in DIR.
venv_fresh() {
  rm -rf "$1"
  venv_make "$@"
}

# venv_pip DIR ARG...: pip install, quietly, into the virtual environment DIR.
venv_pip() {
  local dir=$1
  shift
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# debian_mirror: the Debian archive this machine's apt is configured with (the
# one that serves the release itself, not -security or -updates), so that
# scripts fetch from the user's own mirror rather than one written here.
debian_mirror() {
  local codename targets site=""
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  targets=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 2>/dev/null | sort -u)
  [ -n "$codename" ] && site=$(awk -v c="$codename" '$2 == c { print $1; exit }' <<<"$targets")
  # A machine that names its suite (stable, testing) rather than its codename.
  [ -n "$site" ] || site=$(awk '$2 !~ /-/ && $1 !~ /security/ { print $1; exit }' <<<"$targets")
  if [ -z "$site" ]; then
    echo "no Debian archive found in the apt configuration (apt-get indextargets)" >&2
    return 1
  fi
  echo "${site%/}"
}

# private_apt DIR SUITE [ARCH...]: an apt configuration of its own in DIR,
# with SUITE's sources (and its binary packages for each ARCH) from the
# machine's mirror; apt_private_opts then holds the options that make
# apt-get and apt-cache use it.
apt_private_opts=()
private_apt() {
  local dir=$1 suite=$2
  shift 2
  local mirror key=/usr/share/keyrings/debian-archive-keyring.gpg
  mirror=$(debian_mirror) || return 1
  rm -rf "$dir"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d"
  echo "deb-src [signed-by=$key] $mirror $suite main" >"$dir/sources.list"
  apt_private_opts=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/sources.list.d"
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" -o APT::Sandbox::User="$(id -un)")
  if [ $# -gt 0 ]; then
    local arch archs
    archs=$(IFS=,; echo "$*")
    echo "deb [arch=$archs signed-by=$key] $mirror $suite main" >>"$dir/sources.list"
    for arch in "$@"; do apt_private_opts+=(-o APT::Architectures::="$arch"); done
  fi
  apt_retry apt-get "${apt_private_opts[@]}" -q update >/dev/null
}

# source_versions NAME VERSION_REGEX: the versions of source package NAME in
# the private_apt index that match VERSION_REGEX, newest first.
source_versions() {
  apt-cache "${apt_private_opts[@]}" showsrc "$1" | sed -n 's/^Version: //p' | grep -E "$2" | sort -urV
}

# source_version NAME VERSION DEST: unpacks that version of source package
# NAME into DEST, through private_apt.
source_version() {
  local name=$1 version=$2 dest=$3
  command -v dpkg-source >/dev/null 2>&1 || apt_install dpkg-dev || return 1
  rm -rf "$dest" && mkdir -p "$dest"
  (cd "$dest" && apt-get "${apt_private_opts[@]}" -q source "$name=$version" >/dev/null 2>&1)
}

# source_package NAME VERSION_REGEX DEST: unpacks into DEST the newest version
# of NAME matching VERSION_REGEX that downloads (the index may name a version
# the mirror no longer holds), and prints it.
source_package() {
  local name=$1 dest=$3 versions v
  versions=$(source_versions "$name" "$2")
  [ -n "$versions" ] || { echo "no $name source package matching '$2'" >&2; return 1; }
  for v in $versions; do
    if source_version "$name" "$v" "$dest"; then
      echo "$v"
      return 0
    fi
    echo "$name $v not downloadable, trying an older one" >&2
  done
  rm -rf "$dest"
  echo "no $name source package could be fetched" >&2
  return 1
}

# test_trust_store: the file a test build's engine reads as the system trust
# store before the system's own locations; the tests write it and learn its
# path from TARNIX_TEST_TRUST_STORE. Sets test_store.
test_trust_store() {
  test_store="$tarnix_root/build/test-trust-store/ca.pem"
  mkdir -p "$(dirname "$test_store")"
  export TARNIX_TEST_TRUST_STORE="$test_store"
}
