/* Nonlinear arithmetic as global constraints: X*Y = Z, X*X = Y, and Z as the truncated quotient,
 * the floored modulo or the truncated remainder of X by Y.
 *
 * Each run makes one pass over its variables' current bounds (the loop runs it again when it
 * pruned its own variables) and keeps no state between runs but the variable references in its
 * block. Bounds are handled as 64-bit integers in which inf and sup are -BIG and BIG, beyond any
 * product of two small integers, so that no step can wrap; a result is saturated back to inf or
 * sup, and a new lower bound above the small-integer range (or an upper one below it) empties the
 * variable with the overflow flag raised.
 *
 * The sign cases are closed forms over signed parts: a variable's bounds split into a negative
 * part, the value 0 and a positive part, each part given by the magnitudes it spans. A step that
 * restricts its target to pieces collects the hull of the negative values it supports, whether 0 is
 * supported, and the hull of the positive ones.
 */
#include <algorithm>
#include <cmath>

#include "fd_bounds.h"
#include "fd_kernel.h"
#include "fd_propagate.h"
#include "fd_sets.h"

namespace {

using i64 = int64_t;

constexpr i64 BIG = INT64_C(1) << 60;

i64 low(const dvar *d) { return IsSmall(d->min) ? GetSmall(d->min) : -BIG; }
i64 high(const dvar *d) { return IsSmall(d->max) ? GetSmall(d->max) : BIG; }
bool finite(i64 v) { return v > -BIG && v < BIG; }
bool fixed(const dvar *d) { return d->min == d->max; }

TAGGED bound_of(i64 v)
{
  if (v < QX_SMALL_MIN) return atom_inf;
  return v > QX_SMALL_MAX ? atom_sup : MakeSmall((int32_t)v);
}

/* Restricts d to lo..hi: the change mask, or -1 when d becomes empty (with the overflow flag when
 * the new lower bound is sup or the new upper bound inf). */
int restrict_to(ORVALIS_API_STRUCT *api, dvar *d, i64 lo, i64 hi)
{
  if (lo > QX_SMALL_MAX || hi < QX_SMALL_MIN) {
    fd_state(api)->fd_overflow = 1;
    return -1;
  }
  return dvar_fix_interval_t(d, bound_of(lo), bound_of(hi));
}

/* a*b, where 0 times an infinity is 0. */
i64 mul(i64 a, i64 b)
{
  if (a == 0 || b == 0) return 0;
  if (finite(a) && finite(b)) return a * b;
  return (a < 0) != (b < 0) ? -BIG : BIG;
}

/* a/b rounded up or down (b nonzero). An infinite dividend gives the infinity of the quotient's
 * sign; a finite one divided by an infinity is a tiny quotient of its sign. */
i64 divide(i64 a, i64 b, bool up)
{
  if (a == 0) return 0;
  bool neg = (a < 0) != (b < 0);
  if (!finite(a)) return neg ? -BIG : BIG;
  if (!finite(b)) return up ? (neg ? 0 : 1) : (neg ? -1 : 0);
  i64 q = a / b;
  if (a % b != 0) {
    if (up && !neg) q++;
    if (!up && neg) q--;
  }
  return q;
}

/* floor(a/b) and a*b on magnitudes (a, b >= 0; b >= 1 for the division), BIG standing for any
 * infinite magnitude. */
i64 mag_div(i64 a, i64 b)
{
  if (a >= BIG) return BIG;
  return b >= BIG ? 0 : a / b;
}
i64 mag_mul(i64 a, i64 b)
{
  if (a == 0 || b == 0) return 0;
  return a >= BIG || b >= BIG ? BIG : a * b;
}

/* ---- signed parts and pieces ---- */

struct part {
  int sign; /* -1, 1, or 0 for the value 0 */
  i64 lo, hi;
};

/* The negative part, 0 (when with_zero) and the positive part of the bounds lo..hi. */
int parts_of(i64 lo, i64 hi, bool with_zero, part out[3])
{
  int n = 0;
  if (lo < 0) out[n++] = {-1, hi < 0 ? -hi : 1, -lo};
  if (with_zero && lo <= 0 && hi >= 0) out[n++] = {0, 0, 0};
  if (hi > 0) out[n++] = {1, lo > 0 ? lo : 1, hi};
  return n;
}
int parts_of(const dvar *d, bool with_zero, part out[3])
{
  return parts_of(low(d), high(d), with_zero, out);
}

struct pieces {
  i64 nlo = BIG, nhi = -BIG; /* negative values */
  bool zero = false;
  i64 plo = BIG, phi = -BIG; /* positive values */

