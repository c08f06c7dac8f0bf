/* case/4: rows of variables, each a tuple that some accepting path of one decision DAG must
 * agree with. A node tests one position and branches on sorted, disjoint intervals of its value;
 * a tuple is allowed when a path from the root to an accepting branch agrees with every position
 * it tests. Per row the propagator walks the DAG over the current domains, collects the values
 * on accepting paths (every value of a position that such a path does not test) and prunes the
 * rest by the position's pruning kind.
 *
 * Rows may share variables. The kernel wakes no daemon of a constraint while it runs, so a row's
 * pruning queues the other rows over the pruned variable itself, and the call evaluates them
 * before it ends; each evaluation takes a new date, so a row evaluated again in the same call
 * collects its supports anew.
 *
 * Results of nodes are cached per row with dates: a true result of an earlier call is reused
 * for a node whose position and the later ones did not change since (the daemon marks changed
 * positions and those before them), which holds only when every child tests a later position
 * than its parent; a DAG not so ordered goes without that reuse. Nodes found false stay false
 * along the branch, in a sparse set whose count a trailed mutable per row keeps.
 *
 * State: case(Posting, RowsLeft, Handle, Stamp), read in place: Posting becomes [] and RowsLeft
 * is lowered there, which is safe because the daemon copies a state older than the newest
 * choicepoint before it queues the constraint.
 */
#include <cassert>
#include <cstring>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_qsort.h"
#include "fd_sets.h"

int fd_case_caches = 1;

namespace {

enum kind { K_DOM, K_MINMAX, K_MIN, K_MAX, K_VAL, K_NONE };
constexpr uint32_t CHANGED = 0xFFFFFFFFu; /* latest_date of a changed position */

struct case_data;
/* A node on the stack of a walk over the DAG: the branch being followed, and whether a branch
 * of it succeeded. A path holds each node once (the graph is acyclic), so nnodes frames
 * suffice. */
struct walk_frame {
  int node, branch, ok;
};
/* The daemon's block for one position of one row. */
struct case_frame {
  daemon_frame frame;
  case_data *block;
};

struct case_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* pairs per row and position, then per row its entailment variable and
                         its false-node count mutable */
  int32_t stamp;
  int first;
  int *next;
  int nrefs, nrows, nvars, nnodes, nchildren;
  bool ordered; /* every child tests a later position than its parent */
  int prune_set_end;
  uint32_t false_date, true_date;
  dvar *dv;
  TAGGED *prune_set, *cache_set;
  int *control, *on;
  uint32_t *latest_date;
  int *latest_size;
  uint32_t *date;
  int *id, *var_index, *child_index, *child_end;
  TAGGED *cmin, *cmax;
  int *cnode;
  int *dense, *sparse;
  int *twin; /* per row and position: the next pair over the same variable (a cycle) */
  struct walk_frame *walk; /* nnodes frames: the stack of the walks over the DAG */
  case_frame *frames;
  /* the row being evaluated */
  int cardinality;
  uint32_t *daterow, *latest_daterow;
  int *denserow, *sparserow;
};

inline TAGGED *attr_ref(const case_data *b, int r, int i)
{
  return &b->refbase[2 * (r * b->nvars + i)].term;
}
inline TAGGED *var_ref(const case_data *b, int r, int i)
{
  return &b->refbase[2 * (r * b->nvars + i) + 1].term;
}
inline TAGGED *entail_ref(const case_data *b, int r)
{
  return &b->refbase[2 * b->nrows * b->nvars + 2 * r].term;
}
inline TAGGED *count_ref(const case_data *b, int r)
{
  return &b->refbase[2 * b->nrows * b->nvars + 2 * r + 1].term;
}

void case_destructor(void *block) { fd_entry_destroy(block, ((case_data *)block)->refbase); }

/* Tagged bounds: inf below and sup above every integer. */
inline bool below(TAGGED a, TAGGED b) { return fds_val(a) < fds_val(b); }

/* ---- evaluation of a row ---- */

/* Every value of position p is supported: nothing of it is left to prune. */
void support_all(case_data *b, int p) { b->prune_set[p] = atom_nil; }

