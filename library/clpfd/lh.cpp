/* Longest-hole tables: for each height eps of a resource, an upper bound on the length of a hole
 * eps high that the tasks and the slack can fill, open (tasks may stick out on one side) and
 * closed. Closed-form bounds: the easy case's sweep and five bounds, the least taken.
 */
#include <algorithm>
#include <array>
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

/* ---- walking a profile (gaps between segments have height 0) ---- */

/* The stretches of constant height over [c, lim), in order. */
struct stretches {
  const profile *p;
  int64_t c, lim;
  bool next(int64_t *a, int64_t *b, int64_t *h)
  {
    while (p && p->end <= c) p = p->next;
    if (c >= lim) return false;
    *a = c;
    if (p && p->begin <= c) {
      *b = std::min<int64_t>(p->end, lim), *h = p->erg;
    } else {
      *b = p ? std::min<int64_t>(p->begin, lim) : lim, *h = 0;
    }
    c = *b;
    return true;
  }
};

/* The summed height over [lo, hi). */
int64_t profile_area(const profile *p, int64_t lo, int64_t hi)
{
  int64_t a, b, h, sum = 0;
  for (stretches s{p, lo, hi}; s.next(&a, &b, &h);) sum += (b - a) * h;
  return sum;
}

/* The least height over [lo, hi) (lo < hi). */
int64_t profile_min(const profile *p, int64_t lo, int64_t hi)
{
  int64_t a, b, h, least = INT64_MAX;
  for (stretches s{p, lo, hi}; s.next(&a, &b, &h);) least = std::min(least, h);
  return least;
}

/* The refinement search of one entry: a hole eps high from date 0 (closed: no task starts
 * before 0; open: tasks may stick out on the left) filled left to right. Each node takes the
 * first unplaced task at the least start delta and either places it there or moves its start to
 * the next date it fits; the hole the profile and the slack reach raises the lower bound cmax,
 * dominance rules and bounds cut nodes that cannot beat it, and the search ends when cmax meets
 * the entry umax or the backtrack budget runs out (the entry is then kept). The profile is a
 * kernel profile and the choice stack grows on demand, so long horizons cost no more memory
 * than the dates touched. */
struct clh {
  ORVALIS_API_STRUCT *api = nullptr;
  worker *w = nullptr;
  int64_t eps = 1, sigma = 0, umax = 0, est = 0, cmax = 0, sum_len_eps = 0;
  int enable = 0;
  const int32_t *open_row = nullptr, *closed_row = nullptr; /* this row's tables, see lookup */
  int64_t rows_below = 0, bbheight = 0;
  std::vector<int64_t> L, H, E;
  std::vector<char> U;
  profile *P = nullptr;
  struct choice {
    int t, kind; /* kind 1: placed at e; kind 2: start was e before it moved later */
    int64_t e;
  };
  std::vector<choice> stack;
  mutable std::vector<std::array<int64_t, 3>> left_stretches; /* delta_slack's scratch */
  int m() const { return (int)L.size(); }

  int64_t at(const profile *p, int64_t c) const { return fd_profile_get((profile *)p, (long)c); }
  int64_t at(int64_t c) const { return at(P, c); }
  /* Adds h over the span of task t started at s (clipped at umax). */
  profile *add(profile *p, int t, int64_t s, int64_t h)
  {
    int64_t e = std::min(s + L[t], umax);
    return s < e ? fd_profile_update(api, w, p, (long)s, (long)e, (long)h) : p;
  }
  void push(int t, int kind)
  {
    if (stack.size() == stack.capacity()) fd_clh_hooks.grew = true;
    stack.push_back({t, kind, E[t]});
    fd_clh_hooks.peak = std::max(fd_clh_hooks.peak, stack.size());
  }

  /* The first date after E[t], below umax, where t fits, else umax; a start before 0 that would
   * fill column -1 exactly becomes 0 (such holes are found shifted right by one). */
  int64_t next_date(int t) const
  {
    int64_t c = E[t] + 1;
    for (const profile *p = P; p && c < umax; p = p->next) {
      if (p->end <= c) continue;
      if (p->begin > c || p->erg + H[t] <= eps) break;
      c = p->end;
    }
    c = std::min(c, umax);
    if (est < 0 && c < 0 && at(-1) + H[t] == eps) c = 0;
    return c;
  }

