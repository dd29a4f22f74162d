// The output file: its name, its header and its rows.
#include <gtest/gtest.h>

#include "bmp/bmp_format.h"
#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "bmp_builder.h"
#include "canvas/canvas.h"

TEST(OutputName, PutsTheSizeInFrontOfTheWholeNameAndAlwaysAppendsBmp) {
  EXPECT_EQ(make_output_name(870, 870, "framed"), "870x870_framed.bmp");
  EXPECT_EQ(make_output_name(870, 870, "out.bmp"), "870x870_out.bmp.bmp");
  EXPECT_EQ(make_output_name(870, 870, "dir/pic"), "870x870_dir/pic.bmp");
  EXPECT_EQ(make_output_name(6, 6, ""), "6x6_.bmp");
}

TEST(OutputHeader, DescribesABottomUp24BitFileWithoutImageSize) {
  std::vector<uint8_t> header(BMP_HEADER_SIZE);
  fill_bmp_header(header.data(), 6, 6);
  EXPECT_EQ(header[0], 'B');
  EXPECT_EQ(header[1], 'M');
  EXPECT_EQ(get_u32(header, 2), 174u);  // 54 + 6 rows of 18 pixel bytes + 2 padding
  EXPECT_EQ(get_u32(header, 6), 0u);
  EXPECT_EQ(get_u32(header, 10), 54u);
  EXPECT_EQ(get_u32(header, 14), 40u);
  EXPECT_EQ(get_u32(header, 18), 6u);
  EXPECT_EQ(get_u32(header, 22), 6u);
  EXPECT_EQ(get_u32(header, 26), 0x00180001u);
  EXPECT_EQ(get_u32(header, 30), 0u);
  EXPECT_EQ(get_u32(header, 34), 0u);
  EXPECT_EQ(get_u32(header, 38), 3780u);
  EXPECT_EQ(get_u32(header, 42), 3780u);
  EXPECT_EQ(get_u32(header, 46), 0u);
  EXPECT_EQ(get_u32(header, 50), 0u);
  fill_bmp_header(header.data(), 12, 12);
  EXPECT_EQ(get_u32(header, 2), 486u);  // unpadded rows
}

TEST(OutputFile, IsExactlyTheFramedPictureAcrossTilesAndWriteChunks) {
  // 1000 x 700 frames on a 1226 canvas: a file of more than one 4 MiB chunk.
  const test_picture p = pattern_picture(1000, 700);
  const std::string out_path = testing::TempDir() + "writer_out.bmp";
  const int32_t side = static_cast<int32_t>(canvas_side(1000, 700));
  ASSERT_EQ(side, 1226);
  const std::vector<uint8_t> file = build_bmp(p);
  const header_check c = check_bmp_headers(file.data(), BMP_MAX_HEADERS_SIZE, file.size());
  const planar_image upright = flip_rows(unpack_pixel_array(file.data() + 54, c.layout));
  write_bmp24(compose_on_grey(upright, side), out_path);
  EXPECT_EQ(read_file(out_path), framed_reference(p, 1226, 113, 263));
}
