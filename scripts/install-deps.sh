#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, and only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc make
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  clang libclang-rt-14-dev
  libsndfile1-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -q
$sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