  /* The hole the profile q reaches from delta with sigma_delta left: dates taken one by one,
   * each costing its free height, until the slack is exceeded; with tasks sticking out on the
   * left the cheaper side is taken first (left on ties). */
  int64_t delta_slack(const profile *q, int64_t delta, int64_t sigma_delta) const
  {
    int64_t d = std::max<int64_t>(delta, 0);
    if (est == 0 && d >= umax) return d;
    if (sigma_delta < 0) return est < 0 ? d - 1 : d;
    std::vector<std::array<int64_t, 3>> &left = left_stretches; /* of [est, 0), nearest last */
    left.clear();
    if (est < 0) {
      int64_t a, b, h;
      for (stretches s{q, est, 0}; s.next(&a, &b, &h);) left.push_back({a, b, h});
    }
    stretches right{q, d, umax};
    int64_t ra = 0, rb = 0, rh = 0, la = 0, lb = 0, lh = 0, loss = 0, taken = 0;
    for (;;) {
      if (ra == rb && !right.next(&ra, &rb, &rh)) ra = rb = 0;
      if (la == lb && !left.empty()) la = left.back()[0], lb = left.back()[1], lh = left.back()[2], left.pop_back();
      bool r_open = ra < rb, l_open = la < lb;
      if (!r_open && !l_open) return d + taken;
      int64_t kr = eps - rh, kl = eps - lh;
      bool go_left = l_open && (!r_open || kl <= kr);
      int64_t k = go_left ? kl : kr, len = go_left ? lb - la : rb - ra;
      if (k > 0 && (sigma_delta - loss) / k < len) return d + taken + (sigma_delta - loss) / k;
      loss += k * len, taken += len;
      if (go_left)
        la = lb;
      else
        ra = rb;
    }
  }

  /* The hole reached when the unplaced tasks are laid by a fixed rule: those up to last_disj end
   * to end from delta, the others stacked at delta. */
  int64_t poly_bound(int last_disj, int64_t delta, int64_t sigma_delta)
  {
    profile *q = fd_profile_copy(api, w, P);
    int64_t pos = delta;
    for (int t = 0; t < m(); t++) {
      if (!U[t]) continue;
      if (t <= last_disj) {
        q = add(q, t, pos, H[t]);
        pos = std::max(pos, std::min(pos + L[t], umax));
      } else {
        q = add(q, t, delta, H[t]);
      }
    }
    int64_t b = delta_slack(q, delta, sigma_delta);
    fd_profile_dispose(api, q);
    return b;
  }

  /* A placement of t at delta that some earlier placed task u, lower and shorter, dominates:
   * t at u's start and u at delta fit as well. */
  bool swap_dominated(int t, int64_t delta) const
  {
    for (int u = t + 1; u < m(); u++) {
      if (U[u] || E[u] + L[t] > delta || L[u] > L[t]) continue;
      int64_t own = highest(E[u], E[u] + L[u]), beyond = highest(E[u] + L[u], E[u] + L[t]);
      if (H[t] - H[u] + own <= eps && H[t] + beyond <= eps) return true;
    }
    return false;
  }

  /* The greatest height over [lo, hi) clipped at umax, 0 when empty. */
  int64_t highest(int64_t lo, int64_t hi) const
  {
    hi = std::min(hi, umax);
    return lo < hi ? fd_profile_max(P, (long)lo, (long)hi) : 0;
  }

  bool must_delay(int t, int64_t delta) const
  {
    return at(delta) + H[t] > eps || (delta >= 1 && at(delta - 1) + H[t] <= eps) ||
           (delta < 0 && at(-1) + H[t] == eps) || swap_dominated(t, delta);
  }

  /* A unit-length unplaced task (the last one, or one shorter or lower than it) would fit
   * somewhere in [0, delta): that room is left unfilled for nothing. */
  bool dominated(int64_t delta) const
  {
    int ref = -1;
    int64_t least = profile_min(P, 0, delta);
    for (int u = m() - 1; u >= 0; u--) {
      if (!U[u]) continue;
      if (ref < 0) ref = u;
      bool examined = u == ref || L[u] < L[ref] || H[u] < H[ref];
      if (examined && L[u] == 1 && least + H[u] <= eps) return true;
    }
    return false;
  }

  /* When the unplaced tasks from delta on form a chain of pairwise disjunctive tasks with the
   * rest stacked on the tallest, the fixed rule is the best completion: raise cmax with it and
   * answer true (the node is closed). */
  bool poly_case(int64_t delta, int64_t sigma_delta)
  {
    bool first = true, disj = true;
    int64_t suml = 0, sumh_nd = 0, hmax = 0, hprev = 0, pd = at(delta);
    int last = -1;
    for (int k = 0; k < m(); k++) {
      if (!U[k]) continue;
      if (first) {
        hmax = hprev = H[k], first = false;
      } else {
        if (disj) {
          int64_t date = delta - 1 + suml + L[k];
          int64_t hd = date >= umax ? 0 : at(date);
          disj = hprev + H[k] + hd > eps;
        }
        if (!disj) sumh_nd += H[k];
        hprev = H[k];
      }
      if (hmax + sumh_nd + pd > eps) return false;
      if (disj) suml += L[k], last = k;
    }
    cmax = std::max(cmax, poly_bound(last, delta, sigma_delta));
    return true;
  }

