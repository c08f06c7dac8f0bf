/* Labeling support: the heap of variables still to label, picking the best variable of a list,
 * narrowing a domain to one value, and unification that wakes plain FD variables directly.
 *
 * The heap lives in a persistent block. A daemon on every variable keeps it current while the
 * block's stamp equals the Stamp of the state term stored in the labeling record; after
 * backtracking the stamps differ and the next call rebuilds it from the size it had when its
 * Handle was last new. Removed variables stay in the array behind the live entries, so restoring
 * that size brings them back.
 */
#include <climits>
#include <cstring>

#include "fd_propagate.h"
#include "fd_sets.h"

namespace {

enum var_choice { CHOICE_MIN = 1, CHOICE_MAX = 2, CHOICE_FF = 3, CHOICE_FFC = 4 };

/* The key of a bound variable; an infinite bound ranks just above it. */
constexpr int32_t BOUND_KEY = INT32_MIN;
/* Heap words the take-over of one binding may build before fd_enqueue_all makes its own room. */
constexpr uint32_t BINDING_WORDS = 135;
constexpr uint32_t SINGLETON_WORDS = 7;
/* Up to this many variables a scan of the keys at each choice costs less than keeping a heap
 * current on every domain event and rebuilding it after every backtrack. */
constexpr int SCAN_VARS = 32;

struct labeling_data;

/* The daemon record of variable i carries the address of frames[i]: the daemon finds its variable
 * from it without a search. */
struct var_frame {
  daemon_frame frame; /* no destructor: the block's own frame frees it */
  labeling_data *block;
};

struct labeling_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  int32_t stamp;
  int32_t *key;
  int32_t *heap;
  int32_t *vheap;
  var_frame *frames;
  QX_globref refbase; /* two per variable: its attribute, the variable; then the list */
  int32_t heapsize;
  int32_t heapsize_committed;
  int32_t nvars;
  int32_t type;
  bool scan; /* no heap: the choice scans the keys (few variables) */
};

/* ---- keys ---- */

/* The key of a domain under a rule (smaller is better). */
inline int32_t dom_key(const TAGGED *dom, int type)
{
  TAGGED min = deref(dom[2]), max = deref(dom[3]), size = deref(dom[4]);
  switch (type) {
  case CHOICE_MIN: return IsSmall(min) ? GetSmall(min) : BOUND_KEY + 1;
  case CHOICE_MAX: return IsSmall(max) ? -GetSmall(max) : BOUND_KEY + 1;
  default: return IsSmall(size) ? GetSmall(size) : INT32_MAX;
  }
}

TAGGED ref_term(const labeling_data *b, int i, int which)
{
  return deref(b->refbase[2 * i + which].term);
}

/* The key of variable i under a rule; BOUND_KEY once it is bound. */
inline int32_t var_key(const labeling_data *b, int i, int type)
{
  if (!IsVar(ref_term(b, i, 1))) return BOUND_KEY;
  TAGGED dom = fd_attr_dom(ref_term(b, i, 0));
  return dom ? dom_key(StrPtr(dom), type) : BOUND_KEY;
}

void set_key(labeling_data *b, int i) { b->key[i] = var_key(b, i, b->type); }

bool better(const labeling_data *b, int x, int y)
{
  return b->key[x] < b->key[y] || (b->key[x] == b->key[y] && x < y);
}

void place(labeling_data *b, int pos, int i)
{
  b->heap[pos] = i;
  b->vheap[i] = pos;
}

void sift_down(labeling_data *b, int pos)
{
  int i = b->heap[pos];
  for (;;) {
    int child = 2 * pos + 1;
    if (child >= b->heapsize) break;
    if (child + 1 < b->heapsize && better(b, b->heap[child + 1], b->heap[child])) child++;
    if (!better(b, b->heap[child], i)) break;
    place(b, pos, b->heap[child]);
    pos = child;
  }
  place(b, pos, i);
}

