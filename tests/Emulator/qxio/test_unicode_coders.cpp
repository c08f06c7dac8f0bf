// The Unicode coders: exhaustive round trips checked against the C library's iconv, the
// UTF-8 stress cases (overlong forms, surrogates, truncated sequences, impossible bytes) with
// their exact errors and replacements, and the UTF-16 and UTF-32 edge cases.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coder_test_util.h"

using qxio_test::codes_t;
using qxio_test::END;
using qxio_test::REPLACE_ALL;
using qxio_test::TestCoder;
using qxio_test::words;

namespace {
using qxio_test::FFFD;
using qxio_test::iconv_convert;
using qxio_test::native_utf32;

std::string bytes(std::initializer_list<int> list)
{
  std::string s;
  for (int b : list) s.push_back((char)b);
  return s;
}

class UnicodeCoders : public qxio_test::CoderFixture {};
class Utf8Malformed : public qxio_test::CoderFixture {};
class Utf16And32 : public qxio_test::CoderFixture {};

// ---- round trips ----

codes_t every_scalar_value()
{
  codes_t codes;
  for (uint32_t c = 0; c <= 0x10FFFF; c++)
    if (c < 0xD800 || c > 0xDFFF) codes.push_back(c);
  return codes;
}

void expect_round_trip(const char *name, const char *iconv_name)
{
  const codes_t all = every_scalar_value();
  ASSERT_EQ(0x110000u - 0x800u, all.size());
  std::string encoded, reference;
  TestCoder encoder(name, 0);
  ASSERT_EQ(QXIO_E_END_OF_FILE, encoder.encode_all(all, &encoded, 0));
  ASSERT_TRUE(iconv_convert(iconv_name, native_utf32, words(all), &reference));
  ASSERT_EQ(reference.size(), encoded.size());
  ASSERT_TRUE(reference == encoded) << name << ": encoding differs from iconv";
  codes_t decoded;
  TestCoder decoder(name, QXIO_CODER_OPEN_DECODE);
  ASSERT_EQ(QXIO_E_END_OF_FILE, decoder.decode_all(reference, &decoded, 0));
  ASSERT_TRUE(all == decoded) << name << ": decoding does not give every scalar value back";
}

TEST_F(UnicodeCoders, EveryScalarValueRoundTripsThroughUtf8)
{
  expect_round_trip("UTF-8", "UTF-8");
}
TEST_F(UnicodeCoders, EveryScalarValueRoundTripsThroughUtf16Be)
{
  expect_round_trip("UTF-16BE", "UTF-16BE");
}
TEST_F(UnicodeCoders, EveryScalarValueRoundTripsThroughUtf16Le)
{
  expect_round_trip("UTF-16LE", "UTF-16LE");
}
TEST_F(UnicodeCoders, EveryScalarValueRoundTripsThroughUtf32Be)
{
  expect_round_trip("UTF-32BE", "UTF-32BE");
}
TEST_F(UnicodeCoders, EveryScalarValueRoundTripsThroughUtf32Le)
{
  expect_round_trip("UTF-32LE", "UTF-32LE");
}

// ---- encoding ----

TEST_F(UnicodeCoders, HighestCodePointInEveryForm)
{
  const struct {
    const char *name;
    std::string expected;
  } cases[] = {
      {"UTF-8", bytes({0xF4, 0x8F, 0xBF, 0xBF})},    {"UTF-16BE", bytes({0xDB, 0xFF, 0xDF, 0xFF})},
      {"UTF-16LE", bytes({0xFF, 0xDB, 0xFF, 0xDF})}, {"UTF-32BE", bytes({0x00, 0x10, 0xFF, 0xFF})},
      {"UTF-32LE", bytes({0xFF, 0xFF, 0x10, 0x00})},
  };
  for (const auto &c : cases) {
    std::string out;
    TestCoder coder(c.name, 0);
    EXPECT_EQ(QXIO_E_END_OF_FILE, coder.encode_all({0x10FFFF}, &out, 0));
    EXPECT_EQ(c.expected, out) << c.name;
  }
}

TEST_F(UnicodeCoders, SurrogatesAndValuesBeyondUnicodeAreUnmappable)
{
  const char *names[] = {"UTF-8", "UTF-16BE", "UTF-16LE", "UTF-32BE", "UTF-32LE"};
  for (const char *name : names) {
    for (uint32_t code : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
      std::string out, replaced, reference;
      TestCoder coder(name, 0);
      EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, coder.encode_all({code}, &out, 0)) << name;
      EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE,
                coder.encode_all({code}, &out, QXIO_CODER_REPLACE | QXIO_CODER_STRICT));
      EXPECT_EQ("", out);
      EXPECT_EQ(QXIO_E_END_OF_FILE, coder.encode_all({code}, &replaced, QXIO_CODER_REPLACE));
      ASSERT_TRUE(iconv_convert(name, native_utf32, words({FFFD}), &reference));
      EXPECT_EQ(reference, replaced) << name << " " << code;
    }
  }
}