  /* The values of magnitude lo..hi with the sign s (both signs for 0). */
  void add(int s, i64 lo, i64 hi)
  {
    if (lo > hi) return;
    if (lo == 0) {
      zero = true;
      if (++lo > hi) return;
    }
    if (s >= 0) plo = std::min(plo, lo), phi = std::max(phi, hi);
    if (s <= 0) nlo = std::min(nlo, -hi), nhi = std::max(nhi, -lo);
  }
};

/* Restricts d to the pieces: -1 when it becomes empty. A piece wholly beyond the small-integer
 * range holds no domain value; when nothing else remains the overflow flag is raised. */
int restrict_pieces(ORVALIS_API_STRUCT *api, worker *w, dvar *d, pieces p)
{
  bool beyond = false;
  if (p.nlo <= p.nhi && p.nhi < QX_SMALL_MIN) p.nlo = BIG, p.nhi = -BIG, beyond = true;
  if (p.plo <= p.phi && p.plo > QX_SMALL_MAX) p.plo = BIG, p.phi = -BIG, beyond = true;
  i64 seg[3][2];
  int n = 0;
  if (p.nlo <= p.nhi) seg[n][0] = p.nlo, seg[n++][1] = p.nhi;
  if (p.zero) seg[n][0] = 0, seg[n++][1] = 0;
  if (p.plo <= p.phi) seg[n][0] = p.plo, seg[n++][1] = p.phi;
  if (n == 0) {
    if (beyond) fd_state(api)->fd_overflow = 1;
    return -1;
  }
  int mask = restrict_to(api, d, seg[0][0], seg[n - 1][1]);
  for (int k = 1; k < n && mask >= 0; k++)
    if (seg[k - 1][1] + 1 < seg[k][0]) {
      int m =
          dvar_prune_interval_t(api, d, bound_of(seg[k - 1][1] + 1), bound_of(seg[k][0] - 1), w);
      mask = m < 0 ? -1 : mask | m;
    }
  return mask;
}

/* ---- the block ---- */

struct arith_data {
  void (*destructor)(void *block);
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* attribute, then variable, per variable */
  dvar *dvars;        /* one record per variable, after the header */
  int nrefs;
};

void arith_destructor(void *block)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* its instance may be gone */
  auto *b = (arith_data *)block;
  if (b->refbase) QX_free_globrefs(b->refbase);
  QX_free(b);
}

/* A state term with n (variable, attribute) pairs, then Handle and Stamp. 1 good, 0 a value
 * with no domain (no model), -1 not a state term. The pairs are checked before the block that
 * keeps them is made. */
int check_state(TAGGED s, int n)
{
  if (!IsStr(s) || IsBox(s) || (int)Arity(StrFunctor(s)) < 2 * n + 2) return -1;
  TAGGED handle = deref(StrArg(s, (int)Arity(StrFunctor(s)) - 1));
  if (!fd_valid_handle(handle)) return -1;
  if (!IsVar(handle)) return 1;
  for (int k = 0; k < n; k++) {
    TAGGED x = deref(StrArg(s, 2 * k + 1)), attr = deref(StrArg(s, 2 * k + 2));
    if (!(IsVar(x) || IsSmall(x)) || !fd_well_formed_attribute(attr)) return 0;
    if (IsSmall(x) && !fd_member(x, deref(StrArg(fd_attr_dom(attr), 1)))) return 0;
  }
  return 1;
}

arith_data *make_block(ORVALIS_API_STRUCT *api, worker *w, TAGGED handle, int n)
{
  auto *b = (arith_data *)fd_perm_alloc(api, w, sizeof(arith_data) + n * sizeof(dvar), handle);
  b->destructor = arith_destructor;
  b->qxenv = api;
  b->refbase = nullptr;
  b->dvars = (dvar *)(b + 1);
  b->nrefs = 2 * n;
  b->refbase = QX_alloc_globrefs(2 * n);
  if (!b->refbase) qx_memory_fault("global references", QX_SPACE_FOREIGN);
  TAGGED s = deref(w->term[0]);
  for (int k = 0; k < n; k++) {
    b->refbase[2 * k] = {deref(StrArg(s, 2 * k + 2)), 0};
    b->refbase[2 * k + 1] = {deref(StrArg(s, 2 * k + 1)), 0};
  }
  return b;
}

