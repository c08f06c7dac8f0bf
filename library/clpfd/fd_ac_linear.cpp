/* The linear equation a1*x1 + ... + an*xn = RHS, made domain-consistent: after a run every value
 * left in a domain takes part in a solution over the current domains.
 *
 * Residuals: r0 = -RHS and r(i+1) = r(i) + ai*xi; an assignment is a solution exactly when
 * r(n) = 0. A depth-first search over the terms in order asks, for a range of residuals r(i), which
 * of them can still reach 0 with xi..xn; it remembers per term the residuals found live
 * (succeeded) and dead (failed), so that each is examined once per run, and marks the values of xi
 * it meets on a path to 0. Every residual the search is given is reachable from r0, so a marked
 * value has a support. Dead residuals stay dead while domains only shrink: they are kept along a
 * branch in a trailed mutable per term and the next run starts from them.
 *
 * State: (Terms, N, RHS, Handle, Stamp), each term (Ai, Xi, Attr, '$mutable'(DeadSet, _)).
 * The search keeps its frames in an array (depth at most n), not on the native stack.
 */
#include <algorithm>
#include <cstring>

#include "fd_propagate.h"
#include "fd_sets.h"

namespace {

/* An infinite bound in the 64-bit bound passes; finite sums stay far below it. */
constexpr int64_t BIG = (int64_t)1 << 62;
/* attribute, variable, mutable, the dead set last stored in the mutable (known sound), and the
 * first interval of that set reaching the term's residual range of the run that stored it (the
 * range only shrinks along the branch, so the intervals before it never matter there again) */
constexpr int REFS_PER_TERM = 5;
/* A term whose residuals span at most this many values keeps its run's memo in a byte per value. */
constexpr int64_t DENSE_WIDTH = 1 << 14;
/* A term takes part in the search value by value when it has at most this many values (fewer with a
 * unit coefficient, whose intervals the general search takes whole). */
constexpr int POINT_VALUES = 1024, POINT_UNIT_VALUES = 64;
/* FOUND_DEAD: dead, found so in this run (to be added to the term's dead set) */
enum : uint8_t { OPEN = 0, LIVE = 1, DEAD = 2, FOUND_DEAD = 3 };

struct ac_linear_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int32_t stamp;
  int nvars;
  int nrelevant; /* terms from here on have no value left to support: they need only be feasible */
  int32_t rhs;
  TAGGED singleton_zero;
  /* per run: the residuals r(i) are kept as r(i) - off[i] (i = 0..n, off[n] = 0), so that a
   * partial sum beyond the small integers still fits an FD set */
  int64_t *off;
  struct {
    struct dvar *dvar;
    int32_t *coeff;
    int32_t *min, *max; /* bounds of the residual after the term */
    TAGGED *failed, *succeeded, *unsupported;
  } term;
};

void ac_linear_destructor(void *block)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* its instance may be gone */
  QX_free_globrefs(((ac_linear_data *)block)->refbase);
  QX_free(block);
}

TAGGED *ref(const ac_linear_data *b, int i, int which)
{
  return &b->refbase[REFS_PER_TERM * i + which].term;
}

/* ---- 64-bit helpers ---- */

/* a + b where either may be infinite (never both, of opposite signs). */
int64_t sat_add(int64_t a, int64_t b)
{
  if (a >= BIG || b >= BIG) return BIG;
  if (a <= -BIG || b <= -BIG) return -BIG;
  return std::clamp(a + b, -BIG, BIG);
}

int64_t bound64(TAGGED t)
{
  if (IsSmall(t)) return GetSmall(t);
  return t == atom_inf ? -BIG : BIG;
}

/* The shift that brings the residuals lo..hi into the small integers (0 when they are there):
 * false when they span more values than the small integers hold. */
bool residual_shift(int64_t lo, int64_t hi, int64_t *off)
{
  *off = SmallFits(lo) && SmallFits(hi) ? 0 : lo - QX_SMALL_MIN;
  return hi - *off <= QX_SMALL_MAX;
}

int64_t first_residual(const ac_linear_data *b) { return -(int64_t)b->rhs - b->off[0]; }

/* a / b rounded down (up with the second); the 32-bit division when both fit, the usual case. */
template <typename T>
T floor_div_t(T a, T b)
{
  T q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool fits32(int64_t v) { return v == (int32_t)v; }

int64_t floor_div(int64_t a, int64_t b)
{
  return fits32(a) && fits32(b) ? floor_div_t<int32_t>((int32_t)a, (int32_t)b)
                                : floor_div_t<int64_t>(a, b);
}

int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

/* The smallest and largest value of a*x over the view's bounds (infinities as -BIG, BIG). */
void term_range(int32_t a, const dvar *d, int64_t *lo, int64_t *hi)
{
  if (IsSmall(d->min) && IsSmall(d->max)) {
    int64_t p = (int64_t)a * GetSmall(d->min), q = (int64_t)a * GetSmall(d->max);
    *lo = a > 0 ? p : q;
    *hi = a > 0 ? q : p;
    return;
  }
  int64_t xl = bound64(d->min), xh = bound64(d->max);
  int64_t p = std::abs(xl) == BIG ? (a > 0 ? xl : -xl) : a * xl;
  int64_t q = std::abs(xh) == BIG ? (a > 0 ? xh : -xh) : a * xh;
  *lo = std::min(p, q);
  *hi = std::max(p, q);
}

/* ---- sets in the temporary area ---- */

TAGGED single(ORVALIS_API_STRUCT *api, worker *w, int64_t v)
{
  return fd_interval(api, w, MakeSmall((int32_t)v), MakeSmall((int32_t)v));
}

TAGGED add_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, int64_t lo, int64_t hi)
{
  if (lo > hi) return set;
  return fd_union_interval(api, w, set, MakeSmall((int32_t)lo), MakeSmall((int32_t)hi));
}

