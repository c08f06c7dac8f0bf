/* The unary filter and the task pruning helpers on mock tasks, against placements enumerated by
 * the oracle of fd_tasks.h; the theta-lambda tree against a naive recomputation. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "fd_tasks.h"

using namespace fd_tasks;

namespace {

class UnaryFilter : public ::testing::Test {
protected:
  FdTestEnv env;
  ORVALIS_API_STRUCT *api() { return &env.api; }

  /* The filters' working state over the mocks with the overall slack at this limit; lo, hi: the
   * window. */
  unary_data *with_slack(mock_set &ms, int flags, int limit, size_mem *held, int32_t *lo, int32_t *hi)
  {
    ms.install(api());
    env.w->numstack_end = nullptr;
    int n = (int)ms.t.size();
    unary_data *u = unary_alloc(api(), env.w, ms.t.data(), n, n, flags, held);
    int64_t a = INT64_MAX, b = INT64_MIN, energy = 0;
    for (const task &t : ms.t) {
      a = std::min<int64_t>(a, t.est), b = std::max<int64_t>(b, t.lctmax);
      energy += (int64_t)t.dur * t.res;
    }
    u->slack = (b - a) * limit - energy;
    u->limit = limit;
    *lo = (int32_t)a, *hi = (int32_t)b;
    return u;
  }
  /* One call of the unary filter on the mocks: its result. */
  int filter(mock_set &ms, int flags, int32_t *lst = nullptr, int32_t *ect = nullptr)
  {
    int32_t l, e;
    ms.install(api());
    env.w->numstack_end = nullptr;
    size_mem held{0, nullptr};
    return unary_filtering(api(), env.w, ms.t.data(), (int)ms.t.size(), (int)ms.t.size(), flags,
                           ms.diffvar.data(), ms.dc.data(), (int)ms.dc.size(), lst ? lst : &l,
                           ect ? ect : &e, &held);
  }
};

/* What the filter left must keep every placement the oracle found; failure only without one. */
void expect_sound(const support &s, const mock_set &ms, int r, const std::string &what)
{
  SCOPED_TRACE(what);
  if (r > 1) {
    EXPECT_FALSE(s.feasible) << "failed with " << s.schedules << " schedules";
    return;
  }
  for (size_t i = 0; i < ms.m.size(); i++) {
    const mock &m = ms.m[i];
    bool off = m.absent || ms.t[i].enable == TASK_ABSENT;
    if (off) {
      EXPECT_TRUE(m.optional) << "task " << i;
      EXPECT_FALSE(s.present[i]) << "task " << i << " switched off";
      continue;
    }
    EXPECT_EQ(s.starts[i] & ~m.starts, 0u) << "task " << i << " lost a supported start";
    EXPECT_GE(m.dmax, s.dmax[i]) << "task " << i << " lost a supported duration";
  }
  for (size_t q = 0; q < ms.dc.size(); q++) {
    if (s.dlo[q] > s.dhi[q]) continue;
    EXPECT_LE(GetSmall(ms.diffvar[q].min), s.dlo[q]) << "pair " << q;
    EXPECT_GE(GetSmall(ms.diffvar[q].max), s.dhi[q]) << "pair " << q;
  }
}

TEST_F(UnaryFilter, NoSupportedPlacementIsLost)
{
  struct row {
    const char *name;
    int flags, dspread, precedences;
    double p_optional;
  };
  const row rows[] = {
      {"general", 0, 0, 0, 0.0},          {"optional", 0, 0, 0, 0.4},
      {"durations", 0, 2, 0, 0.3},        {"precedences", 0, 0, 2, 0.2},
      {"exact", 8, 0, 0, 0.0},            {"exact with pairs", 8, 0, 2, 0.0},
      {"exact with optional tasks", 8, 0, 0, 0.4},
      {"global scratch", 2, 1, 1, 0.3},
  };
  int rounds = fd_gc_stress ? 60 : 400;
  for (const row &rw : rows) {
    generator g(4711);
    g.dspread = rw.dspread, g.p_optional = rw.p_optional, g.precedences = rw.precedences;
    int failed = 0, pruned = 0, off = 0;
    for (int k = 0; k < rounds; k++) {
      problem in = g.make(g.pick(1, 6));
      support s = oracle(in).run();
      mock_set ms(in);
      std::string what = std::string(rw.name) + ": " + describe(in);
      for (int call = 0; call < 6; call++) { /* to the filter's own fixpoint */
        int r = filter(ms, rw.flags);
        expect_sound(s, ms, r, what);
        if (HasFailure()) return;
        failed += r > 1, pruned += r == 1;
        if (r != 1) break;
      }
      for (const task &t : ms.t) off += t.enable == TASK_ABSENT;
    }
    /* the generator reaches the rules that prune, fail and switch off */
    EXPECT_GT(failed, 0) << rw.name;
    EXPECT_GT(pruned, 0) << rw.name;
    if (rw.p_optional > 0) {
      EXPECT_GT(off, 0) << rw.name;
    }
  }
}

/* Precedence pairs over 4-6 tasks whose records may lag their start sets by one (as the
 * records a filter narrowed do until they are reloaded): in every list order (24 random ones
 * for 6 tasks) the filter keeps the oracle's placements. The list order decides the ties of the
 * start order that the precedence chains are walked in. */
TEST_F(UnaryFilter, PrecedencesKeepEverySupportedPlacementInEveryListOrder)
{
  generator g(6108);
  int failed = 0;
  for (int k = 0; k < (fd_gc_stress ? 20 : 200) && !HasFailure(); k++) {
    int n = 4 + k % 3;
    problem base;
    std::vector<int> seed(n); /* unit tasks packed into slots 1..n+1, some sharing one, a record
                               * often lagging onto its neighbour's slot */
    for (int i = 0; i < n; i++) seed[i] = i + 1 + g.pick(0, 1);
    std::shuffle(seed.begin(), seed.end(), g.rng);
    for (int i = 0; i < n; i++) {
      spec t{(mask)1 << seed[i], 1, 1};
      if (g.chance(0.3)) t.starts |= (mask)1 << (seed[i] + 2);
      t.lag = g.chance(0.4);
      base.tasks.push_back(t);
    }
    for (int p = g.pick(1, 3); p > 0; p--) {
      int i = g.pick(0, n - 1), j = (i + g.pick(1, n - 1)) % n,
          lo = seed[j] - seed[i] - g.pick(0, 1);
      base.prec.push_back({i, j, lo, lo + g.pick(0, 1)});
    }
    std::vector<int> perm(n);
    for (int i = 0; i < n; i++) perm[i] = i;
    for (int q = 0; q < (n < 6 ? 120 : 24) && !HasFailure(); q++) {
      if (n < 6 && q > 0 && !std::next_permutation(perm.begin(), perm.end())) break;
      if (n == 6) std::shuffle(perm.begin(), perm.end(), g.rng);
      problem in = reordered(base, perm);
      support s = oracle(in).run();
      mock_set ms(in);
      for (int call = 0, r = 1; call < 6 && r == 1; call++) {
        r = filter(ms, g.chance(0.5) ? 8 : 0);
        expect_sound(s, ms, r, describe(in));
        failed += r > 1;
      }
    }
  }
  EXPECT_GT(failed, 0);
}

