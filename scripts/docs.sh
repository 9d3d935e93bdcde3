#!/usr/bin/env bash
# Builds the reference under docs/ into build/docs with MkDocs in strict mode,
# so that a broken link or anchor fails. MkDocs goes into a virtual
# environment of its own (build/docs-venv), never the user's Python.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
venv=build/docs-venv
venv_make "$venv"
# Pinned: a new MkDocs may warn about what this one accepts.
venv_pip "$venv" "mkdocs==1.6.1"
"$venv/bin/mkdocs" build --strict --clean --config-file mkdocs.yml --site-dir build/docs "$@"
echo "docs: build/docs/index.html"
