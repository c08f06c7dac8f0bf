/* The longest hole of a task list found by placing subsets of the tasks (lengths up to 16), for
 * the longest-hole tests and benchmark. */
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace lh_oracle {

struct piece {
  int l, h;
};

/* The longest L such that some placement of a subset of the tasks, never more than eps high,
 * leaves at most sigma of [0, L) x eps unfilled; every task inside [0, L) (closed) or allowed to
 * stick out on the left (open); with right_open tasks may stick out on the right too. */
inline int64_t longest_hole(const std::vector<piece> &ts, int eps, int sigma, bool closed, bool right_open = false)
{
  int total = 0;
  for (const piece &p : ts) total += p.h <= eps ? p.l : 0;
  int best = 0;
  for (int L = 1; L <= total + sigma / eps; L++) {
    const int off = 16; /* dates from -off */
    std::vector<int> use(L + 2 * off, 0);
    std::function<bool(size_t, int64_t, int64_t)> go = [&](size_t i, int64_t filled, int64_t rest) {
      if (filled + sigma >= (int64_t)L * eps) return true;
      if (i == ts.size() || filled + rest + sigma < (int64_t)L * eps) return false;
      const piece &p = ts[i];
      int64_t mine = p.h <= eps ? (int64_t)std::min(p.l, L) * p.h : 0;
      if (go(i + 1, filled, rest - mine)) return true;
      if (p.h > eps) return false;
      for (int s = closed ? 0 : 1 - p.l; s + (right_open ? 1 : p.l) <= L; s++) {
        bool fits = true;
        int64_t in = 0;
        for (int x = s; x < s + p.l && fits; x++) fits = use[x + off] + p.h <= eps, in += x >= 0 && x < L ? p.h : 0;
        if (!fits) continue;
        for (int x = s; x < s + p.l; x++) use[x + off] += p.h;
        bool ok = go(i + 1, filled + in, rest - mine);
        for (int x = s; x < s + p.l; x++) use[x + off] -= p.h;
        if (ok) return true;
      }
      return false;
    };
    int64_t rest = 0;
    for (const piece &p : ts) rest += p.h <= eps ? (int64_t)std::min(p.l, L) * p.h : 0;
    if (go(0, 0, rest)) best = L;
  }
  return best;
}

}  // namespace lh_oracle
