// Faults the program must survive: a full disk, a file-size limit, an
// interruption, an unwritable directory, inputs cut short at every length.
// Each ends with its one message and status 1 (or by the interrupting
// signal), leaves an existing output untouched and leaves no temporary file
// behind. Then what replacing an existing output keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifdef _WIN32
#include <windows.h>
#else
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

TEST(Faults, InterruptionDuringTheWriteLeavesTheOldOutput) {
  const fs::path dir = fresh_dir();
  test_picture big = pattern_picture(0, 0);
  big.width = 3000;  // framed on 3612 x 3612: about 39 MB to write
  big.height = 2000;
  big.bgr.assign(3000 * 2000 * 3, 7);
  write_file((dir / "in.bmp").string(), build_bmp(big));
  write_file((dir / "3612x3612_big.bmp").string(), OLD_OUTPUT);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    EXPECT_EQ(run_tool_interrupted(dir, "-i in.bmp -o big", sig), sig);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "3612x3612_big.bmp"})) << sig;
    EXPECT_EQ(read_file((dir / "3612x3612_big.bmp").string()), OLD_OUTPUT) << sig;
  }
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

TEST(Faults, UnwritableDirectoryLeavesNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
  const fs::path dir = fresh_dir();
  fs::create_directory(dir / "locked");
  write_file((dir / "in.bmp").string(), build_bmp(pattern_picture(150, 130)));
  write_file((dir / "locked" / "204x204_framed.bmp").string(), OLD_OUTPUT);
  fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  const run_result r = run_tool(dir / "locked", "-i ../in.bmp -o framed");
  fs::permissions(dir / "locked", fs::perms::owner_all);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file((dir / "locked" / "204x204_framed.bmp").string()), OLD_OUTPUT);
  EXPECT_EQ(names_in(dir / "locked"), std::set<std::string>{"204x204_framed.bmp"});
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
  for (size_t length = 0; length < whole.size(); ++length) {
    write_file((dir / "in.bmp").string(), {whole.begin(), whole.begin() + length});
    const run_result r = run_tool(dir, "-i in.bmp -o cut");
    ASSERT_EQ(r.status, 1) << length;
    ASSERT_EQ(r.out, "input file size err!!\n") << length;
    ASSERT_EQ(names_in(dir), std::set<std::string>{"in.bmp"}) << length;
  }
  write_file((dir / "in.bmp").string(), whole);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o cut").status, 0);
  EXPECT_EQ(read_file((dir / "10x10_cut.bmp").string()),
            framed_reference(pattern_picture(5, 3), 10, 2, 3));
}

// Replacing an existing output behaves like writing into it would have,
// while the old content stays whole until the new file is complete.
namespace {

const test_picture SMALL = pattern_picture(4, 3);  // framed on 10 x 10 at (3, 3)

// A folder holding in.bmp, the small picture.
fs::path folder_with_input() {
  const fs::path dir = fresh_dir();
  write_file((dir / "in.bmp").string(), build_bmp(SMALL));
  return dir;
}

}  // namespace

TEST(Replacing, ConcurrentRunsToOneNameLeaveOneCompleteFile) {
  const fs::path dir = folder_with_input();
  write_file((dir / "10x10_framed.bmp").string(), {'o', 'l', 'd'});
  std::vector<run_result> results(8);
  std::vector<std::thread> runs;
  for (run_result& r : results) {
    runs.emplace_back([&dir, &r] { r = run_tool(dir, "-i in.bmp -o framed"); });
  }
  for (std::thread& t : runs) t.join();
  for (const run_result& r : results) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
  EXPECT_EQ(read_file((dir / "10x10_framed.bmp").string()), framed_reference(SMALL, 10, 3, 3));
}

TEST(Replacing, NameOutsideAsciiIsReadAndReplaced) {
  // The names are built as narrow text, as a user's console passes them.
#ifdef _WIN32
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, not " << GetACP();
  const std::string name = "\x80";  // the euro sign in code page 1252
#else
  const std::string name = "\xe2\x82\xac";  // the euro sign in UTF-8
#endif
  const fs::path dir = fresh_dir();
  write_file(dir.string() + "/" + name + ".bmp", build_bmp(SMALL));
  const std::string output = dir.string() + "/10x10_" + name + ".bmp";
  write_file(output, {'o', 'l', 'd'});
  for (int run = 0; run < 2; ++run) {
    const run_result r = run_tool(dir, "-i \"" + name + ".bmp\" -o \"" + name + "\"");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  }
}

