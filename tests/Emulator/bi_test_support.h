/* Shared by the built-in family tests: an engine with the built-in table, goals run from text,
 * and the expected text of an error term raised by a built-in of module prolog. */
#ifndef QX_BI_TEST_SUPPORT_H
#define QX_BI_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "test_prolog.h"

class BuiltinTest : public ::testing::Test {
protected:
  BuiltinTest()
  {
    /* drain(L): the got/1 facts in order, removed; all(X, G, L): the solutions X of G. */
    p.consult("drain([X|T]) :- retract(got(X)), !, drain(T). drain([]). "
              "all(X, G, L) :- (call(G), assertz(got(X)), fail ; true), drain(L). ");
  }

  /* The ball a goal throws, canonically written, or what happened instead. */
  std::string thrown(const std::string &goal)
  {
    int r = p.run(goal);
    if (r != -1) return r ? "<succeeded>" : "<failed>";
    std::string ball = p.exception();
    qx_clear_exception();
    return ball;
  }

  /* error(Formal, context(prolog:Name/Arity, Argument)) as the canonical writer shows it. */
  static std::string iso(const std::string &formal, const std::string &name, int arity,
                         int argument)
  {
    return "error(" + formal + ",context(:(prolog,/(" + name + "," + std::to_string(arity) + "))," +
           std::to_string(argument) + "))";
  }

  /* Runs a goal built on the heap once in module user. */
  int run_term(TAGGED goal) { return qx_call_once(p.w, goal, qx_eg.user_module); }

  TestProlog p;
};

#endif
