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
 * a value in Values. Under flags 2 and 4 every tuple gets bound vectors, repaired to meet its
 * conditions; the among condition then prunes the tuple along them, directly when the positions
 * that may still follow either vector are fixed, else on two trial copies of the tuple (one
 * following the lower vector, one the upper) whose domains it joins.
 *
 * A narrowing that would empty a variable of a tuple fails the call; on a trial copy it is
 * ignored. Either way the view stays as it was and no rule repeats on it.
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
  TAGGED values, complement;
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

/* The smallest increasing vector within tuple t's domains, ignoring the order (min_l), and the
 * largest (max_l). */
void increasing_hulls(lexc_data *b, dvar *t)
{
  int n = b->nvars;
  b->min_l[0] = vmin(&t[0]);
  for (int k = 1; k < n; k++) {
    int32_t m = vmin(&t[k]);
    b->min_l[k] = m > b->min_l[k - 1] ? m : dvar_successor_l(&t[k], b->min_l[k - 1]);
  }
  b->max_l[n - 1] = vmax(&t[n - 1]);
  for (int k = n - 2; k >= 0; k--) {
    int32_t m = vmax(&t[k]);
    b->max_l[k] = m < b->max_l[k + 1] ? m : dvar_predecessor_l(&t[k], b->max_l[k + 1]);
  }
}

/* Moves a bound vector of t (upper: down; lower: up) towards the nearest increasing vector: bit 1
 * when it moved, bit 2 when there is none. */
int repair_increasing(lexc_data *b, dvar *t, bool upper, int32_t *v, int rc)
{
  int n = b->nvars;
  increasing_hulls(b, t);
  const int32_t *fill = upper ? b->max_l : b->min_l;
  auto move = [&](int j, int32_t from) {
    v[j] = upper ? dvar_predecessor_l(&t[j], from) : dvar_successor_l(&t[j], from);
    for (int k = j + 1; k < n; k++) v[k] = fill[k];
    rc |= 1;
  };
  for (int j = 0; j < n && rc <= 1;) {
    if (j == 0) {
      if (upper ? v[0] < b->min_l[0] : v[0] > b->max_l[0]) rc |= 2;
      j = 1;
    } else if (upper) {
      if (v[j] >= b->min_l[j] && v[j] > v[j - 1])
        j++;
      else
        --j, move(j, v[j]);
    } else {
      if (v[j] <= v[j - 1]) move(j, v[j - 1]);
      if (v[j] > b->max_l[j])
        --j, move(j, v[j]);
      else
        j++;
    }
  }
  return rc;
}

/* The value of d in `set` nearest beyond v (largest below it when upper, else smallest above),
 * or NO_PRED / NO_SUCC when there is none. */
int32_t nearest_in(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED set, int64_t v, bool upper)
{
  TAGGED part = upper ? fd_intersection_interval(api, w, set, atom_inf, MakeSmall((int32_t)(v - 1)))
                      : fd_intersection_interval(api, w, set, MakeSmall((int32_t)(v + 1)), atom_sup);
  TAGGED dom = dvar_set(api, d, w);
  TAGGED x = upper ? fd_intersection_max(dom, part) : fd_intersection_min(dom, part);
  return x ? GetSmall(x) : upper ? NO_PRED : NO_SUCC;
}

/* The domain's extreme value in `set`: largest when upper, else smallest. */
int32_t extreme_in(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED set, bool upper)
{
  return nearest_in(api, w, d, set, upper ? (int64_t)vmax(d) + 1 : (int64_t)vmin(d) - 1, upper);
}

inline bool inside(int code) { return code == 1 || code == 3; }
inline bool decided(int code) { return code == 1 || code == 3 || code == 4; }

/* Raises to at least l (u the most allowed) the number of positions of v whose value lies in
 * `set`, countval of them do now: 1 when v changed, 0 when not, 2 when no vector exists. */
