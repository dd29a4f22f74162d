#!/usr/bin/env bash
# Builds and runs every test, installing what is missing first:
#   1. the fuzzer, for FUZZ_SECONDS (default 60) from the seed corpus;
#   2. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the whole suite in the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-60}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[ -n "$(find /usr/lib/llvm-* -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
  need+=(libclang-rt-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
/usr/bin/python3 -c 'import PIL' 2>/dev/null || need+=(python3-pil)
command -v convert >/dev/null || need+=(imagemagick)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

echo "== fuzzing for ${fuzz_seconds} s"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVANDREL_FUZZ=ON -DVANDREL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target vandrel_fuzz >/dev/null
found=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$found" "$log"' EXIT
# New inputs go to the first folder; the seeds in fuzz/corpus stay as they are.
if ! build-fuzz/vandrel_fuzz -max_total_time="$fuzz_seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$found" fuzz/corpus >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "the fuzzer found a failing input; it is in build-fuzz/"
  exit 1
fi
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DVANDREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-sanitize -j2 >/dev/null
ctest --test-dir build-sanitize --output-on-failure

echo "== tests"
cmake -S . -B build >/dev/null && cmake --build build -j2 >/dev/null
ctest --test-dir build --output-on-failure
