#include "bi_test_support.h"

namespace {

class BiAttr : public BuiltinTest {
protected:
  BiAttr()
  {
    /* Module m records each hook call; module n accepts only values above 5. */
    EXPECT_EQ(p.run("assertz(m: (attr_unify_hook(A, V) :- assertz(user:got(hook(A, V))))), "
                    "assertz(n: (attr_unify_hook(_, V) :- V > 5))"),
              1);
  }
  std::string drained()
  {
    if (p.run("drain(L)") != 1) return "<no list>";
    return p.var("L");
  }
};

}  // namespace

TEST_F(BiAttr, PutGetDelete)
{
  ASSERT_EQ(p.run("put_attr(X, m, 1), get_attr(X, m, A), put_attr(X, m, f(Y)), get_attr(X, m, B)"),
            1);
  EXPECT_EQ(p.var("A") + " " + p.var("B"), "1 f(_)");
  EXPECT_EQ(p.run("put_attr(X, m, 1), get_attr(X, n, _)"), 0);
  EXPECT_EQ(p.run("put_attr(X, m, 1), get_attr(X, no_module_of_this_name, _)"), 0);
  EXPECT_EQ(p.run("get_attr(_, m, _)"), 0);
  EXPECT_EQ(p.run("get_attr(a, m, _)"), 0);
  EXPECT_EQ(p.run("put_attr(X, m, 1), put_attr(X, n, 2), del_attr(X, m), \\+ get_attr(X, m, _), "
                  "get_attr(X, n, 2)"),
            1);
  EXPECT_EQ(p.run("del_attr(X, m), del_attr(a, m), var(X)"), 1) << "nothing to remove";
  EXPECT_EQ(p.var("X"), "_");
}

TEST_F(BiAttr, BacktrackingRestoresAttributes)
{
  ASSERT_EQ(p.run("put_attr(X, m, 1), (put_attr(X, m, 2), fail ; del_attr(X, m), fail ; "
                  "get_attr(X, m, A))"),
            1);
  EXPECT_EQ(p.var("A"), "1");
  EXPECT_EQ(p.run("(put_attr(X, m, 1), fail ; \\+ get_attr(X, m, _))"), 1);
}

TEST_F(BiAttr, Errors)
{
  EXPECT_EQ(thrown("put_attr(a, m, 1)"), iso("uninstantiation_error(a)", "put_attr", 3, 1));
  EXPECT_EQ(thrown("put_attr(_, _, 1)"), iso("instantiation_error", "put_attr", 3, 2));
  EXPECT_EQ(thrown("put_attr(_, 1, a)"), iso("type_error(atom,1)", "put_attr", 3, 2));
  EXPECT_EQ(thrown("get_attr(_, f(x), _)"), iso("type_error(atom,f(x))", "get_attr", 3, 2));
  EXPECT_EQ(thrown("del_attr(_, _)"), iso("instantiation_error", "del_attr", 2, 2));
  EXPECT_EQ(thrown("freeze(_, _)"), iso("instantiation_error", "freeze", 2, 2));
  EXPECT_EQ(thrown("freeze(_, 1)"), iso("type_error(callable,1)", "freeze", 2, 2));
}

TEST_F(BiAttr, BindingRunsTheHookOncePerBinding)
{
  ASSERT_EQ(p.run("put_attr(X, m, a), X = 1"), 1);
  EXPECT_EQ(drained(), "[hook(a,1)]");
  /* Each binding made on backtracking runs it again, with that value. */
  ASSERT_EQ(p.run("put_attr(X, m, a), (X = 1 ; X = 2), X == 2"), 1);
  EXPECT_EQ(drained(), "[hook(a,1),hook(a,2)]");
  /* Backtracking to a point after the binding does not run it again. */
  ASSERT_EQ(p.run("(put_attr(X, m, a), X = 1, (true ; true), fail ; true)"), 1);
  EXPECT_EQ(drained(), "[hook(a,1)]");
  /* Binding to a plain variable is no binding of the attributed one. */
  ASSERT_EQ(p.run("put_attr(X, m, a), X = Y, var(X), Y = 3"), 1);
  EXPECT_EQ(drained(), "[hook(a,3)]");
  /* After del_attr the module's hook is not run. */
  ASSERT_EQ(p.run("put_attr(X, m, a), del_attr(X, m), X = 1"), 1);
  EXPECT_EQ(drained(), "[]");
}

