#include <algorithm>
#include <set>

#include "bi_test_support.h"
#include "unify.h"

namespace {

/* dead_clauses(N): erased clauses not yet freed. */
int dead_clauses(worker *w)
{
  return cunify(w, w->term[0], MakeSmall((int32_t)qx_eg.dead_clause_count));
}

class BiDb : public BuiltinTest {
protected:
  BiDb()
  {
    qx_define_native(qx_eg.prolog_module, "dead_clauses", 1, dead_clauses, nullptr, ENTER_C);
  }

  definition *user_def(const char *name, uint32_t arity)
  {
    return find_definition(qx_eg.user_module, MakeFunctor(p.atom(name), arity), nullptr, 0);
  }
  /* The solutions X of G, as a list. */
  std::string all(const std::string &x, const std::string &goal)
  {
    if (p.run("all(" + x + ", (" + goal + "), L)") != 1) return "<no list>";
    return p.var("L");
  }
};

}  // namespace

TEST_F(BiDb, AssertAddsClausesAtEitherEnd)
{
  ASSERT_EQ(p.run("assertz(p(1)), assertz(p(2)), asserta(p(0)), assertz((p(X) :- X = 3))"), 1);
  EXPECT_EQ(all("X", "p(X)"), "[0,1,2,3]");
  definition *d = user_def("p", 1);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->properties.dynamic);
  EXPECT_EQ(d->clause_count, 4u);
  /* The stored clause is a copy: later bindings of the asserted term do not reach it. */
  ASSERT_EQ(p.run("T = q(Y), assertz(T), Y = 1"), 1);
  EXPECT_EQ(all("Y", "q(Y)"), "[_]");
}

TEST_F(BiDb, AssertIntoModulesAndDeclaredPredicatesOnly)
{
  ASSERT_EQ(p.run("assertz(m:r(1)), assertz((m:r(2) :- true)), assertz(r(3))"), 1);
  EXPECT_EQ(all("X", "m:r(X)"), "[1,2]");
  EXPECT_EQ(all("X", "r(X)"), "[3]");
  EXPECT_EQ(p.run("current_module(m)"), 1);
}

TEST_F(BiDb, AssertErrors)
{
  EXPECT_EQ(thrown("assertz(_)"), iso("instantiation_error", "assertz", 1, 1));
  EXPECT_EQ(thrown("asserta((_ :- true))"), iso("instantiation_error", "asserta", 1, 1));
  EXPECT_EQ(thrown("assertz(4)"), iso("type_error(callable,4)", "assertz", 1, 1));
  EXPECT_EQ(thrown("assertz((foo :- 4))"), iso("type_error(callable,4)", "assertz", 1, 1));
  EXPECT_EQ(thrown("assertz((foo :- (a, 4)))"),
            iso("type_error(callable,,(a,4))", "assertz", 1, 1));
  EXPECT_EQ(thrown("assertz(_:foo)"), iso("instantiation_error", "assertz", 1, 1));
  EXPECT_EQ(thrown("assertz(atom(_))"),
            iso("permission_error(modify,static_procedure,/(atom,1))", "assertz", 1, 1));
  EXPECT_EQ(thrown("asserta((atom(_) :- true))"),
            iso("permission_error(modify,static_procedure,/(atom,1))", "asserta", 1, 1));
  EXPECT_EQ(thrown("assertz((a, b))"),
            iso("permission_error(modify,static_procedure,/(,,2))", "assertz", 1, 1));
  EXPECT_EQ(thrown("assertz(call(x))"),
            iso("permission_error(modify,static_procedure,/(call,1))", "assertz", 1, 1));
  p.consult("static_fact(1). ");
  EXPECT_EQ(thrown("assertz(static_fact(2))"),
            iso("permission_error(modify,static_procedure,/(static_fact,1))", "assertz", 1, 1));
  EXPECT_EQ(user_def("foo", 0), nullptr) << "nothing is defined by a failed assert";
}

