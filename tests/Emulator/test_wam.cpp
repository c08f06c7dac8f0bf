#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "builtins.h"
#include "engine_fixture.h"
#include "memtest_support.h"
#include "test_natives.h"
#include "test_prolog.h"
#include "unify.h"

namespace {

/* =/2 for interpreter tests that must not depend on the built-in families. */
int test_unify(worker *w) { return cunify(w, w->term[0], w->term[1]); }

/* Counts its calls; used to check that solutions are not recomputed. */
int probe_calls;
int test_probe(worker *w)
{
  (void)w;
  probe_calls++;
  return 1;
}

/* A native raising a recorded error on its second argument. */
int test_raise(worker *w) { return qx_type_error(w, "integer", deref(w->term[1]), 2); }

class Wam : public ::testing::Test {
protected:
  Wam()
  {
    qx_define_native(qx_eg.prolog_module, "=", 2, test_unify, nullptr, ENTER_C);
    qx_define_native(qx_eg.prolog_module, "between", 3, test_between, test_between_retry,
                     ENTER_C_NONDET);
    qx_define_native(qx_eg.prolog_module, "probe", 0, test_probe, nullptr, ENTER_C);
    qx_define_native(qx_eg.prolog_module, "raise", 2, test_raise, nullptr, ENTER_C);
    probe_calls = 0;
  }
  TestProlog p;
};

}  // namespace

TEST_F(Wam, NaiveReverseGivesTheReversedList)
{
  p.consult("app([], L, L). app([H|T], L, [H|R]) :- app(T, L, R). "
            "nrev([], []). nrev([H|T], R) :- nrev(T, RT), app(RT, [H], R). "
            "range(N, N, [N]) :- !. range(I, N, [I|T]) :- J is I + 1, range(J, N, T). ");
  ASSERT_EQ(p.run("nrev([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,"
                  "28,29,30], R)"),
            1);
  EXPECT_EQ(p.var("R"),
            "[30,29,28,27,26,25,24,23,22,21,20,19,18,17,16,15,14,13,12,11,10,9,8,7,6,5,4,3,2,1]");
}

TEST_F(Wam, NaiveReverseTenThousandTimesInAFailureDrivenLoop)
{
  p.consult("app([], L, L). app([H|T], L, [H|R]) :- app(T, L, R). "
            "nrev([], []). nrev([H|T], R) :- nrev(T, RT), app(RT, [H], R). "
            "bench(L, R) :- between(1, 10000, _), nrev(L, R), fail. bench(L, R) :- nrev(L, R). ");
  ASSERT_EQ(p.run("bench([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,"
                  "28,29,30], R)"),
            1);
  EXPECT_EQ(p.var("R"),
            "[30,29,28,27,26,25,24,23,22,21,20,19,18,17,16,15,14,13,12,11,10,9,8,7,6,5,4,3,2,1]");
}

TEST_F(Wam, BacktrackingEnumeratesClausesInOrder)
{
  p.consult("c(a). c(b). c(c). all(L) :- coll([], L). coll(Acc, L) :- c(X), \\+ mem(X, Acc), !, "
            "coll([X|Acc], L). "
            "coll(L, L). mem(X, [X|_]). mem(X, [_|T]) :- mem(X, T). ");
  ASSERT_EQ(p.run("all(L)"), 1);
  EXPECT_EQ(p.var("L"), "[c,b,a]");
  EXPECT_EQ(p.run("c(d)"), 0);
}

TEST_F(Wam, NondeterministicNativeWithCut)
{
  p.consult("first(X) :- between(1, 5, X), X = 3, !. count(N) :- between(1, N, X), X = N.");
  ASSERT_EQ(p.run("first(X)"), 1);
  EXPECT_EQ(p.var("X"), "3");
  ASSERT_EQ(p.run("count(4)"), 1);
  /* A cut inside the condition of an if-then-else keeps the else branch. */
  ASSERT_EQ(p.run("( (between(1, 3, X), !, X = 2) -> R = yes ; R = no )"), 1);
  EXPECT_EQ(p.var("R"), "no");
  ASSERT_EQ(p.run("( between(1, 3, X), X = 2 -> R = X ; R = no )"), 1);
  EXPECT_EQ(p.var("R"), "2");
  EXPECT_EQ(qx_has_node(p.w), false) << "a once-query leaves no choicepoint";
}

