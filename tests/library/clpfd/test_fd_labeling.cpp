/* Labeling support: the heap of $fd_labeling against a model of the domains under random binding
 * and backtracking, $fd_delete's rules, $fd_set_singleton in place and copied, $fd_unify's direct
 * path and its fallback, and bad input. */
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "fd_prop_env.h"
#include "fd_propagate.h"
#include "wam_internal.h"

namespace {

std::string repeat(const std::string &s, int n)
{
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

/* Everything a test does is undone at its end, so that the labeling blocks are destroyed. */
class FdLabeling : public FdPropTest {
protected:
  FdLabeling() : base(qx_push_node(w, qx_alt(QX_ALT_BARRIER, 0))) {}
  ~FdLabeling() override
  {
    if (!base) return;
    qx_restore_node(w, base);
    qx_pop_node(w);
  }
  node *base;

  /* A term reference holding a fresh heap variable, for goals to bind through '$ref_term'/2. */
  QX_term_ref fresh_slot()
  {
    call_overflow(w, 1, 0);
    TAGGED *v = w->global_top++;
    *v = MakeRef(v);
    QX_term_ref r = QX_new_term_ref();
    fd_ref_put(api, r, MakeRef(v));
    return r;
  }
  std::string ref(QX_term_ref r) { return "'$ref_term'(" + std::to_string(r) + ", "; }
  /* Element i of the list L of the term t(L, G) in cell, read afresh: a collection moves it. */
  TAGGED element(QX_term_ref cell, int i)
  {
    TAGGED l = deref(StrArg(fd_ref_get(api, cell), 1));
    while (i--) l = deref(LstTail(l));
    return deref(LstHead(l));
  }
  /* A term t(L, G) in a new cell: L the list of n variables, the domain of the k-th lo..hi as
   * given, G the labeling record of the rule's suspension list. */
  QX_term_ref labeling(const std::vector<std::pair<int, int>> &domains, const char *list)
  {
    QX_term_ref cell = fresh_slot();
    EXPECT_EQ(go(ref(cell) + "t(L, G)), L = [_" + repeat(",_", (int)domains.size() - 1) +
                 "], G = global('$mutable'(s(L, " + list +
                 ", _, 0), 0), lab, '$mutable'(0, 0), _, lab)"),
              1)
        << exception();
    for (size_t i = 0; i < domains.size(); i++)
      EXPECT_EQ(on(cell, (int)i,
                   "'$fd_in_interval'(X, " + std::to_string(domains[i].first) + ", " +
                       std::to_string(domains[i].second) + ", 0)"),
                1);
    return cell;
  }
  /* Runs the goal with X the i-th element of the list in cell. */
  int on(QX_term_ref cell, int i, const std::string &goal)
  {
    QX_term_ref target = QX_new_term_ref();
    fd_ref_put(api, target, element(cell, i));
    int rc = go(ref(target) + "X), " + goal);
    QX_reset_term_refs(target);
    return rc;
  }
  /* $fd_labeling on the record G of the term t(L, G) in cell, storing the new State in G as the
   * library does; the chosen variable, or 0 after failure. */
  TAGGED label(QX_term_ref cell)
  {
    QX_term_ref args = QX_new_term_refs(4);
    TAGGED g = deref(StrArg(fd_ref_get(api, cell), 2));
    fd_ref_put(api, args, fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)));
    fd_ref_put(api, args + 3, g);
    if (!call([&] { prolog_fd_labeling_qxenv_multi_qx(api, args, args + 1, args + 2, args + 3); }))
      return 0;
    g = deref(StrArg(fd_ref_get(api, cell), 2));
    fd_update_mutable(api, w, fd_ref_get(api, args + 1), StrArg(g, FD_GLOBAL_STATE));
    TAGGED var = fd_ref_get(api, args + 2);
    QX_reset_term_refs(args);
    return var;
  }
  /* Calls a native directly, as the foreign glue does: 1 success, 0 failure or error. */
  template <typename F>
  int call(F f)
  {
    w->fli_info.excp_flag = 1;
    f();
    return w->fli_info.excp_flag;
  }
};

/* ---- $fd_labeling against a model ---- */

/* Each variable's domain; a one-value domain is a bound variable. */
using model = std::vector<std::set<int>>;