TEST_F(BiAttr, BindingRunsTheHookDefinedThen)
{
  /* Module k's hook is defined, then its clause replaced, between bindings of its variables. */
  const char *steps[][2] = {
      {"put_attr(X, k, a), X = 1", "[]"},
      {"assertz(k: (attr_unify_hook(A, V) :- assertz(user:got(k(A, V))))), put_attr(X, k, a), "
       "put_attr(X, m, b), X = 2",
       "[k(a,2),hook(b,2)]"},
      {"retract(k: (attr_unify_hook(_, _) :- _)), "
       "assertz(k: (attr_unify_hook(A, _) :- assertz(user:got(again(A))))), put_attr(X, k, c), X = 3",
       "[again(c)]"},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step[0]);
    ASSERT_EQ(p.run(step[0]), 1) << thrown(step[0]);
    EXPECT_EQ(drained(), step[1]);
  }
}

TEST_F(BiAttr, FailingHookFailsTheUnification)
{
  EXPECT_EQ(p.run("put_attr(X, n, x), X = 3"), 0);
  EXPECT_EQ(p.run("put_attr(X, n, x), X = 7"), 1);
  EXPECT_EQ(p.run("put_attr(X, n, x), (X = 3 ; X = 9), X == 9"), 1);
}

TEST_F(BiAttr, FreezeDelaysUntilBound)
{
  ASSERT_EQ(p.run("freeze(X, assertz(got(X))), assertz(got(before)), X = 5"), 1);
  EXPECT_EQ(drained(), "[before,5]");
  ASSERT_EQ(p.run("freeze(X, assertz(got(first))), freeze(X, assertz(got(second))), X = z"), 1);
  EXPECT_EQ(drained(), "[first,second]") << "suspended goals run in the order they were frozen";
  ASSERT_EQ(p.run("freeze(X, Y = 1), X = a, Y == 1"), 1);
  EXPECT_EQ(p.run("freeze(X, fail), X = 1"), 0) << "the whole query fails";
  EXPECT_EQ(p.run("freeze(X, fail), X = 1, (true ; true)"), 0);
  ASSERT_EQ(p.run("(freeze(X, assertz(got(x))), fail ; X = 1)"), 1);
  EXPECT_EQ(drained(), "[]") << "the suspension was undone";
  ASSERT_EQ(p.run("freeze(X, assertz(got(X))), X = Y, Y = 3"), 1);
  EXPECT_EQ(drained(), "[3]");
}

TEST_F(BiAttr, UnifyingTwoFrozenVariablesKeepsBothSuspended)
{
  ASSERT_EQ(p.run("freeze(X, assertz(got(x(X)))), freeze(Y, assertz(got(y(Y)))), X = Y, "
                  "assertz(got(joined)), Y = 7"),
            1);
  EXPECT_EQ(drained(), "[joined,x(7),y(7)]")
      << "no goal may run while the variables are unbound; the older first";
  ASSERT_EQ(p.run("freeze(X, assertz(got(x))), freeze(Y, assertz(got(y))), (X = Y, fail ; X = 1)"),
            1);
  EXPECT_EQ(drained(), "[x]") << "the merge is undone on backtracking";
}

TEST_F(BiAttr, FreezeAndAssertUseTheCallersModule)
{
  ASSERT_EQ(p.run("m:freeze(X, assertz(r(1))), X = go"), 1);
  EXPECT_EQ(p.run("m:r(1)"), 1);
  EXPECT_EQ(p.run("catch(user:r(1), _, fail)"), 0);
  ASSERT_EQ(p.run("m:assertz(s(2)), m:retract(s(2))"), 1);
  EXPECT_EQ(p.run("m:clause(r(A), true), A == 1"), 1);
}

TEST_F(BiAttr, FreezeOfABoundVariableRunsTheGoalNow)
{
  ASSERT_EQ(p.run("freeze(1, assertz(got(now))), assertz(got(after))"), 1);
  EXPECT_EQ(drained(), "[now,after]");
  EXPECT_EQ(p.run("freeze(1, (Y = a ; Y = b)), Y == b"), 1) << "the goal's alternatives are kept";
  EXPECT_EQ(p.run("freeze(1, fail)"), 0);
  ASSERT_EQ(p.run("freeze(f(_), m:assertz(user:got(qualified)))"), 1);
  EXPECT_EQ(drained(), "[qualified]");
}

TEST_F(BiAttr, HooksRunBeforeSuspendedGoals)
{
  ASSERT_EQ(p.run("freeze(X, assertz(got(frozen))), put_attr(X, m, a), X = 1"), 1);
  EXPECT_EQ(drained(), "[hook(a,1),frozen]");
  ASSERT_EQ(p.run("put_attr(X, m, a), freeze(X, assertz(got(frozen))), get_attr(X, m, a)"), 1);
  EXPECT_EQ(drained(), "[]") << "freeze keeps the attributes";
}
