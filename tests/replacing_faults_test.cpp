// Replacing an output when things go wrong around it: runs writing one file
// in place at once, the name swapped for something else while a run works,
// a flush that fails, no locks, no owners, a kill at the end, an allocation
// refused once the new file exists. POSIX
// only; the cases that need strace or a preloaded library say so where they
// cannot run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace fs = std::filesystem;

namespace {

const test_picture SMALL = pattern_picture(4, 3);  // framed on 10 x 10 at (3, 3)
const std::vector<uint8_t> OLD_OUTPUT = {'o', 'l', 'd'};

// A folder holding in.bmp, the small picture, and an old 10x10_framed.bmp.
fs::path folder_with_old_output() {
  const fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(SMALL));
  write_file(dir / "10x10_framed.bmp", OLD_OUTPUT);
  return dir;
}

// The program run under strace; a sanitizer's leak check, which cannot work
// under a tracer, is left out.
const char* const STRACE = "env ASAN_OPTIONS=detect_leaks=0 strace -f -qq ";

// Why the program cannot be run under strace here, or "" when it can.
std::string strace_problem() {
  if (std::string(VANDREL_RUNNER).size() > 0) return "strace would trace the emulator";
  if (std::system("strace -f -qq -o /dev/null true 2>/dev/null") != 0) {
    return "strace is missing or may not trace here";
  }
  return "";
}

// Runs the program in `dir` under strace with `options`; what strace
// reports goes to the result's standard error.
run_result run_traced(const fs::path& dir, const std::string& options,
                      const std::string& user = "") {
  return run_tool(dir, "-i in.bmp -o framed", user + STRACE + options + " ");
}

// The line of `trace` at which `call` is first made; npos when never.
size_t first_call(const std::string& trace, const std::string& call) {
  const size_t at = trace.find(call + "(");
  return at == std::string::npos
             ? at
             : static_cast<size_t>(std::count(trace.begin(), trace.begin() + at, '\n'));
}

}  // namespace

TEST(ReplacingFaults, RunsWritingOneFileInPlaceTakeTurns) {
  const fs::path dir = fresh_dir();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  // Four pictures of one size, framed on 2446 x 2446 at (223, 523): about
  // 18 MB each, many writes.
  std::vector<std::vector<uint8_t>> framed;
  for (int k = 0; k < 4; ++k) {
    test_picture picture = pattern_picture(2000, 1400);
    for (uint8_t& sample : picture.bgr) sample = static_cast<uint8_t>(sample ^ (k * 37));
    write_file(dir / ("in" + std::to_string(k) + ".bmp"), build_bmp(picture));
    framed.push_back(framed_reference(picture, 2446, 223, 523));
  }
  const fs::path output = dir / "2446x2446_framed.bmp";
  write_file(output, OLD_OUTPUT);
  ASSERT_TRUE(give_to_ordinary_user(output));
  lock_folder(dir);  // so the runs write into the file itself
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> args;
    for (int k = 0; k < 4; ++k) args.push_back("-i in" + std::to_string(k) + ".bmp -o framed");
    const std::vector<run_result> results = run_tools_at_once(dir, args, as_ordinary_user());
    for (const run_result& r : results) EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<uint8_t> result = read_file(output);
    EXPECT_NE(std::find(framed.begin(), framed.end(), result), framed.end()) << round;
  }
  unlock_folder(dir);
}

TEST(ReplacingFaults, ReplacedFileIsFlushedFirstAndAFailedFlushKeepsIt) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string calls = "-e trace=fsync,fdatasync,ftruncate,rename,renameat,renameat2";
  // A new output, where nothing can be lost: not flushed.
  fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(SMALL));
  run_result r = run_traced(dir, calls);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(first_call(r.err, "fsync"), std::string::npos) << r.err;

  // A replacement: flushed before the rename.
  r = run_traced(dir, calls);
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(first_call(r.err, "fsync"), first_call(r.err, "rename")) << r.err;

  // A flush that fails: the run fails and the old file stays.
  dir = folder_with_old_output();
  r = run_traced(dir, "-o /dev/null -e inject=fsync:error=EIO");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file(dir / "10x10_framed.bmp"), OLD_OUTPUT);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));

  // Written in place over a longer file: cut to length, then flushed, so
  // that the cut reaches the disk too.
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  write_file(dir / "10x10_framed.bmp", std::vector<uint8_t>(2000, 'o'));
  ASSERT_TRUE(give_to_ordinary_user(dir / "10x10_framed.bmp"));
  lock_folder(dir);
  r = run_traced(dir, calls, as_ordinary_user());
  unlock_folder(dir);
  EXPECT_EQ(r.status, 0);
  ASSERT_NE(first_call(r.err, "ftruncate"), std::string::npos) << r.err;
  EXPECT_LT(first_call(r.err, "ftruncate"), first_call(r.err, "fsync")) << r.err;
  EXPECT_EQ(read_file(dir / "10x10_framed.bmp"), framed_reference(SMALL, 10, 3, 3));
}

