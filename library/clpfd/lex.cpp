/* lex_chain/2: a chain of tuples, each lexicographically at most (strictly below, with flag 1)
 * the next; flag 4 adds that each tuple's elements strictly increase.
 *
 * Tuples in a run of at least two undecided pairs get a lower bound vector (the smallest vector
 * of their domains at or above the previous tuple's, a forward pass) and an upper bound vector (a
 * backward pass), and are pruned to lie between them; a pair that stands alone is handled
 * position by position (pair mode), posting x <= y + c for its first open position when the
 * rest decides c. A decided pair binds its element of Pairs to 1, restored by backtracking.
 *
 * State: lex_chain(Tuples, NTuples, NVars, Flags, Among, Pairs, Handle, Stamp); Tuples becomes []
 * once the block holds the variables. Variables need finite bounds. Among is among(Least, Most,
 * Values), read at every call: with flag 2, between Least and Most positions of each tuple take
 * a value in Values. That condition is propagated by its counts alone: the positions surely in
 * Values and surely out of it bound the others, and the bound vectors ignore it (they are then
 * wider, never wrong).
 */
#include <cstring>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_sets.h"

namespace {

constexpr int STRICT = 1, AMONG = 2, INCREASING = 4;
enum cmpenum { cmp_l = 1, cmp_e = 2, cmp_le = 3, cmp_g = 4, cmp_ge = 5, cmp_lge = 6 };
constexpr int32_t NO_SUCC = 2147483647, NO_PRED = -2147483647;

struct lexc_data;
struct lexc_frame {
  daemon_frame frame;
  lexc_data *block;
};

struct lexc_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int32_t stamp;
  int flags, ntuples, nvars;
  dvar *xvar;
  int32_t *lb, *ub, *min_l, *max_l;
  int *state, *limit;
  uint8_t *need, *fresh;
  int least, most; /* among, this call */
  TAGGED values;
  lexc_frame *frames;
};

void lexc_destructor(void *block) { fd_entry_destroy(block, ((lexc_data *)block)->refbase); }

inline int32_t vmin(const dvar *d) { return GetSmall(d->min); }
inline int32_t vmax(const dvar *d) { return GetSmall(d->max); }
inline dvar *X(lexc_data *b, int i, int j) { return &b->xvar[i * b->nvars + j]; }
inline int32_t *row(int32_t *v, const lexc_data *b, int i) { return v + (size_t)i * b->nvars; }
inline bool undecided(const lexc_data *b, int k) { return k >= 0 && k < b->ntuples - 1 && !b->state[k]; }

void refresh(lexc_data *b, int i)
{
  for (int j = 0; j < b->nvars; j++) {
    int k = i * b->nvars + j;
    dvar_init(&b->xvar[k], &b->refbase[2 * k].term, &b->refbase[2 * k + 1].term);
  }
  b->fresh[i] = 1;
}

/* ---- pair mode ---- */

int dvar_cmp(const dvar *x, const dvar *y)
{
  if ((x->flags & DV_FIXED) && (y->flags & DV_FIXED))
    return vmin(x) < vmin(y) ? cmp_l : vmin(x) == vmin(y) ? cmp_e : cmp_g;
  if (dvar_is_alias(x, y)) return cmp_e;
  int64_t dmax = (int64_t)vmax(x) - vmin(y), dmin = (int64_t)vmin(x) - vmax(y);
  if (dmax < 0) return cmp_l;
  if (dmax == 0) return dmin < 0 ? cmp_le : cmp_e;
  return dmin > 0 ? cmp_g : dmin == 0 ? cmp_ge : cmp_lge;
}

/* x <= y + c on the bounds: -1 when a domain empties. */
int lex_chain_leqc(dvar *x, dvar *y, int32_t c)
{
  if (dvar_fix_interval_t(y, MakeSmall(vmin(x) - c), atom_sup) < 0) return -1;
  return dvar_fix_interval_t(x, atom_inf, MakeSmall(vmax(y) + c)) < 0 ? -1 : 0;
}

