#!/usr/bin/env bash
# Builds and runs every test, installing what is missing first:
#   1. the fuzzer, for FUZZ_SECONDS (default 60) from the seed corpus;
#   2. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the whole suite as a 32-bit Linux program, under qemu-i386-static;
#   4. the whole suite as a 64-bit Windows program, under wine;
#   5. the 32-bit Windows program and its .zip, installation and the .deb;
#   6. the whole suite in the normal build.
# CROSS=0 leaves out steps 3 to 5.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-60}
cross=${CROSS:-1}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[ -n "$(find /usr/lib/llvm-* -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
  need+=(libclang-rt-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
/usr/bin/python3 -c 'import PIL' 2>/dev/null || need+=(python3-pil)
command -v convert >/dev/null || need+=(imagemagick)
command -v mandoc >/dev/null || need+=(mandoc)
if [ "$cross" = 1 ]; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
  [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
  command -v qemu-i386-static >/dev/null || need+=(qemu-user-static)
  [ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ] || need+=(g++-multilib)
  [ -d /usr/src/googletest ] || need+=(googletest)
fi
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Builds quietly; on failure shows why and stops.
build() {
  cmake --build "$1" -j2 "${@:2}" >/dev/null 2>&1 || { cmake --build "$1" "${@:2}"; exit 1; }
}

echo "== fuzzing for ${fuzz_seconds} s"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVANDREL_FUZZ=ON -DVANDREL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build build-fuzz --target vandrel_fuzz
found=$(mktemp -d)
log=$(mktemp)
install_dir=$(mktemp -d)
trap 'rm -rf "$found" "$log" "$install_dir"' EXIT
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
build build-sanitize
ctest --test-dir build-sanitize --output-on-failure

if [ "$cross" = 1 ]; then
  echo "== tests as a 32-bit Linux program, under qemu-i386-static"
  cmake -S . -B build-linux32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake >/dev/null
  build build-linux32
  ctest --test-dir build-linux32 --output-on-failure

  echo "== tests as a 64-bit Windows program, under wine"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
  build build-win64
  ctest --test-dir build-win64 --output-on-failure

  echo "== the 32-bit Windows program, installation and packages"
  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DVANDREL_TESTS=OFF >/dev/null
  build build-win32
  (cd build-win32 && cpack >/dev/null && ls vandrel-*-windows-i686.zip)
  (cd build-win64 && cpack >/dev/null && ls vandrel-*-windows-x86_64.zip)
fi

echo "== tests"
cmake -S . -B build >/dev/null && build build
if [ "$cross" = 1 ]; then
  cmake --install build --prefix "$install_dir" >/dev/null
  test -f "$install_dir/share/man/man1/vandrel.1"
  "$install_dir/bin/vandrel" 2>&1 | head -n 1
  (cd build && cpack >/dev/null && ls vandrel_*.deb)
fi
ctest --test-dir build --output-on-failure