/* The set with every value moved by `by`; the caller knows the results are small integers. */
TAGGED shift(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, int64_t by)
{
  if (by == 0) return set;
  fds_builder out(api, w);
  for (; IsLst(set); set = fds_next(set))
    out.add(MakeSmall((int32_t)(fds_lo(set) + by)), MakeSmall((int32_t)(fds_hi(set) + by)));
  return out.close(atom_nil);
}

/* {m - r : r in set}, m perhaps beyond the small integers; the caller knows the results are. */
TAGGED mirror(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, int64_t m)
{
  if (SmallFits(m)) return fd_neg_offset(api, w, set, MakeSmall((int32_t)m));
  return fd_neg_offset(api, w, shift(api, w, set, -(m + 1)), MakeSmall(-1));
}

/* Whether the set holds every value of a..b. */
bool covers(TAGGED set, int32_t a, int32_t b)
{
  for (; IsLst(set); set = fds_next(set))
    if (fds_hi(set) >= a) return fds_lo(set) <= a && fds_hi(set) >= b;
  return false;
}

/* ---- the search ---- */

/* The residuals r(i) decided in this run, one byte each over base..base+width-1; st is null when
 * the range is too wide, and the term's succeeded and failed sets serve instead. */
struct memo {
  int32_t base, width;
  uint8_t *st;
  TAGGED dead;    /* the residuals this run found dead */
  int found_dead; /* how many of them the value-by-value search marked FOUND_DEAD */
};

struct frame {
  int i;
  int64_t back; /* the fixed terms before i added this much: the answer is shifted back by it */
  int32_t lo, hi;
  TAGGED K; /* residuals of lo..hi that reach 0 */
  TAGGED U; /* residuals still to decide */
  TAGGED S; /* values of xi found on a path to 0 */
  TAGGED rest;
  int32_t a, b; /* the interval of U being tried */
  int32_t xhi;  /* the largest value of xi leading from a..b into min[i]..max[i] */
  bool trying;  /* a..b has values of xi left to try */
  DVITER it;
  int32_t c, d; /* the values of xi of the pending call */
};

/* The search value by value: r(i) is one residual, each value of xi leads to one r(i+1). */
struct point_frame {
  int i;
  int32_t r;
  int k; /* the next value of xi to try, as an index into the term's values */
  bool live;
};

/* A term's values ordered by ai*x ascending (the values themselves descending when ai < 0), the
 * products ai*x, and whether each value has been found on a path to 0. */
struct point_term {
  int32_t *vals;
  int64_t *step;
  uint8_t *sup;
  int nvals, unsupported;
};

/* Below this many values a term's first useful value is found by a linear scan. */
constexpr int POINT_SCAN = 16;

class search {
public:
  /* from[i]: where the dead set of term i starts to matter */
  search(ORVALIS_API_STRUCT *api, worker *w, ac_linear_data *b, const TAGGED *from)
      : api(api), w(w), b(b), n(b->nvars)
  {
    stack = (frame *)fd_temp_alloc(api, w, (size_t)(n + 1) * sizeof(frame));
    memos = (memo *)fd_temp_alloc(api, w, (size_t)(n + 1) * sizeof(memo));
    for (int i = 0; i < n; i++) {
      memo &m = memos[i];
      m = {0, 0, nullptr, atom_nil, 0};
      if (fixed(i)) continue;
      int64_t lo = i == 0 ? first_residual(b) : b->term.min[i - 1];
      int64_t hi = i == 0 ? first_residual(b) : b->term.max[i - 1];
      if (hi - lo >= DENSE_WIDTH) continue;
      m.base = (int32_t)lo;
      m.width = (int32_t)(hi - lo + 1);
      m.st = (uint8_t *)fd_temp_alloc(api, w, (size_t)m.width);
      std::memset(m.st, OPEN, (size_t)m.width);
      for (TAGGED l = from[i]; IsLst(l) && fds_lo(l) <= hi; l = fds_next(l))
        mark(m, std::max<int64_t>(fds_lo(l), lo), std::min<int64_t>(fds_hi(l), hi), DEAD);
    }
  }

  /* After the run: each term's dead set with what the run found added. */
  void collect_dead()
  {
    for (int i = 0; i < n; i++)
      if (memos[i].st && IsLst(memos[i].dead))
        b->term.failed[i] = fd_union(api, w, b->term.failed[i], memos[i].dead);
  }

  /* The residuals r0 in lo..hi that reach 0. */
  TAGGED run(int32_t lo, int32_t hi)
  {
    TAGGED result;
    if (enter(0, lo, hi, &result)) return result;
    for (;;) {
      frame &f = stack[top];
      int32_t clo, chi;
      if (next_call(f, &clo, &chi)) {
        if (enter(f.i + 1, clo, chi, &result)) deliver(f, result);
        continue;
      }
      result = finish(f);
      if (top-- == 0) return result;
      deliver(stack[top], result);
    }
  }