/* The offset c of x_j <= y_j + c that the positions after j decide, or 2 when none does. */
int32_t pair_offset(lexc_data *b, int i, int j)
{
  bool strict = b->flags & STRICT;
  int k = j + 1;
  for (; k < b->nvars; k++) {
    int c = dvar_cmp(X(b, i, k), X(b, i + 1, k));
    if (c == cmp_l) return 0;
    if (c == cmp_g) return -1;
    if (c == cmp_e) continue;
    int follow = c; /* 5 continues through 5 and 2, 3 through 3 and 2 */
    if (c != cmp_ge && c != cmp_le) return 2;
    for (k++; k < b->nvars; k++) {
      c = dvar_cmp(X(b, i, k), X(b, i + 1, k));
      if (c == cmp_e || c == follow) continue;
      if (follow == cmp_ge) return c == cmp_g ? -1 : 2;
      return c == cmp_l ? 0 : 2;
    }
    if (follow == cmp_ge) return strict ? -1 : 2;
    return strict ? 2 : 0;
  }
  return strict ? -1 : 0;
}

/* Pair i alone: -1 failure, else 0 (state[i] set when decided). */
int lex_chain_pair(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int j = 0;
  for (; j < b->nvars; j++) {
    dvar *x = X(b, i, j), *y = X(b, i + 1, j);
    int c = dvar_cmp(x, y);
    if (c == cmp_l) {
      b->state[i] = 1;
      return 0;
    }
    if (c == cmp_e) continue;
    if (c == cmp_g) return -1;
    if (c == cmp_ge || c == cmp_lge)
      if (lex_chain_leqc(x, y, 0) < 0) return -1;
    if (c != cmp_ge) break;
  }
  if (j == b->nvars) {
    if (b->flags & STRICT) return -1;
    b->state[i] = 1;
    return 0;
  }
  int32_t c = pair_offset(b, i, j);
  if (c == 2) return 0;
  dvar *x = X(b, i, j), *y = X(b, i + 1, j);
  if (lex_chain_leqc(x, y, c) < 0) return -1;
  if (vmax(x) > vmin(y) + c) dvar_export_leqc(api, w, x, y, c);
  b->state[i] = 1;
  return 0;
}

/* ---- bound vectors ---- */

/* The smallest increasing vector within the tuple's domains, ignoring the order (min_l), and the
 * largest (max_l). */
void increasing_hulls(lexc_data *b, int i)
{
  int n = b->nvars;
  b->min_l[0] = vmin(X(b, i, 0));
  for (int k = 1; k < n; k++) {
    int32_t m = vmin(X(b, i, k));
    b->min_l[k] = m > b->min_l[k - 1] ? m : dvar_successor_l(X(b, i, k), b->min_l[k - 1]);
  }
  b->max_l[n - 1] = vmax(X(b, i, n - 1));
  for (int k = n - 2; k >= 0; k--) {
    int32_t m = vmax(X(b, i, k));
    b->max_l[k] = m < b->max_l[k + 1] ? m : dvar_predecessor_l(X(b, i, k), b->max_l[k + 1]);
  }
}

/* Moves a bound vector of tuple i (upper: down; lower: up) to the nearest increasing vector:
 * false when there is none. */
bool repair_increasing(lexc_data *b, int i, bool upper, int32_t *v)
{
  int n = b->nvars;
  increasing_hulls(b, i);
  const int32_t *fill = upper ? b->max_l : b->min_l;
  auto move = [&](int j) {
    v[j] = upper ? dvar_predecessor_l(X(b, i, j), v[j]) : dvar_successor_l(X(b, i, j), v[j]);
    for (int k = j + 1; k < n; k++) v[k] = fill[k];
  };
  for (int j = 0; j < n;) {
    if (j == 0) {
      if (upper ? v[0] < b->min_l[0] : v[0] > b->max_l[0]) return false;
      j = 1;
    } else if (upper) {
      if (v[j] >= b->min_l[j] && v[j] > v[j - 1])
        j++;
      else
        move(--j);
    } else {
      if (v[j] <= v[j - 1]) {
        v[j] = dvar_successor_l(X(b, i, j), v[j - 1]);
        for (int k = j + 1; k < n; k++) v[k] = fill[k];
      }
      if (v[j] > b->max_l[j])
        move(--j);
      else
        j++;
    }
  }
  return true;
}

/* The largest (upper) or smallest vector of tuple i at most (at least) `from`, strictly so under
 * flag 1, then repaired: false when there is none. */