/* The variable the rule picks: smallest key, then first in the list; -1 when all are bound. */
int oracle(const model &m, int rule)
{
  int best = -1;
  long best_key = 0;
  for (size_t i = 0; i < m.size(); i++) {
    if (m[i].size() == 1) continue;
    long key = rule == 1 ? *m[i].begin() : rule == 2 ? -*m[i].rbegin() : (long)m[i].size();
    if (best < 0 || key < best_key) {
      best = (int)i;
      best_key = key;
    }
  }
  return best;
}

/* Few variables are scanned at each choice, more are kept in a heap: both agree with the model. */
TEST_F(FdLabeling, HeapAgreesWithAScanUnderBindingAndBacktracking)
{
  constexpr int STEPS = 500;
  const char *lists[] = {"min", "max", "dom"};
  for (int run = 0; run < 6; run++) {
    int N = run < 3 ? 30 : 40, rule = run % 3 + 1;
    std::mt19937 rng(7 * rule);
    model m(N);
    std::vector<std::pair<int, int>> domains;
    for (int i = 0; i < N; i++) {
      int lo = (int)(rng() % 10), hi = lo + 1 + (int)(rng() % 12);
      for (int v = lo; v <= hi; v++) m[i].insert(v);
      domains.push_back({lo, hi});
    }
    QX_term_ref cell = labeling(domains, lists[rule - 1]);
    std::vector<std::pair<node *, model>> saved;
    for (int step = 0; step < STEPS; step++) {
      TAGGED got = label(cell);
      ASSERT_NE(got, 0u) << exception();
      int want = oracle(m, rule);
      ASSERT_EQ(got, want < 0 ? atom_nil : element(cell, want))
          << "rule " << rule << " step " << step;
      unsigned what = rng() % 10;
      if (what == 0 && saved.size() < 8) {
        saved.emplace_back(qx_push_node(w, qx_alt(QX_ALT_BARRIER, 0)), m);
        continue;
      }
      if (what == 1 && !saved.empty()) {
        qx_restore_node(w, saved.back().first);
        qx_pop_node(w);
        m = saved.back().second;
        saved.pop_back();
        continue;
      }
      int i = (int)(rng() % N);
      if (m[i].size() == 1) continue;
      std::vector<int> values(m[i].begin(), m[i].end());
      int v = values[rng() % values.size()];
      std::string tell;
      if (what < 5) { /* a bound moves in */
        bool low = rng() % 2;
        tell = "'$fd_in_interval'(X, " + (low ? std::to_string(v) : "inf") + ", " +
               (low ? "sup" : std::to_string(v)) + ", 1)";
        std::erase_if(m[i], [&](int u) { return low ? u < v : u > v; });
      } else if (what < 8) { /* a hole */
        if (v == values.front() || v == values.back()) continue;
        tell = "'$fd_in_set'(X, [[inf|" + std::to_string(v - 1) + "],[" + std::to_string(v + 1) +
               "|sup]], 1)";
        m[i].erase(v);
      } else {
        tell = "'$fd_unify'(X, " + std::to_string(v) + ")";
        m[i] = {v};
      }
      ASSERT_EQ(on(cell, i, tell + ", '$fd_evaluate_indexical'(_, 0)"), 1) << tell << exception();
    }
    while (!saved.empty()) {
      qx_restore_node(w, saved.back().first);
      qx_pop_node(w);
      saved.pop_back();
    }
  }
}

/* Removing an inner entry moves the last one into its place, below a parent it may be better
 * than. Under min, lower bounds that rise along the path from the root to the last entry and are
 * large elsewhere form a heap in list order; binding the child of the root's other child puts the
 * last entry under that child (large), which it must pass before the path above it is bound.
 * Enough variables for a heap. */
