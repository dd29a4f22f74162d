// The output file's name.
#include <gtest/gtest.h>

#include "bmp/bmp_writer.h"

TEST(OutputName, PutsTheSizeInFrontOfTheWholeNameAndAlwaysAppendsBmp) {
  EXPECT_EQ(make_output_name(870, 870, "framed"), "870x870_framed.bmp");
  EXPECT_EQ(make_output_name(870, 870, "out.bmp"), "870x870_out.bmp.bmp");
  EXPECT_EQ(make_output_name(870, 870, "dir/pic"), "870x870_dir/pic.bmp");
  EXPECT_EQ(make_output_name(6, 6, ""), "6x6_.bmp");
}