/* Lowers prune_set_end past the trailing positions with nothing left to support. */
void lower_end(case_data *b)
{
  while (b->prune_set_end > 0 && (b->prune_set[b->prune_set_end - 1] == atom_nil ||
                                  (b->dv[b->prune_set_end - 1].flags & DV_FIXED)))
    b->prune_set_end--;
}

/* The cached result of node n: 1 true, 0 false, -1 none. */
inline int cached(case_data *b, int n, int v)
{
  if (!fd_case_caches) return -1;
  uint32_t dt = b->daterow[n];
  if (dt & 1) {
    if (dt == b->true_date) return 1;
    if (b->ordered && v >= b->prune_set_end && dt >= b->latest_daterow[v]) {
      b->daterow[n] = b->true_date;
      return 1;
    }
    return -1;
  }
  if (dt == b->false_date) return 0;
  int s = b->sparserow[n];
  if (s >= 0 && s < b->cardinality && b->denserow[s] == n) {
    b->daterow[n] = b->false_date;
    return 0;
  }
  return -1;
}

/* The first branch of node n whose maximum is not below the domain's minimum. */
int first_branch(const case_data *b, int n, const dvar *d)
{
  int lo = b->child_index[n], hi = b->child_end[n];
  if (lo == hi || b->cmin[lo] == d->min) return lo;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (below(b->cmax[mid], d->min))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

/* Branch c of node n leads to acceptance: its interval is supported. */
inline void support_branch(ORVALIS_API_STRUCT *api, worker *w, case_data *b, int n, int c)
{
  int v = b->var_index[n], m = b->cnode[c];
  b->prune_set[v] = fd_subtract_interval(api, w, b->prune_set[v], b->cmin[c], b->cmax[c]);
  /* in an ordered DAG the positions between this one and the next tested one are skipped by
   * the paths through this branch */
  if (b->ordered)
    for (int p = v + 1, end = m >= 0 ? b->var_index[m] : b->nvars; p < end; p++)
      support_all(b, p);
  lower_end(b);
}

/* The result of node n once its branches are done, dated and kept in the false-node set. */
int settle(case_data *b, int n, bool ok)
{
  if (ok) {
    b->daterow[n] = b->true_date;
    return 1;
  }
  b->daterow[n] = b->false_date;
  if (fd_case_caches) {
    b->sparserow[n] = b->cardinality;
    b->denserow[b->cardinality++] = n;
  }
  return 0;
}

/* Follows the branches of node n from *at, supporting those that accept or lead to a node known
 * true, until one leads to a node the cache does not answer for: that node, with *at at its
 * branch; -1 when n's branches are done. *ok: some branch succeeded. */
inline int next_child(ORVALIS_API_STRUCT *api, worker *w, case_data *b, int n, int *at, bool *ok)
{
  int v = b->var_index[n], c = *at, m = -1;
  bool success = *ok;
  const dvar *d = &b->dv[v];
  for (; c < b->child_end[n] && !below(d->max, b->cmin[c]); c++) {
    if (success && b->ordered && v >= b->prune_set_end) break;
    if (!(d->flags & DV_INTERVAL) && fd_compare_interval(b->cache_set[v], b->cmin[c], b->cmax[c]) == 4)
      continue;
    int next = b->cnode[c];
    int known = next < 0 ? 1 : cached(b, next, b->var_index[next]);
    if (known < 0) {
      m = next;
      break;
    }
    if (known) support_branch(api, w, b, n, c), success = true;
  }
  *at = c, *ok = success;
  return m;
}

/* Whether some accepting path from the root agrees with the current domains of the row,
 * collecting the supported intervals on the way. Depth first: a node whose result the cache
 * does not hold is entered with its parent's state (node, branch, success so far) pushed on
 * the walk's stack, and settled once per evaluation (the cache answers for it afterwards), so
 * the walk is linear in the DAG's size whatever its depth. */
int eval_dag(ORVALIS_API_STRUCT *api, worker *w, case_data *b, int root)
{
  int answer = cached(b, root, b->var_index[root]);
  if (answer >= 0) return answer;
  int top = 0, n = root, c = first_branch(b, root, &b->dv[b->var_index[root]]);
  bool ok = false;
  for (;;) {
    int m = next_child(api, w, b, n, &c, &ok);
    if (m >= 0) {
      b->walk[top++] = {n, c, ok};
      n = m, c = first_branch(b, m, &b->dv[b->var_index[m]]), ok = false;
      continue;
    }
    answer = settle(b, n, ok);
    if (top == 0) return answer;
    const walk_frame &parent = b->walk[--top];
    n = parent.node, c = parent.branch, ok = parent.ok;
    if (answer) support_branch(api, w, b, n, c), ok = true;
    c++;
  }
}

/* Whether an accepting path from root agrees with the domains and tests no node of position p
 * (memo: 0 unknown, 2 no such path from the node), depth first over the walk's stack as
 * eval_dag; the first such path ends the walk. For DAGs that are not ordered. */
bool avoids(case_data *b, int root, int p, uint8_t *memo)
{
  int top = 0, n = root, c = first_branch(b, root, &b->dv[b->var_index[root]]);
  for (;;) {
    int v = b->var_index[n];
    const dvar *d = &b->dv[v];
    bool ok = false, entered = false;
    for (; v != p && c < b->child_end[n] && !below(d->max, b->cmin[c]); c++) {
      if (fd_compare_interval(b->cache_set[v], b->cmin[c], b->cmax[c]) == 4) continue;
      int m = b->cnode[c];
      if (m >= 0 && memo[m] == 0) {
        b->walk[top++] = {n, c, 0};
        n = m, c = first_branch(b, m, &b->dv[b->var_index[m]]);
        entered = true;
        break;
      }
      if (m < 0) {
        ok = true;
        break;
      }
    }
    if (entered) continue;
    if (ok) return true; /* so is every node on the path to it */
    memo[n] = 2;
    if (top == 0) return false;
    const walk_frame &parent = b->walk[--top];
    n = parent.node, c = parent.branch + 1;
  }
}

/* Positions that some accepting path does not test keep every value. */
void support_skipped(ORVALIS_API_STRUCT *api, worker *w, case_data *b)
{
  if (b->ordered) {
    for (int p = 0; p < b->var_index[0]; p++) support_all(b, p);
    return;
  }
  auto *memo = (uint8_t *)fd_temp_alloc(api, w, (size_t)b->nnodes);
  for (int p = 0; p < b->nvars; p++) {
    if (b->prune_set[p] == atom_nil) continue;
    std::memset(memo, 0, (size_t)b->nnodes);
    if (avoids(b, 0, p, memo)) support_all(b, p);
  }
}

/* Prunes position i to its supported values by its kind: -1 failure, else the change mask. */
int prune_position(ORVALIS_API_STRUCT *api, worker *w, case_data *b, int i)
{
  dvar *d = &b->dv[i];
  if (b->control[i] == K_DOM) return dvar_prune_set(api, d, b->prune_set[i], w);
  TAGGED s = fd_subtract(api, w, b->cache_set[i], b->prune_set[i]);
  if (s == atom_nil) return -1;
  switch (b->control[i]) {
  case K_MINMAX: return dvar_fix_interval_t(d, fd_min(s), fd_max(s));
  case K_MIN: return dvar_fix_interval_t(d, fd_min(s), atom_sup);
  case K_MAX: return dvar_fix_interval_t(d, atom_inf, fd_max(s));
  case K_VAL: return fd_size(s) == 1 ? dvar_fix_interval_t(d, fd_min(s), fd_min(s)) : 0;
  default: return 0;
  }
}

/* Writes argument k of the state in place: the state is younger than the newest choicepoint
 * (the daemon copied it before queueing, or it was posted since). */
void write_state(worker *w, int k, TAGGED value)
{
  TAGGED s = deref(w->term[0]);
  assert(StrPtr(s) >= w->global_uncond);
  StrPtr(s)[k] = value;
}

/* Marks position i of row r changed, with the positions before it (their true results depend
 * on it), and queues the row unless it waits already. */
void mark_changed(case_data *b, int r, int i)
{
  for (int p = i; p >= 0 && b->latest_date[r * b->nvars + p] != CHANGED; p--)
    b->latest_date[r * b->nvars + p] = CHANGED;
  if (b->next[r] == -2) b->next[r] = b->first, b->first = r;
}

/* Position i of row r was pruned: the other rows over the same variable wait for this call (the
 * kernel wakes no daemon of the running constraint). */
void queue_twins(case_data *b, int r, int i)
{
  int k = r * b->nvars + i;
  for (int t = b->twin[k]; t != k; t = b->twin[t]) {
    int row = t / b->nvars;
    if (row != r && IsVar(deref(*entail_ref(b, row)))) mark_changed(b, row, t % b->nvars);
  }
}

/* Evaluates row r: -1 failure, else 0. */
int eval_row(ORVALIS_API_STRUCT *api, worker *w, case_data *b, int r)
{
  int n = b->nvars;
  b->daterow = b->date + (size_t)r * b->nnodes;
  b->latest_daterow = b->latest_date + (size_t)r * n;
  b->denserow = b->dense + (size_t)r * b->nnodes;
  b->sparserow = b->sparse + (size_t)r * b->nnodes;
  for (int i = 0; i < n; i++) {
    dvar_init(&b->dv[i], attr_ref(b, r, i), var_ref(b, r, i));
    b->prune_set[i] = b->cache_set[i] = fd_localize(api, w, dvar_set(api, &b->dv[i], w));
  }
  b->prune_set_end = n;
  lower_end(b);
  int card = GetSmall(fd_mutable_value(*count_ref(b, r)));
  b->cardinality = card;
  if (!eval_dag(api, w, b, 0)) return -1;
  support_skipped(api, w, b);
  int unfixed = 0;
  for (int i = 0; i < n; i++) {
    dvar *d = &b->dv[i];
    if (i < b->prune_set_end && b->prune_set[i] != atom_nil && !(d->flags & DV_FIXED)) {
      int mask = prune_position(api, w, b, i);
      if (mask < 0) return -1;
      if (mask > 0) queue_twins(b, r, i);
      dvar_pruning_done(api, w, d);
    }
    if (!(d->flags & DV_FIXED)) unfixed++;
  }
  /* the sizes before anything may collect: an unpruned view's set is the heap's */
  for (int i = 0; i < n; i++) {
    b->latest_daterow[i] = b->true_date;
    b->latest_size[r * n + i] = dvar_value_count(&b->dv[i]);
  }
  if (b->cardinality != card) fd_update_mutable(api, w, MakeSmall(b->cardinality), *count_ref(b, r));
  if (unfixed == 0) {
    fd_bind(api, w, deref(*entail_ref(b, r)), atom_nil);
    write_state(w, 2, MakeSmall(GetSmall(deref(StrArg(deref(w->term[0]), 2))) - 1));
  }
  for (int i = 0; i < n; i++)
    if (b->dv[i].flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, &b->dv[i]);
  return 0;
}

/* A call on the block: the outcome. */
int case_run(ORVALIS_API_STRUCT *api, worker *w, case_data *b)
{
  fd_state(api)->gdata = b;
  while (b->first >= 0) {
    int r = b->first;
    b->true_date += 2; /* a row evaluated again in this call reuses no result of the first time */
    if (eval_row(api, w, b, r) < 0) return -1;
    /* rows its prunings queued went in front of r: unlink r where it now is */
    int *link = &b->first;
    while (*link != r) link = &b->next[*link];
    *link = b->next[r];
    b->next[r] = -2;
  }
  return deref(StrArg(deref(w->term[0]), 2)) == MakeSmall(0) ? 1 : 0;
}

int case_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (case_frame *)frame;
  case_data *b = f->block;
  int k = (int)(f - b->frames), r = k / b->nvars, i = k % b->nvars;
  if (!IsVar(deref(*entail_ref(b, r)))) return 0;
  dvar d;
  dvar_init(&d, attr_ref(b, r, i), var_ref(b, r, i));
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  int32_t stamp = GetSmall(deref(StrArg(state, 4)));
  if (b->stamp != stamp) {
    /* backtracking or a new branch: what was waiting and the dates of this branch go */
    for (int q = b->first; q >= 0;) {
      int after = b->next[q];
      b->next[q] = -2;
      q = after;
    }
    b->first = -1;
    b->false_date += 2;
    b->true_date += 2;
    b->stamp = stamp;
  } else if (b->latest_date[k] == b->true_date && b->latest_size[k] == dvar_value_count(&d)) {
    return 0;
  }
  if (b->first >= 0) {
    mark_changed(b, r, i);
    return 0;
  }
  for (int p = i; p >= 0 && b->latest_date[r * b->nvars + p] != CHANGED; p--)
    b->latest_date[r * b->nvars + p] = CHANGED;
  fd_daemon_copy_state(api, w, &global);
  b->stamp++;
  int code = b->on[i] == K_VAL ? 3 : b->on[i] == K_DOM || b->on[i] == K_NONE ? 7 : 5;
  b->next[r] = -1;
  b->first = r;
  fd_enqueue_global(api, w, global, code);
  return 1;
}