TEST_F(UnaryFilter, FixedTasksFailExactlyWhenTheyOverlap)
{
  generator g(99);
  for (int k = 0; k < (fd_gc_stress ? 50 : 300); k++) {
    problem in = g.make(g.pick(2, 5));
    for (spec &t : in.tasks) t.starts = (mask)1 << lowest(t.starts);
    mock_set ms(in);
    EXPECT_EQ(filter(ms, 0) > 1, !oracle(in).run().feasible) << describe(in);
  }
}

/* With fixed durations and at most four tasks not fixed, the exact rules leave every start that
 * some order of the others fits, and nothing else. */
TEST_F(UnaryFilter, ExactRulesKeepExactlyTheSupportedStarts)
{
  generator g(2024);
  g.p_hole = 0.2;
  for (int k = 0; k < (fd_gc_stress ? 60 : 600); k++) {
    int n = g.pick(2, 4);
    problem in = g.make(n);
    bool open = true;
    for (const spec &t : in.tasks) open = open && __builtin_popcountll(t.starts) > 1;
    if (!open) continue;
    mock_set ms(in);
    support s = oracle(in).run();
    int r = filter(ms, 8);
    SCOPED_TRACE(describe(in));
    if (n == 2) {
      /* each start loses exactly lst(other) - dur + 1 .. ect(other) - 1, in task order */
      mask a = in.tasks[0].starts, b = in.tasks[1].starts;
      int da = in.tasks[0].dmin, db = in.tasks[1].dmin;
      a &= ~range(highest(b) - da + 1, lowest(b) + db - 1);
      if (!a) {
        EXPECT_GT(r, 1);
        continue;
      }
      b &= ~range(highest(a) - db + 1, lowest(a) + da - 1);
      if (!b) {
        EXPECT_GT(r, 1);
        continue;
      }
      EXPECT_EQ(ms.m[0].starts, a);
      EXPECT_EQ(ms.m[1].starts, b);
      continue;
    }
    if (r > 1) {
      EXPECT_FALSE(s.feasible);
      continue;
    }
    for (int i = 0; i < n; i++) EXPECT_EQ(ms.m[i].starts, s.starts[i]) << "task " << i;
  }
}

TEST_F(UnaryFilter, EdgeCases)
{
  auto one = [](int lo, int hi, int d, bool optional = false) {
    return spec{range(lo, hi), d, d, 1, optional};
  };
  /* no task: nothing told, lst sup, ect inf */
  {
    mock_set ms(problem{});
    int32_t lst = 0, ect = 0;
    EXPECT_EQ(filter(ms, 0, &lst, &ect), 0);
    EXPECT_EQ(lst, SCHED_SUP);
    EXPECT_EQ(ect, SCHED_INF);
    EXPECT_TRUE(ms.log.empty());
  }
  /* only fixed tasks with fixed durations: 0, lst/ect of the fixed tasks, nothing told */
  {
    mock_set ms(problem{{one(2, 2, 3), one(7, 7, 2)}, {}});
    int32_t lst = 0, ect = 0;
    EXPECT_EQ(filter(ms, 8, &lst, &ect), 0);
    EXPECT_EQ(lst, 2);
    EXPECT_EQ(ect, 9);
    EXPECT_TRUE(ms.log.empty());
  }
  /* three obligatory tasks whose durations exceed their common window fail */
  {
    mock_set ms(problem{{one(0, 4, 3), one(0, 4, 3), one(0, 4, 2)}, {}});
    EXPECT_GT(filter(ms, 0), 1);
  }
  /* a difference excluding both orders fails */
  {
    problem in{{one(0, 9, 3), one(0, 9, 3)}, {{0, 1, -2, 2}}};
    mock_set ms(in);
    EXPECT_GT(filter(ms, 0), 1);
  }
  /* an optional task that would push an obligatory one past its latest start is switched off */
  {
    mock_set ms(problem{{one(0, 2, 4), one(0, 0, 3, true)}, {}});
    EXPECT_LE(filter(ms, 0), 1);
    EXPECT_EQ(ms.t[1].enable, TASK_ABSENT);
    EXPECT_EQ(ms.m[0].starts, range(0, 2));
  }
  /* a variable duration is not cut when no rule fired: origin 0 with duration 1..10 against a
   * task at 20 keeps every duration */
  {
    mock_set ms(problem{{spec{range(0, 0), 1, 10}, one(20, 20, 1)}, {}});
    EXPECT_EQ(filter(ms, 0), 0);
    EXPECT_EQ(ms.m[0].dmax, 10);
  }
}

/* A diffid outside 0..nbtotal-1 is not mapped: nothing past id_map is written. */
TEST_F(UnaryFilter, AllocMapsOnlyDiffidsInRange)
{
  task ts[3] = {};
  ts[0].diffid = 1, ts[1].diffid = 7, ts[2].diffid = -2;
  std::vector<unsigned char> block(1 << 16, 0xAB);
  size_mem held{block.size(), nullptr};
  held.mem = QX_malloc(block.size());
  std::memcpy(held.mem, block.data(), block.size());
  unary_data *u = unary_alloc(api(), env.w, ts, 3, 2, 0, &held);
  EXPECT_EQ(u->id_map[0], -1);
  EXPECT_EQ(u->id_map[1], 0);
  auto *after = (unsigned char *)(u->id_map + 2);
  EXPECT_TRUE(std::all_of(after, (unsigned char *)u->est_rank, [](unsigned char c) { return c == 0xAB; }));
  QX_free(held.mem);
}

/* ---- the theta-lambda tree ---- */

