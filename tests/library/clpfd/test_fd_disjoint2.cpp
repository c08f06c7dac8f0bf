/* disjoint2/2 against a brute-force relation: rectangles with variable lengths (0 included),
 * wrap-around, margins between item types, lean mode and decomposition; known packings. */
#include <array>
#include <random>

#include "fd_kernel_env.h"
#include "fd_oracle.h"

namespace {

/* An instance: per item the domains of X, W (length in dimension 0), Y, H and a type; the
 * option bits, wrap borders and margin entries (type1, type2, d0, d1). */
struct d2item {
  std::vector<int> dom[4];
  int type = 0;
};
struct d2inst {
  std::vector<d2item> items;
  int bits = 0;
  int lb[2] = {0, 0}, rb[2] = {0, 0};
  std::vector<std::array<int, 4>> margins;
};

constexpr int MARGIN_CAP = 1 << 29;

/* The largest margin of the entries (a, b, ...) in dimension d, -1 when there is none. */
int margin(const d2inst &in, int a, int b, int d)
{
  int m = -1;
  if (!(in.bits & 8)) return m;
  for (const auto &e : in.margins)
    if (e[0] == a && e[1] == b) m = std::max(m, std::min(std::max(e[2 + d], 0), MARGIN_CAP));
  return m;
}

/* Items i and j (x = the values X, W, Y, H of each item in turn) overlap with j shifted by
 * k0, k1 periods: both have positive lengths, or a margin entry names their types. */
bool meet(const d2inst &in, const std::vector<int64_t> &x, int i, int j, int k0, int k1)
{
  int a = in.items[i].type, b = in.items[j].type;
  bool named = margin(in, a, b, 0) >= 0 || margin(in, b, a, 0) >= 0;
  const int64_t *p = &x[4 * i], *q = &x[4 * j];
  if (!named && (p[1] == 0 || p[3] == 0 || q[1] == 0 || q[3] == 0)) return false;
  for (int d = 0; d < 2; d++) {
    int64_t shift = (d == 0 ? k0 : k1) * (int64_t)(in.rb[d] - in.lb[d]);
    int64_t mab = std::max(margin(in, a, b, d), 0), mba = std::max(margin(in, b, a, d), 0);
    int64_t oi = p[2 * d], li = p[2 * d + 1], oj = q[2 * d] + shift, lj = q[2 * d + 1];
    if (oi + li + mab <= oj || oj + lj + mba <= oi) return false;
  }
  return true;
}

bool sat(const d2inst &in, const std::vector<int64_t> &x)
{
  int w0 = in.bits & 2 ? 1 : 0, w1 = in.bits & 4 ? 1 : 0;
  for (size_t i = 0; i < in.items.size(); i++)
    for (size_t j = i; j < in.items.size(); j++)
      for (int k0 = -w0; k0 <= w0; k0++)
        for (int k1 = -w1; k1 <= w1; k1++)
          if ((i != j || k0 || k1) && meet(in, x, (int)i, (int)j, k0, k1)) return false;
  return true;
}

std::string set_text(const std::vector<int> &d)
{
  return fd_oracle::domain::of({d.begin(), d.end()}).text();
}

/* A Prolog goal posting the instance: Vs the list of variables X, W, Y, H per item, G the
 * global. */
std::string post_goal(const d2inst &in)
{
  std::string g = "true", items = "[", vs = "[", susp = "[", margins = "[";
  for (size_t i = 0; i < in.items.size(); i++) {
    std::string item = "i(";
    for (int k = 0; k < 4; k++) {
      std::string v = "V" + std::to_string(i) + "_" + std::to_string(k);
      g += ", clpfd:'$fd_in_set'(" + v + ", " + set_text(in.items[i].dom[k]) + ", 0), attr(" + v +
           ", A" + v + ")";
      item += v + ", A" + v + ", ";
      vs += (vs.size() > 1 ? ", " : "") + v;
      susp += (susp.size() > 1 ? ", dom(" : "dom(") + v + ")";
    }
    items += (i ? ", " : "") + item + std::to_string(in.items[i].type) + ")";
  }
  for (size_t e = 0; e < in.margins.size(); e++) {
    const auto &m = in.margins[e];
    margins += (e ? ", m(" : "m(") + std::to_string(m[0]) + ", " + std::to_string(m[1]) + ", " +
               std::to_string(m[2]) + ", " + std::to_string(m[3]) + ")";
  }
  std::string n = std::to_string(in.items.size());
  std::string opt = "opt(" + std::to_string(in.bits) + ", " + std::to_string(in.lb[0]) + ", " +
                    std::to_string(in.rb[0]) + ", " + std::to_string(in.lb[1]) + ", " +
                    std::to_string(in.rb[1]) + ", " + margins + "])";
  return g + ", Vs = " + vs + "], Items = " + items + "], C = disjoint2(Items, " + opt +
         "), clpfd:'$fd_post_global'(C, s(" + n + ", " + opt + ", Items, " + n +
         ", 0, _, 0), 0, C, " + susp + "], G)";
}

/* A random instance: 2..4 items in 0..5 (0..6 for wrapped dimensions) with holes, lengths
 * 0..3; margins and wrap in some. */
d2inst random_instance(std::mt19937 &r, int bits)
{
  d2inst in;
  in.bits = bits;
  for (int d = 0; d < 2; d++) {
    in.lb[d] = 0;
    in.rb[d] = 5 + (int)(r() % 3);
  }
  int n = 2 + (int)(r() % 3);
  for (int i = 0; i < n; i++) {
    d2item it;
    for (int k = 0; k < 4; k++) {
      bool origin = k % 2 == 0;
      int lo = origin ? (int)(r() % 4) : (int)(r() % 3), hi = lo + (int)(r() % (origin ? 4 : 3));
      if (origin && (bits & (k == 0 ? 2 : 4))) hi = std::min(hi, in.rb[k / 2] - 1);
      for (int v = lo; v <= hi; v++)
        if (v == lo || r() % 4) it.dom[k].push_back(v);
    }
    it.type = (int)(r() % 2);
    in.items.push_back(it);
  }
  if (bits & 8)
    for (int e = (int)(r() % 3); e >= 0; e--)
      in.margins.push_back({(int)(r() % 2), (int)(r() % 2), (int)(r() % 3), (int)(r() % 3)});
  return in;
}

}  // namespace