  /* Whether every unfixed term has a dense memo and few values, so that run_points applies. */
  bool points_apply()
  {
    pts = (point_term *)fd_temp_alloc(api, w, (size_t)(n + 1) * sizeof(point_term));
    for (int i = 0; i < n; i++) {
      point_term &t = pts[i];
      t = {nullptr, nullptr, nullptr, 0, 0};
      if (fixed(i)) continue;
      int limit = coeff(i) == 1 || coeff(i) == -1 ? POINT_UNIT_VALUES : POINT_VALUES;
      t.nvals = dvar_value_count(view(i));
      if (!memos[i].st || t.nvals > limit) return false;
    }
    return true;
  }

  /* Whether the residual r0 reaches 0, searching value by value; leaves each term's unsupported
   * values in unsupported[i] and the residuals found dead in the memo's dead set. */
  bool run_points(int32_t r0)
  {
    pstack = (point_frame *)fd_temp_alloc(api, w, (size_t)(n + 1) * sizeof(point_frame));
    for (int i = 0; i < n; i++) {
      point_term &t = pts[i];
      if (fixed(i)) continue;
      int count = t.nvals;
      t.step = (int64_t *)fd_temp_alloc(api, w, (size_t)count * sizeof(int64_t));
      t.vals = (int32_t *)fd_temp_alloc(api, w, (size_t)count * sizeof(int32_t));
      t.sup = (uint8_t *)fd_temp_alloc(api, w, (size_t)count);
      std::memset(t.sup, 0, (size_t)count);
      t.nvals = 0;
      DVITER it;
      dviter_init(&it, view(i));
      while (!dviter_empty(&it) && t.nvals < count) {
        TAGGED lo, hi;
        dviter_next_interval_t(&it, &lo, &hi);
        for (int32_t v = fds_val(lo), e = fds_val(hi); v <= e && t.nvals < count; v++)
          t.vals[t.nvals++] = v;
      }
      if (coeff(i) < 0) std::reverse(t.vals, t.vals + t.nvals);
      for (int k = 0; k < t.nvals; k++) t.step[k] = (int64_t)coeff(i) * t.vals[k] + drift(i);
      t.unsupported = t.nvals;
    }
    int top = -1;
    int res = enter_point(0, r0, &top);
    while (top >= 0) {
      point_frame &f = pstack[top];
      if (res >= 0) { /* the answer for value k */
        if (res == 1) {
          f.live = true;
          supported(f.i, f.k);
        }
        f.k++;
      }
      res = -1;
      const point_term &t = pts[f.i];
      if (f.k < t.nvals && !(f.live && f.i >= b->nrelevant)) {
        int64_t child = f.r + t.step[f.k];
        if (child <= b->term.max[f.i]) {
          res = enter_point(f.i + 1, child, &top);
          continue;
        }
      }
      memo &m = memos[f.i];
      m.st[f.r - m.base] = f.live ? LIVE : FOUND_DEAD;
      m.found_dead += !f.live;
      res = f.live ? 1 : 0;
      top--;
    }
    for (int i = 0; i < n; i++) {
      if (fixed(i)) continue;
      point_term &t = pts[i];
      memo &m = memos[i];
      if (m.found_dead > 0) m.dead = marked_dead(m);
      if (t.unsupported == 0) {
        b->term.unsupported[i] = atom_nil;
        continue;
      }
      if (coeff(i) < 0) { /* ascending values for the set */
        std::reverse(t.vals, t.vals + t.nvals);
        std::reverse(t.sup, t.sup + t.nvals);
      }
      fds_builder out(api, w);
      for (int k = 0; k < t.nvals; k++) {
        if (t.sup[k]) continue;
        int e = k;
        while (e + 1 < t.nvals && !t.sup[e + 1] && t.vals[e + 1] == t.vals[e] + 1) e++;
        out.add(MakeSmall(t.vals[k]), MakeSmall(t.vals[e]));
        k = e;
      }
      b->term.unsupported[i] = out.close(atom_nil);
    }
    return res == 1;
  }

private:
  /* The residuals of the memo marked FOUND_DEAD, as a set. */
  TAGGED marked_dead(const memo &m)
  {
    fds_builder dead(api, w);
    for (int32_t r = 0, left = m.found_dead; left > 0; r++) {
      if (m.st[r] != FOUND_DEAD) continue;
      int32_t e = r;
      while (e + 1 < m.width && m.st[e + 1] == FOUND_DEAD) e++;
      dead.add(MakeSmall(m.base + r), MakeSmall(m.base + e));
      left -= e - r + 1;
      r = e;
    }
    return dead.close(atom_nil);
  }

