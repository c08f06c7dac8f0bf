/* Arithmetic: is/2 and the six comparisons.
 *
 * Expressions are evaluated without recursion: a stack of pending tasks (evaluate a subterm, or
 * apply a function to the values on top of the value stack) and a stack of values. Integers are
 * computed in 64 bits and floats in doubles; an integer result or input beyond 64 bits raises a
 * representation error.
 */
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"
#include "unify.h"

namespace {

struct Num {
  bool is_float;
  int64_t i;
  double f;
};

inline Num int_num(int64_t v) { return Num{false, v, 0.0}; }
inline Num float_num(double v) { return Num{true, 0, v}; }
inline double as_double(const Num &n) { return n.is_float ? n.f : (double)n.i; }

enum Fn : uint8_t {
  F_PI,
  F_E,
  F_NEG,
  F_POS,
  F_ABS,
  F_SIGN,
  F_MSB,
  F_NOT,
  F_SQRT,
  F_SIN,
  F_COS,
  F_TAN,
  F_ATAN,
  F_EXP,
  F_LOG,
  F_FLOAT,
  F_INTEGER,
  F_FIP,
  F_FFP,
  F_TRUNCATE,
  F_ROUND,
  F_CEILING,
  F_FLOOR,
  F_ADD,
  F_SUB,
  F_MUL,
  F_DIV,
  F_IDIV,
  F_MOD,
  F_REM,
  F_FDIV,
  F_MIN,
  F_MAX,
  F_GCD,
  F_SHR,
  F_SHL,
  F_AND,
  F_OR,
  F_XOR,
  F_POW,
  F_CARET,
  F_ATAN2,
  F_LOG2,
};

struct FnRow {
  const char *name;
  uint8_t arity;
  Fn fn;
};

const FnRow fn_rows[] = {
    {"pi", 0, F_PI},
    {"e", 0, F_E},
    {"-", 1, F_NEG},
    {"+", 1, F_POS},
    {"abs", 1, F_ABS},
    {"sign", 1, F_SIGN},
    {"msb", 1, F_MSB},
    {"\\", 1, F_NOT},
    {"sqrt", 1, F_SQRT},
    {"sin", 1, F_SIN},
    {"cos", 1, F_COS},
    {"tan", 1, F_TAN},
    {"atan", 1, F_ATAN},
    {"exp", 1, F_EXP},
    {"log", 1, F_LOG},
    {"float", 1, F_FLOAT},
    {"integer", 1, F_INTEGER},
    {"float_integer_part", 1, F_FIP},
    {"float_fractional_part", 1, F_FFP},
    {"truncate", 1, F_TRUNCATE},
    {"round", 1, F_ROUND},
    {"ceiling", 1, F_CEILING},
    {"floor", 1, F_FLOOR},
    {"+", 2, F_ADD},
    {"-", 2, F_SUB},
    {"*", 2, F_MUL},
    {"div", 2, F_DIV},
    {"//", 2, F_IDIV},
    {"mod", 2, F_MOD},
    {"rem", 2, F_REM},
    {"/", 2, F_FDIV},
    {"min", 2, F_MIN},
    {"max", 2, F_MAX},
    {"gcd", 2, F_GCD},
    {">>", 2, F_SHR},
    {"<<", 2, F_SHL},
    {"/\\", 2, F_AND},
    {"\\/", 2, F_OR},
    {"xor", 2, F_XOR},
    {"**", 2, F_POW},
    {"^", 2, F_CARET},
    {"atan", 2, F_ATAN2},
    {"log", 2, F_LOG2},
};
constexpr int kFnCount = sizeof fn_rows / sizeof fn_rows[0];

/* Evaluable functors of this engine: functor word (an atom for arity 0) -> row, an open table
 * filled once per engine, since atom numbers belong to one engine. */
struct FnSlot {
  TAGGED functor; /* 0: free */
  int row;
};
constexpr uint32_t kFnSlots = 128;
FnSlot fn_table[kFnSlots];
inline uint32_t fn_hash(TAGGED functor) { return (functor * 2654435761u) >> 25; }

/* The row of an evaluable functor, or -1. */
int find_fn(TAGGED functor)
{
  for (uint32_t i = fn_hash(functor);; i = (i + 1) % kFnSlots) {
    const FnSlot &slot = fn_table[i];
    if (slot.functor == functor) return slot.row;
    if (slot.functor == 0) return -1;
  }
}

/* ---- errors: each raises against the argument being evaluated and answers false ---- */
struct Eval {
  worker *w;
  int argument;
  struct Task {
    TAGGED term; /* a subterm to evaluate, when row < 0 */
    int row;     /* else the function to apply to the values on top */
  };
  std::vector<Task> tasks;
  std::vector<Num> values;

