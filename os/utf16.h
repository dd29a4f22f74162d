// File names between the program's text and Windows' UTF-16. Inside, every
// name is one std::string of UTF-8, so options, the output name and all other
// text keep one code path on every system. Windows names are sequences of
// 16-bit units that need not be valid UTF-16 (a lone surrogate is a legal name
// character there), so the UTF-8 side is the generalised form that encodes a
// lone surrogate like any other code point (known as WTF-8): every Windows
// name converts to text and back to exactly the same units.
#pragma once

#include <string>

// The text for the 16-bit units `units`; never fails.
std::string utf8_from_utf16(const std::u16string& units);

// The 16-bit units for `text` in `units`; false, leaving `units` undefined,
// when `text` is not well-formed (invalid, overlong or truncated sequences,
// code points above U+10FFFF, a surrogate pair written as two sequences).
bool utf16_from_utf8(const std::string& text, std::u16string& units);