  /* r(i) = r: 1 when it reaches 0, 0 when not, -1 with a frame pushed to decide it. Fixed terms
   * are passed through. */
  int enter_point(int i, int64_t r, int *top)
  {
    for (;;) {
      if (i >= 1 && (r < b->term.min[i - 1] || r > b->term.max[i - 1])) return 0;
      if (i == n) return r == 0;
      /* beyond the terms with values to support, a forced residual is known to reach 0 */
      if (i >= 1 && i >= b->nrelevant && b->term.min[i - 1] == b->term.max[i - 1]) return 1;
      if (!fixed(i)) break;
      r += (int64_t)coeff(i) * GetSmall(view(i)->min) + drift(i);
      i++;
    }
    memo &m = memos[i];
    uint8_t &st = m.st[r - m.base];
    if (st != OPEN) return st == LIVE;
    /* the first value x with r + ai*x >= min[i]; the frame stops past max[i] */
    int64_t lo = (int64_t)b->term.min[i] - r;
    const point_term &t = pts[i];
    int k = 0;
    if (t.nvals <= POINT_SCAN)
      while (k < t.nvals && t.step[k] < lo) k++;
    else
      k = (int)(std::lower_bound(t.step, t.step + t.nvals, lo) - t.step);
    if (b->term.min[i] == b->term.max[i] && i + 1 >= b->nrelevant) {
      /* r(i+1) is forced and then known to reach 0: decided by the one value leading to it */
      bool live = k < t.nvals && t.step[k] == lo;
      if (live) supported(i, k);
      st = live ? LIVE : FOUND_DEAD;
      m.found_dead += !live;
      return live;
    }
    point_frame &f = pstack[++*top];
    f.i = i;
    f.r = (int32_t)r;
    f.live = false;
    f.k = k;
    return -1;
  }

  /* The value k of term i lies on a path to 0. */
  void supported(int i, int k)
  {
    point_term &t = pts[i];
    if (t.sup[k]) return;
    t.sup[k] = 1;
    if (--t.unsupported == 0 && i + 1 == b->nrelevant) {
      int j = i;
      while (j > 0 && (!pts[j - 1].vals ? true : pts[j - 1].unsupported == 0)) j--;
      b->nrelevant = j;
    }
  }

  static void mark(memo &m, int64_t lo, int64_t hi, uint8_t what)
  {
    if (lo <= hi) std::memset(m.st + (lo - m.base), what, (size_t)(hi - lo + 1));
  }

  int32_t coeff(int i) const { return b->term.coeff[i]; }
  /* what term i adds to a residual besides ai*xi: the change of shift from r(i) to r(i+1) */
  int64_t drift(int i) const { return b->off[i] - b->off[i + 1]; }
  dvar *view(int i) const { return &b->term.dvar[i]; }
  bool fixed(int i) const { return view(i)->flags & DV_FIXED; }

  /* Starts the question for r(i) in lo..hi: true with the answer, or false with a frame pushed.
   * Fixed terms are passed through by shifting the range. */
  bool enter(int i, int64_t lo, int64_t hi, TAGGED *out)
  {
    int64_t s = 0;
    for (;;) {
      if (i >= 1) {
        lo = std::max(lo, (int64_t)b->term.min[i - 1]);
        hi = std::min(hi, (int64_t)b->term.max[i - 1]);
      }
      if (lo > hi) {
        *out = atom_nil;
        return true;
      }
      if (i == n) {
        *out = s == 0 ? b->singleton_zero : single(api, w, -s);
        return true;
      }
      /* beyond the terms with values to support, a forced residual is known to reach 0 */
      if (i >= 1 && i >= b->nrelevant && b->term.min[i - 1] == b->term.max[i - 1]) {
        *out = single(api, w, b->term.min[i - 1] - s);
        return true;
      }
      if (!fixed(i)) break;
      int64_t c = (int64_t)coeff(i) * GetSmall(view(i)->min) + drift(i);
      lo += c;
      hi += c;
      s += c;
      i++;
    }
    frame &f = stack[++top];
    f.i = i;
    f.back = s;
    f.lo = (int32_t)lo;
    f.hi = (int32_t)hi;
    const memo &m = memos[i];
    if (m.st) {
      fds_builder known(api, w), open(api, w);
      for (int32_t r = f.lo; r <= f.hi;) {
        uint8_t st = m.st[r - m.base];
        int32_t e = r;
        while (e < f.hi && m.st[e + 1 - m.base] == st) e++;
        if (st == LIVE) known.add(MakeSmall(r), MakeSmall(e));
        if (st == OPEN) open.add(MakeSmall(r), MakeSmall(e));
        r = e + 1;
      }
      f.K = known.close(atom_nil);
      f.U = open.close(atom_nil);
    } else {
      TAGGED range = fd_interval(api, w, MakeSmall(f.lo), MakeSmall(f.hi));
      f.K = fd_intersection(api, w, range, b->term.succeeded[i]);
      f.U =
          fd_subtract(api, w, fd_subtract(api, w, range, b->term.succeeded[i]), b->term.failed[i]);
    }
    if (!IsLst(f.U)) { /* decided already: nothing to record */
      *out = shift(api, w, f.K, -f.back);
      top--;
      return true;
    }
    f.S = atom_nil;
    f.rest = f.U;
    f.trying = false;
    if ((coeff(i) != 1 && coeff(i) != -1) || !forced_past_support(i)) return false;
    forced(f);
    *out = finish(f);
    top--;
    return true;
  }

  /* Whether r(i+1) is forced while the terms after i have no values left to support: a forced
   * residual always reaches 0 (it lies at an end of both passes' ranges, where every later term
   * takes an end of its domain), so the values of xi leading to it are supported without a
   * search. Before such terms the search must still go down to mark their values. */
  bool forced_past_support(int i) const
  {
    return b->term.min[i] == b->term.max[i] && i + 1 >= b->nrelevant;
  }

