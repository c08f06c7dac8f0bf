/* Number terms: building and reading small integers, boxed integers and floats, their standard
 * order, and their text in both directions (reading number texts, printing integers in any
 * base, printing floats by format letter).
 *
 * Text conversions use the C locale whatever the process locale is: a number is written and
 * read the same way everywhere.
 */
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "memman.h"
#include "numbers.h"
#include "tokenizer.h"
#include "wcx.h"

/* ---- building ---- */

TAGGED qx_make_integer(worker *w, int32_t value)
{
  TAGGED *box = w->global_top;
  box[0] = QX_BIGNUM1_HEADER;
  box[1] = (TAGGED)value;
  box[2] = QX_BIGNUM1_HEADER;
  w->global_top = box + 3;
  return MakeStr(box);
}

TAGGED make_integer(worker *w, int32_t value)
{
  return SmallFits(value) ? MakeSmall(value) : qx_make_integer(w, value);
}

TAGGED make_int64(worker *w, int64_t value)
{
  if (value >= INT32_MIN && value <= INT32_MAX) return make_integer(w, (int32_t)value);
  uint32_t limbs[2] = {(uint32_t)value, (uint32_t)((uint64_t)value >> 32)};
  return bn_make(w, limbs, 2);
}

TAGGED make_float(worker *w, uint32_t low, uint32_t high)
{
  TAGGED *box = w->global_top;
  box[0] = QX_FLOAT_HEADER;
  box[1] = low;
  box[2] = high;
  box[3] = QX_FLOAT_HEADER;
  w->global_top = box + 4;
  return MakeStr(box);
}

TAGGED qx_make_double(worker *w, double value)
{
  uint32_t words[2];
  std::memcpy(words, &value, sizeof words);
  return make_float(w, words[0], words[1]);
}

/* ---- reading ---- */

int32_t spi_get_integer(TAGGED boxed)
{
  return IsSmall(boxed) ? GetSmall(boxed) : (int32_t)StrPtr(boxed)[1];
}

int64_t spi_get_int64(TAGGED boxed)
{
  if (IsSmall(boxed)) return GetSmall(boxed);
  const TAGGED *box = StrPtr(boxed);
  if (BignumLimbs(box[0]) == 1) return (int32_t)box[1];
  return (int64_t)(((uint64_t)box[2] << 32) | box[1]);
}

double spi_get_float(TAGGED boxed)
{
  if (IsFloat(boxed)) return FloatValue(boxed);
  if (IsSmall(boxed)) return (double)GetSmall(boxed);
  return bn_to_double(boxed);
}

int qx_get_int64(TAGGED t, int64_t *value)
{
  if (!IsSmall(t) && !(IsBignum(t) && BignumLimbs(StrFunctor(t)) <= 2)) return 0;
  *value = spi_get_int64(t);
  return 1;
}

/* ---- standard order ---- */

int qx_compare_floats(double a, double b)
{
  bool nan_a = std::isnan(a), nan_b = std::isnan(b);
  if (nan_a || nan_b) {
    if (nan_a != nan_b) return nan_a ? -1 : 1;
    uint64_t bits_a, bits_b;
    std::memcpy(&bits_a, &a, sizeof a);
    std::memcpy(&bits_b, &b, sizeof b);
    return bits_a < bits_b ? -1 : bits_a > bits_b ? 1 : 0;
  }
  if (a != b) return a < b ? -1 : 1;
  /* -0.0 and 0.0 are different terms: the negative zero comes first. */
  bool neg_a = std::signbit(a), neg_b = std::signbit(b);
  return neg_a == neg_b ? 0 : neg_a ? -1 : 1;
}

/* An integer against a float: by exact value; equal values put the float first. */
static int compare_integer_float(TAGGED integer, double value)
{
  int c = bn_compare_double(integer, value);
  return c != 0 ? c : 1;
}

int qx_compare_numbers(TAGGED a, TAGGED b)
{
  bool float_a = IsFloat(a), float_b = IsFloat(b);
  if (float_a && float_b) return qx_compare_floats(FloatValue(a), FloatValue(b));
  if (float_a) return -compare_integer_float(b, FloatValue(a));
  if (float_b) return compare_integer_float(a, FloatValue(b));
  return bn_compare(a, b);
}

/* ---- scratch buffer and locale ---- */

/* Process-wide: the buffer outlives engine restarts and is reused by every printer. */
static char *scratch_text;
static size_t scratch_capacity;