  /* The band above P(delta), as long as the profile keeps that height, is longer than the
   * longest hole of its height with the slack left, and cmax already reaches where it would
   * end. */
  bool too_big_loss(int64_t delta, int64_t sigma_delta) const
  {
    int64_t pd = at(delta);
    bool closed_delta = (delta == 0 && est == 0) || (delta > est && at(delta - 1) == eps);
    int64_t a, b, h, run = 0;
    stretches s{P, delta, umax};
    if (s.next(&a, &b, &h)) run = b - a;
    int64_t lh = lookup(closed_delta, eps - pd, sigma_delta);
    return lh < run && cmax >= lh + delta;
  }

  /* cmax already reaches emin, the next start after delta + 1: the columns [delta, emin) cannot
   * be filled by the slack, the profile and the tasks that may still start there. */
  bool too_big_loss1(int64_t delta, int64_t sigma_delta) const
  {
    int64_t emin = 1073741823;
    for (int u = 0; u < m(); u++)
      if (U[u] && E[u] >= delta + 2) emin = std::min(emin, E[u]);
    if (cmax < emin) return false;
    int64_t need = (emin - delta) * eps, have = sigma_delta;
    if (have >= need || (have += profile_area(P, delta, emin)) >= need) return false;
    int64_t room = eps - at(emin - 1);
    for (int u = 0; u < m(); u++)
      if (U[u] && E[u] < emin && H[u] <= room && (have += std::min(emin - delta, L[u]) * H[u]) >= need)
        return false;
    return true;
  }

  /* The table entry of height h for slack sigma_delta: row r holds slack sigma - rows_below + r,
   * so the row of sigma_delta, or row 0 when sigma_delta is below its slack (a larger slack
   * gives a weaker but valid bound; the row of an unknown slack is never read). */
  int64_t lookup(bool closed, int64_t h, int64_t sigma_delta) const
  {
    int64_t back = std::min<int64_t>(sigma - sigma_delta, rows_below);
    const int32_t *r = (closed ? closed_row : open_row) - back * bbheight;
    return r[h - 1];
  }

  /* Undoes choices up to the last placement, which becomes a move of that task to its next
   * date; false when the search is over (cmax reached umax, the budget ran out: cmax = umax, or
   * nothing is left to undo). */
  bool backtrack(int *nback)
  {
    if (cmax >= umax) return false;
    if (--*nback < 0) {
      cmax = umax;
      return false;
    }
    while (!stack.empty() && stack.back().kind == 2) {
      E[stack.back().t] = stack.back().e;
      stack.pop_back();
    }
    if (stack.empty()) return false;
    choice &top = stack.back();
    P = add(P, top.t, top.e, -H[top.t]);
    U[top.t] = 1;
    E[top.t] = next_date(top.t);
    top.kind = 2;
    return true;
  }

  /* One node; false when the search is over. */
  bool node(int *nback)
  {
    int64_t delta = umax;
    for (int t = 0; t < m(); t++)
      if (U[t]) delta = std::min(delta, E[t]);
    if (delta >= umax) return backtrack(nback);
    int64_t sigma_delta = sigma;
    if (delta >= 0) {
      int64_t loss = delta * eps - profile_area(P, 0, delta), room = eps - at(delta), sumh = 0;
      sigma_delta = loss > sigma ? -1 : sigma - loss;
      for (int t = 0; t < m(); t++)
        if (U[t] && E[t] == delta && H[t] <= room) sumh += H[t];
      if ((est < 0 && at(-1) < 1) || sigma_delta < 0 || room - sumh > sigma_delta) return backtrack(nback);
    }
    int t = 0;
    while (!(U[t] && E[t] == delta)) t++;
    if (must_delay(t, delta)) {
      push(t, 2);
      E[t] = next_date(t);
      return cmax < umax;
    }
    if ((est < 0 && at(-1) == eps) || (delta > 0 && dominated(delta))) return backtrack(nback);
    P = add(P, t, E[t], H[t]);
    U[t] = 0;
    push(t, 1);
    if ((enable & 1) && delta >= 0 && poly_case(delta, sigma_delta)) return backtrack(nback);
    if ((enable & 2) && delta >= 0 && at(delta) < eps &&
        (too_big_loss(delta, sigma_delta) || too_big_loss1(delta, sigma_delta)))
      return backtrack(nback);
    cmax = std::max(cmax, delta_slack(P, delta, sigma_delta));
    return cmax < umax;
  }