typedef int (*arith_step)(ORVALIS_API_STRUCT *api, worker *w, dvar *v);

/* The protocol around a propagator over n variables: 1 entailed, 0 suspended, -1 failed. */
void arith_run(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state, QX_term_ref actions,
               int n, arith_step step)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  int outcome = check_state(deref(w->term[0]), n);
  if (outcome < 0) {
    /* the culprit is the state's name: its arguments reach the attributes, whose suspensions
     * reach this state again */
    TAGGED s = deref(w->term[0]);
    fd_type_error(api, "state", IsStr(s) ? FunctorName(StrFunctor(s)) : s, 0);
    fd_native_fail(api);
    return;
  }
  if (outcome == 0) {
    outcome = -1;
  } else {
    TAGGED handle;
    int is_new;
    fd_static_output_state(w, &handle, &is_new);
    arith_data *b =
        IsVar(handle) ? make_block(api, w, handle, n) : (arith_data *)fd_perm_data(deref(handle));
    dvar *v = b->dvars;
    for (int k = 0; k < n; k++)
      dvar_init(&v[k], &b->refbase[2 * k].term, &b->refbase[2 * k + 1].term);
    outcome = step(api, w, v);
    if (outcome >= 0) {
      for (int k = 0; k < n; k++) dvar_pruning_done(api, w, &v[k]);
      for (int k = 0; k < n; k++) dvar_export_do(api, w, &v[k]);
    }
    if (outcome == 1) fd_perm_free(api, w);
  }
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, outcome);
}

/* ---- X*Y = Z ---- */

/* Whether some v in vl..vh gives x*v in zl..zh (x nonzero, zl..zh finite). */
bool is_supported_divider(i64 x, i64 zl, i64 zh, i64 vl, i64 vh)
{
  i64 lo = x > 0 ? divide(zl, x, true) : divide(zh, x, true);
  i64 hi = x > 0 ? divide(zh, x, false) : divide(zl, x, false);
  return lo <= hi && lo <= vh && hi >= vl;
}

/* Restricts U to the hull of its values u for which some v within V's bounds gives u*v within Z's
 * bounds: -1 when it becomes empty. */
int product_inverse(ORVALIS_API_STRUCT *api, dvar *z, dvar *v, dvar *u)
{
  i64 zl = low(z), zh = high(z), vl = low(v), vh = high(v);
  bool z_has_0 = zl <= 0 && zh >= 0;
  i64 lo = -BIG, hi = BIG;
  if (vl > 0 || vh < 0) {
    const i64 zs[2] = {zl, zh}, vs[2] = {vl, vh};
    lo = BIG, hi = -BIG;
    for (i64 a : zs)
      for (i64 b : vs)
        lo = std::min(lo, divide(a, b, true)), hi = std::max(hi, divide(a, b, false));
  } else if (z_has_0) {
    return 0;
  } else if (vl == 0 && vh == 0) {
    return -1;
  } else if (finite(zl) && finite(zh)) {
    hi = std::max(-zl, zh);
    lo = -hi;
  }
  int mask = restrict_to(api, u, lo, hi);
  if (mask < 0 || z_has_0 || !finite(zl) || !finite(zh)) return mask;
  TAGGED a = u->min, b = u->max;
  while (IsSmall(a) && (a == MakeSmall(0) || !is_supported_divider(GetSmall(a), zl, zh, vl, vh)))
    a = dvar_successor_t(u, a);
  if (a == atom_sup) return -1;
  while (IsSmall(b) && (b == MakeSmall(0) || !is_supported_divider(GetSmall(b), zl, zh, vl, vh)))
    b = dvar_predecessor_t(u, b);
  if (b == atom_inf) return -1;
  int m = dvar_fix_interval_t(u, a, b);
  return m < 0 ? -1 : mask | m;
}