TEST_F(BiDb, ClauseReadsHeadsAndBodies)
{
  ASSERT_EQ(p.run("assertz(f(1)), assertz((r(X) :- X > 1, s(X))), assertz((t(G) :- G))"), 1);
  ASSERT_EQ(p.run("clause(r(A), B)"), 1);
  EXPECT_EQ(p.var("B"), ",(>(_,1),s(_))");
  EXPECT_EQ(p.run("clause(r(A), (A > 1, s(C))), A == C"), 1);
  ASSERT_EQ(p.run("clause(f(X), B)"), 1);
  EXPECT_EQ(p.var("X") + " " + p.var("B"), "1 true");
  EXPECT_EQ(p.run("clause(t(X), B), B = call(Y), X == Y"), 1)
      << "a variable goal is stored as call/1";
  EXPECT_EQ(p.run("clause(f(2), _)"), 0);
  EXPECT_EQ(p.run("clause(undefined_here(_), _)"), 0);
  EXPECT_EQ(all("X-B", "clause(f(X), B) ; clause(r(X), B)"), "[-(1,true),-(_,,(>(_,1),s(_)))]");
  /* Consulted (static) interpreted predicates can be read too. */
  p.consult("cs(a). cs(b) :- cs(a). ");
  EXPECT_EQ(all("X", "clause(cs(X), _)"), "[a,b]");
}

TEST_F(BiDb, ClauseErrors)
{
  EXPECT_EQ(thrown("clause(_, _)"), iso("instantiation_error", "clause", 2, 1));
  EXPECT_EQ(thrown("clause(1, _)"), iso("type_error(callable,1)", "clause", 2, 1));
  EXPECT_EQ(thrown("clause(f(_), 4)"), iso("type_error(callable,4)", "clause", 2, 2));
  EXPECT_EQ(thrown("clause(atom(_), _)"),
            iso("permission_error(access,private_procedure,/(atom,1))", "clause", 2, 1));
  EXPECT_EQ(thrown("clause((a, b), _)"),
            iso("permission_error(access,private_procedure,/(,,2))", "clause", 2, 1));
}

TEST_F(BiDb, RetractRemovesMatchingClauses)
{
  ASSERT_EQ(p.run("assertz(q(1)), assertz(q(2)), assertz((q(3) :- true, x)), assertz(q(4))"), 1);
  EXPECT_EQ(p.run("retract(q(2))"), 1);
  EXPECT_EQ(p.run("retract(q(2))"), 0);
  ASSERT_EQ(p.run("retract((q(X) :- true, Y))"), 1);
  EXPECT_EQ(p.var("X") + " " + p.var("Y"), "3 x");
  EXPECT_EQ(all("X", "q(X)"), "[1,4]");
  EXPECT_EQ(p.run("retract(q(X)), X > 1"), 1) << "backtracking into retract reaches later clauses";
  EXPECT_EQ(all("X", "q(X)"), "[]") << "a removal stays when a later goal fails";
  EXPECT_EQ(p.run("retract(not_defined(_))"), 0);
  EXPECT_EQ(p.run("retract(m2:q(1))"), 0);
  EXPECT_EQ(thrown("retract(_)"), iso("instantiation_error", "retract", 1, 1));
  EXPECT_EQ(thrown("retract(3)"), iso("type_error(callable,3)", "retract", 1, 1));
  EXPECT_EQ(thrown("retract(atom(_))"),
            iso("permission_error(modify,static_procedure,/(atom,1))", "retract", 1, 1));
  p.consult("static_fact(1). ");
  EXPECT_EQ(thrown("retract(static_fact(1))"),
            iso("permission_error(modify,static_procedure,/(static_fact,1))", "retract", 1, 1));
  EXPECT_EQ(qx_eg.dead_clause_count, 0u);
}

TEST_F(BiDb, IterationSeesOnlyTheClausesOfItsCall)
{
  /* A predicate asserting clauses of itself while it is running sees only the old ones. */
  ASSERT_EQ(p.run("assertz(cnt(1)), assertz(cnt(2))"), 1);
  ASSERT_EQ(p.run("(cnt(X), Y is X + 10, assertz(cnt(Y)), fail ; true)"), 1);
  EXPECT_EQ(all("X", "cnt(X)"), "[1,2,11,12]");
  ASSERT_EQ(p.run("(clause(cnt(X), true), Y is X + 100, assertz(cnt(Y)), fail ; true)"), 1);
  EXPECT_EQ(all("X", "cnt(X)"), "[1,2,11,12,101,102,111,112]");
  /* retract moving every clause to the end terminates and keeps the order. */
  ASSERT_EQ(p.run("(retract(cnt(X)), assertz(cnt(X)), fail ; true)"), 1);
  EXPECT_EQ(all("X", "cnt(X)"), "[1,2,11,12,101,102,111,112]");
  /* Clauses retracted during an iteration are still seen by it; retract itself skips them. */
  ASSERT_EQ(p.run("assertz(d(1)), assertz(d(2)), assertz(d(3))"), 1);
  EXPECT_EQ(all("X-Y", "d(X), retract(d(Y))"), "[-(1,1),-(1,2),-(1,3)]");
  EXPECT_EQ(p.run("d(_)"), 0);
  ASSERT_EQ(p.run("assertz(d(1)), assertz(d(2)), assertz(d(3))"), 1);
  EXPECT_EQ(all("X-Y", "clause(d(X), true), retract(d(Y))"), "[-(1,1),-(1,2),-(1,3)]");
  EXPECT_EQ(qx_eg.dead_clause_count, 0u) << "freed once no choicepoint reaches them";
}

