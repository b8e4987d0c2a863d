#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# GoogleTest binaries under Wine (ctest), then the end-to-end scenarios (pytest).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
. "$ROOT/scripts/session.sh"
BUILD=${NVPC_BUILD_DIR:-$ROOT/build/cmake}

status=0
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" || status=1

if ls "$ROOT"/tests/e2e/test_*.py >/dev/null 2>&1; then
  ( cd "$ROOT" && NVPC_BUILD_DIR="$BUILD" /usr/bin/python3 -m pytest -q tests/e2e ) || status=1
fi
exit $status