int repair_atleast(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int l, int u, int countval,
                   TAGGED set, bool upper, int32_t *v, dvar *t)
{
  int n = b->nvars;
  int *code = (int *)fd_temp_alloc(api, w, sizeof(int) * 2 * (size_t)n), *after_in = code + n;
  for (int k = 0; k < n; k++) code[k] = dvar_compare_set(api, &t[k], set, w);
  int j = n - 1, before = countval, avail = 0;
  for (; j >= 0; j--) {
    before -= fd_member(MakeSmall(v[j]), set) != 0;
    avail += code[j] != 4;
    bool movable = upper ? v[j] > vmin(&t[j]) : v[j] < vmax(&t[j]);
    if (before + avail >= l && movable &&
        !(before + avail == l && code[j] != 4 &&
          nearest_in(api, w, &t[j], set, v[j], upper) == (upper ? NO_PRED : NO_SUCC)))
      break;
  }
  if (j < 0) return 2;
  after_in[n - 1] = 0;
  for (int k = n - 2; k >= j; k--) after_in[k] = after_in[k + 1] + inside(code[k + 1]);
  int slack = before + avail - l, cnt = before, changed = 0;
  for (int k = j; k < n; k++) {
    dvar *d = &t[k];
    int32_t val;
    if (slack == 0 && code[k] != 4)
      val = k == j ? nearest_in(api, w, d, set, v[k], upper) : extreme_in(api, w, d, set, upper);
    else if (k == j)
      val = upper ? dvar_predecessor_l(d, v[k]) : dvar_successor_l(d, v[k]);
    else if (cnt + after_in[k] == u)
      val = extreme_in(api, w, d, fd_complement(api, w, set), upper);
    else
      val = upper ? vmax(d) : vmin(d);
    if (val == NO_PRED || val == NO_SUCC) return 2; /* a position that must leave the set cannot */
    if (fd_member(MakeSmall(val), set))
      cnt++;
    else if (code[k] != 4)
      slack--;
    changed |= val != v[k];
    v[k] = val;
  }
  return changed;
}

/* Moves a bound vector of t (upper: down; lower: up) to one that also meets the conditions that
 * `flags` names: false when there is none. */
bool repair_among(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int flags, bool upper,
                  int32_t *v, dvar *t)
{
  int n = b->nvars, rc;
  do {
    rc = 0;
    if (flags & AMONG) {
      int count = 0;
      for (int k = 0; k < n; k++) count += fd_member(MakeSmall(v[k]), b->values) != 0;
      if (count < b->least)
        rc = repair_atleast(api, w, b, b->least, b->most, count, b->values, upper, v, t);
      else if (count > b->most)
        rc = repair_atleast(api, w, b, n - b->most, n - b->least, n - count, b->complement, upper, v, t);
    }
    if (flags & INCREASING) rc = repair_increasing(b, t, upper, v, rc);
  } while (rc == 1 && (flags & AMONG) && (flags & INCREASING));
  return rc <= 1;
}

/* The largest (upper) or smallest vector of t at most (at least) `from`, strictly so under flag
 * 1, then repaired for flags 2 and 4: false when there is none. v may be `from`. */
bool adjust_vector(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int flags, dvar *t, bool upper,
                   const int32_t *from, int32_t *v)
{
  int n = b->nvars, q = -1, j = 0;
  for (; j < n; j++) {
    const dvar *d = &t[j];
    if (upper ? vmin(d) < from[j] : vmax(d) > from[j]) q = j;
    if (!dvar_contains_value_t(d, MakeSmall(from[j]))) break;
  }
  if (j == n && !(flags & STRICT)) q = n;
  if (q < 0) return false;
  for (int p = 0; p < n; p++) {
    const dvar *d = &t[p];
    if (p < q)
      v[p] = from[p];
    else if (p == q)
      v[p] = upper ? dvar_predecessor_l(d, from[p]) : dvar_successor_l(d, from[p]);
    else
      v[p] = upper ? vmax(d) : vmin(d);
  }
  return !(flags & (AMONG | INCREASING)) || repair_among(api, w, b, flags, upper, v, t);
}

