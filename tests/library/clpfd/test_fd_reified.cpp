/* The reified and related constraints le_iff/3, eq_iff/3, in_set_iff/3, oneof/3 and abs/2, posted
 * as global constraints and run by the propagation loop; a search driver supplies the hook that
 * merges two FD variables the engine unifies. Random instances are checked against brute force
 * over the distinct variables.
 */
#include <algorithm>
#include <bit>
#include <memory>
#include <random>
#include <set>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "fd_oracle.h"
#include "gc.h"

namespace {

/* The relation of each constraint over argument values (in_set_iff's set is a bit mask of
 * -4..4, passed as a). */
bool holds(const std::string &k, const std::vector<int> &v, int set = 0)
{
  if (k == "le_iff") return v[2] == (v[0] <= v[1]);
  if (k == "eq_iff") return v[2] == (v[0] == v[1]);
  if (k == "in_set_iff") return v[1] == (v[0] >= -4 && v[0] <= 4 && (set >> (v[0] + 4) & 1));
  if (k == "oneof") return v[2] == v[0] || v[2] == v[1];
  return v[1] == (v[0] < 0 ? -v[0] : v[0]); /* abs */
}

/* An FD set term of the values of a mask over -4..4 (bit v + 4). */
std::string set_term(int mask)
{
  std::string s = "[";
  for (int v = -4; v <= 4; v++) {
    if (!(mask >> (v + 4) & 1) || (v > -4 && mask >> (v + 3) & 1)) continue;
    int h = v;
    while (h < 4 && mask >> (h + 5) & 1) h++;
    s += (s.size() > 1 ? ",[" : "[") + std::to_string(v) + "|" + std::to_string(h) + "]";
  }
  return s + "]";
}

}  // namespace

class FdReified : public FdKernelTest {
protected:
  FdReified()
  {
    hooks = std::make_unique<fd_driver::driver>(api);
    /* prop: the loop to its end. post(C, G): C posted with a state of each variable argument
     * and its attribute (in_set_iff: X, XA, S, B, BA), then Handle and Stamp. codes(Vs, Cs):
     * each domain as a bit mask over -4..4 (bit V + 4). */
    consult(fd_oracle::prelude);
    consult("i(V, L, H) :- clpfd:'$fd_in_interval'(V, L, H, 0).\n"
            "in(V, L, H) :- clpfd:'$fd_in_interval'(V, L, H, 1).\n"
            "pairs([], [H, 0], []).\n"
            "pairs([X|Xs], [X, A|L], [dom(X)|Su]) :- attr(X, A), pairs(Xs, L, Su).\n"
            "state(in_set_iff(X, S, B), [X, XA, S, B, BA, _, 0], [dom(X), dom(B)]) :- !, "
            "attr(X, XA), attr(B, BA).\n"
            "state(C, L, Su) :- C =.. [_|Args], pairs(Args, L, Su).\n"
            "post(C, G) :- state(C, L, Su0), S =.. [s|L], "
            "( functor(C, eq_iff, 3) -> Su = [] ; Su = Su0 ), clpfd:'$fd_begin', "
            "clpfd:'$fd_post_global'(C, S, 0, C, Su, G).\n"
            "codes([], []).\n"
            "codes([V|Vs], [C|Cs]) :- code(V, C), codes(Vs, Cs).\n"
            "code(V, C) :- dom(V, S), set_bits(S, 0, C).\n"
            "set_bits([], B, B).\n"
            "set_bits([[L|H]|T], B0, B) :- B1 is B0 \\/ ((1 << (H + 5)) - (1 << (L + 4))), "
            "set_bits(T, B1, B).\n"
            "b(G, V, R) :- ( G -> R = V ; R = 0 ).\n");
  }
  ~FdReified() override { hooks.reset(); }

  std::unique_ptr<fd_driver::driver> hooks;
};

/* The edge cases and the alias cases: the domains after the loop and whether the
 * constraint is entailed. */