TEST_F(Wam, ControlConstructs)
{
  EXPECT_EQ(p.run("(fail ; true)"), 1);
  EXPECT_EQ(p.run("\\+ fail"), 1);
  EXPECT_EQ(p.run("\\+ true"), 0);
  EXPECT_EQ(p.run("(true -> fail ; true)"), 0);
  EXPECT_EQ(p.run("(fail -> true)"), 0);
  ASSERT_EQ(p.run("call(=, X, f(Y)), Y = 1"), 1);
  EXPECT_EQ(p.var("X"), "f(1)");
  ASSERT_EQ(p.run("G = (X = 1 ; X = 2), call(G), X = 2"), 1);
  /* Cut in call/1 is local to it. */
  p.consult("t(X) :- call((between(1, 3, X), !)). t(9).");
  ASSERT_EQ(p.run("t(X), X = 9"), 1);
  /* Cut in a clause body cuts the clause alternatives, transparent through ; and ->. */
  p.consult("u(X) :- (between(1, 3, X), X = 2, ! ; X = 7). u(8).");
  ASSERT_EQ(p.run("u(X), X = 8"), 0);
  ASSERT_EQ(p.run("u(X)"), 1);
  EXPECT_EQ(p.var("X"), "2");
}

TEST_F(Wam, CatchAndThrow)
{
  p.consult("thrower :- throw(oops). deep(0) :- throw(bottom(0)). deep(N) :- M is N - 1, deep(M).");
  ASSERT_EQ(p.run("catch(thrower, E, true)"), 1);
  EXPECT_EQ(p.var("E"), "oops");
  /* A catcher that does not match lets the ball through to an outer one. */
  ASSERT_EQ(p.run("catch(catch(thrower, nomatch, true), X, R = X)"), 1);
  EXPECT_EQ(p.var("R"), "oops");
  /* Bindings made before the throw are undone. */
  ASSERT_EQ(p.run("catch((Y = 1, thrower), _, true), Z = Y"), 1);
  EXPECT_EQ(p.var("Z"), "_");
  /* Uncaught: -1 with the ball pending. */
  EXPECT_EQ(p.run("thrower"), -1);
  EXPECT_EQ(p.exception(), "oops");
  qx_clear_exception();
  /* After the goal of catch/3 exits, the catcher no longer catches. */
  EXPECT_EQ(p.run("catch(between(1, 2, _), _, true), thrower"), -1);
  EXPECT_EQ(p.exception(), "oops");
  qx_clear_exception();
}

TEST_F(Wam, NativeErrorsBecomeErrorTerms)
{
  EXPECT_EQ(p.run("raise(a, b)"), -1);
  EXPECT_EQ(p.exception(), "error(type_error(integer,b),context(:(prolog,/(raise,2)),2))");
  qx_clear_exception();
  ASSERT_EQ(p.run("catch(raise(a, c), error(F, _), true)"), 1);
  EXPECT_EQ(p.var("F"), "type_error(integer,c)");
}

TEST_F(Wam, UndefinedPredicatesFollowTheUnknownFlag)
{
  EXPECT_EQ(p.run("nosuch(1)"), -1);
  EXPECT_EQ(p.exception(), "error(existence_error(procedure,:(user,/(nosuch,1))),context(_,0))");
  qx_clear_exception();
  qx_eg.current_unknown = atom_fail;
  EXPECT_EQ(p.run("nosuch(1)"), 0);
  qx_eg.current_unknown = atom_error;
  EXPECT_EQ(p.run("X"), -1);
  EXPECT_EQ(p.exception(), "error(instantiation_error,context(_,0))");
  qx_clear_exception();
  EXPECT_EQ(p.run("call(1)"), -1);
  qx_clear_exception();
}

TEST_F(Wam, HaltIsAReservedExceptionThatCatchDoesNotStop)
{
  TestProlog &q = p;
  q.consult("h :- catch(halt(3), _, true).");
  EXPECT_EQ(q.run("h"), -1);
  EXPECT_EQ(q.exception(), "$reserved(" + std::to_string((3 << 8) | 4) + ")");
  qx_clear_exception();
}