/* The tuple's own ends as a vector, repaired. */
bool own_vector(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i, bool upper, int32_t *v)
{
  for (int p = 0; p < b->nvars; p++) v[p] = upper ? vmax(X(b, i, p)) : vmin(X(b, i, p));
  return !(b->flags & (AMONG | INCREASING)) || repair_among(api, w, b, b->flags, upper, v, X(b, i, 0));
}

/* ---- the among condition on a tuple or a trial copy ---- */

/* A narrowing's result: -1 when it emptied a real variable (the call fails), 0 when it changed
 * nothing or would have emptied a trial copy (left as it was), 1 when it changed the domain. */
int narrowed(ORVALIS_API_STRUCT *api, worker *w, dvar *d, int r, bool real)
{
  if (r < 0) return real ? -1 : 0;
  if (r > 0) dvar_pruning_done(api, w, d);
  return r != 0;
}

inline int values_code(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, dvar *d)
{
  return dvar_compare_set(api, d, b->values, w);
}

/* Restricts every position of t from `from` on that is undecided for Values to `set`. */
int prune_among_force(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, dvar *t, int from, TAGGED set,
                      bool real)
{
  int changed = 0;
  for (int p = from; p < b->nvars; p++) {
    if (decided(values_code(api, w, b, &t[p]))) continue;
    int r = narrowed(api, w, &t[p], dvar_fix_set(api, &t[p], set, w), real);
    if (r < 0) return -1;
    changed |= r;
  }
  return changed;
}

/* One rule of the among condition: t must follow the bound vector B (ubrow when upper) with one
 * more position in T. -1 failure, 1 when it narrowed something, else 0. */
int among_case(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, dvar *t, const int32_t *B, TAGGED T,
               bool upper, int from, bool real)
{
  int n = b->nvars, j = from, gtpos = -1, r;
  for (; j + 1 < n; j++) {
    dvar *d = &t[j];
    bool dec = decided(values_code(api, w, b, d));
    int32_t key = dec ? (upper ? vmin(d) : vmax(d)) : extreme_in(api, w, d, T, !upper);
    if (key == B[j]) continue;
    if (!dec && (upper ? key > B[j] : key < B[j])) gtpos = j;
    break;
  }
  if (gtpos >= 0 && (r = prune_among_force(api, w, b, t, j + 1, T, real)) != 0) return r;
  for (int p = from; p <= j; p++) {
    dvar *d = &t[p];
    if (decided(values_code(api, w, b, d))) continue;
    int32_t e = p < gtpos;
    TAGGED F = upper ? fd_union_interval(api, w, T, atom_inf, MakeSmall(B[p] - e))
                     : fd_union_interval(api, w, T, MakeSmall(B[p] + e), atom_sup);
    if (inside(dvar_compare_set(api, d, F, w))) continue;
    if ((r = narrowed(api, w, d, dvar_fix_set(api, d, F, w), real)) != 0) return r;
  }
  return 0;
}

/* The gap rule: position from + 1 cannot take a value of the second set between its bound
 * vectors when position from has no spare value in the first. */
int among_gap(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, dvar *t, const int32_t *lbrow,
              const int32_t *ubrow, int from, bool can_in, bool can_out, bool real)
{
  if (from + 1 >= b->nvars || (int64_t)lbrow[from + 1] < (int64_t)ubrow[from + 1] + 2) return 0;
  if (decided(values_code(api, w, b, &t[from])) || decided(values_code(api, w, b, &t[from + 1]))) return 0;
  TAGGED rest = fd_subtract(api, w, dvar_set(api, &t[from], w),
                            fd_pair(api, w, MakeSmall(lbrow[from]), MakeSmall(ubrow[from])));
  for (int k = 0; k < 2; k++) {
    TAGGED first = k ? b->complement : b->values, second = k ? b->values : b->complement;
    if (!(k ? can_out : can_in) || !IsLst(rest) || fd_compare(rest, first) != 4) continue;
    TAGGED gone = fd_intersection_interval(api, w, second, MakeSmall(ubrow[from + 1] + 1),
                                           MakeSmall(lbrow[from + 1] - 1));
    int r = narrowed(api, w, &t[from + 1], dvar_prune_set(api, &t[from + 1], gone, w), real);
    if (r != 0) return r;
  }
  return 0;
}

