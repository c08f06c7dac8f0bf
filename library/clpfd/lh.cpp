/* Longest-hole tables: for each height eps of a resource, an upper bound on the length of a hole
 * eps high that the tasks and the slack can fill, open (tasks may stick out on one side) and
 * closed. Closed-form bounds: the easy case's sweep and five bounds, the least taken.
 */
#include <algorithm>
#include <cstring>
#include <vector>

#include "fd_qsort.h"
#include "fd_sched.h"

int fd_lh_bound_hook = 0;

namespace {

constexpr int64_t INFINITE = 2147483647;

int cmp_lhs_decr(const lhs *a, const lhs *b)
{
  if (a->h != b->h) return a->h > b->h ? -1 : 1;
  if (a->l != b->l) return a->l > b->l ? -1 : 1;
  return a->s < b->s ? -1 : a->s > b->s ? 1 : 0;
}

/* The reduced list of one height and its classes. */
struct reduced {
  std::vector<lhs> t; /* usable length, height, cut */
  int64_t eps, sigma;
  const int32_t *row; /* the row's open entries, height k at k - 1 */

  /* The disjunctive prefix: the first task and each next while it and its predecessor exceed
   * eps. */
  size_t disjunctive_prefix() const
  {
    size_t k = 1;
    while (k < t.size() && t[k].h + t[k - 1].h > eps) k++;
    return k;
  }

  int64_t ub1(bool closed) const
  {
    size_t nd = disjunctive_prefix();
    int64_t S = 0, max1 = 0, max2 = 0;
    for (size_t i = 0; i < t.size(); i++) {
      int64_t a = (int64_t)t[i].l * t[i].h;
      if (i >= nd || !t[i].s) {
        S += a;
      } else if (a > max1) {
        max2 = max1, max1 = a;
      } else if (a > max2) {
        max2 = a;
      }
    }
    return (S + max1 + (closed ? 0 : max2) + sigma) / eps;
  }

  int64_t ub2() const
  {
    size_t nd = disjunctive_prefix();
    std::vector<size_t> cut;
    for (size_t i = 0; i < nd; i++)
      if (t[i].s) cut.push_back(i);
    if (cut.size() < 3) return INFINITE;
    int64_t small = std::min(t[cut[0]].l, t[cut[1]].l);
    for (size_t k = 2; k < cut.size(); k++)
      if (t[cut[k]].l > small) return INFINITE;
    int64_t r = sigma, len = 0;
    for (size_t i = nd; i < t.size(); i++) r += (int64_t)t[i].l * t[i].h;
    for (size_t i = 0; i < nd; i++) {
      if (t[i].s && i > cut[1]) continue;
      int64_t waste = (eps - t[i].h) * t[i].l;
      if (waste >= r) return len + r / (eps - t[i].h);
      len += t[i].l, r -= waste;
    }
    return len + r / eps;
  }

  int64_t ub3() const
  {
    int64_t maxh = 0;
    for (const lhs &x : t) maxh = std::max<int64_t>(maxh, x.h);
    if (maxh <= 1) return INFINITE;
    int64_t best = INFINITE;
    for (int64_t p = 2; p <= maxh; p++) {
      int64_t q0 = eps / p, re = eps % p, A = 0, B = 0;
      for (const lhs &x : t) A += (x.h / p) * (int64_t)x.l, B += (x.h % p) * (int64_t)x.l;
      int64_t q = A / q0, rem = A % q0, cs = B + sigma, v;
      if (re == 0)
        v = (cs + rem * p) / eps + q;
      else if (cs > re * q)
        v = (rem * p + cs - re * q) / eps + q;
      else
        v = cs / re;
      best = std::min(best, v);
    }
    return best;
  }

  int64_t ub4() const
  {
    size_t nd = disjunctive_prefix(), n = t.size();
    /* extended by tasks that cannot share the band with any of them */
    while (nd < n) {
      bool apart = true;
      for (size_t k = 0; k < nd && apart; k++) {
        int64_t hh = (int64_t)t[nd].h + t[k].h;
        apart = hh != eps && (hh > eps || row[eps - hh - 1] <= 0);
      }
      if (!apart) break;
      nd++;
    }
    int64_t avail = sigma, len = 0, surf = 0, waste = 0;
    size_t j = n; /* tasks from j on were added to avail */
    for (size_t i = 0; i < nd; i++) {
      while (j > nd && t[j - 1].h <= eps - t[i].h) {
        j--;
        avail += (int64_t)t[j].l * t[j].h;
      }
      int64_t len2 = len + t[i].l, surf2 = surf + (int64_t)t[i].h * t[i].l;
      if (surf2 + avail < len2 * eps) {
        int64_t x = (avail - waste) / (eps - t[i].h);
        len2 = len + x, surf2 = surf + t[i].h * x;
      }
      len = len2, surf = surf2, waste = len * eps - surf;
    }
    for (size_t k = nd; k < j; k++) avail += (int64_t)t[k].l * t[k].h;
    return len + (avail - (len * eps - surf)) / eps;
  }

