#!/usr/bin/env bash
# Runs the README's Windows batch file for framing a whole folder, as
# written, under Wine's cmd, on awkward file names, twice: every picture is
# framed once, names outside any code page included, and the second run
# frames nothing new (earlier outputs are skipped).
# Wine's cmd expands a variable's value a second time where Windows' does
# not, so names holding "%" are left out here: under Wine the second run
# would take their outputs for pictures.
# Usage: cmd_recipe_test.sh WINE VANDREL_EXE README SAMPLE_BMP
set -euo pipefail
wine=$1
vandrel=$(realpath "$2")
readme=$3
sample=$(realpath "$4")

# The indented block after the line that starts "On Windows, save", blank
# lines within it included.
recipe=$(awk '/^On Windows, save/ { found = 1; next }
              found && /^    / { sub(/^    /, ""); print; block = 1; next }
              block && /^$/ { print; next }
              block { exit }' "$readme")
[ -n "$recipe" ] || { echo "no batch file found in $readme"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/pictures"
cp "$vandrel" "$work/bin/vandrel.exe"
sed "s/\$/\r/" <<<"$recipe" >"$work/frame-all.cmd" # Windows line ends
windows_name() { # Wine shows the Unix root as drive Z:
  local path=${1//\//\\}
  echo "Z:$path"
}
cd "$work/pictures"
names=("plain.bmp" "sp ace.bmp" "it's.bmp" "  leading blanks.bmp" "-dash.bmp" "UP.BMP"
       "Mixed.Bmp" ";semicolon.bmp" ",comma.bmp" "=equals.bmp" "a&b.bmp" "^caret.bmp"
       "bang!.bmp" "(paren).bmp" "xmas.bmp" "_under.bmp" "12x_a.bmp" "x34_b.bmp"
       "12xx34_c.bmp" "1x2x3_d.bmp" "12_34x_e.bmp" "Ωμέγα.bmp" "写真.bmp" "🖼 framed.bmp")
skipped="0x10_f.bmp" # named like an earlier output
for name in "${names[@]}" "$skipped"; do cp "$sample" "./$name"; done
"$wine" "$vandrel" -i "$(windows_name "$sample")" -o reference
mv 294x294_reference.bmp ../reference.bmp

for run in 1 2; do
  WINEPATH=$(windows_name "$work/bin") "$wine" cmd /c "$(windows_name "$work/frame-all.cmd")"
  for name in "${names[@]}"; do
    out="294x294_${name%.*}.bmp"
    cmp -s "$out" ../reference.bmp || { echo "run $run: '$out' missing or wrong"; exit 1; }
  done
  count=$(find . -type f | wc -l)
  [ "$count" -eq $((2 * ${#names[@]} + 1)) ] || { echo "run $run: $count files:"; ls -A; exit 1; }
done
echo "the batch file framed ${#names[@]} awkward names once each and skipped $skipped"
