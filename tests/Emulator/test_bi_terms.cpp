#include "bi_test_support.h"

namespace {

class BiTerms : public BuiltinTest {
protected:
  /* f(f(...f(leaf)...)) nested depth times. */
  TAGGED nested(uint32_t depth, TAGGED leaf)
  {
    call_overflow(p.w, 2 * depth + 64, 0);
    TAGGED t = leaf;
    for (uint32_t i = 0; i < depth; i++) t = p.compound("f", {t});
    return t;
  }
};

}  // namespace

TEST_F(BiTerms, UnifyBindsBothSides)
{
  ASSERT_EQ(p.run("f(X, b, Z) = f(a, Y, g(Y))"), 1);
  EXPECT_EQ(p.var("X"), "a");
  EXPECT_EQ(p.var("Z"), "g(b)");
  EXPECT_EQ(p.run("f(X) = g(X)"), 0);
  EXPECT_EQ(p.run("f(X, X) = f(a, b)"), 0);
}

TEST_F(BiTerms, NotUnifiableLeavesNothingBound)
{
  EXPECT_EQ(p.run("f(X, b) \\= f(a, c), var(X)"), 1) << "the partial binding X = a is undone";
  EXPECT_EQ(p.run("f(X, b) \\= f(a, Y)"), 0);
  EXPECT_EQ(p.run("a \\= b"), 1);
  /* Under an older choicepoint too (the bindings must be trailed to be undone). */
  EXPECT_EQ(p.run("(true ; true), f(X, Y, c) \\= f(1, 2, d), var(X), var(Y)"), 1);
}

TEST_F(BiTerms, StandardOrderOfTerms)
{
  EXPECT_EQ(p.run("_ @< 1, 1 @< a, a @< f(a), 1.0 @< 1, 1 @< 1.5, 'Z' @< a"), 1);
  EXPECT_EQ(p.run("g(z) @< f(a, a), a(z) @< f(a), f(a, b) @< f(b, a), f(a, b) @< f(a, c)"), 1);
  EXPECT_EQ(p.run("f(X) == f(X), f(X) \\== f(Y), X @=< X, b @>= a, b @> a"), 1);
  EXPECT_EQ(p.run("a @> b"), 0);
  EXPECT_EQ(p.run("f(X) == f(_)"), 0);
  ASSERT_EQ(p.run("compare(O1, 1, a), compare(O2, f(a), f(a)), compare(O3, b, a)"), 1);
  EXPECT_EQ(p.var("O1"), "<");
  EXPECT_EQ(p.var("O2"), "=");
  EXPECT_EQ(p.var("O3"), ">");
  EXPECT_EQ(p.run("compare(<, 1, 2)"), 1);
  EXPECT_EQ(p.run("compare(=, 1, 2)"), 0);
}

TEST_F(BiTerms, CompareChecksTheOrderArgument)
{
  EXPECT_EQ(thrown("compare(foo, 1, 2)"), iso("domain_error(order,foo)", "compare", 3, 1));
  EXPECT_EQ(thrown("compare(1, a, b)"), iso("type_error(atom,1)", "compare", 3, 1));
}

TEST_F(BiTerms, DeepTermsCompareWithoutRecursion)
{
  qx_gc_off off; /* the terms built here are held in locals across the queries */
  const uint32_t depth = 1000000;
  TAGGED a = nested(depth, p.atom("leaf"));
  TAGGED b = nested(depth, p.atom("leaf"));
  TAGGED c = nested(depth, p.atom("leag"));
  EXPECT_EQ(run_term(p.compound("==", {a, b})), 1);
  EXPECT_EQ(run_term(p.compound("==", {a, c})), 0);
  EXPECT_EQ(run_term(p.compound("@<", {a, c})), 1);
  TAGGED order = p.TestEngine::var();
  ASSERT_EQ(run_term(p.compound("compare", {order, c, b})), 1);
  EXPECT_EQ(TestProlog::show(order), ">");
  /* Long lists: right-nested. */
  call_overflow(p.w, 4 * depth + 64, 0);
  TAGGED l1 = atom_nil, l2 = atom_nil;
  for (uint32_t i = 0; i < depth; i++) {
    l1 = p.cons(MakeSmall((int32_t)i), l1);
    l2 = p.cons(MakeSmall((int32_t)i), l2);
  }
  EXPECT_EQ(run_term(p.compound("==", {l1, l2})), 1);
}

