// Faults the program must survive: a full disk, a file-size limit, an
// unwritable directory, inputs cut short at every length. Each ends with its
// one message and status 1, leaves an existing output untouched and leaves
// no temporary file behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "bmp_builder.h"
#include "run_tool.h"

#ifndef _WIN32
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
  // 8 KiB allowed, 125 KiB needed; the signal is ignored so that the write fails.
  expect_write_failure_is_clean(dir, dir, "-i in.bmp -o framed", "trap '' XFSZ; ulimit -f 16 && ");
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
