/* Tells, exports and the single-variable natives on a real engine with the solver loaded: the
 * natives are called as the resource's predicates, exports are driven from C on variables kept in
 * term references, and every case also runs with the collector in its stress mode (a collection
 * at each heap check) when the suite does. */
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <tuple>

#include "fd_dom_model.h"
#include "fd_kernel_env.h"
#include "fd_sets.h"
#include "gc.h"
#include "unify.h"

using namespace fddom;
using fdmodel::tag;

namespace {

ORVALIS_API_STRUCT *the_api; /* the loaded instance, for probe/1 and note/1 */

QX_term_ref arg_ref(QX_term_ref goal, int i)
{
  QX_term_ref r = QX_new_term_ref();
  QX_get_arg(i, goal, r);
  return r;
}

/* What probe(X) saw: the domain record and its set, the trail top, or X's value. */
struct probe_record {
  TAGGED *dom = nullptr;
  Pairs set;
  uint32_t trail = 0;
  TAGGED value = 0;
  TAGGED size = 0; /* the record's Size */
  uint64_t collections = 0; /* addresses compare only while no collection ran */
};
std::vector<probe_record> probes;

int probe(QX_term_ref goal, void *)
{
  worker *w = fd_worker(the_api);
  probe_record r;
  TAGGED x = deref(*fd_ref_slot(the_api, arg_ref(goal, 1)));
  r.trail = qx_trail_index(w);
  r.collections = qx_gc_statistics()->collections;
  if (!IsVar(x)) {
    r.value = x;
  } else if (TAGGED attr = get_attributes(x, fd_state(the_api)->fd_module)) {
    r.dom = StrPtr(fd_attr_dom(attr));
    r.set = fdmodel::read(deref(r.dom[1]));
    r.size = deref(r.dom[4]);
  }
  probes.push_back(r);
  return 1;
}

/* note(T): records T, written canonically. */
std::vector<std::string> notes;
int note(QX_term_ref goal, void *)
{
  notes.push_back(TestProlog::show(*fd_ref_slot(the_api, arg_ref(goal, 1))));
  return 1;
}

class FdTell : public FdKernelTest {
protected:
  FdTell()
  {
    the_api = api;
    probes.clear();
    notes.clear();
    EXPECT_EQ(QX_define_c_predicate("probe", 1, "user", probe, nullptr), 1);
    EXPECT_EQ(QX_define_c_predicate("note", 1, "user", note, nullptr), 1);
  }

  /* Runs a goal that posts globals, noting `done` at its end, then backtracks over it all so that
   * the globals' blocks go; true when the goal got to its end. */
  bool go_undone(const std::string &text)
  {
    notes.clear();
    EXPECT_EQ(go("(" + text + ", note(done), fail ; true)"), 1) << exception();
    return !notes.empty() && notes.back() == "done";
  }

  /* ---- variables kept in term references, for exports driven from C ---- */

