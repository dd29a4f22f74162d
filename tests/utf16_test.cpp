// Names between UTF-8 and UTF-16: every Windows name, valid UTF-16 or not,
// comes back as exactly the same units, and no two names share a text.
#include "os/utf16.h"

#include <gtest/gtest.h>

TEST(NameText, EveryUtf16NameComesBackUnchanged) {
  const std::u16string names[] = {
      u"plain",        u"caf\u00e9", u"\u5199\u771f", u"\U0001F5BC",  // a surrogate pair
      u"a\xD800z",     u"\xDC00",  // lone lead and trail surrogates
      u"\xDC00\xD800", u"\xD800",  // a pair in the wrong order; a lead at the end
  };
  for (const std::u16string& name : names) {
    std::u16string back;
    ASSERT_TRUE(utf16_from_utf8(utf8_from_utf16(name), back));
    EXPECT_EQ(back, name);
  }
  EXPECT_EQ(utf8_from_utf16(u"\U0001F5BC"), "\xF0\x9F\x96\xBC");
  EXPECT_EQ(utf8_from_utf16(u"\xD800"), "\xED\xA0\x80");
}

TEST(NameText, TextThatNamesNoFileIsRefused) {
  const char* const malformed[] = {
      "\xFF",                      // no such byte
      "\xC3",                      // cut short
      "\xC0\xAF",                  // overlong '/'
      "\xE0\x80\xAF",              // overlong '/'
      "\xF4\x90\x80\x80",          // above U+10FFFF
      "\xED\xA0\xBD\xED\xB6\xBC",  // a pair as two sequences: it has a four-byte text
  };
  for (const char* text : malformed) {
    std::u16string units;
    EXPECT_FALSE(utf16_from_utf8(text, units)) << text;
  }
}