  /* The next residual m is forced and xi's coefficient is 1 or -1: r + xi = m gives xi = m - r,
   * the values {m - r : r in U} (U mirrored and offset, not shifted); r - xi = m gives xi = r - m,
   * U shifted. U is first cut to the residuals whose xi lies within xi's bounds, so that the new
   * sets stay within the small integers. */
  void forced(frame &f)
  {
    dvar *d = view(f.i);
    int64_t m = b->term.min[f.i] - drift(f.i);
    int64_t dlo = std::max(bound64(d->min), (int64_t)QX_SMALL_MIN);
    int64_t dhi = std::min(bound64(d->max), (int64_t)QX_SMALL_MAX);
    TAGGED dom = dvar_set(api, d, w);
    if (coeff(f.i) == 1) {
      TAGGED u = fd_intersection_interval(api, w, f.U,
                                          MakeSmall((int32_t)std::max(m - dhi, (int64_t)f.lo)),
                                          MakeSmall((int32_t)std::min(m - dlo, (int64_t)f.hi)));
      f.S = fd_intersection(api, w, dom, mirror(api, w, u, m));
      f.K = fd_union(api, w, f.K, mirror(api, w, f.S, m));
    } else {
      TAGGED u = fd_intersection_interval(api, w, f.U,
                                          MakeSmall((int32_t)std::max(m + dlo, (int64_t)f.lo)),
                                          MakeSmall((int32_t)std::min(m + dhi, (int64_t)f.hi)));
      f.S = fd_intersection(api, w, dom, shift(api, w, u, -m));
      f.K = fd_union(api, w, f.K, shift(api, w, f.S, m));
    }
  }

  /* Sets up the next interval of U that some value of xi leads into min[i]..max[i]. */
  bool next_interval(frame &f)
  {
    dvar *d = view(f.i);
    int64_t ai = coeff(f.i);
    while (IsLst(f.rest)) {
      f.a = fds_lo(f.rest);
      f.b = fds_hi(f.rest);
      f.rest = fds_next(f.rest);
      /* ai*xi must lie in min[i]-b .. max[i]-a, less the drift */
      int64_t clo = b->term.min[f.i] - f.b - drift(f.i), chi = b->term.max[f.i] - f.a - drift(f.i);
      int64_t xlo = ai > 0 ? ceil_div(clo, ai) : ceil_div(chi, ai);
      int64_t xhi = ai > 0 ? floor_div(chi, ai) : floor_div(clo, ai);
      xlo = std::max({xlo, bound64(d->min), (int64_t)QX_SMALL_MIN});
      xhi = std::min({xhi, bound64(d->max), (int64_t)QX_SMALL_MAX});
      if (xlo > xhi) continue;
      dviter_init(&f.it, d);
      if (xlo > bound64(d->min)) dviter_skip_t(&f.it, fds_bound((int32_t)xlo - 1));
      if (dviter_empty(&f.it) || fds_val(f.it.min) > xhi) continue;
      f.xhi = (int32_t)xhi;
      return true;
    }
    return false;
  }

  /* The next call the frame makes, as the range of r(i+1); false when the frame is done. */
  bool next_call(frame &f, int32_t *lo, int32_t *hi)
  {
    int i = f.i;
    int64_t ai = coeff(i);
    int32_t mn = b->term.min[i], mx = b->term.max[i];
    for (;;) {
      if (!f.trying) {
        if (!next_interval(f)) return false;
        f.trying = true;
      }
      if (dviter_empty(&f.it) || fds_val(f.it.min) > f.xhi ||
          (i >= b->nrelevant && covers(f.K, f.a, f.b))) {
        f.trying = false;
        continue;
      }
      if (ai == 1 || ai == -1) {
        TAGGED tl, th;
        dviter_next_interval_t(&f.it, &tl, &th);
        f.c = fds_val(tl);
        f.d = std::min(fds_val(th), f.xhi);
        int64_t l = (ai == 1 ? (int64_t)f.a + f.c : (int64_t)f.a - f.d) + drift(i);
        int64_t h = (ai == 1 ? (int64_t)f.b + f.d : (int64_t)f.b - f.c) + drift(i);
        *lo = (int32_t)std::max(l, (int64_t)mn);
        *hi = (int32_t)std::min(h, (int64_t)mx);
        return true;
      }
      int32_t v = fds_val(dviter_next_value_t(&f.it));
      int64_t c = ai * v + drift(i);
      if (forced_past_support(i)) {
        f.S = add_interval(api, w, f.S, v, v);
        f.K = add_interval(api, w, f.K, mn - c, mn - c);
        continue;
      }
      f.c = f.d = v;
      *lo = (int32_t)std::max((int64_t)f.a + c, (int64_t)mn);
      *hi = (int32_t)std::min((int64_t)f.b + c, (int64_t)mx);
      return true;
    }
  }

  /* The residuals P of r(i+1) that reach 0, for the pending call. */
  void deliver(frame &f, TAGGED P)
  {
    int64_t ai = coeff(f.i), a = f.a, bb = f.b, c = f.c, d = f.d;
    if (ai != 1 && ai != -1) {
      if (!IsLst(P)) return;
      f.S = add_interval(api, w, f.S, c, c);
      f.K = fd_union(api, w, f.K, shift(api, w, P, -(ai * c + drift(f.i))));
      return;
    }
    for (; IsLst(P); P = fds_next(P)) {
      int64_t p = fds_lo(P) - drift(f.i), q = fds_hi(P) - drift(f.i);
      if (ai == 1) { /* r + x in p..q */
        f.K = add_interval(api, w, f.K, std::max(p - d, a), std::min(q - c, bb));
        f.S = add_interval(api, w, f.S, std::max(p - bb, c), std::min(q - a, d));
      } else { /* r - x in p..q */
        f.K = add_interval(api, w, f.K, std::max(p + c, a), std::min(q + d, bb));
        f.S = add_interval(api, w, f.S, std::max(a - q, c), std::min(bb - p, d));
      }
    }
  }

