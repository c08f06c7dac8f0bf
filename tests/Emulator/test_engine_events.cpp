/* The event check: attributed-variable wake-ups, posted events and the soft heap limit. */
#include "engine_fixture.h"
#include "gc.h"

namespace {

using namespace engine_test;

/* freeze(X, G) written on the attribute record directly: the suspended goals of a record are
 * called in module prolog when the variable is bound. */
int t_freeze(worker *w)
{
  TAGGED x = deref(w->term[0]);
  if (!IsVar(x)) return 0;
  mod_def *holder = find_module(init_atom_check("freeze_holder", 0), 1);
  put_attributes(x, atom_true, holder);
  TAGGED *record = RefPtr(deref(w->term[0])) - 1;
  qx_trail_cell_value(w, &record[2]);
  record[2] = w->term[1];
  return 1;
}

/* put_attr(X, Module, Value) */
int t_put_attr(worker *w)
{
  put_attributes(deref(w->term[0]), w->term[2], find_module(deref(w->term[1]), 1));
  return 1;
}

/* queue5_bind(X, V): how the solver binds a variable that has other modules' attributes: it
 * takes its own attribute off and stores the value itself. */
int t_queue5_bind(worker *w)
{
  TAGGED *cell = delete_attributes(deref(w->term[0]), find_module(atom_clpfd, 1), 0);
  *cell = deref(w->term[1]);
  if (qx_cell_is_old(w, cell)) qx_trail_plain(w, cell);
  w->wake_count++;
  w->heap_warn_soft = nullptr;
  return 1;
}

/* post_event: requests an event from inside a run. */
int t_post_event(worker *w)
{
  qx_request_event(w);
  return 1;
}

/* The event hook: inserts note(event) before the interrupted goal. */
void note_event_hook(worker *w) { qx_push_frame(w, note_goal(w, "event"), qx_eg.user_module); }

/* bind_posting(X, V): leaves garbage on the heap, binds X and posts an event, so that the next
 * check runs a wake-up and the event hook together. */
int t_bind_posting(worker *w)
{
  call_overflow(w, 64, 2);
  for (int i = 0; i < 32; i++) *w->global_top++ = atom_nil;
  qx_request_event(w);
  return cunify(w, w->term[0], w->term[1]);
}

/* An event hook that collects before it inserts note(event). */
void collecting_hook(worker *w)
{
  qx_gc_collect(w, 0);
  note_event_hook(w);
}

/* eat: moves the heap top past the warning limit without asking for room. */
int t_eat(worker *w)
{
  uint32_t words = (uint32_t)(w->heap_warn - w->global_top) + 16;
  if ((uint32_t)(w->stack_start - w->global_top) <= words) return 0;
  w->global_top += words;
  return w->global_top >= w->heap_warn_soft;
}
/* limits_ok: the check made room again and put the soft limit back. */
int t_limits_ok(worker *w)
{
  return w->global_top < w->heap_warn && w->heap_warn_soft == w->heap_warn;
}

class Events : public EngineTest {
protected:
  Events()
  {
    native("freeze", 2, t_freeze);
    native("put_attr", 3, t_put_attr);
    native("queue5_bind", 2, t_queue5_bind);
    native("post_event", 0, t_post_event);
    native("bind_posting", 2, t_bind_posting);
    native("eat", 0, t_eat);
    native("limits_ok", 0, t_limits_ok);
    mod_def *m2 = find_module(init_atom_check("m2", 0), 1);
    for (TAGGED clause : TermReader::clauses(p.w, "attr_unify_hook(A, V) :- note(hook(A, V))."))
      p.add_clause(clause, m2);
  }
};

}  // namespace

TEST_F(Events, AWakeUpIsNotLostBeforeAnInlineControlConstruct)
{
  EXPECT_EQ(p.run("freeze(X, fail), X = 1, (true ; true)"), 0);
  ASSERT_EQ(p.run("freeze(X, note(woken(X))), X = 1, (true ; true)"), 1);
  EXPECT_EQ(log(), "woken(1)");
  /* The same in a clause body, where = runs inline: the wake-up comes before the next goal. */
  p.consult("w(X) :- freeze(X, note(woken)), note(before), X = 1, ( note(after) ; true ). "
            "v(X) :- freeze(X, fail), X = 1, ( true ; true ).");
  ASSERT_EQ(p.run("w(_)"), 1);
  EXPECT_EQ(log(), "woken(1),before,woken,after");
  EXPECT_EQ(p.run("v(_)"), 0);
}