TEST_F(FdReified, EdgeCases)
{
  const struct {
    const char *setup, *constraint, *vars, *expected;
  } cases[] = {
      {"i(X, 1, 3), i(Y, 5, 9)", "le_iff(X, Y, B)", "[X, Y, B]", "r([[[1|3]],[[5|9]],[[1|1]]],1)"},
      {"i(X, 0, 10), i(Y, 3, 20)", "le_iff(X, Y, 0)", "[X, Y]", "r([[[4|10]],[[3|9]]],0)"},
      {"X = 5, i(Y, 0, 9)", "le_iff(X, Y, 1)", "[X, Y]", "r([[[5|5]],[[5|9]]],1)"},
      {"X = 3, i(Y, 1, 5)", "eq_iff(X, Y, 0)", "[Y]", "r([[[1|2],[4|5]]],1)"},
      {"i(X, 1, 3), i(Y, 4, 6)", "eq_iff(X, Y, B)", "[B]", "r([[[0|0]]],1)"},
      {"i(X, 1, 3)", "in_set_iff(X, [], B)", "[X, B]", "r([[[1|3]],[[0|0]]],1)"},
      {"X = 1, Y = 2, i(Z, 0, 5)", "oneof(X, Y, Z)", "[Z]", "r([[[1|2]]],1)"},
      {"i(X, -3, 5)", "abs(X, Y)", "[X, Y]", "r([[[-3|5]],[[0|5]]],0)"},
      {"i(X, -5, -2), i(Y, 0, 3)", "abs(X, Y)", "[X, Y]", "r([[[-3|-2]],[[2|3]]],0)"},
      /* infinite ends */
      {"i(X, inf, sup), i(Y, inf, 5)", "le_iff(X, Y, 1)", "[X, Y]", "r([[[inf|5]],[[inf|5]]],0)"},
      {"i(X, inf, 3), i(Y, 5, sup)", "le_iff(X, Y, B)", "[B]", "r([[[1|1]]],1)"},
      {"i(X, 2, sup), i(Y, inf, 1)", "le_iff(X, Y, B)", "[B]", "r([[[0|0]]],1)"},
      {"i(X, inf, sup), i(Y, 0, sup)", "le_iff(X, Y, 0)", "[X, Y]", "r([[[1|sup]],[[0|sup]]],0)"},
      {"i(X, inf, sup)", "abs(X, Y)", "[X, Y]", "r([[[inf|sup]],[[0|sup]]],0)"},
      {"i(X, inf, -2), i(Y, 0, 3)", "abs(X, Y)", "[X, Y]", "r([[[-3|-2]],[[2|3]]],0)"},
      {"i(X, 3, sup)", "in_set_iff(X, [[inf|2],[5|sup]], B)", "[X, B]", "r([[[3|sup]],[[0|1]]],0)"},
      {"i(X, 3, sup)", "in_set_iff(X, [[inf|2],[5|sup]], 0)", "[X]", "r([[[3|4]]],1)"},
      /* shared variables */
      {"i(X, 1, 5)", "le_iff(X, X, B)", "[B]", "r([[[1|1]]],1)"},
      {"i(X, 1, 5)", "eq_iff(X, X, B)", "[B]", "r([[[1|1]]],1)"},
      {"i(X, -2, 5)", "abs(X, X)", "[X]", "r([[[0|5]]],1)"},
      {"i(X, 1, 5), i(Z, 0, 9)", "oneof(X, Y, X)", "[X]", "r([[[1|5]]],1)"},
      {"i(X, 0, 9), i(Y, -5, 5)", "le_iff(X, Y, X)", "[X, Y]", "r([[[0|1]],[[-5|5]]],0)"},
      /* a single common value is told, not unified */
      {"i(X, 1, 3), i(Y, 3, 5)", "eq_iff(X, Y, 1)", "[X, Y]", "r([[[3|3]],[[3|3]]],1)"},
      {"i(X, 10, 12), Y = 4, i(Z, 3, 8)", "oneof(X, Y, Z)", "[Z]", "r([[[4|4]]],1)"},
      {"i(X, 10, 12), i(Y, 1, 4), i(Z, 4, 8)", "oneof(X, Y, Z)", "[Y, Z]",
       "r([[[4|4]],[[4|4]]],1)"},
  };
  for (const auto &c : cases) {
    std::string goal = std::string("undone((") + c.setup + ", post(" + c.constraint +
                       ", G), prop, dead(G, E), doms(" + c.vars + ", D)), r(D, E), R)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("R"), c.expected);
  }
}

