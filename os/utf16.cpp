// Converting names between UTF-8 (extended to lone surrogates) and UTF-16.
#include "os/utf16.h"

#include <cstdint>

namespace {

bool is_lead_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_trail_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf8(std::string& text, uint32_t code) {
  const auto byte = [&text](uint32_t b) { text += static_cast<char>(b); };
  if (code < 0x80) {
    byte(code);
  } else if (code < 0x800) {
    byte(0xC0 | code >> 6);
    byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    byte(0xE0 | code >> 12);
    byte(0x80 | (code >> 6 & 0x3F));
    byte(0x80 | (code & 0x3F));
  } else {
    byte(0xF0 | code >> 18);
    byte(0x80 | (code >> 12 & 0x3F));
    byte(0x80 | (code >> 6 & 0x3F));
    byte(0x80 | (code & 0x3F));
  }
}

// Decodes the sequence at text[at]; advances `at` past it. False when it is
// not a well-formed sequence of the shortest length.
bool decode_utf8(const std::string& text, size_t& at, uint32_t& code) {
  const auto lead = static_cast<uint8_t>(text[at]);
  int length = 0;
  uint32_t least = 0;
  if (lead < 0x80) {
    code = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 1, least = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 2, least = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 3, least = 0x10000, code = lead & 0x07;
  } else {
    return false;
  }
  ++at;
  for (int i = 0; i < length; ++i, ++at) {
    if (at == text.size() || (static_cast<uint8_t>(text[at]) & 0xC0) != 0x80) return false;
    code = code << 6 | (static_cast<uint8_t>(text[at]) & 0x3F);
  }
  return code >= least && code <= 0x10FFFF;
}

}  // namespace

std::string utf8_from_utf16(const std::u16string& units) {
  std::string text;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t code = units[i];
    if (is_lead_surrogate(code) && i + 1 < units.size() && is_trail_surrogate(units[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00u);
    }
    append_utf8(text, code);
  }
  return text;
}

bool utf16_from_utf8(const std::string& text, std::u16string& units) {
  units.clear();
  size_t at = 0;
  while (at < text.size()) {
    uint32_t code = 0;
    if (!decode_utf8(text, at, code)) return false;
    if (code >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
      continue;
    }
    // A pair must be one four-byte sequence, so that each name has one text.
    if (is_trail_surrogate(code) && !units.empty() && is_lead_surrogate(units.back())) {
      return false;
    }
    units += static_cast<char16_t>(code);
  }
  return true;
}