TEST_F(Events, AWakeUpAtTheEndOfAQueryRunsBeforeItReturns)
{
  ASSERT_EQ(run_goal(goal("freeze(X, fail)")), 1);
  TAGGED x = var("X");
  EXPECT_EQ(run_goal(p.compound("=", {x, MakeSmall(1)})), 0);
  EXPECT_TRUE(IsVar(deref(x))) << "the failed query undid its binding";
  ASSERT_EQ(run_goal(goal("freeze(Y, note(woken))")), 1);
  EXPECT_EQ(run_goal(p.compound("=", {var("Y"), MakeSmall(2)})), 1);
  EXPECT_EQ(log(), "woken");
}

TEST_F(Events, HooksRunOncePerBindingAndNotAfterBacktracking)
{
  ASSERT_EQ(p.run("put_attr(X, m2, a), (X = 1, note(one), fail ; note(two))"), 1);
  EXPECT_EQ(log(), "hook(a,1),one,two");
}

TEST_F(Events, TheSolversOwnBindingWakesTheOtherModulesOnce)
{
  /* clpfd has a slot and no hook here; m2 gets a slot when its attribute is first put. */
  ASSERT_EQ(p.run("put_attr(X, clpfd, dom), put_attr(X, m2, a), queue5_bind(X, 7), note(after)"),
            1);
  EXPECT_EQ(log(), "hook(a,7),after");
  EXPECT_NE(find_module(init_atom_check("m2", 0), 0)->attr_no, 0u);
}

TEST_F(Events, APostedEventRunsAtTheNextCall)
{
  qx_event_hook = note_event_hook;
  qx_request_event(p.w);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_EQ(log(), "event");
  ASSERT_EQ(p.run("note(a), post_event, note(b)"), 1);
  EXPECT_EQ(log(), "event,a,event,b");
  /* Posted at the end of a query: it runs before the query returns. */
  ASSERT_EQ(p.run("post_event"), 1);
  EXPECT_EQ(log(), "event,a,event,b,event");
}

TEST_F(Events, AWakeUpSurvivesACollectionInTheEventHook)
{
  qx_event_hook = collecting_hook;
  bool stress = qx_gc_stress;
  qx_gc_stress = true; /* the freed heap trapped: a goal left behind shows */
  int r = p.run("freeze(X, note(woken(X))), bind_posting(X, 1), note(after)");
  qx_gc_stress = stress;
  ASSERT_EQ(r, 1) << exception();
  EXPECT_EQ(log(), "woken(1),event,after");
}

TEST_F(Events, EventsWaitWhileDisabled)
{
  qx_event_hook = note_event_hook;
  p.w->events_disabled = 1;
  qx_request_event(p.w);
  ASSERT_EQ(p.run("note(a)"), 1);
  EXPECT_EQ(log(), "a");
  /* A clause body checks before each of its goals: each check finds the event still waiting. */
  p.consult("body :- note(x), ( note(y) -> ! ; true ), \\+ fail, note(z).");
  ASSERT_EQ(p.run("body"), 1);
  EXPECT_EQ(log(), "a,x,y,z");
  log_text = "a";
  p.w->events_disabled = 0;
  ASSERT_EQ(p.run("note(b)"), 1);
  EXPECT_EQ(log(), "a,event,b");
  EXPECT_EQ(p.w->heap_warn_soft, p.w->heap_warn) << "nothing pending: the soft limit is back";
}

TEST_F(Events, PassingTheHeapWarningMakesRoomAndRestoresTheSoftLimit)
{
  qx_eg.current_gcmode =
      atom_off; /* the growth path: what is made here is garbage to a collection */
  TAGGED *fence = p.w->stack_start;
  ASSERT_EQ(p.run("eat, limits_ok"), 1);
  EXPECT_GT(p.w->stack_start, fence);
}

TEST_F(Events, BacktrackingIntoAQueryChecksEventsOnEntry)
{
  qx_event_hook = note_event_hook;
  definition *call1 = find_definition(qx_eg.prolog_module, MakeFunctor(atom_call, 1), nullptr, 0);
  uint32_t base = qx_node_offset(p.w, p.w->node_);
  p.w->term[0] = goal("(note(first) ; note(second))");
  ASSERT_EQ(do_wam(p.w, 3, call1), 1);
  qx_request_event(p.w);
  ASSERT_EQ(do_wam(p.w, 0, call1), 1);
  EXPECT_EQ(log(), "first,event,second");
  EXPECT_EQ(do_wam(p.w, 0, call1), 0);
  qx_cut_to(p.w, qx_offset_node(p.w, base));
}
