#!/usr/bin/env bash
# The release tool's first spelling, kept for the scripts that call it:
#   scripts/package.sh COMPONENTS_DIR [options]       = scripts/release.py make COMPONENTS_DIR [options]
#   scripts/package.sh --check RELEASE_DIR [options]  = scripts/release.py check RELEASE_DIR [options]
set -euo pipefail
release="$(dirname "$0")/release.py"
if [ "${1:-}" = --check ]; then shift && exec "$release" check "$@"; fi
exec "$release" make "$@"
