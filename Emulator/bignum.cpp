/* Bignums: limb arrays in boxes (32-bit limbs, least significant first, two's complement,
 * minimal length), their conversions to and from text, bytes and doubles, and comparison.
 *
 * No bignum arithmetic beyond what conversion needs lives here: multiply-add for reading
 * digits, division by a small number for writing them. Both are schoolbook, quadratic in the
 * length, which is what literal sizes call for.
 */
#include <cmath>
#include <cstring>

#include "numbers.h"

/* An integer term seen as limbs: boxes point at their limbs, small integers at a copy. */
struct bn_view {
  const uint32_t *limbs;
  int n;
  uint32_t small;
};

static void bn_view_of(TAGGED t, bn_view *v)
{
  if (IsSmall(t)) {
    v->small = (uint32_t)GetSmall(t);
    v->limbs = &v->small;
    v->n = 1;
  } else {
    const TAGGED *box = StrPtr(t);
    v->limbs = box + 1;
    v->n = BignumLimbs(box[0]);
  }
}

static inline bool limb_negative(uint32_t limb) { return (limb >> 31) != 0; }

int bn_minimal_limbs(const uint32_t *limbs, int nlimbs)
{
  int n = nlimbs;
  while (n > 1) {
    uint32_t top = limbs[n - 1];
    bool below_negative = limb_negative(limbs[n - 2]);
    if (!((top == 0 && !below_negative) || (top == ~0u && below_negative))) break;
    n--;
  }
  return n < 1 ? 1 : n;
}

/* Header, limbs, header at dest. */
static TAGGED *bn_write_box(TAGGED *dest, int n)
{
  dest[0] = BignumHeader(n);
  dest[n + 1] = BignumHeader(n);
  return dest;
}

TAGGED bn_make(worker *w, const uint32_t *limbs, int nlimbs)
{
  if (nlimbs <= 0) return MakeSmall(0);
  int n = bn_minimal_limbs(limbs, nlimbs);
  if (n == 1 && SmallFits((int32_t)limbs[0])) return MakeSmall((int32_t)limbs[0]);
  TAGGED *box = w->global_top;
  std::memcpy(box + 1, limbs, (size_t)n * sizeof(uint32_t));
  bn_write_box(box, n);
  w->global_top = box + n + 2;
  return MakeStr(box);
}

/* Two's-complement comparison of limb arrays of any lengths (shorter ones sign-extended). */
static int limbs_compare(const uint32_t *a, int na, const uint32_t *b, int nb)
{
  uint32_t sign_a = limb_negative(a[na - 1]) ? ~0u : 0;
  uint32_t sign_b = limb_negative(b[nb - 1]) ? ~0u : 0;
  int n = na > nb ? na : nb;
  for (int i = n - 1; i >= 0; i--) {
    uint32_t x = i < na ? a[i] : sign_a;
    uint32_t y = i < nb ? b[i] : sign_b;
    if (x == y) continue;
    if (i == n - 1) return (int32_t)x < (int32_t)y ? -1 : 1;
    return x < y ? -1 : 1;
  }
  return 0;
}

int bn_compare(TAGGED a, TAGGED b)
{
  bn_view va, vb;
  bn_view_of(a, &va);
  bn_view_of(b, &vb);
  return limbs_compare(va.limbs, va.n, vb.limbs, vb.n);
}

/* In-place two's-complement negation. */
static void limbs_negate(uint32_t *limbs, int n)
{
  uint32_t carry = 1;
  for (int i = 0; i < n; i++) {
    uint32_t x = ~limbs[i] + carry;
    carry = carry && x == 0;
    limbs[i] = x;
  }
}

/* The limbs of the integer part of a finite double, two's complement, in at most 35 limbs
 * (2^1024 needs 33 plus a sign limb). */
