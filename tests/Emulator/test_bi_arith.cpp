#include <cstring>

#include "bi_test_support.h"
#include "gc.h"
#include "unify.h"

namespace {

/* Signed 128-bit integers from two 64-bit halves, enough to check a quotient and remainder
 * without the arithmetic under test. */
struct Wide {
  uint64_t hi, lo;
  explicit Wide(int64_t v) : hi(v < 0 ? ~(uint64_t)0 : 0), lo((uint64_t)v) {}
  Wide(uint64_t h, uint64_t l) : hi(h), lo(l) {}
  Wide operator+(const Wide &o) const
  {
    uint64_t l = lo + o.lo;
    return Wide(hi + o.hi + (l < lo), l);
  }
  Wide operator*(const Wide &o) const /* the low 128 bits of the product */
  {
    uint64_t a[2] = {lo & 0xFFFFFFFF, lo >> 32}, b[2] = {o.lo & 0xFFFFFFFF, o.lo >> 32};
    uint64_t low = a[0] * b[0], mid1 = a[1] * b[0], mid2 = a[0] * b[1];
    uint64_t carry = ((low >> 32) + (mid1 & 0xFFFFFFFF) + (mid2 & 0xFFFFFFFF)) >> 32;
    uint64_t high = a[1] * b[1] + (mid1 >> 32) + (mid2 >> 32) + carry;
    return Wide(high + hi * o.lo + lo * o.hi, lo * o.lo);
  }
  bool operator==(const Wide &o) const { return hi == o.hi && lo == o.lo; }
};
std::ostream &operator<<(std::ostream &os, const Wide &v) { return os << v.hi << ":" << v.lo; }

class BiArith : public BuiltinTest {
protected:
  /* The value of X in `X is Expr`, canonically written, or what happened instead. */
  std::string eval(const std::string &expr)
  {
    int r = p.run("X is " + expr);
    if (r == 1) return p.var("X");
    if (r == 0) return "<failed>";
    std::string ball = p.exception();
    qx_clear_exception();
    return ball;
  }
  static std::string is_error(const std::string &formal, int argument = 2)
  {
    return iso(formal, "is", 2, argument);
  }
};

}  // namespace

TEST_F(BiArith, IntegerOperations)
{
  EXPECT_EQ(eval("1 + 2 * 3 - 4"), "3");
  EXPECT_EQ(eval("7 // 2"), "3");
  EXPECT_EQ(eval("-7 // 2"), "-3");
  EXPECT_EQ(eval("-7 mod 2"), "1");
  EXPECT_EQ(eval("7 mod -2"), "-1");
  EXPECT_EQ(eval("-7 rem 2"), "-1");
  EXPECT_EQ(eval("-7 div 2"), "-4");
  EXPECT_EQ(eval("7 div 2"), "3");
  EXPECT_EQ(eval("min(3, 2) + max(3, 2) * 10"), "32");
  EXPECT_EQ(eval("abs(-5) + sign(-3) + sign(0)"), "4");
  EXPECT_EQ(eval("gcd(12, -18)"), "6");
  EXPECT_EQ(eval("gcd(0, 0)"), "0");
  EXPECT_EQ(eval("msb(1000)"), "9");
  EXPECT_EQ(eval("1 << 62"), "4611686018427387904");
  EXPECT_EQ(eval("-16 >> 2"), "-4");
  EXPECT_EQ(eval("5 >> 70"), "0");
  EXPECT_EQ(eval("-5 >> 70"), "-1");
  EXPECT_EQ(eval("8 << -2"), "2");
  EXPECT_EQ(eval("(12 /\\ 10) + (12 \\/ 3) * 100 + xor(6, 3) * 10000"), "51508");
  EXPECT_EQ(eval("\\ 5"), "-6");
  EXPECT_EQ(eval("2 ^ 62"), "4611686018427387904");
  EXPECT_EQ(eval("(-2) ^ 63 + 1"), "-9223372036854775807");
  EXPECT_EQ(eval("1 ^ -5 + (-1) ^ -3 * 10"), "-9");
  EXPECT_EQ(eval("- (3)"), "-3");
  EXPECT_EQ(eval("+ (3)"), "3");
}

