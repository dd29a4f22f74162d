// Faults the program must survive: a full disk, a file-size limit, an
// interruption, an unwritable directory, inputs cut short at every length.
// Each ends with its one message and status 1 (or by the interrupting
// signal), leaves an existing output untouched and leaves no temporary file
// behind. Then what replacing an existing output keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifndef _WIN32
namespace {

const std::vector<uint8_t> OLD_OUTPUT = {'o', 'l', 'd'};

// Runs a framing that cannot be written and checks it fails cleanly: the
// old output and everything else in `out_dir` as before.
void expect_write_failure_is_clean(const fs::path& run_dir, const fs::path& out_dir,
                                   const std::string& args, const std::string& setup) {
  const fs::path old_output = out_dir / "204x204_framed.bmp";  // 150 x 130 frames on 204
  write_file(old_output.string(), OLD_OUTPUT);
  const std::set<std::string> before = names_in(out_dir);
  const run_result r = run_tool(run_dir, args, setup);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(old_output.string()), OLD_OUTPUT);
  EXPECT_EQ(names_in(out_dir), before);
}

}  // namespace

TEST(Faults, FileSizeLimitLeavesTheOldOutput) {
  const fs::path dir = fresh_dir();
  write_file((dir / "in.bmp").string(), build_bmp(pattern_picture(150, 130)));
  // 8 KiB allowed, 125 KiB needed; SIGXFSZ as a shell leaves it (fatal).
  expect_write_failure_is_clean(dir, dir, "-i in.bmp -o framed", "ulimit -f 16 && ");
}

TEST(Faults, EverySignalThatEndsTheRunLeavesTheOldOutput) {
  const fs::path dir = fresh_dir();
  write_file((dir / "in.bmp").string(), build_bmp(big_picture()));
  const fs::path output = dir / "3610x3610_big.bmp";
  const uint64_t size = 54u + 3610u * 10832u;
  // Sends `sig` while a run replacing the old output writes; a run that could
  // not be stopped before it had written everything is tried again.
  const auto interrupt = [&](int sig, const std::string& setup, const std::string& program) {
    int ended_by = NOT_SENT;
    for (int attempt = 0; attempt < 3 && ended_by == NOT_SENT; ++attempt) {
      write_file(output, OLD_OUTPUT);
      ended_by = run_tool_interrupted(dir, "-i in.bmp -o big", size, sig, setup, program);
    }
    return ended_by;
  };
  const auto expect_old_output_alone = [&](int sig) {
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "3610x3610_big.bmp"})) << sig;
    EXPECT_EQ(read_file(output), OLD_OUTPUT) << sig;
  };
  // Written through named temporary files: interruptions, limits, timers,
  // user signals, and those whose default action also dumps core.
  const int signals[] = {SIGTERM, SIGINT,  SIGHUP,  SIGQUIT, SIGXCPU, SIGALRM, SIGVTALRM,
                         SIGPROF, SIGUSR1, SIGUSR2, SIGSYS,  SIGTRAP, SIGABRT,
#ifdef SIGPOLL
                         SIGPOLL,
#endif
                         SIGRTMIN};
  for (int sig : signals) {
    EXPECT_EQ(interrupt(sig, "", tool_command(true)), sig) << strsignal(sig);
    expect_old_output_alone(sig);
  }
#ifdef __linux__
  // Written through a file without a name, even a kill no program can catch
  // (the out-of-memory killer's, a hard CPU-time limit's) leaves nothing.
  for (int sig : {SIGKILL, SIGTERM}) {
    EXPECT_EQ(interrupt(sig, "", tool_command()), sig) << strsignal(sig);
    expect_old_output_alone(sig);
  }
#endif
  // A signal the caller left ignored stays ignored: the run completes.
  EXPECT_EQ(interrupt(SIGUSR1, "trap '' USR1; ", tool_command(true)), 0);
  EXPECT_EQ(fs::file_size(output), size);
}