namespace {

/* An argument: variable V<index> of the pool, or an integer. */
struct arg {
  bool is_var;
  int v;
};

struct problem {
  std::string kind;
  std::vector<arg> args;
  int set = 0;     /* in_set_iff's S, a mask over -4..4 */
  int dom[3] = {}; /* the pool's domains, masks over -4..4 */
};

constexpr int POOL = 3;

/* Whether the pool's values satisfy the constraint. */
bool satisfies(const problem &c, const fd_oracle::values &a)
{
  std::vector<int> v;
  for (const arg &x : c.args) v.push_back(x.is_var ? (int)a[x.v] : x.v);
  return holds(c.kind, v, c.set);
}

/* The values of each mask over -4..4. */
std::vector<fd_oracle::values> values_of(const int dom[POOL])
{
  std::vector<fd_oracle::values> out(POOL);
  for (int k = 0; k < POOL; k++)
    for (int v = -4; v <= 4; v++)
      if (dom[k] >> (v + 4) & 1) out[k].push_back(v);
  return out;
}

std::string term(const arg &a) { return (a.is_var ? "V" : "") + std::to_string(a.v); }

/* A random instance: each argument a pool variable or (one time in four) a constant; the
 * reified B is mostly V2, whose domain mostly lies within 0..1. */
problem random_instance(std::mt19937 &random, const std::string &kind)
{
  problem c;
  c.kind = kind;
  int n = kind == "abs" ? 2 : kind == "in_set_iff" ? 2 : 3;
  bool reified = kind.ends_with("_iff");
  for (int k = 0; k < n; k++) {
    bool is_b = reified && k == n - 1;
    if (random() % 4 == 0)
      c.args.push_back(
          {false, is_b ? (int)(random() % 7 == 0 ? 2 : random() % 2) : (int)(random() % 9) - 4});
    else
      c.args.push_back({true, is_b && random() % 6 ? 2 : (int)(random() % POOL)});
  }
  for (int k = 0; k < POOL; k++) {
    int mask = 0;
    while (!mask) {
      if (k == 2 && random() % 3)
        mask = 1 << 4 | 1 << 5;
      else if (random() % 3 == 0) {
        int lo = (int)(random() % 9), hi = (int)(random() % 9);
        if (lo > hi) std::swap(lo, hi);
        mask = (1 << (hi + 1)) - (1 << lo);
      } else {
        mask = (int)(random() % 512);
      }
    }
    c.dom[k] = mask;
  }
  if (kind == "in_set_iff") c.set = random() % 5 == 0 ? 0 : (int)(random() % 512);
  return c;
}

std::string constraint_term(const problem &c)
{
  std::string s = c.kind + "(" + term(c.args[0]);
  if (c.kind == "in_set_iff") s += ", " + set_term(c.set);
  for (size_t k = 1; k < c.args.size(); k++) s += ", " + term(c.args[k]);
  return s + ")";
}

/* One snapshot: domains, aliases, entailed; or failed. */
struct snapshot {
  bool failed = true;
  int dom[POOL] = {};
  int alias = 0;
  bool entailed = false;
};

snapshot read_snapshot(const fd_oracle::values &n, size_t &at)
{
  snapshot s;
  if (n[at] == fd_oracle::FAILED) {
    at++;
    return s;
  }
  s.failed = false;
  for (int k = 0; k < POOL; k++) s.dom[k] = (int)n[at++];
  s.alias = (int)n[at++];
  s.entailed = n[at++] != 0;
  return s;
}

}  // namespace

/* Random instances of every constraint with holes, constants and shared variables, run to the
 * fixpoint, then once more after one variable is narrowed (a value or an interval) under the
 * same search: failure only without solutions; every solution within the domains, its aliased
 * variables equal; entailment only when every assignment left is a solution; a rerun at the
 * fixpoint prunes nothing; backtracking restores every domain. */