  TAGGED num_term(const Num &n)
  {
    call_overflow(w, 16, 0);
    return n.is_float ? qx_make_double(w, n.f) : make_int64(w, n.i);
  }
  bool type_error(const char *type, const Num &n)
  {
    return qx_type_error(w, type, num_term(n), argument);
  }
  bool evaluation(const char *what) { return qx_evaluation_error(w, what, argument); }
  bool overflow(bool negative)
  {
    return qx_representation_error(w, negative ? "min_integer" : "max_integer", argument);
  }
  bool not_evaluable(TAGGED name, uint32_t arity)
  {
    call_overflow(w, 16, 0);
    TAGGED *p = w->global_top;
    p[0] = MakeFunctor(qx_char_atom_fixed('/'), 2);
    p[1] = name;
    p[2] = MakeSmall((int32_t)arity);
    w->global_top += 3;
    return qx_type_error(w, "evaluable", MakeStr(p), argument);
  }

  bool push_int(int64_t v) { return values.push_back(int_num(v)), true; }
  /* A float result: not finite from finite inputs is an evaluation error. */
  bool push_float(double r, bool inputs_finite = true)
  {
    if (!std::isfinite(r) && inputs_finite)
      return evaluation(std::isnan(r) ? "undefined" : "float_overflow");
    return values.push_back(float_num(r)), true;
  }

