#!/usr/bin/env bash
# Builds and runs every test, installing what is missing first. The stages:
#   fuzz      the fuzzer, for FUZZ_SECONDS (default 60) from the seed corpus;
#   sanitize  the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   linux32   the whole suite as a 32-bit Linux program, under qemu-i386-static,
#             on an emulated processor with SSE2 and on one without;
#   aarch64   the whole suite as a 64-bit ARM Linux program, under qemu-aarch64-static;
#   s390x     the whole suite as a big-endian Linux program, under qemu-s390x-static,
#             where the reader and the writer move single bytes;
#   win64     the whole suite as a 64-bit Windows program, under wine64;
#   win32     the whole suite as a 32-bit Windows program, under wine64 (WoW64),
#             where the kernel runs 32-bit programs; skipped elsewhere;
#   packages  the Windows .zip files, installation, the .deb checked by lintian,
#             the licence in each of them, the 32-bit program's large-address flag;
#   native    the whole suite in the normal build;
#   ordinary  that suite's test program once more as an ordinary user (nobody),
#             where the test command runs as root; skipped otherwise.
# Every stage runs even when an earlier one fails; a summary ends the run, and
# the exit status is 0 only when no stage failed. A skipped stage (status
# SKIPPED, with its reason in skip_reason) counts as neither passed nor
# failed. CROSS=0 leaves out linux32, aarch64, s390x, win64, win32 and
# packages; STAGES names the stages to run, in order (for example
# STAGES="win32 packages").
#
# Missing packages are installed with apt-get: directly as root, through sudo
# otherwise (it says so first); without either it prints the command to run
# and stops. With everything installed it needs no privilege.
set -uo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-60}
SKIPPED=77 # a stage's status when it cannot run here
cross=${CROSS:-1}
top=$PWD

# ---------------------------------------------------------------- packages