  struct fdvar {
    QX_term_ref attr, var;
  };
  /* A fresh variable with the domain, told directly. */
  fdvar make(const Pairs &dom)
  {
    fdvar v{QX_new_term_ref(), QX_new_term_ref()};
    for (int i = 0; i < 3; i++) w->term[i] = atom_nil;
    call_overflow(w, 600, 3);
    TAGGED *cell = w->global_top++;
    *cell = MakeRef(cell);
    fd_ref_put(api, v.var, MakeRef(cell));
    fd_ref_put(api, v.attr, fd_check_argument(api, w, MakeRef(cell), atom_inf, atom_sup, atom_sup));
    tell(v, dom);
    return v;
  }
  void slots(const fdvar &v)
  {
    w->term[3] = fd_ref_get(api, v.attr);
    w->term[4] = fd_ref_get(api, v.var);
  }
  void tell(const fdvar &v, const Pairs &dom)
  {
    slots(v);
    TAGGED set = atom_nil;
    for (size_t i = dom.size(); i-- > 0;) {
      TAGGED *c = (TAGGED *)fd_temp_alloc(api, w, 4 * sizeof(TAGGED));
      c[0] = MakeLst(c + 2);
      c[1] = set;
      c[2] = tag(dom[i].first);
      c[3] = tag(dom[i].second);
      set = MakeLst(c);
    }
    fd_tell(api, w, set);
  }
  /* The variable's domain, or its value as a one-value domain when bound. */
  Pairs domain(const fdvar &v)
  {
    TAGGED x = fd_ref_get(api, v.var);
    if (!IsVar(x)) return {{GetSmall(x), GetSmall(x)}};
    return fdmodel::read(deref(StrArg(fd_attr_dom(fd_ref_get(api, v.attr)), 1)));
  }
  void load(dvar *d, const fdvar &v)
  {
    dvar_init(d, fd_ref_slot(api, v.attr), fd_ref_slot(api, v.var));
  }
  /* The actions list of term slot 2, written canonically. */
  std::string actions() { return TestProlog::show(w->term[2]); }
};

/* ---- export ---- */

struct ExportCase {
  const char *what;
  Pairs loaded;
  std::vector<Pairs> fixes; /* fix_set steps on the view */
  Pairs prune;              /* a prune_set step after them */
  Pairs meanwhile;          /* told to the variable between loading and export; {} none */
};

TEST_F(FdTell, ExportTellsTheViewOrItsIntersectionWithADomainChangedMeanwhile)
{
  const ExportCase cases[] = {
      {"bounds, unchanged", {{0, 9}}, {{{2, 5}}}, {}, {}},
      {"bounds, changed", {{0, 9}}, {{{2, 5}}}, {}, {{4, 9}}},
      {"hole, unchanged", {{0, 9}}, {}, {{3, 4}}, {}},
      {"hole, changed", {{0, 9}}, {}, {{3, 4}}, {{0, 6}}},
      {"hole, changed to a subset", {{0, 9}}, {}, {{3, 4}}, {{6, 7}}},
      {"hole, changed to the hole", {{0, 9}}, {}, {{3, 4}}, {{3, 4}}},
      {"hole, changed to holes", {{0, 9}}, {}, {{3, 4}}, {{0, 1}, {4, 5}}},
      {"fixed, unchanged", {{0, 9}}, {{{7, 7}}}, {}, {}},
      {"fixed, still inside", {{0, 9}}, {{{7, 7}}}, {}, {{5, 9}}},
      {"fixed, now outside", {{0, 9}}, {{{3, 3}}}, {}, {{5, 9}}},
      {"fixed, fixed meanwhile", {{0, 9}}, {{{6, 6}}}, {}, {{6, 6}}},
      {"bounds of a domain with holes", {{0, 2}, {5, 9}}, {{{1, 6}}}, {}, {}},
      {"bounds of holes, changed", {{0, 2}, {5, 9}}, {{{1, 6}}}, {}, {{0, 1}, {6, 9}}},
      {"bounds, disjoint meanwhile", {{0, 9}}, {{{0, 3}}}, {}, {{5, 9}}},
      {"bounds, an interval with holes meanwhile", {{0, 9}}, {{{2, 8}}}, {}, {{0, 3}, {7, 9}}},
      {"infinite, cookie sup", {{0, SUP}}, {{{0, 5}}}, {}, {}},
      {"infinite, changed", {{INF, SUP}}, {{{INF, 5}}}, {}, {{0, SUP}}},
      {"set told, changed", {{0, 9}}, {{{0, 2}, {5, 9}}}, {{7, 7}}, {{1, 8}}},
      {"unchanged view", {{0, 9}}, {}, {}, {{2, 3}}},
  };
  for (const ExportCase &c : cases) {
    SCOPED_TRACE(c.what);
    fdvar v = make(c.loaded);
    w->numstack_end = nullptr;
    dvar d;
    load(&d, v);
    Pairs view = c.loaded;
    for (const Pairs &s : c.fixes) {
      ASSERT_GE(dvar_fix_set(api, &d, fdmodel::build(p, s), w), 0);
      view = combine(view, s, 0);
    }
    if (!c.prune.empty()) {
      ASSERT_GE(dvar_prune_set(api, &d, fdmodel::build(p, c.prune), w), 0);
      view = combine(view, c.prune, 1);
      dvar_pruning_done(api, w, &d);
    }
    Pairs now = c.loaded;
    if (!c.meanwhile.empty()) {
      tell(v, c.meanwhile);
      now = c.meanwhile;
    }
    bool changed = view != c.loaded;
    Pairs want = changed ? combine(now, view, 0) : now;
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    dvar_export_do(api, w, &d);
    EXPECT_TRUE(d.flags & DV_EXPORTED);
    if (want.empty()) {
      EXPECT_EQ(actions(), "[fail]");
      EXPECT_EQ(domain(v), now) << "a failed export tells nothing";
    } else {
      EXPECT_EQ(actions(), "[]");
      EXPECT_EQ(domain(v), want);
    }
    if (want != now && want.size() == 1 && want[0].first == want[0].second) {
      EXPECT_FALSE(IsVar(fd_ref_get(api, v.var))) << "fixed, with only clpfd's attribute: bound";
    }
  }
}

/* An indexical's export of bounds over a domain of several intervals tells the values within them
 * straight to the heap: unchanged bounds build nothing and keep the record, bounds that leave one
 * interval tell an interval. */
TEST_F(FdTell, IndexicalExportOfBoundsOverADomainWithHoles)
{
  const struct {
    int32_t lo, hi;
    Pairs want;
  } cases[] = {{0, 9, {{0, 2}, {5, 6}, {8, 9}}}, {1, 8, {{1, 2}, {5, 6}, {8, 8}}},
               {3, 7, {{5, 6}}},
               /* a raised minimum keeping the maximum, inside an interval, in a hole, at one
                * interval left */
               {6, 9, {{6, 6}, {8, 9}}},   {1, 9, {{1, 2}, {5, 6}, {8, 9}}},
               {3, 9, {{5, 6}, {8, 9}}},   {7, 9, {{8, 9}}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.lo);
    fdvar v = make({{0, 2}, {5, 6}, {8, 9}});
    w->numstack_end = nullptr;
    dvar d;
    load(&d, v);
    ASSERT_GE(dvar_fix_interval_t(&d, MakeSmall(c.lo), MakeSmall(c.hi)), 0);
    TAGGED dom = fd_attr_dom(fd_ref_get(api, v.attr));
    TAGGED *top = w->global_top;
    uint64_t collections = qx_gc_statistics()->collections;
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    dvar_export_ix(api, w, &d, 0);
    EXPECT_EQ(domain(v), c.want);
    EXPECT_EQ(deref(StrArg(fd_attr_dom(fd_ref_get(api, v.attr)), 4)),
              MakeSmall((int32_t)count(c.want)));
    if (c.lo == 0 && collections == qx_gc_statistics()->collections) { /* a collection moves both */
      EXPECT_EQ(w->global_top, top) << "nothing built";
      EXPECT_EQ(fd_attr_dom(fd_ref_get(api, v.attr)), dom);
    }
  }
}

/* Random views of domains with holes, narrow and wide (a wide one is measured before it is copied
 * to the heap), pruned and exported both ways: the told set and its Size are the model's. */
TEST_F(FdTell, ExportsOfRandomViewsMatchTheModel)
{
  std::mt19937 rng(2024);
  auto pick = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  for (int round = 0; round < 400; round++) {
    int32_t span = round % 2 ? 16 : 600, gap = span / 8 + 1;
    Pairs dom;
    for (int32_t at = pick(0, gap); at <= span; at += pick(2, gap + 1))
      dom.push_back({at, at = std::min(span, at + pick(0, gap))});
    SCOPED_TRACE(testing::Message() << "round " << round << " from " << fddom::show(dom));
    fdvar v = make(dom);
    w->numstack_end = nullptr;
    dvar d;
    load(&d, v);
    Pairs want = dom;
    int mask = 0;
    for (int step = pick(1, 3); step > 0 && mask >= 0; step--) { /* a value; an interval */
      int32_t a = pick(0, span), b = step % 2 ? a : pick(a, span);
      mask = step % 2 ? dvar_prune_interval_t(api, &d, MakeSmall(a), MakeSmall(a), w)
                      : dvar_fix_interval_t(&d, MakeSmall(a), MakeSmall(b));
      want = combine(want, {{a, b}}, step % 2);
    }
    ASSERT_EQ(mask < 0, want.empty());
    if (want.empty()) continue;
    dvar_pruning_done(api, w, &d);
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    round % 3 ? dvar_export_do(api, w, &d) : dvar_export_ix(api, w, &d, 0);
    EXPECT_EQ(actions(), "[]");
    EXPECT_EQ(domain(v), want);
    if (IsVar(fd_ref_get(api, v.var))) {
      EXPECT_EQ(deref(StrArg(fd_attr_dom(fd_ref_get(api, v.attr)), 4)),
                MakeSmall((int32_t)count(want)));
    }
  }
}

/* Two views of one variable pruned at random and exported in turn: the first export replaces the
 * record the second was loaded from when a choicepoint made it old, or a collection moves it; the
 * second export finds the current record all the same and tells the intersection of the views. */
TEST_F(FdTell, ViewsOfOneVariableExportedInTurnTellTheirIntersection)
{
  std::mt19937 rng(77);
  auto pick = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  int moved = 0;
  for (int round = 0; round < 300; round++) {
    int32_t span = round % 4 < 2 ? 16 : 600, gap = span / 8 + 1;
    Pairs dom;
    for (int32_t at = pick(0, gap); at <= span; at += pick(2, gap + 1))
      dom.push_back({at, at = std::min(span, at + pick(0, gap))});
    Pairs view[2] = {dom, dom};
    SCOPED_TRACE(testing::Message() << "round " << round << " from " << fddom::show(dom));
    fdvar v = make(dom);
    std::optional<fd_undo_scope> old;
    if (round % 2) old.emplace(w);
    w->numstack_end = nullptr;
    dvar d[2];
    for (int k = 0; k < 2; k++) load(&d[k], v);
    for (int k = 0; k < 2; k++) { /* a value removed, or an interval kept */
      int32_t a = pick(0, span), b = pick(0, 1) ? a : pick(a, span);
      int mask = a == b ? dvar_prune_interval_t(api, &d[k], MakeSmall(a), MakeSmall(a), w)
                        : dvar_fix_interval_t(&d[k], MakeSmall(a), MakeSmall(b));
      view[k] = combine(view[k], {{a, b}}, a == b);
      if (mask > 0) dvar_pruning_done(api, w, &d[k]);
    }
    if (view[0].empty() || view[1].empty()) continue;
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    if (round % 3 == 0) qx_gc_collect(w, 5);
    dvar_export_do(api, w, &d[0]);
    moved += fd_attr_dom(fd_ref_get(api, v.attr)) != d[1].record;
    dvar_export_do(api, w, &d[1]);
    Pairs want = combine(view[0], view[1], 0);
    EXPECT_EQ(actions(), want.empty() ? "[fail]" : "[]");
    EXPECT_EQ(domain(v), want.empty() ? view[0] : want);
  }
  EXPECT_GT(moved, 20) << "the second view's record was often replaced or moved";
}

/* An indexical's removal of one value against the general removal and export, on random domains
 * of every shape (one interval, lone values at the ends, holes, an infinite end, narrow and wide)
 * and values inside, at the ends, in holes and outside: the same domain and Size, and a change
 * mask naming the bounds that moved. */
TEST_F(FdTell, ValueRemovalMatchesTheGeneralRemoval)
{
  std::mt19937 rng(35);
  auto pick = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  for (int round = 0; round < (qx_gc_stress ? 200 : 800); round++) {
    Pairs dom;
    int32_t scale = round % 4 == 3 ? 40 : 1; /* wide: v far above the minimum */
    for (int32_t at = pick(0, 2); at <= 12; at += pick(2, 4)) {
      int32_t end = std::min(12, at + pick(0, 3));
      dom.push_back({at * scale, end * scale});
      at = end;
    }
    if (round % 10 == 0) dom.front().first = INF;
    if (round % 10 == 1) dom.back().second = SUP;
    int32_t v = pick(-1, 13 * scale);
    SCOPED_TRACE(testing::Message() << "removing " << v << " from " << fddom::show(dom));
    fdvar fast = make(dom), general = make(dom);
    w->numstack_end = nullptr;
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    dvar d;
    load(&d, general);
    int want = dvar_prune_interval_t(api, &d, MakeSmall(v), MakeSmall(v), w);
    if (want > 0) dvar_export_ix(api, w, &d, 0);
    int mask =
        dvar_remove_value_ix(api, w, StrPtr(fd_attr_dom(fd_ref_get(api, fast.attr))),
                             fd_ref_slot(api, fast.attr), fd_ref_slot(api, fast.var), MakeSmall(v));
    ASSERT_EQ(mask < 0, want < 0);
    if (want < 0) continue;
    Pairs after = domain(fast);
    EXPECT_EQ(after, domain(general));
    int moved = after == dom ? 0
                             : FD_WAKE_DOM | (after.front().first != dom.front().first ? 2 : 0) |
                                   (after.back().second != dom.back().second ? 4 : 0);
    EXPECT_EQ(mask & 7, moved);
    if (IsVar(fd_ref_get(api, fast.var)) && round % 10 > 1) {
      EXPECT_EQ(deref(StrArg(fd_attr_dom(fd_ref_get(api, fast.attr)), 4)),
                MakeSmall((int32_t)count(after)));
    }
  }
}

/* Views loaded together and exported one after the other: an export may collect the heap, and the
 * views not yet exported still tell what they were pruned to. */
TEST_F(FdTell, ViewsExportedInTurnSurviveTheCollectionsOfEarlierExports)
{
  fdvar a = make({{0, 2}, {5, 9}}), b = make({{0, 9}}), c = make({{0, 9}}), e = make({{0, 9}});
  w->numstack_end = nullptr;
  dvar da, db, dc, de, copy, whole;
  load(&da, a);
  load(&whole, a); /* unchanged: its set is the heap set of the record */
  load(&db, b);
  load(&dc, c);
  load(&de, e);
  ASSERT_EQ(dvar_fix_interval_t(&da, MakeSmall(1), MakeSmall(6)), 7);
  ASSERT_EQ(dvar_prune_interval_t(api, &db, MakeSmall(3), MakeSmall(4), w), 1);
  ASSERT_EQ(dvar_fix_interval_t(&dc, MakeSmall(4), MakeSmall(4)), 15);
  dvar_init_temp(&copy, MakeSmall(0), MakeSmall(9));
  dvar_assign(api, &copy, &whole, w);
  de.flags = copy.flags | DV_SET_TOLD;
  de.min = copy.min;
  de.max = copy.max;
  de.set = copy.set;
  tell(a, {{0, 1}, {5, 9}}); /* meanwhile: the set the views loaded is garbage now */
  w->term[0] = w->term[1] = w->term[2] = atom_nil;
  for (dvar *d : {&dc, &db, &da, &de}) dvar_export_do(api, w, d);
  EXPECT_EQ(actions(), "[]");
  EXPECT_EQ(domain(a), (Pairs{{1, 1}, {5, 6}}));
  EXPECT_EQ(domain(b), (Pairs{{0, 2}, {5, 9}}));
  EXPECT_EQ(domain(c), (Pairs{{4, 4}}));
  EXPECT_EQ(domain(e), (Pairs{{0, 2}, {5, 9}}));
}

TEST_F(FdTell, ExportInDebuggingModeListsTheActionsAndTellsNothing)
{
  struct Case {
    Pairs fix;
    const char *action; /* X stands for the variable */
  } cases[] = {
      {{{2, 5}}, "in_set(_,[[2|5]])"},
      {{{3, 3}}, "=(_,3)"},
      {{{0, 2}, {5, 9}}, "in_set(_,[[0|2],[5|9]])"},
  };
  fd()->debugging = 1;
  for (const Case &c : cases) {
    fdvar v = make({{0, 9}});
    dvar d;
    load(&d, v);
    ASSERT_GT(dvar_fix_set(api, &d, fdmodel::build(p, c.fix), w), 0);
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    dvar_export_do(api, w, &d);
    EXPECT_EQ(actions(), std::string("[") + c.action + "]");
    EXPECT_EQ(domain(v), (Pairs{{0, 9}}));
  }
  /* X = Y as a goal action in debugging mode, a unification otherwise */
  fdvar x = make({{0, 9}}), y = make({{5, 15}});
  dvar dx, dy;
  load(&dx, x);
  load(&dy, y);
  w->term[2] = atom_nil;
  dvar_export_equal(api, w, &dx, &dy);
  EXPECT_EQ(actions(), "[call(=(_,_))]");
  dvar_export_leqc(api, w, &dx, &dy, -4);
  dvar *both[] = {&dx, &dy};
  dvar_export_alldiff(api, w, both, 2);
  EXPECT_EQ(actions(), "[call(:(clpfd,all_distinct([_,_]))),call(:(clpfd,t=<u+c(_,_,-4))),"
                       "call(=(_,_))]");
  fd()->debugging = 0;
  w->term[2] = atom_nil;
  dvar_export_equal(api, w, &dx, &dy);
  EXPECT_EQ(actions(), "[]");
  EXPECT_EQ(deref(fd_ref_get(api, x.var)), deref(fd_ref_get(api, y.var)));
  dvar_export_equal(api, w, &dx, &dy); /* aliases now: nothing to do */
  EXPECT_EQ(actions(), "[]");
  /* the binding registered a wake-up that clpfd's Prolog half, absent here, would run */
  TAGGED *woken[4];
  EXPECT_EQ(qx_wake_take(w, woken, 4), 1u);
  w->wake_count = 0;
  qx_restore_soft_limit(w);
}

TEST_F(FdTell, ExportDoneAddsTheOutcomeAndReportsOverflow)
{
  QX_term_ref out = QX_new_term_ref();
  /* with the overflow flag raised, in fail mode, the native fails */
  for (auto [outcome, overflow, want] :
       {std::tuple{1, 0, "[exit]"}, {0, 0, "[]"}, {-1, 0, "[fail]"}, {0, 1, "[]"}}) {
    w->term[0] = w->term[1] = w->term[2] = atom_nil;
    fd()->overflowing = 0;
    fd()->fd_overflow = overflow;
    fd_worker(api)->fli_info.excp_flag = 1;
    dvar_export_done(api, w, out, outcome);
    EXPECT_EQ(TestProlog::show(fd_ref_get(api, out)), want);
    EXPECT_EQ(fd_worker(api)->fli_info.excp_flag, !overflow) << outcome;
  }
  fd()->fd_overflow = 0;
  fd_worker(api)->fli_info.excp_flag = 1;
}

/* ---- tells ---- */

/* The direct tells from C: masks in the waking encoding, Size, a set that lies on the heap where
 * nothing but the caller's local reaches it, and a tell of the current domain answering 0. */
TEST_F(FdTell, DirectTellsSetTheDomainAndAnswerTheChange)
{
  struct Case {
    Pairs from, to;
    int mask; /* 0: nothing changed */
    TAGGED size;
  } cases[] = {
      {{{0, 9}}, {{3, 3}}, 1 | 2 | 4 | 8 | 16, MakeSmall(1)},
      {{{0, 9}}, {{0, 0}}, 1 | 4 | 8 | 16, MakeSmall(1)},
      {{{0, 9}}, {{2, 9}}, 1 | 2 | 8, MakeSmall(8)},
      {{{0, 9}}, {{0, 4}}, 1 | 4 | 8, MakeSmall(5)},
      {{{0, 9}}, {{0, 3}, {5, 9}}, 1, MakeSmall(9)},
      {{{0, 9}}, {{1, 3}, {5, 8}}, 1 | 2 | 4 | 8, MakeSmall(7)},
      {{{INF, SUP}}, {{INF, 0}, {2, SUP}}, 1, atom_sup},
      {{{INF, SUP}}, {{MIN, MAX}}, 1 | 2 | 4 | 8, atom_sup}, /* 2^29 values */
      {{{MIN, MAX}}, {{MIN, -1}, {1, MAX}}, 1, atom_sup},
      {{{MIN, MAX}}, {{MIN, -2}, {0, MAX}}, 1, atom_sup},
      {{{MIN, 0}}, {{MIN, -3}, {0, 0}}, 1, MakeSmall(QX_SMALL_MAX)},
      {{{0, 9}}, {{0, 9}}, 0, MakeSmall(10)},
      {{{4, 4}}, {{4, 4}}, 0, MakeSmall(1)},
      {{{0, 2}, {5, 9}}, {{0, 2}, {5, 9}}, 0, MakeSmall(8)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(show(c.from) + " to " + show(c.to));
    fdvar v = make(c.from);
    slots(v);
    w->numstack_end = nullptr;
    call_overflow(w, 200, 5);
    TAGGED set = fdmodel::build(p, c.to); /* reached by no root */
    TAGGED *top = w->global_top;
    int mask;
    if (c.to.size() == 1 && c.to[0].first == c.to[0].second) {
      mask = fd_tell_value(api, w, tag(c.to[0].first));
    } else if (c.to.size() == 1) {
      int bounds = 1 | (c.to[0].first != c.from[0].first ? 2 | 8 : 0) |
                   (c.to[0].second != c.from.back().second ? 4 | 8 : 0);
      mask = fd_tell_interval(api, w, tag(c.to[0].first), tag(c.to[0].second), bounds);
    } else {
      mask = fd_tell(api, w, set);
    }
    EXPECT_EQ(mask, c.mask);
    EXPECT_EQ(domain(v), c.to);
    EXPECT_EQ(StrArg(fd_attr_dom(fd_ref_get(api, v.attr)), 4), c.size);
    if (c.mask == 0) {
      EXPECT_EQ(w->global_top, top) << "nothing built";
    }
  }
  /* a value or interval beyond the small integers is an overflow and tells nothing */
  fdvar v = make({{0, 9}});
  slots(v);
  for (bool value : {true, false}) {
    fd()->fd_overflow = 0;
    EXPECT_EQ(value ? fd_tell_value(api, w, atom_sup)
                    : fd_tell_interval(api, w, atom_sup, atom_sup, 1),
              0);
    EXPECT_EQ(fd()->fd_overflow, 1u);
    EXPECT_EQ(domain(v), (Pairs{{0, 9}}));
  }
  fd()->fd_overflow = 0;
}

TEST_F(FdTell, TellsChangeANewRecordInPlaceAndCopyAnOldOneThatUndoRestores)
{
  ASSERT_EQ(go("'$fd_tell'(X, [[0|9]], R0), probe(X), '$fd_tell'(X, [[2|5]], R1), probe(X),"
               "( '$fd_tell'(X, [[3|3],[5|5]], 3), probe(X), '$fd_tell'(X, [[5|5]], 3), "
               "  probe(X), fail"
               "; probe(X) ),"
               "'$fd_tell'(X, [[2|5]], 0), probe(X)"),
            1)
      << exception();
  ASSERT_EQ(probes.size(), 6u);
  EXPECT_EQ(var("R0"), "7");
  EXPECT_EQ(var("R1"), "7");
  /* the same record, or a new one: known from the addresses while nothing moved the heap */
  auto same = [](const probe_record &a, const probe_record &b) {
    return a.collections != b.collections || a.dom == b.dom;
  };
  auto moved = [](const probe_record &a, const probe_record &b) {
    return a.collections != b.collections || a.dom != b.dom;
  };
  EXPECT_TRUE(same(probes[1], probes[0])) << "made since the newest choicepoint: in place";
  EXPECT_EQ(probes[1].set, (Pairs{{2, 5}}));
  EXPECT_TRUE(moved(probes[2], probes[1])) << "older than the choicepoint: a new record";
  EXPECT_EQ(probes[2].set, (Pairs{{3, 3}, {5, 5}}));
  EXPECT_GT(probes[2].trail, probes[1].trail) << "the replacement is trailed";
  EXPECT_TRUE(same(probes[3], probes[2])) << "the copy is new: in place again";
  EXPECT_EQ(probes[3].trail, probes[2].trail);
  EXPECT_EQ(probes[3].set, (Pairs{{5, 5}}));
  EXPECT_EQ(probes[4].set, (Pairs{{2, 5}})) << "backtracking restores the old record";
  EXPECT_TRUE(same(probes[4], probes[1]));
  EXPECT_EQ(probes[4].trail, probes[1].trail);
  EXPECT_EQ(probes[5].trail, probes[4].trail) << "telling the domain it has changes nothing";
  EXPECT_TRUE(same(probes[5], probes[4]));
}

/* Raising the minimum of a domain of several intervals shares the rest of its set: the tells
 * after it, in place or not, and backtracking leave the older sets whole. */
TEST_F(FdTell, RaisedMinimumSharesTheRestOfTheSet)
{
  ASSERT_EQ(go("'$fd_in_set'(X, [[0|2],[5|6],[8|9]], 0),"
               "( '$fd_in_interval'(X, 1, sup, 0), probe(X), '$fd_in_interval'(X, 6, sup, 0),"
               "  probe(X), '$fd_in_interval'(X, 7, sup, 0), probe(X), fail"
               "; probe(X) )"),
            1)
      << exception();
  const Pairs want[] = {{{1, 2}, {5, 6}, {8, 9}}, {{6, 6}, {8, 9}}, {{8, 9}}, {{0, 2}, {5, 6}, {8, 9}}};
  ASSERT_EQ(probes.size(), 4u);
  for (size_t i = 0; i < 4; i++) {
    EXPECT_EQ(probes[i].set, want[i]) << i;
    EXPECT_EQ(probes[i].size, MakeSmall((int32_t)count(want[i]))) << i;
  }
}

TEST_F(FdTell, TellOfTheDomainItHasChangesAndWakesNothing)
{
  fd_test_global &spy = add_test_global("spy", 1);
  ASSERT_TRUE(go_undone("'$fd_in_set'(X, [[0|3],[6|9]], 1), '$fd_evaluate_indexical'(_, 0),"
                        "'$fd_post_global'(spy(X), s(_, 0), 0, spy(X), [dom(X)], G),"
                        "'$fd_evaluate_indexical'(_, 0), probe(X),"
                        "'$fd_in_set'(X, [[0|3],[6|9]], 0), '$fd_in_interval'(X, inf, sup, 0),"
                        "'$fd_tell'(X, [[0|3],[6|9]], 0), '$fd_tell'(X, [[-5|20]], 0),"
                        "'$fd_in_set'(X, [[0|9]], 1), '$fd_evaluate_indexical'(_, 0), probe(X),"
                        "'$fd_in_interval'(X, 2, 8, 0), '$fd_evaluate_indexical'(_, 0)"));
  EXPECT_EQ(spy.runs, 2)
      << "posting ran it; the tells of its own domain woke nothing, a change did";
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_TRUE(probes[1].collections != probes[0].collections || probes[1].dom == probes[0].dom);
  EXPECT_EQ(spy.destroyed, spy.blocks);
}

/* daemons(X): notes the number of X's suspensions and, for the newest of its dom list, whether it
 * is a daemon/5 record that holds X's attribute itself and the block as a small-integer word. */
int daemons(QX_term_ref goal, void *)
{
  TAGGED attr =
      get_attributes(deref(*fd_ref_slot(the_api, arg_ref(goal, 1))), fd_state(the_api)->fd_module);
  TAGGED lists = deref(StrArg(deref(StrArg(fd_attr_last(attr), 4)), 1));
  std::string seen = std::to_string(GetSmall(deref(StrArg(lists, 1))));
  TAGGED dom = deref(StrArg(lists, 3));
  if (IsLst(dom)) {
    TAGGED d = deref(LstHead(dom));
    bool daemon = IsStr(d) && StrFunctor(d) == MakeFunctor(atom_daemon, 5);
    seen += daemon && deref(StrArg(d, 2)) == attr ? " daemon of the attribute" : " other";
    TAGGED block = daemon ? StrArg(d, 5) : 0;
    if (IsSmall(block) && ((daemon_frame *)(uintptr_t)(block - 3))->daemon)
      seen += " with its block";
  }
  notes.push_back(seen);
  return 1;
}

/* A daemon is linked for a variable of a running global, none for a fixed one; a change of the
 * variable runs it. */
TEST_F(FdTell, DaemonsAreAttachedToVariablesThatAreNotFixed)
{
  ASSERT_EQ(QX_define_c_predicate("daemons", 1, "user", daemons, nullptr), 1);
  fd_test_global &spy = add_test_global("spy", 2);
  spy.daemon = true;
  ASSERT_TRUE(go_undone("'$fd_in_interval'(X, 0, 9, 0), '$fd_tell'(Y, [[3|3]], _),"
                        "'$fd_post_global'(spy(X, Y), s(_, 0), 0, spy(X, Y), [], _),"
                        "'$fd_evaluate_indexical'(_, 0), daemons(X), daemons(Y),"
                        "'$fd_in_interval'(X, 2, 5, 0), '$fd_evaluate_indexical'(_, 0)"));
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0], "1 daemon of the attribute with its block");
  EXPECT_EQ(notes[1], "0");
  EXPECT_EQ(spy.daemon_runs, 1);
  EXPECT_EQ(spy.destroyed, 1);
}