/* The last-position test: when every undecided position but the last takes T, and then no
 * vector of t lies between lbrow and ubrow, the last undecided position must take T. */
int among_last(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, dvar *t, const int32_t *lbrow,
               const int32_t *ubrow, int from, bool can_in, bool can_out, bool real)
{
  int n = b->nvars;
  auto *s = (dvar *)fd_temp_alloc(api, w, sizeof(dvar) * (size_t)n);
  auto *W = (int32_t *)fd_temp_alloc(api, w, sizeof(int32_t) * (size_t)n);
  for (int k = 0; k < 2; k++) {
    TAGGED T = k ? b->complement : b->values;
    if (!(k ? can_out : can_in)) continue;
    std::memset(s, 0, sizeof(dvar) * (size_t)n);
    int pos = -1;
    for (int p = 0; p < n; p++)
      if (p < from) {
        dvar_init_temp(&s[p], MakeSmall(lbrow[p]), MakeSmall(lbrow[p]));
      } else {
        dvar_assign(api, &s[p], &t[p], w);
        if (!decided(values_code(api, w, b, &t[p]))) pos = p;
      }
    if (pos < 0) return 0;
    for (int p = from; p < pos; p++)
      if (!decided(values_code(api, w, b, &t[p]))) narrowed(api, w, &s[p], dvar_fix_set(api, &s[p], T, w), false);
    bool fits = adjust_vector(api, w, b, b->flags & INCREASING, s, false, lbrow, W);
    bool above = false;
    for (int p = from; fits && p < n; p++)
      if (W[p] != ubrow[p]) {
        above = W[p] > ubrow[p];
        break;
      }
    if (fits && !above) continue;
    int r = narrowed(api, w, &t[pos], dvar_fix_set(api, &t[pos], T, w), real);
    if (r != 0) return r;
  }
  return 0;
}

/* Prunes t, whose positions before `from` are settled and counted by their lbrow values, for the
 * among condition: -1 when a real variable emptied, else 0. */
int prune_among_det(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, const int32_t *lbrow,
                    const int32_t *ubrow, int from, dvar *t, bool real)
{
  int n = b->nvars, inP = 0;
  for (int p = 0; p < from; p++) inP += fd_member(MakeSmall(lbrow[p]), b->values) != 0;
  int outP = from - inP;
  for (;;) {
    int inR = 0, outR = 0, r = 0;
    for (int p = from; p < n; p++) {
      int c = values_code(api, w, b, &t[p]);
      inR += inside(c);
      outR += c == 4;
    }
    if (inR + outR == n - from) return 0;
    if (outP + outR == n - b->least) return prune_among_force(api, w, b, t, from, b->values, real) < 0 ? -1 : 0;
    if (inP + inR == b->most) return prune_among_force(api, w, b, t, from, b->complement, real) < 0 ? -1 : 0;
    bool can_in = outP + outR == n - b->least - 1, can_out = inP + inR == b->most - 1;
    if (!can_in && !can_out) return 0;
    struct rule {
      const int32_t *B;
      TAGGED T;
      bool on, upper;
    } rules[4] = {{ubrow, b->values, can_in, true},
                  {ubrow, b->complement, can_out, true},
                  {lbrow, b->values, can_in, false},
                  {lbrow, b->complement, can_out, false}};
    for (const rule &ru : rules)
      if (ru.on && (r = among_case(api, w, b, t, ru.B, ru.T, ru.upper, from, real)) != 0) break;
    if (r == 0) r = among_gap(api, w, b, t, lbrow, ubrow, from, can_in, can_out, real);
    if (r == 0) r = among_last(api, w, b, t, lbrow, ubrow, from, can_in, can_out, real);
    if (r <= 0) return r;
  }
}