TEST_F(UnicodeCoders, UnmappableCodeStopsAfterTheCodesBeforeIt)
{
  std::string out;
  size_t pos = 0;
  TestCoder coder("UTF-16LE", 0);
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, coder.encode_all({'o', 'k', 0xD800, 'x'}, &out, 0, &pos));
  EXPECT_EQ(8u, pos);
  EXPECT_EQ(bytes({'o', 0, 'k', 0}), out);
}

TEST_F(UnicodeCoders, SeekingAndOffsetTranslation)
{
  int64_t off = 0;
  TestCoder utf8("UTF-8", QXIO_CODER_OPEN_DECODE);
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_seek(utf8.get(), 0, 0));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_translate_offset(utf8.get(), 0, &off));
  for (const char *name : {"UTF-16LE", "UTF-32BE"}) {
    TestCoder decoder(name, QXIO_CODER_OPEN_DECODE);
    EXPECT_EQ(0, qxio_char_coder_seek(decoder.get(), 0, 0));
    EXPECT_EQ(0, qxio_char_coder_seek(decoder.get(), -8, 0));
    EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_char_coder_seek(decoder.get(), 4, 0));
    EXPECT_EQ(QXIO_E_GRANULARITY_ERROR, qxio_char_coder_seek(decoder.get(), -2, 0));
    EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_translate_offset(decoder.get(), 4, &off));
    TestCoder encoder(name, 0);
    EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_seek(encoder.get(), 0, 0));
  }
}

// ---- malformed UTF-8 ----

struct malformed_case {
  std::string input;
  codes_t expected;  // with invalid input replaced, at the end of input
};

// Replacement takes the maximal ill-formed subpart: the bytes that could still have begun a
// sequence, never a byte that starts a valid character of its own.
const malformed_case malformed_cases[] = {
    // The example of the Unicode Standard (U+FFFD substitution of maximal subparts).
    {bytes({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
     {0x61, FFFD, FFFD, FFFD, 0x62, FFFD, 0x63, FFFD, FFFD, 0x64}},
    // Overlong forms.
    {bytes({0xC0, 0x80}), {FFFD, FFFD}},
    {bytes({0xC0, 0xAF}), {FFFD, FFFD}},
    {bytes({0xC1, 0xBF}), {FFFD, FFFD}},
    {bytes({0xE0, 0x80, 0x80}), {FFFD, FFFD, FFFD}},
    {bytes({0xE0, 0x80, 0xAF}), {FFFD, FFFD, FFFD}},
    {bytes({0xE0, 0x9F, 0xBF}), {FFFD, FFFD, FFFD}},
    {bytes({0xF0, 0x80, 0x80, 0xAF}), {FFFD, FFFD, FFFD, FFFD}},
    {bytes({0xF0, 0x8F, 0xBF, 0xBF}), {FFFD, FFFD, FFFD, FFFD}},
    {bytes({0xF8, 0x80, 0x80, 0x80, 0xAF}), {FFFD, FFFD, FFFD, FFFD, FFFD}},
    {bytes({0xFC, 0x80, 0x80, 0x80, 0x80, 0xAF}), {FFFD, FFFD, FFFD, FFFD, FFFD, FFFD}},
    // Surrogates.
    {bytes({0xED, 0xA0, 0x80}), {FFFD, FFFD, FFFD}},
    {bytes({0xED, 0xBF, 0xBF}), {FFFD, FFFD, FFFD}},
    {bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80}), {FFFD, FFFD, FFFD, FFFD, FFFD, FFFD}},
    // Well-formed sequences beyond U+10FFFF stand for one replacement each.
    {bytes({0xF4, 0x90, 0x80, 0x80}), {FFFD}},
    {bytes({0xF5, 0x80, 0x80, 0x80}), {FFFD}},
    {bytes({0xF7, 0xBF, 0xBF, 0xBF, 0x41}), {FFFD, 'A'}},
    {bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), {FFFD}},
    {bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), {FFFD}},
    // Bytes that can never begin a sequence.
    {bytes({0xFE}), {FFFD}},
    {bytes({0xFF, 0xFE, 0x41}), {FFFD, FFFD, 'A'}},
    {bytes({0x80}), {FFFD}},
    {bytes({0xBF, 0x41}), {FFFD, 'A'}},
    // A bad sequence never swallows the characters after it.
    {bytes({0xE2, 0x82, 0x41, 0x42}), {FFFD, 'A', 'B'}},
    {bytes({0xF0, 0x9F, 0x98, 0x41}), {FFFD, 'A'}},
    {bytes({0xC3, 0x41}), {FFFD, 'A'}},
    {bytes({0xE2, 0xC3, 0xA9}), {FFFD, 0xE9}},
    {bytes({0xF0, 0x9F, 0xE2, 0x82, 0xAC}), {FFFD, 0x20AC}},
    {bytes({0xF4, 0x90, 0x41}), {FFFD, 'A'}},
    // Sequences cut off by the end of input.
    {bytes({0x61, 0xE2, 0x82}), {'a', FFFD}},
    {bytes({0x61, 0xF0, 0x9F, 0x98}), {'a', FFFD}},
    {bytes({0xC3}), {FFFD}},
    {bytes({0xF5, 0x80}), {FFFD}},
    // Valid text around them is untouched.
    {bytes({0x61, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xEF, 0xBF, 0xBD}),
     {'a', 0x20AC, 0x1F600, FFFD}},
};

