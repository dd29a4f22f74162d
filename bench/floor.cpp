// The least work any framing tool must do, as a yardstick for vandrel: read
// the input file once into a buffer obtained the way vandrel obtains its
// buffers, then write an output file of the framed picture's size, as many
// rows a write as vandrel writes, from one reused buffer. No pixel is looked at.
//
//   floor INPUT.bmp OUTPUT
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "bmp/bmp_format.h"
#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
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
  const uint64_t stride = file_row_stride(side);
  const int64_t rows = std::min<int64_t>(rows_per_write(static_cast<int32_t>(side)), side);
  const auto chunk_size = static_cast<size_t>(stride * static_cast<uint64_t>(rows));
  const byte_buffer chunk = alloc_picture_buffer(chunk_size);
  std::memset(chunk.get(), 128, chunk_size);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  std::fwrite(file.get(), 1, BMP_HEADER_SIZE, out);
  for (int64_t y = 0; y < side; y += rows) {
    const auto count = static_cast<uint64_t>(std::min<int64_t>(rows, side - y));
    std::fwrite(chunk.get(), 1, static_cast<size_t>(stride * count), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
