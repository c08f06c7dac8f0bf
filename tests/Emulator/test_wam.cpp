#include <gtest/gtest.h>

#include "builtins.h"
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
  Wam() : p(false)
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
  qx_install_builtins();
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
