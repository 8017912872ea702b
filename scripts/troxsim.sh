#!/usr/bin/env bash
# Installs what is missing, builds the host preset and runs the simulator.
# Arguments are passed to troxsim; without any it runs its main job on the default device.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target troxsim
exec build/host/tools/troxsim/troxsim "$@"