/* ---- posting ---- */

int kind_of(ORVALIS_API_STRUCT *api, TAGGED atom)
{
  struct fd_state *fd = fd_state(api);
  TAGGED f = fd_functor_word(atom, 1);
  if (f == fd->functor_dom) return K_DOM;
  if (f == fd->functor_minmax) return K_MINMAX;
  if (f == fd->functor_min) return K_MIN;
  if (f == fd->functor_max) return K_MAX;
  return f == fd->functor_val ? K_VAL : K_NONE;
}

struct case_shape {
  int nvars, nnodes, nchildren, nrows;
};

inline bool is_bound_word(TAGGED t) { return IsSmall(t) || t == atom_inf || t == atom_sup; }

/* One node term: its branch count, or -1 when malformed. */
int check_node(worker *w, TAGGED node, const case_shape &s)
{
  node = deref(node);
  if (!IsStr(node) || IsBox(node) || Arity(StrFunctor(node)) < 4) return -1;
  if (!IsSmall(deref(StrArg(node, 1))) || !fd_small_in(StrArg(node, 2), 0, s.nvars - 1)) return -1;
  int k = fd_proper_length(w, StrArg(node, 4));
  TAGGED prev = 0;
  for (TAGGED l = deref(StrArg(node, 4)); k >= 0 && IsLst(l); l = deref(LstTail(l))) {
    TAGGED br = deref(LstHead(l));
    if (!IsStr(br) || IsBox(br) || Arity(StrFunctor(br)) < 2) return -1;
    TAGGED iv = deref(StrArg(br, 1)), next = deref(StrArg(br, 2));
    if (!IsStr(iv) || IsBox(iv) || Arity(StrFunctor(iv)) != 2) return -1;
    TAGGED lo = deref(StrArg(iv, 1)), hi = deref(StrArg(iv, 2));
    if (!is_bound_word(lo) || !is_bound_word(hi) || below(hi, lo)) return -1;
    if (lo == atom_sup || hi == atom_inf || (prev && !below(prev, lo))) return -1;
    if (IsSmall(next) && !fd_small_in(next, 0, s.nnodes - 1)) return -1;
    prev = hi;
  }
  return k;
}