bool adjust_vector(lexc_data *b, int i, bool upper, const int32_t *from, int32_t *v)
{
  int n = b->nvars, q = -1, j = 0;
  for (; j < n; j++) {
    const dvar *d = X(b, i, j);
    if (upper ? vmin(d) < from[j] : vmax(d) > from[j]) q = j;
    if (!dvar_contains_value_t(d, MakeSmall(from[j]))) break;
  }
  if (j == n && !(b->flags & STRICT)) q = n;
  if (q < 0) return false;
  for (int p = 0; p < n; p++) {
    const dvar *d = X(b, i, p);
    if (p < q)
      v[p] = from[p];
    else if (p == q)
      v[p] = upper ? dvar_predecessor_l(d, from[p]) : dvar_successor_l(d, from[p]);
    else
      v[p] = upper ? vmax(d) : vmin(d);
  }
  return !(b->flags & INCREASING) || repair_increasing(b, i, upper, v);
}

/* The tuple's own ends as a vector, repaired. */
bool own_vector(lexc_data *b, int i, bool upper, int32_t *v)
{
  for (int p = 0; p < b->nvars; p++) v[p] = upper ? vmax(X(b, i, p)) : vmin(X(b, i, p));
  return !(b->flags & INCREASING) || repair_increasing(b, i, upper, v);
}

/* ---- pruning a tuple between its vectors ---- */

int prune_between(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int n = b->nvars, q = 0;
  const int32_t *lb = row(b->lb, b, i), *ub = row(b->ub, b, i);
  while (q < n && lb[q] == ub[q]) q++;
  for (int p = 0; p < q; p++)
    if (dvar_fix_interval_t(X(b, i, p), MakeSmall(lb[p]), MakeSmall(lb[p])) < 0) return -1;
  int limit = n;
  if (q < n) {
    dvar *d = X(b, i, q);
    if (dvar_fix_interval_t(d, MakeSmall(lb[q]), MakeSmall(ub[q])) < 0) return -1;
    limit = q;
    if (dvar_successor_l(d, lb[q]) >= ub[q])
      for (limit = q + 1; limit < n && vmin(X(b, i, limit)) == ub[limit] &&
                          vmax(X(b, i, limit)) == lb[limit];)
        limit++;
    for (int p = q; p < limit; p++)
      if (dvar_fix_set(api, X(b, i, p), fd_pair(api, w, MakeSmall(lb[p]), MakeSmall(ub[p])), w) < 0)
        return -1;
    if (limit < n && ub[limit] + 1 <= lb[limit] - 1 &&
        dvar_prune_interval_t(api, X(b, i, limit), MakeSmall(ub[limit] + 1),
                              MakeSmall(lb[limit] - 1), w) < 0)
      return -1;
  }
  b->limit[i] = limit;
  return 0;
}

/* The increasing condition on tuple i: -1 failure, else whether a domain changed. */
int propagate_increasing(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int n = b->nvars, changed = 0, r;
  for (int p = n - 2; p >= 0; p--) {
    if ((r = dvar_fix_interval_t(X(b, i, p), atom_inf, MakeSmall(vmax(X(b, i, p + 1)) - 1))) < 0) return -1;
    changed |= r;
  }
  for (int p = 1; p < n; p++) {
    if ((r = dvar_fix_interval_t(X(b, i, p), MakeSmall(vmin(X(b, i, p - 1)) + 1), atom_sup)) < 0) return -1;
    changed |= r;
  }
  std::memcpy(b->min_l, row(b->lb, b, i), sizeof(int32_t) * (size_t)n);
  for (int p = 0; p + 1 < n; p++) {
    if (X(b, i, p)->flags & DV_FIXED) continue;
    int32_t t = 0;
    for (int s = 0; s < n; s++) {
      const dvar *d = X(b, i, s);
      t = s < p ? vmin(d) : s == p ? dvar_successor_l(d, vmin(d)) : dvar_successor_l(d, t);
      if (t < b->min_l[s]) b->min_l[s] = t;
    }
  }
  for (int p = n - 1; p >= 1; p--) {
    if ((r = dvar_fix_interval_t(X(b, i, p), MakeSmall(b->min_l[p]), atom_sup)) < 0) return -1;
    changed |= r;
  }
  return changed != 0;
}

/* The among condition on tuple i by its counts: -1 failure, else whether a domain changed. */
int propagate_among(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int n = b->nvars, in = 0, out = 0;
  for (int p = 0; p < n; p++) {
    int c = dvar_compare_set(api, X(b, i, p), b->values, w);
    in += c == 1 || c == 3;
    out += c == 4;
  }
  if (in > b->most || n - out < b->least) return -1;
  bool force_out = in == b->most, force_in = n - out == b->least;
  if (!force_out && !force_in) return 0;
  int changed = 0;
  for (int p = 0; p < n; p++) {
    dvar *d = X(b, i, p);
    int c = dvar_compare_set(api, d, b->values, w);
    if (c == 1 || c == 3 || c == 4) continue;
    int r = force_out ? dvar_prune_set(api, d, b->values, w) : dvar_fix_set(api, d, b->values, w);
    if (r < 0) return -1;
    if (r > 0) dvar_pruning_done(api, w, d);
    changed |= r;
  }
  return changed != 0;
}

