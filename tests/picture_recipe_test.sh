#!/usr/bin/env bash
# Runs the README's recipe for framing any picture through ImageMagick, as
# written, on the pictures a converter most often gets wrong: palette,
# greyscale, 16-bit and transparent PNGs, a CMYK JPEG and a GIF. Each must
# become a BMP the program frames: status 0 and a 24-bit BMP of the canvas's
# size. The transparent parts must come out white, as the README says. The
# djpeg recipe must refuse the CMYK JPEG, as the README says it does.
# Usage: picture_recipe_test.sh VANDREL README
# Exits 77 (skipped) when ImageMagick is missing.
set -euo pipefail
vandrel=$(realpath "$1")
readme=$(realpath "$2")
source "$(dirname "$0")/readme_block.sh"
convert -version 2>/dev/null | grep -q '^Version: ImageMagick' ||
  { echo "ImageMagick's convert is not installed (imagemagick)"; exit 77; }

recipe=$(readme_block "$readme" "Any picture")
[[ $recipe == *"convert photo.png "* ]] ||
  { echo "no ImageMagick recipe for photo.png found in $readme"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/made"
ln -s "$vandrel" "$work/bin/vandrel"
cd "$work/made"
# 7 x 5 pictures: a 14 x 14 canvas.
convert -size 7x5 xc:red -fill blue -draw 'point 1,1' PNG8:palette.png
convert -size 7x5 gradient:black-white -colorspace Gray -depth 8 grey.png
convert -size 7x5 gradient:red-blue PNG48:deep.png
convert -size 7x5 xc:none -fill '#0000ff80' -draw 'rectangle 0,0 3,2' PNG32:clear.png
convert -size 7x5 gradient:red-blue -colorspace CMYK -quality 90 cmyk.jpg
convert -size 7x5 gradient:red-blue gif.gif
# Each PNG is of the kind named: its bit depth and colour type (bytes 24
# and 25: 0 grey, 2 RGB, 3 palette, 6 RGB with alpha).
png_kind() { od -An -tu1 -j24 -N2 "$1" | tr -s ' ' | sed 's/^ //'; }
for expected in "palette.png:8 3" "grey.png:8 0" "deep.png:16 2" "clear.png:8 6"; do
  name=${expected%%:*}
  [ "$(png_kind "$name")" = "${expected#*:}" ] ||
    { echo "$name: bit depth and colour type $(png_kind "$name"), not ${expected#*:}"; exit 1; }
done
identify -format '%f: %[colorspace], %[depth] bits, %m\n' cmyk.jpg gif.gif

# Little-endian unsigned field of $2 bytes at offset $3 of file $1.
field() { od -An -tu"$2" -j"$3" -N"$2" --endian=little "$1" | tr -d ' '; }

for picture in palette.png grey.png deep.png clear.png cmyk.jpg gif.gif; do
  rm -rf ../run && mkdir ../run && cp "$picture" ../run/ && cd ../run
  # The recipe as written, for this picture in place of photo.png.
  PATH="$work/bin:$PATH" bash -ec "${recipe//photo.png/$picture}" ||
    { echo "$picture: the recipe failed"; exit 1; }
  out=14x14_photo.bmp
  [ -f "$out" ] || { echo "$picture: no $out"; ls -A; exit 1; }
  [ "$(head -c 2 "$out")" = BM ] && [ "$(field "$out" 2 28)" = 24 ] &&
    [ "$(field "$out" 4 18)" = 14 ] && [ "$(field "$out" 4 22)" = 14 ] &&
    [ "$(stat -c %s "$out")" = $((54 + 14 * 44)) ] ||
    { echo "$picture: $out is not a 14 x 14 24-bit BMP"; exit 1; }
  if [ "$picture" = clear.png ]; then
    # The picture's bottom-right pixel, transparent, sits in canvas column
    # 3 + 6 and row 4 + 4 from the top: the file's row 5 from the bottom.
    pixel=$(od -An -tx1 -j$((54 + 5 * 44 + 9 * 3)) -N3 "$out" | tr -d ' ')
    [ "$pixel" = ffffff ] || { echo "$picture: a transparent pixel came out $pixel"; exit 1; }
  fi
  echo "$picture: framed as a 14 x 14 24-bit BMP"
  cd ../made
done

# djpeg cannot convert a CMYK JPEG to RGB: the README must say so, and djpeg
# must indeed refuse it, so that the recipe through it frames nothing.
if command -v djpeg >/dev/null; then
  grep -q 'CMYK' "$readme" || { echo "the README does not say that djpeg refuses CMYK"; exit 1; }
  if djpeg -bmp -rgb cmyk.jpg >/dev/null 2>&1; then
    echo "djpeg converted the CMYK JPEG: the README's warning is wrong"
    exit 1
  fi
  echo "djpeg refuses the CMYK JPEG, as the README says"
fi
