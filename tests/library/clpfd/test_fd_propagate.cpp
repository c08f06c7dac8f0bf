/* Propagation levels, queues, waking and the loop, driven through the clpfd predicates of a real
 * engine with test globals in the dispatch table. */
#include <deque>
#include <random>
#include <set>

#include "fd_prop_env.h"
#include "gc.h"
#include "wam_internal.h"

namespace {

/* A heap record of the given functor whose third argument is '$mutable'(status, 0) and whose
 * fourth is an unbound variable; the caller made room. */
TAGGED make_record(worker *w, TAGGED functor, uint32_t status)
{
  uint32_t arity = Arity(functor);
  TAGGED *r = w->global_top;
  w->global_top += arity + 4;
  r[0] = functor;
  for (uint32_t i = 1; i <= arity; i++) r[i] = MakeSmall((int32_t)i);
  r[3] = MakeStr(r + arity + 1);
  r[4] = MakeRef(r + 4);
  r[arity + 1] = functor_mutable2;
  r[arity + 2] = MakeSmall((int32_t)status);
  r[arity + 3] = MakeSmall(0);
  return MakeStr(r);
}

std::vector<TAGGED> daemon_log;
int log_daemon(ORVALIS_API_STRUCT *, worker *, void *, TAGGED *attr_ref, TAGGED)
{
  daemon_log.push_back(*attr_ref);
  return 1;
}
alignas(8) daemon_frame log_block = {nullptr, log_daemon};

/* A propagator that leaves the overflow flag raised without checking it itself. */
void unchecked_overflow(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                        QX_term_ref actions)
{
  fd_state(api)->fd_overflow = 1;
  fd_ref_put(api, state, fd_ref_get(api, state0));
  fd_ref_put(api, actions, atom_nil);
}

}  // namespace

/* Codes 0 to 9 at random against a model of the rings: daemons run first and oldest first,
 * then the lowest non-empty of queues 0 to 3 gives its front entry. */
TEST_F(FdPropTest, QueuesFollowADequeModelThroughGrowthAndWrapAround)
{
  qx_gc_off no_collection;
  call_overflow(w, 40000, 0);
  fd_begin(api, w);
  qx_restore_soft_limit(w);
  ASSERT_LT(w->global_top, w->heap_warn_soft);
  std::mt19937 rng(7);
  std::deque<TAGGED> model[5];
  daemon_log.clear();
  for (int step = 0; step < 3000; step++) {
    if (rng() % 5 < 3) {
      int code = (int)(rng() % 9);
      if (code == 8) code = 9;
      TAGGED e;
      if (code == 9) {
        e = make_record(w, MakeFunctor(atom_daemon, 5), 0);
        StrPtr(e)[2] = e; /* the attribute the daemon is shown: here the record itself */
        StrPtr(e)[5] = (TAGGED)(uintptr_t)&log_block + 3;
      } else {
        e = make_record(w, code < 2 ? MakeFunctor(atom_ix, 7) : MakeFunctor(atom_global, 5), 0);
      }
      fd_enqueue_general(api, w, e, code);
      std::deque<TAGGED> &q = model[code >> 1];
      if (code & 1)
        q.push_back(e);
      else
        q.push_front(e);
      if (code < 8) {
        ASSERT_EQ(fd_status(e) & FD_ST_QUEUED, FD_ST_QUEUED);
      }
      continue;
    }
    TAGGED out = 0;
    int r = fd_dequeue(api, w, &out);
    ASSERT_EQ(daemon_log, std::vector<TAGGED>(model[4].begin(), model[4].end()));
    model[4].clear();
    daemon_log.clear();
    int expected = 0;
    for (int i = 0; i < 4 && !expected; i++)
      if (!model[i].empty()) {
        expected = i == 0 ? 1 : 2;
        ASSERT_EQ(out, model[i].front()) << "step " << step;
        model[i].pop_front();
      }
    ASSERT_EQ(r, expected) << "step " << step;
  }
  /* A ring of 4 holds 3 entries; the 4th doubles it first. */
  fd_begin(api, w);
  propagator *p = fd()->current_propagator;
  for (int i = 0; i < 3; i++)
    fd_enqueue_general(api, w, make_record(w, MakeFunctor(atom_global, 5), 0), 3);
  EXPECT_EQ(p->queue[1].size, 4u);
  fd_enqueue_general(api, w, make_record(w, MakeFunctor(atom_global, 5), 0), 2);
  EXPECT_EQ(p->queue[1].size, 8u);
  EXPECT_EQ(entries().size(),
            4u + model[0].size() + model[1].size() + model[2].size() + model[3].size());
}