  /* Records what the frame found; its answer. */
  TAGGED finish(frame &f)
  {
    int i = f.i;
    TAGGED &uns = b->term.unsupported[i];
    if (IsLst(f.S) && IsLst(uns) && fd_intersection_min(f.S, uns)) {
      uns = fd_subtract(api, w, uns, f.S);
      if (!IsLst(uns) && i + 1 == b->nrelevant) {
        int j = i;
        while (j > 0 && !IsLst(b->term.unsupported[j - 1])) j--;
        b->nrelevant = j;
      }
    }
    TAGGED dead = fd_subtract(api, w, f.U, f.K);
    memo &m = memos[i];
    if (m.st) {
      for (TAGGED l = f.K; IsLst(l); l = fds_next(l)) mark(m, fds_lo(l), fds_hi(l), LIVE);
      for (TAGGED l = dead; IsLst(l); l = fds_next(l)) mark(m, fds_lo(l), fds_hi(l), DEAD);
      if (IsLst(dead)) m.dead = fd_union(api, w, m.dead, dead);
    } else {
      b->term.succeeded[i] = fd_union(api, w, b->term.succeeded[i], f.K);
      if (IsLst(dead)) b->term.failed[i] = fd_union(api, w, b->term.failed[i], dead);
    }
    return shift(api, w, f.K, -f.back);
  }

  ORVALIS_API_STRUCT *api;
  worker *w;
  ac_linear_data *b;
  int n;
  frame *stack;
  memo *memos;
  int top = -1;
  point_term *pts = nullptr;
  point_frame *pstack = nullptr;
};

/* ---- state checks ---- */

bool is_compound(TAGGED t, uint32_t arity)
{
  return IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) == arity;
}


/* An integer argument: 1 small, 0 a bignum (the caller reports overflow); -1 after raising an
 * error. */
int check_integer(ORVALIS_API_STRUCT *api, worker *w, TAGGED t)
{
  if (IsSmall(t)) return 1;
  if (IsInteger(t)) return 0;
  if (IsVar(t))
    fd_instantiation_error(api, 1);
  else
    fd_type_error(api, "integer", fd_error_culprit(t), 1);
  return -1;
}

/* The terms of a new state: 1 sound, 0 an integer beyond the small integers (an overflow), -1
 * after raising an error. */
int check_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  int ok = check_integer(api, w, deref(StrArg(s, 2)));
  if (ok < 0) return -1;
  int fits = check_integer(api, w, deref(StrArg(s, 3)));
  if (fits < 0) return -1;
  if (ok == 0) {
    fd_domain_error(api, "term_count", deref(StrArg(s, 2)), 1);
    return -1;
  }
  int32_t count = 0;
  uint32_t steps = fd_list_bound(w);
  TAGGED l = deref(StrArg(s, 1));
  for (; IsLst(l) && steps-- > 0; l = deref(LstTail(l)), count++) {
    TAGGED t = deref(LstHead(l));
    if (!is_compound(t, 4)) {
      fd_type_error(api, "linear_term", fd_error_culprit(t), 1);
      return -1;
    }
    TAGGED a = deref(StrArg(t, 1)), x = deref(StrArg(t, 2)), m = deref(StrArg(t, 4));
    int k = check_integer(api, w, a);
    if (k < 0) return -1;
    if (a == MakeSmall(0)) {
      fd_domain_error(api, "not_equal_to_zero", a, 1);
      return -1;
    }
    if (k == 0) fits = 0;
    if (!IsSmall(x) && !(IsVar(x) && fd_well_formed_attribute(deref(StrArg(t, 3))))) {
      fd_type_error(api, "domain_variable", fd_error_culprit(x), 1);
      return -1;
    }
    if (!IsStr(m) || StrFunctor(m) != functor_mutable2) {
      fd_type_error(api, "mutable", fd_error_culprit(m), 1);
      return -1;
    }
  }
  if (l != atom_nil) {
    if (IsVar(l))
      fd_instantiation_error(api, 1);
    else
      fd_type_error(api, "list", fd_error_culprit(l), 1);
    return -1;
  }
  if (deref(StrArg(s, 2)) != MakeSmall(count)) {
    fd_domain_error(api, "term_count", deref(StrArg(s, 2)), 1);
    return -1;
  }
  return fits;
}