TEST_F(FdReified, RandomInstancesAgainstBruteForce)
{
  consult("rsnap(Vs, G, s(C, A, E)) :- codes(Vs, C), al(Vs, A), dead(G, E).\n"
          "al([X, Y, Z], A) :- b(X == Y, 1, A1), b(X == Z, 2, A2), b(Y == Z, 4, A3), "
          "A is A1 + A2 + A3.\n"
          "phase(G, Vs, Gl, S) :- ( call(G), prop -> rsnap(Vs, Gl, S) ; S = failed ).\n"
          "again(G, Vs, C) :- ( rerun(G) -> codes(Vs, C) ; C = failed ).\n");
  std::mt19937 random(6134);
  const char *kinds[] = {"le_iff", "eq_iff", "in_set_iff", "oneof", "abs"};
  int rounds = qx_gc_stress ? 40 : 600, entailed = 0, failed = 0, merged = 0;
  for (const char *kind : kinds)
    for (int round = 0; round < rounds; round++) {
      problem c = random_instance(random, kind);
      std::string setup = "Vs = [V0, V1, V2]";
      for (int k = 0; k < POOL; k++)
        setup += ", clpfd:'$fd_in_set'(V" + std::to_string(k) + ", " + set_term(c.dom[k]) + ", 0)";
      /* the narrowing: a pool variable to one value or an interval of -4..4 */
      int nk = (int)(random() % POOL), lo = (int)(random() % 9) - 4,
          hi = random() % 2 ? lo : (int)(random() % 9) - 4;
      if (lo > hi) std::swap(lo, hi);
      std::string narrow = "clpfd:'$fd_in_interval'(V" + std::to_string(nk) + ", " +
                           std::to_string(lo) + ", " + std::to_string(hi) + ", 1)";
      std::string goal = setup + ", undone((phase(post(" + constraint_term(c) +
                         ", G), Vs, G, S1), ( S1 == failed -> R = failed, S2 = failed ; " +
                         "again(G, Vs, R), phase(" + narrow +
                         ", Vs, G, S2) )), r(S1, R, S2), L), codes(Vs, B)";
      SCOPED_TRACE(goal);
      ASSERT_EQ(run(goal), 1) << exception();
      fd_oracle::values restored = fd_oracle::numbers(var("B")), n = fd_oracle::numbers(var("L"));
      ASSERT_EQ(restored.size(), (size_t)POOL);
      ASSERT_GE(n.size(), 3u) << var("L");
      for (int k = 0; k < POOL; k++) EXPECT_EQ(restored[k], c.dom[k]) << "not restored";
      size_t at = 0;
      snapshot s1 = read_snapshot(n, at);
      int narrowed[POOL] = {c.dom[0], c.dom[1], c.dom[2]};
      narrowed[nk] &= (1 << (hi + 5)) - (1 << (lo + 4));
      fd_oracle::values again;
      if (!s1.failed)
        for (int k = 0; k < POOL; k++) again.push_back(n[at++]);
      snapshot s2 = read_snapshot(n, at);
      const std::pair<const snapshot &, const int *> phases[] = {{s1, c.dom}, {s2, narrowed}};
      for (auto &[s, dom] : phases) {
        if (&s == &s2 && s1.failed) break;
        /* variables the run made one (alias bits 1: V0 = V1, 2: V0 = V2, 4: V1 = V2) are equal */
        auto live = [&](const fd_oracle::values &a) {
          return !(s.alias & 1 && a[0] != a[1]) && !(s.alias & 2 && a[0] != a[2]) &&
                 !(s.alias & 4 && a[1] != a[2]);
        };
        fd_oracle::check(
            values_of(dom), {s.failed, s.entailed, values_of(s.dom)},
            [&](const fd_oracle::values &a) { return satisfies(c, a); }, live);
        failed += s.failed;
        merged += !s.failed && s.alias != 0;
        entailed += !s.failed && s.entailed;
      }
      for (size_t k = 0; k < again.size(); k++)
        EXPECT_EQ(again[k], s1.dom[k]) << "a rerun at the fixpoint pruned " << k;
    }
  /* the instances reach every outcome */
  EXPECT_GT(entailed, rounds);
  EXPECT_GT(failed, rounds / 4);
  EXPECT_GT(merged, rounds / 10);
}