/* Levels follow the level mutable: a level made after a choicepoint goes, one popped after it
 * comes back, at the next kernel call; entries queued after it on an older level go too. With no
 * open level the loop answers 0 and pops nothing, and posting opens one. A choicepoint holding a
 * level-mutable entry of an unloaded instance names a level the new instance never made: no level.
 * A tell on an integer opens no level, a wake does. */
TEST_F(FdPropTest, LevelsAndEntriesFollowBacktracking)
{
  fd_test_global &g = add_test_global("t", 1);
  const struct {
    const char *goal, *results;
    int levels, entries;
  } rows[] = {
      {"'$fd_begin', ( '$fd_begin', fail ; true ), '$fd_evaluate_indexical'(_, R)", "0", 0, 0},
      /* the loop's pop undone: open again with no work, and $fd_global_enqueue's level */
      {"'$fd_begin', ( '$fd_evaluate_indexical'(_, R), fail ; true ), "
       "'$fd_global_enqueue'(global(a,b,'$mutable'(2,0),_,d))",
       "_", 2, 0},
      {"'$fd_evaluate_indexical'(_, 0), '$fd_evaluate_indexical'(_, R)", "0", 0, 0},
      /* a global posted on an open level under a choicepoint is gone once it is undone */
      {"'$fd_begin', ( '$fd_post_global'(t(X), s(_, 0), 0, t(X), [], _), fail ; true ), "
       "'$fd_begin'",
       "", 2, 0},
      {"'$fd_evaluate_indexical'(_, 0), '$fd_evaluate_indexical'(_, R)", "0", 0, 0},
      {"'$fd_evaluate_indexical'(_, R), '$fd_post_global'(t(X), s(_, 0), 0, t(X), [dom(X)], _)",
       "0", 1, 1},
      {"'$fd_evaluate_indexical'(_, R), '$fd_evaluate_indexical'(_, R2)", "00", 0, 0},
      {"'$fd_begin', ( '$fd_begin', unload_clpfd_resource, load_clpfd_resource, fail ; "
       "'$fd_evaluate_indexical'(_, R), '$fd_begin', '$fd_evaluate_indexical'(_, R2) )",
       "00", 0, 0},
      /* a bound integer changes nothing; but a wake opens a level */
      {"'$fd_in_set'(3, [[1|5]], 0), '$fd_in_interval'(3, 1, 5, 0)", "", 0, 0},
      {"'$fd_in_set'(3, [[1|5]], 1)", "", 1, 0},
      {"'$fd_evaluate_indexical'(_, R)", "0", 0, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.goal);
    ASSERT_EQ(go(r.goal), 1) << exception();
    api = instance_api();
    std::string goal = r.goal, results;
    for (const char *v : {"R)", "R2)"})
      if (goal.find(v) != std::string::npos) results += var(std::string(v, strlen(v) - 1));
    EXPECT_EQ(results, r.results);
    EXPECT_EQ(levels(), r.levels);
    EXPECT_EQ(entries().size(), (size_t)r.entries);
    if (r.levels == 0) {
      EXPECT_EQ(level_value(), MakeSmall(0));
    }
  }
  EXPECT_EQ(g.runs, 1);
}

/* A run that overflows ends the loop: failure in fail mode, the overflow action's exception in
 * error mode; Result 2 is for debugging mode and constraints with no native entry only. */
