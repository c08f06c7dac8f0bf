// UTF-8 over long texts, where the coder converts whole runs at once: random mixtures of
// long ASCII runs, every sequence length, malformed bytes and line ends, decoded whole and in
// pieces cut anywhere, checked against a textbook decoder written here; encoding checked
// against the C library's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>

#include "coder_test_util.h"

using qxio_test::codes_t;
using qxio_test::END;
using qxio_test::REPLACE_ALL;
using qxio_test::TestCoder;
using qxio_test::words;

namespace {

using qxio_test::FFFD;
using qxio_test::native_utf32;

class Utf8Runs : public qxio_test::CoderFixture {};

// The Unicode rule: each maximal ill-formed subpart becomes one U+FFFD. Leads of forms
// beyond U+10FFFF (F4 90-BF, F5-FD) never occur in the generated texts: this coder gives
// those one replacement as a whole, which the textbook rule does not.
codes_t reference_decode(const std::string &text)
{
  codes_t codes;
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned b = (unsigned char)text[i];
    if (b < 0x80) {
      codes.push_back(b);
      i++;
      continue;
    }
    size_t need = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF)
      need = 1;
    else if (b >= 0xE0 && b <= 0xEF)
      need = 2;
    else if (b >= 0xF0 && b <= 0xF4)
      need = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
    uint32_t code = b & (0x3Fu >> need);
    size_t j = 1;
    for (; need > 0 && j <= need && i + j < n; j++) {
      const unsigned c = (unsigned char)text[i + j];
      if (j == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
      code = code << 6 | (c & 0x3F);
    }
    codes.push_back(need > 0 && j > need ? code : FFFD);
    i += j;
  }
  return codes;
}

// Line-end rules on decoded codes: CRLF makes CR LF one LF; any-line-end makes CR an LF and
// drops the LF right after it.
codes_t reference_line_ends(const codes_t &codes, bool crlf)
{
  codes_t out;
  for (size_t i = 0; i < codes.size(); i++) {
    if (crlf && codes[i] == '\r' && i + 1 < codes.size() && codes[i + 1] == '\n') continue;
    if (!crlf && codes[i] == '\n' && i > 0 && codes[i - 1] == '\r') continue;
    out.push_back(!crlf && codes[i] == '\r' ? '\n' : codes[i]);
  }
  return out;
}

bool iconv_to_utf8(const codes_t &codes, std::string *out)
{
  return qxio_test::iconv_convert("UTF-8", native_utf32, words(codes), out);
}

void append_utf8(std::string *s, uint32_t c)
{
  if (c < 0x80) {
    *s += (char)c;
  } else if (c < 0x800) {
    *s += (char)(0xC0 | c >> 6);
    *s += (char)(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *s += (char)(0xE0 | c >> 12);
    *s += (char)(0x80 | (c >> 6 & 0x3F));
    *s += (char)(0x80 | (c & 0x3F));
  } else {
    *s += (char)(0xF0 | c >> 18);
    *s += (char)(0x80 | (c >> 12 & 0x3F));
    *s += (char)(0x80 | (c >> 6 & 0x3F));
    *s += (char)(0x80 | (c & 0x3F));
  }
}

// A scalar value of the given UTF-8 length, the extremes of each length favoured.
uint32_t random_scalar(std::mt19937 &rng, int length)
{
  static const uint32_t low[] = {0, 0x80, 0x800, 0x10000}, high[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  std::uniform_int_distribution<uint32_t> pick(low[length - 1], high[length - 1]);
  uint32_t c = rng() % 8 == 0 ? (rng() % 2 ? low[length - 1] : high[length - 1]) : pick(rng);
  return c >= 0xD800 && c <= 0xDFFF ? 0xE000 : c;
}

// Long ASCII runs (with tabs, CR and LF), characters of every length, and bytes that break
// sequences, mixed at random.
std::string random_text(std::mt19937 &rng, size_t pieces, bool malformed)
{
  static const unsigned char odd[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                      0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF3, 0xFE, 0xFF};
  static const char ascii[] = "The quick brown fox\t0123456789 jumps.\r\n";
  std::string text;
  for (size_t i = 0; i < pieces; i++) {
    switch (rng() % (malformed ? 4 : 3)) {
    case 0:
      for (size_t n = rng() % 70; n > 0; n--) text += ascii[rng() % (sizeof ascii - 1)];
      break;
    case 1:
    case 2:
      for (size_t n = rng() % 6; n > 0; n--) append_utf8(&text, random_scalar(rng, 1 + rng() % 4));
      break;
    default: text += (char)odd[rng() % sizeof odd];
    }
  }
  return text;
}

// Decodes in pieces cut at random points (each piece more input, the end said only with the
// last); every call that cannot go on must be waiting for more.
qxio_t_error_code decode_in_pieces(TestCoder &decoder, const std::string &text, std::mt19937 &rng,
                                   codes_t *codes)
{
  std::string out;
  size_t pos = 0, cut = 0;
  qxio_t_error_code rc;
  for (;;) {
    cut = std::min(text.size(), cut + rng() % 40);
    const std::string prefix = text.substr(0, cut);
    const uint32_t options = REPLACE_ALL | (cut == text.size() ? END : 0);
    while ((rc = decoder.step(prefix, &pos, &out, options)) >= 0) {}
    if (cut == text.size()) break;
    if (rc != QXIO_E_NOT_ENOUGH_DATA) break;
  }
  *codes = qxio_test::codes_of(out);
  return rc;
}

// Decoding the whole text at once and in pieces gives the expected codes.
void expect_decoding(uint32_t open, const std::string &text, const codes_t &expected,
                     std::mt19937 &rng)
{
  TestCoder whole("UTF-8", open), pieces("UTF-8", open);
  codes_t got;
  ASSERT_EQ(QXIO_E_END_OF_FILE, whole.decode_all(text, &got, REPLACE_ALL));
  ASSERT_TRUE(expected == got);
  ASSERT_EQ(QXIO_E_END_OF_FILE, decode_in_pieces(pieces, text, rng, &got));
  ASSERT_TRUE(expected == got) << "in pieces";
}

TEST_F(Utf8Runs, DecodingMixedTextGivesTheMaximalSubpartReplacements)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 60; round++) {
    const std::string text = random_text(rng, 200, round % 3 != 0);
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(
        expect_decoding(QXIO_CODER_OPEN_DECODE, text, reference_decode(text), rng));
  }
}

