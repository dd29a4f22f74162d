// Writing the framed picture: its file name and its 24-bit BMP file.
#pragma once

#include <cstdint>
#include <string>

#include "image/planar_image.h"

// "<width>x<height>_<name>.bmp": the size goes in front of the whole name,
// directory part included, and ".bmp" is always appended.
std::string make_output_name(int32_t width, int32_t height, const std::string& name);

// The 54-byte headers of a bottom-up 24-bit BMP file of width x height.
void fill_bmp_header(uint8_t* header, int32_t width, int32_t height);

// How many file rows the writer packs and writes at a time: a multiple of 32
// rows, as many as fit 1 MiB, and 32 when fewer fit.
int64_t rows_per_write(int32_t width);

// Packs `row_count` file rows, starting at file row `first_row` (file row 0
// is the picture's bottom row), of `picture` (row 0 at the top) into `out`,
// one file_row_stride(width) bytes per row. Padding bytes are left untouched.
void pack_file_rows(const planar_image& picture, int64_t first_row, int64_t row_count,
                    uint8_t* out);

// Writes `picture` (row 0 at the top) as a bottom-up 24-bit BMP file at
// `path`. The file appears only once it is complete: a new file takes the
// place of any file of that name in one step, replacing it whole or not at
// all and carrying exactly its access rules; a symbolic link keeps pointing
// to the new file. Where a new file cannot be exactly the old one, the
// existing file is written in place (see os/output_file.h). Any failure, or
// a file that may not be replaced, removes the new file and ends the run
// with the output message.
void write_bmp24(const planar_image& picture, const std::string& path);