TEST_F(FdPropTest, OverflowEndsTheLoopAndResultTwoMeansProlog)
{
  consult_in("clpfd", "overflow_action(G) :- throw(overflowed(G)).");
  fd_test_global &g = add_test_global("t", 1);
  g.overflow = true;
  enter_global("ov", 1, &unchecked_overflow);
  /* the culprit is the constraint (argument 2 of global/5), not the goal (argument 5) */
  const std::string t = "'$fd_post_global'(t(X), s(_, 0), 0, goal_t(X), [], _), ",
                    ov = "'$fd_post_global'(ov(X), s(_, 0), 0, goal(X), [], _), ",
                    loop = "'$fd_evaluate_indexical'(G1, R)";
  const struct {
    std::string goal;
    const char *outcome; /* the exception, "failed", or R and C */
  } rows[] = {
      {t + loop, "overflowed(t(_))"},
      {"'$fd_overflow'(_, fail, _), " + t + loop, "failed"},
      {ov + loop, "failed"},
      {"'$fd_overflow'(_, error, _), " + ov + loop, "overflowed(ov(_))"},
      /* a constraint without a native entry, or any in debugging mode: handed back */
      {"'$fd_post_global'(u(X), s(_, 0), 0, u(X), [], G), " + loop + ", G1 == G", "2"},
      {"'$fd_debug'(_, on, _), " + t + loop + ", G1 = global(_, C, _, _, _)", "2 t(_)"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.goal);
    int rc = go(r.goal);
    std::string c = r.goal.find(" C,") != std::string::npos ? " " + var("C") : "";
    EXPECT_EQ(rc == 1 ? var("R") + c : rc == 0 ? "failed" : exception(), r.outcome);
  }
  EXPECT_EQ(g.runs, 2) << "run in the first two rows only";
}

/* Daemons run before queued globals; a global in two woken lists runs once; a running global
 * pruning its own variable is queued again only with status bit 32. */
TEST_F(FdPropTest, DaemonsFirstQueuedOnceAndSelfRequeue)
{
  fd_test_global &a = add_test_global("a", 1);
  fd_test_global &b = add_test_global("b", 1);
  a.daemon = true;
  ASSERT_EQ(go("'$fd_post_global'(a(X), s(_, 0), 0, a(X), [], _), "
               "'$fd_evaluate_indexical'(_, 0), '$fd_debug'(_, on, _), "
               "'$fd_post_global'(b(Y), s(_, 0), 0, b(Y), [], _), "
               "'$fd_in_interval'(X, 0, 5, 0), '$fd_evaluate_indexical'(G, 2), "
               "G = global(_, C, _, _, _), '$fd_debug'(_, off, _)"),
            1)
      << exception();
  EXPECT_EQ(var("C"), "b(_)");
  EXPECT_EQ(a.daemon_runs, 1);
  EXPECT_EQ(b.runs, 0);

  fd_test_global &c = add_test_global("c", 1);
  ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), "
               "'$fd_post_global'(c(X), s(_, 0), 0, c(X), [dom(X), min(X), minmax(X)], _), "
               "'$fd_evaluate_indexical'(_, 0), '$fd_in_interval'(X, 2, 9, 1), "
               "'$fd_evaluate_indexical'(_, 0)"),
            1)
      << exception();
  EXPECT_EQ(c.runs, 2);

  /* the prunings of a run are told whether it suspends or is entailed; one that declares its own
   * fixpoint is not queued again by them, but is by a later pruning */
  for (auto [status, outcome, fixpoint, runs] : {std::tuple{0, 0, false, 1},
                                                 {32, 0, false, 2},
                                                 {0, 1, false, 1},
                                                 {32, 0, true, 1},
                                                 {0, 0, true, 1}}) {
    std::string name =
        "s" + std::to_string(status) + "_" + std::to_string(outcome) + (fixpoint ? "_f" : "");
    fd_test_global &s = add_test_global(name.c_str(), 1);
    s.prunes = {{1, MakeSmall(1), MakeSmall(8)}};
    s.outcome = outcome;
    s.fixpoint = fixpoint;
    ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), '$fd_post_global'(" + name + "(X), s(_, 0), " +
                 std::to_string(status) +
                 ", t(X), [dom(X)], G), '$fd_evaluate_indexical'(_, 0), "
                 "'$fd_arg_attribute'(X, 0, v(_, _, '$mutable'(dom(S, _, _, _), _), _)), "
                 "G = global(_, _, '$mutable'(St, _), _, _)"),
              1)
        << exception();
    EXPECT_EQ(s.runs, runs) << name;
    EXPECT_EQ(var("S"), "[[1|8]]") << name;
    EXPECT_EQ(var("St"), std::to_string(2 + status)) << name << ": neither queued nor running";
    if (!fixpoint) continue;
    s.prunes.clear();
    ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), '$fd_post_global'(" + name + "(X), s(_, 0), " +
                 std::to_string(status) +
                 ", t(X), [dom(X)], _), '$fd_evaluate_indexical'(_, 0), "
                 "'$fd_in_interval'(X, 2, 9, 1), '$fd_evaluate_indexical'(_, 0)"),
              1)
        << exception();
    EXPECT_EQ(s.runs, runs + 2) << name << ": woken again after its run";
  }
  /* a daemon that queues its global again runs it */
  fd_test_global &r = add_test_global("r", 1);
  r.daemon = r.daemon_requeues = true;
  ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), '$fd_post_global'(r(X), s(_, 0), 0, r(X), [], _), "
               "'$fd_evaluate_indexical'(_, 0), '$fd_in_interval'(X, 0, 4, 1), "
               "'$fd_evaluate_indexical'(_, 0)"),
            1)
      << exception();
  EXPECT_EQ(r.daemon_runs, 1);
  EXPECT_EQ(r.runs, 2);
}

