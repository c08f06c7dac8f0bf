// UTF-8 validity and decoding helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxio.h"

namespace {

qxio_t_error_code legal(const std::string &bytes, uint32_t options = 0)
{
  return qxio_is_legal_utf8_string(bytes.data(), bytes.size(), options);
}

// Decodes a whole string by the well-formed ranges of the Unicode standard, the oracle for
// strict checking; a well-formed four-byte shape beyond U+10FFFF is unmappable rather than
// invalid. Sets *error to 0 or the error of the first bad sequence.
std::vector<uint32_t> reference_decode(const std::vector<unsigned char> &s,
                                       qxio_t_error_code *error)
{
  auto continuation = [](unsigned char b) { return b >= 0x80 && b <= 0xBF; };
  std::vector<uint32_t> codes;
  *error = QXIO_E_ENCODING_INVALID;
  for (size_t i = 0; i < s.size();) {
    unsigned char lead = s[i];
    size_t length = lead <= 0x7F                     ? 1
                    : (lead >= 0xC2 && lead <= 0xDF) ? 2
                    : (lead >= 0xE0 && lead <= 0xEF) ? 3
                    : (lead >= 0xF0 && lead <= 0xF7) ? 4
                                                     : 0;
    if (length == 0 || i + length > s.size()) return codes;
    for (size_t k = 1; k < length; k++)
      if (!continuation(s[i + k])) return codes;
    unsigned char second = length > 1 ? s[i + 1] : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90))
      return codes;
    if ((lead == 0xF4 && second > 0x8F) || lead >= 0xF5) {
      *error = QXIO_E_ENCODING_UNMAPPABLE;
      return codes;
    }
    static const uint32_t lead_mask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t code = lead & lead_mask[length];
    for (size_t k = 1; k < length; k++) code = (code << 6) | (s[i + k] & 0x3F);
    codes.push_back(code);
    i += length;
  }
  *error = QXIO_S_NOERR;
  return codes;
}

// Checks a byte string both ways: validity against the reference, and the decoded codes.
void expect_like_reference(const std::vector<unsigned char> &s)
{
  qxio_t_error_code expected = QXIO_S_NOERR;
  std::vector<uint32_t> codes = reference_decode(s, &expected);
  ASSERT_EQ(expected, qxio_is_legal_utf8_string(s.data(), s.size(), 0))
      << std::hex << int(s[0]) << " " << (s.size() > 1 ? int(s[1]) : 0) << " len " << s.size();
  if (expected < 0) return;
  uint32_t out[4] = {0, 0, 0, 0};
  size_t count = 4;
  ASSERT_EQ(0, qxio_decode_utf8_to_utf32(s.data(), s.size(), out, &count, 0));
  ASSERT_EQ(std::vector<uint32_t>(out, out + count), codes);
}

TEST(Utf8, EveryShortSequenceMatchesTheReference)
{
  for (int a = 0; a < 256; a++) {
    expect_like_reference({static_cast<unsigned char>(a)});
    for (int b = 0; b < 256; b++) {
      expect_like_reference({static_cast<unsigned char>(a), static_cast<unsigned char>(b)});
      for (int c : {0x00, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF})
        expect_like_reference({static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                               static_cast<unsigned char>(c)});
    }
  }
}

TEST(Utf8, FourByteSequencesMatchTheReference)
{
  for (int a = 0xE0; a < 256; a++)
    for (int b = 0x70; b < 0xD0; b++)
      for (int c : {0x7F, 0x80, 0xBF, 0xC0})
        for (int d : {0x7F, 0x80, 0xBF, 0xC0})
          expect_like_reference({static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                 static_cast<unsigned char>(c), static_cast<unsigned char>(d)});
}

TEST(Utf8, InternalNulNeedsOptionOne)
{
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xc0\x80"));
  EXPECT_EQ(0, legal("\xc0\x80", 0x1));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xc0\x81", 0x1));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xc1\xbf", 0x3));
}