/* The posting data: its shape, or nrows -1 after raising an error. */
case_shape check_posting(ORVALIS_API_STRUCT *api, worker *w, TAGGED p)
{
  case_shape s{0, 0, 0, -1};
  p = deref(p);
  auto fail = [&](const char *what, TAGGED culprit) {
    fd_domain_error(api, what, fd_error_culprit(culprit), 1);
    s.nrows = -1;
    return s;
  };
  if (!IsStr(p) || IsBox(p) || Arity(StrFunctor(p)) < 7) return fail("case_posting", p);
  if (!fd_small_in(StrArg(p, 1), 1, 1 << 20) || !fd_small_in(StrArg(p, 2), 1, 1 << 24) ||
      !fd_small_in(StrArg(p, 3), 0, 1 << 26))
    return fail("case_counts", p);
  s.nvars = GetSmall(deref(StrArg(p, 1)));
  s.nnodes = GetSmall(deref(StrArg(p, 2)));
  s.nchildren = GetSmall(deref(StrArg(p, 3)));
  int nrows = fd_proper_length(w, StrArg(p, 4));
  if (nrows < 0) return fail("case_rows", StrArg(p, 4));
  QX_globref_ probe[2];
  for (TAGGED l = deref(StrArg(p, 4)); IsLst(l); l = deref(LstTail(l))) {
    if (fd_proper_length(w, LstHead(l)) != s.nvars) return fail("case_row", LstHead(l));
    for (TAGGED e = deref(LstHead(l)); IsLst(e); e = deref(LstTail(e)))
      if (!fd_entry_refs(LstHead(e), probe)) return fail("variable_entry", LstHead(e));
  }
  if (fd_proper_length(w, StrArg(p, 5)) != s.nnodes) return fail("case_nodes", StrArg(p, 5));
  int children = 0;
  for (TAGGED l = deref(StrArg(p, 5)); IsLst(l); l = deref(LstTail(l))) {
    int k = check_node(w, LstHead(l), s);
    if (k < 0) return fail("case_node", LstHead(l));
    children += k;
  }
  if (children != s.nchildren) return fail("case_counts", p);
  for (int a = 6; a <= 7; a++) {
    if (fd_proper_length(w, StrArg(p, a)) != s.nvars) return fail("case_kinds", StrArg(p, a));
    for (TAGGED l = deref(StrArg(p, a)); IsLst(l); l = deref(LstTail(l)))
      if (!IsAtom(deref(LstHead(l)))) return fail("case_kinds", LstHead(l));
  }
  s.nrows = nrows;
  return s;
}