TEST_F(Utf8Malformed, ReplacementCoversExactlyTheMaximalSubparts)
{
  for (const auto &c : malformed_cases) {
    TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
    codes_t got;
    EXPECT_EQ(QXIO_E_END_OF_FILE, decoder.decode_all(c.input, &got, REPLACE_ALL));
    EXPECT_EQ(c.expected, got) << ::testing::PrintToString(c.input);
  }
}

// Without replacement, decoding gives the codes before the first bad sequence and stops
// there (only forms beyond U+10FFFF are replaced whatever the options).
TEST_F(Utf8Malformed, WithoutReplacementDecodingStopsAtTheBadSequence)
{
  for (const auto &c : malformed_cases) {
    for (uint32_t options : {0u, QXIO_CODER_REPLACE, REPLACE_ALL | QXIO_CODER_STRICT}) {
      TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
      codes_t got;
      qxio_t_error_code rc = decoder.decode_all(c.input, &got, options);
      const std::string shown = ::testing::PrintToString(c.input);
      if (rc == QXIO_E_END_OF_FILE) {
        EXPECT_EQ(c.expected, got) << shown;
        continue;
      }
      EXPECT_EQ(QXIO_E_ENCODING_INVALID, rc) << shown;
      ASSERT_LT(got.size(), c.expected.size()) << shown;
      EXPECT_EQ(FFFD, c.expected[got.size()]) << shown;
      EXPECT_EQ(codes_t(c.expected.begin(), c.expected.begin() + got.size()), got) << shown;
    }
  }
  // The cases above must include both outcomes.
  TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
  codes_t got;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decoder.decode_all(malformed_cases[0].input, &got, 0));
  EXPECT_EQ((codes_t{'a'}), got);
}

TEST_F(Utf8Malformed, SequencesBeyondUnicodeAreReplacedWhateverTheOptions)
{
  for (uint32_t options : {0u, QXIO_CODER_STRICT, REPLACE_ALL}) {
    TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
    codes_t got;
    size_t pos = 0;
    EXPECT_EQ(QXIO_E_END_OF_FILE,
              decoder.decode_all(bytes({0xF4, 0x90, 0x80, 0x80, 0xF5, 0x80, 0x80, 0x80, 'z'}), &got,
                                 options, &pos));
    EXPECT_EQ((codes_t{FFFD, FFFD, 'z'}), got);
    EXPECT_EQ(9u, pos);
  }
}

TEST_F(Utf8Malformed, StrictDecodingKeepsWhatCameBeforeAndPointsAtTheBadByte)
{
  TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
  std::string out;
  size_t pos = 0;
  const std::string in = bytes({'a', 'b', 0xE0, 0x80, 0x80});
  EXPECT_EQ(0, decoder.step(in, &pos, &out, END));
  EXPECT_EQ(2u, pos);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decoder.step(in, &pos, &out, END));
  EXPECT_EQ(2u, pos);
  EXPECT_EQ((codes_t{'a', 'b'}), qxio_test::codes_of(out));
}