TEST_F(FdLabeling, RemovingAnInnerEntryKeepsTheHeapOrder)
{
  constexpr int N = 40;
  std::vector<int> path; /* root first */
  for (int i = N - 1; i > 0; i = (i - 1) / 2) path.insert(path.begin(), i);
  path.insert(path.begin(), 0);
  std::vector<int> lows(N);
  for (int i = 0; i < N; i++) lows[i] = 50 + i;
  for (size_t d = 0; d < path.size(); d++) lows[path[d]] = (int)d + 1;
  int inner = 2 * (path[1] == 1 ? 2 : 1) + 1;
  model m;
  std::vector<std::pair<int, int>> domains;
  for (int lo : lows) m.push_back({lo, 99}), domains.push_back({lo, 99});
  QX_term_ref cell = labeling(domains, "min");
  std::vector<int> binds = {-1, inner}; /* then the path but the last entry, which comes up */
  binds.insert(binds.end(), path.begin(), path.end() - 1);
  for (int bound : binds) {
    if (bound >= 0) {
      ASSERT_EQ(on(cell, bound, "'$fd_unify'(X, 99), '$fd_evaluate_indexical'(_, 0)"), 1);
      m[bound] = {99};
    }
    TAGGED got = label(cell);
    EXPECT_EQ(got, element(cell, oracle(m, 1))) << "after binding " << bound;
  }
}

/* Without choicepoints the block goes, and the record's daemons die, when the last variable is
 * bound; bad input raises an error. */
TEST_F(FdLabeling, BlockIsFreedWhenTheHeapEmptiesAndBadInputIsAnError)
{
  QX_term_ref cell = fresh_slot();
  ASSERT_EQ(go(ref(cell) + "t([X, 4, Y], G)), '$fd_in_interval'(X, 1, 3, 0), "
                           "'$fd_in_interval'(Y, 1, 2, 0), G = global('$mutable'(s([X, 4, Y], "
                           "dom, _, 0), 0), lab, '$mutable'(0, 0), _, lab)"),
            1);
  /* the element bound before each labeling step (-1: none), its value, the one chosen next */
  for (auto [bound, value, next] : {std::tuple{-1, 0, 2}, {2, 1, 0}, {0, 2, -1}}) {
    if (bound >= 0) {
      ASSERT_EQ(on(cell, bound,
                   "'$fd_unify'(X, " + std::to_string(value) + "), '$fd_evaluate_indexical'(_, 0)"),
                1);
    }
    TAGGED got = label(cell); /* before the element is read: labeling may collect */
    EXPECT_EQ(got, next < 0 ? atom_nil : element(cell, next)) << bound;
  }
  ASSERT_EQ(go(ref(cell) + "t(_, global('$mutable'(s(_, _, [V|_], _), _), _, _, D, _)))"), 1);
  EXPECT_EQ(var("V") + var("D"), "01");
  const char *bad[][2] = {
      {"[X|_]", "dom"}, {"[X, a]", "dom"}, {"[X, _]", "dom"}, {"[X, f(1)]", "min"},
      {"[X]", "foo"},   {"[X]", "1"},      {"[X]", "_"},      {"[X|a]", "max"},
  };
  for (auto &b : bad) {
    std::string g = std::string("'$fd_in_interval'(X, 1, 3, 0), S = s(") + b[0] + ", " + b[1] +
                    ", _, 0), '$fd_labeling'(S, _, _, global('$mutable'(S, 0), l, "
                    "'$mutable'(0, 0), _, l))";
    EXPECT_EQ(go(g), -1) << g;
    EXPECT_NE(exception(), "<none>");
  }
}

/* A later call whose state has the live block's Handle skips the list check only for the list the
 * block was built from: another list with that Handle is checked as on a first call. */
TEST_F(FdLabeling, OnlyTheBlocksOwnListSkipsTheCheck)
{
  QX_term_ref cell = labeling({{1, 3}, {1, 4}}, "dom");
  ASSERT_NE(label(cell), 0u) << exception();
  std::string state =
      ref(cell) + "t(L, G)), G = global('$mutable'(s(_, K, H, St), _), _, _, _, _), ";
  EXPECT_EQ(go(state + "'$fd_labeling'(s([a|L], K, H, St), _, _, G)"), -1);
  EXPECT_NE(exception(), "<none>");
  EXPECT_EQ(go(state + "'$fd_labeling'(s(L, K, H, St), _, V, G), L = [V|_]"), 1) << exception();
}

/* Rows: the list (X in 1..5 with one suspension, Y in 3..4, Z in 1..2 with two, W a variable
 * without attribute, B a variable with a malformed attribute), the rule, the answer or error. */
