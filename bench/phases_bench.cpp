// Each phase of a 6000 x 4000 framing on its own, beside a plain memcpy of
// the bytes it produces, so that every phase's cost can be read off against
// the cost of merely moving its data. Buffers are obtained as the program
// obtains them, page faults included.
#include <benchmark/benchmark.h>

#include <cstring>
#include <utility>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "canvas/canvas.h"

namespace {

constexpr int32_t WIDTH = 6000;
constexpr int32_t HEIGHT = 4000;

bmp_layout layout() {
  bmp_layout l;
  l.width = WIDTH;
  l.height = HEIGHT;
  l.row_stride = file_row_stride(WIDTH);
  l.pixel_array_size = l.row_stride * HEIGHT;
  return l;
}

// A pixel array with varied content.
const byte_buffer& pixel_array() {
  static const byte_buffer pixels = [] {
    byte_buffer p = alloc_picture_buffer(layout().pixel_array_size);
    uint32_t state = 12345;
    for (uint64_t i = 0; i < layout().pixel_array_size; ++i) {
      state = state * 1103515245u + 12345u;
      p[i] = static_cast<uint8_t>(state >> 24);
    }
    return p;
  }();
  return pixels;
}

int32_t side() { return static_cast<int32_t>(canvas_side(WIDTH, HEIGHT)); }
uint64_t side_u64() { return static_cast<uint64_t>(side()); }

const planar_image& canvas() {
  static const planar_image image =
      compose_on_grey(flip_rows(unpack_pixel_array(pixel_array().get(), layout())), side());
  return image;
}

// Copies `bytes` from a warm buffer into a freshly obtained one.
void copy_into_fresh(benchmark::State& state, uint64_t bytes) {
  const byte_buffer source = alloc_picture_buffer(bytes);
  std::memset(source.get(), 1, bytes);
  for (auto _ : state) {
    const byte_buffer target = alloc_picture_buffer(bytes);
    std::memcpy(target.get(), source.get(), bytes);
    benchmark::DoNotOptimize(target.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void unpack(benchmark::State& state) {
  pixel_array();  // inputs are made before the clock runs
  for (auto _ : state) {
    const planar_image image = unpack_pixel_array(pixel_array().get(), layout());
    benchmark::DoNotOptimize(image.planes[0].get());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{3} * WIDTH * HEIGHT);
}

// The flip works in place: each round turns the same picture over again.
void flip(benchmark::State& state) {
  planar_image picture = unpack_pixel_array(pixel_array().get(), layout());
  for (auto _ : state) {
    picture = flip_rows(std::move(picture));
    benchmark::DoNotOptimize(picture.planes[0].get());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{3} * WIDTH * HEIGHT);
}

// The composition works in the picture's planes: each round gets a new
// picture, made before the clock runs again.
void compose(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    planar_image picture = flip_rows(unpack_pixel_array(pixel_array().get(), layout()));
    state.ResumeTiming();
    benchmark::DoNotOptimize(compose_on_grey(std::move(picture), side()).planes[0].get());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{3} * side() * side());
}

// The writer's work without the file: every row packed, a write's worth at a
// time, into one reused buffer.
void pack(benchmark::State& state) {
  const uint64_t stride = file_row_stride(side());
  const int64_t chunk_rows = rows_per_write(side());
  const byte_buffer rows = alloc_picture_buffer(stride * static_cast<uint64_t>(chunk_rows));
  canvas();
  for (auto _ : state) {
    for (int64_t row = 0; row < side(); row += chunk_rows) {
      pack_file_rows(canvas(), row, std::min<int64_t>(chunk_rows, side() - row), rows.get());
      benchmark::DoNotOptimize(rows.get());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stride * side_u64()));
}

void memcpy_picture(benchmark::State& state) {
  copy_into_fresh(state, uint64_t{3} * WIDTH * HEIGHT);
}

void memcpy_canvas(benchmark::State& state) { copy_into_fresh(state, 3 * side_u64() * side_u64()); }

// Copies `bytes` between two warm buffers.
void copy_warm(benchmark::State& state, uint64_t bytes) {
  const byte_buffer source = alloc_picture_buffer(bytes);
  const byte_buffer target = alloc_picture_buffer(bytes);
  std::memset(source.get(), 1, bytes);
  std::memset(target.get(), 1, bytes);
  for (auto _ : state) {
    std::memcpy(target.get(), source.get(), bytes);
    benchmark::DoNotOptimize(target.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// The flip works in warm memory, so its yardstick is a copy between warm buffers.
void memcpy_picture_warm(benchmark::State& state) {
  copy_warm(state, uint64_t{3} * WIDTH * HEIGHT);
}

// Packing fills a reused buffer, so its yardstick is a copy into warm memory.
void memcpy_canvas_warm(benchmark::State& state) {
  copy_warm(state, file_row_stride(side()) * side_u64());
}

}  // namespace

BENCHMARK(unpack)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpy_picture)->Unit(benchmark::kMillisecond);
BENCHMARK(flip)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpy_picture_warm)->Unit(benchmark::kMillisecond);
BENCHMARK(compose)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpy_canvas)->Unit(benchmark::kMillisecond);
BENCHMARK(pack)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpy_canvas_warm)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