/* A status mutable that forwards to another (its Value a '$mutable'): waking reads and sets the
 * bits of the last one, so a global on the dom and val lists of a variable pruned, then fixed,
 * before the loop runs once, and ends neither queued nor running. */
TEST_F(FdPropTest, ForwardedStatusIsQueuedOnce)
{
  fd_test_global &f = add_test_global("fw", 1);
  QX_define_c_predicate(
      "forward_status", 1, "user",
      [](QX_term_ref goal, void *) {
        TAGGED m = deref(StrArg(deref(StrArg(deref(qx_w->fli_info.fli_stack_start[2 * goal]), 1)),
                                FD_ARG_STATUS));
        TAGGED *inner = qx_w->global_top;
        qx_w->global_top += 3;
        inner[0] = functor_mutable2, inner[1] = deref(StrArg(m, 1)), inner[2] = MakeSmall(0);
        StrPtr(m)[1] = MakeStr(inner);
        return 1;
      },
      nullptr);
  for (const char *keys : {"[dom(X), val(X)]", "[val(X), min(X)]"}) {
    ASSERT_EQ(go(std::string("'$fd_in_interval'(X, 0, 9, 0), '$fd_post_global'(fw(X), s(_, 0), 0, "
                             "t, ") +
                 keys +
                 ", G), '$fd_evaluate_indexical'(_, 0), forward_status(G), "
                 "'$fd_in_interval'(X, 1, 9, 1), '$fd_in_interval'(X, 3, 3, 0), "
                 "'$fd_evaluate_indexical'(_, 0), "
                 "G = global(_, _, '$mutable'('$mutable'(St, _), _), _, _)"),
              1)
        << keys << exception();
    EXPECT_EQ(f.runs, 2) << keys;
    EXPECT_EQ(var("St"), "2") << keys;
    f.runs = 0;
  }
}

/* Globals waiting at random on the five lists of one variable, a third of them entailed at their
 * first run: two bound changes wake the live ones and drop the dead entries (a list left empty
 * loses its mask bit), then fixing the variable wakes every live global once more, whichever lists
 * it waits on. The oracle counts the runs from the lists each change wakes. */
TEST_F(FdPropTest, FixingWakesEveryLiveGlobalOnce)
{
  const char *keys[] = {"dom(X)", "min(X)", "max(X)", "minmax(X)", "val(X)"};
  std::mt19937 rng(11);
  for (int round = 0; round < 24; round++) {
    std::string goal = "'$fd_in_interval'(X, 0, 99, 0), ";
    std::vector<std::pair<fd_test_global *, int>> expected;
    for (int k = 0; k < 8; k++) {
      std::string name = "fx" + std::to_string(round) + "_" + std::to_string(k), list;
      unsigned lists = 1 + rng() % 31;
      for (int i = 0; i < 5; i++)
        if (lists & (1u << i)) list += (list.empty() ? "" : ", ") + std::string(keys[i]);
      fd_test_global &g = add_test_global(name.c_str(), 1);
      g.outcome = rng() % 3 == 0;
      /* 0..99 to 10..90 wakes dom, min, max, minmax; to 20..90 dom, min, minmax; fixing all */
      expected.push_back({&g, g.outcome ? 1 : 2 + ((lists & 15) != 0) + ((lists & 11) != 0)});
      goal += "'$fd_post_global'(" + name + "(X), s(_, 0), 0, t(X), [" + list +
              "], _), '$fd_evaluate_indexical'(_, 0), ";
    }
    goal += "'$fd_in_interval'(X, 10, 90, 1), '$fd_evaluate_indexical'(_, 0), "
            "'$fd_in_interval'(X, 20, 90, 1), '$fd_evaluate_indexical'(_, 0), "
            "'$fd_in_interval'(X, 50, 50, 1), '$fd_evaluate_indexical'(_, 0)";
    ASSERT_EQ(go(goal), 1) << goal << exception();
    for (auto [g, runs] : expected) EXPECT_EQ(g->runs, runs) << goal;
  }
}