void sift_up(labeling_data *b, int pos)
{
  int i = b->heap[pos];
  while (pos > 0 && better(b, i, b->heap[(pos - 1) / 2])) {
    place(b, pos, b->heap[(pos - 1) / 2]);
    pos = (pos - 1) / 2;
  }
  place(b, pos, i);
}

/* Moves the entry at pos behind the live ones, where a rebuild can restore it. */
void remove_at(labeling_data *b, int pos)
{
  int i = b->heap[pos], last = --b->heapsize;
  if (pos == last) return;
  int moved = b->heap[last];
  place(b, pos, moved);
  place(b, last, i);
  /* the moved entry comes from another subtree: it may belong above pos as well as below */
  sift_up(b, pos);
  sift_down(b, b->vheap[moved]);
}

void rebuild(labeling_data *b)
{
  b->heapsize = b->heapsize_committed;
  for (int pos = 0; pos < b->heapsize; pos++) set_key(b, b->heap[pos]);
  for (int pos = (b->heapsize - 2) / 2; pos >= 0; pos--) sift_down(b, pos);
  while (b->heapsize > 0 && b->key[b->heap[0]] == BOUND_KEY) remove_at(b, 0);
}

/* ---- the block ---- */

void labeling_destructor(void *block)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* its instance may be gone */
  QX_free_globrefs(((labeling_data *)block)->refbase);
  QX_free(block);
}

TAGGED state_stamp(TAGGED state) { return deref(StrArg(state, (int)Arity(StrFunctor(state)))); }

/* Keeps the heap current after a domain event on the variable of frame f. */
[[gnu::noinline]] void heap_daemon(ORVALIS_API_STRUCT *api, worker *w, var_frame *f, TAGGED global)
{
  labeling_data *b = f->block;
  int i = (int)(f - b->frames);
  TAGGED state = fd_mutable_value(StrArg(deref(global), FD_GLOBAL_STATE));
  if (state_stamp(state) != MakeSmall(b->stamp)) return;
  int pos = b->vheap[i];
  if (pos >= b->heapsize) return; /* removed already */
  int32_t old = b->key[i];
  set_key(b, i);
  int32_t key = b->key[i];
  if (key == old) return; /* the heap stays as it is, current for this state */
  /* The state's Stamp follows the block's (in a copy that backtracking undoes when the state is
   * older than the newest choicepoint); set_key cannot collect. */
  fd_daemon_copy_read_state(api, w, &global, state);
  b->stamp++;
  if (key == BOUND_KEY)
    remove_at(b, pos);
  else if (key < old)
    sift_up(b, pos);
  else
    sift_down(b, pos);
}

int labeling_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (var_frame *)frame;
  if (!f->block->scan) heap_daemon(api, w, f, global);
  return 1;
}

/* ---- argument checks ---- */

void clear_scratch(worker *w)
{
  for (int i = 0; i < FD_LIVE; i++) w->term[i] = atom_nil;
}

void fail_with(ORVALIS_API_STRUCT *api, int /* the error raised */) { fd_native_fail(api); }

/* The attribute of an FD variable, or 0 when v has none or a malformed one. */
TAGGED fd_attribute_of(ORVALIS_API_STRUCT *api, TAGGED v)
{
  v = deref(v);
  TAGGED attr = IsVar(v) ? fd_var_attribute(api, fd_worker(api), v) : 0;
  return attr && fd_well_formed_attribute(attr) ? attr : 0;
}

/* A proper list of integers and FD variables; else raises the error and answers false. */
bool check_labeling_list(ORVALIS_API_STRUCT *api, worker *w, TAGGED list)
{
  uint32_t steps = fd_list_bound(w);
  for (; IsLst(list) && steps-- > 0; list = deref(LstTail(list))) {
    TAGGED e = deref(LstHead(list));
    if (!IsSmall(e) && !(IsVar(e) && fd_attribute_of(api, e))) {
      fail_with(api, fd_type_error(api, "domain_variable", e, 1));
      return false;
    }
  }
  if (list == atom_nil) return true;
  if (IsVar(list))
    fail_with(api, fd_instantiation_error(api, 1));
  else
    fail_with(api, fd_type_error(api, "list", list, 1));
  return false;
}