  bool run(TAGGED expr, Num *out);
  bool leaf(TAGGED t);
  bool apply(Fn fn);
  bool apply_unary(Fn fn, const Num &x);
  bool apply_float_fn(Fn fn, double x, bool finite);
  bool apply_binary(Fn fn, const Num &x, const Num &y);
  bool apply_integer_binary(Fn fn, int64_t x, int64_t y);
  bool apply_mixed_binary(Fn fn, const Num &x, const Num &y);
};

/* The arithmetic comparison: two integers exactly; otherwise an integer is converted to the
 * nearest float first. -1, 0, 1, or 2 when a NaN leaves the pair unordered. */
int compare_nums(const Num &x, const Num &y)
{
  if (!x.is_float && !y.is_float) return x.i < y.i ? -1 : x.i > y.i;
  double a = as_double(x), b = as_double(y);
  if (std::isnan(a) || std::isnan(b)) return 2;
  return a < b ? -1 : a > b;
}

/* Exact comparison of an integer with a double that is not NaN: -1, 0, 1. */
int compare_int_double(int64_t i, double d)
{
  if (d >= 9223372036854775808.0) return -1;
  if (d < -9223372036854775808.0) return 1;
  double t = std::trunc(d);
  int64_t ti = (int64_t)t;
  if (i != ti) return i < ti ? -1 : 1;
  return d > t ? -1 : d < t ? 1 : 0;
}

/* The standard order of two values, as compare/3 orders them: by exact value, a float before
 * an integer of the same value, NaN before every number. */
int standard_order(const Num &x, const Num &y)
{
  if (!x.is_float && !y.is_float) return x.i < y.i ? -1 : x.i > y.i;
  if (x.is_float && y.is_float) return qx_compare_floats(x.f, y.f);
  const Num &f = x.is_float ? x : y;
  const Num &i = x.is_float ? y : x;
  int c = std::isnan(f.f) ? 1 : compare_int_double(i.i, f.f); /* the integer against the float */
  if (c == 0) c = 1;
  return x.is_float ? -c : c;
}

/* A double to an integer, or a representation or evaluation error when it has no int64 value. */
bool push_integral(Eval &e, double d)
{
  if (std::isnan(d)) return e.evaluation("undefined");
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return e.overflow(d < 0);
  return e.push_int((int64_t)d);
}

bool Eval::leaf(TAGGED t)
{
  if (IsSmall(t)) return push_int(GetSmall(t));
  if (IsFloat(t)) return values.push_back(float_num(FloatValue(t))), true;
  if (IsBignum(t)) {
    int64_t v;
    if (!qx_get_int64(t, &v)) return overflow(bn_compare(t, MakeSmall(0)) < 0);
    return push_int(v);
  }
  if (IsAtom(t)) {
    int row = find_fn(t);
    if (row < 0) return not_evaluable(t, 0);
    return push_float(fn_rows[row].fn == F_PI ? std::numbers::pi : std::numbers::e);
  }
  TAGGED f = IsLst(t) ? MakeFunctor(atom_dot, 2) : StrFunctor(t);
  int row = IsLst(t) ? -1 : find_fn(f);
  if (row < 0) return not_evaluable(FunctorName(f), Arity(f));
  tasks.push_back(Task{0, row});
  const TAGGED *args = StrArgs(t);
  for (uint32_t i = Arity(f); i-- > 0;) tasks.push_back(Task{args[i], -1});
  return true;
}

bool Eval::run(TAGGED expr, Num *out)
{
  tasks.clear();
  values.clear();
  tasks.push_back(Task{expr, -1});
  while (!tasks.empty()) {
    Task task = tasks.back();
    tasks.pop_back();
    bool ok;
    if (task.row >= 0) {
      ok = apply(fn_rows[task.row].fn);
    } else {
      TAGGED t = deref(task.term);
      ok = IsVar(t) ? qx_instantiation_error(w, argument) : leaf(t);
    }
    if (!ok) return false;
  }
  *out = values.back();
  return true;
}

bool Eval::apply(Fn fn)
{
  if (fn < F_ADD) {
    Num x = values.back();
    values.pop_back();
    return apply_unary(fn, x);
  }
  Num y = values.back();
  values.pop_back();
  Num x = values.back();
  values.pop_back();
  return apply_binary(fn, x, y);
}

bool Eval::apply_unary(Fn fn, const Num &x)
{
  if (!x.is_float) {
    int64_t v = x.i;
    switch (fn) {
    case F_NEG:
    case F_ABS:
      if (v == INT64_MIN) return overflow(false);
      return push_int(fn == F_NEG || v < 0 ? -v : v);
    case F_POS:
    case F_INTEGER:
    case F_TRUNCATE:
    case F_ROUND:
    case F_CEILING:
    case F_FLOOR: return push_int(v);
    case F_SIGN: return push_int(v > 0 ? 1 : v < 0 ? -1 : 0);
    case F_MSB:
      if (v <= 0) return evaluation("undefined");
      return push_int(63 - __builtin_clzll((uint64_t)v));
    case F_NOT: return push_int(~v);
    default: return apply_float_fn(fn, (double)v, true);
    }
  }
  double d = x.f;
  switch (fn) {
  case F_NEG: return push_float(-d, false);
  case F_POS: return push_float(d, false);
  case F_ABS: return push_float(std::fabs(d), false);
  case F_SIGN: return push_float(d > 0 ? 1.0 : d < 0 ? -1.0 : d, false);
  case F_MSB:
  case F_NOT: return type_error("integer", x);
  case F_INTEGER: return push_integral(*this, std::round(d));
  case F_TRUNCATE: return push_integral(*this, std::trunc(d));
  case F_ROUND: return push_integral(*this, std::round(d));
  case F_CEILING: return push_integral(*this, std::ceil(d));
  case F_FLOOR: return push_integral(*this, std::floor(d));
  default: return apply_float_fn(fn, d, std::isfinite(d));
  }
}

/* Functions whose value is a float. */
bool Eval::apply_float_fn(Fn fn, double x, bool finite)
{
  switch (fn) {
  case F_SQRT:
    if (x < 0) return evaluation("undefined");
    return push_float(std::sqrt(x), finite);
  case F_LOG:
    if (x <= 0) return evaluation("undefined");
    return push_float(std::log(x), finite);
  case F_SIN: return push_float(std::sin(x), finite);
  case F_COS: return push_float(std::cos(x), finite);
  case F_TAN: return push_float(std::tan(x), finite);
  case F_ATAN: return push_float(std::atan(x), finite);
  case F_EXP: return push_float(std::exp(x), finite);
  case F_FLOAT: return push_float(x, false);
  case F_FIP: return push_float(std::trunc(x), false);
  case F_FFP: return push_float(x - std::trunc(x), finite);
  default: return evaluation("undefined");
  }
}

/* Integer power by squaring; false when the value leaves 64 bits. */
bool int_power(int64_t base, int64_t exp, int64_t *result)
{
  int64_t r = 1;
  while (exp > 0) {
    if ((exp & 1) && __builtin_mul_overflow(r, base, &r)) return false;
    exp >>= 1;
    if (exp > 0 && __builtin_mul_overflow(base, base, &base)) return false;
  }
  *result = r;
  return true;
}

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - (uint64_t)v : (uint64_t)v; }

