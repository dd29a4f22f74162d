#!/usr/bin/env bash
# Times vandrel across picture sizes and shapes against the least work any
# framing tool must do (vandrel_floor: read the input once, write a file of the
# output's size), and against Pillow doing the same framing (up to
# PILLOW_MAX_MB of output) and ImageMagick (at 720 x 480 and 6000 x 4000),
# with input and output first on the working directory's disk
# (build-release/), then on a RAM disk (tmpfs, /dev/shm).
#
# For each picture and place, each tool runs once first, and its output is
# checked: vandrel's file has the expected name and size, the floor's the same
# size, a BEFORE binary's the same bytes, Pillow's and ImageMagick's the same
# pixels (at 720 x 480 and 6000 x 4000). Then bench/alternate.py times the
# tools in turns and appends the raw results to build-release/bench_results.csv;
# bench/report.py prints a table per place (also kept in
# build-release/bench_results.md) and bench/plot.py draws time per output MB
# against output size. Last, the phases alone from the Google Benchmark, with
# their ratio to a memcpy of the same bytes.
#
#   bench/run.sh [RUNS]     RUNS timed rounds per picture (default 15), at most
#                           LARGE_RUNS (default 5) above 256 MB of output
# Environment:
#   SIZES="720x480 0x26755"  pictures to time, WIDTHxHEIGHT; "quick" for a few
#                           small ones that check the script in seconds;
#                           default: the full set below (about 12 GB of output
#                           per run of each tool)
#   BEFORE=/path/to/vandrel another build, timed in the same rounds as "before";
#                           its output must be byte-identical to vandrel's
#   PILLOW_MAX_MB=200       largest output Pillow is timed on
#   PHASES=0|1              the phase benchmark (default: only with the full set)
# The plot goes to doc/bench_time_per_mb.png for the full set, otherwise to
# build-release/bench_time_per_mb.png.
set -euo pipefail
before=${BEFORE:+$(realpath "$BEFORE")}  # before leaving the caller's folder
cd "$(dirname "$0")/.."

FULL_SET="64x48 720x480 1920x1080 6000x4000 8982x5988 9000x6000 9148x6099 9315x6210
  12000x8000 18000x12000 20000x300 300x20000 26000x1 1x26000 0x0 0x26755"
QUICK_SET="64x48 720x480 1920x1080 2000x30 30x2000 2000x1 1x2000 0x0 0x2000"
CHECKED_SIZES=" 720x480 6000x4000 "  # where Pillow's and ImageMagick's pixels are compared

runs=${1:-15}
large_runs=$((runs < ${LARGE_RUNS:-5} ? runs : ${LARGE_RUNS:-5}))
pillow_max_mb=${PILLOW_MAX_MB:-200}
case ${SIZES:-full} in
  full) sizes=$FULL_SET; plot=doc/bench_time_per_mb.png; phases=${PHASES:-1} ;;
  quick) sizes=$QUICK_SET; plot=build-release/bench_time_per_mb.png; phases=${PHASES:-0} ;;
  *) sizes=$SIZES; plot=build-release/bench_time_per_mb.png; phases=${PHASES:-0} ;;
esac
py=/usr/bin/python3  # Debian's Python, which has Debian's Pillow and matplotlib
magick=/usr/bin/convert

# Runs a command as root: directly, or through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null; then echo "through sudo: $*"; sudo "$@"
  else echo "needs root to run: $*" >&2; return 1
  fi
}

