// Inputs that cannot seek, read as streams: a pipe, a FIFO fed in small
// pieces, a stream cut short, and one that claims a huge picture and ends.
// POSIX only: Windows opens files on a disk alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifndef _WIN32
namespace fs = std::filesystem;

namespace {

// Pictures whose pixels start past the headers read at once (a gap, and more
// than one piece of the reading buffer), and within them (a tiny file).
struct stream_case {
  test_picture picture;
  bmp_shape shape;
  int32_t side, dx, dy;
};

std::vector<stream_case> stream_cases() {
  bmp_shape gap;
  gap.gap = 300;
  gap.trailing = 5;
  return {{pattern_picture(700, 600), gap, 928, 114, 164}, {pattern_picture(1, 1), {}, 6, 2, 2}};
}

}  // namespace

TEST(Streams, PipeAndFifoFrameLikeTheFile) {
  const fs::path dir = fresh_dir();
  for (const stream_case& c : stream_cases()) {
    write_file(dir / "in.bmp", build_bmp(c.picture, c.shape));
    const std::vector<uint8_t> expected = framed_reference(c.picture, c.side, c.dx, c.dy);
    const std::string size = std::to_string(c.side) + "x" + std::to_string(c.side) + "_";
    const run_result piped = run_tool(dir, "-i /dev/stdin -o piped", "cat in.bmp | ");
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(read_file(dir / (size + "piped.bmp")), expected);
    // Seven bytes a write: the reader meets every boundary.
    const run_result fifo =
        run_tool(dir, "-i fifo -o fifo",
                 "rm -f fifo && mkfifo fifo && { dd if=in.bmp bs=7 status=none >fifo & } && ");
    EXPECT_EQ(fifo.status, 0) << fifo.out;
    EXPECT_EQ(read_file(dir / (size + "fifo.bmp")), expected);
    fs::remove(dir / (size + "piped.bmp"));
    fs::remove(dir / (size + "fifo.bmp"));
  }
}

TEST(Streams, CompletePictureIsFramedBeforeTheWriterCloses) {
  // The writer keeps the stream open until the output exists (giving up
  // after 30 s): a reader that asked for more than the picture's bytes would
  // wait for the writer, and the writer for it.
  const fs::path dir = fresh_dir();
  for (const stream_case& c : stream_cases()) {
    write_file(dir / "in.bmp", build_bmp(c.picture));
    const std::string output = std::to_string(c.side) + "x" + std::to_string(c.side) + "_open.bmp";
    const std::string writer = "{ cat in.bmp; i=0; while [ ! -e " + output +
                               " ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; "
                               "[ -e " +
                               output + " ] && echo seen >seen; } | ";
    const run_result r = run_tool(dir, "-i /dev/stdin -o open", writer);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(dir / "seen"), (std::vector<uint8_t>{'s', 'e', 'e', 'n', '\n'}));
    EXPECT_EQ(read_file(dir / output), framed_reference(c.picture, c.side, c.dx, c.dy));
    fs::remove(dir / "seen");
    fs::remove(dir / output);
  }
}

TEST(Streams, StreamEndingEarlyIsRefusedAsShort) {
  const fs::path dir = fresh_dir();
  const stream_case c = stream_cases()[0];
  const std::vector<uint8_t> whole = build_bmp(c.picture, c.shape);
  write_file(dir / "in.bmp", whole);
  const size_t lengths[] = {10, 30, 54 + 100, 54 + 300 + 5000, whole.size() - 6};
  for (size_t length : lengths) {
    const run_result r =
        run_tool(dir, "-i /dev/stdin -o cut", "head -c " + std::to_string(length) + " in.bmp | ");
    EXPECT_EQ(r.status, 1) << length;
    EXPECT_EQ(r.out, length < 18 ? "input file format err!!\n" : "input file size err!!\n")
        << length;
  }
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.bmp"});
}

TEST(Streams, HugeClaimEndingEarlyIsRefusedWithLittleMemory) {
  // Headers claiming 26000 x 26000 (about 2 GB of pixels), then 1 MB.
  std::vector<uint8_t> header = build_bmp(pattern_picture(0, 0));
  put_u32(header, 18, 26000);
  put_u32(header, 22, 26000);
  const fs::path dir = fresh_dir();
  write_file(dir / "claim.bmp", header);
  // Memory must follow the bytes received: with a 256 MiB limit on it, a
  // reader that believed the claim would fail for want of memory instead. (A
  // sanitizer's or an emulator's own reservations would not fit; there, a
  // 32-bit program cannot obtain 2 GB anyway.)
  std::string limit = "ulimit -v 262144 && ";
#ifdef VANDREL_SANITIZED
  limit = "";
#endif
  if (std::string(VANDREL_RUNNER).size() > 0) limit = "";
  const run_result r = run_tool(dir, "-i /dev/stdin -o claim",
                                limit + "{ cat claim.bmp; head -c 1000000 /dev/zero; } | ");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "input file size err!!\n");
  EXPECT_EQ(names_in(dir), std::set<std::string>{"claim.bmp"});
}
#endif