TEST_F(BiArith, FloatOperations)
{
  EXPECT_EQ(p.run("X is 7 / 2, X =:= 3.5"), 1);
  EXPECT_EQ(p.run("X is 4 / 2, float(X), X =:= 2"), 1) << "/ answers a float";
  EXPECT_EQ(p.run("X is 2 ** 3, float(X), X =:= 8"), 1);
  EXPECT_EQ(p.run("X is 2 ^ 3, integer(X), X =:= 8"), 1);
  EXPECT_EQ(p.run("X is 2.0 ^ -1, X =:= 0.5"), 1);
  EXPECT_EQ(p.run("X is 1 + 0.5, float(X), X =:= 1.5"), 1);
  EXPECT_EQ(p.run("X is sqrt(16), X =:= 4.0, float(X)"), 1);
  EXPECT_EQ(p.run("X is atan(1, 1) * 4 - pi, abs(X) < 1.0e-15"), 1);
  EXPECT_EQ(p.run("X is atan(1) * 4 - pi, abs(X) < 1.0e-15"), 1);
  EXPECT_EQ(p.run("X is log(e), abs(X - 1) < 1.0e-15"), 1);
  EXPECT_EQ(p.run("X is log(2, 8), abs(X - 3) < 1.0e-12"), 1);
  EXPECT_EQ(p.run("X is exp(0) + sin(0) + cos(0) + tan(0), X =:= 2"), 1);
  EXPECT_EQ(p.run("X is float(3), float(X)"), 1);
  EXPECT_EQ(p.run("X is min(1, 1.5), integer(X), Y is max(2, 1.5), integer(Y)"), 1);
  EXPECT_EQ(p.run("X is abs(-2.5), X =:= 2.5, Y is sign(-2.5), Y =:= -1.0, float(Y)"), 1);
  EXPECT_EQ(p.run("X is float_integer_part(-2.5), X =:= -2.0, float(X)"), 1);
  EXPECT_EQ(p.run("X is float_fractional_part(2.75), X =:= 0.75"), 1);
}

