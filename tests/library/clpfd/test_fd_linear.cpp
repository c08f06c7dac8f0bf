/* The linear constraint scalar_product/4, posted as a global constraint and run by the
 * propagation loop, against brute force and against a reference fixpoint: the bound rules and the
 * gcd rule iterated over all terms in plain int64 until nothing changes (no heap, no daemon).
 */
#include <numeric>
#include <optional>
#include <random>

#include "fd_kernel_env.h"

namespace {

constexpr int64_t INF = QX_SMALL_MIN - 1LL, SUP = QX_SMALL_MAX + 1LL;
/* Values tried for an infinite end by brute force. */
constexpr int64_t WINDOW = 12;

/* A domain: sorted disjoint intervals, INF and SUP standing for the infinities. */
struct domain {
  std::vector<std::pair<int64_t, int64_t>> iv;
  int64_t min() const { return iv.front().first; }
  int64_t max() const { return iv.back().second; }
  bool fixed() const { return min() == max(); }
  bool contains(int64_t v) const
  {
    for (auto [l, h] : iv)
      if (l <= v && v <= h) return true;
    return false;
  }
  /* Narrowed to lo..hi: false when empty. */
  bool restrict(int64_t lo, int64_t hi)
  {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (auto [l, h] : iv)
      if (std::max(l, lo) <= std::min(h, hi)) out.push_back({std::max(l, lo), std::min(h, hi)});
    iv = out;
    return !iv.empty();
  }
  std::vector<int64_t> values() const
  {
    std::vector<int64_t> out;
    for (auto [l, h] : iv)
      for (int64_t v = std::max(l, -WINDOW); v <= std::min(h, WINDOW); v++) out.push_back(v);
    return out;
  }
  std::string text() const
  {
    auto b = [](int64_t v) {
      return v == INF ? std::string("inf") : v == SUP ? std::string("sup") : std::to_string(v);
    };
    std::string s = "[";
    for (auto [l, h] : iv) s += (s.size() > 1 ? ",[" : "[") + b(l) + "|" + b(h) + "]";
    return s + "]";
  }
};

struct linear {
  std::vector<int32_t> a;
  std::vector<domain> d;
  int rel;
  int64_t rhs;
};

bool holds(const linear &c, const std::vector<int64_t> &x)
{
  int64_t s = 0;
  for (size_t i = 0; i < x.size(); i++) s += c.a[i] * x[i];
  return c.rel == 1 ? s <= c.rhs : c.rel == 2 ? s >= c.rhs : c.rel == 3 ? s == c.rhs : s != c.rhs;
}

/* Calls f on every assignment of the domains (infinite ends cut to the window). */
template <typename F>
void each_assignment(const std::vector<domain> &d, F f)
{
  std::vector<std::vector<int64_t>> vals;
  for (const domain &x : d) vals.push_back(x.values());
  std::vector<int64_t> x(d.size());
  std::vector<size_t> at(d.size(), 0);
  for (const auto &v : vals)
    if (v.empty()) return;
  for (;;) {
    for (size_t i = 0; i < d.size(); i++) x[i] = vals[i][at[i]];
    f(x);
    size_t i = 0;
    while (i < d.size() && ++at[i] == vals[i].size()) at[i++] = 0;
    if (i == d.size()) return;
  }
}

bool finite(const std::vector<domain> &d)
{
  for (const domain &x : d)
    if (x.min() == INF || x.max() == SUP) return false;
  return true;
}

int64_t floor_div(int64_t n, int64_t d) { return n / d - (n % d != 0 && (n < 0) != (d < 0)); }
int64_t ceil_div(int64_t n, int64_t d) { return n / d + (n % d != 0 && (n < 0) == (d < 0)); }

/* The reference fixpoint of relations 1-3 (bounds and gcd rules): the domains, or nothing on
 * failure; *overflow when a quantity left its range. */
std::optional<std::vector<domain>> reference(const linear &c, bool *overflow)
{
  std::vector<domain> d = c.d;
  size_t n = d.size();
  *overflow = false;
  auto scaled = [&](int64_t v) {
    return v == INF ? -(INT64_C(1) << 32) : v == SUP ? INT64_C(1) << 32 : v;
  };
  for (bool changed = true; changed;) {
    changed = false;
    std::vector<int64_t> lo(n), hi(n);
    int64_t slo = 0, shi = 0;
    for (size_t i = 0; i < n; i++) {
      int64_t p = c.a[i] * scaled(d[i].min()), q = c.a[i] * scaled(d[i].max());
      for (int64_t v : {d[i].min(), d[i].max()})
        if (v != INF && v != SUP &&
            (c.a[i] * v < -(INT64_C(1) << 32) || c.a[i] * v >= INT64_C(1) << 32))
          *overflow = true;
      lo[i] = std::min(p, q);
      hi[i] = std::max(p, q);
      if (__builtin_add_overflow(slo, lo[i], &slo) || __builtin_add_overflow(shi, hi[i], &shi))
        *overflow = true;
    }
    int64_t bigf, bige;
    if (__builtin_sub_overflow(c.rhs, slo, &bigf) || __builtin_sub_overflow(shi, c.rhs, &bige))
      *overflow = true;
    if (*overflow) return std::nullopt;
    if ((c.rel != 2 && bigf < 0) || (c.rel != 1 && bige < 0)) return std::nullopt;
    for (size_t i = 0; i < n; i++) {
      int64_t a = c.a[i], nlo = INF, nhi = SUP;
      if (c.rel != 2 && hi[i] - lo[i] > bigf) { /* a*x <= lo + bigf */
        if (a > 0)
          nhi = floor_div(lo[i] + bigf, a);
        else
          nlo = ceil_div(lo[i] + bigf, a);
      }
      if (c.rel != 1 && hi[i] - lo[i] > bige) { /* a*x >= hi - bige */
        if (a > 0)
          nlo = std::max(nlo, ceil_div(hi[i] - bige, a));
        else
          nhi = std::min(nhi, floor_div(hi[i] - bige, a));
      }
      if (nlo > QX_SMALL_MAX || nhi < QX_SMALL_MIN) {
        *overflow = true;
        return std::nullopt;
      }
      nlo = std::max(nlo, INF);
      nhi = std::min(nhi, SUP);
      if (nlo <= d[i].min() && nhi >= d[i].max()) continue;
      if (!d[i].restrict(nlo < QX_SMALL_MIN ? INF : nlo, nhi > QX_SMALL_MAX ? SUP : nhi))
        return std::nullopt;
      changed = true;
      break; /* the sums change */
    }
    if (changed || c.rel != 3) continue;
    /* gcd rule: a_i x_i = R' - (sum of the other unfixed terms), a multiple of their gcd */
    int64_t residual = c.rhs;
    int64_t all = 0;
    for (size_t j = 0; j < n; j++)
      if (d[j].fixed())
        residual -= c.a[j] * d[j].min();
      else
        all = std::gcd(all, (int64_t)std::abs(c.a[j]));
    if (all >= 2 && residual % all != 0) return std::nullopt;
    for (size_t i = 0; i < n && !changed; i++) {
      if (d[i].fixed() || d[i].min() == INF || d[i].max() == SUP) continue;
      int64_t g = 0;
      for (size_t j = 0; j < n; j++)
        if (j != i && !d[j].fixed()) g = std::gcd(g, (int64_t)std::abs(c.a[j]));
      if (g < 2) continue;
      auto ok = [&](int64_t v) { return ((c.a[i] * v - residual) % g + g) % g == 0; };
      int64_t nlo = d[i].min(), nhi = d[i].max();
      while (nlo <= nhi && !(d[i].contains(nlo) && ok(nlo))) nlo++;
      while (nhi >= nlo && !(d[i].contains(nhi) && ok(nhi))) nhi--;
      if (nlo > nhi) return std::nullopt;
      if (nlo != d[i].min() || nhi != d[i].max()) {
        d[i].restrict(nlo, nhi);
        changed = true;
      }
    }
  }
  return d;
}

std::string var_list(size_t n)
{
  std::string s = "[";
  for (size_t k = 0; k < n; k++) s += (k ? ", V" : "V") + std::to_string(k);
  return s + "]";
}

/* The goal that gives V0.. their domains and posts the constraint as global G. */
std::string post(const linear &c)
{
  std::string goal = "true", ts = "[";
  for (size_t k = 0; k < c.d.size(); k++) {
    std::string v = "V" + std::to_string(k);
    goal += ", clpfd:'$fd_in_set'(" + v + ", " + c.d[k].text() + ", 0)";
    ts += (k ? ", " : "") + std::to_string(c.a[k]) + "*" + v;
  }
  return goal + ", clpfd:'$fd_begin', lin(" + ts + "], " + std::to_string(c.rel) + ", " +
         std::to_string(c.rhs) + ", G)";
}

std::string texts(const std::vector<domain> &d)
{
  std::string s;
  for (const domain &x : d) s += x.text() + " ";
  return s;
}

}  // namespace

