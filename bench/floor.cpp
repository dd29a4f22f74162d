// The least work any framing tool must do, as a yardstick for vandrel: read
// the input file once into a buffer obtained the way vandrel obtains its
// buffers, then write an output file of the framed picture's size from one
// reused row buffer. No pixel is looked at.
//
//   floor INPUT.bmp OUTPUT
#include <cstdio>
#include <cstring>
#include <fstream>

#include "bmp/bmp_format.h"
#include "bmp/bmp_reader.h"
#include "canvas/canvas.h"
#include "image/planar_image.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: floor INPUT.bmp OUTPUT\n", stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  const auto size = static_cast<uint64_t>(in.tellg());
  in.seekg(0);
  const byte_buffer file = alloc_picture_buffer(size);
  in.read(reinterpret_cast<char*>(file.get()), static_cast<std::streamsize>(size));
  const header_check check = check_bmp_headers(
      file.get(), static_cast<size_t>(std::min<uint64_t>(size, BMP_MAX_HEADERS_SIZE)), size);
  if (!in || !check.accepted) return 1;

  const int64_t side = canvas_side(check.layout.width, check.layout.height);
  const auto stride = static_cast<size_t>(file_row_stride(side));
  const byte_buffer row = alloc_picture_buffer(stride);
  std::memset(row.get(), 128, stride);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  std::fwrite(file.get(), 1, BMP_HEADER_SIZE, out);
  for (int64_t y = 0; y < side; ++y) std::fwrite(row.get(), 1, stride, out);
  return std::fclose(out) == 0 ? 0 : 1;
}
