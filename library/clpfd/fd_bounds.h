/* Overflow-safe arithmetic on domain bounds.
 *
 * A bound is a tagged small integer or the atom inf or sup. A result that leaves the small-integer
 * range saturates to inf or sup; an undefined result (infinity divided by infinity, zero times
 * infinity) is the word 0, which no bound can be. Used inside propagator loops, so all inline.
 */
#ifndef QX_FD_BOUNDS_H
#define QX_FD_BOUNDS_H

#include "fd.h"

/* The undefined result. */
constexpr TAGGED FD_UNDEFINED = 0;

static inline bool fd_infinite(TAGGED b) { return !IsSmall(b); }
/* inf for a negative value, sup otherwise: where a sum or difference left the range. */
static inline TAGGED fd_saturate(int32_t sum, int32_t first)
{
  return SmallFits(sum) ? MakeSmall(sum) : first < 0 ? atom_inf : atom_sup;
}

static inline TAGGED fd_safe_plus(TAGGED a, TAGGED b)
{
  if (fd_infinite(a)) return a;
  if (fd_infinite(b)) return b;
  return fd_saturate(GetSmall(a) + GetSmall(b), GetSmall(a));
}

static inline TAGGED fd_safe_minus(TAGGED a, TAGGED b)
{
  if (fd_infinite(a)) return a;
  if (fd_infinite(b)) return b == atom_inf ? atom_sup : atom_inf;
  return fd_saturate(GetSmall(a) - GetSmall(b), GetSmall(a));
}

static inline TAGGED fd_safe_negate_val(TAGGED a)
{
  return GetSmall(a) == QX_SMALL_MIN ? atom_sup : MakeSmall(-GetSmall(a));
}

static inline TAGGED fd_safe_negate(TAGGED a)
{
  if (IsSmall(a)) return fd_safe_negate_val(a);
  return a == atom_inf ? atom_sup : atom_inf;
}

static inline TAGGED fd_safe_min(TAGGED a, TAGGED b)
{
  if (a == atom_inf || b == atom_sup) return a;
  if (b == atom_inf || a == atom_sup) return b;
  return (SIGNED_TAGGED)a <= (SIGNED_TAGGED)b ? a : b;
}

static inline TAGGED fd_safe_max(TAGGED a, TAGGED b)
{
  if (a == atom_sup || b == atom_inf) return a;
  if (b == atom_sup || a == atom_inf) return b;
  return (SIGNED_TAGGED)a >= (SIGNED_TAGGED)b ? a : b;
}

/* The product of two small integers; out of range, the infinity of the product's sign (a zero
 * factor counts as non-negative). A 32x32 -> 64-bit multiply is one instruction on this target. */
static inline TAGGED fd_safe_mul_val(TAGGED a, TAGGED b)
{
  int32_t x = GetSmall(a), y = GetSmall(b);
  int64_t p = (int64_t)x * y;
  if (SmallFits(p)) return MakeSmall((int32_t)p);
  return (x < 0) != (y < 0) ? atom_inf : atom_sup;
}

/* Sign of a bound for products and quotients: -1 or 1, a zero counting as positive. */
static inline int fd_bound_sign(TAGGED b)
{
  if (IsSmall(b)) return GetSmall(b) < 0 ? -1 : 1;
  return b == atom_inf ? -1 : 1;
}

static inline TAGGED fd_safe_mul(TAGGED a, TAGGED b)
{
  if (IsSmall(a) && IsSmall(b)) return fd_safe_mul_val(a, b);
  if (a == MakeSmall(0) || b == MakeSmall(0)) return FD_UNDEFINED;
  return fd_bound_sign(a) == fd_bound_sign(b) ? atom_sup : atom_inf;
}

/* The cases of a division that do not depend on the rounding; returns false when both are
 * nonzero-divisor integers with a nonzero dividend, leaving the quotient's sign in *neg. */