install_needs() {
  local need=()
  for tool in cmake g++; do command -v "$tool" >/dev/null || need+=("$tool"); done
  [ -x "$magick" ] || need+=(imagemagick)
  "$py" -c 'import PIL' 2>/dev/null || need+=(python3-pil)
  "$py" -c 'import matplotlib' 2>/dev/null || need+=(python3-matplotlib)
  [ -x /usr/bin/time ] || need+=(time)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  [ ${#need[@]} -eq 0 ] && return
  echo "installing: ${need[*]}"
  # A mirror being synchronised fails an update for a while: try twice more,
  # then go on with the lists there are; the install says whether they do.
  as_root apt-get update -qq || { sleep 20 && as_root apt-get update -qq; } ||
    { sleep 20 && as_root apt-get update -qq; } || echo "apt-get update failed, going on"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
}

canvas_side() {  # WIDTH HEIGHT
  awk -v w="$1" -v h="$2" 'BEGIN { s = int(sqrt((w - 1) ^ 2 + (h - 1) ^ 2) + 0.5) + 6; print s + s % 2 }'
}

output_bytes() {  # SIDE
  echo $((54 + $1 * ((3 * $1 + 3) / 4 * 4)))
}

free_bytes() {  # DIR
  df --output=avail -B1 "$1" | tail -n 1
}

drop() {  # FILE...: flushed to the device, then deleted
  sync "$@"
  rm -f "$@"
}

# Fills names, outputs and commands with the tools to time on picture SIZE.
choose_tools() {  # SIZE SIDE
  local size=$1 side=$2 in=in_$1.bmp
  names=(vandrel floor) outputs=("${side}x${side}_v.bmp" floor.bmp)
  commands=("$(printf '%q ' "$bin/vandrel" -i "$in" -o v)" "$(printf '%q ' "$bin/vandrel_floor" "$in" floor.bmp)")
  if [ -n "$before" ]; then
    names+=(before) outputs+=("${side}x${side}_b.bmp")
    commands+=("$(printf '%q ' "$before" -i "$in" -o b)")
  fi
  if [ -z "$(pillow_skip_reason "$size" "$side")" ]; then
    names+=(Pillow) outputs+=(pillow.bmp)
    commands+=("$(printf '%q ' "$py" "$bench/frame_pillow.py" "$in" pillow.bmp)")
  fi
  if [[ $CHECKED_SIZES == *" $size "* ]]; then
    names+=(ImageMagick) outputs+=(magick.bmp)
    commands+=("$(printf '%q ' "$magick" "$in" -background 'rgb(128,128,128)' -gravity center \
      -extent "${side}x${side}" BMP3:magick.bmp)")
  fi
}

pillow_skip_reason() {  # SIZE SIDE
  local width=${1%x*} height=${1#*x}
  if [ "$width" -eq 0 ] || [ "$height" -eq 0 ]; then echo "it cannot open a picture without pixels"
  elif [ "$(output_bytes "$2")" -gt $((pillow_max_mb * 1000000)) ]; then echo "output above $pillow_max_mb MB"
  fi
}

fail() { echo "FAILED: $*" >&2; exit 1; }

# Runs each tool once (the first warm-up) and checks what it wrote.
check_outputs() {  # SIZE SIDE
  local expected i size=$1 reference=${outputs[0]}
  expected=$(output_bytes "$2")
  for i in "${!names[@]}"; do
    eval "${commands[$i]}" || fail "${names[$i]} on $size"
    [ -f "${outputs[$i]}" ] || fail "${names[$i]} wrote no ${outputs[$i]}"
    case ${names[$i]} in
      vandrel | floor) [ "$(stat -c %s "${outputs[$i]}")" -eq "$expected" ] ||
        fail "${names[$i]}: ${outputs[$i]} is not $expected bytes" ;;
      before) cmp -s "$reference" "${outputs[$i]}" || fail "before: output differs from vandrel's" ;;
    esac
    [[ ${names[$i]} =~ ^(floor|before)$ ]] && drop "${outputs[$i]}"
  done
  local others=()
  for i in "${!names[@]}"; do [[ ${names[$i]} =~ ^(Pillow|ImageMagick)$ ]] && others+=("${outputs[$i]}"); done
  if [[ $CHECKED_SIZES == *" $size "* ]]; then
    "$py" "$bench/same_pixels.py" "$reference" "${others[@]}" || fail "pixels differ at $size"
  fi
  drop "$reference" "${others[@]}"
}

# Checks and times the tools on picture SIZE in the current folder, PLACE.
time_here() {  # PLACE SIZE SIDE
  local place=$1 size=$2 side=$3 n=$runs bytes i tool_args=()
  bytes=$(output_bytes "$side")
  if [ "$(free_bytes .)" -lt $((2 * bytes + $(stat -c %s "in_$size.bmp") + 100000000)) ]; then
    echo "  $place: skipped, not enough free space for two outputs of $((bytes / 1000000)) MB"
    return
  fi
  [ "$bytes" -gt 256000000 ] && n=$large_runs
  choose_tools "$size" "$side"
  check_outputs "$size" "$side"
  for i in "${!names[@]}"; do tool_args+=("${names[$i]}=${outputs[$i]}=${commands[$i]}"); done
  "$py" "$bench/alternate.py" --csv "$results" --place "$place" --picture "$size" \
    --side "$side" --runs "$n" "${tool_args[@]}"
}

time_picture() {  # SIZE
  local size=$1 side reason
  side=$(canvas_side "${size%x*}" "${size#*x}")
  echo "$size, canvas $side, output $(awk -v b="$(output_bytes "$side")" \
    'BEGIN { if (b < 1e6) printf "%.1f kB", b / 1e3; else printf "%.1f MB", b / 1e6 }'):"
  reason=$(pillow_skip_reason "$size" "$side")
  [ -z "$reason" ] || echo "  Pillow not timed: $reason"
  "$py" "$bench/make_pictures.py" "$disk" "$size"
  cp "$disk/in_$size.bmp" "$ram/"
  for place in disk ram; do
    (cd "${!place}" && time_here "$place" "$size" "$side")
  done
  rm -f "$disk/in_$size.bmp" "$ram/in_$size.bmp"
}

phase_bench() {
  echo -e "\nphases alone, 6000 x 4000, beside memcpy of the same bytes (median of 5):"
  "$bin/vandrel_phases_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    2>/dev/null | awk '/_median/ { sub(/_median/, "", $1); t[$1] = $2; order[++n] = $1 }
      END {
        yardstick["unpack"] = "memcpy_picture"; yardstick["flip"] = "memcpy_picture_warm"
        yardstick["compose"] = "memcpy_canvas"; yardstick["pack"] = "memcpy_canvas_warm"
        print "| phase | median | memcpy of its bytes | ratio |"; print "|---|---|---|---|"
        for (i = 1; i <= n; i++) {
          p = order[i]; if (!(p in yardstick)) continue
          printf "| %s | %.1f ms | %.1f ms | %.2f |\n", p, t[p], t[yardstick[p]], t[p] / t[yardstick[p]]
        }
      }'
}

for size in $sizes; do [[ $size =~ ^[0-9]+x[0-9]+$ ]] || fail "picture size '$size' is not WIDTHxHEIGHT"; done
[ -z "$before" ] || [ -x "$before" ] || fail "BEFORE=$BEFORE is not an executable"
install_needs
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVANDREL_TESTS=OFF -DVANDREL_BENCH=ON >/dev/null
cmake --build build-release -j2 --target vandrel vandrel_floor vandrel_phases_bench >/dev/null
bin=$PWD/build-release
bench=$PWD/bench
results=$PWD/build-release/bench_results.csv
rm -f "$results" "${results%.csv}.md"

disk=$(mktemp -d "$PWD/build-release/bench.XXXXXX")
ram=$(mktemp -d /dev/shm/vandrel-bench.XXXXXX)
trap 'rm -rf "$disk" "$ram"' EXIT

machine="$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo),\
 $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
echo "machine: $machine"
echo "$runs timed rounds per picture ($large_runs above 256 MB of output), after 2 warm-up rounds${before:+; before: $before}"
for size in $sizes; do time_picture "$size"; done

{
  "$py" "$bench/report.py" "$results"
  echo -e "\nPillow is timed on pictures with pixels up to $pillow_max_mb MB of output;" \
    "ImageMagick at 720x480 and 6000x4000 only."
} | tee "${results%.csv}.md"
(cd bench && "$py" -B plot.py "$results" "../$plot" "vandrel: time per output MB, medians ($machine)")
echo "plot: $plot; raw results: build-release/bench_results.csv"

[ "$phases" = 1 ] && phase_bench
exit 0