/* A variable with only clpfd's attribute is bound by the tell; one with another module's
 * attribute through queue 5 and the engine's wake-up, whose hook runs once. */
TEST_F(FdPropTest, FixedVariablesAreBoundAtOnceOrThroughTheEngine)
{
  consult_in("tm", "attr_unify_hook(A, V) :- assertz(hooked(A, V)).");
  ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), '$fd_in_interval'(X, 4, 4, 1), "
               "integer(X), '$fd_evaluate_indexical'(_, 0)"),
            1)
      << exception();
  EXPECT_EQ(var("X"), "4");
  ASSERT_EQ(go("put_attr(Y, tm, a), '$fd_in_interval'(Y, 0, 9, 0), "
               "'$fd_in_interval'(Y, 5, 5, 1), var(Y), "
               "'$fd_evaluate_indexical'(_, 0), true, tm:retract(hooked(A, V)), \\+ "
               "tm:hooked(_, _)"),
            1)
      << exception();
  EXPECT_EQ(var("Y") + var("A") + var("V"), "5a5");
}

/* The heap at the soft limit, also when a wake-up was just registered, ends the loop with 1 and
 * the level kept; the next call resumes. */
TEST_F(FdPropTest, SoftLimitAnswersOneAndKeepsTheLevel)
{
  fd_test_global &g = add_test_global("t", 1);
  QX_term_ref global = QX_new_term_ref();
  node *b = qx_push_node(w, qx_alt(QX_ALT_BARRIER, 0)); /* undone at the end: blocks go */
  for (int way = 0; way < 2; way++) {
    ASSERT_EQ(go("'$fd_post_global'(t(X), s(_, 0), 0, t(X), [], _)"), 1);
    TAGGED *saved = w->heap_warn_soft;
    if (way == 0) {
      w->heap_warn_soft = w->global_top;
    } else {
      call_overflow(w, 64, 0);
      TAGGED *v = w->global_top++;
      *v = MakeRef(v);
      put_attributes(MakeRef(v), atom_true, find_module(init_atom_check("tm", 0), 1));
      qx_attvar_bind(w, RefPtr(deref(MakeRef(v))), MakeSmall(1));
      ASSERT_EQ(w->heap_warn_soft, nullptr);
    }
    w->fli_info.excp_flag = 1;
    EXPECT_EQ(prolog_fd_evaluate_indexical_qxenv_multi_qx(api, global), 1) << way;
    EXPECT_EQ(g.runs, way);
    EXPECT_EQ(levels(), 1);
    TAGGED *taken[4];
    qx_wake_take(w, taken, 4);
    w->heap_warn_soft = saved;
    EXPECT_EQ(prolog_fd_evaluate_indexical_qxenv_multi_qx(api, global), 0);
    EXPECT_EQ(g.runs, way + 1);
    EXPECT_EQ(levels(), 0);
  }
  qx_restore_node(w, b);
  qx_pop_node(w);
  EXPECT_EQ(g.destroyed, 2);
}

namespace {

/* What `snap` saw at the newest choicepoint, for `undone` to compare after backtracking. */
struct snapshot {
  node *b;
  std::vector<TAGGED> heap;
  TAGGED *trail_top;
  TAGGED level;
  std::vector<TAGGED> entries;
  std::vector<std::string> shown; /* the entries written out, for after a collection */
  uint64_t collections;
  int checks = 0;
  std::vector<std::string> faults;
} snap;

}  // namespace