TEST(Replacing, ReadOnlyOutputIsRefusedUntouched) {
#ifndef _WIN32
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
#endif
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output.string(), {'o', 'l', 'd'});
  fs::permissions(output, fs::perms::owner_read);
  const run_result r = run_tool(dir, "-i in.bmp -o framed");
  fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file(output.string()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
}

#ifndef _WIN32
TEST(Replacing, PermissionBitsAndOwnerAreKept) {
  const fs::path dir = folder_with_input();
  const std::string output = (dir / "10x10_framed.bmp").string();
  const bool root = geteuid() == 0;
  for (mode_t mode : {0600, 0640, 0664}) {
    write_file(output, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(output.c_str(), mode), 0);
    if (root) {
      ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);  // another user's
    }
    EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
    struct stat st;
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, root ? 65534 : geteuid());
    if (root) {
      EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  }
}

TEST(Replacing, SymbolicLinkStaysAndItsTargetIsReplaced) {
  const fs::path dir = folder_with_input();
  fs::create_directory(dir / "real");
  write_file((dir / "real" / "pic.bmp").string(), {'o', 'l', 'd'});
  fs::create_symlink("real/pic.bmp", dir / "10x10_link.bmp");
  fs::create_symlink("real/new.bmp", dir / "10x10_dangling.bmp");
  fs::create_symlink("nowhere/new.bmp", dir / "10x10_nowhere.bmp");

  EXPECT_EQ(run_tool(dir, "-i in.bmp -o link").status, 0);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o dangling").status, 0);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o nowhere").out, "output file write err!!\n");
  EXPECT_EQ(fs::read_symlink(dir / "10x10_link.bmp"), "real/pic.bmp");
  EXPECT_EQ(fs::read_symlink(dir / "10x10_dangling.bmp"), "real/new.bmp");
  EXPECT_EQ(read_file((dir / "real" / "pic.bmp").string()), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(read_file((dir / "real" / "new.bmp").string()), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names_in(dir / "real"), (std::set<std::string>{"pic.bmp", "new.bmp"}));
  EXPECT_EQ(names_in(dir).size(), 5u);  // the input, three links, real/
}

TEST(Replacing, PlantedLinkInASharedStickyDirectoryIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
  // /tmp-like: sticky, world-writable, owned by a third user. A link owned
  // by neither the user running the tool nor that owner must not be followed.
  const fs::path dir = folder_with_input();
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(chown(shared.c_str(), 65533, 65533), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  write_file((dir / "victim").string(), {'o', 'l', 'd'});
  const fs::path link = shared / "10x10_framed.bmp";
  fs::create_symlink("../victim", link);

  ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
  const run_result r = run_tool(shared, "-i ../in.bmp -o framed");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file((dir / "victim").string()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(names_in(shared), std::set<std::string>{"10x10_framed.bmp"});

  // The same link is followed once it is the directory owner's.
  ASSERT_EQ(lchown(link.c_str(), 65533, 65533), 0);
  EXPECT_EQ(run_tool(shared, "-i ../in.bmp -o framed").status, 0);
  EXPECT_EQ(read_file((dir / "victim").string()), framed_reference(SMALL, 10, 3, 3));
}

TEST(Replacing, LongestFileNameWorks) {
  const fs::path dir = folder_with_input();
  const std::string name(255 - std::string("10x10_.bmp").size(), 'n');
  const run_result r = run_tool(dir, "-i in.bmp -o " + name);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_" + name + ".bmp"}));
}

TEST(Faults, MessageToAClosedPipeStillEndsWithStatusOne) {
  const fs::path dir = fresh_dir();
  // The reader is gone before the message is written.
  const std::string command = "cd \"" + dir.string() +
                              "\" && { sleep 0.2; " VANDREL_RUNNER "\"" VANDREL_BINARY
                              "\" -i missing.bmp -o x; echo $? >status; } | true";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file((dir / "status").string()), (std::vector<uint8_t>{'1', '\n'}));
}
#endif
