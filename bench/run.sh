#!/usr/bin/env bash
# Times vandrel against the least work any framing tool must do (vandrel_floor)
# and against Pillow and ImageMagick doing the same framing, on a 720 x 480 and
# a 6000 x 4000 picture, with input and output first on the working
# directory's disk, then on a RAM disk (tmpfs, /dev/shm). Checks first that
# every tool's output has vandrel's pixels, then times the tools in turns
# (bench/alternate.py) and prints a table per size and place: median wall
# time, peak memory, ratios to the floor and to vandrel.
# Last, the phases alone from the Google Benchmark, with their ratio to a
# memcpy of the same bytes.
#
#   bench/run.sh [RUNS]      (RUNS timed runs per command, default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
py=/usr/bin/python3  # Debian's Python, which has Debian's Pillow

need=()
for tool in cmake g++ identify; do command -v "$tool" >/dev/null || need+=("$tool"); done
"$py" -c 'import PIL' 2>/dev/null || need+=(python3-pil)
[ -x /usr/bin/time ] || need+=(time)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
  packages=$(printf '%s\n' "${need[@]}" | sed 's/^identify$/imagemagick/' | sort -u)
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq $packages >/dev/null
fi

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVANDREL_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target vandrel vandrel_floor vandrel_phases_bench >/dev/null
bin=$PWD/build-release
bench=$PWD/bench

disk=$(mktemp -d "$PWD/build-release/bench.XXXXXX")
ram=$(mktemp -d /dev/shm/vandrel-bench.XXXXXX)
trap 'rm -rf "$disk" "$ram"' EXIT
"$py" "$bench/make_pictures.py" "$disk"
cp "$disk"/in_*.bmp "$ram"

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
for place in disk ram; do
  cd "${!place}"
  for size in 720x480 6000x4000; do
    in=in_$size.bmp
    "$bin/vandrel" -i "$in" -o "v_$size"
    framed=$(ls ./*x*_v_"$size".bmp)
    side=${framed#./}
    side=${side%%x*}
    commands=(
      "$bin/vandrel -i $in -o v_$size"
      "$bin/vandrel_floor $in floor_$size.bmp"
      "$py $bench/frame_pillow.py $in pillow_$size.bmp"
      "convert $in -background rgb(128,128,128) -gravity center -extent ${side}x${side} BMP3:magick_$size.bmp"
    )
    for command in "${commands[@]}"; do $command; done
    "$py" "$bench/same_pixels.py" "$framed" "pillow_$size.bmp" "magick_$size.bmp"

    "$py" "$bench/alternate.py" "$size on $place" "$runs" \
      "vandrel=${commands[0]}" "floor=${commands[1]}" "Pillow=${commands[2]}" \
      "ImageMagick=${commands[3]}"
  done
done

echo -e "\nphases alone, 6000 x 4000, beside memcpy of the same bytes (median of 5):"
"$bin/vandrel_phases_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  2>/dev/null | awk '/_median/ { sub(/_median/, "", $1); t[$1] = $2; order[++n] = $1 }
    END {
      yardstick["unpack"] = "memcpy_picture"; yardstick["flip"] = "memcpy_picture"
      yardstick["compose"] = "memcpy_canvas"; yardstick["pack"] = "memcpy_canvas_warm"
      print "| phase | median | memcpy of its bytes | ratio |"; print "|---|---|---|---|"
      for (i = 1; i <= n; i++) {
        p = order[i]; if (!(p in yardstick)) continue
        printf "| %s | %.1f ms | %.1f ms | %.2f |\n", p, t[p], t[yardstick[p]], t[p] / t[yardstick[p]]
      }
    }'
