#!/usr/bin/env bash
# Pictures at the BMP format's limit (not part of CI: needs about 7 GiB of
# memory and 7 GB of disk). A 26750 x 26750 picture frames on a 37836 canvas,
# the largest whose file (4,294,688,742 bytes) fits bfSize's 32 bits: it must
# be framed correctly. A 26752 x 26752 picture (canvas 37838) must be refused
# at once with "image too large err!!", before any picture buffer exists.
# Prints time and peak memory of both runs, and beside the first, the time and
# peak memory of vandrel_floor (bench/floor.cpp: reads the input once, writes a
# file of the output's size) on the same picture, and the ratio of the times.
# The disk is synced before each timed run, so that neither pays for writing
# out what came before it, and the machine then left idle for IDLE seconds
# (default 15): on a virtual machine, memory freed moments earlier comes back
# fast and memory the host has taken back is slow to get again, so a run
# straight after another's gigabytes were freed would measure that instead.
#
#   bench/limit.sh [WORK_DIR]     (default: a new folder under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-$(mktemp -d)}
mkdir -p "$work"
trap 'rm -f "$work"/in_*.bmp "$work"/*_limit.bmp "$work"/*_past.bmp "$work"/*.time' EXIT

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVANDREL_TESTS=OFF -DVANDREL_BENCH=ON >/dev/null
cmake --build build-release -j2 --target vandrel vandrel_floor >/dev/null
vandrel=$PWD/build-release/vandrel
floor=$PWD/build-release/vandrel_floor

python3 - "$work" <<'PY'
import struct, sys
from pathlib import Path

def header(width, height, pixel_bytes):
    return (struct.pack("<2sIHHI", b"BM", (54 + pixel_bytes) % 2**32, 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 3780, 3780, 0, 0))

work = Path(sys.argv[1])
side = 26750
stride = (3 * side + 3) // 4 * 4
# 97 different rows, each a ramp that never repeats within the row's period.
rows = [bytes((x * 7 + k * 29 + (x >> 8)) % 256 for x in range(3 * side)) + bytes(stride - 3 * side)
        for k in range(97)]
with open(work / "in_limit.bmp", "wb") as f:
    f.write(header(side, side, stride * side))
    for y in range(side):
        f.write(rows[y % 97])
(work / "in_past.bmp").write_bytes(header(26752, 26752, 0))  # headers only
PY

cd "$work"
run() { /usr/bin/time -f "%e s wall, %M KiB peak" "$vandrel" "$@"; }
# timed NAME COMMAND...: runs COMMAND after a sync and the idle pause; keeps
# "seconds KiB user system" in NAME.time.
timed() {
  local name=$1
  shift
  sync
  sleep "${IDLE:-15}"
  /usr/bin/time -f "%e %M %U %S" -o "$name.time" "$@"
  awk -v name="$name" '{ printf "%s: %s s wall (%s s user, %s s system), %.2f GiB peak\n",
    name, $1, $3, $4, $2 / 1048576 }' "$name.time"
}
echo "26750 x 26750, canvas 37836:"
timed vandrel "$vandrel" -i in_limit.bmp -o limit
echo "26752 x 26752, canvas 37838:"
out=$(run -i in_past.bmp -o past 2>&1) && { echo "was accepted"; exit 1; }
echo "$out"
[ "$(echo "$out" | head -n 1)" = "image too large err!!" ] || { echo "wrong refusal"; exit 1; }
[ ! -e 37838x37838_past.bmp ] || { echo "left a file"; exit 1; }

python3 - <<'PY'
import struct
side, width = 37836, 26750
stride = 3 * side
dx = dy = (side - width) // 2
in_stride = (3 * width + 3) // 4 * 4
with open("37836x37836_limit.bmp", "rb") as out, open("in_limit.bmp", "rb") as src:
    head = out.read(54)
    fields = struct.unpack("<2sIIIIiiHHIIiiII", head)
    assert fields[0] == b"BM" and fields[1] == 54 + stride * side, fields
    assert fields[5:9] == (side, side, 1, 24), fields
    out.seek(0, 2)
    assert out.tell() == 54 + stride * side

    def framed(x, y_top):  # canvas column x, row y counted from the top
        out.seek(54 + (side - 1 - y_top) * stride + 3 * x)
        return out.read(3)

    def source(x, y_top):  # picture column x, row from the top; stored bottom-up
        src.seek(54 + (width - 1 - y_top) * in_stride + 3 * x)
        return src.read(3)

    grey = b"\x80\x80\x80"
    for x, y in ((0, 0), (side - 1, 0), (0, side - 1), (side - 1, side - 1),
                 (dx - 1, dy), (dx, dy - 1), (dx + width, dy), (dx, dy + width)):
        assert framed(x, y) == grey, (x, y)
    for x, y in ((0, 0), (width - 1, 0), (0, width - 1), (width - 1, width - 1),
                 (width // 2, width // 2), (12345, 6789)):
        assert framed(dx + x, dy + y) == source(x, y), (x, y)
print("37836 x 37836 output: header, size, grey corners and border, picture corners and centre all correct")
PY

rm 37836x37836_limit.bmp  # room for the floor's output
echo "the floor on the same picture:"
timed floor "$floor" in_limit.bmp floor_limit.bmp
rm floor_limit.bmp
paste vandrel.time floor.time | awk '{ printf "vandrel / floor: %.2f in time, %.2f in peak memory\n", $1 / $5, $2 / $6 }'