class FdBacktrackTest : public FdPropTest {
public:
  FdBacktrackTest()
  {
    snap = snapshot{};
    self = this;
    QX_define_c_predicate(
        "snap", 0, "user", [](QX_term_ref, void *) { return self->take(); }, nullptr);
    QX_define_c_predicate(
        "trail_once", 0, "user", [](QX_term_ref, void *) { return self->trail_once(); }, nullptr);
    QX_define_c_predicate(
        "undone", 0, "user", [](QX_term_ref, void *) { return self->undone(); }, nullptr);
  }
  static inline FdBacktrackTest *self;
  int take()
  {
    snap.b = w->node_;
    snap.heap.assign(w->heap_start, snap.b->global_top);
    snap.trail_top = snap.b->trail_top;
    snap.level = level_value();
    snap.entries = entries();
    snap.shown.clear();
    for (TAGGED e : snap.entries) snap.shown.push_back(TestProlog::show(e));
    snap.collections = qx_gc_statistics()->collections;
    return 1;
  }
  /* A mutable is saved at most once per choicepoint: no two value entries for one address above
   * the choicepoint's trail top. */
  int trail_once()
  {
    std::set<TAGGED> seen;
    for (TAGGED *t = w->trail_top; t > snap.trail_top;) {
      qx_trail_kind kind;
      t = qx_trail_step(t, &kind);
      if (kind == QX_TRAIL_MUTABLE && !seen.insert(t[0]).second) snap.faults.push_back("twice");
    }
    return 1;
  }
  int undone()
  {
    snap.checks++;
    if (w->trail_top != snap.trail_top) snap.faults.push_back("trail top");
    if (level_value() != snap.level) snap.faults.push_back("level mutable");
    if (qx_gc_statistics()->collections == snap.collections) {
      size_t n = snap.heap.size();
      if ((size_t)(w->global_top - w->heap_start) < n ||
          !std::equal(snap.heap.begin(), snap.heap.end(), w->heap_start))
        snap.faults.push_back("heap");
    }
    fd_sync(api, w);
    /* Work taken from the queues meanwhile is not given back; nothing queued since stays. A
     * collection moves the entries: then they are compared as written terms. */
    bool moved = qx_gc_statistics()->collections != snap.collections;
    std::multiset<std::string> before;
    for (size_t i = 0; i < snap.entries.size(); i++)
      before.insert(moved ? snap.shown[i] : std::to_string(snap.entries[i]));
    for (TAGGED e : entries()) {
      auto at = before.find(moved ? TestProlog::show(e) : std::to_string(e));
      if (at == before.end())
        snap.faults.push_back("queue entry made after the choicepoint");
      else
        before.erase(at);
    }
    return 1;
  }
};

/* Random tells, posts, runs, bare $fd_begin and blocks made and freed under a choicepoint, then
 * undone: the heap below its saved top is as it was, and so are the trail top, the level mutable
 * and the queues at the next kernel call. */
TEST_F(FdBacktrackTest, BacktrackingRestoresExactly)
{
  add_test_global("g0", 2);
  fd_test_global &g1 = add_test_global("g1", 2);
  g1.outcome = 1;
  add_test_global("gp", 2).prunes = {{1, MakeSmall(1), MakeSmall(19)}};
  add_test_global("gd", 2).daemon = true;
  std::mt19937 rng(11);
  const char *globals[] = {"g0", "g1", "gp", "gd"};
  auto x = [&] { return "X" + std::to_string(rng() % 4); };
  for (int round = 0; round < 40; round++) {
    std::string goal;
    for (int i = 0; i < 4; i++) goal += "'$fd_in_interval'(X" + std::to_string(i) + ", 0, 20, 0), ";
    goal += "'$fd_post_global'(gd(X0, X1), s(_, 0), 0, t, [dom(X0), val(X1)], _), ";
    goal += round % 2 ? "'$fd_begin', " : "'$fd_evaluate_indexical'(_, _), ";
    goal += "( snap";
    for (int op = 0, n = 4 + (int)(rng() % 8); op < n; op++) {
      std::string g;
      switch (rng() % 5) {
      case 0:
        g = "'$fd_in_interval'(" + x() + ", " + std::to_string(rng() % 4) + ", " +
            std::to_string(16 + rng() % 5) + ", " + std::to_string(rng() % 2) + ")";
        break;
      case 1: {
        std::string a = x(), b = x(), k = globals[rng() % 4];
        g = "'$fd_post_global'(" + k + "(" + a + ", " + b + "), s(_, 0), " +
            std::to_string(rng() % 2 * 32) + ", t, [dom(" + a + "), min(" + b + "), val(" + b +
            ")], _)";
        break;
      }
      case 2: g = "'$fd_evaluate_indexical'(_, _)"; break;
      case 3: g = "'$fd_begin'"; break;
      default: {
        std::string v = std::to_string(5 + rng() % 10);
        g = "'$fd_in_interval'(" + x() + ", " + v + ", " + v + ", 1)";
      }
      }
      goal += ", " + g; /* none fails: no choicepoint of its own under the snapshot's */
    }
    goal += ", trail_once, fail ; undone )";
    ASSERT_EQ(go(goal), 1) << goal << exception();
    ASSERT_TRUE(snap.faults.empty()) << goal << " " << snap.faults[0];
    drain();
  }
  EXPECT_EQ(snap.checks, 40);
}