char *qx_scratch(size_t size)
{
  if (size > scratch_capacity) {
    size_t capacity = scratch_capacity ? scratch_capacity : 256;
    while (capacity < size) capacity *= 2;
    char *grown = (char *)std::realloc(scratch_text, capacity);
    if (!grown) qx_memory_fault(nullptr, -1);
    scratch_text = grown;
    scratch_capacity = capacity;
  }
  return scratch_text;
}

static locale_t c_locale()
{
  static locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  return loc;
}

/* ---- float text ---- */

double ieee_atof(const char *text, int *error)
{
  char *end = nullptr;
  errno = 0;
  double value = strtod_l(text, &end, c_locale());
  int status = 0;
  if (end == text || *end != '\0' || (*text != '\0' && std::strchr(" \t\n\v\f\r", *text)))
    status = 1;
  else if (errno == ERANGE && std::isinf(value))
    status = 2;
  if (error) *error = status;
  return value;
}

/* printf of one double in the C locale into the scratch buffer. */
static const char *format_printf(const char *format, int precision, double value)
{
  locale_t previous = uselocale(c_locale());
  int length = std::snprintf(nullptr, 0, format, precision, value);
  char *text = qx_scratch((size_t)length + 1);
  std::snprintf(text, (size_t)length + 1, format, precision, value);
  uselocale(previous);
  return text;
}

/* Digits and decimal exponent of a "%.*e" text ("d.ddde+XX"): digits without the point into
 * out, trailing zeros dropped; returns their count. */
static int split_exponent_text(const char *text, char *out, int *exponent)
{
  int n = 0;
  const char *p = text;
  for (; *p != 'e'; p++)
    if (*p != '.') out[n++] = *p;
  *exponent = std::atoi(p + 1);
  while (n > 1 && out[n - 1] == '0') n--;
  out[n] = '\0';
  return n;
}

/* Whether p significant digits suffice to read back as value (positive, finite); on success
 * the digits and exponent. At a power of two the interval of texts reading back as value is
 * narrower below than above, so when the nearest p-digit text lies below and misses, the next
 * one up may still hit. */
static bool digits_read_back(double value, int p, bool power_of_two, char *out, int *exponent)
{
  char text[48];
  std::snprintf(text, sizeof text, "%.*e", p - 1, value);
  if (strtod_l(text, nullptr, c_locale()) == value) {
    split_exponent_text(text, out, exponent);
    return true;
  }
  if (!power_of_two) return false;
  char digits[24];
  int x;
  int length = split_exponent_text(text, digits, &x);
  unsigned long long mantissa = 0;
  for (int i = 0; i < p; i++)
    mantissa = mantissa * 10 + (unsigned long long)(i < length ? digits[i] - '0' : 0);
  std::snprintf(text, sizeof text, "%llue%d", mantissa + 1, x - (p - 1));
  if (strtod_l(text, nullptr, c_locale()) != value) return false;
  std::snprintf(text, sizeof text, "%llu", mantissa + 1);
  length = (int)std::strlen(text);
  *exponent = x + (length > p ? 1 : 0);
  while (length > 1 && text[length - 1] == '0') length--;
  std::memcpy(out, text, (size_t)length);
  out[length] = '\0';
  return true;
}

/* The shortest digits (at most 17) of a positive finite double that read back as it. A shorter
 * text that reads back implies a 15-digit one does, so most values need one to three tries. */
static int shortest_digits(double value, char *out, int *exponent)
{
  int binary_exponent;
  bool power_of_two = std::frexp(value, &binary_exponent) == 0.5;
  locale_t previous = uselocale(c_locale());
  if (digits_read_back(value, 15, power_of_two, out, exponent)) {
    for (int p = 1; p < 15; p++)
      if (digits_read_back(value, p, power_of_two, out, exponent)) break;
  } else if (!digits_read_back(value, 16, power_of_two, out, exponent)) {
    digits_read_back(value, 17, power_of_two, out, exponent);
  }
  uselocale(previous);
  return (int)std::strlen(out);
}

static char *put_zeros(char *p, long count)
{
  for (; count > 0; count--) *p++ = '0';
  return p;
}

/* Digits d1 d2 ... with value d1.d2... * 10^exponent as fixed-point text. */
static char *put_positional(char *p, const char *digits, int n, int exponent, int min_fraction)
{
  const char *fraction_digits = digits;
  long leading_zeros = 0, copied = n;
  if (exponent >= 0) {
    for (int i = 0; i <= exponent; i++) *p++ = i < n ? digits[i] : '0';
    fraction_digits = digits + exponent + 1;
    copied = n > exponent + 1 ? n - exponent - 1 : 0;
    *p++ = '.';
  } else {
    *p++ = '0';
    *p++ = '.';
    leading_zeros = -exponent - 1;
    p = put_zeros(p, leading_zeros);
  }
  std::memcpy(p, fraction_digits, (size_t)copied);
  return put_zeros(p + copied, min_fraction - (leading_zeros + copied));
}

