#!/usr/bin/env bash
# Prints the Debian archive this machine's apt is configured with (the one
# that serves the release itself, not -security or -updates), so that scripts
# fetch from the user's own mirror rather than one written into the repository.
set -euo pipefail
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
targets=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 2>/dev/null | sort -u)
site=""
[ -n "$codename" ] && site=$(awk -v c="$codename" '$2 == c { print $1; exit }' <<<"$targets")
# A machine that names its suite (stable, testing) rather than its codename.
[ -n "$site" ] || site=$(awk '$2 !~ /-/ && $1 !~ /security/ { print $1; exit }' <<<"$targets")
if [ -z "$site" ]; then
  echo "no Debian archive found in the apt configuration (apt-get indextargets)" >&2
  exit 1
fi
echo "${site%/}"
