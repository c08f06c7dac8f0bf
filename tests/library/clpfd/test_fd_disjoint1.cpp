/* disjoint1/2 posted through the kernel on random small instances (holes, durations that may be
 * 0, wrap, duplicated and unequal margins, the global option): the fixpoint after posting keeps
 * every solution, entailment only when every assignment left is a solution, and the solutions
 * found by search are those of the relation. */
#include <gtest/gtest.h>

#include <random>

#include "fd_kernel_env.h"
#include "fd_oracle.h"

using fd_oracle::values;

namespace {

struct margin {
  int t1, t2, amount; /* amount < 0: the unbounded marker sup */
};

/* An instance: items i have origin values origin[i], duration values dur[i] and type type[i]. */
struct d1_problem {
  std::vector<values> origin, dur;
  std::vector<int> type;
  int flags = 0; /* 2 wrap, 4 margin, 8 global */
  int lborder = 0, rborder = 0;
  std::vector<margin> margins;
  size_t n() const { return origin.size(); }
};

/* The relation over x = o0, d0, o1, d1, ...: every pair of copies of items of positive length
 * is disjoint; with margins, an item of type a that precedes one of type b ends at least the
 * largest a-b amount before it starts. An item of length 0 or less occupies nothing. */
bool d1_sat(const d1_problem &p, const values &x)
{
  std::vector<int64_t> shifts = {0};
  if (p.flags & 2) shifts = {0, p.rborder - p.lborder, p.lborder - p.rborder};
  auto gap = [&](int a, int b) {
    int64_t g = -1;
    if (p.flags & 4)
      for (const margin &m : p.margins)
        if (m.t1 == a && m.t2 == b) g = std::max<int64_t>(g, m.amount < 0 ? INT32_MAX : m.amount);
    return g;
  };
  for (size_t i = 0; i < p.n(); i++)
    for (size_t j = 0; j < p.n(); j++)
      for (int64_t a : shifts) {
        if (i == j && a == 0) continue;
        int64_t si = x[2 * i], di = x[2 * i + 1], sj = x[2 * j] + a, dj = x[2 * j + 1];
        if (di < 1 || dj < 1) continue;
        int64_t before = std::max<int64_t>(gap(p.type[i], p.type[j]), 0);
        int64_t after = std::max<int64_t>(gap(p.type[j], p.type[i]), 0);
        if (!(si + di + before <= sj || sj + dj + after <= si)) return false;
      }
  return true;
}

struct d1_generator {
  std::mt19937 rng;
  explicit d1_generator(uint32_t seed) : rng(seed) {}
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  values subset(int lo, int hi)
  {
    values v;
    for (int x = lo; x <= hi; x++)
      if (pick(0, 3)) v.push_back(x);
    if (v.empty()) v.push_back(pick(lo, hi));
    return v;
  }
  d1_problem make()
  {
    d1_problem p;
    int n = pick(1, 4);
    for (int i = 0; i < n; i++) {
      int lo = pick(0, 6);
      p.origin.push_back(subset(lo, lo + pick(0, 4)));
      int d = pick(0, 3);
      p.dur.push_back(subset(d, d + pick(0, 2)));
      p.type.push_back(pick(0, 1));
    }
    p.flags = pick(0, 1) * 2 + pick(0, 1) * 4 + pick(0, 1) * 8;
    p.rborder = pick(6, 12);
    for (int k = pick(0, 4); k > 0; k--) p.margins.push_back({pick(0, 1), pick(0, 1), pick(-1, 3)});
    return p;
  }
};

class FdDisjoint1 : public FdKernelTest {
protected:
  FdDisjoint1()
  {
    consult(fd_oracle::prelude);
    consult("d1_items([], [], [], []).\n"
            "d1_items([X-D-T|Ps], [item(X, XA, D, DA, T)|Is], [dom(X), dom(D)|Ss], [X, D|Vs]) :- "
            "attr(X, XA), attr(D, DA), d1_items(Ps, Is, Ss, Vs).\n"
            "d1_post(Ps, Opt, G, Vs) :- d1_items(Ps, Is, Ss, Vs), len(Is, N), "
            "C = disjoint1(a, b), "
            "clpfd:'$fd_post_global'(C, disjoint1(N, Opt, Is, N, 0, _, 0), 0, C, Ss, G).\n"
            "lab([]).\n"
            "lab([V|Vs]) :- dom(V, S), expand(S, L), mem(X, L), "
            "clpfd:'$fd_in_set'(V, [[X|X]], 0), prop, lab(Vs).\n"
            "mem(X, [X|_]).\n"
            "mem(X, [_|T]) :- mem(X, T).\n"
            "expand([], []).\n"
            "expand([[L|H]|T], Vs) :- span(L, H, Vs, R), expand(T, R).\n"
            "span(L, H, Vs, R) :- L > H, !, Vs = R.\n"
            "span(L, H, [L|Vs], R) :- L1 is L + 1, span(L1, H, Vs, R).\n"
            "count(G, N) :- assertz(cnt(0)), ( call(G), retract(cnt(C)), C1 is C + 1, "
            "assertz(cnt(C1)), fail ; retract(cnt(N)) ).\n");
  }

