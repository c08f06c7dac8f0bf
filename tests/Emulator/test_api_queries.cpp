/* Queries from native code: solutions in order, cut and close, handles, nesting, cleanup goals,
 * exceptions in both directions, variables outside the heap, predicate lookup and memory faults
 * inside an API call. */
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <set>

#include "api_fixture.h"
#include "memtest_support.h"

namespace {

/* The solutions of a query as the values of x, then the result that ended them. */
std::string solutions(QX_query_ref q, QX_term_ref x)
{
  std::string out;
  int r;
  while ((r = QX_next_solution(q)) == 1) out += ApiTest::show(x) + ",";
  return out + std::to_string(r);
}

/* Grows the choicepoint area with a page mapped right after it, so that it moves. */
bool move_choice_area(worker *w)
{
  void *old_start = w->trail_start;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  void *guard = mmap(w->choice_start, page, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  size_t size = (size_t)((char *)w->choice_start - (char *)w->trail_start);
  choice_overflow(w, (uint32_t)(size / sizeof(TAGGED)) + 1024);
  if (guard != MAP_FAILED) munmap(guard, page);
  return w->trail_start != old_start;
}

/* Natives as a foreign resource's glue calls them: the flag is set before the call and the
 * call fails (or throws what was raised) when the function cleared it. */
template <void (*body)(worker *)>
int glued(worker *w)
{
  w->fli_info.excp_flag = 1;
  body(w);
  return w->fli_info.excp_flag;
}
void b_fail(worker *) { QX_fail(); }
void b_raise(worker *w) { QX_raise_exception(ApiTest::arg_refs(w, 1)); }
void b_error(worker *w)
{
  QX_save_error(QX_ERR_TYPE, "integer", ApiTest::arg_refs(w, 1));
  QX_raise_error("user", "bad", 1, 1);
}

/* Query nodes (termcode) from the newest outwards. */
int open_queries(worker *w)
{
  int n = 0;
  for (node *b = w->node_; b < w->choice_start; b = qx_node_below(b))
    n += NodeAlt(b)->op == QX_ALT_TERMCODE;
  return n;
}

/* nest(N, Out): Out = level(N, level(N - 1, ... bottom)), each level through a query of its own
 * opened by the level above; the innermost notes how many queries are open. */
int depth_seen;
int t_nest(worker *w)
{
  QX_term_ref args = ApiTest::arg_refs(w, 2);
  long n = 0;
  QX_get_integer(args, &n);
  QX_term_ref inner = QX_new_term_ref();
  if (n == 0) {
    depth_seen = open_queries(w);
    QX_put_string(inner, "bottom");
  } else {
    QX_term_ref below = QX_new_term_ref();
    QX_put_integer(below, n - 1);
    QX_put_variable(inner);
    if (QX_query(QX_predicate("nest", 2, "prolog"), below, inner) != 1) return 0;
  }
  QX_term_ref level = QX_new_term_ref();
  QX_cons_functor(level, QX_atom_from_string("level"), 2, args, inner);
  return QX_unify(args + 1, level);
}

class ApiQueries : public ApiTest {
protected:
  ApiQueries()
  {
    p.consult("p(1). p(2). p(3). "
              "fails(X, Y) :- X = 1, Y = 2, fail. "
              "throws(X) :- X = 1, throw(ball(X)). "
              "c(X) :- call_cleanup(between(1, 3, X), note(cleanup)). ");
    native("b_fail", 0, glued<b_fail>);
    native("b_raise", 1, glued<b_raise>);
    native("b_error", 1, glued<b_error>);
    native("nest", 2, t_nest);
  }
  std::string thrown()
  {
    QX_term_ref ball = QX_new_term_ref();
    return QX_exception_term(ball) ? show(ball) : "<none>";
  }
};

}  // namespace

TEST_F(ApiQueries, SolutionsInOrderThenNoMoreOverClausesAndANondeterministicNative)
{
  QX_term_ref x = QX_new_term_ref();
  QX_put_variable(x);
  QX_query_ref q = QX_open_query(pred("p", 1), x);
  ASSERT_NE(q, 0);
  EXPECT_EQ(QX_next_solution(q), 1);
  QX_new_term_refs(5); /* made after the opening: gone at the next solution */
  EXPECT_TRUE(move_choice_area(p.w)) << "the handle survives the area's move";
  EXPECT_EQ(solutions(q, x), "2,3,0");
  EXPECT_EQ(QX_new_term_refs(0), x + 1);
  EXPECT_EQ(QX_next_solution(q), 0) << "no more, again";
  EXPECT_EQ(QX_close_query(q), 1);
  EXPECT_EQ(show(x), "_");

  QX_term_ref lo = QX_new_term_ref(), hi = QX_new_term_ref();
  QX_put_integer(lo, 1);
  QX_put_integer(hi, 3);
  q = QX_open_query(pred("between", 3, "prolog"), lo, hi, x);
  EXPECT_EQ(QX_next_solution(q), 1);
  EXPECT_EQ(QX_next_solution(q), 1);
  EXPECT_EQ(QX_cut_query(q), 1);
  EXPECT_EQ(show(x), "2") << "the cut keeps the last solution";
  EXPECT_EQ(p.w->current_query, nullptr);
  EXPECT_FALSE(qx_has_node(p.w));
}

TEST_F(ApiQueries, FailureThrowAndCutFailLeaveNoBinding)
{
  QX_term_ref x = QX_new_term_ref(), y = QX_new_term_ref();
  QX_put_variable(x);
  QX_put_variable(y);
  EXPECT_EQ(QX_query(pred("fails", 2), x, y), 0);
  EXPECT_EQ(show(x) + show(y), "__");

  EXPECT_EQ(QX_query(pred("throws", 1), x), -1);
  EXPECT_EQ(QX_get_errno(), QX_ERR_EXCEPTION);
  EXPECT_EQ(show(x), "_");
  EXPECT_EQ(thrown(), "ball(1)");
  EXPECT_EQ(thrown(), "<none>") << "the ball is given once";

  EXPECT_EQ(QX_query_cut_fail(pred("p", 1), x), 1);
  EXPECT_EQ(show(x), "_");
  EXPECT_EQ(QX_query(pred("p", 1), x), 1);
  EXPECT_EQ(show(x), "1");
}

TEST_F(ApiQueries, OnlyTheInnermostQueryAnswersAndBadHandlesAreRefused)
{
  worker *w = p.w;
  QX_term_ref x = QX_new_term_ref(), lo = QX_new_term_ref(), y = QX_new_term_ref();
  QX_put_variable(x);
  QX_put_integer(lo, 1);
  QX_put_variable(y);
  QX_query_ref outer = QX_open_query(pred("p", 1), x);
  ASSERT_EQ(QX_next_solution(outer), 1);
  QX_query_ref inner = QX_open_query(pred("between", 3, "prolog"), lo, lo, y);
  qx_set_errno(0);
  EXPECT_EQ(QX_next_solution(outer), -1);
  EXPECT_EQ(QX_get_errno(), QX_ERR_QUERY);
  ASSERT_EQ(QX_next_solution(inner), 1);

  std::mt19937 rng(13);
  for (int i = 0; i < 2000; i++) {
    int h = (int)rng();
    for (int handle : {h, (int)MakeSmall(h % 200000)}) {
      if (handle == inner) continue;
      qx_set_errno(0);
      ASSERT_EQ(QX_next_solution(handle), -1) << handle;
      ASSERT_EQ(QX_get_errno(), QX_ERR_QUERY);
      if (IsSmall((TAGGED)handle)) continue; /* beyond the newest node it names a removed query */
      ASSERT_EQ(QX_cut_query(handle), -1) << handle;
      ASSERT_EQ(QX_close_query(handle), -1) << handle;
    }
  }
  /* Every position of the live area that is not a query node is refused. */
  node *before = w->node_;
  std::set<node *> nodes;
  for (node *b = w->node_; b < w->choice_start; b = qx_node_below(b)) nodes.insert(b);
  for (uint32_t cells = 1; cells <= qx_node_offset(w, w->node_) / 4; cells++) {
    int handle = (int)MakeSmall((int32_t)cells);
    node *at = qx_offset_node(w, cells * 4);
    if (nodes.count(at) && NodeAlt(at)->op == QX_ALT_TERMCODE) continue;
    ASSERT_EQ(QX_close_query(handle), -1) << cells;
    ASSERT_EQ(QX_cut_query(handle), -1) << cells;
  }
  EXPECT_EQ(w->node_, before);

  EXPECT_EQ(QX_close_query(outer), 1) << "removes the inner query too";
  EXPECT_EQ(show(x) + show(y), "__");
  EXPECT_EQ(QX_close_query(inner), 1) << "already gone";
  EXPECT_EQ(QX_cut_query(inner), 1);
  EXPECT_EQ(QX_next_solution(inner), -1);
  EXPECT_EQ(w->current_query, nullptr);
}

/* Cutting the outer of two open queries removes both: no query is current and neither answers. */
TEST_F(ApiQueries, CuttingTheOuterOfTwoOpenQueriesRemovesBoth)
{
  QX_term_ref x = QX_new_term_ref(), lo = QX_new_term_ref(), hi = QX_new_term_ref(),
              y = QX_new_term_ref();
  QX_put_variable(x);
  QX_put_integer(lo, 1);
  QX_put_integer(hi, 3);
  QX_put_variable(y);
  QX_query_ref outer = QX_open_query(pred("p", 1), x);
  ASSERT_EQ(QX_next_solution(outer), 1);
  QX_query_ref inner = QX_open_query(pred("between", 3, "prolog"), lo, hi, y);
  ASSERT_EQ(QX_next_solution(inner), 1);
  EXPECT_EQ(QX_cut_query(outer), 1);
  EXPECT_EQ(p.w->current_query, nullptr);
  EXPECT_FALSE(qx_has_node(p.w));
  EXPECT_EQ(show(x) + show(y), "11") << "the cut keeps the solutions";
  EXPECT_EQ(QX_next_solution(outer), -1);
  EXPECT_EQ(QX_next_solution(inner), -1);
}

TEST_F(ApiQueries, QueriesNestThreeDeepFromNatives)
{
  QX_term_ref n = QX_new_term_ref(), out = QX_new_term_ref();
  QX_put_integer(n, 3);
  QX_put_variable(out);
  ASSERT_EQ(QX_query(pred("nest", 2, "prolog"), n, out), 1);
  EXPECT_EQ(show(out), "level(3,level(2,level(1,level(0,bottom))))");
  EXPECT_EQ(depth_seen, 4) << "the outer query and three opened by natives";
  EXPECT_EQ(p.w->current_query, nullptr);
}

TEST_F(ApiQueries, RemovingAQueryRunsAPendingCleanupOnce)
{
  QX_term_ref x = QX_new_term_ref(), y = QX_new_term_ref();
  for (bool cut : {true, false}) {
    engine_test::log_text.clear();
    QX_put_variable(x);
    QX_put_variable(y);
    QX_query_ref q = QX_open_query(pred("c", 1), x);
    ASSERT_EQ(QX_next_solution(q), 1);
    EXPECT_EQ(log(), "") << "the goal left choicepoints: the cleanup waits";
    EXPECT_EQ(cut ? QX_cut_query(q) : QX_close_query(q), 1);
    EXPECT_EQ(log(), "cleanup") << cut;
    EXPECT_EQ(show(x), cut ? "1" : "_");
    EXPECT_EQ(QX_query(pred("p", 1), y), 1);
    EXPECT_EQ(log(), "cleanup") << "exactly once";
  }
}

TEST_F(ApiQueries, NativesFailRaiseAndRaiseRecordedErrors)
{
  EXPECT_EQ(run_goal(goal("b_fail")), 0);
  EXPECT_EQ(run_goal(goal("b_raise(ball(7))")), -1);
  EXPECT_EQ(thrown(), "ball(7)");
  EXPECT_EQ(run_goal(goal("b_error(foo)")), -1);
  EXPECT_EQ(thrown(), "error(type_error(integer,foo),context(:(user,/(bad,1)),1))");
  EXPECT_EQ(QX_query(pred("b_raise", 1, "prolog"), ref("oops")), -1);
  EXPECT_EQ(thrown(), "oops");
}

TEST_F(ApiQueries, AVariableOutsideTheHeapIsBoundToAHeapCellForTheQuery)
{
  worker *w = p.w;
  frame *saved = w->local_top;
  TAGGED *cell = (TAGGED *)w->local_top;
  w->local_top += 1;
  *cell = MakeRef(cell);
  QX_term_ref x = QX_new_term_ref();
  set(x, MakeRef(cell));
  for (bool cut : {false, true}) {
    QX_query_ref q = QX_open_query(pred("p", 1), x);
    TAGGED *bound = RefPtr(*cell);
    EXPECT_TRUE(bound >= w->heap_start && bound < w->global_top) << "a fresh heap variable";
    EXPECT_EQ(*bound, MakeRef(bound));
    ASSERT_EQ(QX_next_solution(q), 1);
    EXPECT_EQ(deref(MakeRef(cell)), MakeSmall(1));
    EXPECT_EQ(cut ? QX_cut_query(q) : QX_close_query(q), 1);
    if (cut)
      EXPECT_EQ(deref(MakeRef(cell)), MakeSmall(1)) << "a cut keeps the binding";
    else
      EXPECT_EQ(*cell, MakeRef(cell)) << "the close unbinds it";
  }
  w->local_top = saved;
}

TEST_F(ApiQueries, DecodeReservedExceptions)
{
  struct {
    const char *term;
    int kind;
    int code; /* 99: not written */
  } rows[] = {
      {"'$reserved'(772)", 4, 3}, {"'$reserved'(-252)", 4, -1}, {"'$reserved'(768)", 0, 99},
      {"'$reserved'(4)", 4, 0},   {"'$reserved'(x)", 0, 99},    {"'$reserved'(1, 2)", 0, 99},
      {"'$reserved'", 0, 99},     {"reserved(772)", 0, 99},     {"'$reserved'(4294967556)", 0, 99}};
  for (auto &row : rows) {
    int code = 99;
    EXPECT_EQ(QX_decode_reserved_exception(ref(row.term), &code), row.kind) << row.term;
    EXPECT_EQ(code, row.code) << row.term;
  }
  EXPECT_EQ(QX_decode_reserved_exception(ref("'$reserved'(772)"), nullptr), 4);
  /* The ball of halt/1 decodes to its code. */
  p.consult("stop :- halt(3).");
  EXPECT_EQ(QX_query(pred("stop", 0)), -1);
  QX_term_ref ball = QX_new_term_ref();
  ASSERT_EQ(QX_exception_term(ball), 1);
  int code = 0;
  EXPECT_EQ(QX_decode_reserved_exception(ball, &code), 4);
  EXPECT_EQ(code, 3);
}

TEST_F(ApiQueries, PredicateLookupAndBadInput)
{
  qx_eg.typein_mod = qx_eg.user_module; /* as a restore leaves it */
  QX_pred_ref typein = QX_predicate("foo", 2, nullptr);
  ASSERT_NE(typein, nullptr);
  EXPECT_EQ(QX_predicate("foo", 2, ""), typein);
  EXPECT_EQ(QX_predicate("foo", 2, "user"), typein);
  EXPECT_EQ(typein->module, qx_eg.user_module);
  EXPECT_TRUE(typein->properties.locked);
  QX_pred_ref other = QX_predicate("foo", 2, "other");
  EXPECT_NE(other, typein);
  EXPECT_EQ(other->module->name, init_atom_check("other", 1));

  struct {
    const char *name;
    long arity;
    const char *module;
    int error;
  } rows[] = {{nullptr, 1, "user", QX_ERR_NULL_STRING},
              {"\xff", 1, "user", QX_ERR_STRING},
              {"ok", 1, "\xc3", QX_ERR_STRING},
              {"ok", 256, "user", QX_ERR_NO_PREDICATE},
              {"ok", -1, nullptr, QX_ERR_NO_PREDICATE}};
  for (auto &row : rows) {
    qx_set_errno(0);
    EXPECT_EQ(QX_predicate(row.name, row.arity, row.module), nullptr) << row.arity;
    EXPECT_EQ(QX_get_errno(), row.error) << row.arity;
  }
  EXPECT_EQ(QX_pred(init_atom_check("ok", 0), 1, MakeSmall(1)), nullptr);
  EXPECT_EQ(QX_get_errno(), QX_ERR_NO_PREDICATE);

  EXPECT_EQ(QX_open_query(nullptr), 0);
  EXPECT_EQ(QX_get_errno(), QX_ERR_INVALID_DEFINITION);
  EXPECT_EQ(QX_query(nullptr), -1);
  worker *w = qx_w;
  qx_w = nullptr;
  qx_set_errno(0);
  EXPECT_EQ(QX_open_query(typein, 10, 11), 0);
  EXPECT_EQ(QX_get_errno(), QX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(QX_query_cut_fail(typein, 10, 11), -1);
  qx_w = w;
}

namespace {

/* In a child with a 48 MiB ceiling: a 20-million-byte list cannot be built, the call answers 0
 * with error 15 and changes nothing, and the engine goes on. */
int list_past_the_ceiling()
{
  alarm(120);
  EnvGuard size("PROLOGMAXSIZE", "48M");
  TestProlog p;
  p.consult("p(1).");
  std::vector<unsigned char> bytes(20000000, 7);
  QX_term_ref list = QX_new_term_ref(), tail = QX_new_term_ref(), x = QX_new_term_ref();
  TAGGED *top = p.w->global_top;
  if (QX_put_list_n_bytes(list, tail, bytes.size(), bytes.data()) != 0) return 2;
  if (QX_get_errno() != QX_ERR_SYSTEM_ERROR) return 3;
  if (qx_ref_term(list) != atom_nil || p.w->global_top > top)
    return 4; /* a collection may lower it */
  if (QX_put_list_n_bytes(list, tail, SIZE_MAX / 2, bytes.data()) != 0) return 5;
  if (QX_new_term_refs(1 << 30) != 0 || QX_get_errno() != QX_ERR_SYSTEM_ERROR) return 6;
  if (QX_put_variable(x) != 1) return 7;
  if (QX_query(QX_predicate("p", 1, "user"), x) != 1 || TestProlog::show(qx_ref_term(x)) != "1")
    return 8;
  if (QX_put_list_n_bytes(list, tail, 1000, bytes.data()) != 1) return 9;
  return 0;
}

}  // namespace

TEST(ApiMemory, AMemoryFaultInsideAnApiCallAnswersFifteenAndTheEngineGoesOn)
{
  EXPECT_EQ(run_in_child(list_past_the_ceiling), 0);
}