/* eq_iff's daemon wakes the propagator only when a run can decide something: B fixed at posting,
 * on X or Y becoming fixed; B open, on X and Y becoming disjoint or both fixed, or on B becoming
 * fixed unless it is 0 with X and Y open, or on X and Y becoming one variable. Each row: the domains, B, then narrowings (X := 3 is
 * in(X, 3, 3)), each followed by the loop; the propagator runs of the posting and of each step,
 * whether it ended entailed, the domains of X, Y and B and whether X and Y are one variable. */
TEST_F(FdReified, EqIffDaemonWakesOnlyWhenARunDecides)
{
  consult("st(N) :- clpfd:'$fd_statistics'(0, N).\n"
          "steps([], []).\n"
          "steps([S|Ss], [N|Ns]) :- call(S), prop, st(N), steps(Ss, Ns).\n");
  const struct {
    const char *setup, *steps, *expected;
  } rows[] = {
      /* B fixed at posting: the val lists of X and Y */
      {"in(X, 1, 5), in(Y, 1, 5), B = 0", "in(X, 2, 5), in(X, 3, 3), in(Y, 4, 5)",
       "r([1,0,1,0],1,[[[3|3]],[[4|5]],[[0|0]]],0)"},
      {"in(X, 1, 5), in(Y, 1, 5), B = 0", "in(Y, 2, 2), in(X, 1, 1)",
       "r([1,1,0],1,[[[1|1]],[[2|2]],[[0|0]]],0)"},
      {"in(X, 1, 5), in(Y, 3, 8), B = 1", "in(X, 4, 4)", "r([1,0],1,[[[4|4]],[[4|4]],[[1|1]]],1)"},
      /* B open: X and Y on their dom lists, B on its val list */
      {"in(X, 1, 5), in(Y, 3, 8), in(B, 0, 1)", "in(X, 1, 4), in(Y, 5, 8)",
       "r([1,0,1],1,[[[1|4]],[[5|8]],[[0|0]]],0)"},
      {"in(X, 1, 5), in(Y, 3, 8), in(B, 0, 1)", "in(B, 1, 1)",
       "r([1,1],1,[[[3|5]],[[3|5]],[[1|1]]],1)"},
      {"in(X, 1, 5), in(Y, 1, 5), in(B, 0, 1)", "in(B, 0, 0), in(X, 2, 4), in(X, 4, 4)",
       "r([1,0,0,1],1,[[[4|4]],[[1|3],[5|5]],[[0|0]]],0)"},
      {"in(X, 1, 5), in(Y, 1, 5), in(B, 0, 1)", "in(X, 3, 3), in(Y, 2, 4), in(Y, 3, 3)",
       "r([1,0,0,1],1,[[[3|3]],[[3|3]],[[1|1]]],1)"},
      {"in(X, 1, 5), in(Y, 1, 5), in(B, 0, 1)", "in(X, 3, 3), in(Y, 4, 5)",
       "r([1,0,1],1,[[[3|3]],[[4|5]],[[0|0]]],0)"},
      /* X and Y made one variable: B becomes 1 */
      {"in(X, 1, 5), in(Y, 2, 6), in(B, 0, 1)", "X = Y", "r([1,1],1,[[[2|5]],[[2|5]],[[1|1]]],1)"},
      {"in(X, 1, 5), in(Y, 1, 5), in(B, 0, 1)", "in(X, 2, 3), in(Y, 1, 4), in(B, 1, 1)",
       "r([1,0,0,1],1,[[[2|3]],[[2|3]],[[1|1]]],1)"},
  };
  for (const auto &row : rows) {
    std::string goal = "undone((" + std::string(row.setup) +
                       ", st(_), post(eq_iff(X, Y, B), G), prop, st(N0), steps([" + row.steps +
                       "], Ns), dead(G, E), doms([X, Y, B], D), b(X == Y, 1, XY)), "
                       "r([N0|Ns], E, D, XY), R)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("R"), row.expected);
  }
}

/* Two variables the constraint makes equal are unified by the engine; the search driver's hook
 * merges them into one with the common domain. In debugging mode the run reports the
 * unification as the action call(X = Y) instead, which the action hook then carries out. */