TEST_F(BiTerms, TypeTests)
{
  struct Case {
    const char *goal;
    int expected;
  } cases[] = {
      {"var(_)", 1},         {"var(a)", 0},
      {"X = Y, var(X)", 1},  {"nonvar(f(_))", 1},
      {"nonvar(_)", 0},      {"atom([])", 1},
      {"atom(a)", 1},        {"atom('')", 1},
      {"atom(1)", 0},        {"atom(\"ab\")", 0},
      {"number(1)", 1},      {"number(1.5)", 1},
      {"number(a)", 0},      {"integer(-3)", 1},
      {"integer(1.0)", 0},   {"float(1.0)", 1},
      {"float(1)", 0},       {"atomic(a)", 1},
      {"atomic(2.5)", 1},    {"atomic(f(a))", 0},
      {"atomic(_)", 0},      {"compound(f(a))", 1},
      {"compound([a])", 1},  {"compound(a)", 0},
      {"compound(1.5)", 0},  {"callable(a)", 1},
      {"callable(f(x))", 1}, {"callable(3)", 0},
      {"callable(_)", 0},    {"is_list([a, b])", 1},
      {"is_list([])", 1},    {"is_list([a|_])", 0},
      {"is_list([a|b])", 0}, {"integer(9223372036854775807)", 1},
  };
  for (const Case &c : cases) EXPECT_EQ(p.run(c.goal), c.expected) << c.goal;
}

TEST_F(BiTerms, FunctorDecomposesAndBuilds)
{
  ASSERT_EQ(p.run("functor(foo(a, b, c), N, A)"), 1);
  EXPECT_EQ(p.var("N") + "/" + p.var("A"), "foo/3");
  ASSERT_EQ(p.run("functor([x], N, A), functor(abc, M, B), functor(1.5, F, C)"), 1);
  EXPECT_EQ(p.var("N") + "/" + p.var("A"), "./2");
  EXPECT_EQ(p.var("M") + "/" + p.var("B"), "abc/0");
  EXPECT_EQ(p.var("F") + "/" + p.var("C"), "1.5/0");
  ASSERT_EQ(p.run("functor(T, g, 3)"), 1);
  EXPECT_EQ(p.var("T"), "g(_,_,_)");
  EXPECT_EQ(p.run("functor(T, g, 2), T = g(X, Y), X \\== Y"), 1) << "fresh, distinct arguments";
  ASSERT_EQ(p.run("functor(T, '.', 2), T = [a|b]"), 1) << "'.'/2 is the list pair";
  ASSERT_EQ(p.run("functor(T, 7, 0)"), 1);
  EXPECT_EQ(p.var("T"), "7");
  EXPECT_EQ(p.run("functor(f(a), f, 2)"), 0);
}

TEST_F(BiTerms, FunctorErrors)
{
  EXPECT_EQ(thrown("functor(T, N, 1)"), iso("instantiation_error", "functor", 3, 2));
  EXPECT_EQ(thrown("functor(T, f, A)"), iso("instantiation_error", "functor", 3, 3));
  EXPECT_EQ(thrown("functor(T, f(a), 1)"), iso("type_error(atomic,f(a))", "functor", 3, 2));
  EXPECT_EQ(thrown("functor(T, 1.5, 1)"), iso("type_error(atomic,1.5)", "functor", 3, 2));
  EXPECT_EQ(thrown("functor(T, f, a)"), iso("type_error(integer,a)", "functor", 3, 3));
  EXPECT_EQ(thrown("functor(T, f, -1)"),
            iso("domain_error(not_less_than_zero,-1)", "functor", 3, 3));
  EXPECT_EQ(thrown("functor(T, f, 256)"), iso("representation_error(max_arity)", "functor", 3, 3));
  EXPECT_EQ(thrown("functor(T, f, 9223372036854775807)"),
            iso("representation_error(max_arity)", "functor", 3, 3));
}

TEST_F(BiTerms, ArgSelectsAndEnumerates)
{
  ASSERT_EQ(p.run("arg(2, f(a, b, c), X)"), 1);
  EXPECT_EQ(p.var("X"), "b");
  ASSERT_EQ(p.run("arg(1, [h|t], X)"), 1);
  EXPECT_EQ(p.var("X"), "h");
  EXPECT_EQ(p.run("arg(0, f(a), _)"), 0);
  EXPECT_EQ(p.run("arg(2, f(a), _)"), 0);
  EXPECT_EQ(p.run("arg(-1, f(a), _)"), 0);
  EXPECT_EQ(p.run("arg(1, f(X), b), X == b"), 1);
  /* With N unbound: every argument, in order, by backtracking. */
  ASSERT_EQ(p.run("all(N-A, arg(N, f(x, y, x), A), L)"), 1);
  EXPECT_EQ(p.var("L"), "[-(1,x),-(2,y),-(3,x)]");
  ASSERT_EQ(p.run("all(N, arg(N, g(q), q), L)"), 1);
  EXPECT_EQ(p.var("L"), "[1]");
  ASSERT_EQ(p.run("arg(N, f(a, b, a), a), N > 1"), 1);
  EXPECT_EQ(p.var("N"), "3");
  ASSERT_EQ(p.run("arg(N, f(b, c, a), a)"), 1) << "mismatching arguments are skipped";
  EXPECT_EQ(p.var("N"), "3");
}

TEST_F(BiTerms, ArgErrors)
{
  EXPECT_EQ(thrown("arg(a, f(a), _)"), iso("type_error(integer,a)", "arg", 3, 1));
  EXPECT_EQ(thrown("arg(1, _, _)"), iso("instantiation_error", "arg", 3, 2));
  EXPECT_EQ(thrown("arg(1, atom, _)"), iso("type_error(compound,atom)", "arg", 3, 2));
  EXPECT_EQ(thrown("arg(_, 3, _)"), iso("type_error(compound,3)", "arg", 3, 2));
}