static int limbs_of_integral_double(double d, uint32_t *limbs)
{
  double magnitude = std::fabs(d);
  int n;
  if (magnitude < 9007199254740992.0) { /* 2^53: exact as an integer */
    uint64_t m = (uint64_t)magnitude;
    limbs[0] = (uint32_t)m;
    limbs[1] = (uint32_t)(m >> 32);
    limbs[2] = 0;
    n = 3;
  } else {
    int exponent;
    double fraction = std::frexp(magnitude, &exponent); /* magnitude = fraction * 2^exponent */
    uint64_t m = (uint64_t)std::ldexp(fraction, 53);
    int shift = exponent - 53; /* >= 0 here */
    n = (exponent + 31) / 32 + 1;
    std::memset(limbs, 0, (size_t)n * sizeof(uint32_t));
    int at = shift / 32, bit = shift % 32;
    uint64_t low = m << bit;
    uint64_t high = bit == 0 ? 0 : m >> (64 - bit);
    limbs[at] = (uint32_t)low;
    limbs[at + 1] = (uint32_t)(low >> 32);
    if (at + 2 < n) limbs[at + 2] = (uint32_t)high;
  }
  if (d < 0) limbs_negate(limbs, n);
  return n;
}

int bn_compare_double(TAGGED integer, double value)
{
  if (std::isnan(value)) /* NaN comes before every number in the standard order */
    return 1;
  if (std::isinf(value)) return value > 0 ? -1 : 1;
  double whole = std::trunc(value);
  uint32_t limbs[36];
  int n = limbs_of_integral_double(whole, limbs);
  bn_view v;
  bn_view_of(integer, &v);
  int c = limbs_compare(v.limbs, v.n, limbs, n);
  if (c != 0) return c;
  double fraction = value - whole;
  return fraction > 0 ? -1 : fraction < 0 ? 1 : 0;
}

/* ---- to double ---- */

/* Limb i of the magnitude of a two's-complement number whose lowest nonzero limb is `lowest`. */
static inline uint32_t magnitude_limb(const uint32_t *limbs, bool negative, int lowest, int i)
{
  if (i < 0) return 0;
  if (!negative) return limbs[i];
  if (i < lowest) return 0;
  return i == lowest ? ~limbs[i] + 1 : ~limbs[i];
}

/* Rounds the top 64 bits of a magnitude (bit 63 set), with a sticky bit for everything below,
 * to 53 bits: to nearest, ties to even. The result is exact in a double. */
static uint64_t round_to_53(uint64_t top, bool sticky)
{
  uint64_t mantissa = top >> 11;
  uint32_t rest = (uint32_t)(top & 0x7FF);
  if (rest > 0x400 || (rest == 0x400 && (sticky || (mantissa & 1)))) mantissa++;
  return mantissa;
}

double bn_to_double(TAGGED integer)
{
  bn_view v;
  bn_view_of(integer, &v);
  bool negative = limb_negative(v.limbs[v.n - 1]);
  int lowest = 0;
  while (lowest < v.n && v.limbs[lowest] == 0) lowest++;
  if (lowest == v.n) return 0.0;
  int top = v.n - 1;
  while (magnitude_limb(v.limbs, negative, lowest, top) == 0) top--;
  /* Beyond 2^1312 every double overflows; this also keeps the exponent arithmetic small. */
  if (top > 40) return negative ? -HUGE_VAL : HUGE_VAL;
  uint32_t hi = magnitude_limb(v.limbs, negative, lowest, top);
  uint32_t mid = magnitude_limb(v.limbs, negative, lowest, top - 1);
  uint32_t lo = magnitude_limb(v.limbs, negative, lowest, top - 2);
  int lz = __builtin_clz(hi);
  uint64_t high64 = ((uint64_t)hi << 32) | mid;
  uint64_t top64 = lz == 0 ? high64 : (high64 << lz) | (lo >> (32 - lz));
  bool sticky = lowest < top - 2 || (uint32_t)(lo << lz) != 0;
  uint64_t mantissa = round_to_53(top64, sticky);
  /* top64 holds bits from 2^(32*(top-1) - lz) upwards; the mantissa dropped 11 of them. */
  double magnitude = std::ldexp((double)mantissa, 32 * (top - 1) - lz + 11);
  return negative ? -magnitude : magnitude;
}