TEST_F(FdReified, TellEqUnifiesThroughTheEngine)
{
  const struct {
    const char *setup, *constraint, *pair, *expected, *then = "";
  } rows[] = {
      {"in(X, 1, 9), in(Y, 3, 12)", "eq_iff(X, Y, 1)", "X-Y", "[[3|9]]"},
      {"clpfd:'$fd_in_set'(X, [[1|1],[3|3],[5|5],[7|7]], 0), in(Y, 3, 9)", "eq_iff(X, Y, 1)", "X-Y",
       "[[3|3],[5|5],[7|7]]"},
      {"in(X, 10, 12), in(Y, 1, 5), in(Z, 3, 8)", "oneof(X, Y, Z)", "Y-Z", "[[3|5]]"},
      {"in(X, 1, 5), in(Y, 10, 12), in(Z, 3, 8)", "oneof(X, Y, Z)", "X-Z", "[[3|5]]"},
      {"in(X, 1, 5), in(Z, 3, 8)", "oneof(X, X, Z)", "X-Z", "[[3|5]]"},
      {"in(X, 0, 6), in(Y, 4, 9)", "abs(X, Y)", "X-Y", "[[4|6]]"},
      {"in(X, 1, 5), in(Y, 3, 8), in(B, 0, 1)", "eq_iff(X, Y, B)", "X-Y", "[[3|5]]",
       "prop, B = 1, "},
  };
  for (const auto &row : rows) {
    std::string base = std::string(row.setup) + ", post(" + row.constraint + ", G), " + row.then;
    std::string goal =
        "undone((" + base + "prop, " + row.pair + " = P-Q, P == Q, dom(P, D), dead(G, E)), D-E, R)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("R"), std::string("-(") + row.expected + ",1)");
    if (*row.then) continue;
    /* debugging mode: the action, the variables still apart; then the action is applied */
    goal = "undone((clpfd:'$fd_debug'(_, on, _), " + base +
           "G = global(M, C, _, _, _), mval(M, S), "
           "clpfd:'$fd_dispatch_global_fast'(C, S, _, A, G, 1), " +
           row.pair + " = P-Q, A = [exit, call(U = V)], b(U-V == P-Q, 1, I), b(P == Q, 1, J), " +
           "clpfd:'$fd_prune_and_enqueue'(A, G), b(P == Q, 1, K)), I-J-K, R)";
    ASSERT_EQ(run(goal), 1) << exception();
    std::string r = var("R");
    ASSERT_EQ(run("clpfd:'$fd_debug'(_, off, _)"), 1);
    EXPECT_EQ(r, "-(-(1,0),1)") << goal;
  }
}

/* A B that is no 0/1 value, a value that is no small integer or a variable without an
 * attribute fail; a malformed set, state or Handle raises an error; so does a native called
 * from Prolog without a global record. An overflow raises the overflow error, or fails in
 * fail mode. Nothing crashes. */
