/* Bignum boxes: text, limbs, bytes and doubles, checked against a decimal oracle written here
 * (digit strings with schoolbook multiply-add) and against the C library's correctly rounded
 * strtod. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "numbers.h"

namespace {

/* A heap window of its own: the number code only uses the worker's heap top and limit. */
struct Heap {
  explicit Heap(size_t words = 1 << 15) : cells(words, 0xDEADBEEFu)
  {
    w.global_top = cells.data();
    w.stack_start = cells.data() + words;
  }
  std::vector<TAGGED> cells;
  worker w{};
};

/* ---- the decimal oracle: non-negative numbers as digit strings, most significant first ---- */

void dec_mul_add(std::string &dec, uint32_t factor, uint32_t addend)
{
  uint64_t carry = addend;
  for (size_t i = dec.size(); i-- > 0;) {
    uint64_t t = (uint64_t)(dec[i] - '0') * factor + carry;
    dec[i] = (char)('0' + t % 10);
    carry = t / 10;
  }
  while (carry) {
    dec.insert(dec.begin(), (char)('0' + carry % 10));
    carry /= 10;
  }
  size_t nz = dec.find_first_not_of('0');
  dec = nz == std::string::npos ? "0" : dec.substr(nz);
}

std::string dec_of_digits(const std::string &digits, int base)
{
  std::string dec = "0";
  for (char c : digits) {
    int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    dec_mul_add(dec, (uint32_t)base, (uint32_t)d);
  }
  return dec;
}

std::string dec_pow2(int k)
{
  std::string dec = "1";
  for (int i = 0; i < k; i++) dec_mul_add(dec, 2, 0);
  return dec;
}

/* Signed decimal text of two's-complement little-endian bytes. */
std::string dec_of_bytes(std::vector<unsigned char> bytes)
{
  bool negative = !bytes.empty() && (bytes.back() & 0x80);
  if (negative) {
    unsigned carry = 1;
    for (auto &b : bytes) {
      unsigned v = (unsigned)(unsigned char)~b + carry;
      b = (unsigned char)v;
      carry = v >> 8;
    }
  }
  std::string dec = "0";
  for (size_t i = bytes.size(); i-- > 0;) dec_mul_add(dec, 256, bytes[i]);
  return (negative && dec != "0" ? "-" : "") + dec;
}

std::vector<uint32_t> limbs_of(TAGGED box)
{
  const TAGGED *p = StrPtr(box);
  int n = BignumLimbs(p[0]);
  return std::vector<uint32_t>(p + 1, p + 1 + n);
}

std::string dec_of_limbs(const std::vector<uint32_t> &limbs)
{
  std::vector<unsigned char> bytes;
  for (uint32_t l : limbs)
    for (int k = 0; k < 4; k++) bytes.push_back((unsigned char)(l >> (8 * k)));
  return dec_of_bytes(bytes);
}

/* Minimal two's complement: the top limb is not a mere sign extension of the one below. */
bool limbs_minimal(const std::vector<uint32_t> &l)
{
  if (l.size() < 2) return true;
  uint32_t top = l.back(), below_sign = l[l.size() - 2] >> 31;
  return !((top == 0 && below_sign == 0) || (top == 0xFFFFFFFFu && below_sign == 1));
}

/* A text of n random digits in a base, first digit nonzero. */
std::string random_digits(std::mt19937 &rng, size_t n, int base, bool mixed_case)
{
  static const char lower[] = "0123456789abcdef", upper[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    int d = (int)(rng() % (unsigned)base);
    if (i == 0 && d == 0) d = 1;
    s += (mixed_case && (rng() & 1)) ? upper[d] : lower[d];
  }
  return s;
}

/* The box bn_from_string writes, checked for its shape. */
TAGGED box_of(Heap &h, const std::string &text, int base)
{
  TAGGED *dest = h.w.global_top;
  EXPECT_EQ(bn_from_string(text.c_str(), dest, h.w.stack_start, base), 0) << text;
  int words = BoxWords(dest[0]);
  EXPECT_TRUE(IsBignumHeader(dest[0]));
  EXPECT_EQ(dest[words - 1], dest[0]) << "closing header";
  h.w.global_top += words;
  return MakeStr(dest);
}