TEST_F(Utf8Runs, DecodingAppliesLineEndsInsideLongRuns)
{
  std::mt19937 rng(23);
  for (int round = 0; round < 40; round++) {
    const bool crlf = round % 2 == 0;
    const std::string text = random_text(rng, 150, round % 4 < 2);
    const codes_t expected = reference_line_ends(reference_decode(text), crlf);
    SCOPED_TRACE(round);
    const uint32_t line_ends = crlf ? QXIO_CODER_OPEN_CRLF : QXIO_CODER_OPEN_ANY_EOL;
    ASSERT_NO_FATAL_FAILURE(
        expect_decoding(QXIO_CODER_OPEN_DECODE | line_ends, text, expected, rng));
  }
}

// Strict decoding of a bad byte deep inside ASCII and after multi-byte text keeps every
// code before it and stops exactly there.
TEST_F(Utf8Runs, StrictDecodingStopsAtABadByteInsideARun)
{
  const std::string before[] = {std::string(37, 'a'), std::string(50, 'x') + "\xD0\xB6\xE6\x97\xA5",
                                "\xF0\x9F\x98\x80" + std::string(16, 'q')};
  for (const std::string &head : before) {
    for (const char *bad : {"\x80", "\xC3(", "\xED\xA0\x80", "\xE2\x82"}) {
      const std::string text = head + bad + std::string(40, 'z');
      TestCoder decoder("UTF-8", QXIO_CODER_OPEN_DECODE);
      codes_t got;
      size_t pos = 0;
      EXPECT_EQ(QXIO_E_ENCODING_INVALID, decoder.decode_all(text, &got, 0, &pos));
      EXPECT_EQ(head.size(), pos);
      EXPECT_TRUE(reference_decode(head) == got);
    }
  }
}

codes_t random_codes(std::mt19937 &rng, size_t pieces)
{
  return reference_decode(random_text(rng, pieces, false));
}

TEST_F(Utf8Runs, EncodingMixedCodesMatchesIconv)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 60; round++) {
    const codes_t codes = random_codes(rng, 200);
    std::string expected, got;
    ASSERT_TRUE(iconv_to_utf8(codes, &expected));
    TestCoder encoder("UTF-8", 0);
    ASSERT_EQ(QXIO_E_END_OF_FILE, encoder.encode_all(codes, &got, 0));
    ASSERT_TRUE(expected == got) << "round " << round;
  }
}

// A code that cannot be written, inside a long ASCII run: replaced where allowed, else the
// codes before it are written and encoding stops at it.
TEST_F(Utf8Runs, EncodingStopsAtOrReplacesAnUnwritableCodeInsideARun)
{
  for (uint32_t bad : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
    for (size_t at : {0u, 15u, 16u, 33u, 70u}) {
      codes_t codes(90, 'k');
      codes[at] = bad;
      codes_t replaced = codes;
      replaced[at] = FFFD;
      std::string expected, got;
      ASSERT_TRUE(iconv_to_utf8(replaced, &expected));
      TestCoder replacing("UTF-8", 0);
      EXPECT_EQ(QXIO_E_END_OF_FILE, replacing.encode_all(codes, &got, QXIO_CODER_REPLACE));
      EXPECT_EQ(expected, got);
      TestCoder strict("UTF-8", 0);
      got.clear();
      size_t pos = 0;
      EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, strict.encode_all(codes, &got, 0, &pos));
      EXPECT_EQ(at * 4, pos);
      EXPECT_EQ(std::string(at, 'k'), got);
    }
  }
}

TEST_F(Utf8Runs, EncodingWritesCrBeforeEveryLfOfLongRuns)
{
  std::mt19937 rng(9);
  for (int round = 0; round < 30; round++) {
    const codes_t codes = random_codes(rng, 150);
    codes_t with_cr;
    for (uint32_t c : codes) {
      if (c == '\n') with_cr.push_back('\r');
      with_cr.push_back(c);
    }
    std::string expected, got;
    ASSERT_TRUE(iconv_to_utf8(with_cr, &expected));
    TestCoder encoder("UTF-8", QXIO_CODER_OPEN_CRLF);
    ASSERT_EQ(QXIO_E_END_OF_FILE, encoder.encode_all(codes, &got, 0));
    ASSERT_TRUE(expected == got) << "round " << round;
  }
  // Under the any-line-end flag LF cannot be written: what comes before it is.
  codes_t codes(40, 'a');
  codes[20] = '\n';
  TestCoder any("UTF-8", QXIO_CODER_OPEN_ANY_EOL);
  std::string got;
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_NOT_IMPLEMENTED, any.encode_all(codes, &got, 0, &pos));
  EXPECT_EQ(80u, pos);
  EXPECT_EQ(std::string(20, 'a'), got);
}

}  // namespace
