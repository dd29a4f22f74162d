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
# STAGES="win32 packages"; STAGES=native is the quick run). A name that is
# not a stage is refused with the list of stages. A test that runs for
# TEST_SECONDS (default 900) is stopped and fails.
#
# Every build folder is the test command's own, under build-tests/, and is
# configured with the settings its stage needs on every run: the folders a
# user makes by hand (build, build-win64, ...) are never touched.
#
# The packages the chosen stages need and lack are installed with apt-get:
# directly as root, through sudo otherwise (it says so first); where neither
# can be used without a password it prints the commands for root and stops.
# With everything installed it needs no privilege.
set -uo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-60}
SKIPPED=77 # a stage's status when it cannot run here
cross=${CROSS:-1}
top=$PWD

# ---------------------------------------------------------------- packages

# Every stage, in the order of a full run.
ALL_STAGES=(fuzz sanitize linux32 aarch64 s390x win64 win32 packages native ordinary)
CROSS_STAGES=" linux32 aarch64 s390x win64 win32 packages "

# What every suite needs: the native build and the checks against other
# decoders, the recipes and the traced runs, which each suite runs.
missing_for_suites() {
  command -v cmake >/dev/null || echo cmake
  command -v g++ >/dev/null || echo g++
  [ -f /usr/include/gtest/gtest.h ] || echo libgtest-dev
  /usr/bin/python3 -c 'import PIL' 2>/dev/null || echo python3-pil
  command -v identify >/dev/null || echo imagemagick
  command -v mandoc >/dev/null || echo mandoc
  command -v fusefat >/dev/null || echo fusefat
  [ -x /usr/sbin/mkfs.fat ] || echo dosfstools
  command -v djpeg >/dev/null || echo libjpeg-turbo-progs
  command -v strace >/dev/null || echo strace
}

# What the cross builds compile GoogleTest from.
missing_for_cross() {
  [ -d /usr/src/googletest ] || echo googletest
}

# What clang needs to build static programs for the Linux triple $2 (Debian's
# architecture $1): Debian's cross C and C++ libraries and binutils, not its
# gcc cross compilers, which would remove gcc-multilib.
missing_cross_libraries() {
  command -v clang++ >/dev/null || echo clang
  command -v "qemu-$3-static" >/dev/null || echo qemu-user-static
  [ -f "/usr/$2/lib/libc.a" ] || echo "libc6-dev-$1-cross"
  compgen -G "/usr/lib/gcc-cross/$2/*/libstdc++.a" >/dev/null || echo "libstdc++-12-dev-$1-cross"
  command -v "$2-ld" >/dev/null || echo "binutils-$2"
}

# The mingw-w64 cross compiler for processor $1 (x86-64 or i686), and what
# makes the manual a web page for the Windows zip.
missing_mingw() {
  command -v "${1/-/_}-w64-mingw32-g++-posix" >/dev/null || echo "g++-mingw-w64-$1"
  command -v mandoc >/dev/null || echo mandoc
}

missing_wine() {
  [ -x /usr/lib/wine/wine64 ] || echo wine64
  [ -f /usr/share/i18n/locales/ja_JP ] || echo locales
}