bool Eval::apply_integer_binary(Fn fn, int64_t x, int64_t y)
{
  int64_t r;
  switch (fn) {
  case F_ADD: return __builtin_add_overflow(x, y, &r) ? overflow(x < 0) : push_int(r);
  case F_SUB: return __builtin_sub_overflow(x, y, &r) ? overflow(x < 0) : push_int(r);
  case F_MUL: return __builtin_mul_overflow(x, y, &r) ? overflow((x < 0) != (y < 0)) : push_int(r);
  case F_IDIV:
  case F_DIV:
  case F_MOD:
  case F_REM: {
    if (y == 0) return evaluation("zero_divisor");
    if (y == -1) /* x / -1 is the one quotient that can overflow; every remainder is 0 */
      return fn == F_MOD || fn == F_REM ? push_int(0)
             : x == INT64_MIN           ? overflow(false)
                                        : push_int(-x);
    int64_t q = x / y, m = x % y;
    if (fn == F_IDIV) return push_int(q);
    if (fn == F_REM) return push_int(m);
    bool adjust = m != 0 && ((m < 0) != (y < 0));
    return fn == F_DIV ? push_int(adjust ? q - 1 : q) : push_int(adjust ? m + y : m);
  }
  case F_GCD: {
    uint64_t a = magnitude(x), b = magnitude(y);
    while (b != 0) {
      uint64_t t = a % b;
      a = b;
      b = t;
    }
    return a > (uint64_t)INT64_MAX ? overflow(false) : push_int((int64_t)a);
  }
  case F_SHL:
  case F_SHR: {
    int64_t shift = fn == F_SHL ? y : (y == INT64_MIN ? INT64_MAX : -y); /* positive: left */
    if (shift <= 0) return push_int(shift <= -64 ? (x < 0 ? -1 : 0) : x >> -shift);
    if (x == 0) return push_int(0);
    if (shift >= 64) return overflow(x < 0);
    r = (int64_t)((uint64_t)x << shift);
    return (r >> shift) != x ? overflow(x < 0) : push_int(r);
  }
  case F_AND: return push_int(x & y);
  case F_OR: return push_int(x | y);
  case F_XOR: return push_int(x ^ y);
  case F_CARET:
    if (y < 0) {
      if (x == 1 || x == -1) return push_int(x == 1 || (y & 1) == 0 ? 1 : -1);
      return x == 0 ? evaluation("zero_divisor") : type_error("float", int_num(x));
    }
    return int_power(x, y, &r) ? push_int(r) : overflow(x < 0 && (y & 1));
  default: return apply_mixed_binary(fn, int_num(x), int_num(y));
  }
}

