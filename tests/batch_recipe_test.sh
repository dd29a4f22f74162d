#!/usr/bin/env bash
# Runs the README's bash recipe for framing a whole folder, as written, on
# awkward file names, twice: every picture is framed once, and the second run
# frames nothing new (earlier outputs are skipped).
# Usage: batch_recipe_test.sh VANDREL README SAMPLE_BMP
set -euo pipefail
vandrel=$(realpath "$1")
readme=$2
sample=$(realpath "$3")

source "$(dirname "$0")/readme_block.sh"
recipe=$(readme_block "$readme" "With bash")
[ -n "$recipe" ] || { echo "no bash recipe found in $readme"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/pictures"
ln -s "$vandrel" "$work/bin/vandrel"
cd "$work/pictures"
names=("plain.bmp" "sp ace.bmp" "it's.bmp" 'quo"te.bmp' "  leading blanks.bmp"
       'back\slash.bmp' "-dash.bmp" "tab	bed.bmp" "UP.BMP" "Mixed.Bmp" ";semicolon.bmp")
for name in "${names[@]}"; do cp "$sample" "./$name"; done
"$vandrel" -i "$sample" -o reference
mv 294x294_reference.bmp ../reference.bmp

for run in 1 2; do
  PATH="$work/bin:$PATH" bash -c "$recipe"
  for name in "${names[@]}"; do
    out="294x294_${name%.*}.bmp"
    cmp -s "$out" ../reference.bmp || { echo "run $run: '$out' missing or wrong"; exit 1; }
  done
  count=$(find . -type f | wc -l)
  [ "$count" -eq $((2 * ${#names[@]})) ] || { echo "run $run: $count files:"; ls -A; exit 1; }
done
echo "the recipe framed ${#names[@]} awkward names once each"