static inline bool fd_div_special(TAGGED a, TAGGED b, bool round_up, TAGGED *result, bool *neg)
{
  if (fd_infinite(a)) {
    if (fd_infinite(b))
      *result = FD_UNDEFINED;
    else
      *result = (a == atom_inf) == (fd_bound_sign(b) < 0) ? atom_sup : atom_inf;
    return true;
  }
  int32_t x = GetSmall(a);
  if (x == 0) {
    *result = IsSmall(b) && GetSmall(b) == 0 ? FD_UNDEFINED : MakeSmall(0);
    return true;
  }
  *neg = (x < 0) != (fd_bound_sign(b) < 0);
  if (fd_infinite(b)) {
    /* a tiny quotient: rounds to 1 or 0 upwards, to 0 or -1 downwards */
    *result = MakeSmall(round_up ? (*neg ? 0 : 1) : (*neg ? -1 : 0));
    return true;
  }
  if (GetSmall(b) == 0) {
    *result = x > 0 ? atom_sup : atom_inf;
    return true;
  }
  return false;
}

/* a / b rounded up or down. Truncating division already rounds a negative quotient up and a
 * positive one down; the other two cases shift the dividend by the divisor first. */
static inline TAGGED fd_safe_div(TAGGED a, TAGGED b, bool round_up)
{
  TAGGED result;
  bool neg;
  if (fd_div_special(a, b, round_up, &result, &neg)) return result;
  int32_t x = GetSmall(a), y = GetSmall(b), q;
  if (neg == round_up)
    q = x / y;
  else if (round_up)
    q = x > 0 ? (x + y - 1) / y : (x + y + 1) / y;
  else
    q = x > 0 ? (x - y - 1) / y : (x + 1 - y) / y;
  return SmallFits(q) ? MakeSmall(q) : atom_sup;
}

/* a / b rounded towards plus infinity. */
static inline TAGGED fd_safe_divu(TAGGED a, TAGGED b) { return fd_safe_div(a, b, true); }

/* a / b rounded towards minus infinity. */
static inline TAGGED fd_safe_divd(TAGGED a, TAGGED b) { return fd_safe_div(a, b, false); }

/* Floored modulo of untagged integers: the result has the sign of b (b nonzero). */
static inline int32_t fast_modi(int32_t a, int32_t b)
{
  if (b == -1) return 0; /* also keeps INT32_MIN % -1 from trapping */
  int32_t r = a % b;
  if (r != 0 && (r < 0) != (b < 0)) r += b;
  return r;
}

/* Whether a finite product of a coefficient and a bound lies in -2^32..2^32-1 (its upper 32 bits
 * all zeros or all ones): beyond, it could be taken for a product of an infinity. */
static inline bool fd_product_in_range(int64_t p)
{
  uint32_t high = (uint32_t)((uint64_t)p >> 32);
  return high == 0 || high == 0xFFFFFFFFu;
}

/* c times a bound as a 64-bit number, inf and sup counting as -2^32 and 2^32. Raising the overflow
 * flag (never cleared here) says the result cannot be used as c times x: a finite product outside
 * -2^32..2^32-1 (upper 32 bits neither all zeros nor all ones) is as large as a product of an
 * infinity and could be taken for one; -2^31 times inf, 2^63, has no 64-bit value and saturates
 * to the largest one. */
static inline int64_t mul_lt_internal(ORVALIS_API_STRUCT *api, int32_t c, TAGGED x)
{
  if (!IsSmall(x)) {
    if (c == INT32_MIN && x == atom_inf) {
      fd_state(api)->fd_overflow = 1;
      return INT64_MAX;
    }
    int64_t shifted = (int64_t)c * (INT64_C(1) << 32);
    return x == atom_inf ? -shifted : shifted;
  }
  int64_t p = (int64_t)c * GetSmall(x);
  if (!fd_product_in_range(p)) fd_state(api)->fd_overflow = 1;
  return p;
}

#endif