TEST_F(FdLabeling, DeleteRanksByRuleStopsEarlyAndBreaksTies)
{
  add_test_global("t", 1);
  const char *setup = "'$fd_in_interval'(X, 1, 5, 0), '$fd_in_interval'(Y, 3, 4, 0), "
                      "'$fd_in_interval'(Z, 1, 2, 0), '$fd_in_interval'(Q, 3, 4, 0), "
                      "put_attr(B, clpfd, foo), "
                      "'$fd_post_global'(t(X), s(_, 0), 0, t(X), [dom(X)], _), "
                      "'$fd_post_global'(t(Z), s(_, 0), 0, t(Z), [dom(Z)], _), "
                      "'$fd_post_global'(t(Z), s(_, 0), 0, t(Z), [min(Z)], _), "
                      "'$fd_post_global'(t(Q), s(_, 0), 0, t(Q), [dom(Q)], _), ";
  const char *rows[][3] = {
      {"[X, Y, Z]", "1", "X"},    {"[Y, Z, X]", "1", "Z"},
      {"[X, Y, Z]", "2", "X"},    {"[Y, W]", "2", "W"},
      {"[Y, Z, W]", "1", "W"},    {"[X, Z, Y]", "3", "Z"},
      {"[X, Y, B, Z]", "3", "Y"}, {"[X, Y, B, Z]", "1", "error"},
      {"[X, Y, Q]", "4", "Q"},    {"[X, Q, Y]", "4", "Q"},
      {"[X, Y, Q]", "3", "Y"},    {"[3, Y, Z]", "3", "3"},
      {"[7, Y, Z]", "1", "Z"},    {"[Y, a, Q]", "4", "Q"},
      {"[X, Y]", "0", "error"},   {"[X, Y]", "5", "error"},
      {"[]", "1", "fail"},        {"[a, X]", "1", "error"},
      {"[X|_]", "1", "X"},        {"_", "1", "error"},
  };
  for (auto &r : rows) {
    std::string g = std::string(setup) + "'$fd_delete'(" + r[0] + ", V, " + r[1] + ")";
    std::string want = r[2];
    int rc = go(g);
    if (want == "error") {
      EXPECT_EQ(rc, -1) << g;
      exception();
    } else if (want == "fail") {
      EXPECT_EQ(rc, 0) << g;
    } else {
      ASSERT_EQ(rc, 1) << g << exception();
      if (isdigit(want[0]))
        EXPECT_EQ(var("V"), want) << g;
      else
        EXPECT_EQ(go(g + ", V == " + want), 1) << g;
    }
  }
}

/* A domain made since the newest choicepoint is overwritten, an older one replaced through its
 * mutable (trailed); a value outside it fails and leaves it. */
TEST_F(FdLabeling, SetSingletonInPlaceOrCopied)
{
  const char *rows[][3] = {
      {"true", "3", "D0 == dom([[3|3]],3,3,1), D1 == D0"},
      {"(true ; true)", "3", "D0 == dom([[1|5]],1,5,5), D1 == dom([[3|3]],3,3,1)"},
      {"true", "7", "fail"},
      {"(true ; true)", "7", "fail"},
      {"true", "a", "fail"},
  };
  for (auto &r : rows) {
    std::string g = std::string("'$fd_in_interval'(X, 1, 5, 0), '$fd_arg_attribute'(X, 0, A), ") +
                    "A = v(_, _, M, _), M = '$mutable'(D0, _), " + r[0] + ", ";
    std::string set = "'$fd_set_singleton'(" + std::string(r[1]) + ", M)";
    if (std::string(r[2]) == "fail") {
      EXPECT_EQ(
          go(g + "\\+ " + set + ", M = '$mutable'(D1, _), D1 == dom([[1|5]],1,5,5), D0 == D1"), 1)
          << r[0] << r[1] << exception();
    } else {
      EXPECT_EQ(go(g + set + ", M = '$mutable'(D1, _), " + r[2]), 1) << r[0] << exception();
    }
  }
  for (const char *m : {"'$mutable'(foo, 0)", "foo", "_", "'$mutable'(dom(a, 1, 2, 3), 0)"}) {
    EXPECT_EQ(go(std::string("'$fd_set_singleton'(1, ") + m + ")"), -1) << m;
    exception();
  }
}