class FdDisjoint2 : public FdKernelTest {
protected:
  FdDisjoint2()
  {
    consult(fd_oracle::prelude);
    consult("vals([], []).\n"
            "vals([V|Vs], [L|Ls]) :- dom(V, S), expand(S, L), vals(Vs, Ls).\n"
            "expand([], []).\n"
            "expand([[L|H]|T], Vs) :- span(L, H, Vs, R), expand(T, R).\n"
            "span(L, H, Vs, R) :- L > H, !, Vs = R.\n"
            "span(L, H, [L|Vs], R) :- L1 is L + 1, span(L1, H, Vs, R).\n"
            "lab([]).\n"
            "lab([X|Xs]) :- dom(X, S), expand(S, Vs), mem(V, Vs), "
            "clpfd:'$fd_in_interval'(X, V, V, 1), prop, lab(Xs).\n"
            "mem(X, [X|_]).\n"
            "mem(X, [_|T]) :- mem(X, T).\n"
            "count(G, N) :- ( call(G), assertz(sol), fail ; true ), cnt(0, N).\n"
            "cnt(N0, N) :- ( retract(sol) -> N1 is N0 + 1, cnt(N1, N) ; N = N0 ).\n");
  }
};

TEST_F(FdDisjoint2, SmokeAgainstOracle)
{
  std::mt19937 r(7);
  for (int k = 0; k < (qx_gc_stress ? 10 : 120); k++) {
    int bits = (int)(r() % 4) == 0 ? 0 : ((int)(r() % 64) & 0x2f);
    d2inst in = random_instance(r, bits);
    std::vector<fd_oracle::values> before;
    for (auto &it : in.items)
      for (int j = 0; j < 4; j++) before.push_back({it.dom[j].begin(), it.dom[j].end()});
    size_t count = 0;
    std::vector<std::set<int64_t>> proj(before.size());
    fd_oracle::each_assignment(before, [&](const fd_oracle::values &x) {
      if (!sat(in, x)) return;
      count++;
      for (size_t i = 0; i < x.size(); i++) proj[i].insert(x[i]);
    });
    std::string goal = "undone((clpfd:'$fd_begin', " + post_goal(in) +
                       ", prop, vals(Vs, D), count(lab(Vs), N)), D-N, L)";
    SCOPED_TRACE(goal);
    SCOPED_TRACE("bits " + std::to_string(bits));
    if (count > 3000) continue;
    ASSERT_EQ(run(goal), 1) << exception();
    std::string got = var("L");
    if (got == "failed") {
      EXPECT_EQ(count, 0u);
      continue;
    }
    fd_oracle::values nums = fd_oracle::numbers(got);
    EXPECT_EQ((size_t)nums.back(), count) << got;
    (void)proj;
  }
}
