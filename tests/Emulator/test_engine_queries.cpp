/* Queries from native code: the current query across growth of the choicepoint area, the
 * primitives that move the current node, and the collection of cleanup goals and dead blocks
 * when a query is cut. */
#include <sys/mman.h>
#include <unistd.h>

#include "engine_fixture.h"

namespace {

using namespace engine_test;

/* state5(X): X = 1..3 with five state words besides its argument. */
int state5_retry(worker *w)
{
  TAGGED *state = qx_retry_state(w);
  for (int i = 2; i <= 5; i++)
    if (state[i] != MakeSmall(100 + i)) return 0; /* the state words came back intact */
  return count_to_three(w, 1);
}
int state5(worker *w)
{
  w->term[1] = MakeSmall(1);
  for (int i = 2; i <= 5; i++) w->term[i] = MakeSmall(100 + i);
  qx_push_retry(w, 6);
  return cunify(w, w->term[0], MakeSmall(1));
}

/* grow: the choicepoint area grows; a page mapped right after it makes it move. */
bool area_moved;
int grow(worker *w)
{
  size_t size = (size_t)((char *)w->choice_start - (char *)w->trail_start);
  void *old_start = w->trail_start;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  void *guard = mmap(w->choice_start, page, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  choice_overflow(w, (uint32_t)(size / sizeof(TAGGED)) + 1024);
  if (guard != MAP_FAILED) munmap(guard, page);
  area_moved = w->trail_start != old_start;
  return (size_t)((char *)w->choice_start - (char *)w->trail_start) > size;
}

/* open_query(G): G as a query of its own; query_expected is the offset its node will have. */
uint32_t query_expected;
uint32_t query_seen;
bool query_restored;
int open_query(worker *w)
{
  query_expected = qx_node_offset(w, w->node_) + (uint32_t)qx_alt(QX_ALT_TERMCODE, QX_QUERY_WORDS)->node_size;
  uint32_t outer = w->current_query ? qx_node_offset(w, w->current_query) : 0;
  int r = qx_call_once(w, w->term[0], qx_eg.user_module);
  query_restored = (w->current_query ? qx_node_offset(w, w->current_query) : 0) == outer;
  return r;
}
/* check_query: notes the current query's offset; marking it does not hide it. */
int check_query(worker *w)
{
  if (!w->current_query) return 0;
  query_seen = qx_node_offset(w, w->current_query);
  qx_mark_nodes(w);
  node *before = w->current_query;
  refresh_current_query(w);
  return w->current_query == before;
}

class Queries : public EngineTest {
protected:
  Queries()
  {
    native("state5", 1, state5, state5_retry);
    native("grow", 0, grow);
    native("open_query", 1, open_query);
    native("check_query", 0, check_query);
    query_seen = 0;
  }
};

}  // namespace

TEST_F(Queries, CurrentQueryFollowsTheQueryNodeWhenTheAreaGrows)
{
  p.consult("p(G) :- open_query(G). p(_).");
  ASSERT_EQ(p.run("p((state5(A), state5(B), grow, check_query, B = 2)), note(A-B)"), 1);
  EXPECT_EQ(log(), "-(1,2)");
  EXPECT_TRUE(area_moved);
  EXPECT_EQ(query_seen, query_expected);
  EXPECT_TRUE(query_restored);
  EXPECT_EQ(p.w->current_query, nullptr);
}

TEST_F(Queries, QueriesNestCurrentQueryInnermostFirst)
{
  ASSERT_EQ(p.run("open_query((check_query, open_query(check_query), check_query))"), 1);
  /* The last check ran in the outer query again. */
  EXPECT_EQ(query_seen, query_expected - (uint32_t)qx_alt(QX_ALT_TERMCODE, QX_QUERY_WORDS)->node_size -
                            (uint32_t)qx_alt(QX_ALT_RUNBASE, 0)->node_size);
}

TEST_F(Queries, CutPopAndUndoAreThePrimitivesOfTheQueryApi)
{
  worker *w = p.w;
  TAGGED x = p.TestEngine::var();
  node *outer = qx_push_node(w, qx_alt(QX_ALT_TERMCODE, 0));
  uint32_t outer_off = qx_node_offset(w, outer);
  w->current_query = outer;
  node *inner = qx_push_node(w, qx_alt(QX_ALT_TERMCODE, 0));
  w->current_query = inner;
  qx_push_node(w, qx_alt(QX_ALT_DISJ, 0));
  qx_bind(w, RefPtr(x), MakeSmall(7));
  EXPECT_EQ(w->trail_top[-1], x) << "bound under a choicepoint: trailed";
  /* undo keeps the node */
  qx_undo_to(w, w->node_);
  EXPECT_TRUE(IsVar(deref(x)));
  EXPECT_NE(w->node_, inner);
  /* cutting to the outer node removes the inner query: current_query follows */
  qx_cut_to(w, qx_offset_node(w, outer_off));
  EXPECT_EQ(w->current_query, qx_offset_node(w, outer_off));
  EXPECT_EQ(w->global_uncond, qx_offset_node(w, outer_off)->global_top);
  qx_pop_node(w);
  EXPECT_EQ(w->current_query, nullptr);
  EXPECT_FALSE(qx_has_node(w));
}

/* The query API's cut: pop the query's nodes without backtracking, then collect from the trail
 * while the surviving node is marked. */
TEST_F(Queries, CuttingAQueryCollectsDeadBlocksAndCleanupGoals)
{
  worker *w = p.w;
  definition *true_def = insert_definition(qx_eg.prolog_module, atom_true, 0, 1);
  node *bottom = qx_push_node(w, qx_alt(QX_ALT_TERMCODE, 0));
  uint32_t bottom_off = qx_node_offset(w, bottom);
  definition *call1 = find_definition(qx_eg.prolog_module, MakeFunctor(atom_call, 1), nullptr, 0);
  w->term[0] = goal(":(user, (perm_alloc(1, H), between(1, 3, _), perm_free(H), "
                    "call_cleanup(between(1, 2, _), note(c))))");
  ASSERT_EQ(do_wam(w, 3, call1), 1);
  EXPECT_EQ(destroyed(1), 0) << "dead under a choicepoint: kept";
  bottom = qx_offset_node(w, bottom_off);
  EXPECT_TRUE((uintptr_t)bottom->next_alt & 1) << "the dead block marked the nodes";
  while (w->node_ != bottom) qx_pop_node(w); /* popped without backtracking */
  /* Newest entries first: the cleanup goal comes before the older dead block is reached. */
  definition *d = collect_cleanup_from_trail(w, true_def);
  ASSERT_NE(d, true_def);
  EXPECT_EQ(TestProlog::show(w->term[0]), ":(user,note(c))");
  EXPECT_EQ(collect_cleanup_from_trail(w, true_def), true_def) << "the cleanup goal was marked run";
  EXPECT_EQ(destroyed(1), 1);
  EXPECT_FALSE((uintptr_t)w->node_->next_alt & 1) << "nothing left: the mark is cleared";
  /* Backtracking over the creation now destroys nothing again. */
  qx_undo_to(w, w->node_);
  qx_pop_node(w);
  EXPECT_EQ(destroyed(1), 1);
  EXPECT_EQ(log(), "");
}