TEST_F(FdTell, InSetAndInIntervalOnIntegersAndVariables)
{
  struct Case {
    const char *goal;
    int rc;
    const char *x; /* X afterwards, or the domain probed */
  } cases[] = {
      {"X = 3, '$fd_in_set'(X, [[1|5]], 0)", 1, "3"},
      {"'$fd_in_set'(7, [[1|5]], 1)", 0, ""},
      {"'$fd_in_set'(X, [], 0)", 0, ""},
      {"'$fd_in_set'(X, [[1|2],[4|sup]], 0), '$fd_in_set'(X, [[inf|0],[2|4]], 0)", 1,
       "[ 2..2 4..4 ]"},
      {"'$fd_in_set'(X, [[1|3]], 0), '$fd_in_set'(X, [[5|6]], 0)", 0, ""},
      {"'$fd_in_set'(X, [[1|3]], 0), '$fd_in_set'(X, [[3|6]], 0)", 1, "3"},
      {"'$fd_in_interval'(X, 0, 9, 0), '$fd_in_interval'(X, 5, sup, 0)", 1, "[ 5..9 ]"},
      {"'$fd_in_interval'(X, 0, 9, 0), '$fd_in_interval'(X, 10, 12, 0)", 0, ""},
      {"X = 4, '$fd_in_interval'(X, 0, 9, 1)", 1, "4"},
      {"'$fd_in_interval'(4, 5, 9, 0)", 0, ""},
      {"'$fd_in_interval'(X, 3, 2, 0)", 0, ""},
      {"'$fd_in_interval'(X, inf, 268435455, 0), '$fd_in_interval'(X, 268435455, sup, 0)", 1,
       "268435455"},
      {"'$fd_tell'(Y, [[0|9]], R), '$fd_tell'(Y, [[5|20]], S), X = R-S", 1, "-(7,3)"},
      {"'$fd_tell'(3, [[0|9]], X)", 1, "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.goal);
    uint32_t failures = fd()->failures;
    probes.clear();
    std::string goal = std::string(c.goal) + (std::string(c.x).find('[') == 0 ? ", probe(X)" : "");
    ASSERT_EQ(go(goal), c.rc) << exception();
    if (c.rc == 0 && std::string(c.goal).find("$fd_tell") == std::string::npos) {
      EXPECT_EQ(fd()->failures, failures + 1) << "a failure is counted";
    }
    if (c.rc == 1 && std::string(c.x).find('[') == 0) {
      ASSERT_EQ(probes.size(), 1u);
      EXPECT_EQ(show(probes[0].set), c.x);
    } else if (c.rc == 1) {
      EXPECT_EQ(var("X"), c.x);
    }
  }
}

/* An interval told to a variable without an attribute makes its attribute at once: the same
 * attribute, outcome and pruning count as the tell into one made first (inf..sup), for every pair
 * of ends among the edges of the small integers. */
TEST_F(FdTell, FreshVariableIntervalIsTheGeneralTell)
{
  const std::string ends[] = {"inf", "-268435456", "-268435455", "-1", "0", "1", "9",
                              "268435454", "268435455", "sup"};
  const char *read = ", (var(V) -> get_attr(V, clpfd, A) ; A = V)";
  for (const std::string &lo : ends)
    for (const std::string &hi : ends) {
      std::string tell = "'$fd_in_interval'(V, " + lo + ", " + hi + ", 0)";
      SCOPED_TRACE(tell);
      uint32_t before = fd()->prunings;
      int fresh = go(tell + read);
      std::string attr = fresh == 1 ? var("A") : "";
      uint32_t counted = fd()->prunings - before;
      before = fd()->prunings;
      ASSERT_EQ(go("'$fd_arg_attribute'(V, 0, _), " + tell + read), fresh) << exception();
      if (fresh == 1) {
        EXPECT_EQ(var("A"), attr);
      }
      EXPECT_EQ(fd()->prunings - before, counted);
    }
}

TEST_F(FdTell, AttributesOfArguments)
{
  ASSERT_EQ(go("'$fd_arg_attribute'(X, 0, A), '$fd_arg_attribute'(X, 0, B), A == B,"
               "'$fd_arg_attribute'(7, 1, C), '$fd_in_interval'(Y, 0, 5, 0),"
               "'$fd_arg_attribute'(Y, 1, D),"
               "'$fd_check_arguments'(f(Y, 3, Z), f(D2, _, E)), D2 == D, E \\== D,"
               "'$fd_check_arguments'(atom, At), '$fd_check_arguments'([Y|Z], L),"
               "'$fd_dvar_list'([P, 4, Q], 0), '$fd_tell'(P, [[1|2]], _), '$fd_dvar_list'([], 1),"
               /* a well-formed attribute that put_attr/3 left is used */
               "put_attr(W, clpfd, v(1, 0, '$mutable'(dom([[1|2]], 1, 2, 2), 0), 0)),"
               "'$fd_in_interval'(W, 2, 9, 0), W == 2"),
            1)
      << exception();
  EXPECT_EQ(
      var("A"),
      "v(1,0,$mutable(dom([[inf|sup]],inf,sup,sup),0),$mutable($fdlists(0,0,[],[],[],[],[]),0))");
  EXPECT_EQ(var("C"), "v(1,0,$mutable(dom([[7|7]],7,7,1),0),0)");
  EXPECT_EQ(var("At"), "atom");
  const char *failing[] = {
      "'$fd_arg_attribute'(X, 1, _)" /* infinite and Finite */,
      "'$fd_arg_attribute'(a, 0, _)",
      "'$fd_arg_attribute'(f(x), 0, _)",
      "'$fd_arg_attribute'(1.5, 0, _)",
      "'$fd_arg_attribute'(1267650600228229401496703205376, 0, _)",
      "'$fd_dvar_list'([_, a], 0)",
      "'$fd_dvar_list'([_|_], 0)",
      "'$fd_dvar_list'(foo, 0)",
      "'$fd_dvar_list'([_], 1)",
      "'$fd_dvar_list'([1, 2.0], 0)",
      "L = [_|L], '$fd_dvar_list'(L, 0)",
      "'$fd_check_arguments'(f(_, g(1)), _)",
      /* clpfd's slot filled by put_attr/3 with what the kernel never makes */
      "put_attr(X, clpfd, foo), '$fd_in_set'(X, [[1|2]], 0)",
      "put_attr(X, clpfd, v(1, 0, a, 0)), '$fd_tell'(X, [[1|2]], _)",
      "put_attr(X, clpfd, v(1, 0, '$mutable'(dom(a, 1, 2, 2), 0), 0)), "
      "'$fd_in_interval'(X, 0, 1, 0)",
      "put_attr(X, clpfd, v(1, 0, '$mutable'(dom([[1|2]], 1, 3, 2), 0), 0)), "
      "'$fd_arg_attribute'(X, 0, _)",
      /* sets of several intervals: overlapping, unordered, ends unlike Min and Max, a variable */
      "put_attr(X, clpfd, v(1, 0, '$mutable'(dom(%, 1, 9, 5), 0), 0)), '$fd_arg_attribute'(X, 0, _)",
      "put_attr(X, clpfd, v(1, 0, '$mutable'(dom([[1|2]], 1, 2, 2), 0), '$mutable'(l, 0))), "
      "'$fd_dvar_list'([X], 0)",
      "M = '$mutable'(v(1, 0, M, 0), 0), put_attr(X, clpfd, v(1, 0, M, 0)), "
      "'$fd_check_arguments'(f(X), _)",
  };
  for (const char *goal : failing) {
    std::string text = goal;
    if (text.find('%') == std::string::npos) {
      EXPECT_EQ(go(text), 0) << goal << exception();
      continue;
    }
    for (const char *set : {"[[1|3],[3|9]]", "[[1|4],[5|9]]", "[[5|9],[1|3]]", "[[1|3],[5|8]]",
                            "[[2|3],[5|9]]", "[[1|3],[5|_]]", "[[1|3]|_]", "[[1|3],[6|9]|a]"}) {
      std::string bad = text;
      bad.replace(bad.find('%'), 1, set);
      EXPECT_EQ(go(bad), 0) << bad << exception();
    }
  }
  /* the same attribute with a well-formed set of several intervals is used */
  EXPECT_EQ(go("put_attr(X, clpfd, v(1, 0, '$mutable'(dom([[1|3],[7|8]], 1, 8, 5), 0), 0)),"
               "'$fd_arg_attribute'(X, 0, _), '$fd_in_interval'(X, 4, 7, 0), X == 7"),
            1)
      << exception();
}

/* Attributes whose set is a random list of near-intervals: well formed exactly when the set
 * checker takes the set without bound references and its ends are the record's Min and Max. */
TEST_F(FdTell, WellFormedAttributesAreThoseOfCheckedSets)
{
  std::mt19937 rng(99);
  const TAGGED odd[] = {atom_inf, atom_sup, atom_nil, MakeSmall(QX_SMALL_MIN),
                        MakeSmall(QX_SMALL_MAX)};
  for (int round = 0; round < 3000; round++) {
    call_overflow(w, 128, 0);
    TAGGED *c = w->global_top, set = atom_nil, *tail = &set;
    int32_t value = (int32_t)(rng() % 4) - 2;
    /* one to four intervals, some overlapping, adjacent or unordered */
    for (int n = (int)(rng() % 4); n >= 0; n--, c += 4) {
      c[0] = MakeLst(c + 2);
      c[2] = MakeSmall(value += (int32_t)(rng() % 4) - 1);
      c[3] = MakeSmall(value += (int32_t)(rng() % 3));
      if (rng() % 8 == 0) c[2 + rng() % 2] = odd[rng() % 5];
      if (rng() % 16 == 0) c[3] = MakeRef(c + 2);
      *tail = MakeLst(c);
      tail = &c[1];
    }
    *tail = rng() % 16 ? atom_nil : atom_inf;
    TAGGED first = deref(fds_interval(set)[0]), last = deref(c[-1]);
    TAGGED min = rng() % 8 ? first : MakeSmall(7), max = rng() % 8 ? last : MakeSmall(7);
    /* a one-interval set whose pair is the record's Min and Max words, as the tells make it */
    bool shared = c - LstPtr(set) == 4 && rng() % 2;
    if (shared) min = c[-2], max = c[-1], LstPtr(set)[0] = MakeLst(c + 10);
    /* v(1, 0, '$mutable'(dom(Set, Min, Max, sup), 0), 0) */
    c[0] = functor_v4, c[1] = MakeSmall(1), c[2] = MakeSmall(0), c[3] = MakeStr(c + 5);
    c[4] = MakeSmall(0), c[5] = functor_mutable2, c[6] = MakeStr(c + 8), c[7] = MakeSmall(0);
    c[8] = FD_FUNCTOR_DOM4, c[9] = set, c[10] = min, c[11] = max, c[12] = atom_sup;
    w->global_top = c + 13;
    if (round % 2) { /* with a suspension record: '$mutable'('$fdlists'(0, 0, [], ..., []), 0) */
      TAGGED *l = w->global_top;
      w->global_top += 11;
      l[0] = functor_mutable2, l[1] = MakeStr(l + 3), l[2] = MakeSmall(0);
      l[3] = MakeFunctor(atom_fdlists, 7), l[4] = l[5] = MakeSmall(0);
      std::fill(l + 6, l + 11, atom_nil);
      c[4] = MakeStr(l);
    }
    int32_t size;
    bool refs;
    if (shared) first = deref(min), last = deref(max);
    bool want = fds_check(set, &size, &refs) && !refs && min == first && max == last;
    /* Set, Min or Max sometimes through a bound reference: the same attribute */
    for (int k = 9; k <= (shared ? 9 : 11); k++)
      if (rng() % 6 == 0) *w->global_top = c[k], c[k] = MakeRef(w->global_top++);
    EXPECT_EQ(fd_well_formed_attribute(MakeStr(c)), want) << TestProlog::show(set);
    /* on a variable: fd_load_argument answers fd_check_argument's attribute and loads the view
     * dvar_init loads from it */
    TAGGED *var = w->global_top++;
    *var = MakeRef(var);
    put_attributes(MakeRef(var), MakeStr(c), fd_state(api)->fd_module);
    TAGGED cells[4] = {atom_nil, MakeRef(var), atom_nil, MakeRef(var)};
    dvar got, general;
    TAGGED attr = fd_load_argument(api, w, &got, &cells[0], &cells[1], atom_inf, atom_sup, atom_sup);
    EXPECT_EQ(attr, fd_check_argument(api, w, MakeRef(var), atom_inf, atom_sup, atom_sup));
    EXPECT_EQ(cells[0], attr);
    EXPECT_EQ(attr != 0, want);
    if (!attr) continue;
    cells[2] = attr;
    dvar_init(&general, &cells[2], &cells[3]);
    EXPECT_EQ(got.attr_ref, &cells[0]);
    EXPECT_EQ(got.var_ref, &cells[1]);
    EXPECT_EQ(std::tuple(got.min, got.max, got.set, got.cookie, got.flags, got.record),
              std::tuple(general.min, general.max, general.set, general.cookie, general.flags,
                         general.record))
        << TestProlog::show(set);
  }
}

/* Malformed or mistyped arguments fail, leaving the variable's domain as it was. */
TEST_F(FdTell, BadInputFailsAndLeavesTheDomainAlone)
{
  /* each native with % replaced by each of its bad arguments */
  const std::pair<const char *, std::vector<const char *>> bad[] = {
      {"'$fd_in_set'(X, %, 0)",
       {"[[3|1]]", "[[1|3],[2|5]]", "[[4|5],[1|2]]", "[[1|3],[4|5]]", "[[1|inf]]", "[[sup|sup]]",
        "[[1|2],[inf|5]]", "[[1|sup],[9|9]]", "[[1|2]|_]", "[[1|2]|foo]", "[_]", "_", "[[1.0|2]]",
        "[[1|1099511627776]]", "[[a|b]]", "[1,2]"}},
      {"S = [[1|2]|S], '$fd_in_set'(X, %, 0)", {"S"}},
      {"'$fd_in_set'(%, [[1|2]], 0)", {"f(X)", "a"}},
      {"'$fd_in_interval'(X, %, 0)",
       {"_, 5", "1, a", "1.5, 5", "-1099511627776, 5", "sup, sup", "inf, inf"}},
      {"'$fd_in_interval'(%, 1, 5, 0)", {"\"ab\""}},
      {"'$fd_tell'(X, %, _)", {"[[2|1]]", "[]", "[[20|30]]", "foo"}},
      {"'$fd_tell'(%, [[1|2]], _)", {"a", "1.0"}},
  };
  for (const auto &[native, args] : bad)
    for (const char *arg : args) {
      std::string goal = native;
      goal.replace(goal.find('%'), 1, arg);
      SCOPED_TRACE(goal);
      probes.clear();
      std::string text = std::string("'$fd_in_interval'(X, 0, 9, 0), probe(X), (") + goal +
                         " -> R = ok ; R = failed), probe(X)";
      ASSERT_EQ(go(text), 1) << exception();
      EXPECT_EQ(var("R"), "failed");
      ASSERT_EQ(probes.size(), 2u);
      EXPECT_EQ(probes[1].set, (Pairs{{0, 9}}));
    }
}

/* Random terms for every argument of the natives: each call fails, succeeds or raises, and a
 * propagation afterwards still works. */
TEST_F(FdTell, RandomArgumentsNeverCorruptTheKernel)
{
  std::mt19937 rng(77);
  const char *atoms[] = {"[]",        "inf",        "sup",       "a",   "0", "1", "-1",   "3",
                         "268435455", "-268435456", "268435456", "1.5", "_", "X", "f(X)", "\"s\""};
  std::function<std::string(int)> term = [&](int depth) -> std::string {
    int k = (int)(rng() % (depth > 0 ? 6 : 4));
    if (k < 3) return atoms[rng() % (sizeof atoms / sizeof *atoms)];
    if (k == 3) return "[]";
    std::string a = term(depth - 1), b = term(depth - 1);
    return k == 4 ? "[" + a + "|" + b + "]" : "[[" + a + "|" + b + "]|" + term(depth - 1) + "]";
  };
  const char *natives[] = {"'$fd_in_set'(X, %, 0)",         "'$fd_in_set'(%, %, 0)",
                           "'$fd_in_interval'(X, %, %, 0)", "'$fd_tell'(X, %, _)",
                           "'$fd_tell'(%, %, _)",           "'$fd_arg_attribute'(%, 1, _)",
                           "'$fd_dvar_list'(%, 1)",         "'$fd_check_arguments'(%, _)"};
  for (int round = 0; round < 2000; round++) {
    std::string goal = natives[rng() % (sizeof natives / sizeof *natives)];
    for (size_t at; (at = goal.find('%')) != std::string::npos;) goal.replace(at, 1, term(3));
    SCOPED_TRACE(goal);
    std::string text = "'$fd_in_interval'(X, 0, 9, 0), catch(" + goal + ", _, true), probe(X)";
    probes.clear();
    fd_undo_scope undo(w); /* the heap stays small: the stress mode's collections stay cheap */
    int rc = go(text);
    ASSERT_GE(rc, 0) << exception();
    if (rc == 1 && probes.size() == 1 && probes[0].dom) {
      for (auto &[lo, hi] : probes[0].set) ASSERT_TRUE(lo >= 0 && hi <= 9);
    }
  }
  fd_test_global &spy = add_test_global("spy", 1);
  ASSERT_TRUE(go_undone("'$fd_post_global'(spy(X), s(_, 0), 0, spy(X), [dom(X)], _),"
                        "'$fd_evaluate_indexical'(_, 0), '$fd_in_set'(X, [[1|5]], 0),"
                        "'$fd_evaluate_indexical'(_, 0), '$fd_in_set'(X, [[2|2]], 0), X == 2"));
  EXPECT_EQ(spy.runs, 2);
}

}  // namespace