/* The rule a suspension-list name selects, or 0 after raising an error. Only lists that see every
 * change of the rule's key qualify. */
int labeling_type(ORVALIS_API_STRUCT *api, worker *w, TAGGED name)
{
  struct fd_state *fd = fd_state(api);
  if (name == FunctorName(fd->functor_min)) return CHOICE_MIN;
  if (name == FunctorName(fd->functor_max)) return CHOICE_MAX;
  if (name == atom_dom || name == FunctorName(fd->functor_minmax)) return CHOICE_FF;
  if (IsVar(name))
    fail_with(api, fd_instantiation_error(api, 1));
  else if (!IsAtom(name))
    fail_with(api, fd_type_error(api, "atom", name, 1));
  else
    fail_with(api, fd_domain_error(api, "suspension_list", name, 1));
  return 0;
}

/* ---- $fd_labeling ---- */

/* A new block for the unbound variables of the state's list, with a daemon on each. */
labeling_data *make_block(ORVALIS_API_STRUCT *api, worker *w, TAGGED handle, int type, int n)
{
  size_t bytes = sizeof(labeling_data) + (size_t)n * (3 * sizeof(int32_t) + sizeof(var_frame));
  auto *b = (labeling_data *)fd_perm_alloc(api, w, bytes, handle);
  std::memset(b, 0, sizeof *b);
  b->frame.destructor = labeling_destructor;
  b->qxenv = api;
  b->frames = (var_frame *)(b + 1);
  b->key = (int32_t *)(b->frames + n);
  b->heap = b->key + n;
  b->vheap = b->heap + n;
  b->heapsize = b->heapsize_committed = b->nvars = n;
  b->type = type;
  b->scan = n <= SCAN_VARS;
  b->refbase = QX_alloc_globrefs(2 * n + 1);
  if (!b->refbase) qx_memory_fault("global references", QX_SPACE_FOREIGN);
  b->refbase[2 * n] = {deref(StrArg(deref(w->term[0]), 1)), 0};
  /* A heap follows every change of its rule's key, on the list the state names. A scan reads the
   * keys at each choice: its daemons do nothing but count among each variable's suspensions (as
   * ffc ranks), so they wait on the Val list, which wakes them once. */
  TAGGED key = b->scan ? fd_state(api)->functor_val : deref(StrArg(deref(w->term[0]), 2));
  int i = 0;
  for (w->term[2] = deref(StrArg(deref(w->term[0]), 1)); IsLst(w->term[2]);
       w->term[2] = deref(LstTail(w->term[2]))) {
    TAGGED v = deref(LstHead(w->term[2]));
    if (!IsVar(v)) continue;
    b->refbase[2 * i] = {fd_var_attribute(api, w, v), 0};
    b->refbase[2 * i + 1] = {v, 0};
    b->frames[i] = {{nullptr, labeling_daemon}, b};
    place(b, i, i);
    dvar d;
    dvar_init(&d, &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
    dvar_attach_daemon(api, w, &d, &b->frames[i], deref(w->term[1]), key);
    i++;
  }
  return b;
}

/* The state's list is the one its live block was built from: it passed the check then, and its
 * variables can since only have been bound to integers or to one another. */
bool checked_list(TAGGED state)
{
  TAGGED handle = deref(StrArg(state, 3));
  if (!IsLst(handle) || !IsVar(deref(LstHead(handle)))) return false;
  auto *b = (const labeling_data *)fd_perm_data(handle);
  return b->frame.destructor == labeling_destructor &&
         deref(b->refbase[2 * b->nvars].term) == deref(StrArg(state, 1));
}

int count_unbound(TAGGED list)
{
  int n = 0;
  for (list = deref(list); IsLst(list); list = deref(LstTail(list)))
    if (IsVar(deref(LstHead(list)))) n++;
  return n;
}

/* The unbound variable with the smallest key, ties to the first; -1 when all are bound. The same
 * variable as the top of a current heap. */
template <int TYPE>
int scan_best(const labeling_data *b)
{
  int best = -1;
  int32_t best_key = 0;
  for (int i = 0, n = b->nvars; i < n; i++) {
    int32_t key = var_key(b, i, TYPE);
    if (key == BOUND_KEY) continue;
    if (best < 0 || key < best_key) {
      best = i;
      best_key = key;
    }
  }
  return best;
}

int scan_best(const labeling_data *b)
{
  switch (b->type) {
  case CHOICE_MIN: return scan_best<CHOICE_MIN>(b);
  case CHOICE_MAX: return scan_best<CHOICE_MAX>(b);
  default: return scan_best<CHOICE_FF>(b);
  }
}

/* The heap's best variable after bringing the heap up to date; -1 when it is empty. */
int heap_best(labeling_data *b, int32_t stamp, int is_new)
{
  if (b->stamp != stamp) rebuild(b);
  b->stamp = stamp + 1;
  if (is_new) b->heapsize_committed = b->heapsize;
  return b->heapsize > 0 ? b->heap[0] : -1;
}

/* The variables are all labelled: the daemons die with the record and the block goes. */
void finish(ORVALIS_API_STRUCT *api, worker *w)
{
  fd_perm_free(api, w);
  TAGGED dead = deref(StrArg(deref(w->term[1]), FD_ARG_DEAD));
  if (IsVar(dead)) fd_bind(api, w, dead, MakeSmall(1));
}

}  // namespace