TEST_F(FdReified, BadInputAndOverflow)
{
  consult("try(C, S, R) :- clpfd:'$fd_begin', clpfd:'$fd_post_global'(C, S, 0, C, [], G), "
          "catch(( prop -> dead(G, R) ; R = failed ), error(E, _), short(E, R)).\n"
          "short(E, R) :- ( E = type_error(T, _) -> R = type_error(T) ; R = E ).\n"
          "marked(S) :- clpfd:'$fd_le_iff'(S, _, -12061).\n"
          "ovf(C, M, R) :- clpfd:'$fd_overflow'(O, M, _), post(C, _), "
          "catch(( prop -> R = passed ; R = failed ), E, R = E), clpfd:'$fd_overflow'(_, O, _).\n");
  const struct {
    const char *setup, *goal, *expected;
  } rows[] = {
      {"", "try(le_iff(X, Y, 2), s(X, XA, Y, YA, 2, BA, _, 0), R)", "failed"},
      {"", "try(eq_iff(X, Y, W), s(X, XA, Y, YA, W, foo, _, 0), R)", "failed"},
      {"", "try(eq_iff(X, Y, a), s(X, XA, Y, YA, a, foo, _, 0), R)", "failed"},
      {"", "try(le_iff(1.5, Y, B), s(1.5, foo, Y, YA, B, BA, _, 0), R)", "failed"},
      {"", "try(abs(X, Y), s(1099511627776, foo, Y, YA, _, 0), R)", "failed"},
      {"", "try(oneof(X, Y, Z), s(f(X), XA, Y, YA, Z, ZA, _, 0), R)", "failed"},
      {"", "try(le_iff(X, Y, B), s(X, XA, Y, YA, B, BA, _), R)", "type_error(compound)"},
      {"", "try(abs(X, Y), s(X, XA, Y, YA, [A|foo], 0), R)", "type_error(compound)"},
      {"", "try(abs(X, Y), s(X, XA, Y, YA, 7, 0), R)", "type_error(compound)"},
      {"", "try(in_set_iff(X, S, B), s(X, XA, [[3|1]], B, BA, _, 0), R)", "type_error(fd_set)"},
      {"", "try(in_set_iff(X, S, B), s(X, XA, [[1|2]|x], B, BA, _, 0), R)", "type_error(fd_set)"},
      {"", "try(in_set_iff(X, S, B), s(X, XA, S, B, BA, _, 0), R)", "instantiation_error"},
      {"", "try(in_set_iff(X, S, B), s(X, XA, [[1|a]], B, BA, _, 0), R)", "type_error(fd_set)"},
      {"", "catch(clpfd:'$fd_le_iff'(s(X, XA, Y, YA, B, BA, _, 0), _, _), error(E, _), R = E)",
       "instantiation_error"},
      /* whatever the third argument holds, a call from Prolog checks its global record */
      {"", "catch(marked(s(X, XA, Y, YA, B, BA, _, 0)), error(E, _), R = E)", "instantiation_error"},
      /* X above the largest integer, Y below the smallest */
      {"clpfd:'$fd_minint_maxint'(Min, Max)", "ovf(le_iff(Z, Max, 0), fail, R)", "failed"},
      {"clpfd:'$fd_minint_maxint'(Min, Max)", "ovf(le_iff(Min, W, 0), fail, R)", "failed"},
      {"clpfd:'$fd_minint_maxint'(Min, Max)", "ovf(le_iff(Z, Max, 0), error, R)",
       "fd_driver_error(overflow,le_iff(_,268435455,0))"},
      {"clpfd:'$fd_minint_maxint'(Min, Max)", "ovf(le_iff(Min, W, 0), error, R)",
       "fd_driver_error(overflow,le_iff(-268435456,_,0))"},
      {"clpfd:'$fd_minint_maxint'(Min, Max)", "ovf(le_iff(Z, Max, B), error, R)", "passed"},
  };
  for (const auto &row : rows) {
    std::string goal = std::string("in(X, 0, 5), in(Y, inf, sup), in(B, 0, 1), ") +
                       (*row.setup ? std::string(row.setup) + ", " : "") +
                       "attr(X, XA), attr(Y, YA), attr(B, BA), undone(" + row.goal + ", R, Out)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("Out"), row.expected);
  }
}

/* A block made before a choicepoint outlives an entailment under it: backtracking revives the
 * constraint with its daemon, which wakes the propagator in the next branch. */
TEST_F(FdReified, EntailedUnderAChoicepointRevivesOnBacktracking)
{
  ASSERT_EQ(run("undone((in(X, 1, 5), in(Y, 3, 8), in(B, 0, 1), post(eq_iff(X, Y, B), G), prop, "
                "clpfd:'$fd_statistics'(0, _), "
                "( in(Y, 6, 8), prop, dead(G, 1), B == 0, assertz(first(ok)), fail "
                "; dead(G, E0), B = 1, prop, dead(G, E1), X == Y ), "
                "clpfd:'$fd_statistics'(0, N), dom(X, D)), r(E0, E1, N, D), R), first(F)"),
            1)
      << exception();
  EXPECT_EQ(var("R") + " " + var("F"), "r(0,1,2,[[3|5]]) ok");
}

/* le_iff on variables apart is domain consistent: after a narrowing of the suspended constraint
 * (B to a value, X or Y to an interval) exactly the values with a support are left, or it fails.
 * Domains over -4..4, mostly intervals. */