TEST(ThetaLambdaTree, MatchesANaiveRecomputation)
{
  std::mt19937 rng(7);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 300; round++) {
    int n = pick(1, 9);
    std::vector<int64_t> est(n), dur(n);
    for (int i = 0; i < n; i++) est[i] = pick(-5, 20), dur[i] = pick(1, 6);
    std::sort(est.begin(), est.end()); /* ranks follow est */
    std::vector<theta_lambda_node> nodes(2 * n + 2);
    std::vector<int32_t> map(n + 1);
    tt_init_inorder(map.data(), n);
    theta_lambda_tree t{nodes.data(), map.data(), n};
    tlt_clear(&t);
    std::vector<int> state(n, 0);
    /* completion of the ranks in set: max over r of est[r] + durations of set ranks >= r */
    auto ect = [&](const std::vector<bool> &in) {
      int64_t best = INT64_MIN;
      for (int r = 0; r < n; r++) {
        if (!in[r]) continue;
        int64_t sum = 0;
        for (int q = r; q < n; q++) sum += in[q] ? dur[q] : 0;
        best = std::max(best, est[r] + sum);
      }
      return best;
    };
    auto theta = [&](int without) {
      std::vector<bool> in(n);
      for (int r = 0; r < n; r++) in[r] = state[r] == 1 && r != without;
      return in;
    };
    for (int step = 0; step < 30; step++) {
      int r = pick(0, n - 1), op = pick(0, 2);
      if (op == 2)
        tlt_remove(&t, r);
      else
        tlt_place(&t, r, est[r], dur[r], op + 1);
      state[r] = op == 2 ? 0 : op + 1;
      std::vector<bool> th = theta(-1);
      int64_t e = ect(th), le = e;
      for (int g = 0; g < n; g++)
        if (state[g] == 2) {
          std::vector<bool> with = th;
          with[g] = true;
          le = std::max(le, ect(with));
        }
      const theta_lambda_node &root = nodes[1];
      bool empty = std::none_of(th.begin(), th.end(), [](bool b) { return b; });
      if (!empty) {
        ASSERT_EQ(root.ECT, e) << "round " << round << " step " << step;
      }
      if (le != INT64_MIN) {
        ASSERT_EQ(root.lECT, le) << "round " << round << " step " << step;
      }
      if (root.grayECT >= 0) { /* the responsible gray task reaches lambda's completion */
        std::vector<bool> with = th;
        with[root.grayECT] = true;
        ASSERT_EQ(state[root.grayECT], 2);
        ASSERT_EQ(ect(with), root.lECT);
      }
      int q = pick(0, n - 1);
      if (state[q] == 1 && std::count(state.begin(), state.end(), 1) > 1) {
        ASSERT_EQ(tt_del_element_ect(&t, q), ect(theta(q)));
      }
      ASSERT_EQ(nodes[1].ECT, root.ECT); /* the query left the tree as it was */
    }
  }
}

/* ---- task pruning helpers, exact on interval starts with a fixed duration ---- */

TEST_F(UnaryFilter, OverlapHelpersAreExactOnIntervals)
{
  generator g(31);
  auto overlap = [](int s, int d, int lo, int hi) {
    return std::max(0, std::min(s + d, hi) - std::max(s, lo));
  };
  for (int k = 0; k < 500; k++) {
    int lo = g.pick(0, 15), hi = g.pick(lo, 20), amount = g.pick(1, 6);
    int est = g.pick(0, 15), lst = g.pick(est, 20), d = g.pick(1, 6);
    problem in{{spec{range(est, lst), d, d, 2}}, {}};
    SCOPED_TRACE(testing::Message() << "starts " << est << ".." << lst << " d " << d << " window "
                                    << lo << ".." << hi << " amount " << amount);
    int least = INT32_MAX;
    mask atleast = 0, below = 0;
    for (int s = est; s <= lst; s++) {
      least = std::min(least, overlap(s, d, lo, hi));
      if (overlap(s, d, lo, hi) >= amount) atleast |= (mask)1 << s;
      if (overlap(s, d, lo, hi) < amount) below |= (mask)1 << s;
    }
    mock_set ms(in);
    ms.install(api());
    EXPECT_EQ(min_overlap(&ms.t[0], lo, hi), (int64_t)least * 2);
    int r = must_overlap_at_least(api(), &ms.t[0], amount, lo, hi);
    EXPECT_EQ(r > 1, atleast == 0);
    if (r < 2) {
      EXPECT_EQ(ms.m[0].starts, atleast);
    }
    mock_set ms2(in);
    ms2.install(api());
    env.w->numstack_end = nullptr;
    r = must_overlap_less_than(api(), &ms2.t[0], amount, lo, hi, env.w);
    EXPECT_EQ(r > 1, below == 0);
    if (r < 2) {
      EXPECT_EQ(ms2.m[0].starts, below);
    }
  }
}

}  // namespace

/* ---- task intervals, on cumulative placements ---- */

