// Small pictures and BMP files made in memory for the tests, and an
// independent, straightforward rendering of what the framed file must be.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A picture as rows of blue, green, red bytes, top row first.
struct test_picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bgr;
};

// A width x height picture whose every sample differs from its neighbours
// and from the grey of the border.
test_picture pattern_picture(int32_t width, int32_t height);

// A 3000 x 2000 picture of one colour, framed on 3610 x 3610: about 39 MB
// to write, long enough for a test to act while a run writes it.
test_picture big_picture();

// How build_bmp lays out the file.
struct bmp_shape {
  bool top_down = false;
  uint32_t info_size = 40;
  uint32_t gap = 0;  // bytes between the headers and the pixels (a colour table)
  bool bitfields = false;
  bool declare_wrong_size = false;  // bfSize says 0
  uint32_t trailing = 0;            // junk bytes after the pixel array
};

// One shape for every way a file may differ from the plain 40-byte,
// bottom-up layout and still be read as the same picture.
std::vector<bmp_shape> accepted_variants();

std::vector<uint8_t> build_bmp(const test_picture& picture, const bmp_shape& shape = {});

// The exact framed file for `picture` on a side x side canvas at (dx, dy),
// written plainly row by row.
std::vector<uint8_t> framed_reference(const test_picture& picture, int32_t side, int32_t dx,
                                      int32_t dy);

void put_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
uint32_t get_u32(const std::vector<uint8_t>& bytes, size_t offset);

std::vector<uint8_t> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
