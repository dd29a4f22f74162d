#!/usr/bin/env bash
# The 32-bit Windows program against the 64-bit one, both run by wine64 (the
# 32-bit one in its WoW64 mode) on the same pictures on a RAM disk (tmpfs,
# /dev/shm): 6000 x 4000 (156 MB of output) and 0 x 20000, a picture without
# pixels on a 20006 x 20006 canvas (1.2 GB of output), and first 64 x 48,
# whose time is mostly Wine starting each program. Both programs are
# Release builds of this checkout. Each runs once first and the two outputs
# must be byte-identical; then bench/alternate.py times them in turns, one run
# of each per round, and a table gives each one's median time and the median
# of the per-round ratios of the 32-bit time to the 64-bit one.
#
#   bench/windows32.sh [RUNS]   RUNS timed rounds per picture (default 11), at
#                               most LARGE_RUNS (default 5) above 256 MB of output
# Environment: SIZES="64x48 6000x4000 0x20000", the pictures, WIDTHxHEIGHT.
#
# It uses the Wine prefix and Wine's 32-bit Windows libraries that
# tests/run_all.sh sets up in build-tests/wine/ (STAGES=win32 tests/run_all.sh), and
# a kernel that runs 32-bit programs, without which Wine cannot run the 32-bit
# program: where either is missing it says so and exits with status 77.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

runs=${1:-11}
large_runs=$((runs < ${LARGE_RUNS:-5} ? runs : ${LARGE_RUNS:-5}))
sizes=${SIZES:-64x48 6000x4000 0x20000}
py=/usr/bin/python3
wine=$top/cmake/wine64-fixed-layout.sh
# Wine as the Windows test stages run it.
export WINEPREFIX=$top/build-tests/wine/prefix
WINEDLLPATH=/usr/lib/i386-linux-gnu/wine # the system's, or else the one unpacked there
[ -f "$WINEDLLPATH/i386-windows/kernel32.dll" ] ||
  WINEDLLPATH=$top/build-tests/wine/i386/usr/lib/i386-linux-gnu/wine
export WINEDLLPATH
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

skip() { echo "cannot run here: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ -x /usr/lib/wine/wine64 ] || skip "no /usr/lib/wine/wine64 (tests/run_all.sh installs Wine)"
[ -x /usr/bin/time ] || skip "no /usr/bin/time (Debian package time)"
[ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
  skip "no Wine prefix for 32-bit programs in build-tests/wine/: STAGES=win32 tests/run_all.sh makes one where the kernel runs 32-bit programs"

for arch in i686 x86_64; do
  [ -f "build-release-$arch/CMakeCache.txt" ] ||
    cmake -S . -B "build-release-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVANDREL_TESTS=OFF >/dev/null
  cmake --build "build-release-$arch" -j2 --target vandrel >/dev/null
done
exe32=$top/build-release-i686/vandrel.exe
exe64=$top/build-release-x86_64/vandrel.exe
results=$top/build-release-i686/windows32_results.csv
rm -f "$results"

ram=$(mktemp -d /dev/shm/vandrel-windows32.XXXXXX)
trap 'rm -rf "$ram"' EXIT
# The Wine server stays up between runs, so that no run pays for starting it,
# and ends by itself a minute after the last; one that is up already (a test
# run's, which this must not end) serves as well.
setsid /usr/lib/wine/wineserver -p60 </dev/null >/dev/null 2>&1 || true
cd "$ram"
"$wine" "$exe32" -h >/dev/null 2>&1 || skip "Wine cannot run the 32-bit program here"

canvas_side() {  # WIDTH HEIGHT
  awk -v w="$1" -v h="$2" 'BEGIN { s = int(sqrt((w - 1) ^ 2 + (h - 1) ^ 2) + 0.5) + 6; print s + s % 2 }'
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
for size in $sizes; do
  [[ $size =~ ^[0-9]+x[0-9]+$ ]] || fail "picture size '$size' is not WIDTHxHEIGHT"
  side=$(canvas_side "${size%x*}" "${size#*x}")
  "$py" "$top/bench/make_pictures.py" . "$size"
  in=in_$size.bmp out32=${side}x${side}_w32.bmp out64=${side}x${side}_w64.bmp
  "$wine" "$exe32" -i "$in" -o w32 && "$wine" "$exe64" -i "$in" -o w64 || fail "a program failed on $size"
  [ "$(stat -c %s "$out32")" -eq $((54 + side * ((3 * side + 3) / 4 * 4))) ] || fail "$out32 has the wrong size"
  cmp -s "$out32" "$out64" || fail "the two programs' outputs differ on $size"
  rm -f "$out32" "$out64"
  n=$runs
  [ $((3 * side * side)) -gt 256000000 ] && n=$large_runs
  echo "$size, canvas $side:"
  "$py" "$top/bench/alternate.py" --csv "$results" --place ram --picture "$size" --side "$side" \
    --runs "$n" "win32=$out32=$wine $exe32 -i $in -o w32" "win64=$out64=$wine $exe64 -i $in -o w64"
  rm -f "$in"
done

cd "$top"
"$py" - "$results" <<'PY'
import sys
sys.path.insert(0, "bench")
from report import load, ms, size

print("\nRAM disk (/dev/shm), under wine64: medians; 32 / 64 is the median of per-round ratios\n")
print("| picture | output | 32-bit | 64-bit | 32 / 64 | rounds |\n|---|---|---|---|---|---|")
for p in load(sys.argv[1]):
    print(f"| {p.label()} | {size(p.output_bytes)} | {ms(p.median('win32'))} | "
          f"{ms(p.median('win64'))} | {p.ratio('win32', 'win64'):.2f} | {len(p.times['win32'])} |")
PY