namespace {

// Makes `dir` a folder where the program may only write the old output in
// place: the file the ordinary user's, the folder locked (unlock_folder
// opens it again).
void lock_in_place(const fs::path& dir, const std::vector<uint8_t>& old_output) {
  write_file(dir / "10x10_framed.bmp", old_output);
  ASSERT_TRUE(give_to_ordinary_user(dir / "10x10_framed.bmp"));
  lock_folder(dir);
}

}  // namespace

TEST(ReplacingFaults, InPlaceWritesGoOnWhereTheFileSystemHasNoLocks) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path dir = folder_with_old_output();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  // NFSv3 without its lock service: no lock, but the file may be written.
  lock_in_place(dir, OLD_OUTPUT);
  const run_result r =
      run_traced(dir, "-o /dev/null -e inject=flock:error=ENOLCK", as_ordinary_user());
  unlock_folder(dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir / "10x10_framed.bmp"), framed_reference(SMALL, 10, 3, 3));
}

TEST(ReplacingFaults, FileSystemWithoutOwnersStillGetsANewFile) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  // FAT through FUSE refuses to set owners and modes at all (ENOSYS, EPERM),
  // even to what a new file shows already: that file is still exactly the
  // old one, and renamed over it.
  const fs::path dir = folder_with_old_output();
  const fs::path output = dir / "10x10_framed.bmp";
  ASSERT_EQ(chmod(output.c_str(), 0600), 0);
  struct stat before;
  ASSERT_EQ(stat(output.c_str(), &before), 0);
  run_result r =
      run_traced(dir, "-o /dev/null -e inject=fchown:error=ENOSYS -e inject=fchmod:error=EPERM");
  EXPECT_EQ(r.status, 0) << r.out;
  struct stat after;
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  // Where the new file does not show the old mode, it is not the old one:
  // the picture goes into the old file.
  ASSERT_EQ(chmod(output.c_str(), 0644), 0);
  r = run_traced(dir, "-o /dev/null -e inject=fchmod:error=EPERM");
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(stat(output.c_str(), &before), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mode & 07777, 0644u);
  // Written in place at its own length, the file is not cut, which that file
  // system would refuse.
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  lock_in_place(dir, std::vector<uint8_t>(framed_reference(SMALL, 10, 3, 3).size(), 'o'));
  r = run_traced(dir, "-o /dev/null -e inject=ftruncate:error=EPERM", as_ordinary_user());
  unlock_folder(dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
}

TEST(ReplacingFaults, RefusedLinkOfTheUnnamedFileGoesThroughANamedOne) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  // The system refuses to name the unnamed file however asked (a security
  // module, say): the picture is copied to a named temporary file, which is
  // renamed into place, for a new output and for a replacement alike.
  const fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(SMALL));
  const fs::path output = dir / "10x10_framed.bmp";
  for (const bool existed : {false, true}) {
    if (existed) {
      ASSERT_EQ(chmod(output.c_str(), 0640), 0);
    }
    const run_result r = run_traced(dir, "-o /dev/null -e inject=linkat:error=EPERM");
    EXPECT_EQ(r.status, 0) << existed << r.out;
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3)) << existed;
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"})) << existed;
  }
  struct stat after;
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
}

TEST(ReplacingFaults, KillOnceThePictureIsCompleteLeavesNoTemporaryName) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  // A new output is linked straight to its name: no rename, and a kill at
  // any step leaves nothing but, at the end, the whole picture.
  for (const std::string calls : {"linkat", "rename,renameat,renameat2", "close"}) {
    for (const int when : {1, 2, 3}) {
      const fs::path dir = fresh_dir();
      write_file(dir / "in.bmp", build_bmp(SMALL));
      run_traced(dir,
                 "-o /dev/null -e inject=" + calls + ":signal=KILL:when=" + std::to_string(when));
      std::set<std::string> names = names_in(dir);
      EXPECT_EQ(names.erase("in.bmp"), 1u);
      if (names.erase("10x10_framed.bmp") == 1) {
        EXPECT_EQ(read_file(dir / "10x10_framed.bmp"), framed_reference(SMALL, 10, 3, 3));
      }
      EXPECT_EQ(names, std::set<std::string>{}) << calls << " " << when;
    }
  }
}

#ifdef __linux__
// Opening files made slow (200 ms each), so that a test can change the
// output's name between two steps of a run.
const std::string SLOW_OPENS =
    std::string(STRACE) + "-o /dev/null -e inject=openat:delay_exit=200000 ";

namespace {

// Runs the program in `dir` under strace, which stops it with SIGSTOP at
// its first `call`; runs `change` meanwhile, then lets it go on. Returns
// its exit status; ADD_FAILURE when it never stopped.
template <typename action>
int run_changing_at(const fs::path& dir, const std::string& call, action change) {
  const fs::path trace = dir.parent_path() / (dir.filename().string() + ".trace");
  fs::remove(trace);  // an earlier run's
  const pid_t run =
      start_tool(dir, "-i in.bmp -o framed >/dev/null", "",
                 std::string(STRACE) + "-o \"" + trace.string() + "\" -e trace=" + call +
                     " -e inject=" + call + ":signal=STOP:when=1 " + tool_command());
  const pid_t stopped = wait_until_stopped(run, trace);
  if (stopped < 0) ADD_FAILURE() << "the run never stopped at " << call;
  change();
  if (stopped >= 0) kill(stopped, SIGCONT);
  return wait_tool(run, 60);
}

}  // namespace

