/* The dvar view against a model of extended-integer sets: every pruning step on every domain of
 * -3..3 with every argument of a pool, then domains with infinite ends and ends at the limits of
 * the small integers, then random chains of steps (views whose set is no longer current); after
 * each step the domain, the change mask, the flags and the overflow flag, and the queries and
 * iterators of the resulting view. */
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "fd_dom_model.h"
#include "fd_kernel.h"
#include "fd_sets.h"
#include "fd_test_env.h"

using namespace fddom;
using fdmodel::tag;

namespace {

using fddom::show;

enum Op { FIX_INTERVAL, PRUNE_INTERVAL, FIX_SET, PRUNE_SET, FIX_MIN_SAFE, FIX_MAX_SAFE };
const char *const op_names[] = {"fix_interval", "prune_interval", "fix_set",
                                "prune_set",    "fix_min_safe",   "fix_max_safe"};

struct Step {
  Op op;
  Pairs set;      /* the set operations */
  int32_t lo, hi; /* the interval operations (lo > hi: empty) */
  int32_t value;  /* the safe setters */
};

std::string show(const Step &s)
{
  std::ostringstream o;
  o << op_names[s.op] << " ";
  if (s.op == FIX_SET || s.op == PRUNE_SET)
    o << show(s.set);
  else if (s.op == FIX_INTERVAL || s.op == PRUNE_INTERVAL)
    o << s.lo << ".." << s.hi;
  else
    o << s.value;
  return o.str();
}

/* The model's view: the domain, the domain at load time, and whether values between the bounds
 * were ever removed. */
struct ModelView {
  Pairs loaded, dom;
  bool interior = false;
};

/* The expected mask, advancing the model; overflow when a removal leaves a lone infinity. */
int model_step(ModelView &m, const Step &s, bool *overflow)
{
  *overflow = false;
  Pairs next;
  switch (s.op) {
  case FIX_INTERVAL: next = combine(m.dom, interval(s.lo, s.hi), 0); break;
  case PRUNE_INTERVAL: next = combine(m.dom, interval(s.lo, s.hi), 1); break;
  case FIX_SET: next = combine(m.dom, s.set, 0); break;
  case PRUNE_SET: next = combine(m.dom, s.set, 1); break;
  case FIX_MIN_SAFE:
  case FIX_MAX_SAFE:
    if (!SmallFits(s.value)) {
      *overflow = true;
      return -1;
    }
    next =
        combine(m.dom, s.op == FIX_MIN_SAFE ? interval(s.value, SUP) : interval(INF, s.value), 0);
    break;
  }
  if (next.empty()) return -1;
  if (next == m.dom) return 0;
  bool removal = s.op == PRUNE_INTERVAL || s.op == PRUNE_SET;
  if (removal &&
      (next.front() == std::make_pair(INF, INF) || next.back() == std::make_pair(SUP, SUP))) {
    *overflow = true;
    return -1;
  }
  int32_t lo = next.front().first, hi = next.back().second;
  int mask = 1 | (lo != m.dom.front().first ? 2 : 0) | (hi != m.dom.back().second ? 4 : 0) |
             (lo == hi ? 8 : 0);
  m.interior |= combine(m.dom, interval(lo, hi), 0) != next;
  m.dom = next;
  return mask;
}

int32_t to_l(int64_t v) { return v == INF ? FD_INF_L : v == SUP ? FD_SUP_L : (int32_t)v; }

class FdViews : public ::testing::Test {
protected:
  FdTestEnv env;
  TAGGED attr_cell = 0, var_cell = 0; /* the view's reference cells */
  int failures = 0;

  ORVALIS_API_STRUCT *api() { return &env.api; }