  int64_t ub5() const
  {
    int64_t e3 = eps / 3;
    if (e3 < 2 || eps >= 4 * e3) return INFINITE;
    int64_t re = eps % e3, len1 = 0, len2 = 0, len3 = 0, B = 0;
    for (const lhs &x : t) {
      int64_t c = x.h / e3;
      if (c == 1) len1 += x.l;
      if (c == 2) len2 += x.l;
      if (c == 3) len3 += x.l;
      B += (x.h % e3) * (int64_t)x.l;
    }
    int64_t cnt = len2 < len1 ? len2 + len3 + (len1 - len2) / 3 : len1 + len3;
    int64_t cs = B + sigma, d = len2 - len1;
    if (re > 0 && cs <= re * cnt) return cs / re;
    int64_t x = re > 0 ? cs - re * cnt : cs, f = re > 0 ? re + e3 : e3;
    if (len1 > len2) return (x + ((len1 - len2) % 3) * e3) / eps + cnt;
    if (x <= d * f) return x / f + cnt;
    return (2 * e3 * d + x) / eps + cnt;
  }

  /* The easy case: the small tasks stacked from 0 (shortest first), the disjunctive ones end
   * to end from 0, singles slotted in whole where they waste less. */
  int64_t easy(size_t nsingle, size_t ndisj) const
  {
    int64_t total = 0;
    for (const lhs &x : t) total += x.l;
    lhs sentinel{(int32_t)std::min<int64_t>((sigma + eps - 1) / eps + total + 1, INFINITE), 0, 0};
    std::vector<lhs> dis(t.begin() + nsingle, t.begin() + nsingle + ndisj);
    std::vector<lhs> small(t.begin() + nsingle + ndisj, t.end());
    std::sort(small.begin(), small.end(), [](const lhs &a, const lhs &b) { return a.l < b.l; });
    int64_t st = 0;
    for (const lhs &x : small) st += x.h;
    dis.push_back(sentinel), small.push_back(sentinel);
    int64_t pos = 0, r = sigma, sl = 0, ds = 0, dl = 0, dh = 0, se = 0, sh = 0;
    size_t di = 0, si = 0, k = 0;
    bool advance = true;
    for (;;) {
      if (advance) {
        int64_t end = ds + dl;
        if (end <= se) {
          if (di == dis.size()) return pos + sl + r / eps;
          ds = end, dl = dis[di].l, dh = dis[di].h, di++;
        }
        if (se <= end) {
          if (si == small.size()) return pos + sl + r / eps;
          st -= sh, se = small[si].l, sh = small[si].h, si++;
        }
      }
      int64_t next = std::min(se, ds + dl), gap = eps - st - dh, waste = (next - pos) * gap;
      bool single = k < nsingle && eps - t[k].h < gap;
      if (single) gap = eps - t[k].h, waste = gap * t[k].l;
      advance = !single;
      if (r < waste) return pos + sl + r / gap;
      r -= waste;
      if (single)
        sl += t[k++].l;
      else
        pos = next;
    }
  }

  /* What this height adds to the bound (closed or open). */
  int64_t add(bool closed) const
  {
    size_t n = t.size(), nsingle = 0;
    if (!closed && n >= 2 && eps < (int64_t)t[0].h + t[n - 1].h)
      while (nsingle < n - 1 && (int64_t)t[nsingle].h + t[n - 1].h > eps) nsingle++;
    int64_t hsingle = nsingle ? t[0].h : 0;
    size_t ndisj = 1;
    while (nsingle + ndisj < n && (int64_t)t[nsingle + ndisj].h + t[nsingle + ndisj - 1].h > eps) ndisj++;
    int64_t hdisj = t[nsingle].h, stackh = hdisj;
    for (size_t i = nsingle + ndisj; i < n && stackh <= eps; i++) stackh += t[i].h;
    if (eps > stackh + sigma && eps > hsingle + sigma) return 0;
    switch (fd_lh_bound_hook) {
    case 1: return ub1(closed);
    case 2: return ub2();
    case 3: return ub3();
    case 4: return ub4();
    case 5: return ub5();
    default: break;
    }
    if (stackh <= eps) return easy(nsingle, ndisj);
    return std::min({ub1(closed), ub2(), ub3(), ub4(), ub5()});
  }
};

int64_t cap_add(int64_t a, int64_t b) { return std::min(INFINITE, a + b); }

/* The refinement search of one entry: tasks placed left to right from the least start, each
 * placed at the least date it may take or moved later; at each placement the hole the profile
 * and the slack reach raises the lower bound cmax, until it meets the entry or the budget runs
 * out. The choice stack grows on demand. */
struct clh {
  int64_t eps, umax, est = 0, cmax = 0;
  int64_t sum_len_eps = 0;
  std::vector<int64_t> L, H, E;
  std::vector<char> U;
  std::vector<int64_t> P; /* heights over est .. umax - 1 */
  struct choice {
    int t, kind;
    int64_t e;
  };
  std::vector<choice> stack;