TEST_F(Utf8Malformed, IncompleteSequenceWaitsForMoreInput)
{
  TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
  std::string out;
  size_t pos = 0;
  const std::string in = bytes({'a', 0xE2, 0x82});
  EXPECT_EQ(0, decoder.step(in, &pos, &out, REPLACE_ALL));
  EXPECT_EQ(1u, pos);
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, decoder.step(in, &pos, &out, REPLACE_ALL));
  EXPECT_EQ(1u, pos);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decoder.step(in, &pos, &out, END));
  EXPECT_EQ(0, decoder.step(in, &pos, &out, END | REPLACE_ALL));
  EXPECT_EQ(3u, pos);
  EXPECT_EQ((codes_t{'a', FFFD}), qxio_test::codes_of(out));
}

TEST_F(Utf8Malformed, SequenceKnownBadIsReplacedWithoutWaiting)
{
  for (const std::string &in : {bytes({0xE2, 0x41}), bytes({0xC0}), bytes({0xE0, 0x80})}) {
    TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
    std::string out;
    size_t pos = 0;
    EXPECT_EQ(0, decoder.step(in, &pos, &out, REPLACE_ALL)) << ::testing::PrintToString(in);
    EXPECT_EQ(FFFD, qxio_test::codes_of(out).at(0));
  }
}

// Every string of up to three bytes from a set of telling bytes, followed by a valid
// character: in replacement mode the character always comes out last; in strict mode
// whatever decodes without a replacement is exactly what iconv encodes back.
TEST_F(Utf8Malformed, NoValidCharacterIsSwallowedAndNothingInvalidPasses)
{
  const uint8_t telling[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                             0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0,
                             0xF1, 0xF4, 0xF5, 0xF8, 0xFC, 0xFE, 0xFF};
  const struct {
    std::string bytes;
    uint32_t code;
  } tails[] = {
      {"Z", 'Z'}, {"\xC3\xA9", 0xE9}, {"\xE2\x82\xAC", 0x20AC}, {"\xF0\x9F\x98\x80", 0x1F600}};
  std::vector<std::string> heads = {""};
  for (size_t len = 0, first = 0; len < 3; len++) {
    size_t last = heads.size();
    for (size_t i = first; i < last; i++)
      for (uint8_t b : telling) heads.push_back(heads[i] + (char)b);
    first = last;
  }
  for (const std::string &head : heads) {
    for (const auto &tail : tails) {
      TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
      codes_t got;
      ASSERT_EQ(QXIO_E_END_OF_FILE, decoder.decode_all(head + tail.bytes, &got, REPLACE_ALL));
      ASSERT_FALSE(got.empty());
      ASSERT_EQ(tail.code, got.back()) << ::testing::PrintToString(head + tail.bytes);
    }
    TestCoder strict("UTF-8", QXIO_CODER_OPEN_DECODE);
    codes_t got;
    if (strict.decode_all(head, &got, 0) == QXIO_E_END_OF_FILE &&
        std::find(got.begin(), got.end(), FFFD) == got.end()) {
      std::string back;
      ASSERT_TRUE(iconv_convert("UTF-8", native_utf32, words(got), &back));
      ASSERT_EQ(head, back);
    }
  }
}

// ---- UTF-16 and UTF-32 ----

TEST_F(Utf16And32, HighSurrogateAtTheEndWaitsThenIsInvalid)
{
  TestCoder decoder("UTF-16BE", QXIO_CODER_OPEN_DECODE);
  std::string out;
  size_t pos = 0;
  const std::string in = bytes({0xD8, 0x00});
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, decoder.step(in, &pos, &out, REPLACE_ALL));
  EXPECT_EQ(0u, pos);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decoder.step(in, &pos, &out, END));
  EXPECT_EQ(0, decoder.step(in, &pos, &out, END | REPLACE_ALL));
  EXPECT_EQ((codes_t{FFFD}), qxio_test::codes_of(out));
}