bool Eval::apply_mixed_binary(Fn fn, const Num &x, const Num &y)
{
  double a = as_double(x), b = as_double(y);
  bool finite = std::isfinite(a) && std::isfinite(b);
  switch (fn) {
  case F_ADD: return push_float(a + b, finite);
  case F_SUB: return push_float(a - b, finite);
  case F_MUL: return push_float(a * b, finite);
  case F_FDIV:
    if (b == 0) return evaluation("zero_divisor");
    return push_float(a / b, finite);
  case F_MIN:
  case F_MAX: {
    int c = standard_order(x, y);
    bool take_y = fn == F_MIN ? c > 0 : c < 0;
    return values.push_back(take_y ? y : x), true;
  }
  case F_POW:
  case F_CARET:
    if (a == 0 && b < 0) return evaluation("zero_divisor");
    if (a < 0 && b != std::trunc(b)) return evaluation("undefined");
    return push_float(std::pow(a, b), finite);
  case F_ATAN2:
    if (a == 0 && b == 0) return evaluation("undefined");
    return push_float(std::atan2(a, b), finite);
  case F_LOG2:
    if (a <= 0 || b <= 0) return evaluation("undefined");
    if (std::log(a) == 0) return evaluation("zero_divisor");
    return push_float(std::log(b) / std::log(a), finite);
  default:
    /* integer-only functions */
    return type_error("integer", x.is_float ? x : y);
  }
}

bool Eval::apply_binary(Fn fn, const Num &x, const Num &y)
{
  bool integer_only = fn == F_IDIV || fn == F_DIV || fn == F_MOD || fn == F_REM || fn == F_GCD ||
                      fn == F_SHR || fn == F_SHL || fn == F_AND || fn == F_OR || fn == F_XOR;
  bool float_only = fn == F_FDIV || fn == F_POW || fn == F_ATAN2 || fn == F_LOG2;
  if (!x.is_float && !y.is_float && !float_only) return apply_integer_binary(fn, x.i, y.i);
  if (integer_only) return type_error("integer", x.is_float ? x : y);
  return apply_mixed_binary(fn, x, y);
}

Eval &evaluator(worker *w, int argument)
{
  static Eval e;
  e.w = w;
  e.argument = argument;
  return e;
}

}  // namespace

void qx_arith_init()
{
  std::memset(fn_table, 0, sizeof fn_table);
  for (int r = 0; r < kFnCount; r++) {
    TAGGED name = init_atom_check(fn_rows[r].name, 0);
    TAGGED functor = fn_rows[r].arity ? MakeFunctor(name, fn_rows[r].arity) : name;
    uint32_t i = fn_hash(functor);
    while (fn_table[i].functor) i = (i + 1) % kFnSlots;
    fn_table[i] = FnSlot{functor, r};
  }
}