/* A trial copy of tuple i that follows `vec` (lb, or ub when upper) before position L and from L
 * on stays on vec's side while its positions settle; pruned for among against the far vector V.
 * The copies' views go to `copy`. */
void among_trial(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i, int L, bool upper, dvar *copy,
                 int32_t *V)
{
  int n = b->nvars, f = n;
  const int32_t *vec = row(upper ? b->ub : b->lb, b, i);
  std::memset(copy, 0, sizeof(dvar) * (size_t)n);
  for (int p = 0; p < n; p++) dvar_assign(api, &copy[p], X(b, i, p), w);
  for (int p = 0; p < L; p++) {
    narrowed(api, w, &copy[p], dvar_fix_interval_t(&copy[p], MakeSmall(vec[p]), MakeSmall(vec[p])), false);
    V[p] = vec[p];
  }
  for (int p = L; p < n && f == n; p++) {
    dvar *d = &copy[p];
    narrowed(api, w, d, upper ? dvar_fix_interval_t(d, atom_inf, MakeSmall(vec[p]))
                              : dvar_fix_interval_t(d, MakeSmall(vec[p]), atom_sup), false);
    if (!(d->flags & DV_FIXED)) f = p;
  }
  for (int p = L; p < n; p++) V[p] = upper ? vmin(X(b, i, p)) : vmax(X(b, i, p));
  repair_among(api, w, b, b->flags, !upper, V, copy);
  if (upper)
    prune_among_det(api, w, b, V, vec, f, copy, false);
  else
    prune_among_det(api, w, b, vec, V, f, copy, false);
}

/* The among condition on tuple i (L its two-choice limit): -1 failure, else 0. */
int prune_among(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i)
{
  int n = b->nvars, L = b->limit[i], f = 0;
  while (f < n && (X(b, i, f)->flags & DV_FIXED)) f++;
  if (f >= L) return prune_among_det(api, w, b, row(b->lb, b, i), row(b->ub, b, i), f, X(b, i, 0), true);
  if (L >= n) return 0;
  auto *low = (dvar *)fd_temp_alloc(api, w, 2 * sizeof(dvar) * (size_t)n), *high = low + n;
  auto *V = (int32_t *)fd_temp_alloc(api, w, sizeof(int32_t) * (size_t)n);
  among_trial(api, w, b, i, L, false, low, V);
  among_trial(api, w, b, i, L, true, high, V);
  for (int p = L; p < n; p++) {
    dvar *d = X(b, i, p);
    TAGGED both = fd_union(api, w, dvar_set(api, &low[p], w), dvar_set(api, &high[p], w));
    if (narrowed(api, w, d, dvar_fix_set(api, d, both, w), true) < 0) return -1;
  }
  return 0;
}

/* The end of tuple i's two-choice zone under among, by binary search from q: the first position
 * mid at which the smallest conforming vector above lb there no longer follows ub up to mid. */