/* Op 1 moves every entry by its argument and op 4 visits each; a real collection (ops 2 and 3)
 * keeps queued globals and relocates their entries. */
TEST_F(FdPropTest, ManagerHookFollowsTheHeap)
{
  add_test_global("t", 1);
  consult("junk :- functor(_, f, 200), functor(_, f, 200).");
  ASSERT_EQ(go("junk, '$fd_post_global'(t(X), s(_, 0), 0, t(X), [], _), junk, "
               "'$fd_post_global'(t(Y), s(_, 0), 0, t(Y), [], _)"),
            1)
      << exception();
  std::vector<TAGGED> before = entries();
  ASSERT_EQ(before.size(), 2u);
  fd_manager_hook(api, w, 1, (void *)(uintptr_t)64);
  std::vector<TAGGED> moved = entries();
  for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(moved[i], before[i] + 64);
  fd_manager_hook(api, w, 1, (void *)(uintptr_t)-64);
  EXPECT_EQ(entries(), before);
  EXPECT_EQ(fd_manager_hook(api, w, 9, nullptr), 0);
  EXPECT_EQ(entries(), before);

  uint64_t collections = qx_gc_statistics()->collections;
  ASSERT_EQ(go("junk, '$fd_post_global'(t(X), s(_, 0), 0, t(X), [], G), junk, "
               "'$fd_post_global'(t(Y), s(_, 0), 0, t(Y), [], G2), garbage_collect, "
               "'$fd_debug'(_, on, _), '$fd_evaluate_indexical'(_, 2), "
               "'$fd_evaluate_indexical'(_, 2), '$fd_evaluate_indexical'(H, 2), "
               "'$fd_evaluate_indexical'(H2, 2), '$fd_debug'(_, off, _), H == G, "
               "H2 == G2"),
            1)
      << exception();
  EXPECT_GT(qx_gc_statistics()->collections, collections);
  EXPECT_GT(qx_gc_statistics()->cells_collected, 0u);
}

/* Arguments of the wrong kind give type errors, never a crash; the kernel then still works. */
TEST_F(FdPropTest, BadArgumentsAreTypeErrors)
{
  fd_test_global &g = add_test_global("t", 1);
  g.prunes = {{1, MakeSmall(2), MakeSmall(3)}};
  consult_in("clpfd", "call_action(_).");
  std::mt19937 rng(3);
  const char *terms[] = {"_",
                         "a",
                         "1",
                         "[]",
                         "[a|_]",
                         "f(_)",
                         "'$mutable'(a, 0)",
                         "'$mutable'('$fdlists'(0, 0, [], [], [], [], []), 0)",
                         "global(a, b, c, d, e)",
                         "global(a, b, '$mutable'(2, 0), _, e)"};
  const char *natives[] = {"'$fd_enqueue_all'(A)", "'$fd_global_enqueue'(A)",
                           "'$fd_prune_and_enqueue'(A, B)", "'$fd_coref'(A)"};
  for (int i = 0; i < 2000; i++) {
    std::string goal = natives[rng() % 4];
    size_t a = goal.find("A"), b = goal.find("B");
    std::string tb = terms[rng() % 10];
    if (b != std::string::npos) goal.replace(b, 1, tb);
    goal.replace(a, 1, terms[rng() % 10]);
    int r = go("catch(" + goal + ", error(type_error(_, _), _), true)");
    ASSERT_GE(r, 0) << goal << exception();
  }
  drain();
  ASSERT_EQ(go("'$fd_post_global'(t(X), s(_, 0), 0, t(X), [dom(X)], _), "
               "'$fd_evaluate_indexical'(_, 0), '$fd_in_interval'(X, 0, 9, 0)"),
            1)
      << exception();
  EXPECT_EQ(g.runs, 1);
}