  /* At the root: fewer than two tasks, or every task that may share time with its predecessor
   * fits on the tallest: the fixed rule answers (true, *out set). */
  bool root_poly(int64_t *out)
  {
    int last_disj = 0;
    int64_t sumh_nd = 0;
    for (int t = 1; t < m(); t++)
      if (H[t] + H[t - 1] > eps)
        last_disj = t;
      else
        sumh_nd += H[t];
    if (m() >= 2 && H[0] + sumh_nd > eps) return false;
    *out = std::min(umax, poly_bound(last_disj, 0, sigma));
    return true;
  }
};

}  // namespace

clh_hooks fd_clh_hooks;

namespace {

/* clh1 with the segments of the profile pool own (earlier refinements' free segments). */
int64_t refine(ORVALIS_API_STRUCT *api, int eps, int64_t sigma, int *nback, int ntask,
               const lhs *list, const int32_t *lh_table, const int32_t *lch_table, int row,
               int bbheight, int closed, int enable, worker *w, profile **own)
{
  const int32_t *open_row = lh_table + (size_t)row * bbheight;
  const int32_t *closed_row = lch_table + (size_t)row * bbheight;
  clh s;
  s.api = api, s.w = w, s.eps = eps, s.sigma = sigma;
  s.enable = enable, s.open_row = open_row, s.closed_row = closed_row;
  s.rows_below = row, s.bbheight = bbheight;
  for (int i = 0; i < ntask; i++) {
    const lhs &x = list[i];
    if (x.h > eps || x.h < 1 || x.l < 1) continue;
    if (closed && x.h == eps) {
      s.sum_len_eps += x.l;
      continue;
    }
    if (x.h < eps && open_row[eps - x.h - 1] < 1) continue;
    s.L.push_back(x.l), s.H.push_back(x.h), s.U.push_back(1);
    s.E.push_back(closed ? 0 : 1 - (int64_t)x.l);
    s.est = std::min(s.est, s.E.back());
  }
  /* cmax: a hole known to be reached or beaten by the other table or the previous row (a
   * smaller slack), never above the answer */
  s.cmax = sigma / eps;
  if (closed) {
    s.umax = closed_row[eps - 1] - s.sum_len_eps;
    if (row >= 1) s.cmax = std::max<int64_t>(s.cmax, closed_row[eps - 1 - bbheight] - s.sum_len_eps);
  } else {
    s.umax = open_row[eps - 1];
    s.cmax = std::max<int64_t>(s.cmax, closed_row[eps - 1]);
    if (row >= 1) s.cmax = std::max<int64_t>(s.cmax, open_row[eps - 1 - bbheight]);
  }
  if (s.cmax >= s.umax) return s.umax + s.sum_len_eps;
  /* the up-front stack of (umax - est) x m choices is enough (each task's start only grows
   * within [est, umax)) but may be huge; the test hook takes it to compare */
  fd_clh_hooks.nchoice = (s.umax - s.est) * (int64_t)s.m();
  fd_clh_hooks.grew = false, fd_clh_hooks.peak = 0;
  s.stack.reserve(fd_clh_hooks.upfront ? (size_t)fd_clh_hooks.nchoice : (size_t)s.m() * 2);
  /* the profile segments come from the refinements' own pool, so that whatever the caller's
   * pool holds is never used */
  struct fd_state *fd = fd_state(api);
  profile *callers = fd->profile_pool;
  fd->profile_pool = *own;
  int64_t answer;
  if (!s.root_poly(&answer)) {
    while (s.node(nback)) {}
    answer = std::min(s.cmax, s.umax);
  }
  fd_profile_dispose(api, s.P);
  *own = fd->profile_pool;
  fd->profile_pool = callers;
  return answer + s.sum_len_eps;
}

}  // namespace

int64_t clh1(ORVALIS_API_STRUCT *api, int eps, int64_t sigma, int *nback, int ntask,
             const lhs *list, const int32_t *lh_table, const int32_t *lch_table, int row,
             int bbheight, int closed, int enable, worker *w)
{
  profile *own = nullptr;
  int64_t v = refine(api, eps, sigma, nback, ntask, list, lh_table, lch_table, row, bbheight, closed, enable, w, &own);
  fd_profile_dispose(api, own); /* the refinements' free segments join the caller's pool */
  return v;
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
  profile *own = nullptr;
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
      int64_t v = refine(api, eps, sigma, &nback, ntask, list, lh_table, lch_table, row, bbheight, c, 3, w, &own);
      (c ? closed : open)[eps - 1] = (int32_t)std::min<int64_t>(bblength, v);
      left = nback >= 0 ? maxfails : left - 1;
      if (fd_clh_hooks.on_refine) fd_clh_hooks.on_refine(eps, c, nback < 0);
    }
  }
  fd_profile_dispose(api, own); /* the refinements' free segments join the caller's pool */
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