  /* v(1, 0, '$mutable'(dom(Set, Min, Max, Size), 0), 0) on the heap. */
  TAGGED attribute(const Pairs &dom)
  {
    TAGGED size = finite(dom) && count(dom) <= MAX ? MakeSmall((int32_t)count(dom)) : atom_sup;
    TAGGED d = env.engine.compound("dom", {fdmodel::build(env.engine, dom), tag(dom.front().first),
                                           tag(dom.back().second), size});
    TAGGED m = env.engine.compound("$mutable", {d, MakeSmall(0)});
    return env.engine.compound("v", {MakeSmall(1), MakeSmall(0), m, MakeSmall(0)});
  }
  void load(dvar *d, const Pairs &dom, bool temp)
  {
    if (temp) {
      dvar_init_temp(d, tag(dom.front().first), tag(dom.back().second));
      return;
    }
    attr_cell = attribute(dom);
    var_cell = env.engine.var();
    dvar_init(d, &attr_cell, &var_cell);
  }
  int apply(dvar *d, const Step &s)
  {
    switch (s.op) {
    case FIX_INTERVAL: return dvar_fix_interval_t(d, tag(s.lo), tag(s.hi));
    case PRUNE_INTERVAL: return dvar_prune_interval_t(api(), d, tag(s.lo), tag(s.hi), env.w);
    case FIX_SET: return dvar_fix_set(api(), d, fdmodel::build(env.engine, s.set), env.w);
    case PRUNE_SET: return dvar_prune_set(api(), d, fdmodel::build(env.engine, s.set), env.w);
    case FIX_MIN_SAFE: return dvar_fix_min_safe(api(), d, s.value);
    case FIX_MAX_SAFE: return dvar_fix_max_safe(api(), d, s.value);
    }
    return 0;
  }
  /* The domain of a view, read from a copy so that the view itself is left as it was. */
  Pairs domain_of(const dvar &d)
  {
    dvar copy = d;
    return fdmodel::read(dvar_set(api(), &copy, env.w));
  }

  /* One step on the view and the model; false (and a recorded failure) on a difference. */
  bool step(dvar *d, ModelView &m, const Step &s)
  {
    env.state.fd_overflow = 0;
    Pairs before = m.dom;
    bool overflow;
    int want = model_step(m, s, &overflow);
    int got = apply(d, s);
    std::ostringstream why;
    if (got != want || (env.state.fd_overflow != 0) != overflow) {
      why << "mask " << got << " want " << want << ", overflow " << env.state.fd_overflow;
    } else if (got >= 0) {
      uint32_t flags = (m.dom.front().first == m.dom.back().second ? DV_FIXED : 0) |
                       (m.dom.size() == 1 ? DV_INTERVAL : 0) |
                       (m.dom.front().first > m.loaded.front().first ? DV_MIN_RAISED : 0) |
                       (m.dom.back().second < m.loaded.back().second ? DV_MAX_LOWERED : 0) |
                       (m.interior ? DV_SET_TOLD : 0);
      const uint32_t checked =
          DV_FIXED | DV_INTERVAL | DV_MIN_RAISED | DV_MAX_LOWERED | DV_SET_TOLD;
      Pairs dom = domain_of(*d);
      if (dom != m.dom)
        why << "domain " << show(dom) << " want " << show(m.dom);
      else if (d->min != tag(m.dom.front().first) || d->max != tag(m.dom.back().second))
        why << "bounds";
      else if ((d->flags & checked) != flags)
        why << "flags " << (d->flags & checked) << " want " << flags;
    }
    if (why.str().empty()) return true;
    if (++failures <= 10)
      ADD_FAILURE() << "from " << show(before) << " " << show(s) << ": " << why.str();
    return false;
  }