/* Whether the graph from the root has no cycle (an iterative depth-first search). */
bool acyclic(ORVALIS_API_STRUCT *api, worker *w, const case_data *b)
{
  auto *colour = (uint8_t *)fd_temp_alloc(api, w, (size_t)b->nnodes);
  auto *stack = (int *)fd_temp_alloc(api, w, sizeof(int) * 2 * (size_t)b->nnodes);
  std::memset(colour, 0, (size_t)b->nnodes);
  int top = 0;
  stack[0] = 0, stack[1] = b->child_index[0];
  colour[0] = 1;
  while (top >= 0) {
    int n = stack[2 * top], &c = stack[2 * top + 1];
    if (c == b->child_end[n]) {
      colour[n] = 2;
      top--;
      continue;
    }
    int m = b->cnode[c++];
    if (m < 0 || colour[m] == 2) continue;
    if (colour[m] == 1) return false;
    colour[m] = 1;
    top++;
    stack[2 * top] = m, stack[2 * top + 1] = b->child_index[m];
  }
  return true;
}

/* The arrays of a block after its head, in one allocation. */
size_t case_bytes(const case_shape &s)
{
  size_t rv = (size_t)s.nrows * s.nvars, rn = (size_t)s.nrows * s.nnodes;
  return sizeof(case_data) + rv * sizeof(case_frame) + s.nvars * sizeof(dvar) +
         2 * s.nvars * sizeof(TAGGED) + 2 * s.nchildren * sizeof(TAGGED) +
         sizeof(int) * (s.nrows + 2 * s.nvars + 3 * rv + 3 * rn + 4 * s.nnodes + s.nchildren) +
         s.nnodes * sizeof(walk_frame);
}