int among_limit(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i, int q)
{
  int n = b->nvars, lo = q, hi = n;
  const int32_t *lb = row(b->lb, b, i), *ub = row(b->ub, b, i);
  auto *trial = (int32_t *)fd_temp_alloc(api, w, sizeof(int32_t) * (size_t)n);
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    for (int p = 0; p < n; p++) trial[p] = p < mid ? lb[p] : p == mid ? lb[p] + 1 : vmin(X(b, i, p));
    adjust_vector(api, w, b, b->flags & (AMONG | INCREASING), X(b, i, 0), false, trial, trial);
    if (std::memcmp(trial, ub, sizeof(int32_t) * (size_t)(mid + 1)) == 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
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
    if (b->flags & AMONG)
      limit = among_limit(api, w, b, i, q);
    else if (dvar_successor_l(d, lb[q]) >= ub[q])
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

int bound_passes(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b)
{
  int nt = b->ntuples;
  for (int i = nt - 1; i >= 0; i--) {
    if (!b->need[i]) continue;
    bool ok = b->state[i] ? own_vector(api, w, b, i, true, row(b->ub, b, i))
                          : adjust_vector(api, w, b, b->flags, X(b, i, 0), true, row(b->ub, b, i + 1),
                                          row(b->ub, b, i));
    if (!ok) return -1;
  }
  for (int i = 0; i < nt; i++) {
    if (!b->need[i]) continue;
    bool ok = i == 0 || b->state[i - 1]
                  ? own_vector(api, w, b, i, false, row(b->lb, b, i))
                  : adjust_vector(api, w, b, b->flags, X(b, i, 0), false, row(b->lb, b, i - 1),
                                  row(b->lb, b, i));
    if (!ok) return -1;
  }
  return 0;
}

int tuple_size(lexc_data *b, int i)
{
  int size = 0;
  for (int j = 0; j < b->nvars; j++) size += dvar_value_count(X(b, i, j));
  return size;
}

/* -1 failure, 1 when a tuple's conditions narrowed something (the vectors are then recomputed),
 * else 0. */
int prune_tuples(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b)
{
  int again = 0;
  for (int i = 0; i < b->ntuples; i++) {
    if (b->need[i]) {
      if (prune_between(api, w, b, i) < 0) return -1;
      /* the conditions on the tuple, alternating while the increasing one narrows */
      for (int c = 1; c > 0;) {
        int before = tuple_size(b, i);
        if (b->flags & AMONG && prune_among(api, w, b, i) < 0) return -1;
        again |= tuple_size(b, i) != before;
        c = b->flags & INCREASING ? propagate_increasing(api, w, b, i) : 0;
        if (c < 0) return -1;
        again |= c;
        if (!(b->flags & AMONG)) break;
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
    b->complement = fd_complement(api, w, b->values);
  }
  plan(b);
  for (int r = 1; r > 0;)
    if (bound_passes(api, w, b) < 0 || (r = prune_tuples(api, w, b)) < 0) return -1;
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

/* Whether the among rules may narrow tuple i (views fresh): a position before its two-choice
 * limit is open, or the counts come within one of a bound. The settled prefix counts too: the
 * rules count it, so counting from the limit alone would miss a wake (three positions fixed in
 * Values with Most 3 force the fourth out). */
bool among_worth_waking(ORVALIS_API_STRUCT *api, worker *w, lexc_data *b, int i, TAGGED state)
{
  int n = b->nvars, f = 0, in = 0, out = 0;
  while (f < n && (X(b, i, f)->flags & DV_FIXED)) f++;
  if (f < b->limit[i]) return true;
  TAGGED among = deref(StrArg(state, 5)), values = deref(StrArg(among, 3));
  for (int p = 0; p < n; p++) {
    int c = dvar_compare_set(api, X(b, i, p), values, w);
    in += inside(c);
    out += c == 4;
  }
  return out >= n - GetSmall(deref(StrArg(among, 1))) - 1 || in >= GetSmall(deref(StrArg(among, 2))) - 1;
}

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
    wake = !dvar_contains_value_t(&d, MakeSmall(row(b->lb, b, i)[j])) ||
           !dvar_contains_value_t(&d, MakeSmall(row(b->ub, b, i)[j]));
    if (!wake && b->flags & (AMONG | INCREASING)) refresh(b, i);
    if (!wake && b->flags & AMONG) wake = among_worth_waking(api, w, b, i, state);
    if (!wake && b->flags & INCREASING) {
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
  /* a bound element reads as a pair already decided: none is before the first call */
  for (TAGGED l = deref(StrArg(s, 6)); IsLst(l); l = deref(LstTail(l)))
    if (!IsVar(deref(LstHead(l)))) return fail("undecided_pair", LstHead(l));
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
