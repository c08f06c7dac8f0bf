/* The linear constraint a1*x1 + ... + an*xn Rel RHS (Rel 1 at most, 2 at least, 3 equal, 4
 * different), kept bounds-consistent by an incremental global constraint.
 *
 * State: s(Terms, Rel, RHS, Dropped, Handle, Stamp), Terms a list of t(A, X, XAttr). The first run
 * builds a persistent block that takes over the terms (argument 1 becomes []) and attaches a
 * daemon to every variable. The block keeps, per term, the smallest and largest value of a*x over
 * the current bounds (an infinite bound counting as 2^32) and their difference, and two slacks:
 * bigf = R - sum of minima (room on the at-most side), bige = sum of maxima - R. A term whose
 * range exceeds a slack can be pruned; a max-heap over the ranges finds it. The daemon keeps the
 * sums current while the block's stamp matches the state's, and wakes the constraint only when a
 * pruning may follow. Fixed terms are folded into the residual RHS, which each run writes back
 * into argument 3 with the count of dropped terms in argument 4, so that a run after backtracking
 * rebuilds from them. For equations, divisibility by the gcd of the other coefficients narrows
 * each variable to a congruence class. A disequation of one or two terms with a small RHS needs
 * no block: it keeps its terms and an unbound Handle, and a two-term one waits on the Val lists
 * of its variables (ne_run). So does a relation at most, at least or equal of two terms whose
 * domains have small bounds, waiting on the bound changes that can narrow (pair_run).
 *
 * All 64-bit sums are checked: one that leaves the 64-bit range is an integer overflow, as is a
 * bound beyond the small-integer range on the side that empties the domain. When every quantity
 * fits in 32 bits the pruning steps use 32-bit arithmetic.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fd_bounds.h"
#include "fd_propagate.h"

namespace {

constexpr int OP_LE = 1, OP_GE = 2, OP_EQ = 3, OP_NE = 4;
/* Heap room the write-back of the residual RHS makes sure of. */
constexpr uint32_t WRITE_BACK_WORDS = 132;
constexpr int CODE_WAKE = 5;
/* Heap room the linking of one suspension makes sure of. */
constexpr uint32_t LINK_WORDS = 32;

struct linear_data;

/* The daemon record of term i carries the address of frames[i]. */
struct term_frame {
  daemon_frame frame; /* no destructor: the block's own frame frees it */
  linear_data *block;
};

struct linear_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* two per term: its attribute, its variable */
  term_frame *frames;
  int64_t *cmin, *cmax, *interval;
  dvar *dv;
  int32_t *coeff, *abscoeff, *gcd, *target, *heap, *vheap;
  int32_t fast, op, stamp, units, nonunits, gcdall;
  int64_t rhs;
  int32_t prunings, nvars, ntargets, overflow;
  int32_t gcd_ones; /* every target's gcd is 1, as refresh_gcd left it (a rebuild clears it) */
  int64_t bige, bigf;
  int32_t heapsize;
};

/* ---- checked 64-bit arithmetic: an overflow raises the solver's overflow flag ---- */

struct checked {
  ORVALIS_API_STRUCT *api;
  int64_t add(int64_t a, int64_t b) const
  {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) fd_state(api)->fd_overflow = 1;
    return r;
  }
  int64_t sub(int64_t a, int64_t b) const
  {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) fd_state(api)->fd_overflow = 1;
    return r;
  }
};

bool overflowed(ORVALIS_API_STRUCT *api) { return fd_state(api)->fd_overflow != 0; }

bool fits32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

/* Quotients by a positive divisor, rounded down and up. */
int64_t floor_div(int64_t n, int64_t d)
{
  int64_t q = n / d;
  return n % d < 0 ? q - 1 : q;
}
int64_t ceil_div(int64_t n, int64_t d)
{
  int64_t q = n / d;
  return n % d > 0 ? q + 1 : q;
}
/* Floored modulo by a positive divisor. */
int64_t floor_mod(int64_t n, int64_t d)
{
  int64_t r = n % d;
  return r < 0 ? r + d : r;
}

