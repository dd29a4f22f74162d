// Judging input files: which headers are refused, and with what reason.
// (How accepted files are read is checked end to end.)
#include <gtest/gtest.h>

#include "bmp/bmp_reader.h"
#include "bmp_builder.h"

namespace {

header_check check(const std::vector<uint8_t>& file) {
  const size_t head_len = std::min(file.size(), BMP_MAX_HEADERS_SIZE);
  return check_bmp_headers(file.data(), head_len, file.size());
}

void expect_refused(const std::vector<uint8_t>& file, run_failure why, const char* what) {
  const header_check c = check(file);
  EXPECT_FALSE(c.accepted) << what;
  EXPECT_EQ(c.refusal, why) << what;
}

}  // namespace

TEST(ReaderChecks, RefusesFieldsOutsideUncompressed24Bit) {
  const std::vector<uint8_t> good = build_bmp(pattern_picture(4, 3));
  struct field_change {
    size_t offset;
    uint32_t value;
    bool two_bytes;
    const char* what;
  };
  const field_change changes[] = {{0, 'B' | 'A' << 8, true, "type BA"},
                                  {14, 64, false, "header size 64"},
                                  {14, 12, false, "header size 12"},
                                  {26, 0, true, "zero planes"},
                                  {28, 32, true, "32 bits"},
                                  {30, 1, false, "RLE compression"},
                                  {30, 3, false, "bit fields without masks"},
                                  {18, 0xFFFFFFFF, false, "negative width"},
                                  {22, 0x80000000, false, "height -2^31"},
                                  {10, 53, false, "pixels inside header"}};
  for (const field_change& change : changes) {
    std::vector<uint8_t> file = good;
    file[change.offset] = static_cast<uint8_t>(change.value);
    file[change.offset + 1] = static_cast<uint8_t>(change.value >> 8);
    if (!change.two_bytes) put_u32(file, change.offset, change.value);
    expect_refused(file, run_failure::input_format, change.what);
  }
  bmp_shape bitfields;
  bitfields.bitfields = true;
  std::vector<uint8_t> swapped_masks = build_bmp(pattern_picture(4, 3), bitfields);
  put_u32(swapped_masks, 54, 0x000000FF);
  put_u32(swapped_masks, 62, 0x00FF0000);
  expect_refused(swapped_masks, run_failure::input_format, "red and blue masks swapped");
}

TEST(ReaderChecks, ReadsNothingPastTheHeadersOfAnEmptyPicture) {
  // 54 bytes in all: the masks' place lies past the end (found by fuzzing).
  const std::vector<uint8_t> header_only = build_bmp(pattern_picture(0, 5));
  ASSERT_EQ(header_only.size(), 54u);
  EXPECT_TRUE(check(header_only).accepted);
}

TEST(ReaderChecks, NamesAnotherFormatBeforeAShortFile) {
  const std::vector<uint8_t> good = build_bmp(pattern_picture(4, 3));
  // Too short to start like an accepted BMP, or starting like another format.
  for (size_t length : {0, 1, 2, 17}) {
    expect_refused({good.begin(), good.begin() + length}, run_failure::input_format, "no start");
  }
  expect_refused({'h', 'e', 'l', 'l', 'o', '\n'}, run_failure::input_format, "a text file");
  std::vector<uint8_t> core(good.begin(), good.begin() + 30);  // 1 x 1, 12-byte header
  put_u32(core, 14, 12);
  expect_refused(core, run_failure::input_format, "a whole file with the core header");

  // An accepted start cut short is a short file.
  for (size_t length : {18, 53, 54 + 12 * 3 - 1}) {
    expect_refused({good.begin(), good.begin() + length}, run_failure::input_size, "cut short");
  }
  bmp_shape bitfields;
  bitfields.bitfields = true;
  std::vector<uint8_t> no_masks = build_bmp(pattern_picture(4, 3), bitfields);
  no_masks.resize(60);
  expect_refused(no_masks, run_failure::input_size, "masks cut off");
  std::vector<uint8_t> far_offset = good;
  put_u32(far_offset, 10, 0xFFFFFFF0);
  expect_refused(far_offset, run_failure::input_size, "pixel array past the end");
}

TEST(ReaderChecks, RefusesPicturesWhoseFrameCannotBeABmpFile) {
  // 26751 x 26751 frames on a 37836 canvas, the largest whose file fits 32
  // bits; 26752 x 26752 needs 37838. The forged files hold no pixels.
  std::vector<uint8_t> forged = build_bmp(pattern_picture(0, 0));
  put_u32(forged, 18, 26751);
  put_u32(forged, 22, 26751);
  expect_refused(forged, run_failure::input_size, "largest canvas, no pixels");
  put_u32(forged, 22, static_cast<uint32_t>(-26752));
  expect_refused(forged, run_failure::image_too_large, "canvas 37838, top-down");
  put_u32(forged, 18, 0x7FFFFFFF);
  put_u32(forged, 22, 1);
  expect_refused(forged, run_failure::image_too_large, "widest possible");
}