/* A new block for the state in w->term[0], whose terms were checked. */
ac_linear_data *make_block(ORVALIS_API_STRUCT *api, worker *w, TAGGED handle)
{
  int n = GetSmall(deref(StrArg(deref(w->term[0]), 2)));
  size_t bytes = sizeof(ac_linear_data) +
                 (size_t)n * (sizeof(dvar) + 3 * sizeof(int32_t) + 3 * sizeof(TAGGED));
  auto *b = (ac_linear_data *)fd_perm_alloc(api, w, bytes, handle);
  std::memset(b, 0, bytes);
  b->frame.destructor = ac_linear_destructor;
  b->qxenv = api;
  b->nvars = n;
  b->term.dvar = (dvar *)(b + 1);
  b->term.coeff = (int32_t *)(b->term.dvar + n);
  b->term.min = b->term.coeff + n;
  b->term.max = b->term.min + n;
  b->term.failed = (TAGGED *)(b->term.max + n);
  b->term.succeeded = b->term.failed + n;
  b->term.unsupported = b->term.succeeded + n;
  b->refbase = QX_alloc_globrefs(REFS_PER_TERM * (n > 0 ? n : 1));
  if (!b->refbase) qx_memory_fault("global references", QX_SPACE_FOREIGN);
  TAGGED s = deref(w->term[0]);
  b->rhs = GetSmall(deref(StrArg(s, 3)));
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 1)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED t = deref(LstHead(l));
    b->term.coeff[i] = GetSmall(deref(StrArg(t, 1)));
    *ref(b, i, 0) = deref(StrArg(t, 3));
    *ref(b, i, 1) = deref(StrArg(t, 2));
    *ref(b, i, 2) = deref(StrArg(t, 4));
    *ref(b, i, 3) = atom_nil;
    *ref(b, i, 4) = atom_nil;
  }
  return b;
}

/* ---- a run ---- */

/* Loads the views and the dead sets (start[i] the one of the mutable, from[i] its part that may
 * still matter): 1, or 0 after raising an error. */
int load(ORVALIS_API_STRUCT *api, worker *w, ac_linear_data *b, QX_term_ref scratch, TAGGED *start,
         TAGGED *from)
{
  b->nrelevant = 0;
  for (int i = 0; i < b->nvars; i++) {
    dvar *d = &b->term.dvar[i];
    TAGGED x = deref(*ref(b, i, 1));
    b->term.failed[i] = b->term.succeeded[i] = b->term.unsupported[i] = atom_nil;
    if (IsSmall(x)) {
      dvar_init_temp(d, x, x);
      continue;
    }
    /* the attribute was checked with the state; the kernel keeps it well-formed */
    if (!IsVar(x)) {
      fd_type_error(api, "domain_variable", fd_error_culprit(x), 1);
      return 0;
    }
    dvar_init(d, ref(b, i, 0), ref(b, i, 1));
    if (d->flags & DV_FIXED) continue;
    TAGGED dead = fd_mutable_value(*ref(b, i, 2));
    fd_ref_put(api, scratch, dead);
    bool stored = dead == deref(*ref(b, i, 3));
    if (!stored) dead = fds_import_set(api, w, scratch);
    if (!dead) {
      fd_type_error(api, "fd_set", fd_error_culprit(fd_ref_get(api, scratch)), 1);
      return 0;
    }
    b->term.failed[i] = start[i] = dead;
    from[i] = stored ? deref(*ref(b, i, 4)) : dead;
    b->nrelevant = i + 1;
  }
  return 1;
}

/* The two passes of residual_bounds over the terms' ranges (Plain: no sum nears an infinity). */
template <bool Plain>
int residual_passes(ac_linear_data *b, const int64_t *terms)
{
  auto add = [](int64_t x, int64_t y) { return Plain ? x + y : sat_add(x, y); };
  int n = b->nvars;
  int64_t *back = const_cast<int64_t *>(terms) + 2 * n;
  int64_t lo = 0, hi = 0;
  for (int i = n - 1; i >= 0; i--) {
    back[2 * i] = lo;
    back[2 * i + 1] = hi;
    lo = add(lo, -terms[2 * i + 1]);
    hi = add(hi, -terms[2 * i]);
  }
  int64_t r0 = -(int64_t)b->rhs;
  if (r0 < lo || r0 > hi) return -1;
  residual_shift(r0, r0, &b->off[0]);
  bool infinite = false;
  int64_t p = r0, q = r0;
  for (int i = 0; i < n; i++) {
    p = add(p, terms[2 * i]);
    q = add(q, terms[2 * i + 1]);
    int64_t mn = std::max(back[2 * i], p), mx = std::min(back[2 * i + 1], q);
    if (mn > mx) return -1;
    /* a range too wide to shift into the small integers is searched no better than an infinite
     * one */
    if (mn <= -BIG || mx >= BIG || !residual_shift(mn, mx, &b->off[i + 1])) {
      infinite = true;
      continue;
    }
    b->term.min[i] = (int32_t)(mn - b->off[i + 1]);
    b->term.max[i] = (int32_t)(mx - b->off[i + 1]);
  }
  return infinite ? 0 : 1;
}

/* The bounds of every residual, the tighter of a backward pass from r(n) = 0 and a forward pass
 * from r0, and their shifts: 1, 0 when some bound is infinite (the search could not end: nothing
 * is pruned then), -1 failure. */
int residual_bounds(ORVALIS_API_STRUCT *api, worker *w, ac_linear_data *b)
{
  int n = b->nvars;
  /* the range of each term, then the bounds of r(i+1) from the terms after i */
  auto *terms = (int64_t *)fd_temp_alloc(api, w, 4 * sizeof(int64_t) * (size_t)(n + 1));
  b->off = (int64_t *)fd_temp_alloc(api, w, sizeof(int64_t) * (size_t)(n + 1));
  /* Usually every term is finite and so small that no sum of them comes near an infinity: the
   * passes then add plainly. */
  constexpr int64_t PLAIN = (int64_t)1 << 40;
  bool plain = n < (1 << 20);
  for (int i = 0; i < n; i++) {
    term_range(b->term.coeff[i], &b->term.dvar[i], &terms[2 * i], &terms[2 * i + 1]);
    plain = plain && terms[2 * i] > -PLAIN && terms[2 * i + 1] < PLAIN;
  }
  return plain ? residual_passes<true>(b, terms) : residual_passes<false>(b, terms);
}

