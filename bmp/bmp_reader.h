// Reading the input picture: validating a BMP file's headers and unpacking its
// pixel array into channel planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/run_end.h"
#include "image/planar_image.h"

// Where a validated file keeps its pixels.
struct bmp_layout {
  int32_t width = 0;
  int32_t height = 0;     // always >= 0
  bool top_down = false;  // the first stored row is the top row
  uint64_t pixel_offset = 0;
  uint64_t row_stride = 0;
  uint64_t pixel_array_size = 0;  // height * row_stride
};

// The verdict on a file's headers.
struct header_check {
  bool accepted = false;
  run_failure refusal = run_failure::input_format;  // why, when not accepted
  bmp_layout layout;                                // valid when accepted
};

// The number of leading bytes check_bmp_headers may need.
constexpr size_t BMP_MAX_HEADERS_SIZE = 14 + 124;

// Judges the first `head_len` bytes of a file of `file_size` bytes (head_len
// is file_size, or BMP_MAX_HEADERS_SIZE if that is smaller; for a stream whose
// length is not known yet, file_size is UINT64_MAX). Refuses, in this order:
//   1. a start that is not an accepted BMP's, whatever the file's length: not
//      "BM", or an information header size this program does not read, or
//      too short to hold that size (input_format);
//   2. headers cut short (input_size);
//   3. any other field outside what this program reads (input_format);
//   4. a picture whose framed output could not be a BMP file (image_too_large);
//   5. a pixel array that does not lie wholly inside the file (input_size).
// When accepted, the layout's pixel array lies inside the file and its sizes
// need no further overflow checks.
header_check check_bmp_headers(const uint8_t* head, size_t head_len, uint64_t file_size);

// The pixels of a validated file as a planar image with row 0 the bottom row,
// whatever the file's row order, its planes with room for the picture's
// canvas. `pixels` holds layout.pixel_array_size bytes.
planar_image unpack_pixel_array(const uint8_t* pixels, const bmp_layout& layout);

// Reads the BMP file at `path`: a regular file, or on POSIX systems any
// input that can be read in order (a pipe, a FIFO, standard input as
// /dev/stdin), which is read as a stream with no seeking. Ends the run with the
// matching message when the input cannot be opened or read, or is refused by
// check_bmp_headers, or ends before its pixel array does, or its buffers cannot
// be allocated. Returns the picture with row 0 the bottom row, its planes with
// room for the picture's canvas.
planar_image read_bmp24(const std::string& path);