case_data *case_make_block(fd_entry *e, const case_shape &s)
{
  QX_globref refs;
  int nrefs = s.nrows * (2 * s.nvars + 2);
  auto *b = (case_data *)fd_entry_block(e, case_bytes(s), case_destructor, nullptr, nrefs, &refs);
  b->qxenv = e->api;
  b->refbase = refs;
  b->nrefs = nrefs, b->nrows = s.nrows, b->nvars = s.nvars, b->nnodes = s.nnodes;
  b->nchildren = s.nchildren;
  size_t rv = (size_t)s.nrows * s.nvars, rn = (size_t)s.nrows * s.nnodes;
  char *p = (char *)(b + 1);
  auto take = [&p](size_t bytes) {
    void *q = p;
    p += bytes;
    return q;
  };
  b->frames = (case_frame *)take(rv * sizeof(case_frame));
  b->dv = (dvar *)take(s.nvars * sizeof(dvar));
  b->prune_set = (TAGGED *)take(s.nvars * sizeof(TAGGED));
  b->cache_set = (TAGGED *)take(s.nvars * sizeof(TAGGED));
  b->cmin = (TAGGED *)take(s.nchildren * sizeof(TAGGED));
  b->cmax = (TAGGED *)take(s.nchildren * sizeof(TAGGED));
  b->next = (int *)take(s.nrows * sizeof(int));
  b->control = (int *)take(s.nvars * sizeof(int));
  b->on = (int *)take(s.nvars * sizeof(int));
  b->latest_date = (uint32_t *)take(rv * sizeof(int));
  b->latest_size = (int *)take(rv * sizeof(int));
  b->twin = (int *)take(rv * sizeof(int));
  b->date = (uint32_t *)take(rn * sizeof(int));
  b->dense = (int *)take(rn * sizeof(int));
  b->sparse = (int *)take(rn * sizeof(int));
  b->id = (int *)take(s.nnodes * sizeof(int));
  b->var_index = (int *)take(s.nnodes * sizeof(int));
  b->child_index = (int *)take(s.nnodes * sizeof(int));
  b->child_end = (int *)take(s.nnodes * sizeof(int));
  b->cnode = (int *)take(s.nchildren * sizeof(int));
  b->walk = (walk_frame *)take(s.nnodes * sizeof(walk_frame));
  return b;
}

