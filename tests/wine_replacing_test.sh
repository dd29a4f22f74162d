#!/usr/bin/env bash
# The Windows program's promises about its output where only the machine
# running Wine can arrange the case: a run killed while it writes (SIGKILL of
# the Windows process) leaves nothing; a link at the output name stays and
# its file is replaced (Wine shows Unix links as the files they lead to);
# concurrent runs writing one file in place (its folder refuses new files)
# write one after another; a temporary file whose path passes MAX_PATH while
# the output's does not is still opened by its long form (Wine, which has no
# such limit, shows the name in its trace); a run held still while it writes
# (see hold_run) keeps its temporary file from other users and gives the new
# file the hidden attribute and the access rules the old one has just before
# it is replaced, not those it had when the run checked it.
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

# Runs the program in folder $1 with the arguments after $3 and holds it
# still while the shell commands $3 run ($0 there is Wine), without timing:
# Wine writes the program's file trace to a pipe of one page that is no
# longer read once the program has written to its temporary file, so the
# program stops within its next few dozen writes of 1 MB. What it traced
# before the commands ended then shows whether it had already turned back to
# its output file $2 (any line naming it): that fails the case.
hold_run() {
  local dir=$1 output=$2 commands=$3
  shift 3
  (cd "$dir" && WINEDEBUG=trace+file python3 - "$wine" "$vandrel" "$output" "$commands" "$@" <<'EOF'
import array, fcntl, os, re, subprocess, sys, termios
wine, vandrel, output, commands, args = sys.argv[1:5] + [sys.argv[5:]]
read_end, write_end = os.pipe()
fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
run = subprocess.Popen([wine, vandrel] + args, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=write_end)
os.close(write_end)
trace = b""
def first_write(trace):
    """Where the trace goes on after the first write to the temporary file; 0 before."""
    created = re.search(rb'CreateFileW L"[^"]*vandrel-[0-9a-f]{16}[.]tmp"', trace)
    written = trace.find(b"trace:file:WriteFile ", created.end()) if created else -1
    return trace.find(b"\n", written) + 1 if written >= 0 else 0
while first_write(trace) == 0:
    chunk = os.read(read_end, 4096)
    if not chunk:
        sys.exit("the run ended before it wrote its temporary file")
    trace += chunk
after = trace[first_write(trace):]
held = subprocess.run(["bash", "-c", commands, wine], env=dict(os.environ, WINEDEBUG="-all")).returncode
waiting = array.array("i", [0])  # what the program traced before the commands ended
fcntl.ioctl(read_end, termios.FIONREAD, waiting)
while waiting[0] > 0:
    chunk = os.read(read_end, waiting[0])
    after += chunk
    waiting[0] -= len(chunk)
if output.encode() in after:
    sys.exit("the run was not held before it turned back to its output")
while os.read(read_end, 65536):
    pass
sys.exit(held or run.wait())
EOF
  )
}

# 4. While a run writes, the old file is hidden (attrib +h) and made
# unreadable to others (chmod o-r, which Wine shows as the access list
# losing its Everyone entry); its temporary file meanwhile lets no one else
# read it. The new file is hidden and unreadable to others too. The folder
# gives others nothing, as Wine passes what a folder gives others on to every
# file in it.
mkdir held
make_bmp held/in.bmp 6000 4000 0 # framed on 7216 x 7216: 156 MB to write
echo old >held/7216x7216_held.bmp
chmod 0644 held/7216x7216_held.bmp
chmod 0750 held
while_held='
  temp=$(find . -name "vandrel-*.tmp")
  [ -n "$temp" ] || { echo "FAILED: no temporary file while the run writes"; exit 1; }
  mode=$(stat -c %a "$temp")
  [ $((8#$mode & 7)) = 0 ] || { echo "FAILED: others may open the temporary file: $mode"; exit 1; }
  "$0" attrib +h 7216x7216_held.bmp && chmod o-r 7216x7216_held.bmp || exit 1
  [[ "$("$0" attrib 7216x7216_held.bmp)" =~ ^[^:]*H ]] ||
    { echo "FAILED: this file system keeps no hidden attribute (Wine keeps it in user.DOSATTRIB)"; exit 1; }'
hold_run held 7216x7216_held.bmp "$while_held" -i in.bmp -o held || fail "a run held while it writes"
[ "$(temp_files held)" = 0 ] || fail "a held run left a temporary file"
[ "$(stat -c %s held/7216x7216_held.bmp)" = $((54 + 7216 * 21648)) ] || fail "the held run's output"
[ $((8#$(stat -c %a held/7216x7216_held.bmp) & 4)) = 0 ] ||
  fail "the access rules changed while the run wrote were lost"
[[ "$(cd held && "$wine" attrib 7216x7216_held.bmp)" =~ ^[^:]*H ]] ||
  fail "the hidden attribute given while the run wrote was lost"
echo "a run held while it writes kept its temporary file private and took the old file's newest rules"
rm -r held

# 5. In place, four runs at once, each with another picture: each waits for
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