/* Plain FD variables bound to integers get their domains at once and their constraints queued;
 * a young one's wake-up is dropped, an old one's left to the engine; another module's attribute
 * sends everything through the engine. */
TEST_F(FdLabeling, UnifyTakesOverPlainBindingsOrFallsBack)
{
  fd_test_global &t = add_test_global("t", 1);
  consult_in("tm", "attr_unify_hook(_, V) :- assertz(seen(V)).");
  consult_in("clpfd", "attr_unify_hook(_, V) :- assertz(tm:seen(c(V))).");
  const char *rows[][4] = {
      /* before the call, the call, then: */
      {"true", "'$fd_unify'(X, 3)", "D == dom([[3|3]],3,3,1)", "-(none,none)"},
      {"true", "'$fd_unify'(f(X, _), f(3, a))", "D == dom([[3|3]],3,3,1)", "-(none,none)"},
      {"(true ; true)", "'$fd_unify'([X], [3])", "D == dom([[3|3]],3,3,1)", "-(c(3),none)"},
      {"put_attr(X, tm, a)", "'$fd_unify'(X, 3)", "D == dom([[1|5]],1,5,5)", "-(c(3),3)"},
      {"true", "\\+ '$fd_unify'(X, 9)", "D == dom([[1|5]],1,5,5)", "-(none,none)"},
  };
  int runs = 0;
  for (auto &r : rows) {
    std::string g =
        std::string("'$fd_in_interval'(X, 1, 5, 0), '$fd_arg_attribute'(X, 0, A), "
                    "'$fd_post_global'(t(X), s(_, 0), 0, t(X), [dom(X)], _), "
                    "'$fd_evaluate_indexical'(_, 0), ") +
        r[0] + ", " + r[1] + ", A = v(_, _, '$mutable'(D, _), _), " + r[2] +
        ", '$fd_evaluate_indexical'(_, 0), true, (tm:retract(seen(S1)) -> true ; S1 = none), "
        "(tm:retract(seen(S2)) -> true ; S2 = none), L = S1-S2";
    ASSERT_EQ(go(g), 1) << g << exception();
    EXPECT_EQ(var("L"), r[3]) << r[0] << r[1];
    bool woken = std::string(r[1]).find("\\+") == std::string::npos &&
                 std::string(r[0]).find("put") == std::string::npos;
    runs += woken ? 2 : 1;
    EXPECT_EQ(t.runs, runs) << r[0] << r[1];
    runs = t.runs;
  }
}

/* A million-element list: unified iteratively, with or without FD variables in it. */
TEST_F(FdLabeling, UnifyOnAMillionElementList)
{
  constexpr uint32_t N = 1000000;
  qx_pop_node(w); /* the heap grows: the node would not survive it, and no block is made here */
  base = nullptr;
  QX_term_ref a = fresh_slot(), b = fresh_slot();
  for (QX_term_ref r : {a, b}) {
    call_overflow(w, 2 * N + 8, 0);
    TAGGED *cells = w->global_top;
    w->global_top += 2 * N;
    for (uint32_t i = 0; i < N; i++) {
      cells[2 * i] = r == a ? MakeSmall((int32_t)(i % 5 + 1)) : MakeRef(&cells[2 * i]);
      cells[2 * i + 1] = i + 1 < N ? MakeLst(&cells[2 * i + 2]) : atom_nil;
    }
    fd_ref_put(api, r, MakeLst(cells));
  }
  ASSERT_EQ(go(ref(b) + "[X, Y|_]), '$fd_in_interval'(X, 1, 5, 0), '$fd_in_interval'(Y, 3, 5, 0)"),
            1);
  EXPECT_EQ(go(ref(a) + "A), " + ref(b) + "B), \\+ '$fd_unify'(A, [_, _|B])"), 1) << exception();
  EXPECT_EQ(go(ref(a) + "A), " + ref(b) + "B), '$fd_unify'(A, B), B = [1, 2|_]"), 0) << exception();
  EXPECT_EQ(go(ref(a) + "A), " + ref(b) + "B), [_|T] = A, \\+ '$fd_unify'(T, B)"), 1)
      << exception();
}

}  // namespace