/* Calls of an interpreted predicate, clause/2 and retract/1 keep their clock in their retry
 * nodes: after more than 32,768 changes, and with the clock started just below 2^32, 2^56 and
 * 2^62, each sees the three clauses born on either side of that point. */
TEST_F(BiDb, RetryNodesKeepTheWholeClock)
{
  p.consult("churn(0) :- !. churn(N) :- assertz(t(N)), retract(t(N)), M is N - 1, churn(M).");
  ASSERT_EQ(p.run("churn(20000)"), 1);
  const uint64_t starts[] = {qx_eg.clause_clock, ((uint64_t)1 << 32) - 2, ((uint64_t)1 << 56) - 2,
                             ((uint64_t)1 << 62) - 2};
  for (uint64_t start : starts) {
    qx_eg.clause_clock = start;
    ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2)), assertz(e(3))"), 1);
    EXPECT_EQ(all("X", "e(X)"), "[1,2,3]") << start;
    EXPECT_EQ(all("X", "clause(e(X), true)"), "[1,2,3]") << start;
    EXPECT_EQ(all("X", "retract(e(X))"), "[1,2,3]") << start;
    EXPECT_EQ(p.run("e(_)"), 0) << start;
  }
}

TEST_F(BiDb, ErasedClausesAreFreedWhenNothingReachesThem)
{
  ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2)), assertz(e(3))"), 1);
  /* An interpreted call's choicepoint keeps the erased clause until a cut removes it. */
  ASSERT_EQ(p.run("e(X), retract(e(3)), dead_clauses(N1), !, dead_clauses(N2)"), 1);
  EXPECT_EQ(p.var("N1") + " " + p.var("N2"), "1 0");
  ASSERT_EQ(p.run("assertz(e(3))"), 1);
  /* The same for clause/2 and retract/1 iterations, removed by cut ... */
  ASSERT_EQ(p.run("clause(e(X), true), retract(e(3)), dead_clauses(N1), !, dead_clauses(N2)"), 1);
  EXPECT_EQ(p.var("N1") + " " + p.var("N2"), "1 0");
  ASSERT_EQ(p.run("retract(e(X)), dead_clauses(N1), !, dead_clauses(N2)"), 1);
  EXPECT_EQ(p.var("X") + " " + p.var("N1") + " " + p.var("N2"), "1 1 0");
  ASSERT_EQ(p.run("asserta(e(1)), assertz(e(3))"), 1);
  /* ... by failure out of them ... */
  ASSERT_EQ(p.run("(clause(e(X), true), retract(e(_)), fail ; dead_clauses(N))"), 1);
  EXPECT_EQ(p.var("N"), "0");
  EXPECT_EQ(p.run("e(_)"), 0);
  /* ... and by an exception passing through them. */
  ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2)), assertz(e(3))"), 1);
  ASSERT_EQ(p.run("catch((clause(e(_), true), retract(e(2)), dead_clauses(1), throw(x)), x, true), "
                  "dead_clauses(N)"),
            1);
  EXPECT_EQ(p.var("N"), "0");
  EXPECT_EQ(all("X", "e(X)"), "[1,3]");
  EXPECT_EQ(qx_eg.dead_clause_count, 0u);
}