TEST_F(Wam, DeepRecursionDoesNotOverflowTheCStack)
{
  p.consult("len([], 0). len([_|T], N) :- len(T, M), N is M + 1. "
            "mk(0, []) :- !. mk(N, [N|T]) :- M is N - 1, mk(M, T).");
  /* is/2 comes from the arithmetic family; without it, count with a native-free recursion. */
  p.consult("down(0) :- !. down(N) :- dec(N, M), down(M), true. dec(N, M) :- succ(M, N).");
  qx_define_native(
      qx_eg.prolog_module, "succ", 2,
      [](worker *w) -> int {
        TAGGED n = deref(w->term[1]);
        return cunify(w, w->term[0], MakeSmall(GetSmall(n) - 1));
      },
      nullptr, ENTER_C);
  EXPECT_EQ(p.run("down(1000000)"), 1);
}

/* Cut barriers kept in terms: every offset of the largest choicepoint area, on both sides of the
 * 2^28 bytes that a byte count in a small integer would wrap at, comes back as it went in, as a
 * non-negative small integer (a constant to every walker of terms). */
TEST(WamBarriers, EveryOffsetOfTheLargestAreaComesBack)
{
  const uint32_t max = (uint32_t)QX_CHOICE_BLOCK_MAX;
  const uint32_t offsets[] = {
      0, 4, (1u << 28) - 4, 1u << 28, (1u << 28) + 4, (1u << 29) + 12, max / 2, max - 4};
  for (uint32_t offset : offsets) {
    TAGGED t = qx_barrier_term(offset);
    EXPECT_TRUE(IsSmall(t)) << offset;
    EXPECT_GE(GetSmall(t), 0) << offset;
    EXPECT_EQ(qx_barrier_offset(t), offset) << offset;
  }
}

/* ---- clause bodies run as code ---- */
namespace {

/* heap_used(H), local_used(L): words of the heap and of the local stack in use. */
int t_heap_used(worker *w)
{
  return cunify(w, w->term[0], MakeSmall((int32_t)(w->global_top - w->heap_start)));
}
int t_local_used(worker *w)
{
  return cunify(w, w->term[0],
                MakeSmall((int32_t)((TAGGED *)w->local_top - (TAGGED *)w->local_start)));
}

class ClauseCode : public EngineTest {
protected:
  ClauseCode()
  {
    native("heap_used", 1, t_heap_used);
    native("local_used", 1, t_local_used);
  }
  /* The log of all solutions of a goal, each followed by "end". */
  std::string all(const std::string &goal)
  {
    engine_test::log_text.clear();
    EXPECT_EQ(p.run("(" + goal + ", note(end), fail ; true)"), 1) << goal;
    return log();
  }
};

/* A random goal over X, Y (the head's) and U, V (the body's own) built from the control
 * constructs, cut, unification, a choice and notes (variables are bound to nothing that holds a
 * variable, so no term is cyclic). */
std::string random_goal(std::mt19937 &rng, int depth)
{
  auto var = [&] { return std::string(1, "XYUV"[rng() % 4]); };
  auto term = [&]() -> std::string {
    switch (rng() % 3) {
    case 0: return var();
    case 1: return std::to_string(rng() % 3);
    default: return "f(" + var() + ", " + std::to_string(rng() % 2) + ")";
    }
  };
  switch (rng() % (depth > 0 ? 11 : 6)) {
  case 0: return "true";
  case 1: return rng() % 3 ? "note(" + term() + ")" : "fail";
  case 2: return "!";
  case 3: return "note(" + term() + ")";
  case 4: return var() + " = " + (rng() % 2 ? var() : "f(" + std::to_string(rng() % 2) + ")");
  case 5: return "between(1, 2, " + var() + ")";
  case 6: return "(" + random_goal(rng, depth - 1) + ", " + random_goal(rng, depth - 1) + ")";
  case 7: return "(" + random_goal(rng, depth - 1) + " ; " + random_goal(rng, depth - 1) + ")";
  case 8:
    return "(" + random_goal(rng, depth - 1) + " -> " + random_goal(rng, depth - 1) + " ; " +
           random_goal(rng, depth - 1) + ")";
  case 9: return "(" + random_goal(rng, depth - 1) + " -> " + random_goal(rng, depth - 1) + ")";
  default: return "\\+ " + random_goal(rng, depth - 1);
  }
}

}  // namespace

/* A body run as a clause's code gives the solutions, notes and bindings it gives as a term under
 * call/1 (the one clause makes the cuts of both the same). */