std::string str(TAGGED integer, int base)
{
  std::vector<char> buf(bn_string_size(integer, base) + 8);
  char *aligned = buf.data() + ((4 - (uintptr_t)buf.data() % 4) % 4);
  return bn_to_string(integer, base, aligned);
}

}  // namespace

TEST(Bignum, DecimalTextMatchesOracleUpToThreeHundredDigits)
{
  std::mt19937 rng(11);
  for (size_t len = 1; len <= 300; len++) {
    for (int rep = 0; rep < 2; rep++) {
      Heap h;
      std::string digits = random_digits(rng, len, 10, false);
      bool negative = rng() & 1;
      std::string text = (negative ? "-" : "") + digits;
      TAGGED box = box_of(h, text, 10);
      std::vector<uint32_t> limbs = limbs_of(box);
      ASSERT_EQ(dec_of_limbs(limbs), text);
      EXPECT_TRUE(limbs_minimal(limbs)) << text;
      EXPECT_EQ(str(box, 10), text);
    }
  }
}

TEST(Bignum, PowerOfTwoBasesMatchOracle)
{
  std::mt19937 rng(12);
  for (int base : {2, 8, 16}) {
    for (size_t len = 1; len <= 300; len++) {
      Heap h;
      std::string digits = random_digits(rng, len, base, base == 16);
      bool negative = rng() & 1;
      TAGGED box = box_of(h, (negative ? "-" : "") + digits, base);
      std::vector<uint32_t> limbs = limbs_of(box);
      std::string expected = (negative ? "-" : "") + dec_of_digits(digits, base);
      ASSERT_EQ(dec_of_limbs(limbs), expected) << base << " " << digits;
      EXPECT_TRUE(limbs_minimal(limbs));
      std::string lower = digits;
      for (char &c : lower) c = (char)std::tolower((unsigned char)c);
      EXPECT_EQ(str(box, base), (negative ? "-" : "") + lower);
      EXPECT_EQ(str(box, 10), expected);
    }
  }
}

TEST(Bignum, LeadingZerosAndSignsNormalise)
{
  Heap h;
  EXPECT_EQ(limbs_of(box_of(h, "0000000000000000000000000000042", 10)), std::vector<uint32_t>{42});
  EXPECT_EQ(limbs_of(box_of(h, "-0", 10)), std::vector<uint32_t>{0});
  EXPECT_EQ(limbs_of(box_of(h, "+7", 10)), std::vector<uint32_t>{7});
  EXPECT_EQ(str(box_of(h, "-000", 10), 10), "0");
}

TEST(Bignum, BoundaryValuesHaveMinimalLength)
{
  struct Case {
    std::string text;
    size_t limbs;
  };
  const Case cases[] = {
      {"-268435456", 1},
      {"268435455", 1},
      {"268435456", 1},
      {"-268435457", 1},
      {"2147483647", 1},
      {"2147483648", 2},
      {"-2147483648", 1},
      {"-2147483649", 2},
      {"4294967295", 2},
      {"4294967296", 2},
      {"9223372036854775807", 2},
      {"9223372036854775808", 3},
      {"-9223372036854775808", 2},
      {"-9223372036854775809", 3},
      {"18446744073709551616", 3},
      {"-18446744073709551616", 3},
      {"18446744073709551615", 3},
  };
  for (const Case &c : cases) {
    Heap h;
    TAGGED box = box_of(h, c.text, 10);
    std::vector<uint32_t> limbs = limbs_of(box);
    EXPECT_EQ(limbs.size(), c.limbs) << c.text;
    EXPECT_EQ(dec_of_limbs(limbs), c.text);
    EXPECT_EQ(StrPtr(box)[0], BignumHeader((int)c.limbs));
  }
}