/* Prunes the unsupported values and stores the grown dead sets: the outcome. */
int conclude(ORVALIS_API_STRUCT *api, worker *w, ac_linear_data *b, const TAGGED *start)
{
  int n = b->nvars;
  for (int i = 0; i < n; i++) {
    dvar *d = &b->term.dvar[i];
    if (!d->attr_ref || (d->flags & DV_FIXED)) {
      b->term.failed[i] = 0;
      continue;
    }
    /* a dead set that grew is built in the temporary area whole before anything collects */
    bool kept = b->term.failed[i] == start[i] || b->off[i] != 0; /* shifted: not stored */
    b->term.failed[i] = kept ? 0 : fd_localize(api, w, b->term.failed[i]);
    if (i < b->nrelevant && IsLst(b->term.unsupported[i])) {
      int mask = dvar_prune_set(api, d, b->term.unsupported[i], w);
      if (mask < 0) return -1;
      if (mask > 0) dvar_pruning_done(api, w, d);
    }
  }
  int unfixed = 0;
  for (int i = 0; i < n; i++) {
    dvar *d = &b->term.dvar[i];
    if (!d->attr_ref || (d->flags & DV_FIXED)) continue;
    unfixed++;
    if (!b->term.failed[i]) continue;
    TAGGED set = fd_globalize(api, w, b->term.failed[i], 0, FD_LIVE);
    fd_update_mutable(api, w, set, deref(*ref(b, i, 2)));
    *ref(b, i, 3) = set;
    int32_t lo = i == 0 ? -b->rhs : b->term.min[i - 1];
    for (set = deref(*ref(b, i, 3)); IsLst(set) && fds_hi(set) < lo;) set = fds_next(set);
    *ref(b, i, 4) = set;
  }
  for (int i = 0; i < n; i++)
    if (b->term.dvar[i].attr_ref) dvar_export_do(api, w, &b->term.dvar[i]);
  return unfixed < 2 ? 1 : 0;
}

/* One run on the block: 1 entailed, 0 suspended, -1 failed, -2 an error was raised. */
int propagate(ORVALIS_API_STRUCT *api, worker *w, ac_linear_data *b)
{
  auto *start = (TAGGED *)fd_temp_alloc(api, w, 2 * sizeof(TAGGED) * (size_t)(b->nvars + 1));
  std::memset(start, 0, 2 * sizeof(TAGGED) * (size_t)(b->nvars + 1));
  TAGGED *from = start + b->nvars + 1;
  QX_term_ref mark = QX_new_term_refs(0), scratch = fd_new_refs(api, 1);
  int loaded = load(api, w, b, scratch, start, from);
  QX_reset_term_refs(mark);
  if (!loaded) return -2;
  int bounds = residual_bounds(api, w, b);
  if (bounds <= 0) return bounds;
  if (b->nvars == 0) return 1;
  /* the stored dead sets hold unshifted residuals: a term whose residuals are shifted goes
   * without them */
  for (int i = 0; i < b->nvars; i++)
    if (b->off[i] != 0) b->term.failed[i] = from[i] = atom_nil;
  int32_t r0 = (int32_t)first_residual(b);
  search s(api, w, b, from);
  bool live;
  if (s.points_apply()) {
    live = s.run_points(r0);
  } else {
    b->singleton_zero = single(api, w, 0);
    for (int i = 0; i < b->nvars; i++)
      if (!(b->term.dvar[i].flags & DV_FIXED))
        b->term.unsupported[i] = dvar_set(api, &b->term.dvar[i], w);
    live = IsLst(s.run(r0, r0));
  }
  if (!live) return -1;
  s.collect_dead();
  return conclude(api, w, b, start);
}

}  // namespace

void prolog_fd_ac_linear_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  TAGGED s = w->term[0];
  if (!is_compound(s, 5) || !IsSmall(deref(StrArg(s, 5))) ||
      !fd_valid_handle(deref(StrArg(s, 4)))) {
    fd_type_error(api, "ac_linear_state", fd_error_culprit(s), 1);
    fd_native_fail(api);
    return;
  }
  int sound = IsVar(deref(StrArg(s, 4))) ? check_state(api, w, s) : 1;
  if (sound < 0) {
    fd_native_fail(api);
    return;
  }
  int outcome = -1;
  if (sound == 0) {
    fd_state(api)->fd_overflow = 1;
  } else {
    TAGGED handle;
    int32_t stamp;
    int is_new;
    fd_unify_output_state(api, w, &handle, &stamp, &is_new);
    ac_linear_data *b = nullptr;
    if (IsVar(handle)) {
      b = make_block(api, w, handle);
      b->stamp = stamp - 1;
    } else if (IsVar(deref(LstHead(handle)))) {
      b = (ac_linear_data *)fd_perm_data(handle);
    }
    /* else the block went with the entailment */
    outcome = 1;
    if (b) {
      b->stamp = stamp + 1;
      outcome = propagate(api, w, b);
      if (outcome == -2) {
        fd_native_fail(api);
        return;
      }
    }
    if (outcome == 1) fd_perm_free(api, w);
  }
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, outcome);
}