  int64_t at(int64_t c) const { return c < est || c >= umax ? 0 : P[c - est]; }
  void add(int t, int64_t h)
  {
    for (int64_t c = E[t]; c < std::min(E[t] + L[t], umax); c++) P[c - est] += h;
  }
  /* The first date after E[t], below umax, where t fits on the profile, else umax. */
  int64_t next_date(int t) const
  {
    int64_t c = E[t] + 1;
    while (c < umax && at(c) + H[t] > eps) c++;
    return c;
  }

  int64_t delta_slack(int64_t delta, int64_t sigma_delta) const
  {
    int64_t d = std::max<int64_t>(delta, 0);
    if (est == 0) {
      if (d >= umax) return d;
      int64_t loss = 0;
      for (int64_t i = d; i < umax; i++)
        if ((loss += eps - at(i)) > sigma_delta) return i;
      return umax;
    }
    if (sigma_delta < 0) return d - 1;
    int64_t i = d, j = 0, loss = 0;
    while (loss <= sigma_delta) {
      int64_t right = i < umax ? eps - at(i) : INFINITE, left = j > est ? eps - at(j - 1) : INFINITE;
      if (right == INFINITE && left == INFINITE) break;
      if (left <= right)
        loss += left, j--;
      else
        loss += right, i++;
    }
    return i - j - (loss > sigma_delta ? 1 : 0);
  }

  /* The search from the root: min(cmax, umax); nback counts the backtracks left. */
  int64_t search(int64_t sigma, int *nback)
  {
    int m = (int)L.size();
    for (;;) {
      int64_t delta = umax;
      for (int t = 0; t < m; t++)
        if (U[t]) delta = std::min(delta, E[t]);
      bool back = delta >= umax;
      int64_t sigma_delta = sigma, sumh = 0;
      if (!back && delta >= 0) {
        int64_t loss = 0;
        for (int64_t c = 0; c < delta && loss <= sigma; c++) loss += eps - at(c);
        sigma_delta = loss > sigma ? -1 : sigma - loss;
        for (int t = 0; t < m; t++)
          if (U[t] && E[t] == delta && H[t] <= eps - at(delta)) sumh += H[t];
        back = sigma_delta < 0 || eps - at(delta) - sumh > sigma_delta;
      }
      if (!back) {
        int t = 0;
        while (!(U[t] && E[t] == delta)) t++;
        if (at(delta) + H[t] > eps) { /* delay */
          stack.push_back({t, 2, E[t]});
          E[t] = next_date(t);
        } else {
          stack.push_back({t, 1, E[t]});
          add(t, H[t]);
          U[t] = 0;
          cmax = std::max(cmax, delta_slack(delta, sigma_delta));
        }
        if (cmax >= umax) return umax;
        continue;
      }
      /* backtrack */
      if (cmax >= umax) return umax;
      if (--*nback < 0) return umax;
      while (!stack.empty() && stack.back().kind == 2) {
        E[stack.back().t] = stack.back().e;
        stack.pop_back();
      }
      if (stack.empty()) return std::min(cmax, umax);
      choice &top = stack.back();
      add(top.t, -H[top.t]);
      U[top.t] = 1;
      E[top.t] = next_date(top.t);
      top.kind = 2;
    }
  }
};

}  // namespace

int64_t clh1(ORVALIS_API_STRUCT *api, int eps, int64_t sigma, int *nback, int ntask,
             const lhs *list, const int32_t *lh_table, const int32_t *lch_table, int row,
             int bbheight, int closed)
{
  (void)api;
  const int32_t *open_row = lh_table + (size_t)row * bbheight;
  const int32_t *closed_row = lch_table + (size_t)row * bbheight;
  clh s;
  s.eps = eps;
  for (int i = 0; i < ntask; i++) {
    const lhs &x = list[i];
    if (x.h > eps || x.h < 1 || x.l < 1) continue;
    if (closed && x.h == eps) {
      s.sum_len_eps += x.l;
      continue;
    }
    if (x.h < eps && open_row[eps - x.h - 1] < 1) continue;
    s.L.push_back(x.l), s.H.push_back(x.h), s.U.push_back(1);
    s.E.push_back(closed ? 0 : 1 - x.l);
    s.est = std::min<int64_t>(s.est, s.E.back());
  }
  s.cmax = sigma / eps;
  if (closed) {
    s.umax = closed_row[eps - 1] - s.sum_len_eps;
    if (row >= 1) s.cmax = std::max<int64_t>(s.cmax, closed_row[eps - 1 - bbheight] - s.sum_len_eps);
  } else {
    s.umax = open_row[eps - 1];
    s.cmax = std::max<int64_t>(s.cmax, closed_row[eps - 1]);
    if (row >= 1) s.cmax = std::max<int64_t>(s.cmax, open_row[eps - 1 - bbheight]);
  }
  if (s.cmax >= s.umax || s.L.empty()) return std::min(s.cmax, s.umax) + s.sum_len_eps;
  s.P.assign((size_t)(s.umax - s.est + 1), 0);
  return s.search(sigma, nback) + s.sum_len_eps;
}