int set_singleton(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED m)
{
  TAGGED dom = fd_mutable_value(m);
  if (!IsSmall(value) || !fd_member(value, deref(StrArg(dom, 1)))) return 0;
  TAGGED *d = StrPtr(dom);
  if (d < w->global_uncond) {
    /* [[V|V]] and dom/4 whose Min and Max are that pair */
    TAGGED *p = fd_heap_words(w, SINGLETON_WORDS);
    p[0] = MakeLst(p + 4);
    p[1] = atom_nil;
    p[2] = fd_state(api)->functor_dom4;
    p[3] = MakeLst(p);
    p[4] = p[5] = value;
    p[6] = MakeSmall(1);
    fd_update_mutable(api, w, MakeStr(p + 2), m);
  } else {
    TAGGED *cell = fd_heap_words(w, 2);
    cell[0] = MakeLst(d + 2);
    cell[1] = atom_nil;
    d[1] = MakeLst(cell);
    d[2] = d[3] = value;
    d[4] = MakeSmall(1);
  }
  return 1;
}

void prolog_fd_labeling_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                       QX_term_ref state, QX_term_ref var, QX_term_ref global)
{
  worker *w = fd_worker(api);
  clear_scratch(w);
  TAGGED s = fd_ref_get(api, state0);
  if (!IsStr(s) || Arity(StrFunctor(s)) != 4 || !IsSmall(state_stamp(s)) ||
      !fd_valid_handle(deref(StrArg(s, 3)))) {
    fail_with(api, fd_type_error(api, "labeling_state", s, 1));
    return;
  }
  int type = labeling_type(api, w, deref(StrArg(s, 2)));
  if (!type || (!checked_list(s) && !check_labeling_list(api, w, deref(StrArg(s, 1))))) return;
  w->term[0] = s;
  w->term[1] = fd_ref_get(api, global);
  if (!fd_check_global(api, w)) return;
  TAGGED handle;
  int32_t stamp;
  int is_new;
  fd_unify_output_state(api, w, &handle, &stamp, &is_new);
  labeling_data *b = nullptr;
  if (IsVar(handle)) {
    int n = count_unbound(StrArg(deref(w->term[0]), 1));
    if (n > 0) {
      b = make_block(api, w, handle, type, n);
      b->stamp = stamp - 1;
    }
  } else if (IsVar(deref(LstHead(handle)))) {
    b = (labeling_data *)fd_perm_data(handle);
  }
  /* else the block went when its heap emptied */
  TAGGED best = atom_nil;
  if (b) {
    int i = b->scan ? scan_best(b) : heap_best(b, stamp, is_new);
    if (i >= 0)
      best = ref_term(b, i, 1);
    else
      finish(api, w);
  }
  fd_ref_put(api, state, w->term[0]);
  fd_ref_put(api, var, best);
}

