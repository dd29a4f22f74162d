// The program as its callers see it: the files it leaves, what it prints and
// its exit status. Each test runs the built binary in a fresh directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "bmp_builder.h"
#include "run_tool.h"

namespace fs = std::filesystem;

namespace {

const char* const USAGE =
    "Usage: vandrel [options]\n"
    "\toptions: \n"
    "\t  -help          : help\n"
    "\t  -i             : input bitmap filename(BMP24bittruecolor)\n"
    "\t  -o             : output bitmap file name(BMP24bittruecolor .bmp extension auto add\n";

}  // namespace

TEST(EndToEnd, FramesPicturesByteForByte) {
  struct example {
    int32_t w, h, side, dx, dy;
  };
  const example examples[] = {{1, 1, 6, 2, 2},
                              {4, 3, 10, 3, 3},
                              {3, 3, 10, 3, 3},
                              {5, 5, 12, 3, 3},
                              {0, 0, 8, 4, 4},
                              {0, 5, 10, 5, 2},
                              {720, 480, 870, 75, 195},
                              // several cache tiles, and more than one 4 MiB write
                              {600, 1200, 1346, 373, 73}};
  for (const example& e : examples) {
    const fs::path dir = fresh_dir();
    const test_picture p = pattern_picture(e.w, e.h);
    write_file((dir / "in.bmp").string(), build_bmp(p));
    const run_result r = run_tool(dir, "-i in.bmp -o framed");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    const std::string name = std::to_string(e.side) + "x" + std::to_string(e.side) + "_framed.bmp";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", name})) << e.w << " x " << e.h;
    EXPECT_EQ(read_file((dir / name).string()), framed_reference(p, e.side, e.dx, e.dy))
        << e.w << " x " << e.h;
  }
}

TEST(EndToEnd, EveryAcceptedLayoutGivesTheSameFile) {
  const fs::path dir = fresh_dir();
  // Padded rows, more than one tile across and more than one band of rows read.
  const test_picture p = pattern_picture(301, 1100);
  const std::vector<uint8_t> expected = framed_reference(p, 1146, 422, 23);

  for (const bmp_shape& shape : accepted_variants()) {
    write_file((dir / "in.bmp").string(), build_bmp(p, shape));
    const run_result r = run_tool(dir, "-i in.bmp -o x -orgx 100 -Fsc 2.5");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file((dir / "1146x1146_x.bmp").string()), expected);
  }
}

TEST(EndToEnd, ReadsPixelsStoredPastTwoGibibytes) {
  // The pixel array starts 3,000,000,000 bytes in (the gap is stored sparse),
  // so the file's length and the seek to the pixels need 64-bit positions.
  const fs::path dir = fresh_dir();
  const test_picture p = pattern_picture(5, 3);
  const std::vector<uint8_t> plain = build_bmp(p);
  std::vector<uint8_t> header(plain.begin(), plain.begin() + 54);
  put_u32(header, 10, 3000000000u);
  write_file((dir / "far.bmp").string(), header);
  fs::resize_file(dir / "far.bmp", 3000000000u);
  std::ofstream(dir / "far.bmp", std::ios::binary | std::ios::app)
      .write(reinterpret_cast<const char*>(plain.data() + 54),
             static_cast<std::streamsize>(plain.size() - 54));
  ASSERT_EQ(fs::file_size(dir / "far.bmp"), 3000000000u + plain.size() - 54);
  const run_result r = run_tool(dir, "-i far.bmp -o far");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file((dir / "10x10_far.bmp").string()), framed_reference(p, 10, 2, 3));
}

TEST(EndToEnd, WithoutOutputNameWritesSizeOnlyName) {
  const fs::path dir = fresh_dir();
  write_file((dir / "in.bmp").string(), build_bmp(pattern_picture(1, 1)));
  EXPECT_EQ(run_tool(dir, "-i in.bmp").status, 0);
  EXPECT_TRUE(fs::exists(dir / "6x6_.bmp"));
}