class FdLinear : public FdKernelTest {
protected:
  FdLinear()
  {
    consult("lin_prop :- clpfd:'$fd_evaluate_indexical'(_, R), lin_prop(R).\n"
            "lin_prop(0).\n"
            "lin_prop(1) :- lin_prop.\n"
            "lin_prop(R) :- R > 1, throw(handed_back(R)).\n"
            "lin(Ts, Rel, Rhs, G) :- lin_terms(Ts, Ls), C = scalar_product(Ts, Rel, Rhs, 0), "
            "clpfd:'$fd_post_global'(C, s(Ls, Rel, Rhs, 0, _, 0), 0, C, [], G).\n"
            "lin_terms([], []).\n"
            "lin_terms([A*X|Ts], [t(A, X, XA)|Ls]) :- clpfd:'$fd_arg_attribute'(X, 0, XA), "
            "lin_terms(Ts, Ls).\n"
            "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
            "dom(V, [[V|V]]) :- integer(V), !.\n"
            "dom(V, S) :- clpfd:'$fd_arg_attribute'(V, 0, v(_, _, M, _)), mval(M, dom(S, _, _, "
            "_)).\n"
            "doms([], []).\n"
            "doms([V|Vs], [S|Ss]) :- dom(V, S), doms(Vs, Ss).\n"
            "fix(V, X) :- clpfd:'$fd_in_interval'(V, X, X, 1).\n"
            "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
            "dead(_, 0).\n"
            "state(G, S) :- G = global(M, _, _, _, _), mval(M, S).\n"
            "undone(G, T, R) :- ( call(G), assertz(lin_seen(T)), fail ; true ), "
            "( retract(lin_seen(R)) -> true ; R = failed ).\n");
  }