void lh_eval(ORVALIS_API_STRUCT *api, worker *w, int eps, int64_t sigma, int s, int ntask,
             const lhs *list, const int32_t *row, int64_t lh[2])
{
  int64_t base = 0;
  for (int i = 0; i < ntask; i++)
    if (i != s && list[i].h == eps) base += list[i].l;
  lh[0] = lh[1] = base;
  reduced red{{}, eps, sigma, row};
  bool cut = false;
  for (int i = 0; i < ntask; i++) {
    if (i == s || list[i].h >= eps || list[i].h < 1) continue;
    int64_t lh1 = row[eps - list[i].h - 1];
    if (s == -1 && 2 * list[i].h == eps) { /* the band above it, without itself */
      int64_t self[2];
      lh_eval(api, w, eps - list[i].h, sigma, i, ntask, list, row, self);
      lh1 = self[0];
    }
    if (lh1 < 1) continue;
    red.t.push_back({(int32_t)std::min<int64_t>(list[i].l, lh1), list[i].h, list[i].l > lh1 ? 1 : 0});
    cut = cut || list[i].l > lh1;
  }
  if (cut) fd_qsort(api, red.t.data(), red.t.size(), cmp_lhs_decr);
  if (red.t.empty()) {
    lh[0] = cap_add(lh[0], sigma / eps), lh[1] = cap_add(lh[1], sigma / eps);
    return;
  }
  lh[0] = cap_add(lh[0], red.add(false));
  lh[1] = cap_add(lh[1], red.add(true));
}

void fd_lh_init(ORVALIS_API_STRUCT *api, worker *w, int64_t sigma0, int row, int nrows,
                int32_t bblength, int bbheight, int ntask, lhs *list, int32_t *lh_table,
                int32_t *lch_table, int maxbacks, int maxfails)
{
  (void)nrows;
  if (bbheight < 1) return;
  for (int i = 0; i < ntask; i++) list[i].s = i;
  fd_qsort(api, list, (size_t)ntask, cmp_lhs_decr);
  int64_t sigma = sigma0 + row;
  int32_t *open = lh_table + (size_t)row * bbheight, *closed = lch_table + (size_t)row * bbheight;
  int fails_open = maxfails, fails_closed = maxfails;
  for (int eps = 1; eps <= bbheight; eps++) {
    int64_t lh[2];
    lh_eval(api, w, eps, sigma, -1, ntask, list, open, lh);
    open[eps - 1] = (int32_t)std::min<int64_t>(bblength, lh[0]);
    closed[eps - 1] = (int32_t)std::min<int64_t>(bblength, lh[1]);
    if (maxbacks < 0) continue;
    /* refinement, closed first: the open one starts from the refined closed entry; each table
     * stops refining after maxfails exhausted budgets in a row */
    for (int c = 1; c >= 0; c--) {
      int &left = c ? fails_closed : fails_open;
      if (left <= 0) continue;
      int nback = maxbacks;
      int64_t v = clh1(api, eps, sigma, &nback, ntask, list, lh_table, lch_table, row, bbheight, c);
      (c ? closed : open)[eps - 1] = (int32_t)std::min<int64_t>(bblength, v);
      left = nback >= 0 ? maxfails : left - 1;
    }
  }
}

int64_t get_minloss(ORVALIS_API_STRUCT *api, int64_t len, int64_t low, int64_t up, int eps,
                    int64_t sigma, lh_method_fn lh_method, int closed)
{
  if (lh_method(api, up, eps, closed) < len) return sigma + 1;
  if (low >= up || lh_method(api, low, eps, closed) >= len) return low;
  while (low < up) { /* lh(low) < len <= lh(up) */
    int64_t mid = low + (up - low) / 2;
    if (lh_method(api, mid, eps, closed) >= len)
      up = mid;
    else
      low = mid + 1;
  }
  return low;
}