bool qx_arith_small(TAGGED functor, int32_t x, int32_t y, int32_t *result)
{
  int row = find_fn(functor);
  if (row < 0) return false;
  int32_t &r = *result;
  /* x and y are small integers (29 bits): sums, differences, negations and quotients fit. */
  switch (fn_rows[row].fn) {
  case F_ADD: return r = x + y, true;
  case F_SUB: return r = x - y, true;
  case F_MUL: return !__builtin_mul_overflow(x, y, &r);
  case F_NEG: return r = -x, true;
  case F_POS: return r = x, true;
  case F_ABS: return r = x < 0 ? -x : x, true;
  case F_SIGN: return r = x > 0 ? 1 : x < 0 ? -1 : 0, true;
  case F_NOT: return r = ~x, true;
  case F_AND: return r = x & y, true;
  case F_OR: return r = x | y, true;
  case F_XOR: return r = x ^ y, true;
  case F_MIN: return r = y < x ? y : x, true;
  case F_MAX: return r = y > x ? y : x, true;
  case F_IDIV:
  case F_DIV:
  case F_MOD:
  case F_REM: {
    if (y == 0) return false; /* the error: the general path raises it */
    int32_t q = x / y, m = x % y;
    bool adjust = m != 0 && ((m < 0) != (y < 0));
    switch (fn_rows[row].fn) {
    case F_IDIV: r = q; break;
    case F_REM: r = m; break;
    case F_DIV: r = adjust ? q - 1 : q; break;
    default: r = adjust ? m + y : m; break;
    }
    return true;
  }
  case F_SHR:
    if (y < 0 || y > 31) return false;
    return r = x >> y, true;
  case F_SHL:
    if (y < 0 || y > 31) return false;
    r = (int32_t)((uint32_t)x << y);
    return (r >> y) == x;
  default: return false;
  }
}

namespace {

/* A term whose value the small-integer path gives: a small integer, or an operation on two (or
 * one). False: the general evaluation runs. */
bool small_value(TAGGED t, int32_t *out)
{
  t = deref(t);
  if (IsSmall(t)) return *out = GetSmall(t), true;
  if (!IsStr(t)) return false;
  TAGGED f = StrFunctor(t);
  uint32_t n = Arity(f);
  if (IsBoxHeader(f) || n < 1 || n > 2) return false;
  TAGGED x = deref(StrArg(t, 1)), y = n == 2 ? deref(StrArg(t, 2)) : MakeSmall(0);
  return IsSmall(x) && IsSmall(y) && qx_arith_small(f, GetSmall(x), GetSmall(y), out);
}

int prolog_is(worker *w)
{
  int32_t v;
  if (small_value(w->term[1], &v) && SmallFits(v))
    return cunify(w, w->term[0], MakeSmall((int32_t)v));
  Num result;
  if (!evaluator(w, 2).run(w->term[1], &result)) return 0;
  call_overflow(w, 16, 2);
  TAGGED value = result.is_float ? qx_make_double(w, result.f) : make_int64(w, result.i);
  return cunify(w, w->term[0], value);
}

/* Evaluates both sides: -1, 0, 1, 2 (unordered: a NaN), or 3 after raising an error. */
int compare_sides(worker *w)
{
  int32_t a, b;
  if (small_value(w->term[0], &a) && small_value(w->term[1], &b)) return a < b ? -1 : a > b;
  Num x, y;
  if (!evaluator(w, 1).run(w->term[0], &x) || !evaluator(w, 2).run(w->term[1], &y)) return 3;
  return compare_nums(x, y);
}

int prolog_num_eq(worker *w) { return compare_sides(w) == 0; }
int prolog_num_ne(worker *w)
{
  int c = compare_sides(w);
  return c != 0 && c != 3;
}
int prolog_num_lt(worker *w) { return compare_sides(w) == -1; }
int prolog_num_gt(worker *w) { return compare_sides(w) == 1; }
int prolog_num_le(worker *w)
{
  int c = compare_sides(w);
  return c == -1 || c == 0;
}
int prolog_num_ge(worker *w)
{
  int c = compare_sides(w);
  return c == 1 || c == 0;
}

}  // namespace

const qx_pred_row qx_bi_arith_rows[] = {
    {"is", prolog_is, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"=:=", prolog_num_eq, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"=\\=", prolog_num_ne, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"<", prolog_num_lt, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {">", prolog_num_gt, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"=<", prolog_num_le, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {">=", prolog_num_ge, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