/* Whether tuple i meets the among condition for sure. */
bool surely_among(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int in = 0, out = 0;
  for (int p = 0; p < b->nvars; p++) {
    int c = dvar_compare_set(api, X(b, i, p), b->values, w);
    in += c == 1 || c == 3;
    out += c == 4;
  }
  return in >= b->least && b->most >= b->nvars - out;
}

/* ---- a call ---- */

/* Which tuples need bound vectors; the views of every tuple the call reads are refreshed. */
void plan(lexc_data *b)
{
  int nt = b->ntuples;
  bool all = b->flags & (AMONG | INCREASING);
  for (int i = 0; i < nt; i++) {
    b->need[i] = all || (undecided(b, i - 1) && undecided(b, i)) ||
                 (undecided(b, i) && undecided(b, i + 1)) ||
                 (undecided(b, i - 2) && undecided(b, i - 1));
    b->fresh[i] = 0;
  }
  for (int i = 0; i < nt; i++)
    if (b->need[i] || undecided(b, i) || undecided(b, i - 1)) refresh(b, i);
}

int bound_passes(lexc_data *b)
{
  int nt = b->ntuples;
  for (int i = nt - 1; i >= 0; i--) {
    if (!b->need[i]) continue;
    bool ok = b->state[i] ? own_vector(b, i, true, row(b->ub, b, i))
                          : adjust_vector(b, i, true, row(b->ub, b, i + 1), row(b->ub, b, i));
    if (!ok) return -1;
  }
  for (int i = 0; i < nt; i++) {
    if (!b->need[i]) continue;
    bool ok = i == 0 || b->state[i - 1]
                  ? own_vector(b, i, false, row(b->lb, b, i))
                  : adjust_vector(b, i, false, row(b->lb, b, i - 1), row(b->lb, b, i));
    if (!ok) return -1;
  }
  return 0;
}

/* -1 failure, 1 when a tuple's conditions narrowed something (the vectors are then recomputed),
 * else 0. */
int prune_tuples(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b)
{
  int again = 0;
  for (int i = 0; i < b->ntuples; i++) {
    if (b->need[i]) {
      if (prune_between(api, w, b, i) < 0) return -1;
      /* the conditions on the tuple, alternating while one of them narrows */
      for (int changed = 1; changed > 0;) {
        int a = b->flags & AMONG ? propagate_among(api, w, b, i) : 0;
        int c = a >= 0 && (b->flags & INCREASING) ? propagate_increasing(api, w, b, i) : 0;
        if (a < 0 || c < 0) return -1;
        changed = (a > 0 && (b->flags & INCREASING)) || (c > 0 && (b->flags & AMONG));
        again |= a > 0 || c > 0;
      }
      for (int j = 0; j < b->nvars; j++) dvar_pruning_done(api, w, X(b, i, j));
    } else if (undecided(b, i) && lex_chain_pair(api, w, b, i) < 0) {
      return -1;
    }
  }
  return again;
}

/* Whether pair i is decided on the current bounds. */
bool pair_entailed(lexc_data *b, int i)
{
  if (b->state[i]) return true;
  for (int j = 0; j < b->nvars; j++) {
    int32_t hi = vmax(X(b, i, j)), lo = vmin(X(b, i + 1, j));
    if (hi < lo) return true;
    if (hi > lo) return false;
  }
  return !(b->flags & STRICT);
}

/* Whether tuple i increases for sure. */
bool surely_increasing(lexc_data *b, int i)
{
  for (int j = 0; j + 1 < b->nvars; j++)
    if (vmax(X(b, i, j)) >= vmin(X(b, i, j + 1))) return false;
  return true;
}