TEST(EndToEnd, FailuresPrintOneMessageAndLeaveNoFile) {
  struct failure {
    const char* args;
    const char* out;
    int status;
  };
  const failure failures[] = {
      {"", "", 0},
      {"-i good.bmp -h", "", 0},
      {"-i good.bmp -help", "", 0},
      {"-i good.bmp -o", "", 1},
      {"-i good.bmp -o x -q 3", "", 1},
      {"-i missing.bmp -o x", "input file open err!!\n", 1},
      {"-o x", "input file open err!!\n", 1},
      {"-i subdir -o x", "input file open err!!\n", 1},
      {"-i cut.bmp -o x", "input file size err!!\n", 1},
      {"-i eightbit.bmp -o x", "input file format err!!\n", 1},
      {"-i huge.bmp -o x", "image too large err!!\n", 1},
      {"-i good.bmp -o nodir/pic", "output file write err!!\n", 1},
      {"-i good.bmp -o taken", "output file write err!!\n", 1},
  };
  const fs::path dir = fresh_dir();
  const std::vector<uint8_t> good = build_bmp(pattern_picture(4, 3));
  write_file((dir / "good.bmp").string(), good);
  write_file((dir / "cut.bmp").string(), std::vector<uint8_t>(good.begin(), good.end() - 1));
  std::vector<uint8_t> eightbit = good;
  eightbit[28] = 8;
  write_file((dir / "eightbit.bmp").string(), eightbit);
  std::vector<uint8_t> huge = good;
  put_u32(huge, 18, 30000);
  put_u32(huge, 22, 30000);
  write_file((dir / "huge.bmp").string(), huge);
  fs::create_directory(dir / "subdir");
  fs::create_directory(dir / "10x10_taken.bmp");
  const std::set<std::string> before = names_in(dir);

  for (const failure& f : failures) {
    const run_result r = run_tool(dir, f.args);
    EXPECT_EQ(r.status, f.status) << f.args;
    EXPECT_EQ(r.out, f.out) << f.args;
    EXPECT_EQ(r.err, f.out[0] == '\0' ? USAGE : "") << f.args;
    EXPECT_EQ(names_in(dir), before) << f.args;
  }
  EXPECT_TRUE(fs::is_empty(dir / "10x10_taken.bmp"));
}

TEST(EndToEnd, ExistingOutputIsReplacedOnlyByACompleteFile) {
  const fs::path dir = fresh_dir();
  const test_picture p = pattern_picture(4, 3);
  const std::vector<uint8_t> good = build_bmp(p);
  write_file((dir / "cut.bmp").string(), std::vector<uint8_t>(good.begin(), good.end() - 5));
  write_file((dir / "good.bmp").string(), good);
  write_file((dir / "10x10_framed.bmp").string(), {'o', 'l', 'd'});

  EXPECT_EQ(run_tool(dir, "-i cut.bmp -o framed").status, 1);
  EXPECT_EQ(read_file((dir / "10x10_framed.bmp").string()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(run_tool(dir, "-i good.bmp -o framed").status, 0);
  EXPECT_EQ(read_file((dir / "10x10_framed.bmp").string()), framed_reference(p, 10, 3, 3));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"cut.bmp", "good.bmp", "10x10_framed.bmp"}));
}

TEST(EndToEnd, BuffersThatCannotBeAllocatedEndTheRunCleanly) {
#ifdef VANDREL_SANITIZED
  GTEST_SKIP() << "the address sanitizer's shadow memory needs more address space";
#endif
  // 64-bit: a 20000 x 20000 picture (1.2 GB) under a 1 GB address limit.
  // 32-bit: the largest picture there is cannot exist at all, even in the
  // 4 GiB of a large-address-aware Windows program (three planes of 1.4 GB),
  // and its sizes must not wrap around. Both files are stored sparse.
  const bool wide = sizeof(void*) == 8;
#ifdef _WIN32
  if (wide) GTEST_SKIP() << "no address-space limit can be set for a 64-bit Windows program here";
  const std::string limit;
#else
  const std::string limit = wide ? "ulimit -v 1000000 && " : "";
#endif
  const uint32_t side = wide ? 20000 : 26751;
  const fs::path dir = fresh_dir();
  std::vector<uint8_t> header = build_bmp(pattern_picture(0, 0));
  put_u32(header, 18, side);
  put_u32(header, 22, side);
  write_file((dir / "big.bmp").string(), header);
  fs::resize_file(dir / "big.bmp", 54 + (3ull * side + 3) / 4 * 4 * side);
  const run_result r = run_tool(dir, "-i big.bmp -o big", limit);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "memory alloc err!!\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(names_in(dir), std::set<std::string>{"big.bmp"});
}