  /* Runs a goal binding Vs and R; answers R's text. */
  std::string result(const std::string &goal)
  {
    EXPECT_EQ(run(goal), 1) << goal << exception();
    return var("R");
  }

  /* The domains as the loop leaves them after goal, or "failed". */
  std::string after(const linear &c, const std::string &goal = "true")
  {
    return result("Vs = " + var_list(c.d.size()) + ", undone((" + post(c) + ", lin_prop, " + goal +
                  ", lin_prop, doms(Vs, D), dead(G, E)), D-E, R)");
  }
};

/* The edge cases: domains after the loop, entailment. */
TEST_F(FdLinear, EdgeCases)
{
  const domain d0_10{{{0, 10}}}, any{{{INF, SUP}}};
  const struct {
    linear c;
    std::string goal, expect;
  } cases[] = {
      {{{1, 1}, {d0_10, d0_10}, 1, 3}, "true", "-([[[0|3]],[[0|3]]],0)"},
      {{{1, 1}, {d0_10, d0_10}, 1, 3}, "fix(V1, 3)", "-([[[0|0]],[[3|3]]],1)"},
      {{{2, 4}, {d0_10, d0_10}, 3, 5}, "true", "failed"},
      {{{2, 4}, {d0_10, d0_10}, 4, 5}, "true", "-([[[0|10]],[[0|10]]],1)"},
      {{{2, 3}, {d0_10, d0_10}, 3, 7}, "true", "-([[[2|2]],[[1|1]]],1)"},
      {{{2, 4}, {d0_10, {{{-10, 10}}}}, 3, 6}, "true", "-([[[1|9]],[[-3|1]]],0)"},
      {{{1, 1}, {any, d0_10}, 2, 5}, "true", "-([[[-5|sup]],[[0|10]]],0)"},
      {{{2, 3}, {d0_10, d0_10}, 4, 7}, "fix(V1, 0)", "-([[[0|10]],[[0|0]]],1)"},
      {{{2, 3}, {d0_10, d0_10}, 4, 6}, "fix(V1, 0)", "-([[[0|2],[4|10]],[[0|0]]],1)"},
      {{{1, 1}, {{{{2, 2}}}, {{{4, 4}}}}, 4, 6}, "true", "failed"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(post(k.c) + " then " + k.goal);
    EXPECT_EQ(after(k.c, k.goal), k.expect);
  }
}
