/* The interpreter's control: catch/throw through natives and nested runs, call_cleanup/2, the
 * context of natives across nested runs, and the error terms of the control constructs. */
#include <stdexcept>

#include "engine_fixture.h"
#include "gc.h"
#include "orvalis.h"

namespace {

using namespace engine_test;

/* nd_nested(X): X = 1..3; before its first solution it runs a nested query. */
int nd_nested_retry(worker *w) { return count_to_three(w, 1); }
int nd_nested(worker *w)
{
  TAGGED x = w->term[0];
  qx_gc_root keep(&x); /* the nested run may collect */
  if (qx_call_once(w, note_goal(w, "inner"), qx_eg.user_module) != 1) return 0;
  w->term[0] = x; /* the nested run used the registers */
  w->term[1] = MakeSmall(1);
  qx_push_retry(w, 2);
  return cunify(w, x, MakeSmall(1));
}

/* err_after_nested: runs a nested query, then raises a type error of its own. */
int err_after_nested(worker *w)
{
  qx_call_once(w, note_goal(w, "nested"), qx_eg.user_module);
  return qx_type_error(w, "integer", init_atom_check("nested", 0), 0);
}

/* stream_err(S): the error of a stream layer, raised against user:stream_op/2, argument 1. */
int stream_err(worker *w)
{
  save_error(0x902, "", deref(w->term[0]));
  return raise_error(atom_user, init_atom_check("stream_op", 0), 2, 1);
}

/* cxx_throw(When): pushes its retry node, then, on its call (When = first) or its retry, makes a
 * term reference and throws a C++ exception; cxx_catcher runs cxx_throw(first) as a nested query
 * and catches C++ exceptions around it. */
int cxx_throw_retry(worker *)
{
  QX_new_term_ref();
  throw std::runtime_error("boom");
}
int cxx_throw(worker *w)
{
  qx_push_retry(w, 1);
  return deref(w->term[0]) == init_atom_check("first", 0) ? cxx_throw_retry(w) : 1;
}
int cxx_catcher(worker *w)
{
  try {
    qx_call_once(w, TermReader(w, "cxx_throw(first)").read(), qx_eg.user_module);
  } catch (...) {}
  qx_clear_exception();
  return 1;
}

/* cxx_message: throws a C++ exception whose what() is thrown_text. */
std::string thrown_text;
int cxx_message(worker *) { throw std::runtime_error(thrown_text); }

class Control : public EngineTest {
protected:
  Control()
  {
    native("cxx_throw", 1, cxx_throw, cxx_throw_retry);
    native("cxx_message", 0, cxx_message);
    native(std::string(600, 'n').c_str(), 0, cxx_message);
    native("cxx_catcher", 0, cxx_catcher);
    native("nd_nested", 1, nd_nested, nd_nested_retry);
    native("err_after_nested", 0, err_after_nested);
    native("stream_err", 1, stream_err);
  }
};

}  // namespace

TEST_F(Control, ThrowCrossesANestedQueryAndANative)
{
  ASSERT_EQ(p.run("catch(nested_once(throw(b)), E, true)"), 1);
  EXPECT_EQ(p.var("E"), "b");
  ASSERT_EQ(p.run("catch(nested_do_wam((between(1, 3, X), X = 2, throw(c(X)))), E, true)"), 1);
  EXPECT_EQ(p.var("E"), "c(2)");
  /* An error raised by a native inside the nested run keeps its context. */
  ASSERT_EQ(p.run("catch(nested_once(stream_err(s)), error(F, C), true)"), 1);
  EXPECT_EQ(p.var("F"), "domain_error(stream_or_alias,s)");
  EXPECT_EQ(p.var("C"), "context(:(user,/(stream_op,2)),1)");
  EXPECT_EQ(qx_has_node(p.w), false);
}

/* A C++ exception leaving a native, on its call or its retry, is a system error naming it, raised
 * once the native's nodes and term references are gone; a caller that catches C++ exceptions
 * around a nested query sees none and goes on. */