namespace {

class TaskIntervals : public UnaryFilter {
protected:
  /* One run of the task-interval step on the mocks (flags 2, plus 8 with the overall slack). */
  int run(mock_set &ms, int flags, int limit)
  {
    size_mem held{0, nullptr};
    int32_t lo, hi;
    unary_data *u = with_slack(ms, flags, limit, &held, &lo, &hi);
    int r = fd_task_intervals(api(), env.w, u, limit, limit);
    fd_perm_free2(api(), u, &held);
    return r;
  }
};

TEST_F(TaskIntervals, NoSupportedPlacementIsLost)
{
  int failed = 0, pruned = 0;
  for (int flags : {2, 10}) {
    generator g(flags * 7 + 1);
    g.limit = 2, g.max_height = 2, g.max_dur = 5, g.p_hole = 0.1;
    for (int k = 0; k < (fd_gc_stress ? 80 : 800); k++) {
      g.limit = g.pick(1, 3);
      problem in = g.make(g.pick(3, 6));
      support s = oracle(in).run();
      mock_set ms(in);
      for (int call = 0; call < 6; call++) {
        int r = run(ms, flags, in.limit);
        expect_sound(s, ms, r, describe(in) + " limit " + std::to_string(in.limit));
        if (HasFailure()) return;
        failed += r > 1, pruned += r == 1;
        if (r != 1) break;
      }
      /* a task whose start is fixed is never moved */
      for (const call &c : ms.log)
        EXPECT_GT(__builtin_popcountll(in.tasks[c.task].starts), 1) << describe(in);
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(pruned, 0);
}

TEST_F(TaskIntervals, FewerThanThreeObligatoryTasksDoNothing)
{
  auto one = [](int lo, int hi, int d, bool optional = false) {
    return spec{range(lo, hi), d, d, 1, optional};
  };
  /* two obligatory tasks overloading their window, and an optional one */
  mock_set ms(problem{{one(0, 1, 3), one(0, 1, 3), one(0, 9, 2, true)}, {}, 1});
  EXPECT_EQ(run(ms, 2, 1), 0);
  EXPECT_TRUE(ms.log.empty());
}

TEST_F(TaskIntervals, IndexQueriesMatchALinearScan)
{
  generator g(5);
  g.max_height = 3, g.max_dur = 4, g.p_hole = 0;
  for (int k = 0; k < 200; k++) {
    problem in = g.make(g.pick(1, 9));
    for (spec &t : in.tasks) t.optional = g.chance(0.2);
    mock_set ms(in);
    int n = (int)ms.t.size();
    size_mem held{0, nullptr};
    unary_data *u = unary_alloc(api(), env.w, ms.t.data(), n, n, 2, &held);
    u->nbobltasks = 0;
    for (int i = 0; i < n; i++)
      if (ms.t[i].enable == TASK_PRESENT) u->obltasks[u->nbobltasks++] = i;
    for (bool up : {true, false}) {
      int root = ti_build(api(), u, up);
      for (int q = 0; q < 20; q++) {
        int32_t a = g.pick(0, 14), b = g.pick(a + 1, 16);
        int64_t slack = g.pick(0, 8);
        std::vector<int> seen, want;
        ti_query(u, root, up, a, b, slack, [&](int i) { return seen.push_back(i), true; });
        for (int i = 0; i < n; i++) {
          const task &t = ms.t[i];
          bool open = t.enable == TASK_PRESENT && t.lct - t.est > t.dur && (int64_t)t.dur * t.res > slack;
          bool hit = up ? t.est < a && t.lct > a && t.lct - t.dur < b
                        : t.lct > b && t.est < b && t.est + t.dur > a;
          if (open && hit) want.push_back(i);
        }
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(seen, want) << describe(in) << " up " << up << " a " << a << " b " << b;
      }
    }
    fd_perm_free2(api(), u, &held);
  }
}

}  // namespace

/* ---- knapsack columns ---- */

namespace {

/* The placement class of start s for duration d at border b. */
int placement(int s, int d, int b)
{
  return s == b ? 1 : s == b - d ? 2 : (s > b - d && s < b) ? 4 : 8;
}

struct column_case {
  problem in;
  int border, lslack, rslack, sslack;
};

/* The oracle: every combination of the tasks' placement classes; the supported classes of each
 * task (0 when no combination fills both columns within the targets). */
std::vector<int> supported(const column_case &k)
{
  const problem &in = k.in;
  int n = (int)in.tasks.size();
  std::vector<int> cls(n, 0), out(n, 0);
  for (int i = 0; i < n; i++)
    for (mask m = in.tasks[i].starts; m; m &= m - 1) cls[i] |= placement(lowest(m), in.tasks[i].dmin, k.border);
  std::vector<int> pick(n, 0);
  std::function<void(int, int, int)> go = [&](int i, int l, int r) {
    if (l > in.limit || r > in.limit) return;
    if (i == n) {
      if (l >= in.limit - k.lslack && r >= in.limit - k.rslack && l + r >= 2 * in.limit - k.sslack)
        for (int q = 0; q < n; q++) out[q] |= pick[q];
      return;
    }
    int h = in.tasks[i].height;
    for (int bit : {1, 2, 4, 8})
      if (cls[i] & bit) {
        pick[i] = bit;
        go(i + 1, l + (bit & 6 ? h : 0), r + (bit & 5 ? h : 0));
      }
  };
  go(0, 0, 0);
  return out;
}

class KnapsackColumns : public UnaryFilter {
protected:
  /* Runs the columns at the case's border on fresh mocks (or on u when given): result, support
   * words and starts left. */
  int run(const column_case &k, std::vector<int> *words, std::vector<mask> *starts)
  {
    mock_set ms(k.in);
    ms.install(api());
    env.w->numstack_end = nullptr;
    size_mem held{0, nullptr};
    int n = (int)ms.t.size();
    unary_data *u = unary_alloc(api(), env.w, ms.t.data(), n, n, 0, &held);
    /* an earlier column on the same cache: its answers must not be taken */
    if (earlier) knapsack_column_main(api(), env.w, u, k.border + 1, k.in.limit, k.lslack, k.rslack, k.sslack);
    mock_set fresh(k.in);
    fresh.install(api());
    u->tasks = fresh.t.data();
    int r = knapsack_column_main(api(), env.w, u, k.border, k.in.limit, k.lslack, k.rslack, k.sslack);
    words->clear(), starts->clear();
    for (int i = 0; i < n; i++) words->push_back(fresh.t[i].support), starts->push_back(fresh.m[i].starts);
    unary_release(api(), u, &held);
    return r;
  }
  bool earlier = false;
};

column_case random_column(generator &g)
{
  column_case k;
  g.limit = g.pick(1, 4), g.max_height = g.limit, g.max_dur = 4, g.horizon = 10;
  k.in = g.make(g.pick(1, 6));
  k.border = g.pick(2, 8);
  k.lslack = g.pick(0, g.limit), k.rslack = g.pick(0, g.limit), k.sslack = g.pick(0, 2 * g.limit);
  return k;
}

TEST_F(KnapsackColumns, SupportsEqualEveryCombinationOfPlacements)
{
  generator g(77);
  int pruned = 0, failed = 0;
  for (int round = 0; round < (fd_gc_stress ? 100 : 1500); round++) {
    column_case k = random_column(g);
    std::vector<int> want = supported(k), words;
    std::vector<mask> starts;
    int r = run(k, &words, &starts);
    SCOPED_TRACE(describe(k.in) + " limit " + std::to_string(k.in.limit) + " border " +
                 std::to_string(k.border) + " slacks " + std::to_string(k.lslack) + " " +
                 std::to_string(k.rslack) + " " + std::to_string(k.sslack));
    bool feasible = std::any_of(want.begin(), want.end(), [](int s) { return s != 0; });
    ASSERT_EQ(r > 1, !feasible);
    failed += r > 1, pruned += r == 1;
    if (r > 1) continue;
    for (size_t i = 0; i < want.size(); i++) {
      int cls = (words[i] >> 8) & 15;
      EXPECT_EQ(words[i] & 15, want[i]) << "task " << i << " class " << cls;
      /* every start of a supported placement stays, every other goes */
      mask keep = 0;
      for (mask m = k.in.tasks[i].starts; m; m &= m - 1)
        if (want[i] & placement(lowest(m), k.in.tasks[i].dmin, k.border)) keep |= (mask)1 << lowest(m);
      EXPECT_EQ(starts[i], keep) << "task " << i;
    }
    if (HasFailure()) return;
  }
  EXPECT_GT(pruned, 0);
  EXPECT_GT(failed, 0);
}

/* The cache, its cap and the shrinking of the relevant candidates change nothing, and a column
 * never takes an answer cached for another. */
TEST_F(KnapsackColumns, CacheAndShrinkingChangeNothing)
{
  generator g(78);
  knapsack_hooks saved = fd_knapsack_hooks;
  for (int round = 0; round < (fd_gc_stress ? 50 : 500); round++) {
    column_case k = random_column(g);
    std::vector<int> base, words;
    std::vector<mask> base_starts, starts;
    int r = run(k, &base, &base_starts);
    const knapsack_hooks variants[] = {{1, true, true}, {1u << 16, false, true}, {1u << 16, true, false}};
    for (const knapsack_hooks &h : variants) {
      fd_knapsack_hooks = h;
      EXPECT_EQ(run(k, &words, &starts), r);
      EXPECT_EQ(words, base);
      EXPECT_EQ(starts, base_starts);
    }
    fd_knapsack_hooks = saved;
    earlier = true;
    EXPECT_EQ(run(k, &words, &starts), r);
    EXPECT_EQ(words, base);
    earlier = false;
  }
  /* the bucket count of a large limit is computed without overflow and capped */
  EXPECT_EQ(knapsack_cache_size(1000, 1 << 20), saved.cap);
  EXPECT_EQ(knapsack_cache_size(3, 4), 24u);
  EXPECT_EQ(knapsack_cache_size(0, 4), 1u);
}

}  // namespace

namespace {

/* Every row of the narrowing table: a task that may take each placement keeps exactly the
 * starts of the supported ones. */
TEST_F(KnapsackColumns, PruneFromSupportRowByRow)
{
  const int b = 6;
  for (int d : {1, 2, 3})
    for (int s = 1; s <= 14; s++) {
      problem in{{spec{range(b - d - 2, b + 2), d, d}}, {}};
      mock_set ms(in);
      ms.install(api());
      env.w->numstack_end = nullptr;
      int cls = 0;
      for (int x = b - d - 2; x <= b + 2; x++) cls |= placement(x, d, b);
      int r = prune_from_support(api(), &ms.t[0], (s & cls) | cls << 8, b, env.w);
      mask keep = 0;
      for (int x = b - d - 2; x <= b + 2; x++)
        if (s & cls & placement(x, d, b)) keep |= (mask)1 << x;
      SCOPED_TRACE(testing::Message() << "d " << d << " s " << s);
      if ((s & cls) == 0 || (s & cls) == cls) {
        EXPECT_EQ(r, 0);
        continue;
      }
      EXPECT_LE(r, 1);
      EXPECT_EQ(ms.m[0].starts, keep);
    }
}

}  // namespace

/* ---- parallel conflict on the compulsory-part profile ---- */

namespace {

class ParallelConflict : public UnaryFilter {
protected:
  /* The profile of the fixed tasks (their compulsory parts) as profile points. */
  static std::vector<comppart> profile(const problem &in)
  {
    std::vector<int> use(80, 0);
    for (const spec &t : in.tasks)
      if (__builtin_popcountll(t.starts) == 1)
        for (int x = lowest(t.starts); x < lowest(t.starts) + t.dmin; x++) use[x] += t.height;
    std::vector<comppart> cp = {{FD_INF_L, 0}};
    for (int x = 0; x < 80; x++)
      if (use[x] != cp.back().height) cp.push_back({x, use[x]});
    if (cp.back().height != 0) cp.push_back({80, 0});
    cp.push_back({FD_SUP_L, 0});
    return cp;
  }
  int run(mock_set &ms, const problem &in)
  {
    ms.install(api());
    env.w->numstack_end = nullptr;
    size_mem held{0, nullptr};
    int n = (int)ms.t.size();
    unary_data *u = unary_alloc(api(), env.w, ms.t.data(), n, n, 0, &held);
    std::vector<comppart> cp = profile(in);
    int r = parallel_conflict(api(), env.w, u, cp.data(), in.limit);
    unary_release(api(), u, &held);
    return r;
  }
};

TEST_F(ParallelConflict, NoSupportedPlacementIsLost)
{
  generator g(404);
  g.p_hole = 0.1, g.max_dur = 4, g.horizon = 7;
  int failed = 0, pruned = 0;
  for (int k = 0; k < (fd_gc_stress ? 80 : 1600); k++) {
    g.limit = g.pick(2, k % 2 ? 5 : 4), g.max_height = g.limit;
    problem in = g.make(g.pick(2, 6));
    /* tasks fixed (their compulsory part is the profile) or without compulsory part */
    for (spec &t : in.tasks)
      if (g.chance(0.4)) {
        t.starts = (mask)1 << lowest(t.starts);
      } else {
        int lo = lowest(t.starts);
        t.starts |= range(lo, lo + t.dmin + g.pick(0, 1));
      }
    support s = oracle(in).run();
    mock_set ms(in);
    int r = run(ms, in);
    expect_sound(s, ms, r, describe(in) + " limit " + std::to_string(in.limit));
    if (HasFailure()) return;
    failed += r > 1, pruned += r == 1;
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(pruned, 0);
}

TEST_F(ParallelConflict, EdgeCases)
{
  /* every task has a compulsory part: nothing to do */
  problem fixed{{spec{range(0, 1), 3, 3, 1}, spec{range(4, 4), 2, 2, 1}}, {}, 2};
  mock_set a(fixed);
  EXPECT_EQ(run(a, fixed), 0);
  EXPECT_TRUE(a.log.empty());
  /* one task taller than every gap fails at once */
  problem tall{{spec{range(0, 0), 6, 6, 2}, spec{range(0, 3), 2, 2, 2}}, {}, 3};
  mock_set b(tall);
  EXPECT_GT(run(b, tall), 1);
  /* by slices, where the surface leaves a margin: tasks 2 high cannot run side by side in a gap
   * of 3, and 6 time units do not fit in 5 */
  spec two_high{range(0, 3), 2, 2, 2};
  problem side{{two_high, two_high, two_high}, {}, 3};
  mock_set c(side);
  EXPECT_GT(run(c, side), 1);
  EXPECT_FALSE(oracle(side).run().feasible);
  /* a shorter task kept out of a step its stack leaves too little room in */
  problem narrow{{spec{range(5, 5), 4, 4, 2}, spec{range(2, 4), 1, 1, 2}, spec{range(0, 0), 1, 1, 1},
                  spec{range(0, 4), 4, 4, 1}}, {}, 2};
  mock_set d(narrow);
  support s = oracle(narrow).run();
  EXPECT_EQ(run(d, narrow), 1);
  expect_sound(s, d, 1, describe(narrow));
}

}  // namespace

/* ---- the compulsory-part profile and slack filtering ---- */

namespace {

/* Longest-hole tables of the instance at hand (open, closed), read by table_lh. */
std::vector<int32_t> lh_open, lh_closed;
int64_t table_lh(ORVALIS_API_STRUCT *, int64_t, int eps, int closed)
{
  if (eps < 1 || eps > (int)lh_open.size()) return SCHED_SUP;
  return (closed ? lh_closed : lh_open)[eps - 1];
}

class SlackFiltering : public UnaryFilter {
protected:
  void hole_tables(const mock_set &ms, int limit, int32_t length, int64_t slack)
  {
    std::vector<lhs> list;
    for (const task &t : ms.t) list.push_back({t.dur, t.res, 0});
    lh_open.assign(limit, 0), lh_closed.assign(limit, 0);
    env.w->numstack_end = nullptr;
    fd_lh_init(api(), env.w, slack, 0, 1, length, limit, (int)list.size(), list.data(),
               lh_open.data(), lh_closed.data(), 1000, 2);
  }
  /* One slack-filtering call over the tasks' window at the limit; the tasks must all be present
   * with fixed durations. */
  int run(mock_set &ms, int limit, int flags, dvar *limitvar = nullptr, bool tables = false)
  {
    size_mem held{0, nullptr};
    int32_t lo, hi;
    unary_data *u = with_slack(ms, flags, limit, &held, &lo, &hi);
    if (tables) hole_tables(ms, limit, hi - lo, u->slack);
    int r = slack_filtering(api(), env.w, u, limitvar, lo, hi, tables ? table_lh : no_lh_bound, flags);
    unary_release(api(), u, &held);
    return r;
  }
  /* Runs the filter on in until a call prunes nothing (at most 8 times), every result checked
   * against the oracle; returns the pruning calls, *failed set when the last one failed. */
  int settle(const problem &in, int limit, int flags, bool tables = false, bool *failed = nullptr)
  {
    support s = oracle(in).run();
    mock_set ms(in);
    int call = 0, r = 1;
    for (; call < 8 && r == 1; call++) {
      r = run(ms, limit, flags, nullptr, tables);
      expect_sound(s, ms, r, describe(in) + " limit " + std::to_string(limit));
    }
    if (failed) *failed = r > 1;
    return call - (r != 1);
  }
  /* Two tasks of duration 3 whose compulsory parts meet in [6, 7), between the columns 4 and 8
   * that fixed tasks mark; they cannot both run inside [5, 8) beside the tall fixed tasks at 5
   * and 7, so both put their heights into the columns. Beside them a long task and random
   * others. */
  static problem paired(generator &g)
  {
    problem in;
    in.limit = g.pick(2, 3);
    auto h = [&] { return g.pick(1, in.limit); };
    in.tasks = {spec{range(4, 6), 3, 3, h()}, spec{range(4, 6), 3, 3, h()},
                spec{range(5, 5), 1, 1, h()}, spec{range(7, 7), 1, 1, h()},
                spec{range(4, 4), 1, 1, h()}};
    int d = g.pick(4, 6);
    in.tasks.push_back(spec{range(g.pick(0, 4), g.pick(8, 12)), d, d, h()});
    if (g.chance(0.5)) {
      int e = g.pick(1, 3), lo = g.pick(0, 10);
      in.tasks.push_back(spec{range(lo, lo + g.pick(0, 3)), e, e, h()});
    }
    return in;
  }
  /* Instances near an exact fill: each of the limit's unit rows of [0, width) cut into tasks,
   * then `slack` units of duration taken off; the true starts widened by random others. */
  static problem packed(generator &g, int limit, int width, int slack)
  {
    problem in;
    in.limit = limit;
    for (int row = 0; row < limit; row++)
      for (int x = 0; x < width;) {
        int d = std::min(width - x, g.pick(1, 4));
        in.tasks.push_back(spec{(mask)1 << x, d, d, 1});
        x += d;
      }
    for (int k = 0; k < slack; k++) {
      spec &t = in.tasks[g.pick(0, (int)in.tasks.size() - 1)];
      if (t.dmin > 1) t.dmin--, t.dmax--;
    }
    for (spec &t : in.tasks)
      for (int v = 0; v + t.dmin <= width; v++)
        if (g.chance(0.35)) t.starts |= (mask)1 << v;
    return in;
  }
};

TEST_F(SlackFiltering, ProfileKeepsItsInvariantsAndRaisesTheLimit)
{
  generator g(77);
  g.max_height = 3, g.p_hole = 0.2;
  for (int k = 0; k < (fd_gc_stress ? 40 : 400); k++) {
    problem in = g.make(g.pick(1, 6));
    mock_set ms(in);
    ms.install(api());
    size_mem held{0, nullptr};
    int n = (int)ms.t.size();
    unary_data *u = unary_alloc(api(), env.w, ms.t.data(), n, n, 0, &held);
    int32_t a = g.pick(-1, 6), b = g.pick(a, 14), except = g.pick(-1, n - 1);
    std::vector<int64_t> use(20, 0);
    for (int i = 0; i < n; i++) {
      const task &t = ms.t[i];
      if (i != except)
        for (int x = std::max(a, task_lst(&t)); x < std::min(b, task_ect(&t)); x++) use[x] += t.res;
    }
    int64_t top = *std::max_element(use.begin(), use.end());
    dvar lim;
    dvar_init_temp(&lim, MakeSmall(0), MakeSmall(4));
    bool ok = compulsory_parts(api(), u, except, a, b, &lim);
    SCOPED_TRACE(describe(in));
    EXPECT_EQ(ok, top <= 4);
    if (ok) {
      EXPECT_EQ(GetSmall(lim.min), top);
      const comppart *cp = u->cp;
      EXPECT_EQ(cp[0].start, FD_INF_L);
      EXPECT_EQ(cp[0].height, 0);
      int k2 = 1;
      for (; cp[k2].start != FD_SUP_L; k2++) {
        EXPECT_LT(cp[k2 - 1].start, cp[k2].start);
        EXPECT_NE(cp[k2 - 1].height, cp[k2].height);
      }
      EXPECT_EQ(cp[k2].height, 0);
      EXPECT_EQ(cp[k2 - 1].height, 0);
      for (int x = -1; x < 20; x++) EXPECT_EQ(cp_height(cp, x), x < 0 ? 0 : use[x]) << x;
    }
    unary_release(api(), u, &held);
    if (HasFailure()) return;
  }
}

TEST_F(SlackFiltering, NoSupportedPlacementIsLost)
{
  fd_slack_counts = {};
  int failed = 0, pruned = 0;
  for (int flags : {10, 14}) {
    generator g(flags * 31 + 5);
    for (int k = 0; k < (fd_gc_stress ? 60 : 600); k++) {
      int limit = g.pick(1, 3);
      problem in = g.chance(0.6) ? packed(g, limit, g.pick(3, limit == 1 ? 10 : 6), g.pick(0, 3))
                                 : (g.limit = limit, g.max_height = limit, g.make(g.pick(2, 6)));
      if (in.tasks.size() > 6) continue;
      bool fail;
      pruned += settle(in, limit, flags, false, &fail);
      failed += fail;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(pruned, 0);
  /* every rule acted somewhere */
  EXPECT_GT(fd_slack_counts.fills_failed, 0);
  EXPECT_GT(fd_slack_counts.overlaps, 0);
  EXPECT_GT(fd_slack_counts.losses_raised, 0);
  EXPECT_GT(fd_slack_counts.knapsack_runs, 0);
  EXPECT_GT(fd_slack_counts.subset_raised, 0);
}

/* Instances shaped for the rules on the profile: tasks of heights up to 2 packed first-fit in a
 * random order under a limit of 2 to 4, the window their makespan; starts widened, and the packed
 * start sometimes taken away (so some instances have no schedule). Each rule acts somewhere. */
TEST_F(SlackFiltering, ShapedInstancesReachEveryRule)
{
  fd_slack_counts = {};
  generator g(612);
  for (int k = 0; k < 3000 && !HasFailure(); k++) {
    problem in;
    in.limit = g.pick(2, 4);
    std::vector<int> use(64, 0);
    int n = g.pick(3, 6), end = 0;
    for (int i = 0; i < n; i++) {
      int d = g.pick(1, 3), h = g.pick(1, 2), x = 0;
      auto fits = [&](int at) {
        for (int y = at; y < at + d; y++)
          if (use[y] + h > in.limit) return false;
        return true;
      };
      while (!fits(x)) x++;
      for (int y = x; y < x + d; y++) use[y] += h;
      end = std::max(end, x + d);
      in.tasks.push_back(spec{(mask)1 << x, d, d, h});
    }
    /* odd instances: some tasks stay put, the others only move later (stairs of fixed parts) */
    bool later = k % 2;
    for (spec &t : in.tasks) {
      int at = lowest(t.starts);
      if (later && g.chance(0.4)) continue;
      for (int v = later ? at : 0; v + t.dmin <= end; v++)
        if (g.chance(0.3)) t.starts |= (mask)1 << v;
      if (g.chance(0.15) && t.starts != ((mask)1 << at)) t.starts &= ~((mask)1 << at);
    }
    settle(in, in.limit, 10);
  }
  /* the inner pair of the two instants, with and without longest-hole tables */
  for (int k = 0; k < (fd_gc_stress ? 200 : 2000) && !HasFailure(); k++) {
    problem in = paired(g);
    settle(in, in.limit, 10, k % 2);
  }
  EXPECT_GT(fd_slack_counts.stairs_failed, 0);
  EXPECT_GT(fd_slack_counts.instants, 0);
  EXPECT_GT(fd_slack_counts.disj_failed, 0);
  EXPECT_GT(fd_slack_counts.above_cut, 0);
  EXPECT_GT(fd_slack_counts.inner_pairs, 0);
  EXPECT_GT(fd_slack_counts.instants_middle, 0);
}

TEST_F(SlackFiltering, EdgeCases)
{
  auto t = [](mask starts, int d, int h = 1) { return spec{starts, d, d, h}; };
  /* zero slack: the free unit [1, 2) has one task able to fill it */
  problem exact{{t(range(0, 0), 1), t(range(1, 1) | range(3, 3), 1), t(range(2, 2), 2)}, {}, 1};
  mock_set a(exact);
  EXPECT_EQ(run(a, 1, 10), 1);
  EXPECT_EQ(a.m[1].starts, (mask)1 << 1);
  /* one step covering the whole window is not filled, though it must waste the slack */
  problem whole{{t(range(0, 4), 2)}, {}, 1};
  mock_set b(whole);
  fd_slack_counts = {};
  EXPECT_EQ(run(b, 1, 10), 0);
  EXPECT_EQ(fd_slack_counts.losses_raised, 0);
  /* a stair: once the first calls have fixed what they can, the fixed parts fall from height 2
   * to 1 with no open task starting earlier, and the open tasks cannot cover the free room
   * beside the slack from their earliest starts (no schedule) */
  problem stair{{t(range(0, 0), 2), t(range(2, 2), 3), t(range(0, 0) | range(2, 2), 3),
                 t(range(2, 3), 2), t(range(3, 4), 1, 2), t(range(0, 0) | range(3, 3), 1, 2)},
                {},
                3};
  mock_set st(stair);
  fd_slack_counts = {};
  int r = 1;
  for (int call = 0; call < 8 && r == 1; call++) r = run(st, 3, 10);
  EXPECT_EQ(r, 2);
  EXPECT_EQ(fd_slack_counts.stairs_failed, 1);
  EXPECT_FALSE(oracle(stair).run().feasible);
  /* a task as tall as the step's room leaves beside it a hole that the others must fill: the
   * longest-hole tables bound its length (no schedule) */
  problem tall{{t(range(3, 4) | range(6, 6), 2, 2), t(range(3, 5), 2), t(range(4, 6), 4, 2)}, {}, 2};
  mock_set ta(tall);
  fd_slack_counts = {};
  r = 1;
  for (int call = 0; call < 8 && r == 1; call++) r = run(ta, 2, 10, nullptr, true);
  EXPECT_EQ(r, 2);
  EXPECT_GT(fd_slack_counts.full_height, 0);
  EXPECT_FALSE(oracle(tall).run().feasible);
  /* the knapsack columns are skipped when the slack reaches twice the limit */
  for (int last : {4, 3}) { /* window [0, 6): slack 4 = 2 x limit; [0, 5): slack 2 */
    problem loose{{t(range(0, last), 2, 2), t(range(0, last), 2, 2)}, {}, 2};
    mock_set c(loose);
    fd_slack_counts = {};
    run(c, 2, 14);
    EXPECT_EQ(fd_slack_counts.knapsack_runs > 0, last == 3) << last;
  }
}

}  // namespace

/* ---- the cumulative filter driver ---- */

namespace {

int hasher_calls;
int miss_hasher(ORVALIS_API_STRUCT *, int, int32_t *, int, int32_t, int32_t, int32_t)
{
  hasher_calls++;
  return 0;
}

class DiscreteFiltering : public UnaryFilter {
protected:
  int run(mock_set &ms, int flags, dvar *limit)
  {
    ms.install(api());
    env.w->numstack_end = nullptr;
    size_mem held[SCHED_SCRATCH] = {};
    int n = (int)ms.t.size();
    return fd_discrete_filtering(api(), ms.t.data(), n, n, flags, ms.diffvar.data(), limit, nullptr,
                                 nullptr, ms.dc.data(), (int)ms.dc.size(), no_lh_bound,
                                 flags & 4 ? miss_hasher : nullptr, held, env.w);
  }
  /* Runs the filter on in at its limit until a call prunes nothing (at most calls times), every
   * result checked against the oracle; returns the pruning calls, *failed set when the last failed. */
  int settle(const problem &in, int flags, int calls, bool *failed = nullptr, const std::string &what = "")
  {
    support s = oracle(in).run();
    mock_set ms(in);
    dvar lim;
    dvar_init_temp(&lim, MakeSmall(in.limit), MakeSmall(in.limit));
    int call = 0, r = 1;
    for (; call < calls && r == 1; call++) {
      r = run(ms, flags, &lim);
      expect_sound(s, ms, r, describe(in) + " limit " + std::to_string(in.limit) + what);
    }
    if (failed) *failed = r > 1;
    return call - (r != 1);
  }
};

TEST_F(DiscreteFiltering, NoSupportedPlacementIsLostOverEveryFlagCombination)
{
  for (int flags : {0, 2, 10, 14}) {
    bool fixed = flags & 8;
    generator g(flags * 13 + 3);
    g.p_hole = 0.2, g.max_dur = 4, g.horizon = 10;
    g.dspread = fixed ? 0 : 1, g.p_optional = fixed ? 0 : 0.25;
    int failed = 0, pruned = 0;
    for (int k = 0; k < (fd_gc_stress ? 50 : 500); k++) {
      g.limit = g.pick(1, 3), g.max_height = g.limit + (g.chance(0.1) ? 1 : 0);
      g.precedences = g.pick(0, 2);
      problem in = g.make(g.pick(2, 5));
      if (!fixed)
        for (spec &t : in.tasks)
          if (g.chance(0.15)) t.dmin = 0; /* may last 0: occupies nothing */
      bool fail;
      pruned += settle(in, flags, 10, &fail, " flags " + std::to_string(flags));
      failed += fail;
      if (HasFailure()) return;
    }
    EXPECT_GT(failed, 0) << flags;
    EXPECT_GT(pruned, 0) << flags;
  }
}

/* Instances built for the precedence rules: a chain of start-ordered tasks with wide windows
 * beside tasks fixed into a profile; every rule keeps the oracle's placements and each one acts. */
TEST_F(DiscreteFiltering, PrecedenceRulesKeepEverySupportedPlacement)
{
  fd_discrete_counts = {};
  generator g(2024);
  for (int k = 0; k < (fd_gc_stress ? 300 : 3000) && !HasFailure(); k++) {
    problem in;
    in.limit = g.pick(2, 3);
    bool fixed = g.chance(0.5);
    int chain = g.pick(2, 3), width = g.pick(3, 6);
    for (int i = 0; i < chain + g.pick(1, 2); i++) {
      int d = g.pick(1, 3), lo = g.pick(0, 2);
      spec t{range(lo, lo + width), d, d + (fixed ? 0 : g.pick(0, 1)), g.pick(1, in.limit)};
      if (i >= chain) { /* a blocker */
        t.starts = (mask)1 << g.pick(0, 5);
        t.dmin = t.dmax = g.pick(2, 4);
      }
      in.tasks.push_back(t);
    }
    for (int i = 0; i + 1 < chain && k % 2; i++) in.prec.push_back({i, i + 1, g.pick(-1, 1), g.pick(2, 8)});
    settle(in, fixed ? 8 : 0, 10);
  }
  EXPECT_GT(fd_discrete_counts.detectable, 0);
  EXPECT_GT(fd_discrete_counts.chains, 0);
}

/* Uniform chains (one duration, one height, start-ordered by their pairs) beside other tasks in
 * a nearly full window, fixed durations with slack filtering on: the chain rule keeps the
 * oracle's placements and acts. */
TEST_F(DiscreteFiltering, UniformChainsKeepEverySupportedPlacement)
{
  fd_slack_counts = {};
  generator g(4242);
  for (int k = 0; k < 3000 && !HasFailure(); k++) {
    problem in;
    in.limit = g.pick(2, 3);
    int d = g.pick(1, 2), h = g.pick(1, 2), chain = g.pick(3, 4), width = g.pick(4, 7);
    for (int i = 0; i < chain; i++) in.tasks.push_back(spec{range(0, width - d), d, d, h});
    for (int i = g.pick(1, 2); i > 0; i--) {
      int e = g.pick(1, 3), lo = g.pick(0, width - e);
      in.tasks.push_back(spec{range(lo, std::min(width - e, lo + g.pick(0, 2))), e, e, g.pick(1, in.limit)});
    }
    for (int i = 0; i + 1 < chain; i++) in.prec.push_back({i, i + 1, g.pick(0, 1), width});
    settle(in, 10, 12);
  }
  EXPECT_GT(fd_slack_counts.chain_rule, 0);
}

TEST_F(DiscreteFiltering, FixedTasksFailExactlyOnOverloadAndRaiseTheLimit)
{
  generator g(91);
  g.p_hole = 0;
  for (int k = 0; k < (fd_gc_stress ? 40 : 400); k++) {
    g.limit = 4, g.max_height = 3;
    problem in = g.make(g.pick(1, 5));
    int top = 0;
    std::vector<int> use(40, 0);
    for (spec &t : in.tasks) {
      t.starts = (mask)1 << lowest(t.starts);
      for (int x = lowest(t.starts); x < lowest(t.starts) + t.dmin; x++)
        top = std::max(top, use[x] += t.height);
    }
    int cap = g.pick(1, 4);
    mock_set ms(in);
    dvar lim;
    dvar_init_temp(&lim, MakeSmall(0), MakeSmall(cap));
    int r = run(ms, g.pick(0, 1) * 2, &lim);
    EXPECT_EQ(r > 1, top > cap) << describe(in) << " cap " << cap;
    if (r < 2) {
      EXPECT_EQ(GetSmall(lim.min), top) << describe(in);
    }
  }
}

TEST_F(DiscreteFiltering, EdgeCases)
{
  auto t = [](mask starts, int d, int h = 1) { return spec{starts, d, d, h}; };
  dvar lim;
  /* no tasks: nothing to do */
  mock_set none(problem{{}, {}, 1});
  dvar_init_temp(&lim, MakeSmall(1), MakeSmall(1));
  EXPECT_EQ(run(none, 2, &lim), 0);
  /* every task of full height: the clique is all tasks and the unary filter orders them */
  problem full{{t(range(0, 0), 3, 2), t(range(0, 5), 2, 2), t(range(0, 5), 2, 2)}, {}, 2};
  mock_set a(full);
  dvar_init_temp(&lim, MakeSmall(2), MakeSmall(2));
  EXPECT_EQ(run(a, 0, &lim), 1);
  EXPECT_EQ(a.m[1].starts & range(0, 2), 0u);
  /* too tall together, windows apart: still a pair, nothing moves */
  problem apart{{t(range(0, 1), 2, 2), t(range(5, 6), 2, 2)}, {}, 3};
  mock_set b(apart);
  dvar_init_temp(&lim, MakeSmall(3), MakeSmall(3));
  EXPECT_EQ(run(b, 2, &lim), 0);
  EXPECT_TRUE(b.log.empty() || b.log[0].op == "refresh");
  /* two tasks that fit beside each other but not beside the fixed one: a disjunctive pair, so
   * neither may start at 1 (the other could go neither before nor after) */
  problem room{{t(range(0, 0), 4, 2), t(range(0, 2), 2), t(range(0, 2), 2)}, {}, 3};
  mock_set c(room);
  dvar_init_temp(&lim, MakeSmall(3), MakeSmall(3));
  EXPECT_EQ(run(c, 0, &lim), 1);
  EXPECT_EQ(c.m[1].starts, (mask)0b101);
  EXPECT_EQ(c.m[2].starts, (mask)0b101);
  /* a task (1) with no compulsory part meets a blocker (2, 3) wherever it goes; beside the other
   * (0) it would overload there, though both fit beside the blockers elsewhere: the other may not
   * cover both blockers, at its latest stretch and at its earliest */
  for (int side = 0; side < 2; side++) {
    int b = side ? 2 : 3;
    problem st{{t(side ? range(2, 5) : range(0, 3), 3), t(range(b - 1, b + 1), 2),
                t(range(b, b), 1, 2), t(range(b + 2, b + 2), 1, 2)},
               {},
               3};
    mock_set d(st);
    dvar_init_temp(&lim, MakeSmall(3), MakeSmall(3));
    fd_discrete_counts = {};
    EXPECT_EQ(run(d, 8, &lim), 1);
    EXPECT_EQ(fd_discrete_counts.detectable, 1);
    EXPECT_EQ(d.m[0].starts, oracle(st).run().starts[0]) << describe(st);
  }
}

}  // namespace