# The packages stage $1 needs and this machine lacks, one a line.
missing_for_stage() {
  case $1 in
    fuzz)
      command -v cmake >/dev/null || echo cmake
      command -v clang++ >/dev/null || echo clang
      [ -n "$(find /usr/lib/llvm-* -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
        echo libclang-rt-dev
      ;;
    sanitize | native | ordinary) missing_for_suites ;;
    linux32)
      missing_for_suites
      missing_for_cross
      command -v qemu-i386-static >/dev/null || echo qemu-user-static
      # The 32-bit build's asm headers, C library and C++ library. The gcc
      # cross compilers remove gcc-multilib, and with it /usr/include/asm,
      # leaving the rest: this asks for it again.
      [ -f /usr/include/asm/errno.h ] && [ -f /usr/lib32/libc.a ] &&
        [ -f "$(g++ -m32 -print-file-name=libstdc++.a 2>/dev/null)" ] || echo g++-multilib
      ;;
    aarch64) missing_for_suites; missing_for_cross; missing_cross_libraries arm64 aarch64-linux-gnu aarch64 ;;
    s390x) missing_for_suites; missing_for_cross; missing_cross_libraries s390x s390x-linux-gnu s390x ;;
    win64) missing_for_suites; missing_for_cross; missing_mingw x86-64; missing_wine ;;
    win32)
      missing_for_suites
      missing_for_cross
      missing_mingw i686
      missing_wine
      # The probe for 32-bit programs is a static C program.
      [ -f /usr/lib32/libc.a ] || echo g++-multilib
      [ -f /usr/i686-w64-mingw32/lib/zlib1.dll ] || echo libz-mingw-w64
      ;;
    packages)
      missing_for_suites
      missing_mingw i686
      missing_mingw x86-64
      command -v dpkg-shlibdeps >/dev/null || echo dpkg-dev
      command -v lintian >/dev/null || echo lintian
      ;;
  esac
}

# Wine's 32-bit Windows libraries come from Debian's i386 architecture, unless
# the system has them already (package wine32).
needs_i386() {
  [[ " ${stages[*]} " == *" win32 "* ]] && [ ! -f "$system_wine32/i386-windows/kernel32.dll" ] &&
    ! dpkg --print-foreign-architectures | grep -qx i386
}

# The commands that install what the chosen stages lack, one a line.
install_steps() {
  local packages=$1
  needs_i386 && echo "dpkg --add-architecture i386"
  echo "apt-get update -qq"
  [ -n "$packages" ] && echo "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages"
}