TEST_F(Control, ACxxExceptionFromANativeIsASystemError)
{
  uint32_t mark = p.w->fli_stack_index;
  p.consult("p(1). p(2).");
  EXPECT_EQ(p.run("(p(X), cxx_catcher, note(X), fail ; note(end))"), 1);
  EXPECT_EQ(log(), "1,2,end");
  for (std::string when : {"first", "retry"}) {
    EXPECT_EQ(p.run("cxx_throw(" + when + "), fail"), -1);
    EXPECT_EQ(exception(), "error(system_error(C++ exception in prolog:cxx_throw/1: boom),"
                           "context(:(prolog,/(cxx_throw,1)),0))");
    EXPECT_FALSE(qx_has_node(p.w));
    EXPECT_EQ(p.w->fli_stack_index, mark) << when;
  }
}

/* The text of a C++ exception becomes the system error's atom whatever bytes it holds: a byte
 * that starts no character becomes U+FFFD, a long text is cut before the character that does not
 * fit (at 511 bytes for the message, 639 for the whole), and the predicate's name stays. */
TEST_F(Control, ACxxExceptionKeepsItsTextAndTheNameWhateverItsBytes)
{
  const std::string head = "C++ exception in prolog:cxx_message/0: ", a510(510, 'a');
  const std::string long_name = std::string(600, 'n'), e_acute = "\xC3\xA9";
  std::string accents;
  for (int i = 0; i < 300; i++) accents += e_acute;
  const struct {
    const char *what;
    std::string goal, thrown, text;
  } rows[] = {
      {"plain", "cxx_message", "boom", head + "boom"},
      {"stray byte", "cxx_message", "a\xFF" "b\x80", head + "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
      {"truncated character", "cxx_message", "x\xE2\x82", head + "x\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"multibyte at the cut", "cxx_message", a510 + e_acute + "tail", head + a510},
      {"accents to the cut", "cxx_message", "a" + accents, head + "a" + accents.substr(0, 510)},
      {"long name", long_name, "bb" + accents,
       "C++ exception in prolog:" + long_name + "/0: bb" + accents.substr(0, 8)},
  };
  for (const auto &row : rows) {
    thrown_text = row.thrown;
    ASSERT_EQ(p.run(row.goal), -1) << row.what;
    std::string ball = exception();
    EXPECT_EQ(ball.substr(0, 26), "error(system_error(C++ exc") << row.what;
    size_t end = ball.find("),context(");
    ASSERT_NE(end, std::string::npos) << row.what;
    EXPECT_EQ(ball.substr(19, end - 19), row.text) << row.what;
  }
}

TEST_F(Control, CatchInsideANestedRunStaysInside)
{
  ASSERT_EQ(p.run("nested_once(catch(throw(b), E, note(caught(E)))), note(after)"), 1);
  EXPECT_EQ(log(), "caught(b),after");
  /* Choicepoints of the outer query made before the nested run still work after it threw. */
  ASSERT_EQ(p.run("between(1, 3, X), catch(nested_once((X = 2, throw(x))), x, note(caught(X))), "
                  "note(got(X))"),
            1);
  EXPECT_EQ(log(), "caught(b),after,caught(2),got(2)");
  EXPECT_EQ(p.run("nested_do_wam(throw(u))"), -1);
  EXPECT_EQ(exception(), "u");
}

TEST_F(Control, ACatchWhoseGoalExitedNoLongerCatches)
{
  EXPECT_EQ(p.run("catch(between(1, 2, _), _, note(caught)), throw(x)"), -1);
  EXPECT_EQ(exception(), "x");
  EXPECT_EQ(log(), "");
  /* Backtracking into the goal makes the catch active again. */
  ASSERT_EQ(
      p.run("catch((between(1, 2, X), (X = 2 -> throw(y) ; true)), E, note(caught(E))), X = 2"), 1);
  EXPECT_EQ(log(), "caught(y)");
}

TEST_F(Control, HaltIsNotCaught)
{
  EXPECT_EQ(p.run("catch(nested_once(halt(3)), _, note(caught))"), -1);
  EXPECT_EQ(exception(), "$reserved(" + std::to_string((3 << 8) | 4) + ")");
  EXPECT_EQ(log(), "");
}

/* Codes on both sides of 2^20 (where the ball's payload Code * 256 + 4 leaves the small
 * integers), of 2^28 (where the code itself does), and negative ones: none is caught, and the
 * payload is the code's exact value times 256 plus 4. */
TEST_F(Control, HaltIsNotCaughtWhateverTheCode)
{
  const int64_t codes[] = {
      0,          1,  255,      1048575,  1048576,    1048577,    268435455,     268435456,
      2147483647, -1, -1048576, -1048577, -268435456, -268435457, 1099511627776, -1099511627776};
  for (int64_t code : codes) {
    std::string c = std::to_string(code);
    EXPECT_EQ(p.run("catch(halt(" + c + "), _, note(caught))"), -1) << c;
    EXPECT_EQ(exception(), "$reserved(" + std::to_string(code * 256 + 4) + ")") << c;
  }
  EXPECT_EQ(log(), "");
  /* A code whose payload does not fit 64 bits is refused, as an error that can be caught. */
  ASSERT_EQ(p.run("catch(halt(36028797018963968), error(representation_error(R), _), true), "
                  "catch(halt(-36028797018963969), error(representation_error(S), _), true)"),
            1);
  EXPECT_EQ(p.var("R") + " " + p.var("S"), "max_integer min_integer");
}

TEST_F(Control, CleanupRunsOnceAtEachWayOfEnding)
{
  ASSERT_EQ(p.run("call_cleanup(note(g), note(c))"), 1);
  EXPECT_EQ(log(), "g,c");
  log_text.clear();
  /* exit with choicepoints, then a cut */
  ASSERT_EQ(p.run("call_cleanup(between(1, 3, X), note(c)), note(X), !, note(cut)"), 1);
  EXPECT_EQ(log(), "1,c,cut");
  log_text.clear();
  /* exit with choicepoints, then failure into it until it fails */
  ASSERT_EQ(p.run("(call_cleanup((between(1, 2, X), X = 1), note(c)), fail ; note(after))"), 1);
  EXPECT_EQ(log(), "c,after");
  log_text.clear();
  /* the last solution exits deterministically */
  ASSERT_EQ(p.run("call_cleanup(between(1, 3, X), note(c)), X = 3"), 1);
  EXPECT_EQ(log(), "c");
  log_text.clear();
  ASSERT_EQ(p.run("catch(call_cleanup(throw(e), note(c)), e, note(caught))"), 1);
  EXPECT_EQ(log(), "c,caught");
}

TEST_F(Control, CleanupOfAQueryThatEndsIsRunBeforeItReturns)
{
  EXPECT_EQ(p.run("call_cleanup((between(1, 2, X), X = 1), note(c)), fail"), 0);
  EXPECT_EQ(log(), "c");
  log_text.clear();
  EXPECT_EQ(p.run("call_cleanup(throw(e), note(c))"), -1);
  EXPECT_EQ(exception(), "e");
  EXPECT_EQ(log(), "c");
  log_text.clear();
  /* A once-query that leaves the goal's choicepoints cuts them: the cleanup runs. */
  ASSERT_EQ(p.run("call_cleanup(between(1, 2, _), note(c))"), 1);
  EXPECT_EQ(log(), "c");
  /* A failing or throwing cleanup changes nothing. */
  EXPECT_EQ(p.run("call_cleanup(true, fail)"), 1);
  EXPECT_EQ(p.run("call_cleanup(true, throw(z))"), 1);
  EXPECT_EQ(qx_eg.exception, nullptr);
}

TEST_F(Control, ACutInsideTheGoalLeavesTheCleanupForTheExit)
{
  ASSERT_EQ(p.run("call_cleanup((between(1, 3, X), call_cleanup(between(1, 2, _), note(inner)), !, "
                  "note(body)), "
                  "note(outer))"),
            1);
  EXPECT_EQ(log(), "inner,body,outer");
}

TEST_F(Control, NestedQueriesKeepTheNativesOwnContext)
{
  /* The retry node belongs to nd_nested even though note/1 ran inside it last. */
  ASSERT_EQ(p.run("nd_nested(X), X = 3"), 1);
  EXPECT_EQ(log(), "inner");
  EXPECT_EQ(p.run("err_after_nested"), -1);
  EXPECT_EQ(exception(),
            "error(type_error(integer,nested),context(:(prolog,/(err_after_nested,0)),0))");
}

TEST_F(Control, ControlConstructsRaiseIsoErrors)
{
  EXPECT_EQ(p.run("call(1)"), -1);
  EXPECT_EQ(exception(), "error(type_error(callable,1),context(_,0))");
  EXPECT_EQ(p.run("call(_, a)"), -1);
  EXPECT_EQ(exception(), "error(instantiation_error,context(_,0))");
  EXPECT_EQ(p.run("M:true"), -1);
  EXPECT_EQ(exception(), "error(instantiation_error,context(_,0))");
  EXPECT_EQ(p.run("1:true"), -1);
  EXPECT_EQ(exception(), "error(type_error(atom,1),context(_,0))");
  EXPECT_EQ(p.run("throw(_)"), -1);
  EXPECT_EQ(exception(), "error(instantiation_error,context(_,0))");
  EXPECT_EQ(p.run("(true, 3)"), -1);
  EXPECT_EQ(exception(), "error(type_error(callable,3),context(_,0))");
  EXPECT_EQ(p.run("stream_err(s)"), -1);
  EXPECT_EQ(exception(),
            "error(domain_error(stream_or_alias,s),context(:(user,/(stream_op,2)),1))");
}

TEST_F(Control, UnsupportedPredicatesRaiseASystemError)
{
  p.consult("b(1).");
  find_definition(qx_eg.user_module, MakeFunctor(init_atom_check("b", 0), 1), nullptr, 0)
      ->properties.block = 1;
  EXPECT_EQ(p.run("b(_)"), -1);
  EXPECT_EQ(exception(),
            "error(system_error(block declarations are not supported: user:b/1),context(_,0))");
  definition *d = insert_definition(qx_eg.user_module, init_atom_check("compiled", 0), 0, 1);
  update_exports(d, ENTER_COMPACTCODE);
  EXPECT_EQ(p.run("compiled"), -1);
  EXPECT_EQ(exception(),
            "error(system_error(compiled code is not supported: user:compiled/0),context(_,0))");
}

TEST_F(Control, NativesCalledOutsideTheEmulator)
{
  definition *err = find_definition(qx_eg.prolog_module,
                                    MakeFunctor(init_atom_check("stream_err", 0), 1), nullptr, 0);
  p.w->term[0] = init_atom_check("s", 0);
  EXPECT_EQ(qx_call_native(p.w, err), -1);
  EXPECT_EQ(exception(),
            "error(domain_error(stream_or_alias,s),context(:(user,/(stream_op,2)),1))");
  EXPECT_EQ(qx_has_node(p.w), false);
  definition *between = find_definition(qx_eg.prolog_module,
                                        MakeFunctor(init_atom_check("between", 0), 3), nullptr, 0);
  TAGGED x = p.TestEngine::var();
  qx_gc_root keep(&x); /* a native may collect */
  p.w->term[0] = MakeSmall(1);
  p.w->term[1] = MakeSmall(3);
  p.w->term[2] = x;
  EXPECT_EQ(qx_call_native(p.w, between), 1);
  EXPECT_EQ(TestProlog::show(x), "1");
  EXPECT_EQ(qx_has_node(p.w), false) << "the retry node of a native called once is removed";
  p.w->term[0] = MakeSmall(5);
  p.w->term[1] = MakeSmall(3);
  EXPECT_EQ(qx_call_native(p.w, between), 0);
}

TEST_F(Control, RetryDefinitionsOfTheSameArityStayApart)
{
  qx_native_fn first = [](worker *w) { return cunify(w, w->term[0], MakeSmall(1)); };
  qx_native_fn second = [](worker *w) { return cunify(w, w->term[0], MakeSmall(2)); };
  definition *a = def_retry_c(first, 1);
  definition *b = def_retry_c(second, 1);
  ASSERT_NE(a, b);
  TAGGED xy[2] = {p.TestEngine::var(), p.TestEngine::var()};
  qx_gc_root keep(xy, 2); /* a native may collect */
  TAGGED &x = xy[0], &y = xy[1];
  p.w->term[0] = x;
  EXPECT_EQ(qx_call_native(p.w, a), 1);
  p.w->term[0] = y;
  EXPECT_EQ(qx_call_native(p.w, b), 1);
  EXPECT_EQ(TestProlog::show(x) + TestProlog::show(y), "12");
  EXPECT_EQ(a->retry, first);
}
