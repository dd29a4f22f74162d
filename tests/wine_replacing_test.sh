#!/usr/bin/env bash
# The Windows program's promises about its output where only the machine
# running Wine can arrange the case: a run killed while it writes (SIGKILL of
# the Windows process) leaves nothing; a link at the output name stays and
# its file is replaced (Wine shows Unix links as the files they lead to);
# concurrent runs writing one file in place (its folder refuses new files)
# write one after another; a temporary file whose path passes MAX_PATH while
# the output's does not is still opened by its long form (Wine, which has no
# such limit, shows the name in its trace).
# Usage: wine_replacing_test.sh WINE VANDREL_EXE
# Exits 77 (skipped) only when the folder cannot be made to refuse new files,
# after the other cases passed.
set -euo pipefail
wine=$1
vandrel=$(realpath "$2")

work=$(mktemp -d)
trap 'chattr -i "$work/locked" 2>/dev/null || true; chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"

fail() {
  echo "FAILED: $*"
  exit 1
}

# A width x height BMP whose every pixel is the byte `fill`, in `file`;
# black ones are stored sparse.
make_bmp() {
  python3 - "$@" <<'EOF'
import struct, sys
file, width, height, fill = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
row = (width * 3 + 3) // 4 * 4
header = b"BM" + struct.pack("<IHHI", 54 + row * height, 0, 0, 54)
header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, row * height, 2835, 2835, 0, 0)
with open(file, "wb") as f:
    f.write(header + (bytes([fill]) * (row * height) if fill else b""))
    f.truncate(54 + row * height)
EOF
}

run() {
  "$wine" "$vandrel" "$@"
}

temp_files() {
  find "$1" -name 'vandrel-*.tmp' | wc -l
}

# 1. Killed while writing: the temporary file goes with the process.
mkdir killed
make_bmp killed/in.bmp 6000 4000 0 # framed on 7216 x 7216: 156 MB to write
echo old >killed/7216x7216_big.bmp
(cd killed && exec "$wine" "$vandrel" -i in.bmp -o big) &
pid=$!
while [ "$(temp_files killed)" = 0 ]; do
  kill -0 $pid 2>/dev/null || fail "the run ended before it wrote its temporary file"
done
kill -KILL $pid
wait $pid 2>/dev/null || true
# The Wine server closes the killed process's handles as soon as it sees it gone.
for _ in $(seq 100); do
  [ "$(temp_files killed)" = 0 ] && break
  sleep 0.05
done
[ "$(temp_files killed)" = 0 ] || fail "a killed run left: $(ls killed)"
[ "$(cat killed/7216x7216_big.bmp)" = old ] || fail "a killed run changed the old output"
echo "a run killed while writing left nothing"

# 2. A link at the output name stays; the file it leads to is replaced.
mkdir -p linked/real
make_bmp linked/in.bmp 4 3 9
echo old >linked/real/pic.bmp
ln -s real/pic.bmp linked/10x10_link.bmp
(cd linked && run -i in.bmp -o link && run -i in.bmp -o plain) || fail "framing through a link"
[ "$(readlink linked/10x10_link.bmp)" = real/pic.bmp ] || fail "the link was replaced"
cmp -s linked/real/pic.bmp linked/10x10_plain.bmp || fail "the linked file was not replaced"
[ "$(ls linked/real)" = pic.bmp ] || fail "left beside the linked file: $(ls linked/real)"
echo "a link at the output name stayed and its file was replaced"

# 3. A new output whose full path stays under 248 characters while its
# temporary file's passes 260: the temporary file is named in the long form.
windows_length() { # the length of this folder's Windows name, Z:\...\ (Wine maps / to Z:)
  echo $((2 + ${#1} + 1))
}
deep=$work/long
length=$(windows_length "$deep")
pad=$((233 - length - 1)) # the folder's path then 233 characters, separator included
[ $pad -gt 0 ] || fail "the temporary folder's path is too long for this case: $work"
deep=$deep/$(printf 'd%.0s' $(seq $pad))
mkdir -p "$deep"
make_bmp "$deep/in.bmp" 4 3 5
[ "$(windows_length "$deep")" = 233 ] || fail "the folder's name is not 233 characters long"
trace=$(cd "$deep" && WINEDEBUG=trace+file "$wine" "$vandrel" -i in.bmp -o x 2>&1 >/dev/null) ||
  fail "framing in a deep folder"
opened=$(grep -F 'trace:file:CreateFileW L"' <<<"$trace" | grep -F 'vandrel-' | head -n 1)
[ -n "$opened" ] || fail "no temporary file in Wine's trace"
[[ $opened == *'CreateFileW L"\\\\?\\'* ]] || fail "the temporary file was opened by a plain path: $opened"
[ -f "$deep/10x10_x.bmp" ] || fail "no output in the deep folder"
echo "the temporary file of a 247-character path was opened by its long form"

# 4. In place, four runs at once, each with another picture: each waits for
# the one before, so the file ends as one of the pictures, whole. Last, as
# the one case that may be skipped.
mkdir locked references
for fill in 1 2 3 4; do
  make_bmp "locked/in$fill.bmp" 2400 1600 $fill # framed on 2890 x 2890: 25 MB
  (cd references && run -i "../locked/in$fill.bmp" -o "$fill") || fail "reference $fill"
done
head -c 30000000 /dev/zero >locked/2890x2890_shared.bmp # longer than a picture
if [ "$(id -u)" = 0 ]; then
  chattr +i locked 2>/dev/null || { echo "cannot make the folder refuse new files here (chattr)"; exit 77; }
else
  chmod a-w locked
fi
pids=()
for fill in 1 2 3 4; do
  (cd locked && exec "$wine" "$vandrel" -i "in$fill.bmp" -o shared >"../out$fill" 2>&1) &
  pids+=($!)
done
for fill in 1 2 3 4; do
  wait "${pids[$((fill - 1))]}" || fail "in-place run $fill: status $?, $(cat "out$fill")"
done
chattr -i locked 2>/dev/null || chmod u+w locked
[ "$(temp_files locked)" = 0 ] || fail "in-place runs left a temporary file"
whole=""
for fill in 1 2 3 4; do
  cmp -s locked/2890x2890_shared.bmp "references/2890x2890_$fill.bmp" && whole=$fill
done
[ -n "$whole" ] || fail "four runs in place left a file that is none of their pictures"
echo "four runs writing one file in place left picture $whole whole"