install_missing() {
  local packages name
  packages=$(for name in "${stages[@]}"; do missing_for_stage "$name"; done | sort -u | tr '\n' ' ')
  packages=${packages% }
  needs_i386 || [ -n "$packages" ] || return 0
  local steps=()
  mapfile -t steps < <(install_steps "$packages")
  local sudo=""
  if [ "$(id -u)" != 0 ]; then
    # sudo that would ask for a password, or refuse, cannot be used here.
    if ! command -v sudo >/dev/null || ! sudo -n true 2>/dev/null; then
      echo "Missing: ${packages:-the i386 architecture}. Run as root, then run this again:"
      printf '  %s\n' "${steps[@]}"
      exit 2
    fi
    echo "installing through sudo: ${packages:-the i386 architecture}"
    sudo="sudo -n"
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

# The test command's own build folders, one a stage (or a build stages share).
builds=build-tests

# Configures the build folder $builds/$1 with the tests and the settings given,
# on every run, whatever an earlier run or version left in it.
configure() {
  local dir=$builds/$1
  shift
  cmake -S . -B "$dir" -DVANDREL_TESTS=ON "$@" >/dev/null
}

# Builds quietly; on failure shows why.
build() {
  cmake --build "$builds/$1" -j2 "${@:2}" >/dev/null 2>&1 || cmake --build "$builds/$1" "${@:2}"
}

# No test takes minutes even under an emulator on a loaded machine: one that
# runs for test_seconds has hung, and fails, so that the run goes on.
test_seconds=${TEST_SECONDS:-900}

suite() {
  ctest --test-dir "$builds/$1" --output-on-failure --no-tests=error --timeout "$test_seconds"
}

stage_fuzz() {
  configure fuzz -DCMAKE_CXX_COMPILER=clang++ -DVANDREL_FUZZ=ON -DVANDREL_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo && build fuzz --target vandrel_fuzz || return 1
  local found log
  found=$(mktemp -d) && log=$(mktemp) || return 1
  # New inputs go to the first folder; the seeds in fuzz/corpus stay as they are.
  "$builds/fuzz/vandrel_fuzz" -max_total_time="$fuzz_seconds" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$builds/fuzz/" "$found" fuzz/corpus >"$log" 2>&1
  local status=$?
  if [ $status = 0 ]; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log"
  else
    tail -n 60 "$log"
    echo "the fuzzer found a failing input; it is in $builds/fuzz/"
  fi
  rm -rf "$found" "$log"
  return $status
}

stage_sanitize() {
  configure sanitize -DVANDREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    build sanitize && suite sanitize
}

# The 32-bit program asks the processor whether it has SSE2 and moves pixels
# with the SSE2 blocks or the portable ones: the suite runs under qemu's
# "max" processor, which has SSE2, then under "pentium2", which has none and
# on which qemu stops at any SSE2 instruction, so that run also shows that
# none lies outside the SSE2 blocks.
stage_linux32() {
  configure linux32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake -DVANDREL_PORTABLE=OFF &&
    build linux32 &&
    QEMU_CPU=max VANDREL_EXPECTED_BLOCKS=sse2 suite linux32 &&
    QEMU_CPU=pentium2 VANDREL_EXPECTED_BLOCKS=portable suite linux32
}

stage_aarch64() {
  configure aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake && build aarch64 &&
    suite aarch64
}

# Whether the ELF program $1 stores its words big-endian (byte 5 of the
# header is 2), as the s390x stage's programs must for it to test anything
# the others do not.
is_big_endian() {
  [ "$(od -An -tu1 -j5 -N1 "$1" | tr -d ' ')" = 2 ] || { echo "$1 is not big-endian"; return 1; }
}

stage_s390x() {
  configure s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake && build s390x &&
    is_big_endian "$builds/s390x/vandrel" && is_big_endian "$builds/s390x/tests/vandrel_tests" &&
    suite s390x
}

# One Wine prefix of the project's own, initialised, with a persistent
# wineserver started before any test, detached from this script's output
# (Wine's services outlive the programs that start them). wine64 runs the
# 32-bit program too once Wine's 32-bit Windows libraries are on WINEDLLPATH:
# the system's own where package wine32 is installed, otherwise Debian's
# libwine:i386 unpacked here (not installed), only the part Wine loads.
wine_home=$top/$builds/wine
system_wine32=/usr/lib/i386-linux-gnu/wine
if [ -f "$system_wine32/i386-windows/kernel32.dll" ]; then
  wine32_dlls=$system_wine32
else
  wine32_dlls=$wine_home/i386/usr/lib/i386-linux-gnu/wine
fi
export WINEPREFIX=$wine_home/prefix WINEDLLPATH=$wine32_dlls
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 # Wine then maps file names between UTF-8 and code page 1252

# Fetches Wine's 32-bit Windows libraries once, where the system has none.
fetch_wine32() {
  [ -f "$wine32_dlls/i386-windows/kernel32.dll" ] && [ -f "$wine32_dlls/i386-windows/zlib1.dll" ] &&
    return 0
  [ "$wine32_dlls" = "$system_wine32" ] &&
    { echo "$system_wine32 has no zlib1.dll (package libz-mingw-w64)"; return 1; }
  local version unpacked=$wine_home/i386
  version=$(dpkg-query -W -f '${Version}' "libwine:$(dpkg --print-architecture)") || return 1
  rm -rf "$unpacked" && mkdir -p "$unpacked" &&
    (cd "$unpacked" && apt-get download -q "libwine:i386=$version" >/dev/null 2>&1 &&
      dpkg -x libwine_*_i386.deb . && rm -r libwine_*_i386.deb usr/share) &&
    cp /usr/i686-w64-mingw32/lib/zlib1.dll "$wine32_dlls/i386-windows/"
}

# Makes sure the prefix is initialised and its server running (it may have
# been stopped since), before a Windows stage runs anything. The argument is
# the prefix's system folder the stage's programs need: system32 for 64-bit
# programs, syswow64 for 32-bit ones, which only a kernel that runs 32-bit
# code can set up.
start_wine() {
  if [ "$1" = syswow64 ]; then
    fetch_wine32 || { echo "could not fetch libwine:i386"; return 1; }
  fi
  boot_wine "$1" || { echo "wine prefix not initialised: no $1; Wine said:"; tail -n 40 "$wine_home/boot.log"; return 1; }
  share_wine_libraries system32 /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  share_wine_libraries syswow64 "$wine32_dlls/i386-windows"
}

# Starts the persistent server and initialises the prefix, with Wine's own
# errors in boot.log (a file: Wine's services, which outlive this, must hold
# no pipe of the script's); true when the system folder $1 is there, as a
# broken set-up can still exit 0.
boot_wine() {
  mkdir -p "$WINEPREFIX" &&
    WINEDEBUG=err+all setsid sh -c '/usr/lib/wine/wineserver -p; "$0" wineboot -i' \
      "$top/cmake/wine64-fixed-layout.sh" </dev/null >"$wine_home/boot.log" 2>&1
  [ -f "$WINEPREFIX/drive_c/windows/$1/kernel32.dll" ]
}

# Wine copies each of its libraries into the prefix's system folder $1, some
# 700 MB a folder: each copy still the same as its original in $2 becomes a
# hard link to it, where the file system and the user may link them
# (elsewhere the copies stay); renamed into place, so that no program Wine
# starts meanwhile finds one missing.
share_wine_libraries() {
  local copy original
  [ -d "$2" ] || return 0
  while IFS= read -r -d '' copy; do
    original=$2/${copy##*/}
    [ -f "$original" ] && cmp -s "$copy" "$original" &&
      ln -f "$original" "$copy.shared" 2>/dev/null && mv -f "$copy.shared" "$copy"
  done < <(find "$WINEPREFIX/drive_c/windows/$1" -maxdepth 1 -type f -links 1 -print0 2>/dev/null)
  return 0
}

# Stops the prefix's server, waiting for it to end, and removes the folder
# Debian's Wine made for it in the temporary directory (its name is in the
# prefix's file wineserver), which Wine itself leaves behind.
stop_wine() {
  [ -d "$WINEPREFIX" ] || return 0
  /usr/lib/wine/wineserver -k 2>/dev/null
  timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null
  local name
  name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null)
  [[ $name == wine-?????? ]] && rm -rf "${TMPDIR:-/tmp}/$name"
  return 0
}

build_win64() {
  configure win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake && build win64
}

build_win32() {
  configure win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake && build win32
}

stage_win64() {
  build_win64 && start_wine system32 && suite win64
}

# Whether this kernel runs 32-bit x86 programs: some kernels are built
# without, or boot with ia32_emulation=false, and then Wine cannot run 32-bit
# Windows programs either. Decided by running a small static 32-bit program:
# 0 when it runs, SKIPPED when the kernel refuses to execute it, 1 otherwise.
kernel_runs_32bit() {
  local probe=$builds/win32/runs-32bit
  printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$probe" ||
    { echo "could not build the 32-bit probe"; return 1; }
  local output status
  output=$("$probe" 2>&1)
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
  start_wine syswow64 && VANDREL_EXPECTED_BLOCKS=sse2 suite win32
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

# Packs the Windows build in folder $1 for processor $2 and checks the zip:
# the licence, the manual as a web page, and the folder's batch file as the
# README shows it, with Windows line ends.
pack_zip() {
  local zip help
  (cd "$1" && cpack >/dev/null) && zip=$(ls "$1"/vandrel-*-windows-"$2".zip) && echo "$zip" &&
    { zip_licence "$zip" | is_licence || { echo "no licence in $zip"; return 1; }; } &&
    help=$(mktemp -d) || return 1
  /usr/bin/python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for n in z.namelist():
    if n.endswith(("/vandrel.html", "/frame-all.cmd")):
        open(sys.argv[2] + n[n.rindex("/"):], "wb").write(z.read(n))' "$zip" "$help" &&
    { grep -q '<h1 class="Sh" id="EXIT_STATUS">' "$help/vandrel.html" ||
      { echo "no readable manual (vandrel.html) in $zip"; false; }; } &&
    { sed 's/$/\r/' doc/frame-all.cmd | cmp -s - "$help/frame-all.cmd" ||
      { echo "no frame-all.cmd as doc/frame-all.cmd, with Windows line ends, in $zip"; false; }; }
  local status=$?
  rm -rf "$help"
  return $status
}

# Packs what the Windows stages built, building it first when they have not
# (a build needs no Wine and no 32-bit kernel support).
stage_packages() {
  local installed
  installed=$(mktemp -d) || return 1
  build_win32 && pack_zip "$builds/win32" i686 &&
    /usr/bin/python3 tests/large_address_aware.py "$builds"/win32/vandrel-*-windows-i686.zip &&
    build_win64 && pack_zip "$builds/win64" x86_64 &&
    configure native && build native &&
    cmake --install "$builds/native" --prefix "$installed" >/dev/null &&
    test -f "$installed/share/man/man1/vandrel.1.gz" &&
    is_licence <"$installed/share/doc/vandrel/copyright" &&
    "$installed/bin/vandrel" 2>&1 | head -n 1 &&
    (cd "$builds/native" && cpack >/dev/null && ls vandrel_*.deb && lintian --fail-on error vandrel_*.deb &&
      # No hardening tag, even among the pedantic ones: fortified functions,
      # stack protector, full RELRO, immediate binding, PIE.
      { ! lintian --pedantic --display-info vandrel_*.deb | grep 'hardening-'; } &&
      dpkg-deb --fsys-tarfile vandrel_*.deb | tar -xO ./usr/share/doc/vandrel/copyright | is_licence)
  local status=$?
  rm -rf "$installed"
  return $status
}

stage_native() {
  configure native && build native && suite native
}

# Permissions bind an ordinary user, not root: a test that passes only as root
# shows here. The programs are copied to a folder the user can reach wherever
# the clone lives; the tests' temporary folder must be empty at the end.
stage_ordinary() {
  if [ "$(id -u)" != 0 ]; then
    skip_reason="the other stages ran as an ordinary user already ($(id -un))"
    return $SKIPPED
  fi
  configure native && build native || return 1
  local programs scratch status left
  programs=$(mktemp -d) && scratch=$(mktemp -d) || return 1
  chmod 755 "$programs" && chmod 1777 "$scratch" &&
    cp "$builds"/native/{vandrel,vandrel_named_temp,vandrel_posix_only,tests/vandrel_tests,tests/librefuse_allocation.so} \
      "$programs/" &&
    (cd "$scratch" && timeout -k 10 "$test_seconds" \
      setpriv --reuid=65534 --regid=65534 --clear-groups \
      env HOME="$scratch" TMPDIR="$scratch" VANDREL_PROGRAMS="$programs" \
      "$programs/vandrel_tests" --gtest_brief=1)
  status=$?
  left=$(ls -A "$scratch")
  [ -z "$left" ] || { echo "left in the temporary folder: $left"; status=1; }
  rm -rf "$programs" "$scratch"
  return $status
}

# ------------------------------------------------------------------ the run

stages=()
for name in "${ALL_STAGES[@]}"; do
  [ "$cross" = 1 ] || [[ $CROSS_STAGES != *" $name "* ]] && stages+=("$name")
done
# STAGES="win32 packages" runs only those.
if [ -n "${STAGES:-}" ]; then
  read -r -a stages <<<"$STAGES"
  for name in "${stages[@]}"; do
    [[ " ${ALL_STAGES[*]} " == *" $name "* ]] ||
      { echo "no stage named '$name'; the stages: ${ALL_STAGES[*]}"; exit 2; }
  done
fi
install_missing

[[ " ${stages[*]} " == *" win"* ]] && trap stop_wine EXIT

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
