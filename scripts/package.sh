#!/usr/bin/env bash
# The release tool's first spelling, kept for the scripts that call it (and,
# as it always did, installing what is missing before it makes a release):
#   scripts/package.sh COMPONENTS_DIR [options]       = scripts/release.py make COMPONENTS_DIR [options]
#   scripts/package.sh --check RELEASE_DIR [options]  = scripts/release.py check RELEASE_DIR [options]
set -euo pipefail
release="$(dirname "$0")/release.py"
if [ "${1:-}" = --check ]; then shift && exec "$release" check "$@"; fi
"$(dirname "$0")/install-deps.sh"
exec "$release" make "$@"