/* The shortest text that reads back as the double, with at least one fraction digit, positional
 * for decimal exponents -4 to 14 and in exponent form elsewhere. Being the shortest form, it takes
 * no padding from the precision (which applies to the printf letters). */
static const char *format_shortest(int precision, double value)
{
  if (std::isnan(value)) return std::strcpy(qx_scratch(8), "1.5NaN");
  if (std::isinf(value)) return std::strcpy(qx_scratch(8), value > 0 ? "1.0Inf" : "-1.0Inf");
  char digits[24] = "0";
  int exponent = 0, n = 1;
  if (value != 0) n = shortest_digits(std::fabs(value), digits, &exponent);
  (void)precision;
  const int min_fraction = 1;
  char *text = qx_scratch((size_t)n + 40 + (size_t)min_fraction);
  char *p = text;
  if (std::signbit(value)) *p++ = '-';
  if (exponent >= -4 && exponent <= 14) {
    p = put_positional(p, digits, n, exponent, min_fraction);
    *p = '\0';
  } else {
    *p++ = digits[0];
    *p++ = '.';
    std::memcpy(p, digits + 1, (size_t)(n - 1));
    p = put_zeros(p + n - 1, min_fraction - (n - 1));
    std::snprintf(p, 16, "e%d", exponent);
  }
  return text;
}

const char *format_float(int letter, int precision, double value)
{
  switch (letter) {
  case 'e': return format_printf("%.*e", precision, value);
  case 'E': return format_printf("%.*E", precision, value);
  case 'f': return format_printf("%.*f", precision, value);
  case 'F': return format_printf("%.*F", precision, value);
  case 'g': return format_printf("%.*g", precision, value);
  case 'G': return format_printf("%.*G", precision, value);
  default: return format_shortest(precision, value);
  }
}

/* ---- integer text ---- */

