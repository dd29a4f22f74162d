// The uncompressed 24-bit BMP file format, as this program reads and writes it.
//
// All multi-byte fields are little-endian; offsets are from the file start.
//
//   offset size field            read as                   written as
//   ------ ---- ---------------  ------------------------  ----------------------
//        0    2 bfType           must be "BM"              "BM"
//        2    4 bfSize           ignored (often wrong)     whole file size
//        6    4 bfReserved1/2    ignored                   0
//       10    4 bfOffBits        start of the pixel array  54
//       14    4 biSize           40, 52, 56, 108 or 124    40
//       18    4 biWidth          >= 0                      canvas side
//       22    4 biHeight         > 0 bottom-up, < 0 top-down  canvas side (bottom-up)
//       26    2 biPlanes         must be 1                 1
//       28    2 biBitCount       must be 24                24
//       30    4 biCompression    0, or 3 with plain masks  0
//       34    4 biSizeImage      ignored                   0
//       38    8 biX/YPelsPerMeter ignored                  3780, 3780
//       46    8 biClrUsed/Important ignored                0, 0
//       54   12 red/green/blue masks, when biCompression is 3: after a 40-byte
//               header, or inside a larger one; must be 00FF0000, 0000FF00, 000000FF
//
// Pixel array, at bfOffBits: |biHeight| rows of biWidth pixels, 3 bytes each
// in the order blue, green, red, every row padded with zero bytes to
// file_row_stride(biWidth) bytes. Anything between the headers and the pixel
// array (a colour table, a gap) is skipped; anything after it is ignored.
#pragma once

#include <cstdint>

#include "image/planar_image.h"

constexpr uint64_t BMP_FILE_HEADER_SIZE = 14;
constexpr uint64_t BMP_INFO_HEADER_SIZE = 40;
constexpr uint64_t BMP_HEADER_SIZE = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE;
constexpr uint64_t BMP_LARGEST_INFO_HEADER_SIZE = 124;
constexpr uint64_t BMP_MASKS_SIZE = 12;
// bfSize is a 32-bit field, so no BMP file can be larger than this.
constexpr uint64_t BMP_MAX_FILE_SIZE = 0xFFFFFFFF;

constexpr uint64_t OFFSET_BF_TYPE = 0;
constexpr uint64_t OFFSET_BF_SIZE = 2;
constexpr uint64_t OFFSET_BF_OFF_BITS = 10;
constexpr uint64_t OFFSET_BI_SIZE = 14;
constexpr uint64_t OFFSET_BI_WIDTH = 18;
constexpr uint64_t OFFSET_BI_HEIGHT = 22;
constexpr uint64_t OFFSET_BI_PLANES = 26;
constexpr uint64_t OFFSET_BI_BIT_COUNT = 28;
constexpr uint64_t OFFSET_BI_COMPRESSION = 30;
constexpr uint64_t OFFSET_BI_X_PELS_PER_METER = 38;
constexpr uint64_t OFFSET_BI_Y_PELS_PER_METER = 42;
constexpr uint64_t OFFSET_MASKS = 54;

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t RED_MASK = 0x00FF0000;
constexpr uint32_t GREEN_MASK = 0x0000FF00;
constexpr uint32_t BLUE_MASK = 0x000000FF;
constexpr uint32_t PELS_PER_METER = 3780;  // 96 dots per inch

inline uint16_t read_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t read_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline int32_t read_i32le(const uint8_t* p) {
  const uint32_t u = read_u32le(p);
  return u <= INT32_MAX ? static_cast<int32_t>(u) : -static_cast<int32_t>(~u) - 1;
}

inline void write_u32le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Size in bytes of a 24-bit BMP file of width x height written with the
// 54-byte headers.
constexpr uint64_t bmp24_file_size(int64_t width, int64_t height) {
  return BMP_HEADER_SIZE + static_cast<uint64_t>(height) * file_row_stride(width);
}