TEST_F(BiTerms, UnivBothWays)
{
  ASSERT_EQ(p.run("f(a, B) =.. L"), 1);
  EXPECT_EQ(p.var("L"), "[f,a,_]");
  ASSERT_EQ(p.run("[a|b] =.. L, abc =.. M, 2.5 =.. N"), 1);
  EXPECT_EQ(p.var("L"), "[.,a,b]");
  EXPECT_EQ(p.var("M"), "[abc]");
  EXPECT_EQ(p.var("N"), "[2.5]");
  ASSERT_EQ(p.run("T =.. [g, 1, X], X = z"), 1);
  EXPECT_EQ(p.var("T"), "g(1,z)");
  ASSERT_EQ(p.run("T =.. [foo], U =.. [3]"), 1);
  EXPECT_EQ(p.var("T"), "foo");
  EXPECT_EQ(p.var("U"), "3");
  EXPECT_EQ(p.run("T =.. ['.', a, [] ], T == [a]"), 1);
  EXPECT_EQ(p.run("f(a) =.. [f, b]"), 0);
  EXPECT_EQ(p.run("f(a, b) =.. [F|Args], F == f, Args == [a, b]"), 1);
}

TEST_F(BiTerms, UnivErrors)
{
  EXPECT_EQ(thrown("T =.. L"), iso("instantiation_error", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [foo|_]"), iso("instantiation_error", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [F, a]"), iso("instantiation_error", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. []"), iso("domain_error(non_empty_list,[])", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [f(a)]"), iso("type_error(atomic,f(a))", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [f(a), b]"), iso("type_error(atomic,f(a))", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [1, b]"), iso("type_error(atom,1)", "=..", 2, 2));
  EXPECT_EQ(thrown("T =.. [f|b]"), iso("type_error(list,[f|b])", "=..", 2, 2));
  EXPECT_EQ(thrown("f(a) =.. foo"), iso("type_error(list,foo)", "=..", 2, 2));
  std::string args;
  for (int i = 0; i < 256; i++) args += ",a";
  EXPECT_EQ(thrown("T =.. [f" + args + "]"), iso("representation_error(max_arity)", "=..", 2, 2));
  EXPECT_EQ(p.run("T =.. [f" + args.substr(2) + "], functor(T, f, 255)"), 1);
}

TEST_F(BiTerms, CopyTermRenamesVariablesAndKeepsSharing)
{
  EXPECT_EQ(p.run("copy_term(f(X, Y, X, g(Y)), f(A, B, C, g(D))), A == C, B == D, A \\== B, A \\== "
                  "X, B \\== Y"),
            1);
  EXPECT_EQ(p.run("copy_term(X, Y), X \\== Y, var(Y)"), 1);
  ASSERT_EQ(p.run("copy_term(f(a, [1.5, 123456789012], \"s\"), C)"), 1);
  EXPECT_EQ(p.var("C"), "f(a,[1.5,123456789012],[115])");
  EXPECT_EQ(p.run("X = f(Y), copy_term(X, Z), Z = f(1), var(Y)"), 1) << "the source is untouched";
  /* Attributed variables are copied as plain ones: no attribute, no wake-up. */
  EXPECT_EQ(
      p.run("put_attr(X, m, a), copy_term(f(X), f(Y)), \\+ get_attr(Y, m, _), get_attr(X, m, a)"),
      1);
  EXPECT_EQ(p.run("freeze(X, fail), copy_term(X, Y), Y = 1"), 1);
}

TEST_F(BiTerms, CopyTermOfTenMillionElementsNeedsNoRecursion)
{
  qx_gc_off off; /* the terms built here are held in locals across the queries */
  const uint32_t n = 10000000;
  call_overflow(p.w, 2 * n + 64, 0);
  TAGGED shared = p.TestEngine::var();
  TAGGED list = atom_nil;
  for (uint32_t i = n; i-- > 0;) list = p.cons(i % 2 ? shared : MakeSmall((int32_t)i), list);
  TAGGED copy = p.TestEngine::var();
  ASSERT_EQ(run_term(p.compound("copy_term", {list, copy})), 1);
  TAGGED fresh = 0;
  uint32_t count = 0;
  bool same = true;
  for (TAGGED l = deref(copy); IsLst(l); l = deref(LstTail(l)), count++) {
    TAGGED e = deref(LstHead(l));
    if (count % 2 == 0) {
      same &= e == MakeSmall((int32_t)count);
    } else {
      if (!fresh) fresh = e;
      same &= e == fresh;
    }
  }
  EXPECT_EQ(count, n);
  EXPECT_TRUE(same) << "integers kept and one new variable shared by every odd element";
  ASSERT_TRUE(fresh != 0 && IsVar(fresh));
  EXPECT_NE(fresh, deref(shared));
  EXPECT_TRUE(IsUnbound(RefPtr(deref(shared)))) << "the source variable is left unbound";
}