int product_step(ORVALIS_API_STRUCT *api, worker *, dvar *v)
{
  dvar *x = &v[0], *y = &v[1], *z = &v[2];
  const i64 xs[2] = {low(x), high(x)}, ys[2] = {low(y), high(y)};
  i64 lo = BIG, hi = -BIG;
  for (i64 a : xs)
    for (i64 b : ys) lo = std::min(lo, mul(a, b)), hi = std::max(hi, mul(a, b));
  if (restrict_to(api, z, lo, hi) < 0) return -1;
  if (product_inverse(api, z, y, x) < 0 || product_inverse(api, z, x, y) < 0) return -1;
  if (fixed(x) && fixed(y)) return fixed(z) ? 1 : 0;
  return 0;
}

/* ---- X*X = Y ---- */

/* m is a small integer: its root, converted through 32 bits (no 64-bit float conversion). */
i64 floor_sqrt(i64 m)
{
  i64 r = (int32_t)std::sqrt((double)(int32_t)m);
  while (r * r > m) r--;
  while ((r + 1) * (r + 1) <= m) r++;
  return r;
}

/* Whether the view has a value in lo..hi. */
bool has_value_in(const dvar *d, i64 lo, i64 hi)
{
  if (lo > hi || lo > high(d) || hi < low(d)) return false;
  TAGGED first = lo <= low(d) ? d->min : dvar_successor_t(d, bound_of(lo - 1));
  return first != atom_sup && (!IsSmall(first) || GetSmall(first) <= hi);
}

int square_step(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  dvar *x = &v[0], *y = &v[1];
  /* On two distinct single intervals one pass reaches the square's own fixpoint: the roots of Y's
   * new bounds are X's new bounds, whose squares are Y's. */
  bool idempotent = (x->flags & DV_INTERVAL) && (y->flags & DV_INTERVAL) && !dvar_is_alias(x, y);
  /* Y is a square: its lower bound is at least 0 before the roots are taken from it. */
  if (low(y) < 0 && restrict_to(api, y, 0, BIG) < 0) return -1;
  i64 m = low(y), big_m = high(y);
  i64 r = floor_sqrt(m);
  if (r * r < m) r++;
  i64 s = finite(big_m) ? floor_sqrt(big_m) : BIG;
  bool x_fixed = fixed(x) && (x->flags & DV_INTERVAL);
  i64 xl = low(x), xh = high(x), lo, hi;
  if (xh < 0)
    lo = mul(xh, xh), hi = mul(xl, xl);
  else if (xl >= 0)
    lo = mul(xl, xl), hi = mul(xh, xh);
  else
    lo = 0, hi = std::max(mul(xl, xl), mul(xh, xh));
  lo = std::max(lo, r * r);
  if (finite(s)) hi = std::min(hi, s * s);
  if (restrict_to(api, y, lo, hi) < 0) return -1;
  i64 neg_s = finite(s) ? -s : -BIG;
  if (!has_value_in(x, neg_s, -r))
    lo = r, hi = s;
  else if (has_value_in(x, r, s))
    lo = neg_s, hi = s;
  else
    lo = neg_s, hi = -r;
  if (restrict_to(api, x, lo, hi) < 0) return -1;
  bool unchanged = !(x->flags & (DV_MIN_RAISED | DV_MAX_LOWERED | DV_SET_TOLD));
  if (!idempotent) return x_fixed && unchanged ? 1 : 0;
  /* a rerun would find X fixed and unchanged exactly when it is fixed now */
  fd_global_at_fixpoint(api, w);
  return fixed(x) ? 1 : 0;
}

/* ---- the division constraints ---- */

int32_t truncated_rem(int32_t x, int32_t y) { return y == -1 ? 0 : x % y; }

/* Y loses 0; then the relation's own step; then entailment. */
int division_frame(ORVALIS_API_STRUCT *api, worker *w, dvar *v,
                   int (*step)(ORVALIS_API_STRUCT *, worker *, dvar *),
                   bool (*holds)(int32_t, int32_t, int32_t))
{
  if (dvar_prune_interval_t(api, &v[1], MakeSmall(0), MakeSmall(0), w) < 0) return -1;
  if (step(api, w, v) < 0) return -1;
  if (!fixed(&v[0]) || !fixed(&v[1]) || !fixed(&v[2])) return 0;
  return holds(GetSmall(v[0].min), GetSmall(v[1].min), GetSmall(v[2].min)) ? 1 : -1;
}