TEST(ReplacingFaults, RulesAreReadFromTheFileCheckedWhateverTakesItsName) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path dir = folder_with_old_output();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(dir / "secret", {'s'});
  if (setxattr(output.c_str(), "user.album", "summer", 6, 0) != 0 ||
      setxattr((dir / "secret").c_str(), "user.secret", "key", 3, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes";
  }
  // Before the run puts its picture in place, the name leads to another
  // file through a link, which may not be replaced: the run fails, and
  // neither file is touched.
  const int status = run_changing_at(dir, "fsync", [&] {
    fs::rename(output, dir / "moved.bmp");
    fs::create_symlink("secret", output);
  });
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(fs::is_symlink(output));
  EXPECT_EQ(read_file(dir / "secret"), std::vector<uint8_t>{'s'});
  EXPECT_EQ(read_file(dir / "moved.bmp"), OLD_OUTPUT);
  EXPECT_EQ(names_in(dir),
            (std::set<std::string>{"in.bmp", "10x10_framed.bmp", "moved.bmp", "secret"}));
}

TEST(ReplacingFaults, FileSavedAtTheNameDuringTheRunKeepsItsRules) {
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  // An editor saves a private file at the name while the run writes: the
  // picture takes that file's rules, not those of the file checked (an
  // existing output) or of a new file (a free name).
  for (const bool existed : {true, false}) {
    const fs::path dir = existed ? folder_with_old_output() : fresh_dir();
    write_file(dir / "in.bmp", build_bmp(SMALL));
    const fs::path output = dir / "10x10_framed.bmp";
    if (existed) {
      ASSERT_EQ(chmod(output.c_str(), 0666), 0);
    }
    const fs::path saved = dir / "saved";
    write_file(saved, {'m', 'i', 'n', 'e'});
    ASSERT_EQ(chmod(saved.c_str(), 0600), 0);
    if (setxattr(saved.c_str(), "user.secret", "key", 3, 0) != 0) {
      GTEST_SKIP() << "this file system keeps no user attributes";
    }
    const int status =
        run_changing_at(dir, existed ? "fsync" : "write", [&] { fs::rename(saved, output); });
    EXPECT_EQ(status, 0) << existed;
    struct stat after;
    ASSERT_EQ(stat(output.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0600u) << existed;
    EXPECT_EQ(attribute(output, "user.secret"), (std::vector<uint8_t>{'k', 'e', 'y'})) << existed;
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3)) << existed;
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"})) << existed;
  }
}

TEST(ReplacingFaults, InPlaceWriteReachesTheFileCheckedWhateverTakesItsName) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a folder the program may not write needs root";
  const std::string why = strace_problem();
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path dir = folder_with_old_output();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  const fs::path output = dir / "10x10_framed.bmp";
  ASSERT_TRUE(give_to_ordinary_user(output));
  lock_folder(dir);  // so the run writes into the file itself
  // Once the run has the output open, its name leads to a FIFO, which an
  // open by name would wait on for ever.
  const pid_t run =
      start_tool(dir, "-i in.bmp -o framed", "", as_ordinary_user() + SLOW_OPENS + tool_command());
  ASSERT_TRUE(wait_until_open(run, output));
  fs::rename(output, dir / "moved.bmp");
  ASSERT_EQ(mkfifo(output.c_str(), 0666), 0);
  EXPECT_EQ(wait_tool(run, 30), 0);
  unlock_folder(dir);
  EXPECT_TRUE(fs::is_fifo(output));
  EXPECT_EQ(read_file(dir / "moved.bmp"), framed_reference(SMALL, 10, 3, 3));
}
#endif

TEST(ReplacingFaults, RefusedAllocationLeavesNoFileBehind) {
#ifndef VANDREL_REFUSE_ALLOCATION
  GTEST_SKIP() << "refusing one allocation takes a native build without sanitizers";
#else
  const fs::path dir = folder_with_old_output();
  const fs::path output = dir / "10x10_framed.bmp";
  // Copying this attribute asks for its 3001 bytes once the new file exists.
  const std::string value(3001, 'v');
  if (setxattr(output.c_str(), "user.big", value.data(), value.size(), 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes";
  }
  const std::string refuse = "LD_PRELOAD=\"" + built_file(VANDREL_REFUSE_ALLOCATION) +
                             "\" VANDREL_TEST_REFUSED_SIZE=3001 ";
  for (bool named_temp_files : {false, true}) {
    const run_result r =
        run_tool(dir, "-i in.bmp -o framed", refuse, tool_command(named_temp_files));
    EXPECT_EQ(r.status, 1) << named_temp_files;
    EXPECT_EQ(r.out, "memory alloc err!!\n") << named_temp_files;
    EXPECT_EQ(read_file(output), OLD_OUTPUT) << named_temp_files;
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
  }
#endif
}
#endif
