// Which blocks move the pixels on the processor the suite runs on. The
// 32-bit Linux suite runs once under an emulated processor with SSE2 and once
// under one without, and names the blocks each must take in
// VANDREL_EXPECTED_BLOCKS ("sse2" or "portable"): were the choice broken or
// left out of the build, both runs would test the same code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "image/byte_blocks.h"

TEST(PixelBlocks, FollowTheProcessorsSse2) {
  const char* expected = std::getenv("VANDREL_EXPECTED_BLOCKS");
  if (expected == nullptr) GTEST_SKIP() << "VANDREL_EXPECTED_BLOCKS names no processor here";
  EXPECT_EQ(sse2_blocks_usable() ? "sse2" : "portable", std::string(expected));
}
