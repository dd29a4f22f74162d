#!/usr/bin/env bash
# Runs the Windows batch file for framing a whole folder (doc/frame-all.cmd,
# which the README shows and the zip carries) under Wine's cmd, on awkward
# file names, twice: every picture is framed once, names outside any code
# page included, the second run frames nothing new (earlier outputs are
# skipped), and files whose names only look like pictures' are left alone,
# though cmd's *.bmp matches them through their short 8.3 names.
# Wine's cmd expands a variable's value a second time where Windows' does
# not, so names holding "%" are left out here: under Wine the second run
# would take their outputs for pictures.
# Usage: cmd_recipe_test.sh WINE VANDREL_EXE FRAME_ALL_CMD SAMPLE_BMP
set -euo pipefail
wine=$1
vandrel=$(realpath "$2")
batch=$3
sample=$(realpath "$4")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/pictures"
cp "$vandrel" "$work/bin/vandrel.exe"
sed "s/\$/\r/" "$batch" >"$work/frame-all.cmd" # Windows line ends
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
# Not pictures, though cmd's *.bmp matches them through their short names
# (PHOTO~1.BMP): one-pixel BMPs, whose framings (6x6_photo.bmp,
# 6x6_notes.bmp) would show; photo.bmp beside the backup keeps its own.
decoys=("photo.bmp_old" "notes.bmpx")
names+=("photo.bmp")
one_pixel_bmp() {
  printf 'BM\072\000\000\000\000\000\000\000\066\000\000\000'         # file header
  printf '\050\000\000\000\001\000\000\000\001\000\000\000\001\000\030\000' # 40 bytes, 1 x 1, 24 bits
  head -c 24 /dev/zero                                             # no compression...
  printf '\000\000\377\000'                                           # one red pixel
}
for name in "${names[@]}" "$skipped"; do cp "$sample" "./$name"; done
for name in "${decoys[@]}"; do one_pixel_bmp >"$name"; done
"$wine" "$vandrel" -i "$(windows_name "$sample")" -o reference
mv 294x294_reference.bmp ../reference.bmp

for run in 1 2; do
  WINEPATH=$(windows_name "$work/bin") "$wine" cmd /c "$(windows_name "$work/frame-all.cmd")"
  for name in "${names[@]}"; do
    out="294x294_${name%.*}.bmp"
    cmp -s "$out" ../reference.bmp || { echo "run $run: '$out' missing or wrong"; exit 1; }
  done
  count=$(find . -type f | wc -l)
  [ "$count" -eq $((2 * ${#names[@]} + 1 + ${#decoys[@]})) ] || { echo "run $run: $count files:"; ls -A; exit 1; }
done
echo "the batch file framed ${#names[@]} awkward names once each, skipped $skipped and left ${decoys[*]} alone"
