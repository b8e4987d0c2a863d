#!/usr/bin/env bash
# The main job: installs what is missing, builds, then runs the updater end to end against
# the local reference server on a sample client installation (scripts/main_job.py).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
. "$ROOT/scripts/session.sh"
/usr/bin/python3 "$ROOT/scripts/main_job.py" "$@"