  void agrees(const d1_problem &p);

  /* The goal that gives the variables their domains and posts the instance as G with Vs. */
  static std::string post(const d1_problem &p)
  {
    std::string goal = "true", items = "[";
    for (size_t i = 0; i < p.n(); i++) {
      std::string x = "X" + std::to_string(i), d = "D" + std::to_string(i);
      goal += ", clpfd:'$fd_in_set'(" + x + ", " + fd_oracle::domain::of(p.origin[i]).text() +
              ", 0), clpfd:'$fd_in_set'(" + d + ", " + fd_oracle::domain::of(p.dur[i]).text() +
              ", 0)";
      items += (i ? ", " : "") + x + "-" + d + "-t" + std::to_string(p.type[i]);
    }
    std::string ms = "[";
    for (const margin &m : p.margins)
      ms += (ms.size() > 1 ? ", " : "") + std::string("m(t") + std::to_string(m.t1) + ", t" +
            std::to_string(m.t2) + ", " + (m.amount < 0 ? "sup" : std::to_string(m.amount)) + ")";
    return goal + ", d1_post(" + items + "], opt(" + std::to_string(p.flags) + ", " +
           std::to_string(p.lborder) + ", " + std::to_string(p.rborder) + ", " + ms + "]), G, Vs)";
  }
};

std::string text(const d1_problem &p)
{
  std::string s = "flags " + std::to_string(p.flags) + " borders " + std::to_string(p.lborder) +
                  ".." + std::to_string(p.rborder) + " margins";
  for (const margin &m : p.margins)
    s += " " + std::to_string(m.t1) + ">" + std::to_string(m.t2) + ":" + std::to_string(m.amount);
  for (size_t i = 0; i < p.n(); i++) {
    s += " | t" + std::to_string(p.type[i]) + " o";
    for (int64_t v : p.origin[i]) s += " " + std::to_string(v);
    s += " d";
    for (int64_t v : p.dur[i]) s += " " + std::to_string(v);
  }
  return s;
}

/* Posts p, checks the fixpoint against the relation and counts the solutions by search. */
void FdDisjoint1::agrees(const d1_problem &p)
{
  SCOPED_TRACE(text(p));
  std::string goal = "undone((clpfd:'$fd_begin', " + post(p) +
                     ", prop, flat(Vs, F), dead(G, E), count(lab(Vs), N)), E-N-F, R)";
  ASSERT_EQ(run(goal), 1) << goal << exception();
  values nums = fd_oracle::numbers(var("R"));
  std::vector<values> before;
  for (size_t i = 0; i < p.n(); i++) before.push_back(p.origin[i]), before.push_back(p.dur[i]);
  fd_oracle::outcome o;
  if (nums[0] != fd_oracle::FAILED) {
    o.failed = false;
    o.entailed = nums[0] == 1;
    size_t at = 2;
    for (const fd_oracle::domain &d : fd_oracle::read_domains(nums, &at, before.size()))
      o.after.push_back(d.all(100));
  }
  size_t solutions = fd_oracle::check(before, o, [&](const values &x) { return d1_sat(p, x); });
  EXPECT_EQ(o.failed ? 0 : nums[1], (int64_t)solutions) << "solutions by search";
}

TEST_F(FdDisjoint1, FixpointAndSearchAgreeWithTheRelation)
{
  d1_generator g(1234);
  for (int round = 0; round < (fd_gc_stress ? 30 : 250) && !HasFailure(); round++) agrees(g.make());
}

TEST_F(FdDisjoint1, EdgeCases)
{
  auto item = [](d1_problem *p, values o, values d, int type) {
    p->origin.push_back(o), p->dur.push_back(d), p->type.push_back(type);
  };
  std::vector<d1_problem> rows;
  /* duplicated and unequal margins in one direction: the larger holds, once (b starts >= 4) */
  d1_problem p;
  p.flags = 4, p.margins = {{0, 1, 1}, {0, 1, 2}};
  item(&p, {0}, {2}, 0);
  item(&p, {2, 3, 4, 5, 6}, {1}, 1);
  rows.push_back(p);
  /* a margin holds in its own direction only */
  p.margins = {{1, 0, 3}};
  rows.push_back(p);
  /* the unbounded margin: no item of type 0 precedes one of type 1 */
  p.margins = {{0, 1, -1}};
  item(&p, {0, 1, 2, 3, 4, 5, 6, 7}, {1, 2}, 0);
  rows.push_back(p);
  /* wrap: an item near the right border blocks the left border through its shifted copy */
  d1_problem w;
  w.flags = 2, w.rborder = 10;
  item(&w, {8}, {4}, 0);
  item(&w, {0, 1, 2, 3, 4}, {1}, 0);
  rows.push_back(w);
  /* durations that may be 0, and an item of duration 0 only */
  d1_problem z;
  item(&z, {0, 1, 2, 3}, {0, 2}, 0);
  item(&z, {1, 2}, {0}, 0);
  item(&z, {0, 1, 2, 3}, {1, 3}, 0);
  rows.push_back(z);
  z.flags = 8;
  rows.push_back(z);
  /* no rule fires: a variable duration keeps its longest values */
  d1_problem v;
  item(&v, {0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0);
  item(&v, {20}, {1}, 0);
  rows.push_back(v);
  for (const d1_problem &r : rows) agrees(r);
}

/* Mutated state terms: an error term or failure, never a crash. */
TEST_F(FdDisjoint1, BadStatesFailOrRaiseErrors)
{
  const char *items = "[item(X, XA, D, DA, a), item(Y, YA, E, EA, b)]";
  const std::string rows[][2] = {
      {"3", "opt(0, 0, 0, [])"},          /* NItems not the list length */
      {"2", "opt(2, 5, 5, [])"},          /* wrap with LBorder >= RBorder */
      {"2", "opt(4, 0, 0, foo)"},         /* Margins not a list */
      {"2", "opt(4, 0, 0, [m(a, b, foo)])"}, /* an amount neither integer nor sup */
      {"2", "opt(4, 0, 0, [m(a, b, -1)])"},
      {"2", "opt(4, 0, 0, [m(a, b, 1)|_])"},
      {"2", "opt(a, 0, 0, [])"},
      {"2", "foo"},
      {"two", "opt(0, 0, 0, [])"},
  };
  const std::string counts[] = {"2, 0", "-1, 0", "2, 1", "1, 2", "a, 0"};
  const std::string lists[] = {items, "[item(X, foo, D, DA, a)]", "[item(X, XA, D, DA)]",
                               "[item(X, XA, D, DA, a)|foo]", "[item(X, XA, D, DA, f(a))]"};
  auto check = [&](const std::string &n, const std::string &opt, const std::string &list,
                   const std::string &count) {
    std::string goal = "clpfd:'$fd_in_set'(X, [[0|5]], 0), clpfd:'$fd_in_set'(Y, [[0|5]], 0), "
                       "clpfd:'$fd_in_set'(D, [[1|3]], 0), clpfd:'$fd_in_set'(E, [[1|3]], 0), "
                       "attr(X, XA), attr(Y, YA), attr(D, DA), attr(E, EA), C = disjoint1(a, b), "
                       "catch(undone((clpfd:'$fd_begin', clpfd:'$fd_post_global'(C, disjoint1(" +
                       n + ", " + opt + ", " + list + ", " + count +
                       ", _, 0), 0, C, [dom(X), dom(Y)], _), prop), x, R), Ball, R = Ball)";
    ASSERT_EQ(run(goal), 1) << goal << exception();
    std::string r = var("R");
    EXPECT_TRUE(r == "failed" || r.rfind("error(", 0) == 0) << goal << " gave " << r;
  };
  for (const auto &row : rows) check(row[0], row[1], items, "2, 0");
  for (const std::string &c : counts)
    if (c != "2, 0") check("2", "opt(0, 0, 0, [])", items, c);
  for (const std::string &l : lists)
    if (l != items) check("1", "opt(0, 0, 0, [])", l, "1, 0");
}

}  // namespace