/* Actions: exit kills the global, a goal runs through clpfd:call_action/1 (its exception
 * reaches the caller), fail fails and is counted; the status loses running, and queued unless
 * bit 32. $fd_enqueue_all wakes a variable's lists; $fd_global_enqueue marks queued and running. */
TEST_F(FdPropTest, ActionsAndWakingNatives)
{
  fd_test_global &g = add_test_global("t", 1);
  consult_in("clpfd", "call_action(G) :- G.");
  ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 0), "
               "'$fd_post_global'(t(X), s(_, 0), 32, t(X), [dom(X)], G), "
               "'$fd_evaluate_indexical'(_, 0), get_attr(X, clpfd, v(_, _, _, L)), "
               "'$fd_enqueue_all'(L), '$fd_evaluate_indexical'(_, 0), "
               "'$fd_global_enqueue'(G), G = global(_, _, '$mutable'(S1, _), D, _), "
               "'$fd_prune_and_enqueue'([Y = 3, exit], G), "
               "G = global(_, _, '$mutable'(S2, _), _, _), '$fd_evaluate_indexical'(_, 0)"),
            1)
      << exception();
  EXPECT_EQ(g.runs, 2);
  EXPECT_EQ(var("S1") + " " + var("S2") + " " + var("D") + " " + var("Y"), "98 34 1 3");
  EXPECT_EQ(go("'$fd_post_global'(t(X), s(_, 0), 0, t(X), [], G), "
               "'$fd_prune_and_enqueue'([throw(oops)], G)"),
            -1);
  EXPECT_EQ(exception(), "oops");
  ASSERT_EQ(go("'$fd_statistics'(3, _), '$fd_post_global'(t(X), s(_, 0), 0, t(X), "
               "[], G), \\+ '$fd_prune_and_enqueue'([fail], G), '$fd_statistics'(3, F)"),
            1);
  EXPECT_EQ(var("F"), "1");
  drain();
}

/* An action goal that opens a level and backtracks over it leaves the level stack out of line
 * with the level mutable: the loop brings it back before its next dequeue, so the global queued
 * behind runs. */
TEST_F(FdPropTest, ActionGoalThatUndoesALevelLeavesTheQueueRunning)
{
  fd_test_global &a = add_test_global("a", 1);
  fd_test_global &b = add_test_global("b", 1);
  consult_in("clpfd", "call_action(G) :- G.\nreopen :- ('$fd_begin', fail ; true).");
  a.goal = QX_atom_from_string("reopen");
  ASSERT_EQ(go("'$fd_post_global'(a(X), s(_, 0), 0, a(X), [], _), "
               "'$fd_post_global'(b(X), s(_, 0), 0, b(X), [], _), '$fd_evaluate_indexical'(_, 0)"),
            1)
      << exception();
  EXPECT_EQ(a.runs, 1);
  EXPECT_EQ(b.runs, 1);
  drain();
}

/* An ix/7 record that names no indexical is an error when it reaches the loop, not dropped. */
TEST_F(FdPropTest, MalformedIndexicalRaisesASystemError)
{
  EXPECT_EQ(go("L = '$mutable'('$fdlists'(1, 1, [ix(i, a, '$mutable'(1, 0), _, b, c, d)], [], [], "
               "[], []), 0), '$fd_enqueue_all'(L), '$fd_evaluate_indexical'(_, _)"),
            -1);
  EXPECT_EQ(exception(), "error(system_error(malformed indexical record),"
                         "context(:(clpfd,/($fd_evaluate_indexical,2)),0))");
}