  /* Queries and iterators of a view against its model domain. */
  void queries(const dvar &d, const Pairs &dom)
  {
    SCOPED_TRACE(show(dom));
    const int32_t probes[] = {INF, MIN, MIN + 1, MIN + 2, -5, -4,      -3,      -2,  -1, 0,
                              1,   2,   3,       4,       5,  MAX - 2, MAX - 1, MAX, SUP};
    for (int32_t p : probes) {
      EXPECT_EQ(dvar_contains_value_t(&d, tag(p)), contains(dom, p) ? 1 : 0) << p;
      EXPECT_EQ(dvar_successor_t(&d, tag(p)), tag((int32_t)successor(dom, p))) << p;
      EXPECT_EQ(dvar_predecessor_t(&d, tag(p)), tag((int32_t)predecessor(dom, p))) << p;
      EXPECT_EQ(dvar_successor_l(&d, to_l(p)), to_l(successor(dom, p))) << p;
      EXPECT_EQ(dvar_predecessor_l(&d, to_l(p)), to_l(predecessor(dom, p))) << p;
      DVITER it;
      dviter_init(&it, &d);
      dviter_skip_t(&it, tag(p));
      bool more = dom.back().second > p;
      ASSERT_EQ(!dviter_empty(&it), more) << "skip " << p;
      if (more) {
        EXPECT_EQ(dviter_next_value_t(&it), tag((int32_t)successor(dom, p))) << p;
      }
    }
    EXPECT_EQ(dvar_interval_count(&d), (int)dom.size());
    EXPECT_EQ(dvar_value_count(&d), finite(dom) ? (int)count(dom) : FD_SUP_L);
    DVITER it, it_l;
    dviter_init(&it, &d);
    dviter_init(&it_l, &d);
    for (auto &[lo, hi] : dom) {
      ASSERT_FALSE(dviter_empty(&it));
      TAGGED l, h;
      int32_t ll, hl;
      dviter_next_interval_t(&it, &l, &h);
      dviter_next_interval_l(&it_l, &ll, &hl);
      EXPECT_EQ(l, tag(lo));
      EXPECT_EQ(h, tag(hi));
      EXPECT_EQ(ll, to_l(lo));
      EXPECT_EQ(hl, to_l(hi));
    }
    EXPECT_TRUE(dviter_empty(&it) && dviter_empty(&it_l));
    /* the first values one by one; a finite domain of few values ends the iterator */
    std::vector<int32_t> want;
    for (auto &[lo, hi] : dom)
      for (int64_t v = lo; v <= hi && want.size() < 8; v++) want.push_back((int32_t)v);
    dviter_init(&it, &d);
    for (int32_t v : want) {
      ASSERT_FALSE(dviter_empty(&it));
      EXPECT_EQ(dviter_next_value_t(&it), tag(v));
    }
    if (finite(dom) && count(dom) <= 8) {
      EXPECT_TRUE(dviter_empty(&it));
    }
  }

  /* The comparison of the view's domain with a step's argument: 1 equal, 2 a superset, 3 a
   * subset, 4 disjoint, 5 overlapping. */
  void compare(dvar *d, const Pairs &dom, const Step &s)
  {
    bool sets = s.op == FIX_SET || s.op == PRUNE_SET;
    if (!sets && s.op != FIX_INTERVAL && s.op != PRUNE_INTERVAL) return;
    Pairs arg = sets ? s.set : interval(s.lo, s.hi);
    bool out = !combine(dom, arg, 1).empty(), in = !combine(arg, dom, 1).empty();
    bool shared = !combine(dom, arg, 0).empty();
    int want = out && in ? (shared ? 5 : 4) : out ? 2 : in ? 3 : 1;
    int got = sets ? dvar_compare_set(api(), d, fdmodel::build(env.engine, arg), env.w)
                   : dvar_compare_interval_t(api(), d, tag(s.lo), tag(s.hi), env.w);
    if (got != want && ++failures <= 10)
      ADD_FAILURE() << show(dom) << " compared with " << show(s) << ": " << got << " want " << want;
  }

  /* Resets the heap and the temporary area when it goes. */
  struct scratch {
    worker *w;
    TAGGED *mark;
    explicit scratch(worker *w) : w(w), mark(w->global_top) { w->numstack_end = nullptr; }
    ~scratch() { w->global_top = mark; }
  };