/* Nodes and branches from the posting data; whether every child tests a later position. */
void read_nodes(case_data *b, TAGGED nodes)
{
  int n = 0, c = 0;
  for (TAGGED l = deref(nodes); IsLst(l); l = deref(LstTail(l)), n++) {
    TAGGED node = deref(LstHead(l));
    b->id[n] = GetSmall(deref(StrArg(node, 1)));
    b->var_index[n] = GetSmall(deref(StrArg(node, 2)));
    b->child_index[n] = c;
    for (TAGGED br = deref(StrArg(node, 4)); IsLst(br); br = deref(LstTail(br)), c++) {
      TAGGED t = deref(LstHead(br)), iv = deref(StrArg(t, 1)), next = deref(StrArg(t, 2));
      b->cmin[c] = deref(StrArg(iv, 1));
      b->cmax[c] = deref(StrArg(iv, 2));
      b->cnode[c] = IsSmall(next) ? GetSmall(next) : -1;
    }
    b->child_end[n] = c;
  }
  b->ordered = true;
  for (n = 0; n < b->nnodes; n++)
    for (c = b->child_index[n]; c < b->child_end[n]; c++)
      if (b->cnode[c] >= 0 && b->var_index[b->cnode[c]] <= b->var_index[n]) b->ordered = false;
}

void read_kinds(ORVALIS_API_STRUCT *api, TAGGED list, int *out)
{
  for (list = deref(list); IsLst(list); list = deref(LstTail(list))) *out++ = kind_of(api, deref(LstHead(list)));
}

/* Each row's false-node count mutable and entailment variable, on the heap. */
void make_row_terms(ORVALIS_API_STRUCT *api, worker *w, case_data *b)
{
  fd_room(api, w, 4 * (uint32_t)b->nrows + 128);
  for (int r = 0; r < b->nrows; r++) {
    TAGGED *m = fd_heap_words(w, 4);
    m[0] = functor_mutable2, m[1] = MakeSmall(0), m[2] = MakeSmall(0);
    m[3] = MakeRef(m + 3);
    *count_ref(b, r) = MakeStr(m);
    *entail_ref(b, r) = MakeRef(m + 3);
  }
}