/* ---- from digits ---- */

int bn_digit_value(int c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

/* The largest power of base that fits a limb, and its number of digits. */
static uint32_t limb_chunk(int base, int *digits)
{
  uint64_t power = base;
  int k = 1;
  while (power * (uint64_t)base <= 0xFFFFFFFFu) {
    power *= (uint64_t)base;
    k++;
  }
  *digits = k;
  return (uint32_t)power;
}

/* limbs[0..*n) := limbs * factor + addend, growing *n up to max: false when it would pass max. */
static bool limbs_mul_add(uint32_t *limbs, int *n, int max, uint32_t factor, uint32_t addend)
{
  uint64_t carry = addend;
  for (int i = 0; i < *n; i++) {
    uint64_t t = (uint64_t)limbs[i] * factor + carry;
    limbs[i] = (uint32_t)t;
    carry = t >> 32;
  }
  if (carry != 0) {
    if (*n >= max) return false;
    limbs[(*n)++] = (uint32_t)carry;
  }
  return true;
}

int bn_from_digits(const char *digits, size_t len, bool negative, TAGGED *dest, TAGGED *limit,
                   int base)
{
  if (base < 2 || base > 36 || len == 0) return -1;
  for (size_t i = 0; i < len; i++)
    if (bn_digit_value(digits[i]) >= base) return -1;
  /* The magnitude grows in place after the header; it never needs more limbs than the
   * result, so running out of room means the result does not fit. */
  long room = (long)(limit - dest) - 2;
  if (room < 1) return 1;
  uint32_t *limbs = (uint32_t *)(dest + 1);
  int max = room > 0x7FFFFFF ? 0x7FFFFFF : (int)room;
  int n = 0, chunk_digits;
  uint32_t chunk_power = limb_chunk(base, &chunk_digits);
  uint32_t chunk = 0, power = 1;
  for (size_t i = 0; i < len; i++) {
    chunk = chunk * (uint32_t)base + (uint32_t)bn_digit_value(digits[i]);
    power *= (uint32_t)base;
    if (power == chunk_power || i + 1 == len) {
      if (!limbs_mul_add(limbs, &n, max, power, chunk)) return 1;
      chunk = 0;
      power = 1;
    }
  }
  if (n == 0) limbs[n++] = 0;
  /* A magnitude with its top bit set needs a sign limb, except -2^(32n-1) itself. */
  if (limb_negative(limbs[n - 1])) {
    bool min_value = negative && limbs[n - 1] == 0x80000000u;
    for (int i = 0; min_value && i < n - 1; i++) min_value = limbs[i] == 0;
    if (!min_value) {
      if (n >= max) return 1;
      limbs[n++] = 0;
    }
  }
  if (negative) limbs_negate(limbs, n);
  bn_write_box(dest, bn_minimal_limbs(limbs, n));
  return 0;
}

int bn_from_string(const char *text, TAGGED *dest, TAGGED *limit, int base)
{
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') text++;
  return bn_from_digits(text, std::strlen(text), negative, dest, limit, base);
}

/* ---- bytes ---- */

/* Bytes left when redundant sign bytes are dropped from the top (at least 1). */
static size_t minimal_bytes(const unsigned char *bytes, size_t n)
{
  while (n > 1) {
    unsigned char top = bytes[n - 1];
    bool below_negative = (bytes[n - 2] & 0x80) != 0;
    if (!((top == 0 && !below_negative) || (top == 0xFF && below_negative))) break;
    n--;
  }
  return n;
}

int bn_from_bytes(const unsigned char *bytes, size_t n, TAGGED *top, TAGGED *limit)
{
  size_t used = n == 0 ? 0 : minimal_bytes(bytes, n);
  size_t nlimbs = used == 0 ? 1 : (used + 3) / 4;
  size_t need = nlimbs + 2;
  size_t have = limit > top ? (size_t)(limit - top) : 0;
  if (need > have) return (int)(need - have);
  unsigned char sign = used > 0 && (bytes[used - 1] & 0x80) ? 0xFF : 0;
  uint32_t *limbs = (uint32_t *)(top + 1);
  for (size_t i = 0; i < nlimbs; i++) {
    uint32_t limb = 0;
    for (size_t b = 4; b-- > 0;) {
      size_t at = i * 4 + b;
      limb = (limb << 8) | (at < used ? bytes[at] : sign);
    }
    limbs[i] = limb;
  }
  bn_write_box(top, (int)nlimbs);
  return 0;
}

int bn_to_bytes(TAGGED integer, unsigned char *buf, size_t *size)
{
  bn_view v;
  bn_view_of(integer, &v);
  size_t total = (size_t)v.n * 4;
  /* Limbs are little-endian words; read their bytes in value order explicitly. */
  auto byte_at = [&v](size_t i) { return (unsigned char)(v.limbs[i / 4] >> (8 * (i % 4))); };
  size_t used = total;
  while (used > 1) {
    unsigned char top = byte_at(used - 1);
    bool below_negative = (byte_at(used - 2) & 0x80) != 0;
    if (!((top == 0 && !below_negative) || (top == 0xFF && below_negative))) break;
    used--;
  }
  if (*size < used) {
    *size = used;
    return 0;
  }
  unsigned char sign = (byte_at(used - 1) & 0x80) ? 0xFF : 0;
  for (size_t i = 0; i < *size; i++) buf[i] = i < used ? byte_at(i) : sign;
  *size = used;
  return 1;
}

/* ---- to digits ---- */

/* Digits per limb in a base, rounded down: a bound on the digits of n limbs is n * 32 / that. */
static int bits_per_digit_floor(int base)
{
  int bits = 0;
  while ((2 << bits) <= base) bits++;
  return bits;
}

size_t bn_string_size(TAGGED integer, int base)
{
  bn_view v;
  bn_view_of(integer, &v);
  size_t limb_bytes = (size_t)v.n * sizeof(uint32_t);
  size_t digits = (size_t)v.n * 32 / (size_t)bits_per_digit_floor(base) + 1;
  return limb_bytes + digits + 2;
}

/* limbs[0..*n) := limbs / divisor, dropping zero top limbs; returns the remainder. */
static uint32_t limbs_div_small(uint32_t *limbs, int *n, uint32_t divisor)
{
  uint64_t rest = 0;
  for (int i = *n - 1; i >= 0; i--) {
    uint64_t t = (rest << 32) | limbs[i];
    limbs[i] = (uint32_t)(t / divisor);
    rest = t % divisor;
  }
  while (*n > 0 && limbs[*n - 1] == 0) (*n)--;
  return (uint32_t)rest;
}

char *bn_to_string(TAGGED integer, int base, char *buf)
{
  static const char digit_chars[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  bn_view v;
  bn_view_of(integer, &v);
  size_t size = bn_string_size(integer, base);
  bool negative = limb_negative(v.limbs[v.n - 1]);
  /* Work on a copy of the magnitude at the start of buf; digits go backwards from the end. */
  uint32_t *work = (uint32_t *)(void *)buf;
  std::memcpy(work, v.limbs, (size_t)v.n * sizeof(uint32_t));
  if (negative)
    limbs_negate(work, v.n); /* the magnitude of -2^(32n-1) is 2^(32n-1): still n limbs */
  int n = v.n;
  while (n > 0 && work[n - 1] == 0) n--;
  char *end = buf + size - 1, *p = end;
  *end = '\0';
  int chunk_digits;
  uint32_t chunk_power = limb_chunk(base, &chunk_digits);
  do {
    uint32_t chunk = limbs_div_small(work, &n, chunk_power);
    for (int k = 0; k < chunk_digits && (n > 0 || chunk != 0 || p == end); k++) {
      *--p = digit_chars[chunk % (uint32_t)base];
      chunk /= (uint32_t)base;
    }
  } while (n > 0);
  if (negative) *--p = '-';
  std::memmove(buf, p, (size_t)(end - p) + 1);
  return buf;
}
