/* Number terms and their text: small/boxed choice at every boundary, reading back, standard
 * order, the shortest float text (checked by reading it back and by trying every shorter
 * candidate), printf letters against snprintf, and the number-text reader. */
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numbers.h"

namespace {

struct Heap {
  explicit Heap(size_t words = 1 << 12) : cells(words, 0xDEADBEEFu)
  {
    w.global_top = cells.data();
    w.stack_start = cells.data() + words;
  }
  size_t used() const { return (size_t)(w.global_top - cells.data()); }
  std::vector<TAGGED> cells;
  worker w{};
};

uint64_t bits_of(double d)
{
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

double double_of(uint64_t b)
{
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

int limbs(TAGGED t) { return IsBignum(t) ? BignumLimbs(StrFunctor(t)) : 0; }

/* A compound with a fixed functor (names do not matter to the number code). */
TAGGED compound(Heap &h, uint32_t name, std::vector<TAGGED> args)
{
  TAGGED *p = h.w.global_top;
  p[0] = MakeFunctor(MakeAtom(name), (uint32_t)args.size());
  for (size_t i = 0; i < args.size(); i++) p[i + 1] = args[i];
  h.w.global_top += args.size() + 1;
  return MakeStr(p);
}

/* Write options whose argument 9 is fmt(Letter, Precision). */
TAGGED write_options(Heap &h, TAGGED format)
{
  std::vector<TAGGED> args(9, MakeAtom(1));
  args[8] = format;
  return compound(h, 2, args);
}

std::string H(double v, int precision = 1) { return format_float('H', precision, v); }

/* Checks the shortest-text promise independently: the text reads back as v; removing one
 * significant digit (rounding down, to nearest or up) never reads back as v; the exponent form
 * is used exactly outside [1e-4, 1e15); there is a point and a fraction digit. */
void expect_shortest(double v)
{
  std::string text = H(v);
  ASSERT_EQ(bits_of(std::strtod(text.c_str(), nullptr)), bits_of(v)) << text;
  size_t e = text.find('e');
  bool exponent_form = e != std::string::npos;
  double mag = std::fabs(v);
  EXPECT_EQ(exponent_form, mag != 0 && (mag < 1e-4 || mag >= 1e15)) << text;
  std::string mantissa = text.substr(0, e);
  size_t dot = mantissa.find('.');
  ASSERT_NE(dot, std::string::npos) << text;
  ASSERT_GT(mantissa.size(), dot + 1) << text;
  if (mantissa[0] == '-') mantissa = mantissa.substr(1), dot--;
  int scale =
      (exponent_form ? std::atoi(text.c_str() + e + 1) : 0) - (int)(mantissa.size() - dot - 1);
  std::string digits = mantissa.substr(0, dot) + mantissa.substr(dot + 1);
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') digits.pop_back(), scale++;
  if (digits.size() <= 1) return;
  ASSERT_LE(digits.size(), 17u) << text;
  unsigned long long shorter = std::stoull(digits.substr(0, digits.size() - 1));
  for (unsigned long long candidate : {shorter - 1, shorter, shorter + 1}) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llue%d", candidate, scale + 1);
    EXPECT_NE(std::strtod(buf, nullptr), mag) << text << " could be " << buf;
  }
}

}  // namespace

TEST(NumConv, MakeIntegerIsSmallExactlyInTwentyNineBits)
{
  const int32_t values[] = {
      0,         1,        -1, QX_SMALL_MAX, QX_SMALL_MIN, QX_SMALL_MAX + 1, QX_SMALL_MIN - 1,
      INT32_MAX, INT32_MIN};
  for (int32_t v : values) {
    Heap h;
    TAGGED t = make_integer(&h.w, v);
    bool small = v >= -268435456 && v <= 268435455;
    EXPECT_EQ(IsSmall(t), small) << v;
    EXPECT_EQ(h.used(), small ? 0u : 3u) << v;
    if (!small) {
      EXPECT_EQ(h.cells[0], (TAGGED)-25);
      EXPECT_EQ(h.cells[2], (TAGGED)-25);
      EXPECT_EQ(limbs(t), 1);
    }
    EXPECT_EQ(spi_get_integer(t), v);
  }
}

TEST(NumConv, QxMakeIntegerAlwaysWritesThreeWords)
{
  Heap h;
  TAGGED t = qx_make_integer(&h.w, 5);
  EXPECT_EQ(h.used(), 3u);
  EXPECT_EQ(h.cells[0], (TAGGED)-25);
  EXPECT_EQ(h.cells[1], 5u);
  EXPECT_EQ(h.cells[2], (TAGGED)-25);
  EXPECT_EQ(t, MakeStr(h.cells.data()));
  EXPECT_EQ(spi_get_integer(t), 5);
}

TEST(NumConv, MakeInt64UsesMinimalLimbs)
{
  struct Case {
    int64_t v;
    int limbs; /* 0: small */
  };
  const Case cases[] = {
      {0, 0},          {268435455, 0},    {268435456, 1},     {-268435456, 0},    {-268435457, 1},
      {2147483647, 1}, {2147483648LL, 2}, {-2147483648LL, 1}, {-2147483649LL, 2}, {4294967296LL, 2},
      {INT64_MAX, 2},  {INT64_MIN, 2},
  };
  for (const Case &c : cases) {
    Heap h;
    TAGGED t = make_int64(&h.w, c.v);
    EXPECT_EQ(IsSmall(t), c.limbs == 0) << c.v;
    EXPECT_EQ(limbs(t), c.limbs) << c.v;
    EXPECT_EQ(h.used(), c.limbs ? (size_t)c.limbs + 2 : 0u) << c.v;
    EXPECT_EQ(spi_get_int64(t), c.v);
    int64_t back = 0;
    EXPECT_EQ(qx_get_int64(t, &back), 1);
    EXPECT_EQ(back, c.v);
  }
}

TEST(NumConv, GetInt64RefusesWhatDoesNotFit)
{
  Heap h;
  int64_t v = 0;
  TAGGED big = qx_string_to_number(&h.w, "9223372036854775808", 10, nullptr);
  EXPECT_EQ(limbs(big), 3);
  EXPECT_EQ(qx_get_int64(big, &v), 0);
  EXPECT_EQ(qx_get_int64(qx_make_double(&h.w, 1.0), &v), 0);
  EXPECT_EQ(qx_get_int64(MakeAtom(3), &v), 0);
}

TEST(NumConv, FloatsAreFourWordBoxesLowWordFirst)
{
  Heap h;
  double d = -1234.5678e-90;
  uint64_t b = bits_of(d);
  TAGGED t = make_float(&h.w, (uint32_t)b, (uint32_t)(b >> 32));
  ASSERT_EQ(h.used(), 4u);
  EXPECT_EQ(h.cells[0], (TAGGED)-33);
  EXPECT_EQ(h.cells[1], (uint32_t)b);
  EXPECT_EQ(h.cells[2], (uint32_t)(b >> 32));
  EXPECT_EQ(h.cells[3], (TAGGED)-33);
  EXPECT_TRUE(IsFloat(t));
  EXPECT_EQ(bits_of(spi_get_float(t)), b);
  TAGGED u = qx_make_double(&h.w, d);
  EXPECT_TRUE(std::equal(StrPtr(u), StrPtr(u) + 4, StrPtr(t)));
}

TEST(NumConv, SpiGetFloatReadsEveryNumber)
{
  Heap h;
  EXPECT_EQ(spi_get_float(MakeSmall(-7)), -7.0);
  EXPECT_EQ(spi_get_float(make_integer(&h.w, INT32_MIN)), -2147483648.0);
  TAGGED e30 = qx_string_to_number(&h.w, "1000000000000000000000000000000", 10, nullptr);
  EXPECT_EQ(spi_get_float(e30), 1e30);
  TAGGED odd = qx_string_to_number(&h.w, "9007199254740993", 10, nullptr);
  EXPECT_EQ(spi_get_float(odd), 9007199254740992.0);
}

TEST(NumConv, CompareNumbersByValueWithFloatFirstOnTies)
{
  Heap h;
  TAGGED one = MakeSmall(1), one_f = qx_make_double(&h.w, 1.0);
  EXPECT_EQ(qx_compare_numbers(one, one_f), 1);
  EXPECT_EQ(qx_compare_numbers(one_f, one), -1);
  EXPECT_EQ(qx_compare_numbers(one_f, qx_make_double(&h.w, 1.0)), 0);
  EXPECT_EQ(qx_compare_numbers(MakeSmall(2), one_f), 1);
  EXPECT_EQ(qx_compare_numbers(MakeSmall(0), qx_make_double(&h.w, 0.5)), -1);
  /* Exact comparison where a conversion to double would tie. */
  TAGGED odd = qx_string_to_number(&h.w, "9007199254740993", 10, nullptr);
  TAGGED two53 = qx_make_double(&h.w, 9007199254740992.0);
  EXPECT_EQ(qx_compare_numbers(odd, two53), 1);
  EXPECT_EQ(qx_compare_numbers(two53, odd), -1);
  TAGGED e30 = qx_string_to_number(&h.w, "1000000000000000000000000000000", 10, nullptr);
  EXPECT_EQ(qx_compare_numbers(e30, qx_make_double(&h.w, 1e30)), -1);
  EXPECT_EQ(qx_compare_numbers(e30, MakeSmall(5)), 1);
  EXPECT_EQ(qx_compare_numbers(make_int64(&h.w, INT64_MIN), MakeSmall(-1)), -1);
  /* Distinct zeros and NaN get a place of their own. */
  TAGGED zero = qx_make_double(&h.w, 0.0), minus_zero = qx_make_double(&h.w, -0.0);
  EXPECT_EQ(qx_compare_numbers(minus_zero, zero), -1);
  EXPECT_EQ(qx_compare_numbers(zero, minus_zero), 1);
  TAGGED nan = qx_make_double(&h.w, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(qx_compare_numbers(nan, qx_make_double(&h.w, -HUGE_VAL)), -1);
  EXPECT_EQ(qx_compare_numbers(MakeSmall(QX_SMALL_MIN), nan), 1);
  EXPECT_EQ(qx_compare_numbers(nan, nan), 0);
  EXPECT_EQ(qx_compare_numbers(qx_make_double(&h.w, HUGE_VAL), e30), 1);
}

TEST(NumConv, ShortestFloatTextReadsBackForRandomDoubles)
{
  std::mt19937_64 rng(21);
  for (int i = 0; i < 100000; i++) {
    double v = double_of(rng());
    if (!std::isfinite(v)) continue;
    expect_shortest(v);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(NumConv, ShortestFloatTextAtBoundaries)
{
  const double values[] = {1.0,
                           0.1,
                           0.3,
                           2.0 / 3,
                           1e15,
                           1e15 - 0.125,
                           1e-4,
                           9.99e-5,
                           1e-5,
                           5e-324,
                           2.2250738585072014e-308,
                           std::numeric_limits<double>::max(),
                           9007199254740992.0,
                           9007199254740993.0,
                           1e23,
                           8.41e21,
                           5e-310,
                           0.5,
                           100.0,
                           123456789012345.0};
  for (double v : values) {
    expect_shortest(v);
    expect_shortest(-v);
  }
  /* Powers of two, where the texts that read back lie unevenly around the value. */
  for (int k = -1074; k <= 1023; k++) expect_shortest(std::ldexp(1.0, k));
}

TEST(NumConv, ShortestFloatFixedTexts)
{
  EXPECT_EQ(H(1.0), "1.0");
  EXPECT_EQ(H(0.1), "0.1");
  EXPECT_EQ(H(1e20), "1.0e20");
  EXPECT_EQ(H(-2.5), "-2.5");
  EXPECT_EQ(H(0.0), "0.0");
  EXPECT_EQ(H(-0.0), "-0.0");
  EXPECT_EQ(H(1e15), "1.0e15");
  EXPECT_EQ(H(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(H(1e-4), "0.0001");
  EXPECT_EQ(H(9.99e-5), "9.99e-5");
  EXPECT_EQ(H(5e-324), "5.0e-324");
  EXPECT_EQ(H(std::numeric_limits<double>::max()), "1.7976931348623157e308");
  EXPECT_EQ(H(HUGE_VAL), "1.0Inf");
  EXPECT_EQ(H(-HUGE_VAL), "-1.0Inf");
  EXPECT_EQ(H(std::numeric_limits<double>::quiet_NaN()), "1.5NaN");
  EXPECT_EQ(H(100.0), "100.0");
  EXPECT_EQ(H(0.00123), "0.00123");
}

TEST(NumConv, ShortestFloatTakesNoPadding)
{
  EXPECT_EQ(H(1.0, 3), "1.0") << "the shortest form takes no padding";
  EXPECT_EQ(H(0.1, 3), "0.1");
  EXPECT_EQ(H(1e20, 3), "1.0e20");
  EXPECT_EQ(H(123.456, 0), "123.456");
  EXPECT_EQ(H(123.456, 2), "123.456");
  EXPECT_EQ(H(0.5, -4), "0.5");
  EXPECT_EQ(H(-0.0, 2), "-0.0");
  EXPECT_EQ(H(1.25e-7, 5), "1.25e-7");
  EXPECT_EQ(H(2.0, 40), "2.0");
  EXPECT_EQ(format_float('Q', 1, 2.5), std::string("2.5")) << "unknown letters print as H";
}

TEST(NumConv, PrintfLettersMatchSnprintf)
{
  std::mt19937_64 rng(22);
  const char letters[] = "eEfFgG";
  for (int i = 0; i < 3000; i++) {
    double v = double_of(rng());
    if (i % 3 == 0)
      v = std::ldexp((double)(int64_t)rng(), -(int)(rng() % 80)); /* moderate magnitudes */
    if (std::fabs(v) > 1e40 && (i % 2)) continue;                 /* keep the %f texts short */
    for (const char *l = letters; *l; l++) {
      int precision = (int)(rng() % 18);
      char format[8] = {'%', '.', '*', *l, 0};
      std::vector<char> buf(2048);
      std::snprintf(buf.data(), buf.size(), format, precision, v);
      ASSERT_STREQ(format_float(*l, precision, v), buf.data()) << format << " " << precision;
    }
  }
}

TEST(NumConv, StringToNumberReadsValidTexts)
{
  struct Case {
    const char *text;
    int base;
    int64_t value;
  };
  const Case ints[] = {
      {"0", 10, 0},
      {"-12", 10, -12},
      {"007", 10, 7},
      {"268435455", 10, 268435455},
      {"-268435456", 10, -268435456},
      {"268435456", 10, 268435456},
      {"9223372036854775807", 10, INT64_MAX},
      {"-9223372036854775808", 10, INT64_MIN},
      {"0'a", 10, 97},
      {"0'\\n", 10, 10},
      {"0'''", 10, 39},
      {"0' ", 10, 32},
      {"0'\\x41\\", 10, 65},
      {"0'\\101\\", 10, 65},
      {"-0'a", 10, -97},
      {"0'\\\\", 10, 92},
      {"0'\\e", 10, 27},
      {"0'\\x7FFFFFFF\\", 10, 2147483647},
      {"ff", 16, 255},
      {"FF", 16, 255},
      {"-7fffffff", 16, -2147483647},
      {"101", 2, 5},
      {"777", 8, 511},
      {"0x1F", 10, 31},
      {"0b101", 10, 5},
      {"0o17", 10, 15},
      {"-0x10", 10, -16},
  };
  for (const Case &c : ints) {
    Heap h;
    int status = 99;
    TAGGED t = qx_string_to_number(&h.w, c.text, c.base, &status);
    ASSERT_NE(t, 0u) << c.text;
    EXPECT_EQ(status, 0);
    int64_t v;
    ASSERT_EQ(qx_get_int64(t, &v), 1) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(IsSmall(t), c.value >= QX_SMALL_MIN && c.value <= QX_SMALL_MAX) << c.text;
  }
  const std::pair<const char *, double> floats[] = {
      {"1.0e10", 1e10},
      {"1.0E-3", 1e-3},
      {"0.1", 0.1},
      {"-2.5", -2.5},
      {"1.5e+2", 150.0},
      {"1.0e-400", 0.0},
      {"1.0Inf", HUGE_VAL},
      {"-1.0Inf", -HUGE_VAL},
      {"123456789012345678901234567890.5", 123456789012345678901234567890.5},
  };
  for (const auto &f : floats) {
    Heap h;
    TAGGED t = qx_string_to_number(&h.w, f.first, 10, nullptr);
    ASSERT_TRUE(t != 0 && IsFloat(t)) << f.first;
    EXPECT_EQ(bits_of(FloatValue(t)), bits_of(f.second)) << f.first;
  }
  Heap h;
  TAGGED nan = qx_string_to_number(&h.w, "1.5NaN", 10, nullptr);
  ASSERT_TRUE(nan != 0 && IsFloat(nan));
  EXPECT_TRUE(std::isnan(FloatValue(nan)));
}

TEST(NumConv, StringToNumberBuildsBignums)
{
  Heap h;
  const char *text = "123456789012345678901234567890";
  TAGGED t = qx_string_to_number(&h.w, text, 10, nullptr);
  ASSERT_TRUE(IsBignum(t));
  EXPECT_EQ(limbs(t), 4); /* about 2^96.6 */
  EXPECT_STREQ(qx_number_to_string(t, 10, 0), text);
  EXPECT_EQ(h.used(), 6u);
  TAGGED neg = qx_string_to_number(&h.w, "-DEADBEEFCAFEBABE0123", 16, nullptr);
  EXPECT_STREQ(qx_number_to_string(neg, 16, 0), "-deadbeefcafebabe0123");
  TAGGED bin = qx_string_to_number(&h.w, ("1" + std::string(100, '0')).c_str(), 2, nullptr);
  EXPECT_STREQ(qx_number_to_string(bin, 10, 0), "1267650600228229401496703205376");
  /* Bignums that happen to be short still come back as small integers. */
  TAGGED padded = qx_string_to_number(&h.w, "000000000000000000000000000012", 10, nullptr);
  EXPECT_EQ(padded, MakeSmall(12));
}

TEST(NumConv, StringToNumberRejectsMalformedTexts)
{
  struct Case {
    const char *text;
    int base;
  };
  const Case bad[] = {
      {"1.", 10},
      {"1e", 10},
      {".5", 10},
      {"0x", 10},
      {"", 10},
      {"-", 10},
      {"1e10", 10},
      {"1.0e", 10},
      {"1.0e+", 10},
      {"12a", 10},
      {"0'", 10},
      {"0''", 10},
      {"0'\n", 10},
      {"0'ab", 10},
      {"0'\\x41", 10},
      {"0'\\q", 10},
      {"0'\\x\\", 10},
      {"0'\\8\\", 10},
      {"0'\\77777777777\\", 10},
      {"0'\\x80000000\\", 10},
      {"0'\\x41\\a", 10},
      {"0'\\x4G\\", 10},
      {"0'\t", 10},
      {"0'\\n ", 10},
      {"102", 2},
      {"8", 8},
      {"1.5", 16},
      {"0x1F", 16},
      {"+1", 10},
      {"1.0e5x", 10},
      {"1.0.0", 10},
      {"0b2", 10},
      {" 1", 10},
      {"1 ", 10},
      {"1.0Inf", 16},
      {"2.0Inf", 10},
      {"12", 7},
      {"0'\xC3\xA9", 10},
  };
  for (const Case &c : bad) {
    Heap h;
    int status = 0;
    EXPECT_EQ(qx_string_to_number(&h.w, c.text, c.base, &status), 0u) << c.text;
    EXPECT_EQ(status, QX_NUMBER_SYNTAX) << c.text;
    EXPECT_EQ(h.used(), 0u) << c.text;
  }
}

TEST(NumConv, StringToNumberReportsFloatOverflow)
{
  Heap h;
  int status = 0;
  EXPECT_EQ(qx_string_to_number(&h.w, "1.0e400", 10, &status), 0u);
  EXPECT_EQ(status, QX_NUMBER_OVERFLOW);
  EXPECT_EQ(qx_string_to_number(&h.w, "-1.0e309", 10, &status), 0u);
  EXPECT_EQ(status, QX_NUMBER_OVERFLOW);
  EXPECT_EQ(h.used(), 0u);
}

TEST(NumConv, StringToNumberReportsHeapShortage)
{
  Heap h;
  h.w.stack_start = h.w.global_top + 2;
  int status = 0;
  const char *big = "123456789012345678901234567890";
  EXPECT_EQ(qx_string_to_number(&h.w, big, 10, &status), 0u);
  EXPECT_GE(status, 6) << "at least the box's six words";
  EXPECT_LE(status, (int)std::strlen(big) / 8 + 4) << "within the documented bound";
  EXPECT_EQ(h.w.global_top, h.cells.data());
  EXPECT_EQ(qx_string_to_number(&h.w, "2.5", 10, &status), 0u);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(qx_string_to_number(&h.w, "268435456", 10, &status), 0u);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(qx_string_to_number(&h.w, "5", 10, &status), MakeSmall(5)) << "small needs no room";
  EXPECT_EQ(status, 0);
  h.w.stack_start = h.w.global_top + 6;
  EXPECT_TRUE(IsBignum(qx_string_to_number(&h.w, big, 10, &status)));
}

/* Texts far longer than any literal: refused for room with a need within the documented bound
 * and nothing written past the limit, then read once the room is there. */
TEST(NumConv, StringToNumberHandlesOverLongTexts)
{
  std::string digits(60000, '7');
  Heap small(16);
  int status = 0;
  EXPECT_EQ(qx_string_to_number(&small.w, digits.c_str(), 10, &status), 0u);
  ASSERT_GT(status, 16);
  EXPECT_LE((size_t)status, digits.size() / 8 + 4);
  EXPECT_EQ(small.used(), 0u);
  Heap room((size_t)status + 8);
  room.w.stack_start = room.cells.data() + status;
  TAGGED big = qx_string_to_number(&room.w, digits.c_str(), 10, &status);
  ASSERT_TRUE(IsBignum(big));
  EXPECT_EQ(status, 0);
  for (size_t i = room.used(); i < room.cells.size(); i++)
    ASSERT_EQ(room.cells[i], 0xDEADBEEFu) << "word " << i << " past the number was written";
  EXPECT_EQ(qx_number_to_string(big, 10, 0), digits);
  TAGGED long_float = qx_string_to_number(&small.w, ("1." + digits).c_str(), 10, nullptr);
  ASSERT_TRUE(long_float != 0 && IsFloat(long_float));
  EXPECT_EQ(FloatValue(long_float), std::strtod(("1." + digits).c_str(), nullptr));
  std::string nines(40, '9');
  EXPECT_EQ(qx_string_to_number(&small.w, ("1.0e" + nines).c_str(), 10, &status), 0u);
  EXPECT_EQ(status, QX_NUMBER_OVERFLOW);
  TAGGED tiny = qx_string_to_number(&small.w, ("1.0e-" + nines).c_str(), 10, &status);
  ASSERT_TRUE(tiny != 0 && IsFloat(tiny));
  EXPECT_EQ(FloatValue(tiny), 0.0);
  EXPECT_EQ(qx_string_to_number(&small.w, ("-" + std::string(100000, '0')).c_str(), 10, nullptr),
            MakeSmall(0));
  /* leading zeros of a numeric escape do not count against its range */
  EXPECT_EQ(qx_string_to_number(&small.w, ("0'\\x" + std::string(1000, '0') + "41\\").c_str(), 10,
                                nullptr),
            MakeSmall(65));
  EXPECT_EQ(
      qx_string_to_number(&small.w, ("0'\\x1" + std::string(8, '0') + "\\").c_str(), 10, &status),
      0u);
  EXPECT_EQ(status, QX_NUMBER_SYNTAX);
}

TEST(NumConv, NumberToStringFollowsBaseAndFloatOptions)
{
  Heap h;
  EXPECT_STREQ(qx_number_to_string(MakeSmall(-10), 2, 0), "-1010");
  EXPECT_STREQ(qx_number_to_string(MakeSmall(255), 16, 0), "ff");
  EXPECT_STREQ(qx_number_to_string(make_integer(&h.w, INT32_MIN), 10, 0), "-2147483648");
  TAGGED f = qx_make_double(&h.w, 1.5);
  EXPECT_STREQ(qx_number_to_string(f, 10, 0), "1.5") << "no options: the shortest form";
  TAGGED e2 = compound(h, 3, {MakeSmall('e'), MakeSmall(2)});
  EXPECT_STREQ(qx_number_to_string(f, 10, write_options(h, e2)), "1.50e+00");
  TAGGED h1 = compound(h, 3, {MakeSmall('H'), MakeSmall(1)});
  EXPECT_STREQ(qx_number_to_string(f, 10, write_options(h, h1)), "1.5");
  /* Argument 9 reached through a variable binding. */
  TAGGED *var = h.w.global_top++;
  *var = e2;
  EXPECT_STREQ(qx_number_to_string(f, 10, write_options(h, MakeRef(var))), "1.50e+00");
  EXPECT_STREQ(qx_number_to_string(f, 10, write_options(h, MakeAtom(4))), "1.5");
  EXPECT_STREQ(qx_number_to_string(f, 10, compound(h, 5, {MakeAtom(1)})), "1.5");
  EXPECT_EQ(qx_number_to_string(MakeAtom(4), 10, 0), nullptr);
  EXPECT_EQ(qx_number_to_string(MakeSmall(1), 37, 0), nullptr);
}

TEST(NumConv, LtostrMatchesStrtollInEveryBase)
{
  std::mt19937_64 rng(23);
  char buf[80];
  for (int base = 2; base <= 36; base++) {
    for (int i = 0; i < 300; i++) {
      int64_t v = (int64_t)(rng() >> (rng() % 64));
      if (i & 1) v = -v;
      if (i == 0) v = INT64_MIN;
      if (i == 2) v = 0;
      qx_ltostr(v, base, buf);
      errno = 0;
      char *end;
      EXPECT_EQ(std::strtoll(buf, &end, base), v) << buf << " base " << base;
      EXPECT_EQ(*end, '\0');
      EXPECT_EQ(errno, 0);
      EXPECT_TRUE(buf[0] != '0' || buf[1] == '\0') << "no leading zeros: " << buf;
    }
  }
  EXPECT_STREQ(qx_ltostr(INT64_MIN, 10, buf), "-9223372036854775808");
}

TEST(NumConv, SingleQuotedCharacterTakesExactlyOneCharacter)
{
  struct Case {
    const char *text;
    int ok;
    int32_t code;
  };
  const Case cases[] = {
      {"a", 1, 97},
      {"''", 1, 39},
      {"'", 0, 0},
      {" ", 1, 32},
      {"\\n", 1, 10},
      {"\\a", 1, 7},
      {"\\b", 1, 8},
      {"\\d", 1, 127},
      {"\\f", 1, 12},
      {"\\r", 1, 13},
      {"\\t", 1, 9},
      {"\\v", 1, 11},
      {"\\'", 1, 39},
      {"\\\"", 1, 34},
      {"\\`", 1, 96},
      {"\\0\\", 1, 0},
      {"\\x\\", 0, 0},
      {"\\xg\\", 0, 0},
      {"\\18\\", 0, 0},
      {"\\x41\\a", 0, 0},
      {"\\17777777777\\", 1, 2147483647},
      {"\\20000000000\\", 0, 0},
      {"\\xFFFFFFFF\\", 0, 0},
      {"\\x100000000\\", 0, 0},
      {"", 0, 0},
      {"ab", 0, 0},
      {"\n", 0, 0},
      {"\x7f", 0, 0},
      {"\\", 0, 0},
      {"\\\n", 0, 0},
      {"\\z", 0, 0},
      {"''x", 0, 0},
  };
  for (const Case &c : cases) {
    int32_t code = -5;
    EXPECT_EQ(single_quoted_character(c.text, &code), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.text;
    }
  }
}

TEST(NumConv, IeeeAtofAcceptsOnlyWholeDecimalTexts)
{
  int error = -1;
  EXPECT_EQ(bits_of(ieee_atof("0.1", &error)), bits_of(0.1));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(ieee_atof("2.2250738585072011e-308", &error), 2.2250738585072011e-308);
  EXPECT_EQ(error, 0);
  ieee_atof("1.5x", &error);
  EXPECT_EQ(error, 1);
  ieee_atof("", &error);
  EXPECT_EQ(error, 1);
  ieee_atof(" 1.5", &error);
  EXPECT_EQ(error, 1);
  EXPECT_EQ(ieee_atof("1e999", &error), HUGE_VAL);
  EXPECT_EQ(error, 2);
  EXPECT_EQ(ieee_atof("1e-999", &error), 0.0);
  EXPECT_EQ(error, 0) << "underflow to zero is a value";
  EXPECT_EQ(ieee_atof("-3", nullptr), -3.0);
}

TEST(NumConv, ScratchGrowsAndKeepsItsContents)
{
  char *a = qx_scratch(16);
  std::strcpy(a, "kept");
  char *b = qx_scratch(1 << 20);
  EXPECT_STREQ(b, "kept");
  EXPECT_EQ((uintptr_t)b % 8, 0u);
  b[(1 << 20) - 1] = 'x';
}