TEST(Utf8, ExtendedFormsNeedOptionTwo)
{
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xed\xa0\x80"));
  EXPECT_EQ(0, legal("\xed\xa0\x80", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, legal("\xf4\x90\x80\x80"));
  EXPECT_EQ(0, legal("\xf4\x90\x80\x80", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, legal("\xf7\xbf\xbf\xbf"));
  EXPECT_EQ(0, legal("\xf7\xbf\xbf\xbf", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, legal("\xf8\x88\x80\x80\x80"));
  EXPECT_EQ(0, legal("\xf8\x88\x80\x80\x80", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xf8\x87\xbf\xbf\xbf", 0x2));
  EXPECT_EQ(0, legal("\xfc\x84\x80\x80\x80\x80", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xfc\x83\xbf\xbf\xbf\xbf", 0x2));
  EXPECT_EQ(0, legal("\xfd\xbf\xbf\xbf\xbf\xbf", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xfe\x80\x80\x80\x80\x80", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xff", 0x2));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xe0\x80\x80", 0x2));  // overlong stays invalid
}

TEST(Utf8, WholeStrings)
{
  EXPECT_EQ(0, legal(""));
  EXPECT_EQ(0, legal(std::string("a\0b", 3)));
  EXPECT_EQ(0, legal("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("caf\xc3"));   // cut off by the end
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xe2\x82"));  // cut off by the end
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("ok\x80"));    // stray continuation byte
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("\xc3\x28"));  // bad continuation byte
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, legal("caf\xff"));
}

TEST(Utf8, PrefixChecksOneSequenceOfTheGivenLength)
{
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_is_legal_utf8_prefix("a", 0, 0));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID,
            qxio_is_legal_utf8_prefix("\xfd\xbf\xbf\xbf\xbf\xbf\xbf", 7, 0x2));
  EXPECT_EQ(0, qxio_is_legal_utf8_prefix("A", 1, 0));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_is_legal_utf8_prefix("\x80", 1, 0));
  EXPECT_EQ(0, qxio_is_legal_utf8_prefix("\xe2\x82\xac", 3, 0));
  // a length other than the one the lead byte announces
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_is_legal_utf8_prefix("\xe2\x82\xac", 2, 0));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_is_legal_utf8_prefix("\x85\x85", 2, 0x2));
}

TEST(Utf8, DecodeWholeStrings)
{
  const std::string text = "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  uint32_t codes[8];
  size_t count = 8;
  ASSERT_EQ(0, qxio_decode_utf8_to_utf32(text.data(), text.size(), codes, &count, 0));
  ASSERT_EQ(4u, count);
  EXPECT_EQ(0x41u, codes[0]);
  EXPECT_EQ(0xE9u, codes[1]);
  EXPECT_EQ(0x20ACu, codes[2]);
  EXPECT_EQ(0x1F600u, codes[3]);
  count = 8;
  ASSERT_EQ(0, qxio_decode_utf8_to_utf32("", 0, codes, &count, 0));
  EXPECT_EQ(0u, count);
}

TEST(Utf8, DecodeFailuresReportWhatWasWritten)
{
  uint32_t codes[8];
  size_t count = 2;
  EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, qxio_decode_utf8_to_utf32("abc", 3, codes, &count, 0));
  EXPECT_EQ(2u, count);
  count = 8;
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, qxio_decode_utf8_to_utf32("ab\xe2\x82", 4, codes, &count, 0));
  EXPECT_EQ(2u, count);
  count = 8;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_decode_utf8_to_utf32("a\xc0\x80", 3, codes, &count, 0));
  EXPECT_EQ(1u, count);
  count = 8;
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE,
            qxio_decode_utf8_to_utf32("\xf4\x90\x80\x80", 4, codes, &count, 0));
  count = 8;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, qxio_decode_utf8_to_utf32("\xbf", 1, codes, &count, 0));
}

TEST(Utf8, DecodeInternalNulAndExtendedForms)
{
  const struct {
    std::string bytes;
    uint32_t options;
    uint32_t code;
  } cases[] = {
      {"\xc0\x80", 0x1, 0x0},
      {"\xed\xa0\x80", 0x2, 0xD800},
      {"\xf4\x90\x80\x80", 0x2, 0x110000},
      {"\xf8\x88\x80\x80\x80", 0x2, 0x200000},
      {"\xfb\xbf\xbf\xbf\xbf", 0x2, 0x3FFFFFF},
      {"\xfc\x84\x80\x80\x80\x80", 0x2, 0x4000000},
      {"\xfd\xbf\xbf\xbf\xbf\xbf", 0x2, 0x7FFFFFFF},
  };
  for (const auto &c : cases) {
    uint32_t code = 0;
    size_t count = 1;
    ASSERT_EQ(0,
              qxio_decode_utf8_to_utf32(c.bytes.data(), c.bytes.size(), &code, &count, c.options));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(c.code, code) << std::hex << c.code;
  }
}

}  // namespace