TEST(Faults, FullDiskLeavesTheOldOutput) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const fs::path dir = fresh_dir();
  const fs::path disk = dir / "disk";
  fs::create_directory(disk);
  if (std::system(("mount -t tmpfs -o size=64k tmpfs \"" + disk.string() + "\"").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  write_file((dir / "in.bmp").string(), build_bmp(pattern_picture(150, 130)));
  expect_write_failure_is_clean(disk, disk, "-i ../in.bmp -o framed", "");
  EXPECT_EQ(std::system(("umount \"" + disk.string() + "\"").c_str()), 0);
}

TEST(Faults, NoRoomForAnInPlaceWriteLeavesTheOldFileWhole) {
  // Written into the file itself (only the file, not its folder, may be
  // written): the room for the whole new picture is reserved first, so a
  // file-size limit or a full disk refuses the run before a byte of the old
  // file is overwritten.
  const fs::path dir = fresh_dir();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  write_file(dir / "in.bmp", build_bmp(pattern_picture(150, 130)));  // 125 KiB framed
  const std::vector<uint8_t> old_output(12000, 'o');
  const auto expect_refused_whole = [&](const fs::path& out_dir, const std::string& setup) {
    const fs::path output = out_dir / "204x204_framed.bmp";
    write_file(output, old_output);
    ASSERT_TRUE(give_to_ordinary_user(output));
    lock_folder(out_dir);
    const run_result r =
        run_tool(out_dir, "-i \"" + (dir / "in.bmp").string() + "\" -o framed", setup);
    unlock_folder(out_dir);
    EXPECT_EQ(r.status, 1) << setup;
    EXPECT_EQ(r.out, "output file write err!!\n") << setup;
    EXPECT_EQ(read_file(output), old_output) << setup;
  };
  fs::create_directory(dir / "limited");
  expect_refused_whole(dir / "limited", "ulimit -f 64 && " + as_ordinary_user());

  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const fs::path disk = dir / "disk";
  fs::create_directory(disk);
  if (std::system(("mount -t tmpfs -o size=64k tmpfs \"" + disk.string() + "\"").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  expect_refused_whole(disk, as_ordinary_user());
  EXPECT_EQ(std::system(("umount \"" + disk.string() + "\"").c_str()), 0);
}

#endif

TEST(Faults, InputCutAtEveryLengthIsRefusedUntilWhole) {
  // A later header with bit fields and a gap before the pixels, so that the
  // cut falls in every part of the file in turn.
  bmp_shape shape;
  shape.info_size = 108;
  shape.bitfields = true;
  shape.gap = 8;
  const std::vector<uint8_t> whole = build_bmp(pattern_picture(5, 3), shape);
  const fs::path dir = fresh_dir();
  // Until the header's size field, nothing shows that it is a BMP at all.
  constexpr size_t ACCEPTED_START = 18;
  for (size_t length = 0; length < whole.size(); ++length) {
    write_file((dir / "in.bmp").string(), {whole.begin(), whole.begin() + length});
    const run_result r = run_tool(dir, "-i in.bmp -o cut");
    ASSERT_EQ(r.status, 1) << length;
    ASSERT_EQ(r.out,
              length < ACCEPTED_START ? "input file format err!!\n" : "input file size err!!\n")
        << length;
    ASSERT_EQ(names_in(dir), std::set<std::string>{"in.bmp"}) << length;
  }
  write_file((dir / "in.bmp").string(), whole);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o cut").status, 0);
  EXPECT_EQ(read_file((dir / "10x10_cut.bmp").string()),
            framed_reference(pattern_picture(5, 3), 10, 2, 3));
}

#ifndef _WIN32
TEST(Faults, MessageToAClosedPipeStillEndsWithStatusOne) {
  const fs::path dir = fresh_dir();
  // The message goes to a pipe whose reader has gone already: it opened the
  // pipe and ended before the program starts.
  const std::string command = "cd \"" + dir.string() +
                              "\" && mkfifo pipe && { { exec 3<pipe; } & exec 4>pipe; wait; " +
                              tool_command() + " -i missing.bmp -o x >&4; echo $? >status; }";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file((dir / "status").string()), (std::vector<uint8_t>{'1', '\n'}));
}
#endif