TEST_F(BiDb, EraseByReference)
{
  ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2))"), 1);
  definition *d = user_def("e", 1);
  ASSERT_NE(d, nullptr);
  call_overflow(p.w, 64, 0);
  TAGGED ref = cons_dbref(p.w, d->first_clause, 0);
  qx_gc_root keep(&ref); /* used by two queries */
  EXPECT_EQ(run_term(p.compound("erase", {ref})), 1);
  EXPECT_EQ(all("X", "e(X)"), "[2]");
  EXPECT_EQ(run_term(p.compound("erase", {ref})), 0) << "a reference to an erased clause";
  EXPECT_EQ(thrown("erase(_)"), iso("instantiation_error", "erase", 1, 1));
  EXPECT_EQ(thrown("erase(foo)"), iso("type_error(db_reference,foo)", "erase", 1, 1));
  EXPECT_EQ(p.run("erase('$ref'(3, 7))"), 0) << "a '$ref'/2 term that names no clause";
}

/* While a call holds an erased clause in the chain, its reference still names it, and a second
 * erase through it is refused: the clause dies once and is counted once. */
TEST_F(BiDb, ErasingTwiceWhileACallHoldsTheClauseIsRefused)
{
  ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2)), assertz(e(3))"), 1);
  definition *d = user_def("e", 1);
  call_overflow(p.w, 64, 0);
  ASSERT_EQ(
      run_term(p.compound("assertz", {p.compound("r", {cons_dbref(p.w, d->first_clause, 0)})})), 1);
  ASSERT_EQ(p.run("r(R), e(X), erase(R), dead_clauses(1), \\+ erase(R), dead_clauses(1), "
                  "\\+ retract(e(1)), !, dead_clauses(0)"),
            1);
  EXPECT_EQ(d->clause_count, 2u);
  EXPECT_EQ(d->dead_count, 0u);
  EXPECT_EQ(all("X", "e(X)"), "[2,3]");
  EXPECT_EQ(p.run("r(R), erase(R)"), 0) << "the clause is gone";
}

/* A database reference stored in a clause head unifies with a '$ref'(A, B) pattern of the call
 * as it does after the call; other '$ref'/2 terms stored are ordinary compounds. */
TEST_F(BiDb, AStoredReferenceUnifiesWithARefPatternInTheHead)
{
  ASSERT_EQ(p.run("assertz(e(1)), assertz(e(2))"), 1);
  definition *d = user_def("e", 1);
  call_overflow(p.w, 64, 0);
  TAGGED ref = cons_dbref(p.w, d->first_clause, 0);
  ASSERT_EQ(run_term(p.compound("assertz", {p.compound("r", {ref})})), 1);
  EXPECT_EQ(p.run("r(X), X = '$ref'(_, _)"), 1);
  EXPECT_EQ(p.run("r('$ref'(A, B))"), 1);
  EXPECT_EQ(p.run("r(X), r('$ref'(A, B)), X == '$ref'(A, B)"), 1);
  EXPECT_EQ(p.run("r(X), X = '$ref'(A, _), r('$ref'(A, B)), X == '$ref'(A, B)"), 1);
  EXPECT_EQ(p.run("r('$ref'(_, 0))"), 0) << "another stamp";
  EXPECT_EQ(p.run("r('$ref'(A, B)), erase('$ref'(A, B))"), 1);
  EXPECT_EQ(all("X", "e(X)"), "[2]");
  ASSERT_EQ(p.run("assertz(u('$ref'(foo, 1)))"), 1);
  EXPECT_EQ(p.run("u('$ref'(A, B))"), 1);
  EXPECT_EQ(p.var("A") + " " + p.var("B"), "foo 1");
  EXPECT_EQ(p.run("u('$ref'(foo, 2))"), 0);
}

TEST_F(BiDb, CurrentModule)
{
  EXPECT_EQ(p.run("current_module(user), current_module(prolog)"), 1);
  EXPECT_EQ(p.run("current_module(no_such_module)"), 0);
  EXPECT_EQ(thrown("current_module(1)"), iso("type_error(atom,1)", "current_module", 1, 1));
  ASSERT_EQ(p.run("assertz(mod_a:x), assertz(mod_b:x)"), 1);
  std::string names = all("M", "current_module(M)");
  std::set<std::string> seen;
  uint32_t modules = 0;
  qx_for_each_module([&](mod_def *m) {
    modules++;
    seen.insert(atom_name(m->name));
  });
  EXPECT_EQ(seen.count("mod_a") + seen.count("mod_b") + seen.count("user") + seen.count("prolog"),
            4u);
  EXPECT_EQ((uint32_t)std::count(names.begin(), names.end(), ',') + 1, modules) << names;
  for (const std::string &name : seen) EXPECT_NE(names.find(name), std::string::npos) << name;
  EXPECT_EQ(p.run("current_module(M), M == mod_b"), 1);
}
