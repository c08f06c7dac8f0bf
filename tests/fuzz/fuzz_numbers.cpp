/* Fuzz target of the number-text reader. The first input byte picks the base, the rest is the
 * text. Checked for every input:
 * - the text is read exactly when an independent recogniser of the number syntax accepts it, and
 *   the status says why it was refused (syntax, float overflow, or heap words to make free);
 * - the heap grows by the term's size only, within the documented bound, never past its limit,
 *   and a call refused for room succeeds once the words it asked for are free;
 * - an integer prints in its base as the canonical form of its digits, has its minimal
 *   representation, reads back from its base-10 and base-16 texts as the same words, and
 *   converts to the double strtod gives for its decimal text;
 * - a float has the value strtod gives for the text, and its shortest text reads back
 *   bit-identical. */
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "numbers.h"

namespace {

/* A heap of exactly `words` words: a write past its end is caught by AddressSanitizer. */
struct Heap {
  explicit Heap(size_t words) : cells(new TAGGED[words]), size(words)
  {
    w.global_top = cells;
    w.stack_start = cells + words;
  }
  ~Heap() { delete[] cells; }
  Heap(const Heap &) = delete;
  Heap &operator=(const Heap &) = delete;
  size_t used() const { return (size_t)(w.global_top - cells); }
  TAGGED *cells;
  size_t size;
  worker w{};
};

/* What the recogniser expects of a text. */
struct Expected {
  enum Kind { REJECT, INTEGER, FLOAT, CODE } kind = REJECT;
  int base = 10; /* INTEGER: the base of the digits (after a prefix) */
  bool negative = false;
  std::string digits; /* INTEGER: lower case, no leading zeros ("0" for zero) */
  int64_t code = 0;   /* CODE: the character code, signed */
};

/* The value of a digit by its place in the digit alphabet, either letter case (99 if none). */
int digit_of(char c)
{
  static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  const char *at = c ? std::strchr(alphabet, std::tolower((unsigned char)c)) : nullptr;
  return at ? (int)(at - alphabet) : 99;
}

size_t digit_run(const char *p, int base)
{
  size_t n = 0;
  while (digit_of(p[n]) < base) n++;
  return n;
}

/* The character after "0'": a quote written twice, one printable ASCII character, or an escape
 * (a letter, one of \ ' " `, or octal / x-hexadecimal digits closed by a backslash) ending the
 * text. */
bool quoted_code(const char *p, int64_t *code)
{
  size_t length = std::strlen(p);
  if (length == 2 && p[0] == '\'' && p[1] == '\'') return *code = '\'', true;
  if (length == 1)
    return p[0] >= 32 && p[0] <= 126 && p[0] != '\'' && p[0] != '\\' && (*code = p[0], true);
  if (p[0] != '\\' || length < 2) return false;
  const char *escape = p + 1;
  if (length == 2) {
    static const char *const letters = "a\007b\010d\177e\033f\014n\012r\015t\011v\013\\\\''\"\"``";
    for (const char *l = letters; *l; l += 2)
      if (*l == escape[0]) return *code = (unsigned char)l[1], true;
    return false;
  }
  int base = escape[0] == 'x' ? 16 : 8;
  const char *digits = base == 16 ? escape + 1 : escape;
  size_t n = digit_run(digits, base);
  if (n == 0 || digits[n] != '\\' || digits[n + 1] != '\0') return false;
  uint64_t value = 0;
  for (size_t i = 0; i < n; i++) {
    value = value * (uint64_t)base + (uint64_t)digit_of(digits[i]);
    if (value > 0x7FFFFFFF) return false;
  }
  *code = (int64_t)value;
  return true;
}

bool float_syntax(const char *p)
{
  size_t n = digit_run(p, 10);
  if (n == 0 || p[n] != '.') return false;
  p += n + 1;
  if ((n = digit_run(p, 10)) == 0) return false;
  p += n;
  if (*p == 'e' || *p == 'E') {
    p++;
    if (*p == '+' || *p == '-') p++;
    if ((n = digit_run(p, 10)) == 0) return false;
    p += n;
  }
  return *p == '\0';
}

Expected recognise(const char *text, int base)
{
  Expected e;
  e.negative = text[0] == '-';
  const char *p = text + (e.negative ? 1 : 0);
  if (base != 2 && base != 8 && base != 10 && base != 16) return e;
  e.base = base;
  if (base == 10 && p[0] == '0' && p[1] == '\'') {
    if (quoted_code(p + 2, &e.code)) {
      e.kind = Expected::CODE;
      e.code = e.negative ? -e.code : e.code;
    }
    return e;
  }
  if (base == 10 && p[0] == '0' && (p[1] == 'b' || p[1] == 'o' || p[1] == 'x'))
    e.base = p[1] == 'b' ? 2 : p[1] == 'o' ? 8 : 16, p += 2;
  size_t n = digit_run(p, e.base);
  if (n > 0 && p[n] == '\0') {
    e.kind = Expected::INTEGER;
    size_t first = 0;
    while (first + 1 < n && p[first] == '0') first++;
    for (size_t i = first; i < n; i++)
      e.digits += (char)(p[i] >= 'A' && p[i] <= 'Z' ? p[i] - 'A' + 'a' : p[i]);
    return e;
  }
  if (e.base == 10 && p == text + (e.negative ? 1 : 0) &&
      (float_syntax(p) || !std::strcmp(p, "1.0Inf") || !std::strcmp(p, "1.5NaN")))
    e.kind = Expected::FLOAT;
  return e;
}

uint64_t bits_of(double d)
{
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

/* The words of a number term: the small integer itself, or its box. */
std::vector<TAGGED> words_of(TAGGED t)
{
  if (!IsBox(t)) return {t};
  const TAGGED *box = StrPtr(t);
  return std::vector<TAGGED>(box, box + BoxWords(box[0]));
}

/* Reads text in base into a fresh heap; the term's words, or empty when refused. */
std::vector<TAGGED> read_words(const char *text, int base)
{
  Heap heap(std::strlen(text) / 8 + 4);
  TAGGED t = qx_string_to_number(&heap.w, text, base, nullptr);
  return t ? words_of(t) : std::vector<TAGGED>{};
}

void check_minimal(TAGGED t, const std::string &printed, int base)
{
  if (IsSmall(t)) return;
  const TAGGED *box = StrPtr(t);
  int n = BignumLimbs(box[0]);
  const uint32_t *limbs = box + 1;
  if (n == 1) {
    int32_t v = (int32_t)limbs[0];
    CHECK(v < QX_SMALL_MIN || v > QX_SMALL_MAX);
    return;
  }
  bool below_negative = (limbs[n - 2] >> 31) != 0;
  CHECK(!(limbs[n - 1] == 0 && !below_negative) && !(limbs[n - 1] == ~0u && below_negative));
  /* a value that fits 29 bits is never boxed */
  errno = 0;
  long long v = std::strtoll(printed.c_str(), nullptr, base);
  CHECK(errno == ERANGE || v < QX_SMALL_MIN || v > QX_SMALL_MAX);
}

void check_integer(TAGGED t, const Expected &e)
{
  CHECK(IsInteger(t));
  const char *text = qx_number_to_string(t, e.base, 0);
  CHECK(text != nullptr);
  std::string printed = text;
  bool zero = e.digits == "0";
  CHECK(printed == (e.negative && !zero ? "-" : "") + e.digits);
  check_minimal(t, printed, e.base);
  std::vector<TAGGED> words = words_of(t);
  for (int base : {10, 16}) {
    std::string again = qx_number_to_string(t, base, 0);
    CHECK(read_words(again.c_str(), base) == words);
    if (base == 10) {
      double expected = std::strtod(again.c_str(), nullptr);
      CHECK(bits_of(spi_get_float(t)) == bits_of(expected));
    }
  }
}

void check_float(TAGGED t, const char *text)
{
  CHECK(IsFloat(t));
  double value = FloatValue(t);
  const char *unsigned_text = text[0] == '-' ? text + 1 : text;
  if (!std::strcmp(unsigned_text, "1.5NaN"))
    CHECK(std::isnan(value));
  else if (!std::strcmp(unsigned_text, "1.0Inf"))
    CHECK(std::isinf(value) && (value < 0) == (text[0] == '-'));
  else
    CHECK(bits_of(value) == bits_of(std::strtod(text, nullptr)));
  std::string shortest = format_float('H', 1, value);
  std::vector<TAGGED> again = read_words(shortest.c_str(), 10);
  CHECK(again.size() == 4);
  double back;
  std::memcpy(&back, &again[1], sizeof back);
  CHECK(std::isnan(value) ? std::isnan(back) : bits_of(back) == bits_of(value));
}

/* A read with `room` heap words: refusals leave the heap as it was; a refusal for room names
 * words that make the next call succeed. Returns the term (0 when refused for syntax or
 * overflow) and its status. */
TAGGED read_with_room(Heap &heap, const char *text, int base, int *status)
{
  size_t bound = std::strlen(text) / 8 + 4;
  TAGGED t = qx_string_to_number(&heap.w, text, base, status);
  CHECK((t != 0) == (*status == 0));
  if (t == 0) {
    CHECK(heap.used() == 0);
    CHECK(*status == QX_NUMBER_SYNTAX || *status == QX_NUMBER_OVERFLOW ||
          (*status > 0 && (size_t)*status <= bound && (size_t)*status > heap.size));
    return 0;
  }
  CHECK(heap.used() == (IsBox(t) ? (size_t)BoxWords(StrFunctor(t)) : 0));
  CHECK(heap.used() <= bound && heap.used() <= heap.size);
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size == 0) return 0;
  static const int bases[] = {10, 10, 10, 16, 2, 8, 7, 36};
  int base = bases[data[0] & 7];
  std::string text((const char *)data + 1, size - 1);
  text.resize(std::strlen(text.c_str()));
  Expected e = recognise(text.c_str(), base);

  int status = 0;
  Heap tight((data[0] >> 3) & 7);
  TAGGED t = read_with_room(tight, text.c_str(), base, &status);
  std::unique_ptr<Heap> roomy;
  if (status > 0) {
    roomy = std::make_unique<Heap>((size_t)status);
    t = read_with_room(*roomy, text.c_str(), base, &status);
    CHECK(t != 0);
  }
  if (t == 0) {
    bool overflow = e.kind == Expected::FLOAT && std::isinf(std::strtod(text.c_str(), nullptr)) &&
                    std::strcmp(text.c_str() + e.negative, "1.0Inf") != 0;
    CHECK(status == (overflow ? QX_NUMBER_OVERFLOW : QX_NUMBER_SYNTAX));
    CHECK(e.kind == Expected::REJECT || overflow);
    return 0;
  }
  int64_t value;
  switch (e.kind) {
  case Expected::INTEGER: check_integer(t, e); break;
  case Expected::FLOAT: check_float(t, text.c_str()); break;
  case Expected::CODE: CHECK(qx_get_int64(t, &value) && value == e.code); break;
  case Expected::REJECT: CHECK(e.kind != Expected::REJECT); break;
  }
  return 0;
}
