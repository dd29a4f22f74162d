// Moving picture bytes a block at a time: wide loads and stores, a square
// byte transpose and a byte reversal. The reader and the writer turn rows
// into columns and back with these, and the flip reverses columns, several
// times faster than moving single bytes.
//
// Two implementations of the block: 16 x 16 bytes in SSE2 registers, which
// every x86-64 processor has, or 8 x 8 bytes in 64-bit words, portable C++
// for every other host. The CMake option VANDREL_PORTABLE chooses the second
// on x86-64 as well; both give the same bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/planar_image.h"

#if defined(__SSE2__) && !defined(VANDREL_PORTABLE)
#include <emmintrin.h>
#define VANDREL_BLOCKS_SSE2 1
#endif

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

#ifdef VANDREL_BLOCKS_SSE2
// A block is BLOCK x BLOCK bytes, one block_word per row.
using block_word = __m128i;
constexpr int64_t BLOCK = 16;

inline block_word load_block_word(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void store_block_word(uint8_t* p, block_word v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The 16 bytes of v in reverse order: the four quads, then the two pairs in
// each quad, then the two bytes in each pair.
inline block_word reverse_block_word(block_word v) {
  v = _mm_shuffle_epi32(v, 0x1B);
  v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Transposes the 16 x 16 bytes of w (byte j of w[i] becomes byte i of w[j]):
// four rounds of interleaving row k with row k + 8 each reorder one bit of
// the row and column indices.
inline void transpose_block(block_word (&w)[BLOCK]) {
  for (int round = 0; round < 4; ++round) {
    block_word t[BLOCK];
    for (int k = 0; k < BLOCK / 2; ++k) {
      t[2 * k] = _mm_unpacklo_epi8(w[k], w[k + BLOCK / 2]);
      t[2 * k + 1] = _mm_unpackhi_epi8(w[k], w[k + BLOCK / 2]);
    }
    for (int k = 0; k < BLOCK; ++k) w[k] = t[k];
  }
}
#else
using block_word = uint64_t;
constexpr int64_t BLOCK = 8;

inline block_word load_block_word(const uint8_t* p) { return load_u64(p); }
inline void store_block_word(uint8_t* p, block_word v) { store_u64(p, v); }
inline void transpose_block(block_word (&w)[BLOCK]) { transpose_8x8(w); }
inline block_word reverse_block_word(block_word v) { return reverse_bytes(v); }
#endif

// One block row of BLOCK pixels is 3 * BLOCK bytes in a file, byte s being
// channel s % 3 of pixel s / 3.
constexpr int64_t BLOCK_ROW_BYTES = 3 * BLOCK;

// For each byte s of a block row, the start of the plane column that holds
// it, for the block at column 0 (add x * height + y for the block at x, y).
inline void block_byte_columns(const planar_image& picture, uint8_t* (&columns)[BLOCK_ROW_BYTES]) {
  for (int64_t s = 0; s < BLOCK_ROW_BYTES; ++s) {
    columns[s] = picture.planes[static_cast<size_t>(s % 3)].get() + s / 3 * picture.height;
  }
}

// The portable transpose treats byte i of a word as the i-th byte in
// memory, which holds on little-endian hosts; elsewhere callers move single
// bytes. Compilers fold this to a constant.
inline bool host_is_little_endian() {
  const uint16_t one = 1;
  uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// A hint that the cache line holding p will be read soon; nothing where the
// compiler offers no such hint.
inline void prefetch_for_reading(const uint8_t* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0, 3);
#else
  static_cast<void>(p);
#endif
}