int quotient_step(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  dvar *x = &v[0], *y = &v[1], *z = &v[2];
  part px[3], py[3], pz[3];
  int nx = parts_of(x, true, px), ny = parts_of(y, false, py);
  /* Z: |Z| = floor(|X|/|Y|), of the sign of X*Y */
  pieces p;
  for (int i = 0; i < nx; i++)
    for (int j = 0; j < ny; j++)
      p.add(px[i].sign * py[j].sign, mag_div(px[i].lo, py[j].hi), mag_div(px[i].hi, py[j].lo));
  if (restrict_pieces(api, w, z, p) < 0) return -1;
  /* Y: |Z|*|Y| <= |X| < (|Z|+1)*|Y|; any sign and |Y| > |X| for Z = 0 */
  int nz = parts_of(z, true, pz);
  p = pieces();
  for (int i = 0; i < nx; i++)
    for (int k = 0; k < nz; k++) {
      if (pz[k].sign == 0)
        p.add(0, px[i].lo + 1, BIG);
      else if (px[i].sign != 0)
        p.add(px[i].sign * pz[k].sign, mag_div(px[i].lo, pz[k].hi + 1) + 1,
              mag_div(px[i].hi, pz[k].lo));
    }
  if (restrict_pieces(api, w, y, p) < 0) return -1;
  /* X: |Z|*|Y| .. (|Z|+1)*|Y| - 1; for Z = 0, |X| < |Y| with either sign */
  ny = parts_of(y, false, py);
  p = pieces();
  for (int j = 0; j < ny; j++)
    for (int k = 0; k < nz; k++) {
      if (pz[k].sign == 0) {
        p.add(0, 0, py[j].hi >= BIG ? BIG : py[j].hi - 1);
      } else {
        i64 hi = mag_mul(pz[k].hi + 1, py[j].hi);
        p.add(py[j].sign * pz[k].sign, pz[k].lo * py[j].lo, hi >= BIG ? BIG : hi - 1);
      }
    }
  return restrict_pieces(api, w, x, p) < 0 ? -1 : 0;
}

bool quotient_holds(int32_t x, int32_t y, int32_t z) { return x / y == z; }
bool modulo_holds(int32_t x, int32_t y, int32_t z) { return fast_modi(x, y) == z; }
bool remainder_holds(int32_t x, int32_t y, int32_t z) { return truncated_rem(x, y) == z; }

/* (a mod m) in 0..m-1 for m > 0. */
i64 nonneg_mod(i64 a, i64 m) { return ((a % m) + m) % m; }

/* Y fixed to y: Z within the residues that X's bounds allow, then X's finite bounds moved to
 * values whose residue is within Z's bounds. residue(x) is periodic in x with period |y| over X's
 * bounds (for the remainder, X of one sign). */
int residue_step(ORVALIS_API_STRUCT *api, worker *w, dvar *x, dvar *z, i64 zl, i64 zh, i64 m,
                 bool periodic, i64 (*residue)(i64, i64), i64 y)
{
  if (restrict_to(api, z, zl, zh) < 0) return -1;
  i64 xl = low(x), xh = high(x);
  if (!periodic) return 0;
  if (finite(xl) && finite(xh) && xh - xl + 1 < m) {
    i64 a = residue(xl, y), b = residue(xh, y);
    int mask = a <= b ? restrict_to(api, z, a, b)
                      : dvar_prune_interval_t(api, z, bound_of(b + 1), bound_of(a - 1), w);
    if (mask < 0) return -1;
  }
  zl = low(z), zh = high(z);
  if (finite(xl)) {
    i64 r = residue(xl, y);
    if ((r < zl || r > zh) && dvar_fix_min_safe(api, x, (int32_t)(xl + nonneg_mod(zl - r, m))) < 0)
      return -1;
  }
  if (finite(xh)) {
    i64 r = residue(xh, y);
    if ((r < zl || r > zh) && dvar_fix_max_safe(api, x, (int32_t)(xh - nonneg_mod(r - zh, m))) < 0)
      return -1;
  }
  return 0;
}

i64 floored_residue(i64 x, i64 y) { return fast_modi((int32_t)x, (int32_t)y); }
i64 truncated_residue(i64 x, i64 y) { return x % (y < 0 ? -y : y); }

/* mod (floored) or rem (truncated) with Y not fixed: Z by signed parts, then Y and X from the
 * sign and magnitude of Z. */
