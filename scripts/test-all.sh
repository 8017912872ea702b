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

# ---- fuzz: the driver's attach-and-configure on arbitrary descriptor bytes ----
# Seeds: the committed corpus plus the built-in models' current descriptors;
# new inputs go to a scratch corpus, so the repository stays untouched. Any
# crash, sanitizer report, leak or hang fails the script (libFuzzer exits
# non-zero) and leaves the input in build/fuzz/artifacts/.
echo "== fuzz: build"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
echo "== fuzz: attach_configure_fuzzer, 60 s"
fuzz_work="$(mktemp -d)"
mkdir -p "$fuzz_work/corpus" build/fuzz/artifacts
cp fuzz/corpus/* "$fuzz_work/corpus/"
build/fuzz/fuzz/fuzz_seed_writer "$fuzz_work/corpus" tests/data/headset-uac1.hex
# libFuzzer's own leak check stays off: the stand-ins keep freed IRPs in a
# bounded quarantine, which makes it run on every input; the fuzzer checks the
# driver's pool blocks, IRPs, MDLs and work items itself after each input.
build/fuzz/fuzz/attach_configure_fuzzer -max_total_time=60 -rss_limit_mb=2048 -timeout=10 -detect_leaks=0 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$fuzz_work/corpus"
rm -rf "$fuzz_work"

# ---- fuzz: request sequences on the private file of a started device ----
# Seeds: the hand-made sequences in fuzz/corpus_requests, copied to a scratch
# corpus as above.
echo "== fuzz: private_request_fuzzer, 30 s"
fuzz_work="$(mktemp -d)"
cp fuzz/corpus_requests/* "$fuzz_work/"
build/fuzz/fuzz/private_request_fuzzer -max_total_time=30 -rss_limit_mb=2048 -timeout=10 -detect_leaks=0 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$fuzz_work"
rm -rf "$fuzz_work"