TEST(Bignum, BytesRoundTripThroughMinimalLength)
{
  std::mt19937 rng(13);
  for (size_t len = 1; len <= 300; len += 3) {
    Heap h;
    std::string text = ((rng() & 1) ? "-" : "") + random_digits(rng, len, 10, false);
    TAGGED box = box_of(h, text, 10);
    size_t size = 0;
    ASSERT_EQ(bn_to_bytes(box, nullptr, &size), 0);
    std::vector<unsigned char> bytes(size);
    ASSERT_EQ(bn_to_bytes(box, bytes.data(), &size), 1);
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(dec_of_bytes(bytes), text);
    if (size > 1) { /* no redundant sign byte on top */
      unsigned char top = bytes[size - 1], below = bytes[size - 2];
      EXPECT_FALSE((top == 0 && !(below & 0x80)) || (top == 0xFF && (below & 0x80))) << text;
    }
    TAGGED *again = h.w.global_top;
    ASSERT_EQ(bn_from_bytes(bytes.data(), bytes.size(), again, h.w.stack_start), 0);
    int words = BoxWords(again[0]);
    EXPECT_TRUE(std::equal(again, again + words, StrPtr(box))) << text;
  }
}

TEST(Bignum, FromBytesDropsRedundantSignBytes)
{
  Heap h;
  const unsigned char minus_one[9] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  TAGGED *at = h.w.global_top;
  ASSERT_EQ(bn_from_bytes(minus_one, 9, at, h.w.stack_start), 0);
  EXPECT_EQ(at[0], QX_BIGNUM1_HEADER);
  EXPECT_EQ(at[1], 0xFFFFFFFFu);
  EXPECT_EQ(at[2], QX_BIGNUM1_HEADER);
  /* 0x80 00 00 00 00 followed by 00 is +2^39: two limbs. */
  const unsigned char big[6] = {0, 0, 0, 0, 0x80, 0};
  ASSERT_EQ(bn_from_bytes(big, 6, at, h.w.stack_start), 0);
  EXPECT_EQ(dec_of_limbs(limbs_of(MakeStr(at))), "549755813888");
  ASSERT_EQ(bn_from_bytes(big, 0, at, h.w.stack_start), 0);
  EXPECT_EQ(limbs_of(MakeStr(at)), std::vector<uint32_t>{0});
}

TEST(Bignum, FromBytesReportsMissingCells)
{
  Heap h;
  unsigned char bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0x7F}; /* three limbs: five words */
  TAGGED *at = h.w.global_top;
  EXPECT_EQ(bn_from_bytes(bytes, 9, at, at + 3), 2);
  EXPECT_EQ(at[0], 0xDEADBEEFu) << "nothing written on shortage";
  EXPECT_EQ(bn_from_bytes(bytes, 9, at, at), 5);
  EXPECT_EQ(bn_from_bytes(bytes, 9, at, at + 5), 0);
}

TEST(Bignum, ToBytesReportsNeedAndFillsSignBytes)
{
  Heap h;
  TAGGED box = box_of(h, "-4294967296", 10); /* ...FF 00 00 00 00: five bytes */
  unsigned char buf[8];
  size_t size = 4;
  EXPECT_EQ(bn_to_bytes(box, buf, &size), 0);
  EXPECT_EQ(size, 5u);
  size = 8;
  ASSERT_EQ(bn_to_bytes(box, buf, &size), 1);
  EXPECT_EQ(size, 5u);
  const unsigned char expected[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(buf, expected, 8), 0);
  /* Small integers have bytes too. */
  size = 2;
  ASSERT_EQ(bn_to_bytes(MakeSmall(-129), buf, &size), 1);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(buf[0], 0x7F);
  EXPECT_EQ(buf[1], 0xFF);
}

TEST(Bignum, FromStringStaysBelowTheLimit)
{
  Heap h;
  TAGGED *dest = h.w.global_top;
  /* 2^64 has three limbs: five words. */
  EXPECT_EQ(bn_from_string("18446744073709551616", dest, dest + 4, 10), 1);
  for (int i = 4; i < 8; i++)
    EXPECT_EQ(dest[i], 0xDEADBEEFu) << "word " << i << " at or past the limit was written";
  EXPECT_EQ(bn_from_string("18446744073709551616", dest, dest + 5, 10), 0);
  EXPECT_EQ(dest[5], 0xDEADBEEFu);
  /* The sign limb of 2^63 counts too; -2^63 needs none. */
  EXPECT_EQ(bn_from_string("9223372036854775808", dest, dest + 4, 10), 1);
  EXPECT_EQ(bn_from_string("-9223372036854775808", dest, dest + 4, 10), 0);
  EXPECT_EQ(bn_from_string("1", dest, dest + 2, 10), 1);
}

