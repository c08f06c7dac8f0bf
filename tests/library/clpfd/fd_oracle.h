/* What the constraint suites share: Prolog helpers that post, run and inspect a global constraint,
 * a domain model with infinite ends, and a brute-force oracle: every assignment of small value
 * lists, and the soundness of one propagation outcome against the solutions of the relation.
 */
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "termdefs.h"

namespace fd_oracle {

/* prop: the loop to its end. dom(V, S) / doms: V's FD set ([[V|V]] when bound). dead(G, E):
 * 1 when global G is entailed. state(G, S): its state. once_run(G): one dispatch of G with its
 * actions applied; rerun(G): that and the loop, unless G is dead. undone(G, T, R): R is T after
 * G, or failed; G's bindings undone. flat(Vs, F): the domains as numbers for read_domains;
 * snap(Vs, G, [E|F]): G's dead flag E and flat(Vs, F). */
inline const char *const prelude =
    "prop :- clpfd:'$fd_evaluate_indexical'(_, R), prop(R).\n"
    "prop(0).\n"
    "prop(1) :- prop.\n"
    "prop(R) :- R > 1, throw(handed_back(R)).\n"
    "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
    "attr(X, A) :- clpfd:'$fd_arg_attribute'(X, 0, A).\n"
    "dom(V, D) :- integer(V), !, D = [[V|V]].\n"
    "dom(V, D) :- attr(V, A), vdom(A, dom(D, _, _, _)).\n"
    "vdom(v(_, _, M, _), D) :- mval(M, X), ( X = v(_, _, _, _) -> vdom(X, D) ; D = X ).\n"
    "doms([], []).\n"
    "doms([V|Vs], [D|Ds]) :- dom(V, D), doms(Vs, Ds).\n"
    "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
    "dead(_, 0).\n"
    "state(G, S) :- G = global(M, _, _, _, _), mval(M, S).\n"
    "once_run(G) :- G = global(M, C, _, _, _), mval(M, S), clpfd:'$fd_begin', "
    "clpfd:'$fd_dispatch_global_fast'(C, S, _, A, G, 1), clpfd:'$fd_prune_and_enqueue'(A, G).\n"
    "rerun(G) :- dead(G, 1), !.\n"
    "rerun(G) :- once_run(G), prop.\n"
    "undone(G, T, R) :- ( call(G), assertz(seen(T)), fail ; true ), "
    "( retract(seen(R)) -> true ; R = failed ).\n"
    "flat([], []).\n"
    "flat([V|Vs], [N|F]) :- dom(V, S), len(S, N), flat_set(S, F, F1), flat(Vs, F1).\n"
    "len([], 0).\n"
    "len([_|T], N) :- len(T, N0), N is N0 + 1.\n"
    "flat_set([], F, F).\n"
    "flat_set([[L|H]|T], [L,H|F], F0) :- flat_set(T, F, F0).\n"
    "snap(Vs, G, [E|F]) :- dead(G, E), flat(Vs, F).\n";

using values = std::vector<int64_t>;

/* The infinite ends: just outside the small integers. */
constexpr int64_t INF = QX_SMALL_MIN - 1LL, SUP = QX_SMALL_MAX + 1LL;

/* A domain: sorted disjoint intervals, INF and SUP standing for the infinities. */
struct domain {
  std::vector<std::pair<int64_t, int64_t>> iv;
  bool empty() const { return iv.empty(); }
  int64_t min() const { return iv.front().first; }
  int64_t max() const { return iv.back().second; }
  bool fixed() const { return min() == max(); }
  bool finite() const { return !empty() && min() != INF && max() != SUP; }
  bool contains(int64_t v) const
  {
    for (auto [l, h] : iv)
      if (l <= v && v <= h) return true;
    return false;
  }
  /* The values within lo..hi. */
  domain within(int64_t lo, int64_t hi) const
  {
    domain d;
    for (auto [l, h] : iv)
      if (std::max(l, lo) <= std::min(h, hi)) d.iv.push_back({std::max(l, lo), std::min(h, hi)});
    return d;
  }
  /* Narrowed to lo..hi: false when empty. */
  bool restrict(int64_t lo, int64_t hi)
  {
    *this = within(lo, hi);
    return !empty();
  }
  /* The values, infinite ends cut to -window..window. */
  values all(int64_t window) const
  {
    values out;
    for (auto [l, h] : iv)
      for (int64_t v = std::max(l, -window); v <= std::min(h, window); v++) out.push_back(v);
    return out;
  }
  static domain of(const values &sorted)
  {
    domain d;
    for (int64_t v : sorted)
      if (!d.iv.empty() && d.iv.back().second + 1 == v)
        d.iv.back().second = v;
      else
        d.iv.push_back({v, v});
    return d;
  }
  std::string text() const
  {
    auto b = [](int64_t v) { return v == INF ? "inf" : v == SUP ? "sup" : std::to_string(v); };
    std::string s = "[";
    for (auto [l, h] : iv) s += (s.size() > 1 ? ",[" : "[") + b(l) + "|" + b(h) + "]";
    return s + "]";
  }
  bool operator==(const domain &o) const { return iv == o.iv; }
};

inline domain range(int64_t lo, int64_t hi) { return domain{{{lo, hi}}}; }

/* The integers written in a text, in order; the words inf, sup and failed read as INF, SUP and
 * FAILED. */
constexpr int64_t FAILED = INT64_MIN;
inline values numbers(const std::string &text)
{
  values out;
  for (size_t i = 0; i < text.size();) {
    auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
    if (text.compare(i, 6, "failed") == 0) {
      out.push_back(FAILED);
      i += 6;
    } else if (text.compare(i, 3, "inf") == 0 || text.compare(i, 3, "sup") == 0) {
      out.push_back(text[i] == 'i' ? INF : SUP);
      i += 3;
    } else if (digit(i) || (text[i] == '-' && digit(i + 1))) {
      size_t used;
      out.push_back(std::stoll(text.substr(i), &used));
      i += used;
    } else {
      i++;
    }
  }
  return out;
}

/* n domains written by flat/2, from nums[*at] on: a count, then the ends of each interval. */
inline std::vector<domain> read_domains(const values &nums, size_t *at, size_t n)
{
  std::vector<domain> out(n);
  for (size_t k = 0; k < n; k++) {
    int64_t count = nums.at((*at)++);
    for (int64_t j = 0; j < count; j++, *at += 2)
      out[k].iv.push_back({nums.at(*at), nums.at(*at + 1)});
  }
  return out;
}

/* Calls f on every tuple of the product of the value lists (on none when one is empty). */
template <typename T, typename F>
void each_assignment(const std::vector<std::vector<T>> &vals, F f)
{
  for (const auto &v : vals)
    if (v.empty()) return;
  std::vector<T> x(vals.size());
  std::vector<size_t> at(vals.size(), 0);
  for (;;) {
    for (size_t i = 0; i < vals.size(); i++) x[i] = vals[i][at[i]];
    f(x);
    size_t i = 0;
    while (i < vals.size() && ++at[i] == vals[i].size()) at[i++] = 0;
    if (i == vals.size()) return;
  }
}

/* What a run left: failure, or the values of each variable and whether the constraint was
 * entailed. */
struct outcome {
  bool failed = true, entailed = false;
  std::vector<values> after;
};

/* Checks an outcome against the relation sat over the values before the run: no solution lost,
 * failure only without solutions (unless may_fail), entailment only when every assignment left
 * satisfies. live(x) tells whether the store still allows x (false where variables the run made
 * one differ): a solution must be live; entailment covers only live assignments. Answers the
 * number of solutions. */
template <typename Sat, typename Live>
size_t check(const std::vector<values> &before, const outcome &o, Sat sat, Live live,
             bool may_fail = false)
{
  size_t solutions = 0;
  each_assignment(before, [&](const values &x) {
    if (!sat(x)) return;
    solutions++;
    if (o.failed) return;
    for (size_t i = 0; i < x.size(); i++)
      EXPECT_TRUE(std::find(o.after[i].begin(), o.after[i].end(), x[i]) != o.after[i].end())
          << "lost a solution: variable " << i << " value " << x[i];
    EXPECT_TRUE(live(x)) << "made one variables that a solution tells apart";
  });
  if (o.failed) {
    if (!may_fail) {
      EXPECT_EQ(solutions, 0u) << "failed with a solution";
    }
  } else if (o.entailed) {
    each_assignment(o.after, [&](const values &x) {
      if (live(x)) {
        EXPECT_TRUE(sat(x)) << "entailed, yet an assignment left violates it";
      }
    });
  }
  return solutions;
}

template <typename Sat>
size_t check(const std::vector<values> &before, const outcome &o, Sat sat, bool may_fail = false)
{
  return check(
      before, o, sat, [](const values &) { return true; }, may_fail);
}

}  // namespace fd_oracle