TEST_F(FdReified, LeIffNarrowedAgainstItsSupports)
{
  std::mt19937 random(35);
  for (int round = 0; round < (qx_gc_stress ? 60 : 600); round++) {
    unsigned m[2] = {1 + random() % 511, 1 + random() % 511};
    int dom[3] = {0, 0, 48}, support[3] = {}, k = (int)(random() % 3), lo = (int)(random() % 9) - 4;
    for (int i = 0; i < 2; i++)
      dom[i] = random() % 4 ? (1 << std::bit_width(m[i])) - (1 << std::countr_zero(m[i])) : m[i];
    int hi = k == 2 ? (lo &= 1) : std::max(lo, (int)(random() % 9) - 4);
    for (int x = -4; x <= 4; x++) /* the supports within the narrowed domains */
      for (int y = -4; y <= 4; y++) {
        int bits[3] = {1 << (x + 4), 1 << (y + 4), 16 << (x <= y)}, in = 1;
        for (int i = 0; i < 3; i++)
          in &= (dom[i] & bits[i] & (i == k ? (1 << (hi + 5)) - (1 << (lo + 4)) : ~0)) != 0;
        for (int i = 0; in && i < 3; i++) support[i] |= bits[i];
      }
    std::string goal = "undone((clpfd:'$fd_in_set'(X, " + set_term(dom[0]) +
                       ", 0), clpfd:'$fd_in_set'(Y, " + set_term(dom[1]) +
                       ", 0), i(B, 0, 1), post(le_iff(X, Y, B), _), prop, in(" + "XYB"[k] + ", " +
                       std::to_string(lo) + ", " + std::to_string(hi) +
                       "), prop, codes([X, Y, B], C)), C, R)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("R"), support[2]
                            ? "[" + std::to_string(support[0]) + "," + std::to_string(support[1]) +
                                  "," + std::to_string(support[2]) + "]"
                            : "failed");
  }
}

/* le_iff posted by the driver, whose state holds each attribute itself (the words the direct run
 * reads in one look): after posting and after each narrowing (a value removed or a variable
 * bound), exactly the values with a support are left, or it fails. */
TEST_F(FdReified, LeIffOnPostedStatesAgainstItsSupports)
{
  std::mt19937 random(58);
  for (int round = 0; round < 600; round++) {
    SCOPED_TRACE(round);
    fd_driver::driver d(api);
    fd_driver::undo_scope undo(w);
    std::vector<int32_t> dom[3];
    for (int i = 0; i < 3; i++) {
      int lo = i < 2 ? (int)(random() % 9) - 4 : (int)(random() % 2);
      int hi = std::min(i < 2 ? 4 : 1, lo + (int)(random() % 5));
      for (int v = lo; v <= hi; v++)
        if (v == lo || v == hi || random() % 3) dom[i].push_back(v);
      ASSERT_EQ(d.new_var_in(dom[i]), i);
    }
    /* each variable's values with a support, or all empty */
    using sets = std::vector<std::set<int32_t>>;
    auto supports = [&] {
      sets s(3);
      for (int32_t x : dom[0])
        for (int32_t y : dom[1])
          if (std::count(dom[2].begin(), dom[2].end(), x <= y))
            s[0].insert(x), s[1].insert(y), s[2].insert(x <= y);
      return s[0].empty() ? sets(3) : s;
    };
    using fd_driver::driver;
    int ok = d.post("le_iff", {driver::var(0), driver::var(1), driver::var(2)});
    if (ok == 1) ok = d.propagate();
    for (int step = 0; step < 3; step++) {
      ASSERT_GE(ok, 0) << d.error();
      sets expected = supports(), left(3);
      for (int i = 0; i < 3 && ok == 1; i++)
        dom[i] = d.domain(i), left[i] = {dom[i].begin(), dom[i].end()};
      ASSERT_EQ(left, expected) << "step " << step;
      if (ok != 1) break;
      int k = (int)(random() % 3);
      int32_t v = dom[k][random() % dom[k].size()];
      bool remove = dom[k].size() > 1 && random() % 2;
      ok = remove ? d.exclude(k, v) : d.bind(k, v, fd_driver::binding::fd_unify);
      if (remove)
        dom[k].erase(std::find(dom[k].begin(), dom[k].end(), v));
      else
        dom[k] = {v};
    }
  }
}