TEST(Bignum, FromStringRejectsNonDigits)
{
  Heap h;
  TAGGED *dest = h.w.global_top;
  for (const char *bad : {"", "-", "+", "12a", "1 2", "+-1", "--1", "0x10"})
    EXPECT_EQ(bn_from_string(bad, dest, h.w.stack_start, 10), -1) << bad;
  EXPECT_EQ(bn_from_string("102", dest, h.w.stack_start, 2), -1);
  EXPECT_EQ(bn_from_string("78", dest, h.w.stack_start, 8), -1);
  EXPECT_EQ(bn_from_string("fg", dest, h.w.stack_start, 16), -1);
  EXPECT_EQ(bn_from_string("1", dest, h.w.stack_start, 1), -1);
  EXPECT_EQ(bn_from_string("zz", dest, h.w.stack_start, 36), 0);
  EXPECT_EQ(dest[1], 35u * 36 + 35);
}

TEST(Bignum, MakeNormalisesToSmallOrMinimalBox)
{
  Heap h;
  const uint32_t five[3] = {5, 0, 0};
  EXPECT_EQ(bn_make(&h.w, five, 3), MakeSmall(5));
  const uint32_t minus_one[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(bn_make(&h.w, minus_one, 2), MakeSmall(-1));
  EXPECT_EQ(h.w.global_top, h.cells.data()) << "small results take no heap";
  const uint32_t two31[3] = {0x80000000u, 0, 0};
  TAGGED t = bn_make(&h.w, two31, 3);
  EXPECT_EQ(limbs_of(t), (std::vector<uint32_t>{0x80000000u, 0}));
  const uint32_t minus_two31[2] = {0x80000000u, 0xFFFFFFFFu};
  t = bn_make(&h.w, minus_two31, 2);
  EXPECT_EQ(limbs_of(t), std::vector<uint32_t>{0x80000000u});
  EXPECT_EQ(h.w.global_top, h.cells.data() + 4 + 3);
  EXPECT_EQ(bn_make(&h.w, nullptr, 0), MakeSmall(0));
}

TEST(Bignum, CompareOrdersByValue)
{
  std::mt19937 rng(14);
  /* Decimal oracle order: by sign, then by length, then by digits. */
  auto oracle = [](const std::string &a, const std::string &b) {
    bool na = a[0] == '-', nb = b[0] == '-';
    if (na != nb) return na ? -1 : 1;
    std::string ma = na ? a.substr(1) : a, mb = nb ? b.substr(1) : b;
    int c = ma.size() != mb.size() ? (ma.size() < mb.size() ? -1 : 1)
                                   : (ma < mb   ? -1
                                      : ma > mb ? 1
                                                : 0);
    return na ? -c : c;
  };
  for (int i = 0; i < 2000; i++) {
    Heap h;
    std::string a = ((rng() & 1) ? "-" : "") + random_digits(rng, 1 + rng() % 40, 10, false);
    std::string b =
        (i % 7 == 0) ? a : ((rng() & 1) ? "-" : "") + random_digits(rng, 1 + rng() % 40, 10, false);
    TAGGED ta = box_of(h, a, 10), tb = box_of(h, b, 10);
    ASSERT_EQ(bn_compare(ta, tb), oracle(a, b)) << a << " " << b;
  }
  Heap h;
  EXPECT_EQ(bn_compare(MakeSmall(-3), box_of(h, "-2147483648", 10)), 1);
  EXPECT_EQ(bn_compare(MakeSmall(7), MakeSmall(7)), 0);
  EXPECT_EQ(bn_compare(box_of(h, "4294967296", 10), MakeSmall(QX_SMALL_MAX)), 1);
}

TEST(Bignum, ToDoubleMatchesCorrectlyRoundedStrtod)
{
  std::mt19937 rng(15);
  for (size_t len = 1; len <= 330; len++) {
    Heap h;
    std::string text = ((rng() & 1) ? "-" : "") + random_digits(rng, len, 10, false);
    double expected = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(bn_to_double(box_of(h, text, 10)), expected) << text;
  }
}

TEST(Bignum, ToDoubleRoundsHalfwayCasesToEven)
{
  Heap h(1 << 12);
  auto value = [&h](const std::string &dec) {
    h.w.global_top = h.cells.data();
    return bn_to_double(box_of(h, dec, 10));
  };
  auto plus = [](std::string dec, uint32_t k) {
    dec_mul_add(dec, 1, k);
    return dec;
  };
  auto times_pow2 = [](std::string dec, int k) {
    for (int i = 0; i < k; i++) dec_mul_add(dec, 2, 0);
    return dec;
  };
  const double two53 = 9007199254740992.0;
  EXPECT_EQ(value(plus(dec_pow2(53), 1)), two53);     /* tie, even below */
  EXPECT_EQ(value(plus(dec_pow2(53), 3)), two53 + 4); /* tie, even above */
  EXPECT_EQ(value("-" + plus(dec_pow2(53), 1)), -two53);
  EXPECT_EQ(value("18446744073709551615"), 18446744073709551616.0); /* 2^64 - 1 */
  EXPECT_EQ(value("1000000000000000000000000000000"), 1e30);
  std::string tie = times_pow2(plus(dec_pow2(53), 1), 40);
  EXPECT_EQ(value(tie), std::ldexp(two53, 40));
  EXPECT_EQ(value(plus(tie, 1)), std::ldexp(two53 + 2, 40)) << "sticky bits round up";
  EXPECT_EQ(value(times_pow2(plus(dec_pow2(53), 3), 40)), std::ldexp(two53 + 4, 40));
  /* DBL_MAX = (2^53 - 1) * 2^971; halfway above it, (2^54 - 1) * 2^970 rounds to the even
   * 2^1024 and overflows; one below halfway rounds down to DBL_MAX. */
  std::string dbl_max = times_pow2("9007199254740991", 971);
  std::string halfway = times_pow2("18014398509481983", 970);
  std::string below_halfway = halfway;
  size_t i = below_halfway.size() - 1;
  for (; below_halfway[i] == '0'; i--) below_halfway[i] = '9';
  below_halfway[i]--;
  EXPECT_EQ(value(dbl_max), std::numeric_limits<double>::max());
  EXPECT_EQ(value(below_halfway), std::numeric_limits<double>::max());
  EXPECT_EQ(value(halfway), HUGE_VAL);
  EXPECT_EQ(value("-" + halfway), -HUGE_VAL);
  EXPECT_EQ(value(dec_pow2(1024)), HUGE_VAL);
  EXPECT_EQ(value(dec_pow2(2000)), HUGE_VAL);
}

TEST(Bignum, CompareWithDoubleIsExact)
{
  Heap h;
  TAGGED two53p1 = box_of(h, "9007199254740993", 10);
  EXPECT_EQ(bn_compare_double(two53p1, 9007199254740992.0), 1);
  EXPECT_EQ(bn_compare_double(two53p1, 9007199254740994.0), -1);
  /* 1e30 as a double is 1000000000000000019884624838656. */
  TAGGED e30 = box_of(h, "1000000000000000000000000000000", 10);
  EXPECT_EQ(bn_compare_double(e30, 1e30), -1);
  EXPECT_EQ(bn_compare_double(box_of(h, "1000000000000000019884624838656", 10), 1e30), 0);
  EXPECT_EQ(bn_compare_double(box_of(h, "-9223372036854775808", 10), -9223372036854775808.0), 0);
  EXPECT_EQ(bn_compare_double(MakeSmall(5), 5.5), -1);
  EXPECT_EQ(bn_compare_double(MakeSmall(-5), -5.5), 1);
  EXPECT_EQ(bn_compare_double(MakeSmall(0), -0.0), 0);
  EXPECT_EQ(bn_compare_double(MakeSmall(-5), -4.5), -1);
  EXPECT_EQ(bn_compare_double(e30, HUGE_VAL), -1);
  EXPECT_EQ(bn_compare_double(e30, -HUGE_VAL), 1);
  EXPECT_EQ(bn_compare_double(e30, -1e300), 1);
  EXPECT_EQ(bn_compare_double(e30, 1e300), -1);
  EXPECT_EQ(bn_compare_double(e30, std::numeric_limits<double>::max()), -1);
  EXPECT_EQ(bn_compare_double(MakeSmall(1), std::numeric_limits<double>::quiet_NaN()), 1);
}
