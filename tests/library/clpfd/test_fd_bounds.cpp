/* Overflow-safe bound arithmetic against a 64-bit reference that applies the saturation rules
 * (results beyond the small-integer range become inf or sup) and the undefined results. */
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <vector>

#include "fd_bounds.h"
#include "fd_test_env.h"

namespace {

/* A bound in the reference: an infinity, an integer, or the undefined result. */
struct Bound {
  enum Kind { INF, INT, SUP, UNDEF } kind;
  int64_t v;
};
Bound inf() { return {Bound::INF, 0}; }
Bound sup() { return {Bound::SUP, 0}; }
Bound undef() { return {Bound::UNDEF, 0}; }
Bound num(int64_t v) { return {Bound::INT, v}; }
bool infinite(Bound b) { return b.kind == Bound::INF || b.kind == Bound::SUP; }
int sign(Bound b) { return b.kind == Bound::INF || (b.kind == Bound::INT && b.v < 0) ? -1 : 1; }

Bound from_word(TAGGED t)
{
  if (t == 0) return undef();
  if (t == atom_inf) return inf();
  if (t == atom_sup) return sup();
  EXPECT_TRUE(IsSmall(t)) << std::hex << t;
  return num(GetSmall(t));
}

TAGGED to_word(Bound b)
{
  switch (b.kind) {
  case Bound::INF: return atom_inf;
  case Bound::SUP: return atom_sup;
  case Bound::UNDEF: return 0;
  default: return MakeSmall((int32_t)b.v);
  }
}

bool in_range(int64_t v) { return v >= -268435456 && v <= 268435455; }
Bound saturate(int64_t v, bool negative) { return in_range(v) ? num(v) : negative ? inf() : sup(); }

Bound ref_plus(Bound a, Bound b)
{
  if (infinite(a)) return a;
  if (infinite(b)) return b;
  return saturate(a.v + b.v, a.v < 0);
}

Bound ref_minus(Bound a, Bound b)
{
  if (infinite(a)) return a;
  if (infinite(b)) return b.kind == Bound::INF ? sup() : inf();
  return saturate(a.v - b.v, a.v < 0);
}

Bound ref_negate(Bound a)
{
  if (infinite(a)) return a.kind == Bound::INF ? sup() : inf();
  return in_range(-a.v) ? num(-a.v) : sup();
}

int order(Bound a) { return a.kind == Bound::INF ? 0 : a.kind == Bound::INT ? 1 : 2; }
bool less(Bound a, Bound b)
{
  return order(a) != order(b) ? order(a) < order(b) : a.kind == Bound::INT && a.v < b.v;
}

Bound ref_mul(Bound a, Bound b)
{
  if (!infinite(a) && !infinite(b)) {
    int64_t p = a.v * b.v;
    return in_range(p) ? num(p) : (a.v < 0) != (b.v < 0) ? inf() : sup();
  }
  if ((a.kind == Bound::INT && a.v == 0) || (b.kind == Bound::INT && b.v == 0)) return undef();
  return sign(a) == sign(b) ? sup() : inf();
}

int64_t floor_div(int64_t a, int64_t b)
{
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}
int64_t ceil_div(int64_t a, int64_t b)
{
  return a / b + ((a % b != 0 && (a < 0) == (b < 0)) ? 1 : 0);
}

Bound ref_div(Bound a, Bound b, bool up)
{
  if (infinite(a) && infinite(b)) return undef();
  if (infinite(a)) return (a.kind == Bound::INF) == (sign(b) < 0) ? sup() : inf();
  if (infinite(b)) {
    if (a.v == 0) return num(0);
    bool negative = sign(a) != sign(b);
    return num(up ? (negative ? 0 : 1) : (negative ? -1 : 0));
  }
  if (b.v == 0) return a.v == 0 ? undef() : a.v > 0 ? sup() : inf();
  int64_t q = up ? ceil_div(a.v, b.v) : floor_div(a.v, b.v);
  return in_range(q) ? num(q) : sup();
}

std::vector<TAGGED> boundary_bounds()
{
  std::vector<TAGGED> out = {atom_inf, atom_sup, MakeSmall(0)};
  for (int32_t v : {1, 2, 3, 7, 8, 16383, 16384, 16385, 32767, 32768, 46340, 46341, 65536,
                    134217727, 134217728, 268435454, 268435455}) {
    out.push_back(MakeSmall(v));
    out.push_back(MakeSmall(-v));
  }
  out.push_back(MakeSmall(-268435456));
  return out;
}

class FdBounds : public ::testing::Test {
protected:
  FdTestEnv env;
};

#define EXPECT_BOUND(got, want, what, a, b)                                                        \
  EXPECT_EQ((got), to_word(want)) << what << "(" << std::hex << (a) << ", " << (b) << ")"

TEST_F(FdBounds, SumsAndDifferencesSaturateLikeTheReference)
{
  for (TAGGED a : boundary_bounds())
    for (TAGGED b : boundary_bounds()) {
      EXPECT_BOUND(fd_safe_plus(a, b), ref_plus(from_word(a), from_word(b)), "plus", a, b);
      EXPECT_BOUND(fd_safe_minus(a, b), ref_minus(from_word(a), from_word(b)), "minus", a, b);
    }
  EXPECT_EQ(env.state.fd_overflow, 0u);
}

TEST_F(FdBounds, NegationMinimumAndMaximumFollowTheOrderOfBounds)
{
  for (TAGGED a : boundary_bounds()) {
    EXPECT_BOUND(fd_safe_negate(a), ref_negate(from_word(a)), "negate", a, 0);
    if (IsSmall(a)) {
      EXPECT_BOUND(fd_safe_negate_val(a), ref_negate(from_word(a)), "negate_val", a, 0);
    }
    for (TAGGED b : boundary_bounds()) {
      Bound x = from_word(a), y = from_word(b);
      EXPECT_BOUND(fd_safe_min(a, b), less(y, x) ? y : x, "min", a, b);
      EXPECT_BOUND(fd_safe_max(a, b), less(x, y) ? y : x, "max", a, b);
    }
  }
}

TEST_F(FdBounds, ProductsSaturateByTheSignAndZeroTimesInfinityIsUndefined)
{
  for (TAGGED a : boundary_bounds())
    for (TAGGED b : boundary_bounds()) {
      Bound want = ref_mul(from_word(a), from_word(b));
      EXPECT_BOUND(fd_safe_mul(a, b), want, "mul", a, b);
      if (IsSmall(a) && IsSmall(b)) {
        EXPECT_BOUND(fd_safe_mul_val(a, b), want, "mul_val", a, b);
      }
    }
  EXPECT_EQ(env.state.fd_overflow, 0u);
}

TEST_F(FdBounds, QuotientsRoundUpAndDownLikeExactDivision)
{
  for (TAGGED a : boundary_bounds())
    for (TAGGED b : boundary_bounds()) {
      EXPECT_BOUND(fd_safe_divu(a, b), ref_div(from_word(a), from_word(b), true), "divu", a, b);
      EXPECT_BOUND(fd_safe_divd(a, b), ref_div(from_word(a), from_word(b), false), "divd", a, b);
    }
  EXPECT_EQ(env.state.fd_overflow, 0u);
}

TEST_F(FdBounds, FlooredModuloHasTheSignOfTheDivisor)
{
  std::vector<int32_t> values = {0,  1,   -1,   2,         -2,         3,         -3,       7,
                                 -7, 100, -100, 268435455, -268435456, INT32_MAX, INT32_MIN};
  for (int32_t a : values)
    for (int32_t b : values) {
      if (b == 0) continue;
      int64_t want = (int64_t)a - (int64_t)b * floor_div(a, b);
      EXPECT_EQ(fast_modi(a, b), want) << a << " mod " << b;
    }
}

/* The wide product against exact long double arithmetic (a 64-bit mantissa holds every product of
 * a 32-bit coefficient and a bound, 2^32 standing for an infinity): a finite product outside
 * -2^32..2^32-1 raises the flag; a product beyond 64 bits saturates and raises it. */
TEST_F(FdBounds, WideProductIsExactOrSaturatesWithTheFlag)
{
  static_assert(std::numeric_limits<long double>::digits >= 64, "needs a 64-bit mantissa");
  const long double two32 = 4294967296.0L;
  /* around 2^32 / 2^28 (16, 17, 32) and the ends of the 32-bit range */
  std::vector<int32_t> coefficients = {
      0, 1, 2, 3, 16, 17, 32, 1000, 65536, 1 << 20, 1 << 30, INT32_MAX - 1, INT32_MAX};
  for (size_t i = 0, n = coefficients.size(); i < n; i++) coefficients.push_back(-coefficients[i]);
  coefficients.push_back(INT32_MIN);
  for (int32_t c : coefficients)
    for (TAGGED x : boundary_bounds()) {
      env.state.fd_overflow = 0;
      long double exact = (long double)c * (x == atom_inf   ? -two32
                                            : x == atom_sup ? two32
                                                            : (long double)GetSmall(x));
      int64_t want;
      bool flag;
      if (exact > (long double)INT64_MAX) {
        want = INT64_MAX, flag = true;
      } else if (exact < (long double)INT64_MIN) {
        want = INT64_MIN, flag = true;
      } else {
        want = (int64_t)exact;
        flag = IsSmall(x) && (exact < -two32 || exact >= two32);
      }
      EXPECT_EQ(mul_lt_internal(&env.api, c, x), want) << c << " * " << std::hex << x;
      EXPECT_EQ(env.state.fd_overflow, flag ? 1u : 0u) << c << " * " << std::hex << x;
    }
}

TEST_F(FdBounds, EdgeCasesOfTheArithmetic)
{
  TAGGED undefined = 0;
  EXPECT_EQ(fd_safe_plus(atom_inf, atom_sup), atom_inf);
  EXPECT_EQ(fd_safe_plus(MakeSmall(268435455), MakeSmall(1)), atom_sup);
  EXPECT_EQ(fd_safe_minus(MakeSmall(5), atom_sup), atom_inf);
  EXPECT_EQ(fd_safe_minus(atom_sup, MakeSmall(-3)), atom_sup);
  EXPECT_EQ(fd_safe_negate(MakeSmall(-268435456)), atom_sup);
  EXPECT_EQ(fd_safe_mul(MakeSmall(0), atom_sup), undefined);
  EXPECT_EQ(fd_safe_mul(MakeSmall(-3), atom_sup), atom_inf);
  EXPECT_EQ(fd_safe_mul(atom_inf, atom_inf), atom_sup);
  EXPECT_EQ(fd_safe_mul_val(MakeSmall(16384), MakeSmall(16384)), atom_sup);
  EXPECT_EQ(fd_safe_mul_val(MakeSmall(-16384), MakeSmall(16384)), MakeSmall(-268435456));
  EXPECT_EQ(fd_safe_divu(MakeSmall(7), MakeSmall(2)), MakeSmall(4));
  EXPECT_EQ(fd_safe_divu(MakeSmall(-7), MakeSmall(2)), MakeSmall(-3));
  EXPECT_EQ(fd_safe_divu(MakeSmall(-7), MakeSmall(-2)), MakeSmall(4));
  EXPECT_EQ(fd_safe_divd(MakeSmall(7), MakeSmall(-2)), MakeSmall(-4));
  EXPECT_EQ(fd_safe_divd(MakeSmall(-7), MakeSmall(2)), MakeSmall(-4));
  EXPECT_EQ(fd_safe_divu(MakeSmall(-5), atom_inf), MakeSmall(1));
  EXPECT_EQ(fd_safe_divd(MakeSmall(-5), atom_sup), MakeSmall(-1));
  EXPECT_EQ(fd_safe_divu(MakeSmall(5), MakeSmall(0)), atom_sup);
  EXPECT_EQ(fd_safe_divd(MakeSmall(5), MakeSmall(0)), atom_sup);
  EXPECT_EQ(fd_safe_divu(MakeSmall(0), MakeSmall(0)), undefined);
  EXPECT_EQ(fd_safe_divd(MakeSmall(0), MakeSmall(0)), undefined);
  EXPECT_EQ(fd_safe_divd(MakeSmall(-268435456), MakeSmall(-1)), atom_sup);
  EXPECT_EQ(fast_modi(-7, 3), 2);
  EXPECT_EQ(fast_modi(7, -3), -2);
  EXPECT_EQ(mul_lt_internal(&env.api, 3, atom_sup), 3 * (INT64_C(1) << 32));
  EXPECT_EQ(env.state.fd_overflow, 0u);
}

}  // namespace