char *qx_ltostr(int64_t value, int base, char *buffer)
{
  static const char digit_chars[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  if (base < 2 || base > 36) base = 10;
  char digits[66];
  int n = 0;
  uint64_t magnitude = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
  do {
    digits[n++] = digit_chars[magnitude % (uint64_t)base];
    magnitude /= (uint64_t)base;
  } while (magnitude != 0);
  char *p = buffer;
  if (value < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return buffer;
}

/* Letter and precision of the float format in argument 9 of the write options, if given. */
static void float_format_of(TAGGED options, int *letter, int *precision)
{
  *letter = 'H';
  *precision = 3;
  if (options == 0) return;
  options = deref(options);
  if (!IsStr(options) || IsBox(options) || Arity(StrFunctor(options)) < 9) return;
  TAGGED format = deref(StrArg(options, 9));
  if (!IsStr(format) || IsBox(format) || Arity(StrFunctor(format)) < 2) return;
  TAGGED code = deref(StrArg(format, 1)), digits = deref(StrArg(format, 2));
  if (IsSmall(code) && IsSmall(digits)) {
    *letter = GetSmall(code);
    *precision = GetSmall(digits);
  }
}

const char *qx_number_to_string(TAGGED number, int base, TAGGED options)
{
  number = deref(number);
  if (base < 2 || base > 36) return nullptr;
  if (IsSmall(number)) return qx_ltostr(GetSmall(number), base, qx_scratch(72));
  if (IsFloat(number)) {
    int letter, precision;
    float_format_of(options, &letter, &precision);
    return format_float(letter, precision, FloatValue(number));
  }
  if (IsBignum(number)) return bn_to_string(number, base, qx_scratch(bn_string_size(number, base)));
  return nullptr;
}

/* ---- reading number texts ---- */

/* An escape sequence (the text after the backslash) that ends the text. */
static int escape_sequence(const char *p, int32_t *code)
{
  int32_t c;
  int n = *p ? QX_wci_code(&c, p) : 0;
  if (n <= 0) return 0;
  int32_t value = first_iso_escape_char(c);
  for (p += n; value == QX_ESCAPE_MORE; p += n) {
    n = *p ? QX_wci_code(&c, p) : 0;
    if (n <= 0) return 0;
    value = next_iso_escape_char(c, qx_char_type(c));
  }
  if (value < 0 || *p != '\0') return 0;
  *code = value;
  return 1;
}

int single_quoted_character(const char *text, int32_t *code)
{
  unsigned char c = (unsigned char)text[0];
  if (c == '\'') {
    if (text[1] != '\'' || text[2] != '\0') return 0;
    *code = '\'';
    return 1;
  }
  if (c == '\\') return escape_sequence(text + 1, code);
  /* One one-byte character; layout other than space (controls and DEL) is refused. Bytes from
   * 128 up never stand alone in the internal encoding. */
  if (c == '\0' || text[1] != '\0' || c < ' ' || c >= 127) return 0;
  *code = c;
  return 1;
}

/* An int64 value as a term at the heap top, or 0 with the words missing in *status. */
static TAGGED int64_term(worker *w, int64_t value, int *status)
{
  int need = SmallFits(value) ? 0 : (value >= INT32_MIN && value <= INT32_MAX) ? 3 : 4;
  if (w->stack_start - w->global_top < need) {
    *status = need;
    return 0;
  }
  return make_int64(w, value);
}

/* Bits per digit rounded up: a bound on the words a digit text needs. */
static size_t digit_text_words(size_t ndigits, int base)
{
  size_t bits = 1;
  while ((1 << bits) < base) bits++;
  return ndigits * bits / 32 + 4;
}

static TAGGED integer_from_digits(worker *w, const char *digits, size_t ndigits, bool negative,
                                  int base, int *status)
{
  /* Up to 2^62 in an int64; beyond, as a box built at the heap top. */
  uint64_t value = 0;
  size_t i = 0;
  for (; i < ndigits && value < (1ull << 62) / (uint64_t)base; i++)
    value = value * (uint64_t)base + (uint64_t)bn_digit_value(digits[i]);
  if (i == ndigits) return int64_term(w, negative ? -(int64_t)value : (int64_t)value, status);
  TAGGED *box = w->global_top;
  if (bn_from_digits(digits, ndigits, negative, box, w->stack_start, base) != 0) {
    *status = (int)digit_text_words(ndigits, base);
    return 0;
  }
  int n = BignumLimbs(box[0]);
  w->global_top = box + n + 2;
  return MakeStr(box);
}

/* A base-10 float: the integer digits were read; rest is what follows them. */
static TAGGED float_from_text(worker *w, const char *text, const char *rest, int *status)
{
  const char *unsigned_text = *text == '-' ? text + 1 : text;
  double value;
  if (std::strcmp(unsigned_text, "1.0Inf") == 0) {
    value = *text == '-' ? -HUGE_VAL : HUGE_VAL;
  } else if (std::strcmp(unsigned_text, "1.5NaN") == 0) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    const char *p = rest;
    if (*p++ != '.' || bn_digit_value(*p) >= 10) return 0;
    while (bn_digit_value(*p) < 10) p++;
    if (*p == 'e' || *p == 'E') {
      p++;
      if (*p == '+' || *p == '-') p++;
      if (bn_digit_value(*p) >= 10) return 0;
      while (bn_digit_value(*p) < 10) p++;
    }
    if (*p != '\0') return 0;
    int error;
    value = ieee_atof(text, &error);
    if (error == 2) {
      *status = QX_NUMBER_OVERFLOW;
      return 0;
    }
  }
  if (w->stack_start - w->global_top < 4) {
    *status = 4;
    return 0;
  }
  return qx_make_double(w, value);
}

static TAGGED string_to_number(worker *w, const char *text, int base, int *status)
{
  bool negative = *text == '-';
  const char *p = negative ? text + 1 : text;
  bool prefixed = false;
  if (base == 10 && p[0] == '0' && p[1] != '\0' && std::strchr("'box", p[1])) {
    if (p[1] == '\'') {
      int32_t code;
      if (!single_quoted_character(p + 2, &code)) return 0;
      return int64_term(w, negative ? -(int64_t)code : code, status);
    }
    base = p[1] == 'b' ? 2 : p[1] == 'o' ? 8 : 16;
    p += 2;
    prefixed = true;
  }
  if (base != 2 && base != 8 && base != 10 && base != 16) return 0;
  size_t ndigits = 0;
  while (bn_digit_value(p[ndigits]) < base) ndigits++;
  if (ndigits == 0) return 0;
  if (p[ndigits] == '\0') return integer_from_digits(w, p, ndigits, negative, base, status);
  if (base == 10 && !prefixed) return float_from_text(w, text, p + ndigits, status);
  return 0;
}

TAGGED qx_string_to_number(worker *w, const char *text, int base, int *status)
{
  int why = QX_NUMBER_SYNTAX;
  TAGGED number = string_to_number(w, text, base, &why);
  if (status) *status = number != 0 ? 0 : why;
  return number;
}