/* ---- $fd_delete ---- */

namespace {

struct rank {
  int32_t key, count;
};

/* The rank of an integer or an unbound variable (one without an attribute has inf..sup); false
 * for anything else. */
bool rank_var(ORVALIS_API_STRUCT *api, TAGGED e, int type, rank *r)
{
  r->count = 0;
  if (IsSmall(e)) {
    TAGGED one[5] = {0, 0, e, e, MakeSmall(1)};
    r->key = dom_key(one, type);
    return true;
  }
  if (!IsVar(e)) return false;
  TAGGED attr = fd_var_attribute(api, fd_worker(api), e);
  if (!attr) {
    TAGGED all[5] = {0, 0, atom_inf, atom_sup, atom_sup};
    r->key = dom_key(all, type);
    return true;
  }
  if (!fd_well_formed_attribute(attr)) return false;
  r->key = dom_key(StrPtr(fd_attr_dom(attr)), type);
  TAGGED lists = deref(StrArg(fd_attr_last(attr), 4));
  if (type == CHOICE_FFC && IsStr(lists))
    r->count = -GetSmall(deref(StrArg(fd_mutable_value(lists), 1)));
  return true;
}

}  // namespace

void prolog_fd_delete_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list, QX_term_ref var,
                                     long rule)
{
  worker *w = fd_worker(api);
  if (rule < CHOICE_MIN || rule > CHOICE_FFC) {
    fail_with(api, fd_domain_error(api, "var_choice", MakeSmall((int32_t)rule), 3));
    return;
  }
  int type = (int)rule;
  TAGGED l = fd_ref_get(api, list);
  if (!IsLst(l)) {
    if (IsVar(l))
      fail_with(api, fd_instantiation_error(api, 1));
    else if (l != atom_nil)
      fail_with(api, fd_type_error(api, "list", l, 1));
    else
      fd_native_fail(api);
    return;
  }
  TAGGED chosen = deref(LstHead(l));
  rank best;
  if (!rank_var(api, chosen, type, &best)) {
    fail_with(api, fd_type_error(api, "domain_variable", chosen, 1));
    return;
  }
  uint32_t steps = fd_list_bound(w);
  for (l = deref(LstTail(l)); IsLst(l) && steps-- > 0; l = deref(LstTail(l))) {
    if (type == CHOICE_FF && best.key <= 2) break; /* no unfixed variable has a smaller domain */
    TAGGED e = deref(LstHead(l));
    if (!IsVar(e)) continue;
    rank r;
    if (!rank_var(api, e, type, &r)) {
      fail_with(api, fd_type_error(api, "domain_variable", e, 1));
      return;
    }
    if (r.key < best.key || (type == CHOICE_FFC && r.key == best.key && r.count < best.count)) {
      best = r;
      chosen = e;
    }
  }
  fd_ref_put(api, var, chosen);
}

/* ---- $fd_set_singleton ---- */

namespace {

/* The mutable holding the current dom/4 of a domain mutable (following aliases), or 0 when m is
 * none. */
TAGGED domain_mutable(TAGGED m)
{
  for (int steps = 64; steps-- > 0;) {
    if (!IsStr(m) || StrFunctor(m) != functor_mutable2) return 0;
    TAGGED value = fd_mutable_value(m);
    if (IsStr(value) && StrFunctor(value) == functor_v4) {
      m = deref(StrArg(value, 3));
      continue;
    }
    if (!IsStr(value) || StrFunctor(value) != FD_FUNCTOR_DOM4) return 0;
    TAGGED set = deref(StrArg(value, 1));
    int32_t count;
    bool refs;
    return IsLst(set) && fds_check(set, &count, &refs) && !refs ? m : 0;
  }
  return 0;
}

}  // namespace