int remainder_general(ORVALIS_API_STRUCT *api, worker *w, dvar *v, bool floored)
{
  dvar *x = &v[0], *y = &v[1], *z = &v[2];
  part px[3], py[3], pz[3];
  int nx = parts_of(x, true, px), ny = parts_of(y, false, py);
  pieces p;
  for (int i = 0; i < nx; i++)
    for (int j = 0; j < ny; j++) {
      if (px[i].sign == 0) {
        p.add(0, 0, 0);
        continue;
      }
      const part &a = px[i], &b = py[j];
      bool below = a.hi < b.lo; /* every |x| below every |y|: the remainder is x */
      i64 rlo = below ? a.lo : 0, rhi = below ? a.hi : std::min(a.hi, b.hi >= BIG ? BIG : b.hi - 1);
      if (!floored || a.sign == b.sign)
        p.add(floored ? b.sign : a.sign, rlo, rhi);
      else if (below) /* y + x, of the sign of y */
        p.add(b.sign, b.lo - a.hi, b.hi >= BIG ? BIG : b.hi - a.lo);
      else
        p.add(b.sign, 0, b.hi >= BIG ? BIG : b.hi - 1);
    }
  if (restrict_pieces(api, w, z, p) < 0) return -1;
  /* |Y| > |Z|; for mod, Y has the sign of a nonzero Z */
  int nz = parts_of(z, true, pz);
  p = pieces();
  for (int k = 0; k < nz; k++) p.add(floored ? pz[k].sign : 0, pz[k].lo + 1, BIG);
  if (restrict_pieces(api, w, y, p) < 0) return -1;
  p = pieces();
  if (floored) {
    /* X is 0 only for Z = 0; Z of the sign opposite to Y's has no solution */
    i64 zl = low(z), zh = high(z), yl = low(y), yh = high(y);
    if ((zl > 0 && yh < 0) || (zh < 0 && yl > 0)) return -1;
    p.add(0, zl <= 0 && zh >= 0 ? 0 : 1, BIG);
  } else {
    /* X has the sign of a nonzero Z and |X| >= |Z| */
    for (int k = 0; k < nz; k++) p.add(pz[k].sign, pz[k].lo, BIG);
  }
  return restrict_pieces(api, w, x, p) < 0 ? -1 : 0;
}

int modulo_step(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  if (!fixed(&v[1])) return remainder_general(api, w, v, true);
  i64 y = GetSmall(v[1].min), m = y < 0 ? -y : y;
  return residue_step(api, w, &v[0], &v[2], y > 0 ? 0 : y + 1, y > 0 ? y - 1 : 0, m, true,
                      floored_residue, y);
}

int remainder_step(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  if (!fixed(&v[1])) return remainder_general(api, w, v, false);
  i64 y = GetSmall(v[1].min), m = y < 0 ? -y : y, xl = low(&v[0]), xh = high(&v[0]);
  if (xl >= 0) return residue_step(api, w, &v[0], &v[2], 0, m - 1, m, true, truncated_residue, y);
  if (xh <= 0) return residue_step(api, w, &v[0], &v[2], 1 - m, 0, m, true, truncated_residue, y);
  return residue_step(api, w, &v[0], &v[2], std::max(xl, 1 - m), std::min(xh, m - 1), m, false,
                      truncated_residue, y);
}

int quotient_run(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  return division_frame(api, w, v, quotient_step, quotient_holds);
}
int modulo_run(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  return division_frame(api, w, v, modulo_step, modulo_holds);
}
int remainder_run(ORVALIS_API_STRUCT *api, worker *w, dvar *v)
{
  return division_frame(api, w, v, remainder_step, remainder_holds);
}

}  // namespace

/* The protocol's entries: one per relation, each the frame around its step. */
#define ARITH_NATIVE(name, n, step)                                                                \
  void name(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state, QX_term_ref actions)   \
  {                                                                                                \
    arith_run(api, state0, state, actions, n, step);                                               \
  }

ARITH_NATIVE(prolog_fd_product_qxenv_multi_qx, 3, product_step)
ARITH_NATIVE(prolog_fd_square_qxenv_multi_qx, 2, square_step)
ARITH_NATIVE(prolog_fd_quotient_qxenv_multi_qx, 3, quotient_run)
ARITH_NATIVE(prolog_fd_modulo_qxenv_multi_qx, 3, modulo_run)
ARITH_NATIVE(prolog_fd_remainder_qxenv_multi_qx, 3, remainder_run)

#undef ARITH_NATIVE