void attach_daemons(ORVALIS_API_STRUCT *api, worker *w, case_data *b)
{
  struct fd_state *fd = fd_state(api);
  const TAGGED keys[] = {fd->functor_dom, fd->functor_minmax, fd->functor_min, fd->functor_max,
                         fd->functor_val};
  for (int r = 0; r < b->nrows; r++)
    for (int i = 0; i < b->nvars; i++) {
      int k = r * b->nvars + i;
      b->frames[k] = {{nullptr, case_daemon}, b};
      dvar d;
      dvar_init(&d, attr_ref(b, r, i), var_ref(b, r, i));
      b->latest_date[k] = CHANGED;
      b->latest_size[k] = dvar_value_count(&d);
      if (b->on[i] != K_NONE) dvar_attach_daemon(api, w, &d, &b->frames[k], deref(w->term[1]), keys[b->on[i]]);
    }
}

/* Links the pairs over one variable into cycles (twin), through their order by the variable's
 * address. */
void link_twins(ORVALIS_API_STRUCT *api, worker *w, case_data *b)
{
  int rv = b->nrows * b->nvars;
  auto *order = (int *)fd_temp_alloc(api, w, (size_t)rv * sizeof(int));
  for (int k = 0; k < rv; k++) order[k] = k, b->twin[k] = k;
  auto key = [b](int k) {
    TAGGED x = deref(b->refbase[2 * k + 1].term);
    return IsVar(x) ? (uintptr_t)x : (uintptr_t)0;
  };
  fd_qsort(api, order, (size_t)rv, [&key](const int *x, const int *y) {
    uintptr_t a = key(*x), c = key(*y);
    return a < c ? -1 : a > c ? 1 : *x - *y;
  });
  for (int a = 0; a < rv;) {
    int e = a + 1;
    while (e < rv && key(order[e]) == key(order[a]) && key(order[a]) != 0) e++;
    for (int m = a; m < e; m++) b->twin[order[m]] = order[m + 1 < e ? m + 1 : a];
    a = e;
  }
}

/* A first call: the block, or null with outcome -2 after an error. */
case_data *case_first_call(fd_entry *e, int *outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED posting = deref(StrArg(deref(w->term[0]), 1));
  case_shape s = check_posting(api, w, posting);
  TAGGED left = deref(StrArg(deref(w->term[0]), 2));
  /* no row is entailed before the first call */
  if (s.nrows >= 0 && !fd_entry_first_count(api, left, s.nrows, "case_rows_left")) s.nrows = -1;
  if (s.nrows < 0) {
    *outcome = -2;
    return nullptr;
  }
  case_data *b = case_make_block(e, s);
  posting = deref(StrArg(deref(w->term[0]), 1));
  read_nodes(b, StrArg(posting, 5));
  if (!acyclic(api, w, b)) {
    fd_domain_error(api, "acyclic_graph", fd_error_culprit(StrArg(posting, 5)), 1);
    *outcome = -2;
    return nullptr;
  }
  read_kinds(api, StrArg(posting, 6), b->on);
  read_kinds(api, StrArg(posting, 7), b->control);
  int r = 0;
  for (TAGGED l = deref(StrArg(posting, 4)); IsLst(l); l = deref(LstTail(l)), r++) {
    int i = 0;
    for (TAGGED x = deref(LstHead(l)); IsLst(x); x = deref(LstTail(x)), i++)
      fd_entry_refs(LstHead(x), &b->refbase[2 * (r * b->nvars + i)]);
    b->next[r] = r - 1;
  }
  b->first = s.nrows - 1;
  b->true_date = 1;
  for (size_t k = 0; k < (size_t)s.nrows * s.nnodes; k++) b->date[k] = CHANGED - 1, b->sparse[k] = -1;
  make_row_terms(api, w, b);
  attach_daemons(api, w, b);
  link_twins(api, w, b);
  write_state(w, 1, atom_nil);
  write_state(w, 2, left);
  return b;
}

}  // namespace

void prolog_fd_case_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                   QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 4, false)) return;
  int outcome = 1;
  case_data *b = nullptr;
  if (IsVar(e.handle))
    b = case_first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (case_data *)fd_perm_data(e.handle);
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  if (b) outcome = case_run(api, e.w, b);
  fd_entry_end(&e, state, actions, outcome);
}