int lexc_run(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b)
{
  int nt = b->ntuples, k = 0;
  for (TAGGED l = deref(StrArg(deref(w->term[0]), 6)); k < nt - 1; l = deref(LstTail(l)), k++)
    b->state[k] = !IsVar(deref(LstHead(l)));
  b->state[nt - 1] = 1;
  if (b->flags & AMONG) {
    TAGGED among = deref(StrArg(deref(w->term[0]), 5));
    b->least = GetSmall(deref(StrArg(among, 1)));
    b->most = GetSmall(deref(StrArg(among, 2)));
    b->values = fd_localize(api, w, deref(StrArg(among, 3)));
  }
  plan(b);
  for (int r = 1; r > 0;)
    if (bound_passes(b) < 0 || (r = prune_tuples(api, w, b)) < 0) return -1;
  bool open = false, sure = true;
  for (int i = 0; i < nt; i++)
    if (b->fresh[i]) {
      if (i + 1 < nt && !pair_entailed(b, i)) open = true;
      if (b->flags & INCREASING && !surely_increasing(b, i)) sure = false;
      if (b->flags & AMONG && !surely_among(api, w, b, i)) sure = false;
    }
  /* every set into temporary storage before the first export may collect */
  for (int pass = 0; pass < 2; pass++)
    for (int i = 0; i < nt * b->nvars; i++)
      if (b->fresh[i / b->nvars] && (b->xvar[i].flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)))
        pass == 0 ? dvar_pruning_done(api, w, &b->xvar[i]) : dvar_export_do(api, w, &b->xvar[i]);
  k = 0;
  for (TAGGED l = deref(StrArg(deref(w->term[0]), 6)); k < nt - 1; l = deref(LstTail(l)), k++) {
    TAGGED v = deref(LstHead(l));
    if (IsVar(v) && b->fresh[k] && b->fresh[k + 1] && pair_entailed(b, k)) fd_bind(api, w, v, MakeSmall(1));
  }
  if (open) return 0;
  return sure ? 1 : 0;
}

/* ---- daemon ---- */

int lexc_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (lexc_frame *)frame;
  lexc_data *b = f->block;
  if (fd_status(deref(global)) & FD_ST_QUEUED) return 0;
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  int k = (int)(f - b->frames), i = k / b->nvars, j = k % b->nvars;
  bool wake;
  if (GetSmall(deref(StrArg(state, 8))) != b->stamp) {
    wake = true;
  } else if (b->need[i]) {
    dvar d;
    dvar_init(&d, &b->refbase[2 * k].term, &b->refbase[2 * k + 1].term);
    wake = (b->flags & AMONG) || !dvar_contains_value_t(&d, MakeSmall(row(b->lb, b, i)[j])) ||
           !dvar_contains_value_t(&d, MakeSmall(row(b->ub, b, i)[j]));
    if (!wake && b->flags & INCREASING) {
      refresh(b, i);
      for (int p = 0; p + 1 < b->nvars && !wake; p++)
        wake = vmin(X(b, i, p)) >= vmin(X(b, i, p + 1)) || vmax(X(b, i, p)) >= vmax(X(b, i, p + 1));
    }
  } else {
    wake = (undecided(b, i) && !undecided(b, i + 1)) || (undecided(b, i - 1) && !undecided(b, i));
  }
  if (wake) fd_enqueue_global(api, w, global, 7);
  return wake;
}

/* ---- the first call ---- */

struct lexc_shape {
  int ntuples, nvars, flags;
};

/* among(Least, Most, Values) with 0 <= Least <= Most and Values an FD set. */
bool among_valid(TAGGED a)
{
  a = deref(a);
  int32_t count;
  bool refs;
  return IsStr(a) && !IsBox(a) && Arity(StrFunctor(a)) == 3 &&
         fd_small_in(StrArg(a, 1), 0, QX_SMALL_MAX) &&
         fd_small_in(StrArg(a, 2), GetSmall(deref(StrArg(a, 1))), QX_SMALL_MAX) &&
         fds_check(deref(StrArg(a, 3)), &count, &refs) && !refs;
}