TEST_F(BiArith, RoundingToIntegers)
{
  EXPECT_EQ(eval("truncate(3.7)"), "3");
  EXPECT_EQ(eval("truncate(-3.7)"), "-3");
  EXPECT_EQ(eval("round(2.5)"), "3");
  EXPECT_EQ(eval("round(-2.5)"), "-3");
  EXPECT_EQ(eval("ceiling(2.1)"), "3");
  EXPECT_EQ(eval("floor(-2.1)"), "-3");
  EXPECT_EQ(eval("integer(2.5)"), "3");
  EXPECT_EQ(eval("floor(7)"), "7");
  EXPECT_EQ(eval("truncate(1.0e18)"), "1000000000000000000");
  EXPECT_EQ(eval("truncate(1.0e19)"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("floor(-1.0e19)"), is_error("representation_error(min_integer)"));
}

TEST_F(BiArith, SixtyFourBitOverflowIsARepresentationError)
{
  EXPECT_EQ(eval("9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(eval("9223372036854775807 + 1"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("-9223372036854775807 - 2"), is_error("representation_error(min_integer)"));
  EXPECT_EQ(eval("4611686018427387904 * 2"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("4611686018427387904 * -3"), is_error("representation_error(min_integer)"));
  EXPECT_EQ(eval("3037000499 * 3037000499"), "9223372030926249001");
  EXPECT_EQ(eval("2 ^ 63"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("1 << 63"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("-1 << 63"), "-9223372036854775808");
  EXPECT_EQ(eval("((-2) ^ 63) // -1"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("abs((-2) ^ 63)"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("-((-2) ^ 63)"), is_error("representation_error(max_integer)"));
  EXPECT_EQ(eval("((-2) ^ 63) mod -1"), "0");
  EXPECT_EQ(eval("gcd((-2) ^ 63, 0)"), is_error("representation_error(max_integer)"));
}

TEST_F(BiArith, BignumInputsBeyondSixtyFourBits)
{
  call_overflow(p.w, 64, 0);
  TAGGED *box = p.w->global_top;
  ASSERT_EQ(bn_from_string("-123456789012345678901234567890", box, p.w->stack_start, 10), 0);
  p.w->global_top += BoxWords(box[0]);
  TAGGED big = MakeStr(box);
  qx_gc_root keep(&big); /* a run may collect */
  TAGGED x = p.TestEngine::var();
  EXPECT_EQ(run_term(p.compound("is", {x, p.compound("+", {big, MakeSmall(1)})})), -1);
  EXPECT_EQ(p.exception(), is_error("representation_error(min_integer)"));
  qx_clear_exception();
  EXPECT_EQ(run_term(p.compound("<", {MakeSmall(1), big})), -1);
  EXPECT_EQ(p.exception(), iso("representation_error(min_integer)", "<", 2, 2));
  qx_clear_exception();
}

TEST_F(BiArith, EvaluationErrors)
{
  EXPECT_EQ(eval("1 / 0"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("1.0 / 0"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("1 // 0"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("1 mod 0"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("0 ^ -1"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("0.0 ** -1"), is_error("evaluation_error(zero_divisor)"));
  EXPECT_EQ(eval("sqrt(-1)"), is_error("evaluation_error(undefined)"));
  EXPECT_EQ(eval("log(0)"), is_error("evaluation_error(undefined)"));
  EXPECT_EQ(eval("log(-1.0)"), is_error("evaluation_error(undefined)"));
  EXPECT_EQ(eval("(-8.0) ** 0.5"), is_error("evaluation_error(undefined)"));
  EXPECT_EQ(eval("atan(0, 0)"), is_error("evaluation_error(undefined)"));
  EXPECT_EQ(eval("exp(1000)"), is_error("evaluation_error(float_overflow)"));
  EXPECT_EQ(eval("1.0e308 * 10"), is_error("evaluation_error(float_overflow)"));
}

TEST_F(BiArith, TypeAndInstantiationErrors)
{
  EXPECT_EQ(eval("Y + 1"), is_error("instantiation_error"));
  EXPECT_EQ(eval("foo + 1"), is_error("type_error(evaluable,/(foo,0))"));
  EXPECT_EQ(eval("bar(1, 2, 3)"), is_error("type_error(evaluable,/(bar,3))"));
  EXPECT_EQ(eval("\"a\""), is_error("type_error(evaluable,/(.,2))"));
  EXPECT_EQ(eval("1.5 // 2"), is_error("type_error(integer,1.5)"));
  EXPECT_EQ(eval("5 mod 2.0"), is_error("type_error(integer,2)"));
  EXPECT_EQ(eval("msb(1.0)"), is_error("type_error(integer,1)"));
  EXPECT_EQ(eval("\\ 2.5"), is_error("type_error(integer,2.5)"));
  EXPECT_EQ(eval("2 ^ -1"), is_error("type_error(float,2)"));
  EXPECT_EQ(eval("msb(0)"), is_error("evaluation_error(undefined)"));
  /* The error names the side of a comparison that has it. */
  EXPECT_EQ(thrown("X < 1"), iso("instantiation_error", "<", 2, 1));
  EXPECT_EQ(thrown("1 =:= a"), iso("type_error(evaluable,/(a,0))", "=:=", 2, 2));
  EXPECT_EQ(thrown("1 + 2 =\\= X"), iso("instantiation_error", "=\\=", 2, 2));
}

TEST_F(BiArith, Comparisons)
{
  EXPECT_EQ(p.run("1 < 2, 2 > 1, 1 =< 1, 1 >= 1, 1 =:= 1.0, 1 =\\= 2, 2.5 > 2, 3 - 1 =:= 4 / 2"),
            1);
  EXPECT_EQ(p.run("2 < 1"), 0);
  EXPECT_EQ(p.run("1 =:= 2"), 0);
  EXPECT_EQ(p.run("1 =\\= 1.0"), 0);
  EXPECT_EQ(p.run("2 =< 1.5"), 0);
  EXPECT_EQ(p.run("1.5 >= 2"), 0);
  EXPECT_EQ(p.run("-2.5 < -2, -3 < -2.5"), 1);
}

/* An integer compared with a float is converted to the nearest float (ties to even) first;
 * two integers compare exactly. The expected order of each pair is worked out by hand: 2^53 + 1
 * rounds down to 2^53, 2^53 + 3 up to 2^53 + 4, 2^63 - 1 up to 2^63. Each of the six
 * comparisons must agree with it. The standard order stays exact. */
TEST_F(BiArith, MixedComparisonsConvertTheIntegerToFloat)
{
  struct Row {
    const char *left, *right;
    char order; /* '<', '=' or '>' */
  };
  const Row rows[] = {
      {"9007199254740993", "9007199254740992.0", '='},
      {"9007199254740992.0", "9007199254740993", '='},
      {"9007199254740993", "9007199254740994.0", '<'},
      {"9007199254740995", "9007199254740996.0", '='},
      {"9007199254740995", "9007199254740994.0", '>'},
      {"9007199254740993", "9007199254740992", '>'},
      {"-9007199254740993", "-9007199254740992.0", '='},
      {"-9007199254740995", "-9007199254740994.0", '<'},
      {"9223372036854775807", "9223372036854775808.0", '='},
      {"9223372036854775807", "9223372036854774784.0", '>'},
      {"9223372036854775807", "9223372036854775806", '>'},
      {"-9223372036854775808", "-9223372036854775808.0", '='},
      {"-9223372036854775807", "-9223372036854775808.0", '='},
      {"268435456", "268435456.0", '='},
      {"1", "1.0", '='},
      {"0", "-0.0", '='},
      {"3", "3.5", '<'},
      {"9223372036854775807", "Inf", '<'}, /* Inf: bound to infinity below */
      {"-9223372036854775808", "-Inf", '>'},
  };
  const struct {
    const char *op;
    const char *holds_for; /* the orders for which it succeeds */
  } ops[] = {{"=:=", "="}, {"=\\=", "<>"}, {"<", "<"}, {"=<", "<="}, {">", ">"}, {">=", ">="}};
  for (const Row &r : rows)
    for (const auto &op : ops) {
      std::string goal = std::string(r.left) + " " + op.op + " " + r.right;
      TermReader text(p.w, goal);
      TAGGED g = text.read();
      if (text.vars.count("Inf")) { /* the float +infinity, which has no syntax */
        TAGGED inf = make_float(p.w, 0, 0x7FF00000);
        ASSERT_TRUE(cunify(p.w, text.vars.at("Inf"), inf));
      }
      EXPECT_EQ(run_term(g), std::strchr(op.holds_for, r.order) ? 1 : 0) << goal;
    }
  EXPECT_EQ(p.run("compare(O, 9007199254740993, 9007199254740992.0)"), 1);
  EXPECT_EQ(p.var("O"), ">");
  EXPECT_EQ(p.run("9007199254740993 == 9007199254740992.0"), 0);
}

/* X div Y and X mod Y against the definitions: X = Q * Y + M with M = 0 or of the sign of Y and
 * |M| < |Y| (so Q is X / Y rounded down), checked in 128 bits; divisors of both signs, with
 * and without remainders, up to the ends of the 64-bit range. */
TEST_F(BiArith, DivAndModFollowFlooredDivision)
{
  constexpr int64_t t40 = (int64_t)1 << 40;
  const int64_t xs[] = {0,   1,         -1,         6,   -6,       7,         -7,       12,
                        -12, 268435456, -268435457, t40, -t40 - 3, INT64_MAX, INT64_MIN};
  const int64_t ys[] = {1,         -1,         2,   -2,   3,         -3,         7,        -7,
                        268435456, -268435456, t40, -t40, INT64_MAX, -INT64_MAX, INT64_MIN};
  for (int64_t x : xs)
    for (int64_t y : ys) {
      std::string goal = "Q is " + std::to_string(x) + " div " + std::to_string(y) + ", M is " +
                         std::to_string(x) + " mod " + std::to_string(y);
      if (x == INT64_MIN && y == -1) {
        EXPECT_EQ(p.run(goal), -1) << goal << ": 2^63 has no 64-bit value";
        qx_clear_exception();
        continue;
      }
      ASSERT_EQ(p.run(goal), 1) << goal;
      int64_t q = std::stoll(p.var("Q")), m = std::stoll(p.var("M"));
      EXPECT_EQ(Wide(x), Wide(q) * Wide(y) + Wide(m)) << goal;
      if (y > 0)
        EXPECT_TRUE(m >= 0 && m < y) << goal;
      else
        EXPECT_TRUE(m <= 0 && m > y) << goal;
    }
}

/* min/max of an integer and a float of equal value answer the argument the standard order
 * (compare/3) puts first, or last: min(A, B) is B exactly when compare/3 finds A after B. */
TEST_F(BiArith, MinAndMaxFollowTheStandardOrderOnTies)
{
  const char *pairs[][2] = {{"1", "1.0"},
                            {"1.0", "1"},
                            {"0", "-0.0"},
                            {"-0.0", "0"},
                            {"0.0", "-0.0"},
                            {"-1", "-1.0"},
                            {"9007199254740993", "9007199254740992.0"},
                            {"9223372036854775807", "9223372036854775808.0"},
                            {"3", "2.5"},
                            {"2", "3"}};
  for (auto &pair : pairs) {
    std::string a = pair[0], b = pair[1];
    std::string goal = "compare(O, " + a + ", " + b + "), Min is min(" + a + ", " + b +
                       "), Max is max(" + a + ", " + b + "), (O = (>) -> Min == " + b +
                       ", Max == " + a + " ; Min == " + a + ", Max == " + b + ")";
    EXPECT_EQ(p.run(goal), 1) << goal;
  }
  EXPECT_EQ(p.run("X is min(1, 1.0), float(X), Y is max(1.0, 1), integer(Y)"), 1);
}

TEST_F(BiArith, IsUnifiesWithBoundResult)
{
  EXPECT_EQ(p.run("3 is 1 + 2"), 1);
  EXPECT_EQ(p.run("4 is 1 + 2"), 0);
  EXPECT_EQ(p.run("3.0 is 1 + 2"), 0) << "is/2 unifies, it does not compare";
}

TEST_F(BiArith, DeepExpressionsNeedNoRecursion)
{
  const uint32_t depth = 1000000;
  call_overflow(p.w, 3 * depth + 64, 0);
  TAGGED expr = MakeSmall(0);
  for (uint32_t i = 0; i < depth; i++) expr = p.compound("+", {expr, MakeSmall(1)});
  TAGGED x = p.TestEngine::var();
  ASSERT_EQ(run_term(p.compound("is", {x, expr})), 1);
  EXPECT_EQ(TestProlog::show(x), "1000000");
}