TEST_F(Utf16And32, SurrogatePairsAndLoneSurrogates)
{
  const struct {
    const char *name;
    std::string input;
    codes_t replaced;
  } cases[] = {
      {"UTF-16BE", bytes({0xD8, 0x3D, 0xDE, 0x00}), {0x1F600}},
      {"UTF-16LE", bytes({0x3D, 0xD8, 0x00, 0xDE}), {0x1F600}},
      {"UTF-16BE", bytes({0xDC, 0x00, 0x00, 0x41}), {FFFD, 'A'}},
      {"UTF-16BE", bytes({0xD8, 0x00, 0x00, 0x41}), {FFFD, 'A'}},
      {"UTF-16LE", bytes({0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC}), {FFFD, 0x10000}},
      {"UTF-16BE", bytes({0xDC, 0x00, 0xDC, 0x00}), {FFFD, FFFD}},
      {"UTF-16LE", bytes({0x00, 0xDC, 0x00, 0xDC}), {FFFD, FFFD}},
      {"UTF-16BE", bytes({0xDC, 0x00, 0xD8, 0x00, 0xDC, 0x00}), {FFFD, 0x10000}},
      {"UTF-16BE", bytes({0xD8, 0x00, 0xD8, 0x00}), {FFFD, FFFD}},
      {"UTF-16BE", bytes({0xDF, 0xFF, 0xDB, 0xFF, 0xDF, 0xFF, 0xDC, 0x00}), {FFFD, 0x10FFFF, FFFD}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    TestCoder decoder(c.name, QXIO_CODER_OPEN_DECODE);
    codes_t got;
    EXPECT_EQ(QXIO_E_END_OF_FILE, decoder.decode_all(c.input, &got, REPLACE_ALL));
    EXPECT_EQ(c.replaced, got);
    // the same when the input comes in two parts, split anywhere
    for (size_t split = 1; split < c.input.size(); split++) {
      TestCoder parts(c.name, QXIO_CODER_OPEN_DECODE);
      std::string out;
      size_t pos = 0;
      const std::string head = c.input.substr(0, split);
      while (parts.step(head, &pos, &out, REPLACE_ALL) >= 0) {}
      while (parts.step(c.input, &pos, &out, REPLACE_ALL | QXIO_CODER_END_OF_INPUT) >= 0) {}
      EXPECT_EQ(c.replaced, qxio_test::codes_of(out)) << "split at " << split;
    }
    if (c.replaced[0] == FFFD) {
      TestCoder strict(c.name, QXIO_CODER_OPEN_DECODE);
      EXPECT_EQ(QXIO_E_ENCODING_INVALID, strict.decode_all(c.input, &got, 0));
    }
  }
}

TEST_F(Utf16And32, TrailingPartialUnitIsLeftUnconsumed)
{
  TestCoder utf16("UTF-16BE", QXIO_CODER_OPEN_DECODE);
  codes_t got;
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID,
            utf16.decode_all(bytes({0x00, 0x41, 0x00}), &got, REPLACE_ALL, &pos));
  EXPECT_EQ((codes_t{'A'}), got);
  EXPECT_EQ(2u, pos);
  TestCoder utf32("UTF-32LE", QXIO_CODER_OPEN_DECODE);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID,
            utf32.decode_all(bytes({0x41, 0, 0, 0, 0x42, 0, 0}), &got, REPLACE_ALL, &pos));
  EXPECT_EQ((codes_t{'A'}), got);
  EXPECT_EQ(4u, pos);
}

TEST_F(Utf16And32, Utf32UnitsBeyondUnicode)
{
  const struct {
    std::string input;  // big-endian
    uint32_t options;
    qxio_t_error_code rc;
    codes_t codes;
  } cases[] = {
      {bytes({0x80, 0, 0, 0}), 0, QXIO_E_ENCODING_INVALID, {}},
      {bytes({0x80, 0, 0, 0}), QXIO_CODER_REPLACE, QXIO_E_ENCODING_INVALID, {}},
      {bytes({0xFF, 0xFF, 0xFF, 0xFF}), REPLACE_ALL, QXIO_E_END_OF_FILE, {FFFD}},
      {bytes({0, 0x11, 0, 0}), 0, QXIO_E_ENCODING_UNMAPPABLE, {}},
      {bytes({0, 0x11, 0, 0}), QXIO_CODER_REPLACE, QXIO_E_END_OF_FILE, {FFFD}},
      {bytes({0, 0x11, 0, 0}),
       QXIO_CODER_REPLACE | QXIO_CODER_STRICT,
       QXIO_E_ENCODING_UNMAPPABLE,
       {}},
      {bytes({0, 0, 0xD8, 0}), 0, QXIO_E_ENCODING_UNMAPPABLE, {}},
      {bytes({0, 0, 0xDF, 0xFF}), QXIO_CODER_REPLACE, QXIO_E_END_OF_FILE, {FFFD}},
      {bytes({0, 0x10, 0xFF, 0xFF}), 0, QXIO_E_END_OF_FILE, {0x10FFFF}},
  };
  for (const auto &c : cases) {
    TestCoder decoder("UTF-32BE", QXIO_CODER_OPEN_DECODE);
    codes_t got;
    EXPECT_EQ(c.rc, decoder.decode_all(c.input, &got, c.options))
        << ::testing::PrintToString(c.input);
    EXPECT_EQ(c.codes, got);
  }
}

}  // namespace
