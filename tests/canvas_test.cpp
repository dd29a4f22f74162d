// The canvas: its side and where the picture lands on the grey.
#include "canvas/canvas.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

// A picture whose sample at (x, y) in channel c is a distinct non-grey value.
planar_image numbered_picture(int32_t w, int32_t h) {
  planar_image p = make_planar_image(w, h);
  for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
    for (int i = 0; i < w * h; ++i) p.planes[c][i] = static_cast<uint8_t>(c * 60 + i);
  }
  return p;
}

}  // namespace

TEST(CanvasSide, FollowsTheCornerPixelDiagonal) {
  struct example {
    int64_t w, h, side;
  };
  const example examples[] = {{1, 1, 6},
                              {2, 2, 8},
                              {4, 3, 10},
                              {3, 3, 10},
                              {5, 5, 12},
                              {0, 0, 8},
                              {0, 5, 10},
                              {1, 9, 14},
                              {37, 7, 42},
                              {48, 13, 56},
                              {720, 480, 870},
                              {26751, 26751, 37836},
                              {26752, 26752, 37838}};
  for (const example& e : examples) {
    EXPECT_EQ(canvas_side(e.w, e.h), e.side) << e.w << " x " << e.h;
  }
  EXPECT_GT(canvas_side(INT32_MAX, INT32_MAX), 0);  // no overflow at the extremes
}

TEST(CanvasCompose, PlacesOddSizedPicturesNearerTheTopLeft) {
  // 3 x 3 on 10 x 10: columns and rows 3..5, so three grey columns on the
  // left, four on the right, three rows above, four below. Composed in new
  // planes, and in the picture's own planes when they have room for it.
  for (uint64_t room : {0, 100}) {
    const planar_image p = numbered_picture(3, 3);
    planar_image source = make_planar_image(3, 3, room);
    for (size_t c = 0; c < CHANNEL_COUNT; ++c)
      std::memcpy(source.planes[c].get(), p.planes[c].get(), 9);
    const planar_image canvas = compose_on_grey(std::move(source), 10);
    ASSERT_EQ(canvas.width, 10);
    ASSERT_EQ(canvas.height, 10);
    for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
      for (int x = 0; x < 10; ++x) {
        for (int y = 0; y < 10; ++y) {
          const bool inside = x >= 3 && x <= 5 && y >= 3 && y <= 5;
          const uint8_t expected = inside ? p.planes[c][(x - 3) * 3 + (y - 3)] : GREY_LEVEL;
          EXPECT_EQ(canvas.planes[c][x * 10 + y], expected)
              << room << " " << c << " " << x << " " << y;
        }
      }
    }
  }
}
