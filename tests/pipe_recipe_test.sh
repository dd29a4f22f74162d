#!/usr/bin/env bash
# Runs the README's recipe for framing what a converter writes to a pipe, as
# written, with Debian's djpeg, for a colour and a greyscale photo: the
# picture framed from the pipe must be the one framed from the same BMP stored
# in a file.
# Usage: pipe_recipe_test.sh VANDREL README SAMPLE_BMP
# Exits 77 (skipped) when cjpeg and djpeg (libjpeg-turbo-progs) are missing.
set -euo pipefail
vandrel=$(realpath "$1")
readme=$2
sample=$(realpath "$3")
command -v cjpeg >/dev/null && command -v djpeg >/dev/null ||
  { echo "cjpeg and djpeg are not installed (libjpeg-turbo-progs)"; exit 77; }

recipe=$(grep -m 1 -E '^djpeg .*\| vandrel ' "$readme" | sed 's/ *#.*//')
[ -n "$recipe" ] || { echo "no djpeg recipe found in $readme"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$vandrel" "$work/bin/vandrel"
cd "$work"
# A colour photo, and a greyscale one, which djpeg writes with a palette
# unless told to write RGB.
for kind in colour greyscale; do
  options=-quality\ 90
  [ $kind = greyscale ] && options+=\ -grayscale
  # shellcheck disable=SC2086  # two options
  cjpeg $options "$sample" >photo.jpg
  rm -f 294x294_photo.bmp
  PATH="$work/bin:$PATH" bash -c "$recipe"
  djpeg -bmp -rgb photo.jpg >stored.bmp
  "$vandrel" -i stored.bmp -o stored
  cmp 294x294_photo.bmp 294x294_stored.bmp
  echo "the recipe framed the piped $kind picture as the stored one: $recipe"
done
