#!/usr/bin/env bash
# The main job, end to end: sets up everything, then installs the agent with Orvane.Setup.exe
# under Wine from local update hosts and updates it with Updater.exe (scripts/demo.py).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}

source "$root/scripts/prepare.sh" "$root" "$build"

/usr/bin/python3 "$root/scripts/demo.py" --build-dir "$build" </dev/null
