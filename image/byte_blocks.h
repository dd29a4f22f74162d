// Moving picture bytes eight at a time: 64-bit loads and stores and an 8 x 8
// byte transpose. The reader and the writer turn rows into columns and back
// with these, which is several times faster than moving single bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/planar_image.h"

// Pixels move in blocks of BLOCK x BLOCK; one block row of BLOCK pixels is
// 3 * BLOCK bytes in a file, byte s being channel s % 3 of pixel s / 3.
constexpr int64_t BLOCK = 8;
constexpr int64_t BLOCK_ROW_BYTES = 3 * BLOCK;

// For each byte s of a block row, the start of the plane column that holds
// it, for the block at column 0 (add x * height + y for the block at x, y).
inline void block_byte_columns(const planar_image& picture, uint8_t* (&columns)[BLOCK_ROW_BYTES]) {
  for (int64_t s = 0; s < BLOCK_ROW_BYTES; ++s) {
    columns[s] = picture.planes[static_cast<size_t>(s % 3)].get() + s / 3 * picture.height;
  }
}

// The transposes below treat byte i of a word as the i-th byte in memory,
// which holds on little-endian hosts; elsewhere callers move single bytes.
// Compilers fold this to a constant.
inline bool host_is_little_endian() {
  const uint16_t one = 1;
  uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// Exchanges the `mask` bytes of b with the bytes `shift` bits higher in a.
inline void exchange_bytes(uint64_t& a, uint64_t& b, int shift, uint64_t mask) {
  const uint64_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// Treating words[i] as row i of an 8 x 8 byte matrix, transposes it: byte j
// of word i becomes byte i of word j (byte 0 the lowest in memory on a
// little-endian host). Swaps single bytes, then pairs, then quads.
inline void transpose_8x8(uint64_t (&w)[8]) {
  constexpr uint64_t BYTES = 0x00FF00FF00FF00FF;
  constexpr uint64_t PAIRS = 0x0000FFFF0000FFFF;
  constexpr uint64_t QUADS = 0x00000000FFFFFFFF;
  exchange_bytes(w[0], w[1], 8, BYTES);
  exchange_bytes(w[2], w[3], 8, BYTES);
  exchange_bytes(w[4], w[5], 8, BYTES);
  exchange_bytes(w[6], w[7], 8, BYTES);
  exchange_bytes(w[0], w[2], 16, PAIRS);
  exchange_bytes(w[1], w[3], 16, PAIRS);
  exchange_bytes(w[4], w[6], 16, PAIRS);
  exchange_bytes(w[5], w[7], 16, PAIRS);
  exchange_bytes(w[0], w[4], 32, QUADS);
  exchange_bytes(w[1], w[5], 32, QUADS);
  exchange_bytes(w[2], w[6], 32, QUADS);
  exchange_bytes(w[3], w[7], 32, QUADS);
}

// The 8 bytes of v in reverse order, whatever the host's byte order.
inline uint64_t reverse_bytes(uint64_t v) {
  v = (v >> 8 & 0x00FF00FF00FF00FF) | (v & 0x00FF00FF00FF00FF) << 8;
  v = (v >> 16 & 0x0000FFFF0000FFFF) | (v & 0x0000FFFF0000FFFF) << 16;
  return v >> 32 | v << 32;
}