TEST_F(ClauseCode, RandomBodiesBehaveAsTheirTerms)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 400; round++) {
    std::string body = random_goal(rng, 3) + ", " + random_goal(rng, 3) + ", note(f(X, Y, U, V))";
    std::string name = "t" + std::to_string(round);
    p.consult(name + "(X, Y) :- " + body + ".");
    EXPECT_EQ(all(name + "(X, Y), note(g(X, Y))"), all("call((" + body + ")), note(g(X, Y))"))
        << body;
  }
}

/* Nesting deeper than the code maker descends runs the rest as terms, with the same result. */
TEST_F(ClauseCode, DeeplyNestedControlRunsAsTerms)
{
  std::string body = "note(X)";
  for (int i = 0; i < 150; i++)
    body = i % 3 ? "(X = " + std::to_string(i % 7) + " -> " + body + " ; note(n))"
                 : "(" + body + " ; \\+ X = 1)";
  p.consult("deep(X) :- " + body + ".");
  EXPECT_EQ(all("deep(X)"), all("call((" + body + "))"));
  EXPECT_EQ(all("deep(2)"), all("X = 2, call((" + body + "))"));
}

/* A body that is a conjunction nested on the left as deep as it is long is stored and runs every
 * goal (in a child: making its code by recursion would overflow the C stack). */
TEST_F(ClauseCode, ALeftNestedConjunctionOfAHundredThousandGoals)
{
  p.consult("lc(0, G, G) :- !. lc(N, G0, G) :- M is N - 1, lc(M, (G0, note(x)), G).");
  EXPECT_EQ(run_in_child([&] {
              int r = p.run("lc(99999, note(x), G), assertz((h :- G)), h");
              return r == 1 && log().size() == 2 * 100000 - 1 ? 0 : 1;
            }),
            0);
}

/* A count by last call leaves the heap and the local stack as they were, with if-then-else,
 * negation and a disjunction around the call. */
TEST_F(ClauseCode, ALastCallLoopGrowsNoStack)
{
  p.consult("count(N, M) :- N < M, !, \\+ N = M, N1 is N + 1, ( N1 > 0 -> count(N1, M) ; fail ). "
            "count(M, M). "
            "loop(N) :- ( N =:= 0 -> true ; N1 is N - 1, ( N1 >= 0 ; true ), !, loop(N1) ).");
  qx_eg.current_gcmode = atom_off; /* the heap is measured: no collection in between */
  for (const char *loop : {"count(0, K)", "loop(K)"}) {
    std::string query = "heap_used(H0), local_used(L0), " + std::string(loop) +
                        ", heap_used(H1), local_used(L1), H is H1 - H0, L is L1 - L0";
    ASSERT_EQ(p.run("K = 1000, " + query), 1) << loop;
    std::string small = p.var("H") + " " + p.var("L");
    ASSERT_EQ(p.run("K = 20000, " + query), 1) << loop;
    EXPECT_EQ(p.var("H") + " " + p.var("L"), small) << loop;
    EXPECT_EQ(small, "0 0") << loop;
  }
}

/* A clause that erases itself keeps running its body; its block goes once nothing runs it. */
TEST_F(ClauseCode, AnErasedClauseRunsToTheEndOfItsBody)
{
  std::string clauses = "true";
  for (int i = 0; i < 300; i++) {
    std::string n = std::to_string(i);
    clauses +=
        ", assertz((c(" + n + ") :- retract((c(" + n + ") :- _)), churn, note(" + n + "), true))";
  }
  p.consult("churn :- assertz(d(1)), retract(d(1)).");
  ASSERT_EQ(p.run(clauses), 1);
  ASSERT_EQ(p.run("(c(I), I >= 297, fail ; true)"), 1);
  EXPECT_EQ(log().substr(log().size() - 11), "297,298,299");
  EXPECT_EQ(p.run("c(_)"), 0);
  ASSERT_EQ(p.run("assertz((e :- retract((e :- _)), note(e)))"), 1);
  size_t in_use = qx_space_in_use(QX_SPACE_DATABASE);
  ASSERT_EQ(p.run("e"), 1);
  EXPECT_LT(qx_space_in_use(QX_SPACE_DATABASE), in_use) << "freed once the query ended";
}

/* Arithmetic a body runs inline agrees with C++ on small integers and leaves the rest (overflow
 * into big integers, division by zero) to is/2 itself. */