  /* Every step of the pool on every domain, on a loaded view and, for an interval, a temporary
   * one; the heap and the temporary area are reset after each. */
  void exhaust(const std::vector<Pairs> &domains, const std::vector<Step> &pool)
  {
    for (const Pairs &dom : domains)
      for (bool temp : {false, true})
        for (const Step &s : pool) {
          if (temp && dom.size() != 1) break;
          scratch heap(env.w);
          dvar d;
          load(&d, dom, temp);
          compare(&d, dom, s);
          ModelView m{dom, dom};
          step(&d, m, s);
          if (failures > 10) return;
        }
  }
};

std::vector<Step> pool_of(const std::vector<Pairs> &intervals, const std::vector<Pairs> &sets,
                          const std::vector<int32_t> &values)
{
  std::vector<Step> pool;
  for (Op op : {FIX_INTERVAL, PRUNE_INTERVAL}) {
    for (auto &i : intervals) pool.push_back({op, {}, i[0].first, i[0].second, 0});
    pool.push_back({op, {}, 1, 0, 0});
  }
  for (Op op : {FIX_SET, PRUNE_SET})
    for (auto &s : sets) pool.push_back({op, s, 0, 0, 0});
  for (Op op : {FIX_MIN_SAFE, FIX_MAX_SAFE})
    for (int32_t v : values) pool.push_back({op, {}, 0, 0, v});
  return pool;
}

const std::vector<int32_t> safe_values = {
    INT32_MIN, MIN - 1, MIN, MIN + 1, -4, -3, -1, 0, 1, 3, 4, MAX - 1, MAX, MAX + 1, INT32_MAX};

std::vector<Pairs> small_domains()
{
  std::vector<Pairs> all = all_subsets(-3, 3);
  all.erase(all.begin()); /* the empty set is no domain */
  return all;
}

std::vector<Pairs> extreme_domains()
{
  return {{{INF, SUP}},
          {{INF, -2}},
          {{2, SUP}},
          {{INF, -2}, {2, SUP}},
          {{INF, MIN}},
          {{MAX, SUP}},
          {{INF, MIN + 1}},
          {{MAX - 1, SUP}},
          {{INF, MIN}, {0, 0}, {MAX, SUP}},
          {{MIN, MIN + 2}},
          {{MAX - 2, MAX}},
          {{MIN, MIN}, {MAX, MAX}},
          {{MIN, MAX}},
          {{INF, MAX}},
          {{MIN, SUP}},
          {{INF, -1}, {1, 1}, {3, SUP}},
          {{MIN, MIN + 1}, {-1, 1}, {MAX - 1, MAX}}};
}

std::vector<Pairs> all_domains()
{
  std::vector<Pairs> all = small_domains(), extremes = extreme_domains();
  all.insert(all.end(), extremes.begin(), extremes.end());
  return all;
}

const std::vector<int32_t> extreme_values = {INF, MIN, MIN + 1, MIN + 2, -3,  -1, 0,
                                             1,   3,   MAX - 2, MAX - 1, MAX, SUP};

TEST_F(FdViews, EveryStepOnEveryDomainOfMinusThreeToThree)
{
  std::vector<int32_t> ends = {INF, -4, -3, -2, -1, 0, 1, 2, 3, 4, SUP};
  std::vector<Pairs> sets = all_subsets(-4, 4);
  /* every value left out as a labeling's other branch leaves it out: the fix_set of a removal */
  for (int32_t v = -4; v <= 4; v++) sets.push_back({{INF, v - 1}, {v + 1, SUP}});
  exhaust(small_domains(), pool_of(all_intervals(ends), sets, safe_values));
}

TEST_F(FdViews, EveryStepOnDomainsWithInfiniteEndsAndEndsAtTheLimits)
{
  std::vector<Pairs> intervals = all_intervals(extreme_values);
  std::vector<Pairs> sets = interval_pairs(intervals);
  sets.insert(sets.end(), intervals.begin(), intervals.end());
  sets.push_back({});
  exhaust(extreme_domains(), pool_of(intervals, sets, safe_values));
}

TEST_F(FdViews, QueriesAndIteratorsOfLoadedAndNarrowedViews)
{
  for (const Pairs &dom : all_domains())
    for (bool temp : {false, true})
      for (const Step &narrow :
           {Step{FIX_INTERVAL, {}, INF, SUP, 0}, Step{FIX_INTERVAL, {}, -1, SUP, 0},
            Step{FIX_INTERVAL, {}, INF, 1, 0}, Step{FIX_INTERVAL, {}, MIN + 1, MAX - 1, 0},
            Step{PRUNE_SET, {{0, 0}}, 0, 0, 0}}) {
        if (temp && dom.size() != 1) continue;
        scratch heap(env.w);
        dvar d;
        load(&d, dom, temp);
        ModelView m{dom, dom};
        if (step(&d, m, narrow)) {
          ASSERT_NO_FATAL_FAILURE(queries(d, m.dom));
        }
        if (HasFailure()) return;
      }
}

TEST_F(FdViews, RandomChainsOfStepsMatchTheModel)
{
  std::mt19937 rng(2026);
  std::vector<Pairs> domains = all_domains();
  std::vector<int32_t> ends = extreme_values;
  for (int v = -4; v <= 4; v++) ends.push_back(v);
  std::sort(ends.begin(), ends.end());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  std::vector<Pairs> intervals = all_intervals(ends), sets = all_subsets(-4, 4);
  std::vector<Pairs> pairs = interval_pairs(intervals);
  sets.insert(sets.end(), pairs.begin(), pairs.end());
  std::vector<Step> pool = pool_of(intervals, sets, safe_values);
  for (int round = 0; round < 20000 && failures == 0; round++) {
    scratch heap(env.w);
    const Pairs &dom = domains[rng() % domains.size()];
    bool temp = dom.size() == 1 && rng() % 2;
    dvar d;
    load(&d, dom, temp);
    ModelView m{dom, dom};
    for (int k = 0; k < 4; k++) {
      const Step &s = pool[rng() % pool.size()];
      if (!step(&d, m, s) || env.state.fd_overflow) break;
      if (d.min == tag(m.dom.front().first) && k == 3) queries(d, m.dom);
      if (s.op == PRUNE_SET && rng() % 2) dvar_pruning_done(api(), env.w, &d);
    }
  }
}

/* The removal of one value (the views' fast path) against the general removal of the same value
 * as a set, on copies of one view: random domains with holes and sometimes infinite ends, views
 * loaded or first narrowed (their set no longer the domain), every value around them. */
TEST_F(FdViews, ValueRemovalMatchesTheGeneralSetRemoval)
{
  std::mt19937 rng(35);
  auto pick = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  const uint32_t checked = DV_FIXED | DV_INTERVAL | DV_MIN_RAISED | DV_MAX_LOWERED | DV_SET_TOLD;
  for (int round = 0; round < 400 && !HasFailure(); round++) {
    scratch heap(env.w);
    Pairs dom;
    for (int32_t at = pick(-12, -9); at <= 12; at += pick(2, 4))
      dom.push_back({at, at = std::min(12, at + pick(0, 3))});
    if (round % 5 == 0) dom.front().first = INF;
    if (round % 7 == 0) dom.back().second = SUP;
    dvar d;
    load(&d, dom, false);
    if (round % 2 && dvar_fix_interval_t(&d, tag(pick(-12, 0)), tag(pick(0, 12))) < 0) continue;
    for (int32_t v = -13; v <= 13; v++) {
      SCOPED_TRACE(testing::Message() << show(dom) << " round " << round << " less " << v);
      dvar fast = d, general = d;
      TAGGED cells[4];
      int mask = dvar_prune_interval_t(api(), &fast, tag(v), tag(v), env.w);
      EXPECT_EQ(mask,
                dvar_prune_set(api(), &general, fds_stack_interval(cells, tag(v), tag(v)), env.w));
      if (mask < 0) continue;
      EXPECT_EQ(fast.flags & checked, general.flags & checked);
      EXPECT_TRUE(fast.min == general.min && fast.max == general.max);
      EXPECT_EQ(domain_of(fast), domain_of(general));
    }
  }
}

/* What the exhaustive runs do not see: a temporary view as made, and an exported view. */
TEST_F(FdViews, TemporaryAndExportedViews)
{
  dvar d;
  dvar_init_temp(&d, MakeSmall(4), MakeSmall(4));
  EXPECT_EQ(d.flags, DV_INTERVAL | DV_FIXED);
  EXPECT_EQ(d.set, 0u);
  /* an exported view has no set and counts nothing */
  load(&d, {{1, 2}, {5, 6}}, false);
  d.flags |= DV_EXPORTED;
  EXPECT_EQ(dvar_set(api(), &d, env.w), 0u);
  EXPECT_EQ(dvar_interval_count(&d), 0);
  EXPECT_EQ(dvar_value_count(&d), 0);
}

TEST_F(FdViews, AliasChainsAreFollowedToTheNewestDomain)
{
  /* the older attribute's domain mutable holds the newer v/4 term, itself through a forwarding
   * mutable */
  TAGGED newer = attribute({{2, 3}, {7, 7}});
  TAGGED forward = env.engine.compound("$mutable", {newer, MakeSmall(0)});
  TAGGED middle = env.engine.compound("$mutable", {forward, MakeSmall(0)});
  TAGGED older = env.engine.compound("v", {MakeSmall(1), MakeSmall(0), middle, MakeSmall(0)});
  EXPECT_EQ(fd_attr_last(older), newer);
  EXPECT_EQ(fd_attr_dom(older), StrArg(StrArg(newer, 3), 1));
  attr_cell = older;
  var_cell = env.engine.var();
  dvar d;
  dvar_init(&d, &attr_cell, &var_cell);
  EXPECT_EQ(domain_of(d), (Pairs{{2, 3}, {7, 7}}));
  EXPECT_EQ(d.cookie, MakeSmall(3));
  /* two views of one variable are aliases, a temporary view is no one's */
  dvar e, t;
  dvar_init(&e, &attr_cell, &var_cell);
  dvar_init_temp(&t, MakeSmall(0), MakeSmall(1));
  EXPECT_TRUE(dvar_is_alias(&d, &e));
  EXPECT_FALSE(dvar_is_alias(&d, &t));
  EXPECT_EQ(dvar_get(&d), var_cell);
}

TEST_F(FdViews, AssignCopiesTheDomainAndKeepsTheChangeBits)
{
  dvar from, to;
  load(&from, {{0, 9}}, false);
  ASSERT_EQ(dvar_prune_interval_t(api(), &from, MakeSmall(3), MakeSmall(4), env.w), 1);
  dvar_init_temp(&to, MakeSmall(-5), MakeSmall(20));
  dvar_assign(api(), &to, &from, env.w);
  EXPECT_EQ(domain_of(to), (Pairs{{0, 2}, {5, 9}}));
  EXPECT_EQ(to.flags & (DV_MIN_RAISED | DV_MAX_LOWERED | DV_INTERVAL),
            DV_MIN_RAISED | DV_MAX_LOWERED);
  /* the comparisons see the assigned domain */
  EXPECT_EQ(dvar_compare_set(api(), &to, fdmodel::build(env.engine, {{0, 2}, {5, 9}}), env.w), 1);
  for (auto [lo, hi, want] : {std::tuple{0, 9, 3}, {10, 12, 4}, {2, 5, 5}, {5, 9, 2}})
    EXPECT_EQ(dvar_compare_interval_t(api(), &to, MakeSmall(lo), MakeSmall(hi), env.w), want) << lo;
}

}  // namespace