int32_t gcd2(int32_t a, int32_t b)
{
  if (a == 1 || b == 1) return 1;
  while (b) {
    int32_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

/* ---- the block ---- */

bool unfixed(const linear_data *b, int i) { return b->interval[i] != 0; }

/* The smallest and largest a*x over the bounds min..max of term i. */
[[gnu::always_inline]] inline void contribution(ORVALIS_API_STRUCT *api, const linear_data *b, int i,
                                                TAGGED min, TAGGED max, int64_t *lo, int64_t *hi)
{
  int32_t a = b->coeff[i];
  *lo = mul_lt_internal(api, a, a > 0 ? min : max);
  *hi = mul_lt_internal(api, a, a > 0 ? max : min);
}

/* contribution() in a block of the 32-bit form: its bounds only narrowed since the rebuild that
 * found every product within 32 bits, so they are small integers and no product can overflow. */
[[gnu::always_inline]] inline void contribution32(const linear_data *b, int i, TAGGED min,
                                                  TAGGED max, int64_t *lo, int64_t *hi)
{
  int32_t a = b->coeff[i];
  *lo = (int64_t)a * GetSmall(a > 0 ? min : max);
  *hi = (int64_t)a * GetSmall(a > 0 ? max : min);
}

/* A run loads the whole view of a term only when it prunes or exports it (attr_ref null until
 * then): the others need no more than their bounds, which the daemon's contributions or a rebuild
 * give. An unloaded view's flags hold only DV_FIXED. */
void unload(linear_data *b, int i, bool fixed)
{
  b->dv[i].attr_ref = nullptr;
  b->dv[i].flags = fixed ? DV_FIXED : 0;
}

dvar *view(linear_data *b, int i)
{
  dvar *d = &b->dv[i];
  if (!d->attr_ref) dvar_init(d, &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  return d;
}

/* The dom/4 words of term i's attribute: the usual attribute's own record in one look. */
inline TAGGED *term_dom(const linear_data *b, int i)
{
  TAGGED attr = b->refbase[2 * i].term, dom = fd_attr_own_dom(attr);
  return StrPtr(dom ? dom : fd_attr_dom(attr));
}

void place(linear_data *b, int pos, int i)
{
  b->heap[pos] = i;
  b->vheap[i] = pos;
}

/* qxheapify with the ranges compared as Range: 32 bits hold every range of a block of the 32-bit
 * form (ranges only narrow), and their compares cost less than 64-bit ones. The arrays are passed
 * apart from the block: a store into the int32 arrays could otherwise be taken to change the
 * block's own fields. */
template <typename Range>
void sift_ranges(int32_t *heap, int32_t *vheap, const int64_t *interval, int n, int pos)
{
  int i = heap[pos];
  Range range = (Range)interval[i];
  for (;;) {
    int child = 2 * pos + 1;
    if (child >= n) break;
    Range larger = (Range)interval[heap[child]];
    if (child + 1 < n && (Range)interval[heap[child + 1]] > larger)
      larger = (Range)interval[heap[++child]];
    if (larger <= range) break;
    heap[pos] = heap[child];
    vheap[heap[pos]] = pos;
    pos = child;
  }
  heap[pos] = i;
  vheap[i] = pos;
}

/* Sift-down on the max-heap of ranges: a child replaces its parent only when its range is
 * strictly larger, the left child winning ties. */
void qxheapify(linear_data *b, int pos)
{
  if (b->fast)
    sift_ranges<int32_t>(b->heap, b->vheap, b->interval, b->heapsize, pos);
  else
    sift_ranges<int64_t>(b->heap, b->vheap, b->interval, b->heapsize, pos);
}

/* The heap of two terms (the common block) in line: the second replaces the first only when its
 * range is strictly larger, as a sift in either direction does. */
inline bool order_two(linear_data *b)
{
  if (b->heapsize != 2) return false;
  int32_t *heap = b->heap, top = heap[0], next = heap[1];
  if (b->interval[next] > b->interval[top]) {
    place(b, 0, next);
    place(b, 1, top);
  }
  return true;
}

/* A block of at most this many terms keeps its heap in no order: the term of the largest range
 * is found by a scan (top_term), which for so few costs less than the sifts that keep it on top.
 * Two terms keep theirs ordered in line (order_two). */
constexpr int SCAN_TERMS = 8;

inline bool scanned(const linear_data *b) { return b->heapsize > 2 && b->heapsize <= SCAN_TERMS; }

/* qxheapify at a position that has a child. */
inline void sift_down(linear_data *b, int pos)
{
  if (!scanned(b) && !order_two(b)) qxheapify(b, pos);
}

/* A range that shrank at pos: a leaf stays where it is. */
inline void shrunk(linear_data *b, int pos)
{
  if (2 * pos + 1 < b->heapsize) sift_down(b, pos);
}

void sift_up(linear_data *b, int pos)
{
  if (scanned(b)) return;
  if (b->heapsize == 2) { /* the root has nowhere to go */
    if (pos == 1) order_two(b);
    return;
  }
  int32_t *heap = b->heap, *vheap = b->vheap;
  const int64_t *interval = b->interval;
  int i = heap[pos];
  int64_t range = interval[i];
  while (pos > 0 && range > interval[heap[(pos - 1) / 2]]) {
    heap[pos] = heap[(pos - 1) / 2];
    vheap[heap[pos]] = pos;
    pos = (pos - 1) / 2;
  }
  heap[pos] = i;
  vheap[i] = pos;
}

/* The first term of the largest range among the n of heap, the ranges compared as Range (as in
 * sift_ranges). Selects, not branches: which range is the larger is not predictable. */
template <typename Range>
int largest(const int32_t *heap, const int64_t *interval, int n)
{
  int top = heap[0];
  Range range = (Range)interval[top];
  for (int k = 1; k < n; k++) {
    int i = heap[k];
    Range r = (Range)interval[i];
    bool larger = r > range;
    top = larger ? i : top;
    range = larger ? r : range;
  }
  return top;
}

/* The term of the largest range: the heap's top, or the scan's in a block that keeps no order.
 * Which of equal ranges comes first only orders the steps, not where they end. */
inline int top_term(const linear_data *b)
{
  if (!scanned(b)) return b->heap[0];
  return b->fast ? largest<int32_t>(b->heap, b->interval, b->heapsize)
                 : largest<int64_t>(b->heap, b->interval, b->heapsize);
}

/* The bytes of a block for n terms: the header, two global references per term, the arrays. */
size_t block_bytes(int n)
{
  return sizeof(linear_data) + qx_globrefs_bytes(2 * (uint32_t)n) +
         (size_t)n * (3 * sizeof(int64_t) + sizeof(dvar) + sizeof(term_frame) + 6 * sizeof(int32_t));
}

void linear_destructor(void *block)
{
  auto *b = (linear_data *)block;
  qx_unlink_globrefs(b->refbase);
  fd_perm_release(block, block_bytes(b->nvars));
}

TAGGED state_stamp(TAGGED state) { return deref(StrArg(state, (int)Arity(StrFunctor(state)))); }

void count_unfixed(linear_data *b, int i, int by)
{
  if (b->abscoeff[i] == 1)
    b->units += by;
  else
    b->nonunits += by;
}

/* Term i's contribution became lo..hi: the slacks follow. In the 32-bit form every quantity stays
 * far from the 64-bit limits (the contributions only narrow), so the sums need no checks. */
void set_contribution(linear_data *b, const checked &c, int i, int64_t lo, int64_t hi)
{
  if (b->fast) {
    b->bigf += b->cmin[i] - lo;
    b->bige += hi - b->cmax[i];
  } else if (b->op != OP_NE) { /* a disequation needs no slacks */
    b->bigf = c.sub(c.add(b->bigf, b->cmin[i]), lo);
    b->bige = c.add(c.sub(b->bige, b->cmax[i]), hi);
  }
  b->cmin[i] = lo;
  b->cmax[i] = hi;
  b->interval[i] = hi - lo;
}

/* Whether a daemon's change to term i (fixed_now: it became fixed) may let its relation prune:
 * top is the largest range. */
bool daemon_wakes(const linear_data *b, int i, bool fixed_now, int64_t top)
{
  switch (b->op) {
  case OP_GE: return top > b->bige;
  case OP_LE: return top > b->bigf;
  case OP_EQ:
    /* the congruence of a variable may move its new bound, and a fixing may change them */
    return top > b->bigf || top > b->bige ||
           (b->units < 2 && b->nonunits > 0 && (fixed_now || b->gcd[i] > b->gcdall));
  default: return b->units + b->nonunits <= 1;
  }
}

/* linear_daemon for a current block of the 32-bit form whose heap holds two terms (a two-term
 * relation, or one with its other terms dropped): no overflow can arise, and the heap is ordered
 * in line, either term's range having moved. */
void daemon_two(ORVALIS_API_STRUCT *api, worker *w, linear_data *b, int i, TAGGED global,
                TAGGED state)
{
  const TAGGED *dom = term_dom(b, i);
  /* the bounds only narrowed since the rebuild: every product and difference fits in 32 bits */
  int32_t a = b->coeff[i], min = GetSmall(deref(dom[2])), max = GetSmall(deref(dom[3]));
  int32_t lo = a * (a > 0 ? min : max), hi = a * (a > 0 ? max : min);
  int32_t oldlo = (int32_t)b->cmin[i], oldhi = (int32_t)b->cmax[i];
  if (lo == oldlo && hi == oldhi) return;
  bool fixed_now = oldlo != oldhi && lo == hi;
  b->bigf += oldlo - lo;
  b->bige += hi - oldhi;
  b->cmin[i] = lo;
  b->cmax[i] = hi;
  b->interval[i] = hi - lo;
  if (fixed_now) count_unfixed(b, i, -1);
  bool wake = b->units + b->nonunits == 0 ||
              (order_two(b), daemon_wakes(b, i, fixed_now, b->interval[b->heap[0]]));
  /* A relation woken with a state older than the newest choicepoint only has its block's stamp
   * moved past the state's: its run rebuilds the block and makes the output state, a copy the
   * daemon need not make as well. */
  b->stamp++;
  if (!wake || StrPtr(state) >= w->global_uncond)
    fd_daemon_copy_read_state(api, w, &global, state); /* nothing above can collect */
  if (wake) fd_enqueue_global(api, w, global, CODE_WAKE);
}

int linear_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (term_frame *)frame;
  linear_data *b = f->block;
  int i = (int)(f - b->frames);
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  if (state_stamp(state) != MakeSmall(b->stamp)) {
    /* the sums are stale (backtracking undid runs): only a rebuild can tell what follows */
    fd_enqueue_global(api, w, global, CODE_WAKE);
    return 1;
  }
  if (b->fast && b->heapsize == 2) {
    daemon_two(api, w, b, i, global, state);
    return 1;
  }
  struct fd_state *fd = fd_state(api);
  /* An overflow met here is the constraint's: it is kept in the block for its next run. */
  uint32_t flag = fd->fd_overflow;
  fd->fd_overflow = 0;
  /* the bounds alone: every run loads its views afresh */
  const TAGGED *dom = term_dom(b, i);
  int64_t lo, hi;
  if (b->fast)
    contribution32(b, i, deref(dom[2]), deref(dom[3]), &lo, &hi);
  else
    contribution(api, b, i, deref(dom[2]), deref(dom[3]), &lo, &hi);
  if (lo == b->cmin[i] && hi == b->cmax[i] && !fd->fd_overflow) {
    fd->fd_overflow = flag;
    return 1;
  }
  fd_daemon_copy_read_state(api, w, &global, state); /* nothing above can collect */
  b->stamp++;
  bool was_unfixed = unfixed(b, i);
  int64_t old = b->interval[i];
  set_contribution(b, checked{api}, i, lo, hi);
  bool fixed_now = was_unfixed && !unfixed(b, i);
  if (fixed_now) count_unfixed(b, i, -1);
  bool wake = true;
  if (fd->fd_overflow) {
    b->overflow = 1;
  } else if (b->units + b->nonunits != 0) {
    if (b->op != OP_NE) {
      if (b->interval[i] > old)
        sift_up(b, b->vheap[i]);
      else
        shrunk(b, b->vheap[i]);
    }
    int64_t top = b->op != OP_NE && b->heapsize ? b->interval[top_term(b)] : 0;
    wake = daemon_wakes(b, i, fixed_now, top);
  }
  fd->fd_overflow = flag;
  if (wake) fd_enqueue_global(api, w, global, CODE_WAKE);
  return 1;
}

/* ---- building ---- */

/* Fails the native after an error was raised; false. */
bool raise(ORVALIS_API_STRUCT *api)
{
  fd_native_fail(api);
  return false;
}

/* The terms list of a new block: a proper list of t(A, X, XAttr) with A a nonzero small integer,
 * X a variable or small integer and XAttr its attribute; *n its length. Else raises an error. */
bool check_terms(ORVALIS_API_STRUCT *api, worker *w, TAGGED list, int *n)
{
  uint32_t steps = fd_list_bound(w);
  *n = 0;
  for (; IsLst(list) && steps-- > 0; list = deref(LstTail(list)), ++*n) {
    TAGGED t = deref(LstHead(list));
    if (!IsStr(t) || IsBox(t) || Arity(StrFunctor(t)) < 3)
      return fd_type_error(api, "linear_term", t, 1), raise(api);
    TAGGED a = deref(StrArg(t, 1)), x = deref(StrArg(t, 2)), attr = deref(StrArg(t, 3));
    if (IsVar(a)) return fd_instantiation_error(api, 1), raise(api);
    if (!IsSmall(a)) return fd_type_error(api, "integer", a, 1), raise(api);
    if (a == MakeSmall(0)) return fd_domain_error(api, "not_less_than_one", a, 1), raise(api);
    if ((!IsVar(x) && !IsSmall(x)) || !fd_well_formed_attribute(attr))
      return fd_type_error(api, "domain_variable", x, 1), raise(api);
  }
  if (list == atom_nil) return true;
  if (IsVar(list)) return fd_instantiation_error(api, 1), raise(api);
  return fd_type_error(api, "list", list, 1), raise(api);
}

/* Relation, RHS and Dropped (0..most) of a state term; else raises an error. */
bool check_arguments(ORVALIS_API_STRUCT *api, worker *w, TAGGED state, int most, int *op,
                     int64_t *rhs, int *dropped)
{
  TAGGED rel = deref(StrArg(state, 2)), r = deref(StrArg(state, 3)), d = deref(StrArg(state, 4));
  for (TAGGED t : {rel, r, d}) {
    if (IsVar(t)) return fd_instantiation_error(api, 1), raise(api);
    if (!IsInteger(t)) return fd_type_error(api, "integer", t, 1), raise(api);
  }
  if (!IsSmall(rel) || GetSmall(rel) < OP_LE || GetSmall(rel) > OP_NE)
    return fd_domain_error(api, "linear_relation", rel, 1), raise(api);
  if (!fd_get_int64(r, rhs)) return fd_representation_error(api, "int64", 1), raise(api);
  if (!IsSmall(d) || GetSmall(d) < 0 || GetSmall(d) > most)
    return fd_domain_error(api, "dropped_terms", d, 1), raise(api);
  *op = GetSmall(rel);
  *dropped = GetSmall(d);
  return true;
}

/* Relation, RHS and Dropped of a later run's state, as its runs write them: the block's relation,
 * an integer RHS and a count of its terms; false for anything else (check_arguments decides). */
bool block_arguments(TAGGED state, const linear_data *b, int *op, int64_t *rhs, int *dropped)
{
  TAGGED d = deref(StrArg(state, 4));
  if (deref(StrArg(state, 2)) != MakeSmall(b->op) || !fd_get_int64(deref(StrArg(state, 3)), rhs) ||
      !IsSmall(d) || GetSmall(d) < 0 || GetSmall(d) > b->nvars)
    return false;
  *op = b->op;
  *dropped = GetSmall(d);
  return true;
}

/* A disequation of two terms has a pruning to try whenever one of its variables is fixed, so the
 * global itself (in w->term[1]) waits on the Val list of term i's variable unless it is fixed: no
 * daemon runs to decide the wake. The bounds it reads go to bounds[0..1] for the first run (words
 * that a collection does not move: small integers or the infinities, else the first run gives up). */
void link_global(ORVALIS_API_STRUCT *api, worker *w, const linear_data *b, int i, TAGGED *bounds)
{
  const TAGGED *dom = StrPtr(fd_attr_dom(b->refbase[2 * i].term));
  bounds[0] = deref(dom[2]);
  bounds[1] = deref(dom[3]);
  if (bounds[0] == bounds[1]) return;
  fd_room(api, w, LINK_WORDS);
  fd_link(api, w, deref(b->refbase[2 * i + 1].term), fd_state(api)->functor_val,
          deref(w->term[1]));
}

/* A new block for the n terms of the state in w->term[0], with a daemon on each variable. Its
 * global references (two per term: attribute, variable) lie in the block, right after the
 * header: one allocation per block. A disequation of two terms leaves the bounds of its terms as
 * read when linking in bounds[0..3]. */
linear_data *make_block(ORVALIS_API_STRUCT *api, worker *w, TAGGED handle, int n, int op,
                        TAGGED *bounds)
{
  size_t refs = qx_globrefs_bytes(2 * (uint32_t)n), bytes = block_bytes(n);
  auto *b = (linear_data *)fd_perm_alloc(api, w, bytes, handle);
  std::memset(b, 0, bytes); /* the overflow word and the arrays start cleared */
  /* the loop below stores every slot's term before anything can collect */
  b->refbase = qx_link_globrefs(&qx_get_engine_global()->globrefs, b + 1, 2 * (uint32_t)n);
  b->frame.destructor = linear_destructor;
  b->frame.daemon = linear_daemon;
  b->qxenv = api;
  b->cmin = (int64_t *)((char *)(b + 1) + refs);
  b->cmax = b->cmin + n;
  b->interval = b->cmax + n;
  b->dv = (dvar *)(b->interval + n);
  b->frames = (term_frame *)(b->dv + n);
  b->coeff = (int32_t *)(b->frames + n);
  b->abscoeff = b->coeff + n;
  b->gcd = b->abscoeff + n;
  b->target = b->gcd + n;
  b->heap = b->target + n;
  b->vheap = b->heap + n;
  b->op = op;
  b->nvars = b->ntargets = n;
  int i = 0;
  for (w->term[2] = deref(StrArg(deref(w->term[0]), 1)); IsLst(w->term[2]);
       w->term[2] = deref(LstTail(w->term[2])), i++) {
    TAGGED t = deref(LstHead(w->term[2]));
    int32_t a = GetSmall(deref(StrArg(t, 1)));
    b->coeff[i] = a;
    b->abscoeff[i] = a < 0 ? -a : a;
    b->refbase[2 * i] = {deref(StrArg(t, 3)), 0};
    b->refbase[2 * i + 1] = {deref(StrArg(t, 2)), 0};
    b->frames[i] = {{nullptr, linear_daemon}, b};
    b->target[i] = i;
  }
  w->term[2] = atom_nil;
  StrPtr(deref(w->term[0]))[1] = atom_nil; /* the block holds the terms from now on */
  struct fd_state *fd = fd_state(api);
  TAGGED key = op == OP_NE ? fd->functor_val : fd->functor_minmax;
  for (i = 0; i < n; i++) {
    if (op == OP_NE && n == 2) {
      link_global(api, w, b, i, bounds + 2 * i);
      continue;
    }
    dvar d;
    dvar_init(&d, &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
    dvar_attach_daemon(api, w, &d, &b->frames[i], deref(w->term[1]), key);
  }
  return b;
}

/* The rebuild of scalar_product_init in 32-bit arithmetic, when every target's bounds are small
 * integers and every product, range, sum, slack and the residual rhs fit in 32 bits: the block
 * is then one of the 32-bit (fast) form. false when something does not fit: the caller rebuilds
 * from the start then, with the checks of the general rules. */
bool rebuild_small(linear_data *b)
{
  if (b->op == OP_NE || !fits32(b->rhs)) return false;
  int32_t rhs = (int32_t)b->rhs, sumlo = 0, sumhi = 0, folded = 0;
  int units = 0, nonunits = 0;
  for (int k = 0; k < b->ntargets; k++) {
    int i = b->target[k];
    const TAGGED *dom = StrPtr(fd_attr_dom(b->refbase[2 * i].term));
    TAGGED min = deref(dom[2]), max = deref(dom[3]);
    if (!IsSmall(min) || !IsSmall(max)) return false;
    int32_t a = b->coeff[i], lo, hi, range;
    if (__builtin_mul_overflow(a, GetSmall(a > 0 ? min : max), &lo) ||
        __builtin_mul_overflow(a, GetSmall(a > 0 ? max : min), &hi) ||
        __builtin_sub_overflow(hi, lo, &range) || __builtin_add_overflow(sumlo, lo, &sumlo) ||
        __builtin_add_overflow(sumhi, hi, &sumhi))
      return false;
    unload(b, i, range == 0);
    b->cmin[i] = lo;
    b->cmax[i] = hi;
    b->interval[i] = range;
    place(b, k, i);
    if (range == 0) {
      if (__builtin_add_overflow(folded, lo, &folded)) return false;
    } else if (b->abscoeff[i] == 1) {
      units++;
    } else {
      nonunits++;
    }
  }
  int32_t bigf, bige, rest;
  if (__builtin_sub_overflow(rhs, sumlo, &bigf) || __builtin_sub_overflow(sumhi, rhs, &bige) ||
      __builtin_sub_overflow(rhs, folded, &rest))
    return false;
  b->units = units;
  b->nonunits = nonunits;
  b->bigf = bigf;
  b->bige = bige;
  b->rhs = rest;
  b->heapsize = b->ntargets;
  for (int pos = (b->heapsize - 2) / 2; pos >= 0; pos--) sift_down(b, pos);
  b->fast = 1;
  return true;
}

/* The contributions: all of them from argument 3's RHS, or (incremental) only the targets fixed
 * since the last run folded into rhs, the daemon having kept the rest. Returns 1. */
int scalar_product_init(ORVALIS_API_STRUCT *api, linear_data *b, int incremental)
{
  checked c{api};
  if (incremental) {
    /* the block's arrays and sums in locals: a store through one would reload the others */
    const int32_t *target = b->target;
    const int64_t *interval = b->interval, *cmin = b->cmin;
    dvar *dv = b->dv;
    int64_t rhs = b->rhs;
    bool fast = b->fast;
    for (int k = 0, n = b->ntargets; k < n; k++) {
      int i = target[k];
      bool fixed = interval[i] == 0;
      dv[i].attr_ref = nullptr; /* unload */
      dv[i].flags = fixed ? DV_FIXED : 0;
      if (fixed) rhs = fast ? rhs - cmin[i] : c.sub(rhs, cmin[i]);
    }
    b->rhs = rhs;
    return 1;
  }
  b->gcd_ones = 0; /* the targets may be more than the last refresh_gcd saw */
  if (rebuild_small(b)) return 1;
  b->fast = 0;
  b->units = b->nonunits = 0;
  bool slacks = b->op != OP_NE, fast = slacks;
  b->bigf = b->rhs;
  b->bige = slacks ? c.sub(0, b->rhs) : 0;
  for (int k = 0; k < b->ntargets; k++) {
    int i = b->target[k];
    const TAGGED *dom = StrPtr(fd_attr_dom(b->refbase[2 * i].term));
    TAGGED min = deref(dom[2]), max = deref(dom[3]);
    unload(b, i, min == max);
    int64_t lo, hi; /* in registers: the stores below are not read back at once */
    contribution(api, b, i, min, max, &lo, &hi);
    b->cmin[i] = lo;
    b->cmax[i] = hi;
    b->interval[i] = hi - lo;
    if (slacks) {
      place(b, k, i);
      b->bigf = c.sub(b->bigf, lo);
      b->bige = c.add(b->bige, hi);
    }
    fast = fast && fits32(lo) && fits32(hi) && fits32(hi - lo);
    if (hi != lo)
      count_unfixed(b, i, 1);
    else
      b->rhs = c.sub(b->rhs, lo);
  }
  b->heapsize = slacks ? b->ntargets : 0;
  for (int pos = (b->heapsize - 2) / 2; pos >= 0; pos--) sift_down(b, pos);
  b->fast = fast && fits32(b->bige) && fits32(b->bigf) && fits32(b->rhs);
  return 1;
}

/* ---- pruning ---- */

void refresh_gcd(linear_data *b);
bool divides(int32_t g, int64_t v);

/* Term i's view was narrowed (or, beyond the small-integer range, only its contribution): the
 * slacks and the heap follow, a term now fixed is folded into rhs. 0 on overflow, or when the
 * fixed term leaves an equation whose other coefficients' gcd does not divide the residual RHS:
 * the bound rules alone would close in on that by rounding steps, as many as the range is wide. */
int narrowed(ORVALIS_API_STRUCT *api, linear_data *b, int i, int64_t lo, int64_t hi)
{
  set_contribution(b, checked{api}, i, lo, hi);
  shrunk(b, b->vheap[i]);
  if (!unfixed(b, i)) {
    b->rhs = b->fast ? b->rhs - lo : checked{api}.sub(b->rhs, lo);
    count_unfixed(b, i, -1);
    if (b->op == OP_EQ) {
      refresh_gcd(b);
      if (!divides(b->gcdall, b->rhs)) return 0;
    }
  }
  return !overflowed(api);
}

/* Restricts term i to lo..hi (untagged small integers or the infinities) and updates it;
 * 0 when the domain empties. */
int restrict_term(ORVALIS_API_STRUCT *api, linear_data *b, int i, TAGGED lo, TAGGED hi)
{
  dvar *d = view(b, i);
  if (dvar_fix_interval_t(d, lo, hi) < 0) return 0;
  int64_t cmin, cmax;
  if (b->fast) { /* within the old contribution */
    contribution32(b, i, d->min, d->max, &cmin, &cmax);
    return narrowed(api, b, i, cmin, cmax);
  }
  contribution(api, b, i, d->min, d->max, &cmin, &cmax);
  /* a contribution narrowed beyond what an infinite bound gives stays narrowed */
  return narrowed(api, b, i, std::max(cmin, b->cmin[i]), std::min(cmax, b->cmax[i]));
}

/* A new lower (is_lower) or upper bound for term i's variable, from the at-least (limits_min)
 * or the at-most step: restricts the variable when the bound is a small integer; beyond the range
 * on the emptying side it is an overflow. Beyond it on the other side the domain stays, and the
 * contribution moves to that of the value just outside the range: every value lies within, and
 * the contribution cannot creep towards the range by rounding steps, one per run of the loop.
 * 0 on failure. */
int apply_bound(ORVALIS_API_STRUCT *api, linear_data *b, int i, int64_t bound, bool is_lower,
                bool limits_min)
{
  if (SmallFits(bound)) {
    TAGGED v = MakeSmall((int32_t)bound);
    return restrict_term(api, b, i, is_lower ? v : atom_inf, is_lower ? atom_sup : v);
  }
  if (is_lower == (bound > QX_SMALL_MAX)) {
    fd_state(api)->fd_overflow = 1;
    return 0;
  }
  int64_t edge = (int64_t)b->coeff[i] * (is_lower ? QX_SMALL_MIN - 1LL : QX_SMALL_MAX + 1LL);
  if (limits_min) return narrowed(api, b, i, std::max(edge, b->cmin[i]), b->cmax[i]);
  return narrowed(api, b, i, b->cmin[i], std::min(edge, b->cmax[i]));
}

/* -q, saturating: a bound that stays beyond the range on the same side. */
int64_t negate(int64_t q) { return q == INT64_MIN ? INT64_MAX : -q; }

/* The at-least step on the top term i: its minimum contribution rises to cmax - bige. */
int scalar_product_ge(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  if (b->bige < 0) return 0;
  int64_t q = ceil_div(checked{api}.sub(b->cmax[i], b->bige), b->abscoeff[i]);
  if (overflowed(api)) return 0;
  bool positive = b->coeff[i] > 0;
  return apply_bound(api, b, i, positive ? q : negate(q), positive, true);
}

/* The at-most step on the top term i: its maximum contribution falls to cmin + bigf. */
int scalar_product_le(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  if (b->bigf < 0) return 0;
  int64_t q = floor_div(checked{api}.add(b->cmin[i], b->bigf), b->abscoeff[i]);
  if (overflowed(api)) return 0;
  bool positive = b->coeff[i] > 0;
  return apply_bound(api, b, i, positive ? q : negate(q), !positive, false);
}

/* The 32-bit forms: every quantity fits, so the new bound lies within the old ones. */
int scalar_product_ge_fast(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  if (b->bige < 0) return 0;
  const dvar *d = view(b, i);
  int32_t a = b->coeff[i], room = (int32_t)b->bige;
  if (a > 0) return restrict_term(api, b, i, MakeSmall(GetSmall(d->max) - room / a), atom_sup);
  return restrict_term(api, b, i, atom_inf, MakeSmall(GetSmall(d->min) + room / -a));
}

int scalar_product_le_fast(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  if (b->bigf < 0) return 0;
  const dvar *d = view(b, i);
  int32_t a = b->coeff[i], room = (int32_t)b->bigf;
  if (a > 0) return restrict_term(api, b, i, atom_inf, MakeSmall(GetSmall(d->min) + room / a));
  return restrict_term(api, b, i, MakeSmall(GetSmall(d->max) + room / a), atom_sup);
}

int step_ge(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  return b->fast ? scalar_product_ge_fast(api, b, i) : scalar_product_ge(api, b, i);
}
int step_le(ORVALIS_API_STRUCT *api, linear_data *b, int i)
{
  return b->fast ? scalar_product_le_fast(api, b, i) : scalar_product_le(api, b, i);
}

/* ---- divisibility ---- */

/* gcdall := the gcd of the unfixed targets' coefficients (1 when units make it useless); gcd[i]
 * := the gcd of the other unfixed targets' coefficients. */
void refresh_gcd(linear_data *b)
{
  b->gcdall = 1;
  if (b->nonunits == 0) return;
  if (b->units >= 1) {
    if (!b->gcd_ones)
      for (int k = 0; k < b->ntargets; k++) b->gcd[b->target[k]] = 1;
    b->gcd_ones = 1;
    if (b->units >= 2) return;
    b->gcd_ones = 0;
    int g = 0, unit = -1;
    for (int k = 0; k < b->ntargets; k++) {
      int i = b->target[k];
      if (!unfixed(b, i)) continue;
      if (b->abscoeff[i] == 1)
        unit = i;
      else
        g = gcd2(g, b->abscoeff[i]);
    }
    if (unit >= 0) b->gcd[unit] = g;
    return;
  }
  /* prefix gcds forwards into gcd[], then suffix gcds backwards */
  b->gcd_ones = 0;
  int g = 0;
  for (int k = 0; k < b->ntargets; k++) {
    int i = b->target[k];
    if (!unfixed(b, i)) continue;
    b->gcd[i] = g;
    g = gcd2(g, b->abscoeff[i]);
  }
  b->gcdall = g;
  g = 0;
  for (int k = b->ntargets - 1; k >= 0; k--) {
    int i = b->target[k];
    if (!unfixed(b, i)) continue;
    b->gcd[i] = gcd2(b->gcd[i], g);
    g = gcd2(g, b->abscoeff[i]);
  }
}

/* The smallest non-negative x with a*x congruent to b modulo m (0 < a < m, 0 <= b < m, a
 * solution exists). */
int64_t solve_gcd(int64_t a, int64_t b, int64_t m)
{
  if (b == 0) return 0;
  if (b % a == 0) return b / a;
  return (solve_gcd(m % a, a - b % a, a) * m + b) / a;
}

/* The congruence classes of the variables: 1 when some variable moved, 0 when none did, -1 on
 * failure. */
int congruences(ORVALIS_API_STRUCT *api, linear_data *b)
{
  for (int k = 0; k < b->ntargets; k++) {
    int i = b->target[k];
    if (!unfixed(b, i) || b->gcd[i] <= b->gcdall) continue;
    const dvar *d = view(b, i);
    if (!IsSmall(d->min) || !IsSmall(d->max)) continue;
    int64_t g = b->gcd[i], step = g / b->gcdall;
    int64_t r = floor_mod(b->rhs, g), a = floor_mod(b->abscoeff[i], g);
    if (b->coeff[i] < 0) r = (g - r) % g;
    int64_t x0 = solve_gcd(a, r, g) % step;
    int64_t lo = GetSmall(d->min), hi = GetSmall(d->max);
    int64_t nlo = lo + floor_mod(x0 - lo, step), nhi = hi - floor_mod(hi - x0, step);
    if (nlo > nhi) return -1;
    if (nlo == lo && nhi == hi) continue;
    if (!restrict_term(api, b, i, MakeSmall((int32_t)nlo), MakeSmall((int32_t)nhi))) return -1;
    return 1;
  }
  return 0;
}

bool divides(int32_t g, int64_t v) { return g < 2 || floor_mod(v, g) == 0; }

/* The main loop of a relation: 1 entailed, 0 suspended, -1 failed. */
int propagate_op(ORVALIS_API_STRUCT *api, linear_data *b)
{
  switch (b->op) {
  case OP_GE:
    for (int i; b->heapsize > 0 && b->interval[i = top_term(b)] > b->bige;)
      if (!step_ge(api, b, i)) return -1;
    return b->bige < 0 ? -1 : b->bigf <= 0 ? 1 : 0;
  case OP_LE:
    for (int i; b->heapsize > 0 && b->interval[i = top_term(b)] > b->bigf;)
      if (!step_le(api, b, i)) return -1;
    return b->bigf < 0 ? -1 : b->bige <= 0 ? 1 : 0;
  case OP_EQ:
    for (;;) {
      while (b->heapsize > 0) {
        int i = top_term(b);
        int64_t top = b->interval[i];
        int ok;
        if (top > b->bigf)
          ok = step_le(api, b, i);
        else if (top > b->bige)
          ok = step_ge(api, b, i);
        else
          break;
        if (!ok) return -1;
      }
      refresh_gcd(b);
      if (!divides(b->gcdall, b->rhs)) return -1;
      if (b->units >= 2) break;
      int moved = congruences(api, b);
      if (moved < 0) return -1;
      if (moved == 0) break;
    }
    if (b->bigf < 0 || b->bige < 0) return -1;
    return b->bigf == 0 && b->bige == 0 ? 1 : 0;
  default: {
    int count = b->units + b->nonunits;
    if (count == 0) return b->rhs == 0 ? -1 : 1;
    if (count > 1) return 0;
    for (int k = 0; k < b->ntargets; k++) {
      int i = b->target[k];
      if (!unfixed(b, i)) continue;
      int32_t a = b->abscoeff[i];
      if (a != 1 && floor_mod(b->rhs, a) != 0) return 1;
      int64_t q = a == 1 ? b->rhs : b->rhs / a;
      int64_t v = b->coeff[i] < 0 ? negate(q) : q;
      if (!SmallFits(v)) return 1; /* no value of the domain */
      /* the view is as loaded: its set is the domain */
      if (!fd_member(MakeSmall((int32_t)v), view(b, i)->set)) return 1;
      return dvar_prune_interval_t(api, &b->dv[i], MakeSmall((int32_t)v), MakeSmall((int32_t)v),
                                   fd_worker(api)) < 0
                 ? -1
                 : 1;
    }
    return 1;
  }
  }
}

bool changed(const dvar *d)
{
  return (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) != 0;
}

/* No target was fixed (to be folded into the RHS) or narrowed. */
bool untouched(const linear_data *b)
{
  for (int k = 0; k < b->ntargets; k++) {
    int i = b->target[k];
    if (!unfixed(b, i) || changed(&b->dv[i])) return false;
  }
  return true;
}

/* Unfixed targets first; every changed view localised, then exported (an export may collect). */
void export_targets(ORVALIS_API_STRUCT *api, worker *w, linear_data *b)
{
  int32_t *target = b->target; /* the block's arrays stay where they are */
  dvar *dv = b->dv;
  int n = b->ntargets, live = 0, changes = 0;
  for (int k = 0; k < n; k++) {
    int i = target[k];
    dvar *d = &dv[i];
    if (changed(d)) {
      dvar_pruning_done(api, w, d);
      changes++;
    }
    if (!(d->flags & DV_FIXED)) {
      target[k] = target[live];
      target[live++] = i;
    }
  }
  for (int k = 0; changes > 0 && k < n; k++)
    if (changed(&dv[target[k]])) {
      dvar_export_do(api, w, &dv[target[k]]);
      changes--;
    }
  b->ntargets = live;
}

/* The residual RHS and the count of dropped terms into the output state (w->term[0]). */
void write_back(ORVALIS_API_STRUCT *api, worker *w, const linear_data *b)
{
  fd_room(api, w, WRITE_BACK_WORDS);
  TAGGED rhs = fd_make_int64(w, b->rhs);
  TAGGED *state = StrPtr(deref(w->term[0]));
  state[3] = rhs;
  state[4] = MakeSmall(b->nvars - b->ntargets);
}

/* The block of a Handle [V | '$free'(Block)] with V unbound, as a later run's state holds it; null
 * for anything else. The words the kernel writes are read as they are: a reference in their place
 * only takes the general run. */
inline linear_data *handle_block(TAGGED h)
{
  if (!IsLst(h) || !IsUnbound(LstPtr(h))) return nullptr;
  TAGGED f = LstTail(h);
  if (!IsStr(f) || StrFunctor(f) != functor_free1 || !IsSmall(StrArg(f, 1))) return nullptr;
  return (linear_data *)fd_word_address(StrArg(f, 1));
}

/* The block of a later run of a two-term disequation whose state is as its runs leave it:
 * s(_, 4, RHS, 0, Handle, Stamp) with RHS and Stamp small integers, a live block of its own
 * relation and size and no overflow kept; null for any other state (the general run checks it). */
linear_data *two_term_ne_block(TAGGED s)
{
  if (!IsStr(s) || IsBox(s) || Arity(StrFunctor(s)) != 6) return nullptr;
  const TAGGED *arg = StrPtr(s);
  if (arg[2] != MakeSmall(OP_NE) || arg[4] != MakeSmall(0) || !IsSmall(arg[3]) || !IsSmall(arg[6]))
    return nullptr;
  linear_data *b = handle_block(deref(arg[5]));
  return b && b->op == OP_NE && b->nvars == 2 && !b->overflow ? b : nullptr;
}

/* The block of a later run of a two-term relation at most, at least or equal whose state is
 * s(_, Rel, RHS, Dropped, Handle, Stamp) with small integers, Rel the live block's and no overflow
 * kept: either its daemons kept the block current (its stamp the state's) in the 32-bit form with
 * both terms unfolded, or it is rebuilt from a state with nothing dropped. Null for anything else. */
linear_data *two_term_block(TAGGED s)
{
  if (!IsStr(s) || IsBox(s) || Arity(StrFunctor(s)) != 6) return nullptr;
  const TAGGED *arg = StrPtr(s);
  /* Rel is checked against the block's */
  if (!IsSmall(arg[3]) || !IsSmall(arg[4]) || !IsSmall(arg[6])) return nullptr;
  linear_data *b = handle_block(deref(arg[5]));
  if (!b || arg[2] != MakeSmall(b->op) || b->op == OP_NE || b->nvars != 2 || b->overflow)
    return nullptr;
  if (arg[6] != MakeSmall(b->stamp)) return arg[4] == MakeSmall(0) ? b : nullptr;
  return b->ntargets == 2 && b->heapsize == 2 && b->fast && (uint32_t)GetSmall(arg[4]) <= 2 ? b
                                                                                          : nullptr;
}

/* What a disequation c0*x0 + c1*y1 != rhs leaves to do once a variable is fixed, given the
 * domain records of both terms as the kernel writes them: 1 entailed, -1 failed, 0 when term *other
 * is to lose the value *v (between its bounds), 2 when neither variable is fixed, a bound is a
 * reference, a product leaves 32 bits or the other's domain has an infinite bound. */
[[gnu::always_inline]] inline int ne_decide(TAGGED *const dom[2], const int32_t coeff[2],
                                            int32_t rhs, int *other, int32_t *v)
{
  TAGGED lo[2] = {dom[0][2], dom[1][2]}, hi[2] = {dom[0][3], dom[1][3]};
  if (IsRef(lo[0]) || IsRef(hi[0]) || IsRef(lo[1]) || IsRef(hi[1])) return 2;
  int fixed = lo[0] == hi[0] ? 0 : lo[1] == hi[1] ? 1 : -1;
  if (fixed < 0) return 2;
  *other = 1 - fixed;
  TAGGED min = lo[*other], max = hi[*other];
  int32_t a = coeff[*other], rest, product;
  if (__builtin_mul_overflow(coeff[fixed], GetSmall(lo[fixed]), &rest) ||
      __builtin_sub_overflow(rhs, rest, &rest))
    return 2;
  if (min == max)
    return __builtin_mul_overflow(a, GetSmall(min), &product) || product != rest ? 1 : -1;
  /* the value that goes: none when a does not divide rest, or beyond the small integers */
  if (a == -1 ? __builtin_sub_overflow(0, rest, v) : a != 1 && rest % a != 0) return 1;
  if (a != -1) *v = a == 1 ? rest : rest / a;
  if (!SmallFits(*v)) return 1;
  if (!IsSmall(min) || !IsSmall(max)) return 2;
  if (*v < GetSmall(min) || *v > GetSmall(max)) return 1;
  return 0;
}

/* Removes v from the domain record dom of the variable var with attribute attr, told straight to
 * the domain and woken: 1; 2, having done nothing, in debugging mode (the general run's exports are
 * then actions) or for a domain the direct removal does not take. */
int ne_remove(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t v, TAGGED attr, TAGGED var)
{
  if (fd_state(api)->debugging) return 2;
  w->term[3] = attr;
  w->term[4] = var;
  int mask = fd_tell_remove_inside(api, w, dom, v); /* nothing above collects */
  if (mask < 0) return 2;
  if (mask & 7) fd_told(api, w, mask & 7, 0);
  return 1;
}

/* A two-term disequation a*x + b*y != rhs woken once a variable was fixed (it waits on their Val
 * lists): the value the other must not take goes, told straight to its domain, and it is
 * entailed. The bounds are read from the domain records as the kernel writes them: no view is
 * loaded. 1 entailed, -1 failed, 2, having done nothing, where ne_decide or ne_remove leaves it to
 * the general run. */
int run_two_term_ne(ORVALIS_API_STRUCT *api, worker *w, linear_data *b, int32_t rhs)
{
  TAGGED *dom[2] = {term_dom(b, 0), term_dom(b, 1)};
  int other;
  int32_t v;
  int outcome = ne_decide(dom, b->coeff, rhs, &other, &v);
  if (outcome != 0) return outcome;
  return ne_remove(api, w, dom[other], v, b->refbase[2 * other].term,
                   deref(b->refbase[2 * other + 1].term));
}

/* ---- disequations of one or two terms without a block ---- */

/* The domain record of a term fixed at 0: the absent second term of a one-term disequation. */
const TAGGED ZERO_DOM[5] = {FD_FUNCTOR_DOM4, atom_nil, MakeSmall(0), MakeSmall(0), MakeSmall(1)};

/* The Stamp of a disequation's state whose first run linked the global to its variables' Val lists
 * (posting gives 0, and copies only ever raise a stamp). */
const TAGGED NE_LINKED = MakeSmall(-1);

/* The terms of a disequation's state s(Terms, 4, RHS, 0, Handle, Stamp), the Handle unbound and
 * RHS and Stamp small integers, as read by ne_read. */
struct ne_state {
  int n;
  int32_t rhs, coeff[2];
  const TAGGED *term[2]; /* the arguments of each t(A, X, XA) */
  TAGGED stamp;
  TAGGED *dom[2];
  TAGGED usual[2]; /* XA where ne_term_first's usual_dom took it, else 0 */
};

/* fd_plain_dom and fd_usual_dom of a dereferenced attribute in one, always in line (the compiler
 * leaves them out of line here otherwise): the usual attribute's dom/4 record, or 0. */
[[gnu::always_inline]] inline TAGGED usual_dom(TAGGED attr)
{
  if (!IsStr(attr) || StrFunctor(attr) != functor_v4) return 0;
  TAGGED dom = fd_attr_own_dom(attr), l = StrArg(attr, 4);
  if (!dom) return 0;
  if (l != MakeSmall(0)) {
    if (!IsStr(l) || StrFunctor(l) != functor_mutable2) return 0;
    TAGGED record = StrArg(l, 1);
    if (!IsStr(record) || StrFunctor(record) != functor_fdlists7 ||
        !fd_both_small(StrArg(record, 1), StrArg(record, 2)))
      return 0;
  }
  const TAGGED *d = StrPtr(dom);
  return fd_usual_dom_words(d, d[1], d[2], d[3]) ? dom : 0;
}

/* The dom/4 record of a well-formed attribute, or 0: fd_well_formed_attribute and fd_attr_dom,
 * the usual attribute's read in one look. Out of line: the linked runs' code stays short. */
[[gnu::noinline]] TAGGED well_formed_dom(TAGGED attr)
{
  attr = deref(attr);
  TAGGED dom = fd_plain_dom(attr);
  if (dom && fd_usual_dom(dom)) return dom;
  return fd_well_formed_attribute_general(attr, dom) ? fd_attr_dom(attr) : 0;
}

/* Term n of a state's terms list, t(A, X, XA) read through references, into t: A a nonzero small
 * integer, X a variable (or, where values, a small integer) and XA well-formed, the usual
 * attribute read in line. False for anything else. */
[[gnu::always_inline]] inline bool read_term(TAGGED term, ne_state *t, int n, bool values)
{
  term = deref(term);
  if (!IsStr(term) || IsBox(term) || Arity(StrFunctor(term)) < 3) return false;
  TAGGED a = deref(StrArg(term, 1)), x = deref(StrArg(term, 2)), attr = deref(StrArg(term, 3));
  if (!IsSmall(a) || a == MakeSmall(0) || !(IsVar(x) || (values && IsSmall(x)))) return false;
  TAGGED dom = usual_dom(attr);
  if (!dom && !(dom = well_formed_dom(attr))) return false;
  t->coeff[n] = GetSmall(a);
  t->term[n] = StrPtr(term);
  t->dom[n] = StrPtr(dom);
  t->usual[n] = 0; /* its shapes are looked at again where it is linked */
  return true;
}

/* The terms list of a state into t, read_term taking each: its length, at most two, or -1 for
 * anything else (a longer or improper list, a term read_term refuses). */
[[gnu::always_inline]] inline int read_terms(TAGGED list, ne_state *t, bool values)
{
  int n = 0;
  for (list = deref(list); IsLst(list) && n < 2; list = deref(LstTail(list)), n++)
    if (!read_term(LstHead(list), t, n, values)) return -1;
  t->n = n;
  return list == atom_nil ? n : -1;
}

/* Reads s as an ne_state: one or two terms t(A, X, XA) with A a nonzero small integer, X a
 * variable or small integer and XA well-formed; false for anything else (the general run
 * decides). */
bool ne_read(TAGGED s, ne_state *t)
{
  const TAGGED *arg = StrPtr(s);
  if (Arity(StrFunctor(s)) != 6 || deref(arg[2]) != MakeSmall(OP_NE) ||
      deref(arg[4]) != MakeSmall(0) || !IsVar(deref(arg[5])))
    return false;
  TAGGED rhs = deref(arg[3]), list = deref(arg[1]);
  t->stamp = deref(arg[6]);
  if (!IsSmall(rhs) || !IsSmall(t->stamp)) return false;
  t->rhs = GetSmall(rhs);
  t->dom[1] = const_cast<TAGGED *>(ZERO_DOM);
  t->coeff[1] = 1;
  return read_terms(list, t, true) > 0;
}

/* One term of a linked state read as ne_read_linked takes it: t(A, X, XA) with its words as the
 * first run found them, A a small integer and XA a v/4 record, the usual one or well-formed. */
[[gnu::always_inline]] inline bool ne_term_linked(TAGGED term, ne_state *t, int i)
{
  if (!IsStr(term) || IsBox(term) || Arity(StrFunctor(term)) < 3) return false;
  const TAGGED *arg = StrPtr(term);
  TAGGED attr = arg[3];
  if (!IsSmall(arg[1]) || !IsStr(attr) || StrFunctor(attr) != functor_v4) return false;
  TAGGED dom = fd_attr_own_dom(attr); /* the usual attribute, read in one look */
  if (!dom && !(dom = well_formed_dom(attr))) return false;
  t->coeff[i] = GetSmall(arg[1]);
  t->term[i] = arg;
  t->dom[i] = StrPtr(dom);
  return true;
}

/* One term of a state not yet linked read as ne_read reads it, the words of t(A, X, XA) taken as
 * they are but for X's: A a nonzero small integer, X a variable or small integer and XA
 * well-formed. False for anything else (ne_read decides). */
[[gnu::always_inline]] inline bool ne_term_first(TAGGED term, ne_state *t, int i)
{
  if (!IsStr(term) || IsBox(term) || Arity(StrFunctor(term)) < 3) return false;
  const TAGGED *arg = StrPtr(term);
  TAGGED a = arg[1], x = deref(arg[2]), attr = arg[3];
  if (!IsSmall(a) || a == MakeSmall(0) || (!IsVar(x) && !IsSmall(x))) return false;
  TAGGED dom = usual_dom(attr);
  t->usual[i] = dom ? attr : 0;
  if (!dom && !(dom = well_formed_dom(attr))) return false;
  t->coeff[i] = GetSmall(a);
  t->term[i] = arg;
  t->dom[i] = StrPtr(dom);
  return true;
}

/* The two terms of a two-term state whose list cells are the usual ones (no reference in their
 * place), each read by term (ne_term_linked or ne_term_first), and its RHS, a small integer. */
template <bool (*term)(TAGGED, ne_state *, int)>
[[gnu::always_inline]] inline bool ne_read_terms(const TAGGED *arg, ne_state *t)
{
  if (!IsLst(arg[1])) return false;
  const TAGGED *first = LstPtr(arg[1]);
  if (!IsLst(first[1])) return false;
  const TAGGED *second = LstPtr(first[1]);
  if (second[1] != atom_nil || !term(first[0], t, 0) || !term(second[0], t, 1)) return false;
  t->n = 2;
  t->rhs = GetSmall(arg[3]);
  return true;
}

/* ne_read for a linked two-term state of relation rel (its word) whose words are the usual ones
 * (no reference in their place): a later run's read without the checks its first run made. False
 * for anything else (ne_read_first, ne_read or pair_read decides). */
[[gnu::always_inline]] inline bool ne_read_linked(TAGGED s, TAGGED rel, ne_state *t)
{
  const TAGGED *arg = StrPtr(s);
  if (Arity(StrFunctor(s)) != 6 || arg[6] != NE_LINKED || arg[2] != rel ||
      arg[4] != MakeSmall(0) || !IsSmall(arg[3]) || !IsVar(deref(arg[5])) ||
      !ne_read_terms<ne_term_linked>(arg, t))
    return false;
  t->stamp = NE_LINKED;
  return true;
}

/* ne_read for a two-term state not yet linked whose words are the usual ones (no reference in
 * their place but the Handle's and the variables'), with ne_read's checks. False for anything
 * else (ne_read decides). */
[[gnu::always_inline]] inline bool ne_read_first(TAGGED s, ne_state *t)
{
  const TAGGED *arg = StrPtr(s);
  if (Arity(StrFunctor(s)) != 6 || arg[2] != MakeSmall(OP_NE) || arg[4] != MakeSmall(0) ||
      !IsSmall(arg[3]) || !IsSmall(arg[6]) || arg[6] == NE_LINKED || !IsVar(deref(arg[5])) ||
      !ne_read_terms<ne_term_first>(arg, t))
    return false;
  t->stamp = arg[6];
  return true;
}

bool changed(const dvar *d);

/* The general run's work on a disequation read by ne_read (the state in w->term[0]): fixed terms
 * folded in 64 bits, entailed when the gcd of the unfixed coefficients does not divide the rest,
 * the value the one unfixed term must not take pruned from its view and exported. 1 entailed, 0
 * suspended, -1 failed. */
[[gnu::noinline]] int ne_general(ORVALIS_API_STRUCT *api, worker *w, const ne_state &t)
{
  int64_t rest = t.rhs;
  int count = 0, units = 0, live = 0;
  int32_t g = 0;
  for (int i = 0; i < t.n; i++) {
    TAGGED min = deref(t.dom[i][2]), max = deref(t.dom[i][3]);
    int32_t a = std::abs(t.coeff[i]);
    if (min == max) {
      rest -= (int64_t)t.coeff[i] * GetSmall(min);
      continue;
    }
    count++;
    live = i;
    units += a == 1;
    g = gcd2(g, a);
  }
  if (units == 0 && count > 0 && !divides(g, rest)) return 1;
  if (count != 1) return count == 0 ? (rest == 0 ? -1 : 1) : 0;
  int32_t a = std::abs(t.coeff[live]);
  int64_t q = a == 1 ? rest : rest / a, v = t.coeff[live] < 0 ? negate(q) : q;
  if (!SmallFits(v)) return 1; /* no value of the domain */
  QX_term_ref refs = fd_new_refs(api, 2);
  fd_ref_put(api, refs, deref(t.term[live][3]));
  fd_ref_put(api, refs + 1, deref(t.term[live][2]));
  dvar d;
  dvar_init(&d, fd_ref_slot(api, refs), fd_ref_slot(api, refs + 1));
  int outcome = 1;
  if (fd_member(MakeSmall((int32_t)v), d.set)) {
    if (dvar_prune_interval_t(api, &d, MakeSmall((int32_t)v), MakeSmall((int32_t)v), w) < 0) {
      outcome = -1;
    } else if (changed(&d)) {
      dvar_pruning_done(api, w, &d);
      dvar_export_do(api, w, &d);
    }
  }
  QX_reset_term_refs(refs);
  return outcome;
}

/* fd_link of entry, a -(Vars, Susp) record, onto the Val list of the dereferenced term var, for
 * the suspension record the kernel makes: a v/4 attribute that ends its alias chain, whose lists
 * mutable holds a '$fdlists' record made since the newest choicepoint (changed in place then) with
 * small Count and Mask, and a Val list whose first suspension is alive. The record ends as fd_link
 * leaves it. False, having done nothing, for anything else (fd_link decides). The caller made 2
 * heap words free. */
[[gnu::always_inline]] inline bool link_val_usual(ORVALIS_API_STRUCT *api, worker *w, TAGGED var,
                                                  TAGGED entry, TAGGED known = 0)
{
  if (!IsVar(var)) return false;
  TAGGED attr = fd_var_attribute(api, w, var);
  /* known: an attribute usual_dom took, whose record shapes need no second look */
  bool usual = attr && attr == known;
  if (!usual && (!attr || !IsStr(attr) || StrFunctor(attr) != functor_v4 || !fd_attr_own_dom(attr)))
    return false;
  TAGGED l = StrArg(attr, 4);
  if (usual ? l == MakeSmall(0) : !IsStr(l) || StrFunctor(l) != functor_mutable2) return false;
  TAGGED lists = StrArg(l, 1);
  if (!usual && (!IsStr(lists) || StrFunctor(lists) != functor_fdlists7)) return false;
  if (StrPtr(lists) < w->global_uncond) return false;
  TAGGED *record = StrPtr(lists);
  TAGGED count = record[FD_LISTS_COUNT], mask = record[FD_LISTS_MASK];
  TAGGED list = record[FD_LISTS_FIRST + 4];
  if ((!usual && !fd_both_small(count, mask)) || IsRef(list)) return false;
  if (IsLst(list)) { /* the first suspension: fd_link drops it when dead */
    TAGGED e = LstHead(list);
    if (!IsStr(e) || StrFunctor(e) != functor_minus2) return false;
    e = StrArg(e, 2);
    if (!IsStr(e) || fd_dead(e)) return false;
  }
  TAGGED *cell = fd_heap_words(w, 2);
  cell[0] = entry;
  cell[1] = list;
  record[FD_LISTS_FIRST + 4] = MakeLst(cell);
  record[FD_LISTS_COUNT] = count + (MakeSmall(1) - MakeSmall(0));
  record[FD_LISTS_MASK] = mask | (MakeSmall(FD_WAKE_VAL) - MakeSmall(0));
  return true;
}

/* The first run of a two-term relation that suspends: the state in w->term[0] marked linked (the
 * Stamp NE_LINKED; a state older than the newest choicepoint is copied first, which may collect)
 * and heap room made for the links, which then do not collect; the variables of its two terms. */
void link_start(ORVALIS_API_STRUCT *api, worker *w, TAGGED *x, TAGGED *y)
{
  if (StrPtr(deref(w->term[0])) < w->global_uncond) fd_output_stamp_general(api, w);
  StrPtr(deref(w->term[0]))[6] = NE_LINKED;
  fd_room(api, w, 2 * LINK_WORDS);
  TAGGED list = deref(StrArg(deref(w->term[0]), 1));
  *x = deref(StrArg(deref(LstHead(list)), 2));
  *y = deref(StrArg(deref(LstHead(deref(LstTail(list)))), 2));
}

/* The first run of a two-term disequation with both variables unfixed: the global waits on their
 * Val lists, as link_global makes it, and the state (copied when older than the newest
 * choicepoint) gets the Stamp NE_LINKED. */
[[gnu::always_inline]] inline void ne_link_vars(ORVALIS_API_STRUCT *api, worker *w, TAGGED x,
                                                TAGGED y, TAGGED xa = 0, TAGGED ya = 0)
{
  /* both Val lists hold the one entry -([], Global) that fd_link would make for each */
  TAGGED *entry = fd_heap_words(w, 3);
  entry[0] = functor_minus2;
  entry[1] = atom_nil;
  entry[2] = deref(w->term[1]);
  if (!link_val_usual(api, w, x, MakeStr(entry), xa))
    fd_link(api, w, x, fd_state(api)->functor_val, MakeStr(entry));
  if (!link_val_usual(api, w, y, MakeStr(entry), ya))
    fd_link(api, w, y, fd_state(api)->functor_val, MakeStr(entry));
}
[[gnu::noinline]] void ne_link(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED x, y;
  link_start(api, w, &x, &y);
  ne_link_vars(api, w, x, y);
}

/* Whether t has two terms, both unfixed. */
inline bool both_unfixed(const ne_state &t)
{
  return t.n == 2 && deref(t.dom[0][2]) != deref(t.dom[0][3]) &&
         deref(t.dom[1][2]) != deref(t.dom[1][3]);
}
inline int32_t pair_gcd(const ne_state &t)
{
  return gcd2(std::abs(t.coeff[0]), std::abs(t.coeff[1]));
}

/* A run of a disequation read into t that does not link it, where a fixed term (or the only term)
 * leaves one value for the other to lose, told straight to its domain: as ne_run answers, 2
 * having done nothing where the general run's work is needed. No action is made. */
[[gnu::always_inline]] inline int ne_step(ORVALIS_API_STRUCT *api, worker *w, const ne_state &t)
{
  int other;
  int32_t v;
  int outcome = ne_decide(t.dom, t.coeff, t.rhs, &other, &v);
  if (outcome == 0)
    outcome = ne_remove(api, w, t.dom[other], v, deref(t.term[other][3]), deref(t.term[other][2]));
  return outcome;
}

/* A run of a disequation of one or two terms that needs no block: its state keeps its terms and
 * an unbound Handle, and a two-term one waits on its variables' Val lists from its first run on
 * (the Stamp NE_LINKED). A term fixed (or the only term) leaves one value for the other to lose,
 * told straight to its domain where ne_decide and ne_remove take it; the first run of two unfixed
 * terms links them unless the gcd of their coefficients entails it. 1 entailed, 0 suspended, -1
 * failed; 2, having done nothing, for any other state (the general run checks it and raises the
 * errors) or a first run with an overflow pending. */
[[gnu::always_inline]] inline int ne_run(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  ne_state t;
  if (!ne_read_linked(s, MakeSmall(OP_NE), &t) && !ne_read_first(s, &t) && !ne_read(s, &t))
    return 2;
  bool pending = fd_state(api)->fd_overflow != 0;
  if (t.stamp != NE_LINKED && pending) return 2;
  if (t.stamp != NE_LINKED && both_unfixed(t)) {
    if (!divides(pair_gcd(t), t.rhs)) return 1;
    ne_link(api, w);
    return 0;
  }
  int outcome = ne_step(api, w, t);
  if (outcome != 2) return outcome;
  return pending ? -1 : ne_general(api, w, t); /* as the general run fails with an overflow */
}

/* ---- relations of two terms at most, at least or equal without a block ---- */

/* A relation a*x + b*y Rel rhs at most or at least, or an equation of unit coefficients other
 * than x = y (exported as an equality), on two variables with small bounds, needs no block: its
 * state keeps its terms and an unbound Handle, and from its first run on the global itself waits
 * on the lists of the bound changes that can narrow the other term (the Stamp NE_LINKED). Each run
 * reads the bounds from the domain records, narrows them to bounds consistency and tells the
 * narrowed ones straight to the domains (through views where a domain to narrow has holes):
 * nothing is allocated, folded or written back, and no daemon decides a wake. */

/* Whether the general run takes both products of a and a term's bounds without an overflow. */
inline bool products_fit(int32_t a, int32_t lo, int32_t hi)
{
  return fd_product_in_range((int64_t)a * lo) && fd_product_in_range((int64_t)a * hi);
}

/* The length of list when it is a proper list of one or two elements, else 0. */
inline int short_length(TAGGED list)
{
  list = deref(list);
  if (!IsLst(list)) return 0;
  TAGGED rest = deref(LstTail(list));
  if (rest == atom_nil) return 1;
  return IsLst(rest) && deref(LstTail(rest)) == atom_nil ? 2 : 0;
}

/* Reads s as a relation of two terms for pair_run: s(Terms, Rel, RHS, 0, Handle, Stamp) with Rel
 * at most, at least or equal, RHS and Stamp small integers, the Handle unbound and exactly two
 * terms t(A, X, XA) as ne_read takes them, X a variable; false for anything else (the general
 * run decides). */
bool pair_read(TAGGED s, ne_state *t, int *op)
{
  const TAGGED *arg = StrPtr(s);
  TAGGED rel = deref(arg[2]), rhs = deref(arg[3]), list = deref(arg[1]);
  if (Arity(StrFunctor(s)) != 6 || !IsSmall(rel) || GetSmall(rel) < OP_LE ||
      GetSmall(rel) > OP_EQ || deref(arg[4]) != MakeSmall(0) ||
      !IsVar(deref(arg[5])) || !IsSmall(rhs))
    return false;
  t->stamp = deref(arg[6]);
  if (!IsSmall(t->stamp)) return false;
  t->rhs = GetSmall(rhs);
  *op = GetSmall(rel);
  return read_terms(list, t, false) == 2; /* the general run folds values */
}

/* Narrows term i of a relation of two unit coefficients a (each 1 or -1): a[i]*x_i lies in
 * c - max(a[j]*x_j) .. c - min(a[j]*x_j), its upper end for at most, its lower end for at least,
 * both for an equation. Every quantity fits in 32 bits: the bounds and c are small integers. False
 * when the domain empties. */
template <bool upper, bool lower>
[[gnu::always_inline]] inline bool unit_narrow(int32_t lo[2], int32_t hi[2], const int32_t a[2],
                                               int32_t c, int i)
{
  int j = 1 - i;
  int32_t least = a[j] > 0 ? lo[j] : -hi[j], most = a[j] > 0 ? hi[j] : -lo[j];
  if (a[i] > 0) {
    if (upper) hi[i] = std::min(hi[i], c - least);
    if (lower) lo[i] = std::max(lo[i], c - most);
  } else {
    if (upper) lo[i] = std::max(lo[i], least - c);
    if (lower) hi[i] = std::min(hi[i], most - c);
  }
  return lo[i] <= hi[i];
}

/* Bounds consistency of a relation of two unit coefficients on lo..hi: 1 entailed, 0 suspended,
 * -1 failed. One pass, the first term and then the second, is the fixpoint: the first narrowed to
 * what the second allows, the second to what the narrowed first allows, which the first then
 * wholly supports. */
template <bool upper, bool lower>
int unit_propagate(int32_t lo[2], int32_t hi[2], const int32_t a[2], int32_t c)
{
  if (!unit_narrow<upper, lower>(lo, hi, a, c, 0) || !unit_narrow<upper, lower>(lo, hi, a, c, 1))
    return -1;
  if (upper && lower) return lo[0] == hi[0] && lo[1] == hi[1];
  int32_t sum = 0; /* of the largest contributions for at most, of the smallest for at least */
  for (int i = 0; i < 2; i++) sum += (a[i] > 0) == upper ? hi[i] : -lo[i];
  return upper ? sum <= c : -sum >= c;
}

/* The bounds lo..hi of both terms narrowed by a*x + b*y <= c, in 64 bits (any coefficients):
 * each variable's bound from the other's smallest contribution, which the narrowing of its other
 * end does not move, so one pass is the fixpoint. 1 entailed, 0 suspended, -1 failed. */
int scaled_at_most(int64_t lo[2], int64_t hi[2], const int64_t a[2], int64_t c)
{
  for (int i = 0; i < 2; i++) {
    int j = 1 - i;
    int64_t room = c - (a[j] > 0 ? a[j] * lo[j] : a[j] * hi[j]); /* a[i] * x_i <= room */
    if (a[i] > 0)
      hi[i] = std::min(hi[i], floor_div(room, a[i]));
    else
      lo[i] = std::max(lo[i], ceil_div(-room, -a[i]));
    if (lo[i] > hi[i]) return -1;
  }
  int64_t largest = 0;
  for (int i = 0; i < 2; i++) largest += a[i] * (a[i] > 0 ? hi[i] : lo[i]);
  return largest <= c;
}

/* Bounds consistency of a relation of two terms on lo..hi, the bounds small integers: at most or
 * at least, or an equation of unit coefficients. 1 entailed, 0 suspended, -1 failed. */
int pair_propagate(int op, int32_t lo[2], int32_t hi[2], const int32_t a[2], int32_t c)
{
  if ((uint32_t)(a[0] + 1) <= 2 && (uint32_t)(a[1] + 1) <= 2) { /* unit coefficients */
    if (op == OP_LE) return unit_propagate<true, false>(lo, hi, a, c);
    if (op == OP_GE) return unit_propagate<false, true>(lo, hi, a, c);
    return unit_propagate<true, true>(lo, hi, a, c);
  }
  /* at least as at most with every sign turned; the narrowed bounds lie within the old ones */
  int64_t sign = op == OP_LE ? 1 : -1;
  int64_t wide_lo[2] = {lo[0], lo[1]}, wide_hi[2] = {hi[0], hi[1]};
  int64_t scaled[2] = {sign * a[0], sign * a[1]};
  int outcome = scaled_at_most(wide_lo, wide_hi, scaled, sign * c);
  for (int i = 0; i < 2; i++) lo[i] = (int32_t)wide_lo[i], hi[i] = (int32_t)wide_hi[i];
  return outcome;
}

/* The list of term i's variable that a relation op of two terms waits on: the changes of the end
 * its smallest contribution comes from for at most, its largest for at least (no other change can
 * narrow the other term), both for an equation. */
TAGGED pair_key(const struct fd_state *fd, int op, int32_t a)
{
  if (op == OP_EQ) return fd->functor_minmax;
  return (a > 0) == (op == OP_LE) ? fd->functor_min : fd->functor_max;
}

/* The first run of a relation op of two unfixed terms that suspends: the global waits on the
 * lists pair_key names and the state is marked linked. */
[[gnu::noinline]] void pair_link(ORVALIS_API_STRUCT *api, worker *w, int op, const int32_t coeff[2])
{
  TAGGED x, y;
  link_start(api, w, &x, &y);
  const struct fd_state *fd = fd_state(api);
  if (IsVar(x)) fd_link(api, w, x, pair_key(fd, op, coeff[0]), deref(w->term[1]));
  if (IsVar(y)) fd_link(api, w, y, pair_key(fd, op, coeff[1]), deref(w->term[1]));
}

/* pair_run's narrowing where a domain to narrow has holes: on views of both variables, a bound
 * moved into a hole moving on to the next value, and the relation propagated again from the moved
 * bounds until nothing moves (an equation may narrow the other term again; at most and at least
 * only find their entailment). The changed views are exported. 1 entailed, 0 suspended, -1
 * failed. */
[[gnu::noinline]] int pair_general(ORVALIS_API_STRUCT *api, worker *w, int op, const ne_state &t)
{
  QX_term_ref refs = fd_new_refs(api, 4);
  dvar d[2];
  for (int i = 0; i < 2; i++) {
    fd_ref_put(api, refs + 2 * i, deref(t.term[i][3]));
    fd_ref_put(api, refs + 2 * i + 1, deref(t.term[i][2]));
    dvar_init(&d[i], fd_ref_slot(api, refs + 2 * i), fd_ref_slot(api, refs + 2 * i + 1));
  }
  int outcome;
  for (bool again = true; again;) {
    int32_t lo[2], hi[2];
    for (int i = 0; i < 2; i++) lo[i] = GetSmall(d[i].min), hi[i] = GetSmall(d[i].max);
    outcome = pair_propagate(op, lo, hi, t.coeff, t.rhs);
    again = false;
    for (int i = 0; i < 2 && outcome >= 0; i++) {
      if (dvar_fix_interval_t(&d[i], MakeSmall(lo[i]), MakeSmall(hi[i])) == FD_MASK_FAIL)
        outcome = -1;
      else if (d[i].min != MakeSmall(lo[i]) || d[i].max != MakeSmall(hi[i]))
        again = true;
    }
  }
  if (outcome >= 0) {
    /* both views' sets out of the heap before an export, which may collect */
    for (int i = 0; i < 2; i++) dvar_pruning_done(api, w, &d[i]);
    for (int i = 0; i < 2; i++)
      if (changed(&d[i])) dvar_export_do(api, w, &d[i]);
  }
  QX_reset_term_refs(refs);
  return outcome;
}

/* A run of a relation of two terms without a block (pair_read). 1 entailed, 0 suspended, -1
 * failed; 2, having done nothing, for any other state, an equation the block takes (a non-unit
 * coefficient, or x = y), a shared variable, a bound that is not a small integer, an overflow
 * pending or debugging mode (the general run decides). */
[[gnu::noinline]] int pair_run(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  ne_state t;
  int op = GetSmall(StrArg(s, 2));
  if (!(IsSmall(StrArg(s, 2)) && ne_read_linked(s, StrArg(s, 2), &t)) && !pair_read(s, &t, &op))
    return 2;
  struct fd_state *fd = fd_state(api);
  if (fd->debugging || fd->fd_overflow || t.dom[0] == t.dom[1]) return 2;
  /* a linked state passed the test of its first run */
  if (t.stamp != NE_LINKED && op == OP_EQ &&
      (std::abs(t.coeff[0]) != 1 || std::abs(t.coeff[1]) != 1 ||
       (t.rhs == 0 && t.coeff[0] + t.coeff[1] == 0)))
    return 2;
  int32_t lo[2], hi[2];
  for (int i = 0; i < 2; i++) {
    TAGGED min = t.dom[i][2], max = t.dom[i][3];
    if (!IsSmall(min) || !IsSmall(max)) return 2;
    lo[i] = GetSmall(min);
    hi[i] = GetSmall(max);
  }
  /* the general run's overflow; later bounds only narrow */
  if (t.stamp != NE_LINKED &&
      !(products_fit(t.coeff[0], lo[0], hi[0]) && products_fit(t.coeff[1], lo[1], hi[1])))
    return 2;
  int32_t was_lo[2] = {lo[0], lo[1]}, was_hi[2] = {hi[0], hi[1]};
  int outcome = pair_propagate(op, lo, hi, t.coeff, t.rhs);
  if (outcome < 0) return -1;
  int moved[2];
  bool holes = false;
  for (int i = 0; i < 2; i++) {
    moved[i] = (lo[i] != was_lo[i] ? FD_WAKE_MIN : 0) | (hi[i] != was_hi[i] ? FD_WAKE_MAX : 0);
    holes = holes || (moved[i] && !fd_dom_small_interval(t.dom[i]));
  }
  if (holes) {
    outcome = pair_general(api, w, op, t);
    moved[0] = moved[1] = 0;
  }
  /* the records read hold until the first tell, which may collect: a second one reads its
   * variable's words again from the state */
  if (moved[0])
    fd_tell_narrowed_dom(api, w, deref(t.term[0][3]), deref(t.term[0][2]), t.dom[0], lo[0], hi[0],
                         moved[0]);
  if (moved[1] && !moved[0]) {
    fd_tell_narrowed_dom(api, w, deref(t.term[1][3]), deref(t.term[1][2]), t.dom[1], lo[1], hi[1],
                         moved[1]);
  } else if (moved[1]) {
    TAGGED list = deref(StrArg(deref(w->term[0]), 1));
    TAGGED term = deref(LstHead(deref(LstTail(list))));
    fd_tell_narrowed(api, w, deref(StrArg(term, 3)), deref(StrArg(term, 2)), lo[1], hi[1],
                     moved[1]);
  }
  if (outcome == 0 && t.stamp != NE_LINKED) pair_link(api, w, op, t.coeff);
  return outcome;
}

/* The first run of a two-term disequation a*x + b*y != rhs of a new block, given the bounds of its
 * terms as make_block read them (nothing since changed a domain): when neither variable is fixed
 * and every product of a coefficient and a bound fits in 32 bits, nothing can be pruned, so it
 * suspends, or is entailed when the gcd of two non-unit coefficients does not divide rhs. 2,
 * having done nothing, in any other case (the general run decides). */
int first_two_term_ne(ORVALIS_API_STRUCT *api, worker *w, linear_data *b, int64_t rhs,
                      const TAGGED *bounds)
{
  for (int i = 0; i < 2; i++) {
    TAGGED min = bounds[2 * i], max = bounds[2 * i + 1];
    int32_t p;
    if (min == max || !IsSmall(min) || !IsSmall(max) ||
        __builtin_mul_overflow(b->coeff[i], GetSmall(min), &p) ||
        __builtin_mul_overflow(b->coeff[i], GetSmall(max), &p))
      return 2;
  }
  int32_t g = b->abscoeff[0] == 1 || b->abscoeff[1] == 1 ? 1 : gcd2(b->abscoeff[0], b->abscoeff[1]);
  if (!divides(g, rhs)) {
    fd_perm_free(api, w);
    return 1;
  }
  b->rhs = rhs;
  write_back(api, w, b);
  return 0;
}

/* A later run of a two-term relation on local 32-bit copies of what it reads and narrows: the
 * domain records of both variables and their bounds, the terms' coefficients and contributions,
 * the slacks, the residual RHS, the term at the top of the two-term heap and the bounds each run
 * moved (FD_WAKE_MIN, FD_WAKE_MAX). The block gets them in one write once the propagation ends.
 * In the 32-bit form every contribution and slack fits (contributions only narrow), and so does
 * every step's arithmetic; the RHS, folded only, stays as wide as the block's. */
struct two_run {
  TAGGED *dom[2];
  int32_t lo[2], hi[2], coeff[2], cmin[2], cmax[2];
  int32_t bigf, bige;
  int64_t rhs;
  int top;
  int moved[2];
};

inline int32_t range_two(const two_run *t, int i) { return t->cmax[i] - t->cmin[i]; }

/* restrict_term on a two_run for a step, which moves one bound of the top term (min: its
 * minimum) to v inside its range (its range exceeds the slack, so a step always narrows): 0 when
 * v lies beyond the other bound. The contributions agree with the bounds (a rebuild derives them,
 * the daemons keep them), so only the end the moved bound gives changes, and its slack; the heap
 * and the RHS (a term fixed now is folded) follow. A narrowed top gives way to a strictly larger
 * range, as a sift does. */
template <bool min>
[[gnu::always_inline]] inline int narrow_two(two_run *t, int i, int32_t v)
{
  if (min ? v > t->hi[i] : v < t->lo[i]) return 0;
  t->moved[i] |= min ? FD_WAKE_MIN : FD_WAKE_MAX;
  (min ? t->lo : t->hi)[i] = v;
  int32_t a = t->coeff[i], p = a * v;
  if ((a > 0) == min) {
    t->bigf += t->cmin[i] - p;
    t->cmin[i] = p;
  } else {
    t->bige += p - t->cmax[i];
    t->cmax[i] = p;
  }
  int32_t cmin = t->cmin[i], cmax = t->cmax[i];
  if (range_two(t, 1 - i) > cmax - cmin) t->top = 1 - i;
  if (cmin == cmax) t->rhs -= cmin;
  return 1;
}

/* room / |a| for a step's room (not negative): a unit coefficient, the usual one, divides
 * nothing. */
inline int32_t room_by(int32_t room, int32_t a)
{
  return a == 1 || a == -1 ? room : room / (a > 0 ? a : -a);
}

/* The steps of scalar_product_ge_fast and scalar_product_le_fast on a two_run. */
int step_ge_two(two_run *t)
{
  if (t->bige < 0) return 0;
  int i = t->top;
  int32_t a = t->coeff[i], q = room_by(t->bige, a);
  if (a > 0) return narrow_two<true>(t, i, t->hi[i] - q);
  return narrow_two<false>(t, i, t->lo[i] + q);
}
int step_le_two(two_run *t)
{
  if (t->bigf < 0) return 0;
  int i = t->top;
  int32_t a = t->coeff[i], q = room_by(t->bigf, a);
  if (a > 0) return narrow_two<false>(t, i, t->lo[i] + q);
  return narrow_two<true>(t, i, t->hi[i] - q);
}

/* propagate_op on a two_run. An equation has unit coefficients here: its gcds stay 1, so no
 * congruence can move a bound. */
int propagate_two(int op, two_run *t)
{
  switch (op) {
  case OP_GE:
    while (range_two(t, t->top) > t->bige)
      if (!step_ge_two(t)) return -1;
    return t->bige < 0 ? -1 : t->bigf <= 0 ? 1 : 0;
  case OP_LE:
    while (range_two(t, t->top) > t->bigf)
      if (!step_le_two(t)) return -1;
    return t->bigf < 0 ? -1 : t->bige <= 0 ? 1 : 0;
  default:
    for (;;) {
      int32_t top = range_two(t, t->top);
      int ok;
      if (top > t->bigf)
        ok = step_le_two(t);
      else if (top > t->bige)
        ok = step_ge_two(t);
      else
        break;
      if (!ok) return -1;
    }
    if (t->bigf < 0 || t->bige < 0) return -1;
    return t->bigf == 0 && t->bige == 0 ? 1 : 0;
  }
}

/* The bounds of both terms from their domain records as the kernel writes them, and their
 * coefficients; false when a word is a reference or an infinity, a domain has holes or no finite
 * size, or the two terms share a domain (a tell to one would change the other's). */
bool read_two(const linear_data *b, two_run *t)
{
  t->dom[0] = term_dom(b, 0);
  t->dom[1] = term_dom(b, 1);
  if (t->dom[0] == t->dom[1]) return false;
  for (int i = 0; i < 2; i++) {
    const TAGGED *dom = t->dom[i];
    if (!fd_dom_small_interval(dom)) return false;
    t->lo[i] = GetSmall(dom[2]);
    t->hi[i] = GetSmall(dom[3]);
    t->coeff[i] = b->coeff[i];
    t->moved[i] = 0;
  }
  return true;
}

/* The block's sums of a current block into t, the terms fixed since the last run folded into
 * the RHS. */
void load_two(const linear_data *b, two_run *t)
{
  t->rhs = b->rhs;
  for (int i = 0; i < 2; i++) {
    t->cmin[i] = (int32_t)b->cmin[i];
    t->cmax[i] = (int32_t)b->cmax[i];
    if (t->cmin[i] == t->cmax[i]) t->rhs -= t->cmin[i];
  }
  t->bigf = (int32_t)b->bigf;
  t->bige = (int32_t)b->bige;
  t->top = b->heap[0];
}

/* rebuild_small for the two terms of a block into t, from their bounds in t and the state's RHS:
 * false when a quantity leaves 32 bits. The heap is ordered as placing the targets in their order
 * and sifting orders it. */
bool rebuild_two(const linear_data *b, two_run *t, int32_t rhs)
{
  int32_t range[2], sumlo, sumhi, folded = 0, bigf, bige, rest;
  for (int i = 0; i < 2; i++) {
    int32_t a = t->coeff[i];
    if (__builtin_mul_overflow(a, a > 0 ? t->lo[i] : t->hi[i], &t->cmin[i]) ||
        __builtin_mul_overflow(a, a > 0 ? t->hi[i] : t->lo[i], &t->cmax[i]) ||
        __builtin_sub_overflow(t->cmax[i], t->cmin[i], &range[i]) ||
        (range[i] == 0 && __builtin_add_overflow(folded, t->cmin[i], &folded)))
      return false;
  }
  if (__builtin_add_overflow(t->cmin[0], t->cmin[1], &sumlo) ||
      __builtin_add_overflow(t->cmax[0], t->cmax[1], &sumhi) ||
      __builtin_sub_overflow(rhs, sumlo, &bigf) || __builtin_sub_overflow(sumhi, rhs, &bige) ||
      __builtin_sub_overflow(rhs, folded, &rest))
    return false;
  t->bigf = bigf;
  t->bige = bige;
  t->rhs = rest;
  int first = b->target[0], second = b->target[1];
  t->top = range[second] > range[first] ? second : first;
  return true;
}

/* The sums, counts and heap of a block of the 32-bit form with both terms as targets and a heap of
 * two (the form a current block has, and a rebuild sets), from t: the state a general run's
 * propagation on these bounds leaves in it. The views are left as they are: every general run
 * loads or unloads its targets' views before it reads them. */
void store_two(linear_data *b, const two_run *t)
{
  b->units = b->nonunits = 0;
  for (int i = 0; i < 2; i++) {
    b->cmin[i] = t->cmin[i];
    b->cmax[i] = t->cmax[i];
    b->interval[i] = range_two(t, i);
    if (t->cmin[i] != t->cmax[i]) count_unfixed(b, i, 1);
  }
  b->bigf = t->bigf;
  b->bige = t->bige;
  b->rhs = t->rhs;
  place(b, 0, t->top);
  place(b, 1, 1 - t->top);
}

/* A later run of a two-term relation at most, at least or equal (two_term_block): the general
 * run's rebuild or incremental start and its propagation on bounds read from the domain records,
 * the narrowed ones told straight to the domains, the block's sums, heap, targets and stamp and
 * the output state as the general run leaves them. 1 entailed, 0 suspended, -1 failed; 2, having
 * done nothing the general run does not do again, for a domain read_two refuses, a rebuild beyond
 * the 32-bit form, an equation with a non-unit coefficient or x = y + 0 (exported as an
 * equality), an overflow pending or debugging mode. Out of line: the two-term disequations' runs
 * stay short. */
[[gnu::noinline]] int run_two_term(ORVALIS_API_STRUCT *api, worker *w, linear_data *b, TAGGED s)
{
  struct fd_state *fd = fd_state(api);
  bool current = StrArg(s, 6) == MakeSmall(b->stamp);
  int64_t rhs = current ? b->rhs : GetSmall(StrArg(s, 3));
  if (fd->debugging || fd->fd_overflow) return 2;
  if (b->op == OP_EQ && (b->abscoeff[0] != 1 || b->abscoeff[1] != 1 ||
                         (rhs == 0 && b->coeff[0] + b->coeff[1] == 0)))
    return 2;
  two_run t;
  if (!read_two(b, &t)) return 2;
  int32_t *target = b->target;
  if (!current) { /* backtracking undid runs: the block is built again from the state */
    if (!rebuild_two(b, &t, (int32_t)rhs)) return 2;
    b->ntargets = 2; /* the form store_two's sums take, which a current block has */
    b->heapsize = 2;
    b->fast = 1;
    if (b->op == OP_EQ) b->gcdall = 1; /* unit coefficients */
  } else {
    load_two(b, &t);
  }
  int outcome = propagate_two(b->op, &t);
  bool fixed = t.cmin[0] == t.cmax[0] || t.cmin[1] == t.cmax[1];
  if (current && outcome == 0 && !fixed && !t.moved[0] && !t.moved[1])
    return 0; /* the state and the block stay as they are */
  /* A rebuilt block gets the stamp of the output state made below, after the tells (which may
   * collect), or, on failure or entailment, one no state of this branch holds. */
  if (!current) b->stamp = GetSmall(StrArg(s, 6)) + 1;
  store_two(b, &t);
  if (outcome < 0) return -1;
  /* unfixed targets first */
  bool first_live = t.cmin[target[0]] != t.cmax[target[0]];
  bool second_live = t.cmin[target[1]] != t.cmax[target[1]];
  if (second_live && !first_live) std::swap(target[0], target[1]);
  int live = first_live + second_live;
  b->ntargets = live;
  /* the records read_two found hold until a tell, which may collect */
  bool read = true;
  for (int k = 0; k < 2; k++) {
    int i = target[k];
    if (!t.moved[i]) continue;
    fd_tell_narrowed_dom(api, w, deref(b->refbase[2 * i].term), deref(b->refbase[2 * i + 1].term),
                         read ? t.dom[i] : term_dom(b, i), t.lo[i], t.hi[i], t.moved[i]);
    read = false;
  }
  if (outcome == 1) {
    fd_perm_free(api, w);
    return 1;
  }
  b->stamp = fd_output_stamp(api, w) + 1;
  /* A term fixed leaves the other one pruned to entailment: nothing was folded or dropped, so the
   * state holds the residual RHS and count already. */
  if (live != 2) write_back(api, w, b);
  return 0;
}

/* The general run: 1 entailed, 0 suspended, -1 failed, 2 after raising an error. Kept out of line:
 * the two-term disequations' runs stay short. */
[[gnu::noinline]] int run(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED s = deref(w->term[0]);
  if (!IsStr(s) || IsBox(s) || Arity(StrFunctor(s)) < 6 || !fd_valid_handle(deref(StrArg(s, 5))) ||
      !IsSmall(state_stamp(s))) {
    fd_type_error(api, "linear_state", s, 1);
    raise(api);
    return 2;
  }
  TAGGED h = deref(StrArg(s, 5));
  bool first = IsVar(h);
  if (!first && !IsVar(deref(LstHead(h))))
    return 1; /* the block went with an entailment: nothing is left to do */
  int n = 0, op, dropped;
  int64_t rhs;
  if (first && !check_terms(api, w, deref(StrArg(s, 1)), &n)) return 2;
  auto *block = first ? nullptr : (linear_data *)fd_perm_data(h);
  if (!first) n = block->nvars;
  /* no term is dropped before the first run: dropped ones would leave the sum unread */
  if (!(block && block_arguments(s, block, &op, &rhs, &dropped)) &&
      !check_arguments(api, w, s, first ? 0 : n, &op, &rhs, &dropped))
    return 2;
  /* A two-term disequation has no daemons reading the stamp and is mostly entailed by a later
   * run: its output state is made only when it suspends again. */
  bool defer = !first && op == OP_NE && n == 2;
  /* A relation whose block its daemons kept current (the block's stamp is the state's) makes its
   * output state only once the run changes something: a run that prunes and folds nothing keeps
   * the state it was given, and the block stays current for it. */
  bool current = !first && op != OP_NE && !block->overflow &&
                 state_stamp(s) == MakeSmall(block->stamp);
  defer = defer || current;
  TAGGED handle = h;
  int32_t stamp = 0;
  int is_new;
  if (!defer) fd_unify_output_state(api, w, &handle, &stamp, &is_new);
  linear_data *b = block; /* an output state shares the Handle */
  TAGGED bounds[4];
  if (first) {
    b = make_block(api, w, handle, n, op, bounds);
    b->stamp = stamp - 1;
  }
  struct fd_state *fd = fd_state(api);
  if (first && op == OP_NE && n == 2 && dropped == 0 && !overflowed(api)) {
    b->stamp = stamp + 1; /* before: an entailment frees the block */
    int outcome = first_two_term_ne(api, w, b, rhs, bounds);
    if (outcome != 2) return outcome;
  }
  /* an overflow the daemon met is this run's; it is reported once */
  if (b->overflow) fd->fd_overflow = 1;
  b->overflow = 0;
  if (b->op != OP_NE && (current || b->stamp == stamp)) {
    scalar_product_init(api, b, 1);
  } else {
    b->rhs = rhs;
    b->ntargets = b->nvars - dropped;
    scalar_product_init(api, b, 0);
  }
  if (!current) b->stamp = stamp + 1;
  if (overflowed(api)) return -1;
  if (b->op == OP_EQ || b->op == OP_NE) {
    refresh_gcd(b);
    if (!divides(b->gcdall, b->rhs)) {
      if (b->op == OP_EQ) return -1;
      fd_perm_free(api, w);
      return 1;
    }
  }
  int outcome = propagate_op(api, b);
  if (outcome < 0 || overflowed(api)) return -1;
  bool quiet = current && outcome == 0 && untouched(b);
  if (!quiet) export_targets(api, w, b); /* nothing to drop or export */
  if (outcome == 0 && b->op == OP_EQ && b->ntargets == 2 && b->rhs == 0 &&
      b->coeff[b->target[0]] + b->coeff[b->target[1]] == 0) {
    dvar_export_equal(api, w, view(b, b->target[0]), view(b, b->target[1]));
    outcome = 1;
  }
  if (outcome == 1) {
    fd_perm_free(api, w);
    return 1;
  }
  if (quiet) return 0;
  if (defer) {
    fd_unify_output_state(api, w, &handle, &stamp, &is_new);
    b->stamp = stamp + 1;
  }
  write_back(api, w, b);
  return outcome;
}

}  // namespace

int fd_linear_linked_run(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  ne_state t;
  if (!IsStr(s) || IsBox(s) || !ne_read_linked(s, MakeSmall(OP_NE), &t)) return 2;
  return ne_step(api, w, t); /* 2: the propagator's run does the general work */
}

namespace {

/* fd_linear_post_run's disequation of one term: its first run, the value it forbids removed
 * straight from the domain, ends it entailed, as the loop ends such a run (counted, its Dead
 * bound); the wakes of the removal are queued for the loop. Only where the loop would run it
 * without collecting first, and only where that run is entailed: false, having done nothing, for
 * the others. */
bool one_term_post_run(ORVALIS_API_STRUCT *api, worker *w, const ne_state &t)
{
  if (w->global_top >= w->heap_warn_soft || ne_step(api, w, t) != 1) return false;
  fd_entailed(api, w, deref(w->term[1]));
  return true;
}

}  // namespace

bool fd_linear_post_run(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED s = deref(w->term[0]);
  ne_state t;
  if (!IsStr(s) || IsBox(s) || StrPtr(s) < w->global_uncond ||
      !(ne_read_first(s, &t) || (short_length(StrArg(s, 1)) && ne_read(s, &t))) ||
      t.stamp == NE_LINKED)
    return false;
  if (t.n == 1) return one_term_post_run(api, w, t);
  if (!both_unfixed(t) || !divides(pair_gcd(t), t.rhs)) return false;
  if (!fd_room_free(w, 2 * LINK_WORDS)) { /* the links may collect: the general first step */
    ne_link(api, w);
    return true;
  }
  /* the state is new and the heap has room: its words and the variables read stand */
  StrPtr(s)[6] = NE_LINKED;
  ne_link_vars(api, w, deref(t.term[0][2]), deref(t.term[1][2]), t.usual[0], t.usual[1]);
  return true;
}

void prolog_fd_linear_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  int outcome = 2;
  TAGGED s = w->term[0]; /* dereferenced */
  if (IsStr(s) && !IsBox(s) && Arity(StrFunctor(s)) == 6) {
    TAGGED rel = StrArg(s, 2);
    bool ne = rel == MakeSmall(OP_NE) || (IsRef(rel) && deref(rel) == MakeSmall(OP_NE));
    bool linked = StrArg(s, 6) == NE_LINKED;
    /* a disequation's state has no two_term_block (its relation is not the block's, or the
     * block is a disequation's): that look-up is left out for it */
    linear_data *b = nullptr;
    if (!linked && ne && (b = two_term_ne_block(s))) {
      outcome = run_two_term_ne(api, w, b, GetSmall(StrArg(s, 3)));
      if (outcome == 1) fd_perm_free(api, w);
    } else if (!linked && !ne && (b = two_term_block(s))) {
      outcome = run_two_term(api, w, b, s);
    } else if (ne) {
      outcome = ne_run(api, w, s);
    } else if (linked || short_length(StrArg(s, 1)) == 2) {
      outcome = pair_run(api, w, s); /* the others have no terms left, or more */
    }
  }
  if (outcome == 2) outcome = run(api, w);
  if (outcome == 2) return; /* an error was raised */
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, outcome);
}