TEST_F(ClauseCode, InlineArithmeticAgreesWithTheBuiltIn)
{
  p.consult("op(X, Y, +, R) :- R is X + Y. op(X, Y, -, R) :- R is X - Y. "
            "op(X, Y, *, R) :- R is X * Y. op(X, Y, //, R) :- R is X // Y. "
            "op(X, Y, mod, R) :- R is X mod Y. op(X, Y, rem, R) :- R is X rem Y. "
            "op(X, Y, min, R) :- R is min(X, Y). op(X, Y, <, R) :- ( X < Y -> R = 1 ; R = 0 ). "
            "op(X, Y, =<, R) :- ( X =< Y -> R = 1 ; R = 0 ). "
            "op(X, Y, >>, R) :- R is X >> Y.");
  const int64_t values[] = {0, 1, -1, 7, -7, 3, 268435455, -268435456, 100000, -100000};
  const char *ops[] = {"+", "-", "*", "//", "mod", "rem", "min", "<", "=<", ">>"};
  for (int64_t x : values)
    for (int64_t y : values)
      for (const char *op : ops) {
        std::string o = op;
        std::string q = "op(" + std::to_string(x) + ", " + std::to_string(y) + ", " + o + ", R)";
        if ((o == "//" || o == "mod" || o == "rem") && y == 0) {
          EXPECT_EQ(p.run(q), -1) << q;
          EXPECT_EQ(exception(),
                    "error(evaluation_error(zero_divisor),context(:(prolog,/(is,2)),2))")
              << q;
          continue;
        }
        if (o == ">>" && (y < 0 || y > 40)) continue;
        int64_t r = o == "+"     ? x + y
                    : o == "-"   ? x - y
                    : o == "*"   ? x * y
                    : o == "//"  ? x / y
                    : o == "rem" ? x % y
                    : o == "mod" ? ((x % y) + y) % y
                    : o == "min" ? std::min(x, y)
                    : o == "<"   ? x < y
                    : o == "=<"  ? x <= y
                                 : x >> y;
        ASSERT_EQ(p.run(q), 1) << q;
        EXPECT_EQ(p.var("R"), std::to_string(r)) << q;
      }
}

namespace {

/* A random term of depth at most `depth`: constants (a boxed integer and a float among them),
 * lists and compounds over the variables `var` gives. */
std::string random_term(std::mt19937 &rng, int depth, const std::function<std::string()> &var)
{
  static const char *const constants[] = {"a", "3000000000", "1.5"};
  auto sub = [&] { return random_term(rng, depth - 1, var); };
  switch (rng() % (depth > 0 ? 7 : 2)) {
  case 0: return var();
  case 1: return constants[rng() % 3];
  case 2: return "f(" + sub() + ")";
  case 3: return "g(" + sub() + ", " + sub() + ")";
  case 4: return "[" + sub() + "|" + sub() + "]";
  case 5: return "[" + sub() + ", " + sub() + "]";
  default: return "h(" + sub() + ", f(" + sub() + "), " + sub() + ")";
  }
}

}  // namespace

/* Two clause heads of every argument kind tried against random calls give the solutions and
 * bindings that general unification of the same terms gives. Each call variable occurs once, so
 * no binding is cyclic. */
TEST_F(ClauseCode, RandomHeadsUnifyAsGeneralUnification)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 600; round++) {
    auto head_var = [&] { return std::string(1, "XYZ"[rng() % 3]); };
    int fresh = 0;
    auto call_var = [&] { return "V" + std::to_string(fresh++); };
    std::string heads[2], name = "hd" + std::to_string(round), call = "f(";
    for (std::string &head : heads) {
      for (int i = 0; i < 3; i++)
        head += (i ? ", " : "") + random_term(rng, (int)(rng() % 4), head_var);
      p.consult(name + "(" + head + ") :- note(k(X, Y, Z)).");
    }
    for (int i = 0; i < 3; i++)
      call += (i ? ", " : "") + random_term(rng, (int)(rng() % 3), call_var);
    call += ")";
    std::string seen = ", note(" + call + ")", other = heads[1];
    for (char &c : other) c = c == 'X' ? 'P' : c == 'Y' ? 'Q' : c == 'Z' ? 'R' : c;
    EXPECT_EQ(all(name + call.substr(1) + seen),
              all("(" + call + " = f(" + heads[0] + "), note(k(X, Y, Z)) ; " + call + " = f(" +
                  other + "), note(k(P, Q, R)))" + seen))
        << name << ": " << heads[0] << " / " << heads[1] << " called with " << call;
  }
}