void prolog_fd_set_singleton_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref value,
                                            QX_term_ref dom_mutable)
{
  worker *w = fd_worker(api);
  clear_scratch(w);
  TAGGED m = domain_mutable(fd_ref_get(api, dom_mutable));
  if (!m) {
    fail_with(api, fd_type_error(api, "mutable", fd_ref_get(api, dom_mutable), 2));
    return;
  }
  w->term[0] = m;
  call_overflow(w, SINGLETON_WORDS + 128, FD_LIVE);
  if (!set_singleton(api, w, fd_ref_get(api, value), w->term[0])) fd_native_fail(api);
}

/* ---- $fd_unify ---- */

namespace {

/* A bound attributed variable's cell that only clpfd's attribute watches, bound to an integer. */
bool plain_binding(const TAGGED *cell, mod_def *module)
{
  if (!IsSmall(deref(cell[0])) || deref(cell[1]) != atom_nil) return false;
  TAGGED attrs = deref(cell[2]);
  uint32_t arity = Arity(StrFunctor(attrs));
  for (uint32_t i = 1; i <= arity; i++) {
    TAGGED a = deref(StrArg(attrs, (int)i));
    if (i == module->attr_no ? !fd_well_formed_attribute(a) : a != atom_no_attr) return false;
  }
  return module->attr_no >= 1 && module->attr_no <= arity;
}

}  // namespace

void prolog_fd_unify_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref y)
{
  worker *w = fd_worker(api);
  struct fd_state *fd = fd_state(api);
  clear_scratch(w);
  uint32_t first = w->wake_len;
  if (!cunify(w, fd_ref_get(api, x), fd_ref_get(api, y))) {
    fd_native_fail(api);
    return;
  }
  uint32_t n = w->wake_len - first;
  bool plain = true;
  for (uint32_t i = first; i < w->wake_len && plain; i++)
    plain = plain_binding(w->wake_list[i], fd->fd_module);
  /* Room for the pairs, or else the engine's wake-up does the work. */
  QX_term_ref pairs = plain && n > 0 ? QX_new_term_refs(2 * (int)n) : 0;
  if (!pairs) {
    fd_begin(api, w);
    return;
  }
  /* The unification's wake-ups leave the worker's wake list (in place): the solver does them. */
  uint32_t kept = first;
  for (uint32_t k = 0; k < n; k++) {
    TAGGED *cell = w->wake_list[first + k];
    fd_ref_put(api, pairs + 2 * (int)k, deref(StrArg(deref(cell[2]), (int)fd->fd_module->attr_no)));
    fd_ref_put(api, pairs + 2 * (int)k + 1, deref(cell[0]));
    /* an older variable's wake-up stays with the engine: its hook finds the domain {V} */
    if (cell < w->global_uncond) w->wake_list[kept++] = cell;
  }
  w->wake_len = kept;
  w->wake_count = kept;
  /* The soft heap limit stays zeroed: the engine's next event check finds what is left, and
   * restores the limit when nothing is. */
  fd_begin(api, w);
  for (uint32_t k = 0; k < n; k++) {
    call_overflow(w, BINDING_WORDS, FD_LIVE);
    TAGGED last = fd_attr_last(fd_ref_get(api, pairs + 2 * (int)k));
    if (!set_singleton(api, w, fd_ref_get(api, pairs + 2 * (int)k + 1), StrArg(last, 3))) {
      fd->failures++;
      fd_native_fail(api);
      return;
    }
    last = fd_attr_last(fd_ref_get(api, pairs + 2 * (int)k));
    fd_enqueue_all(api, w, FD_WAKE_FIXED, fd->functor_none, StrArg(last, 4));
  }
}
