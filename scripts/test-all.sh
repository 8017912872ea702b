#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh

jobs="${TROX_JOBS:-$(nproc)}"

echo "== windows: cross build of the shipped binaries"
cmake --preset windows
cmake --build --preset windows -j "$jobs"

# The host tests check the cross-built binaries too; here they must exist.
export TROX_REQUIRE_WINDOWS_BINARIES=1

for preset in host host-asan; do
  echo "== $preset: build"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done
