#!/usr/bin/env bash
# Checks that the README shows a file of the project as it is, so that what
# a reader copies from the README is what the package ships: the fenced block
# after the README's line starting with START must be the file, byte for byte.
# Usage: readme_shows_file_test.sh README START FILE
set -euo pipefail
source "$(dirname "$0")/readme_block.sh"
shown=$(readme_block "$1" "$2")
[ -n "$shown" ] || { echo "no block after a line starting '$2' in $1"; exit 1; }
if ! diff <(printf '%s\n' "$shown") "$3"; then
  echo "the README's block after '$2' differs from $3 (above: README <, file >)"
  exit 1
fi
echo "the README shows $3 as it is"
