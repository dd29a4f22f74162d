// Moving picture bytes a block at a time: wide loads and stores, a square
// byte transpose and a byte reversal. The reader and the writer turn rows
// into columns and back with these, and the flip reverses columns, several
// times faster than moving single bytes.
//
// Blocks are squares of as many rows as a word has bytes, one word per row,
// of three kinds:
// - 8 x 8 bytes in 64-bit words (uint64_t), portable C++ for every host;
// - on x86 processors that have SSE2, in SSE2 registers: 16 x 16 bytes
//   (__m128i) with the sixteen registers of x86-64, 8 x 8 bytes (sse2_half,
//   the low half of a register) with the eight of 32-bit x86, where the
//   16 x 16 transpose would not fit them. Every x86-64 processor has SSE2; a
//   32-bit one is asked at run time (sse2_blocks_usable). The flip reverses
//   16-byte words on both.
// The operations below are overloaded on the word, and the code that moves
// pixels is written once as templates on it. 32-bit x86 compilers assume no
// SSE2, so the functions that use SSE2 words are marked SSE2_CODE: compiled
// for SSE2, with everything they call compiled into them, so that no SSE2
// instruction lies outside them. Callers choose between the kinds once per
// band of rows or per picture, not per block. All give the same bytes; the
// CMake option VANDREL_PORTABLE leaves the SSE2 blocks out.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/planar_image.h"

#if !defined(VANDREL_PORTABLE) && (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#include <emmintrin.h>
#define VANDREL_SSE2_BLOCKS 1
#define SSE2_CODE __attribute__((target("sse2"), flatten))
#endif

// A block of `word`s is BLOCK<word> x BLOCK<word> bytes; one block row of
// BLOCK pixels is BLOCK_ROW_BYTES of a file, byte s being channel s % 3 of
// pixel s / 3.
template <typename word>
inline constexpr int64_t BLOCK = static_cast<int64_t>(sizeof(word));
template <typename word>
inline constexpr int64_t BLOCK_ROW_BYTES = 3 * BLOCK<word>;

// ------------------------------------------------ 8 x 8 in 64-bit words

inline void load_word(const uint8_t* p, uint64_t& v) { std::memcpy(&v, p, sizeof v); }
inline void store_word(uint8_t* p, const uint64_t& v) { std::memcpy(p, &v, sizeof v); }

// Exchanges the `mask` bytes of b with the bytes `shift` bits higher in a.
inline void exchange_bytes(uint64_t& a, uint64_t& b, int shift, uint64_t mask) {
  const uint64_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// Treating words[i] as row i of an 8 x 8 byte matrix, transposes it: byte j
// of word i becomes byte i of word j (byte 0 the lowest in memory on a
// little-endian host). Swaps single bytes, then pairs, then quads.
inline void transpose_block(uint64_t (&w)[8]) {
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
inline void reverse_word(uint64_t& v) {
  v = (v >> 8 & 0x00FF00FF00FF00FF) | (v & 0x00FF00FF00FF00FF) << 8;
  v = (v >> 16 & 0x0000FFFF0000FFFF) | (v & 0x0000FFFF0000FFFF) << 16;
  v = v >> 32 | v << 32;
}

// ------------------------------------------------- in SSE2 registers

#ifdef VANDREL_SSE2_BLOCKS
// Words are passed by reference: a function compiled without SSE2 may hold
// them, and would pass them by value differently from one compiled with it.
__attribute__((target("sse2"))) inline void load_word(const uint8_t* p, __m128i& v) {
  v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("sse2"))) inline void store_word(uint8_t* p, const __m128i& v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Transposes the 16 x 16 bytes of w (byte j of w[i] becomes byte i of w[j]):
// four rounds of interleaving row k with row k + 8 each reorder one bit of
// the row and column indices.
__attribute__((target("sse2"))) inline void transpose_block(__m128i (&w)[16]) {
  for (int round = 0; round < 4; ++round) {
    __m128i t[16];
    for (int k = 0; k < 8; ++k) {
      t[2 * k] = _mm_unpacklo_epi8(w[k], w[k + 8]);
      t[2 * k + 1] = _mm_unpackhi_epi8(w[k], w[k + 8]);
    }
    for (int k = 0; k < 16; ++k) w[k] = t[k];
  }
}

// The 16 bytes of v in reverse order: the four quads, then the two pairs in
// each quad, then the two bytes in each pair.
__attribute__((target("sse2"))) inline void reverse_word(__m128i& v) {
  v = _mm_shuffle_epi32(v, 0x1B);
  v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// 8 bytes in the low half of an SSE2 register.
struct sse2_half {
  __m128i bytes;
};
template <>
inline constexpr int64_t BLOCK<sse2_half> = 8;

__attribute__((target("sse2"))) inline void load_word(const uint8_t* p, sse2_half& v) {
  v.bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("sse2"))) inline void store_word(uint8_t* p, const sse2_half& v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v.bytes);
}

// Transposes the 8 x 8 bytes of w in three rounds of interleaving: the bytes
// of rows 2i and 2i + 1, then the pairs of those results two by two, then
// their quads. Each of the last four registers holds two rows of the
// transposed block, row 2j in its low half and row 2j + 1 in its high half,
// which is then moved down.
__attribute__((target("sse2"))) inline void transpose_block(sse2_half (&w)[8]) {
  const __m128i a0 = _mm_unpacklo_epi8(w[0].bytes, w[1].bytes);
  const __m128i a1 = _mm_unpacklo_epi8(w[2].bytes, w[3].bytes);
  const __m128i a2 = _mm_unpacklo_epi8(w[4].bytes, w[5].bytes);
  const __m128i a3 = _mm_unpacklo_epi8(w[6].bytes, w[7].bytes);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1);
  const __m128i b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3);
  const __m128i b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i rows[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),
                           _mm_unpacklo_epi32(b1, b3), _mm_unpackhi_epi32(b1, b3)};
  for (int j = 0; j < 4; ++j) {
    w[2 * j].bytes = rows[j];
    w[2 * j + 1].bytes = _mm_unpackhi_epi64(rows[j], rows[j]);
  }
}

// The word of the SSE2 blocks that pack and unpack pixels: the square whose
// transpose fits the registers. With the eight of 32-bit x86, the 16 x 16
// transpose keeps half its rows in memory between rounds.
#ifdef __x86_64__
using sse2_block_word = __m128i;
#else
using sse2_block_word = sse2_half;
#endif
#endif

// Whether this processor runs the SSE2 blocks: every x86-64 one does, and
// so does a 32-bit one built for SSE2; any other 32-bit x86 processor is
// asked (CPUID, through the compiler's built-in).
inline bool sse2_blocks_usable() {
#if defined(VANDREL_SSE2_BLOCKS) && defined(__SSE2__)
  return true;
#elif defined(VANDREL_SSE2_BLOCKS)
  return __builtin_cpu_supports("sse2");
#else
  return false;
#endif
}

// ------------------------------------------------------------- helpers

// For each byte s of a block row, the start of the plane column that holds
// it, for the block at column 0 (add x * height + y for the block at x, y).
template <typename word>
void block_byte_columns(const planar_image& picture, uint8_t* (&columns)[BLOCK_ROW_BYTES<word>]) {
  for (int64_t s = 0; s < BLOCK_ROW_BYTES<word>; ++s) {
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