missing_packages() {
  command -v cmake >/dev/null || echo cmake
  command -v g++ >/dev/null || echo g++
  command -v clang++ >/dev/null || echo clang
  [ -n "$(find /usr/lib/llvm-* -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
    echo libclang-rt-dev
  [ -f /usr/include/gtest/gtest.h ] || echo libgtest-dev
  /usr/bin/python3 -c 'import PIL' 2>/dev/null || echo python3-pil
  command -v identify >/dev/null || echo imagemagick
  command -v mandoc >/dev/null || echo mandoc
  command -v fusefat >/dev/null || echo fusefat
  [ -x /usr/sbin/mkfs.fat ] || echo dosfstools
  command -v djpeg >/dev/null || echo libjpeg-turbo-progs
  command -v strace >/dev/null || echo strace
  if [ "$cross" = 1 ]; then
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || echo g++-mingw-w64-x86-64
    command -v i686-w64-mingw32-g++-posix >/dev/null || echo g++-mingw-w64-i686
    [ -x /usr/lib/wine/wine64 ] || echo wine64
    [ -f /usr/i686-w64-mingw32/lib/zlib1.dll ] || echo libz-mingw-w64
    command -v qemu-i386-static >/dev/null && command -v qemu-aarch64-static >/dev/null &&
      command -v qemu-s390x-static >/dev/null || echo qemu-user-static
    [ -f /usr/share/i18n/locales/ja_JP ] || echo locales
    # The 32-bit build's asm headers, C library and C++ library. The gcc cross
    # compilers remove gcc-multilib, and with it /usr/include/asm, leaving the
    # rest: this asks for it again.
    [ -f /usr/include/asm/errno.h ] && [ -f /usr/lib32/libc.a ] &&
      [ -f "$(g++ -m32 -print-file-name=libstdc++.a 2>/dev/null)" ] || echo g++-multilib
    missing_cross_libraries arm64 aarch64-linux-gnu
    missing_cross_libraries s390x s390x-linux-gnu
    [ -d /usr/src/googletest ] || echo googletest
    command -v dpkg-shlibdeps >/dev/null || echo dpkg-dev
    command -v lintian >/dev/null || echo lintian
  fi
}

# What clang needs to build static programs for the Linux triple $2 (Debian's
# architecture $1): Debian's cross C and C++ libraries and binutils, not its
# gcc cross compilers, which would remove gcc-multilib.
missing_cross_libraries() {
  [ -f "/usr/$2/lib/libc.a" ] || echo "libc6-dev-$1-cross"
  compgen -G "/usr/lib/gcc-cross/$2/*/libstdc++.a" >/dev/null || echo "libstdc++-12-dev-$1-cross"
  command -v "$2-ld" >/dev/null || echo "binutils-$2"
}

# Wine's 32-bit Windows libraries come from Debian's i386 architecture.
needs_i386() {
  [ "$cross" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386
}

install_missing() {
  local packages
  packages=$(missing_packages | tr '\n' ' ')
  needs_i386 || [ -n "$packages" ] || return 0
  local steps=()
  needs_i386 && steps+=("dpkg --add-architecture i386")
  steps+=("apt-get update -qq")
  [ -n "$packages" ] && steps+=("DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages")
  local sudo=""
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing: ${packages:-the i386 architecture}. Run as root, then run this again:"
      printf '  %s\n' "${steps[@]}"
      exit 2
    fi
    echo "installing through sudo: ${packages:-the i386 architecture}"
    sudo=sudo
  fi
  local step
  for step in "${steps[@]}"; do
    # shellcheck disable=SC2086  # each step is a command line
    $sudo env $step >/dev/null && continue
    if [ "$step" = "apt-get update -qq" ]; then
      # A mirror being synchronised fails an update for a while: try twice
      # more, then go on with the lists there are; the install says whether
      # they were enough.
      sleep 20 && $sudo env $step >/dev/null && continue
      sleep 20 && $sudo env $step >/dev/null && continue
      echo "failed three times, going on: $step"
      continue
    fi
    echo "failed: $step"
    exit 2
  done
}

# -------------------------------------------------------------- the stages

# Configures a build folder; the given settings apply to its first
# configuration only, so that reruns leave nothing unused.
configure() {
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" >/dev/null
  else
    cmake -S . -B "$dir" -DVANDREL_TESTS=ON "$@" >/dev/null
  fi
}

# Builds quietly; on failure shows why.
build() {
  cmake --build "$1" -j2 "${@:2}" >/dev/null 2>&1 || cmake --build "$1" "${@:2}"
}

suite() {
  ctest --test-dir "$1" --output-on-failure --no-tests=error
}

stage_fuzz() {
  configure build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVANDREL_FUZZ=ON -DVANDREL_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo && build build-fuzz --target vandrel_fuzz || return 1
  local found log
  found=$(mktemp -d) && log=$(mktemp) || return 1
  # New inputs go to the first folder; the seeds in fuzz/corpus stay as they are.
  build-fuzz/vandrel_fuzz -max_total_time="$fuzz_seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$found" fuzz/corpus >"$log" 2>&1
  local status=$?
  if [ $status = 0 ]; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log"
  else
    tail -n 60 "$log"
    echo "the fuzzer found a failing input; it is in build-fuzz/"
  fi
  rm -rf "$found" "$log"
  return $status
}

stage_sanitize() {
  configure build-sanitize -DVANDREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    build build-sanitize && suite build-sanitize
}

# The 32-bit program asks the processor whether it has SSE2 and moves pixels
# with the SSE2 blocks or the portable ones: the suite runs under qemu's
# "max" processor, which has SSE2, then under "pentium2", which has none and
# on which qemu stops at any SSE2 instruction, so that run also shows that
# none lies outside the SSE2 blocks. (A folder configured by an earlier
# version of this stage has the portable code forced on: turned off here.)
stage_linux32() {
  configure build-linux32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake &&
    cmake -S . -B build-linux32 -DVANDREL_PORTABLE=OFF >/dev/null && build build-linux32 &&
    QEMU_CPU=max VANDREL_EXPECTED_BLOCKS=sse2 suite build-linux32 &&
    QEMU_CPU=pentium2 VANDREL_EXPECTED_BLOCKS=portable suite build-linux32
}

stage_aarch64() {
  configure build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake &&
    build build-aarch64 && suite build-aarch64
}

# Whether the ELF program $1 stores its words big-endian (byte 5 of the
# header is 2), as the s390x stage's programs must for it to test anything
# the others do not.
is_big_endian() {
  [ "$(od -An -tu1 -j5 -N1 "$1" | tr -d ' ')" = 2 ] || { echo "$1 is not big-endian"; return 1; }
}

stage_s390x() {
  configure build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake && build build-s390x &&
    is_big_endian build-s390x/vandrel && is_big_endian build-s390x/tests/vandrel_tests &&
    suite build-s390x
}

# One Wine prefix of the project's own, initialised, with a persistent
# wineserver started before any test, detached from this script's output
# (Wine's services outlive the programs that start them). wine64 runs the
# 32-bit program too once Wine's 32-bit Windows libraries are on WINEDLLPATH:
# they come from Debian's libwine:i386, unpacked here, not installed.
wine_libraries=$top/build-wine/i386
wine32_dlls=$wine_libraries/usr/lib/i386-linux-gnu/wine
export WINEPREFIX=$top/build-wine/prefix WINEDLLPATH=$wine32_dlls
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 # Wine then maps file names between UTF-8 and code page 1252

# Fetches Wine's 32-bit Windows libraries once.
fetch_wine32() {
  [ -f "$wine32_dlls/i386-windows/zlib1.dll" ] && return 0
  local version
  version=$(dpkg-query -W -f '${Version}' "libwine:$(dpkg --print-architecture)") || return 1
  mkdir -p "$wine_libraries" &&
    (cd "$wine_libraries" && apt-get download -q "libwine:i386=$version" >/dev/null 2>&1 &&
      dpkg -x libwine_*_i386.deb . && rm libwine_*_i386.deb) &&
    cp /usr/i686-w64-mingw32/lib/zlib1.dll "$wine32_dlls/i386-windows/"
}

# Makes sure the prefix is initialised and its server running (it may have
# been stopped since), before a Windows stage runs anything. The argument is
# the prefix's system folder the stage's programs need: system32 for 64-bit
# programs, syswow64 for 32-bit ones, which only a kernel that runs 32-bit
# code can set up.
start_wine() {
  fetch_wine32 || { echo "could not fetch libwine:i386"; return 1; }
  mkdir -p "$WINEPREFIX" &&
    setsid sh -c '/usr/lib/wine/wineserver -p; /usr/lib/wine/wine64 wineboot -i' \
      </dev/null >/dev/null 2>&1
  # A broken set-up can still exit 0: check that the part needed is there.
  [ -f "$WINEPREFIX/drive_c/windows/$1/kernel32.dll" ] ||
    { echo "wine prefix not initialised: no $1"; return 1; }
}

stop_wine() {
  [ -d "$WINEPREFIX" ] && /usr/lib/wine/wineserver -k 2>/dev/null
  return 0
}

build_win64() {
  configure build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake && build build-win64
}

build_win32() {
  configure build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake && build build-win32
}

stage_win64() {
  build_win64 && start_wine system32 && suite build-win64
}

# Whether this kernel runs 32-bit x86 programs: some kernels are built
# without, or boot with ia32_emulation=false, and then Wine cannot run 32-bit
# Windows programs either. Decided by running a small static 32-bit program:
# 0 when it runs, SKIPPED when the kernel refuses to execute it, 1 otherwise.
kernel_runs_32bit() {
  local probe=build-win32/runs-32bit
  printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$probe" ||
    { echo "could not build the 32-bit probe"; return 1; }
  local output status
  output=$("./$probe" 2>&1)
  status=$?
  [ $status = 0 ] && return 0
  if [ $status = 126 ] && [[ $output == *"Exec format error"* ]]; then
    skip_reason="this kernel runs no 32-bit programs (Exec format error)"
    return $SKIPPED
  fi
  echo "the 32-bit probe failed with status $status: $output"
  return 1
}

stage_win32() {
  build_win32 || return 1
  kernel_runs_32bit || return
  start_wine syswow64 && VANDREL_EXPECTED_BLOCKS=sse2 suite build-win32
}

# Whether the file or archive member on standard input is the licence.
is_licence() {
  grep -q 'Permission is hereby granted, free of charge'
}

# The zip file's LICENSE, on standard output.
zip_licence() {
  /usr/bin/python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.stdout.buffer.write(z.read(next(n for n in z.namelist() if n.endswith("/LICENSE"))))' "$1"
}

# Packs the Windows build in folder $1 for processor $2 and checks the zip.
pack_zip() {
  local zip
  (cd "$1" && cpack >/dev/null) && zip=$(ls "$1"/vandrel-*-windows-"$2".zip) && echo "$zip" &&
    { zip_licence "$zip" | is_licence || { echo "no licence in $zip"; return 1; }; }
}

# Packs what the Windows stages built, building it first when they have not
# (a build needs no Wine and no 32-bit kernel support).
stage_packages() {
  local installed
  installed=$(mktemp -d) || return 1
  build_win32 && pack_zip build-win32 i686 &&
    /usr/bin/python3 tests/large_address_aware.py build-win32/vandrel-*-windows-i686.zip &&
    build_win64 && pack_zip build-win64 x86_64 &&
    configure build && build build &&
    cmake --install build --prefix "$installed" >/dev/null &&
    test -f "$installed/share/man/man1/vandrel.1.gz" &&
    is_licence <"$installed/share/doc/vandrel/copyright" &&
    "$installed/bin/vandrel" 2>&1 | head -n 1 &&
    (cd build && cpack >/dev/null && ls vandrel_*.deb && lintian --fail-on error vandrel_*.deb &&
      dpkg-deb --fsys-tarfile vandrel_*.deb | tar -xO ./usr/share/doc/vandrel/copyright | is_licence)
  local status=$?
  rm -rf "$installed"
  return $status
}

stage_native() {
  configure build && build build && suite build
}

# Permissions bind an ordinary user, not root: a test that passes only as root
# shows here. The programs are copied to a folder the user can reach wherever
# the clone lives; the tests' temporary folder must be empty at the end.
stage_ordinary() {
  if [ "$(id -u)" != 0 ]; then
    skip_reason="the other stages ran as an ordinary user already ($(id -un))"
    return $SKIPPED
  fi
  configure build && build build || return 1
  local programs scratch status left
  programs=$(mktemp -d) && scratch=$(mktemp -d) || return 1
  chmod 755 "$programs" && chmod 1777 "$scratch" &&
    cp build/vandrel build/vandrel_named_temp build/tests/vandrel_tests \
      build/tests/librefuse_allocation.so "$programs/" &&
    (cd "$scratch" && setpriv --reuid=65534 --regid=65534 --clear-groups \
      env HOME="$scratch" TMPDIR="$scratch" VANDREL_PROGRAMS="$programs" \
      "$programs/vandrel_tests" --gtest_brief=1)
  status=$?
  left=$(ls -A "$scratch")
  [ -z "$left" ] || { echo "left in the temporary folder: $left"; status=1; }
  rm -rf "$programs" "$scratch"
  return $status
}

# ------------------------------------------------------------------ the run

install_missing
stages=(fuzz sanitize)
[ "$cross" = 1 ] && stages+=(linux32 aarch64 s390x win64 win32 packages)
stages+=(native ordinary)
# STAGES="win32 packages" runs only those.
[ -n "${STAGES:-}" ] && read -r -a stages <<<"$STAGES"

[ "$cross" = 1 ] && trap stop_wine EXIT

summary=()
passed=0 failed=0 skipped=0
for name in "${stages[@]}"; do
  echo "== $name"
  start=$SECONDS
  skip_reason=""
  "stage_$name"
  case $? in
    0) result=passed passed=$((passed + 1)) ;;
    "$SKIPPED") result="skipped: $skip_reason" skipped=$((skipped + 1)) ;;
    *) result=FAILED failed=$((failed + 1)) ;;
  esac
  summary+=("$(printf '%-9s %s (%d s)' "$name" "$result" $((SECONDS - start)))")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
