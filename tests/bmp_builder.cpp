// Builds BMP files for the tests, independently of the program's own writer.
#include "bmp_builder.h"

#include <fstream>
#include <iterator>

namespace {

void append_u16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  append_u16(out, v & 0xFFFF);
  append_u16(out, v >> 16);
}

size_t stride_of(int32_t width) { return (3 * static_cast<size_t>(width) + 3) / 4 * 4; }

// File header and info header, with pixels at `offset`.
std::vector<uint8_t> headers(int32_t width, int32_t height, uint32_t info_size, uint32_t offset,
                             uint32_t file_size, uint32_t compression) {
  std::vector<uint8_t> out = {'B', 'M'};
  append_u32(out, file_size);
  append_u32(out, 0);
  append_u32(out, offset);
  append_u32(out, info_size);
  append_u32(out, static_cast<uint32_t>(width));
  append_u32(out, static_cast<uint32_t>(height));
  append_u16(out, 1);
  append_u16(out, 24);
  append_u32(out, compression);
  append_u32(out, 0);
  append_u32(out, 3780);
  append_u32(out, 3780);
  append_u32(out, 0);
  append_u32(out, 0);
  return out;
}

}  // namespace

test_picture pattern_picture(int32_t width, int32_t height) {
  test_picture p{width, height, {}};
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      p.bgr.push_back(static_cast<uint8_t>(x * 37 + y * 11 + 1));
      p.bgr.push_back(static_cast<uint8_t>(x * 5 + y * 71 + 2));
      p.bgr.push_back(static_cast<uint8_t>(x * 13 + y * 3 + 200));
    }
  }
  return p;
}

std::vector<bmp_shape> accepted_variants() {
  std::vector<bmp_shape> shapes(8);
  shapes[0].top_down = true;
  shapes[1].gap = 1024;  // a colour table before the pixels
  shapes[2].bitfields = true;
  shapes[3].info_size = 124;
  shapes[3].bitfields = true;
  shapes[3].top_down = true;
  shapes[4].info_size = 108;
  shapes[4].bitfields = true;
  shapes[5].info_size = 52;
  shapes[6].info_size = 56;
  shapes[7].declare_wrong_size = true;
  shapes[7].trailing = 100;
  return shapes;
}

test_picture big_picture() {
  test_picture big;
  big.width = 3000;
  big.height = 2000;
  big.bgr.assign(3000 * 2000 * 3, 7);
  return big;
}

std::vector<uint8_t> build_bmp(const test_picture& picture, const bmp_shape& shape) {
  const size_t stride = stride_of(picture.width);
  const uint32_t masks = shape.bitfields && shape.info_size == 40 ? 12 : 0;
  const uint32_t offset = 14 + shape.info_size + masks + shape.gap;
  const auto file_size = static_cast<uint32_t>(offset + stride * picture.height);
  std::vector<uint8_t> out =
      headers(picture.width, shape.top_down ? -picture.height : picture.height, shape.info_size,
              offset, shape.declare_wrong_size ? 0 : file_size, shape.bitfields ? 3 : 0);
  out.resize(14 + shape.info_size, 0);  // later header versions: the extra fields stay zero
  if (shape.bitfields) {
    out.resize(std::max<size_t>(out.size(), 66));
    put_u32(out, 54, 0x00FF0000);
    put_u32(out, 58, 0x0000FF00);
    put_u32(out, 62, 0x000000FF);
  }
  out.resize(offset, 0x5A);  // the gap holds something that is not a pixel
  for (int32_t r = 0; r < picture.height; ++r) {
    const int32_t y = shape.top_down ? r : picture.height - 1 - r;
    const auto row = picture.bgr.begin() + 3 * static_cast<ptrdiff_t>(y) * picture.width;
    out.insert(out.end(), row, row + 3 * picture.width);
    out.resize(out.size() + stride - 3 * static_cast<size_t>(picture.width), 0);
  }
  out.resize(out.size() + shape.trailing, 0xA5);
  return out;
}

std::vector<uint8_t> framed_reference(const test_picture& picture, int32_t side, int32_t dx,
                                      int32_t dy) {
  const size_t stride = stride_of(side);
  std::vector<uint8_t> out =
      headers(side, side, 40, 54, static_cast<uint32_t>(54 + stride * side), 0);
  for (int32_t r = 0; r < side; ++r) {
    const int32_t y = side - 1 - r;
    for (int32_t x = 0; x < side; ++x) {
      const int32_t px = x - dx;
      const int32_t py = y - dy;
      const bool inside = px >= 0 && px < picture.width && py >= 0 && py < picture.height;
      for (int c = 0; c < 3; ++c) {
        out.push_back(inside ? picture.bgr[3 * (static_cast<size_t>(py) * picture.width + px) + c]
                             : 128);
      }
    }
    out.resize(out.size() + stride - 3 * static_cast<size_t>(side), 0);
  }
  return out;
}

void put_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_u32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | bytes[offset + i];
  return v;
}

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