/* The state's shape, or ntuples -1 after raising an error. */
lexc_shape check_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  lexc_shape sh{-1, 0, 0};
  auto fail = [&](const char *what, TAGGED culprit) {
    fd_domain_error(api, what, fd_error_culprit(culprit), 1);
    sh.ntuples = -1;
    return sh;
  };
  if (!fd_small_in(StrArg(s, 2), 0, 1 << 20) || !fd_small_in(StrArg(s, 3), 1, 1 << 20))
    return fail("lex_chain_counts", s);
  int nt = GetSmall(deref(StrArg(s, 2))), nv = GetSmall(deref(StrArg(s, 3)));
  if (!fd_small_in(StrArg(s, 4), 0, 7)) return fail("lex_chain_flags", StrArg(s, 4));
  if (GetSmall(deref(StrArg(s, 4))) & AMONG && !among_valid(StrArg(s, 5)))
    return fail("lex_chain_among", StrArg(s, 5));
  if (fd_proper_length(w, StrArg(s, 1)) != nt) return fail("lex_chain_tuples", StrArg(s, 1));
  if (fd_proper_length(w, StrArg(s, 6)) != (nt > 0 ? nt - 1 : 0)) return fail("lex_chain_pairs", StrArg(s, 6));
  QX_globref_ probe[2];
  for (TAGGED l = deref(StrArg(s, 1)); IsLst(l); l = deref(LstTail(l))) {
    if (fd_proper_length(w, LstHead(l)) != nv) return fail("lex_chain_tuple", LstHead(l));
    for (TAGGED e = deref(LstHead(l)); IsLst(e); e = deref(LstTail(e))) {
      if (!fd_entry_refs(LstHead(e), probe)) return fail("variable_entry", LstHead(e));
      dvar d;
      dvar_init(&d, &probe[0].term, &probe[1].term);
      if (!IsSmall(d.min) || !IsSmall(d.max)) return fail("finite_domain", LstHead(e));
    }
  }
  sh = {nt, nv, GetSmall(deref(StrArg(s, 4)))};
  return sh;
}

lexc_data *lexc_make_block(fd_entry *e, const lexc_shape &sh)
{
  int nt = sh.ntuples, nv = sh.nvars, nd = nt * nv;
  size_t bytes = sizeof(lexc_data) + (size_t)nd * (sizeof(dvar) + sizeof(lexc_frame)) +
                 sizeof(int32_t) * (2 * (size_t)nd + 2 * nv) + sizeof(int) * 2 * (size_t)nt + 2 * (size_t)nt;
  QX_globref refs;
  auto *b = (lexc_data *)fd_entry_block(e, bytes, lexc_destructor, nullptr, 2 * nd, &refs);
  b->qxenv = e->api;
  b->refbase = refs;
  b->flags = sh.flags, b->ntuples = nt, b->nvars = nv;
  b->xvar = (dvar *)(b + 1);
  b->frames = (lexc_frame *)(b->xvar + nd);
  b->lb = (int32_t *)(b->frames + nd);
  b->ub = b->lb + nd;
  b->min_l = b->ub + nd;
  b->max_l = b->min_l + nv;
  b->state = (int *)(b->max_l + nv);
  b->limit = b->state + nt;
  b->need = (uint8_t *)(b->limit + nt);
  b->fresh = b->need + nt;
  int k = 0;
  for (TAGGED l = deref(StrArg(deref(e->w->term[0]), 1)); IsLst(l); l = deref(LstTail(l)))
    for (TAGGED x = deref(LstHead(l)); IsLst(x); x = deref(LstTail(x)), k++) {
      fd_entry_refs(LstHead(x), &refs[2 * k]);
      b->frames[k] = {{nullptr, lexc_daemon}, b};
    }
  return b;
}

/* A first call: the block, or null with outcome 1 (no tuples) or -2 (an error raised). */
lexc_data *lexc_first_call(fd_entry *e, int *outcome)
{
  lexc_shape sh = check_state(e->api, e->w, deref(e->w->term[0]));
  if (sh.ntuples <= 0) {
    *outcome = sh.ntuples == 0 ? 1 : -2;
    return nullptr;
  }
  lexc_data *b = lexc_make_block(e, sh);
  for (int k = 0; k < sh.ntuples * sh.nvars; k++) {
    dvar_init(&b->xvar[k], &b->refbase[2 * k].term, &b->refbase[2 * k + 1].term);
    dvar_attach_daemon(e->api, e->w, &b->xvar[k], &b->frames[k], deref(e->w->term[1]),
                       fd_state(e->api)->functor_dom);
  }
  StrPtr(deref(e->w->term[0]))[1] = atom_nil;
  return b;
}

}  // namespace

void prolog_fd_lex_chain_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 8, true)) return;
  int outcome = 1;
  lexc_data *b = nullptr;
  if (IsVar(e.handle))
    b = lexc_first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (lexc_data *)fd_perm_data(e.handle);
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  if (b) {
    fd_state(api)->gdata = b;
    b->stamp = e.stamp + 1;
    outcome = lexc_run(api, e.w, b);
  }
  fd_entry_end(&e, state, actions, outcome);
}
