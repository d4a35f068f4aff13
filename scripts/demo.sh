#!/usr/bin/env bash
# Sets up, builds and runs the main job: the command-line client's demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
"$root/build/tools/kvnet" demo
