/* element/3: Y is the X-th element (from 1) of a list of n variables or integers. Every call
 * recomputes from the current domains: X keeps the indexes whose element meets Y, Y keeps the
 * hull of those elements. The state term is element(X, Y, List, N, Flag, Handle, Stamp) with X
 * and Y variable entries, List of entries or integers (Flag nonzero: integers only). */
#include <initializer_list>

#include "fd_bounds.h"
#include "fd_globals.h"

namespace {

constexpr int CODE_ELEMENT = 7; /* queue 3, at the back */
constexpr int ELEMENT_ARITY = 7;

struct element_data;

/* The daemon's handle on one element: the kernel passes it back to the daemon. */
struct element_frame {
  daemon_frame frame; /* element_daemon */
  element_data *block;
  int index; /* 1..n */
};

struct element_data {
  daemon_frame frame; /* element_destructor */
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* pairs (attribute, variable): X, Y, then the variable elements */
  int nrefs;
  int n;
  dvar *dv;              /* n + 2: X, Y, the elements */
  element_frame *frames; /* n */
};

void element_destructor(void *block)
{
  auto *b = (element_data *)block;
  fd_entry_destroy(b, b->refbase);
}

/* A change of element i matters only while X can still select it. */
int element_daemon(ORVALIS_API_STRUCT *api, worker *w, void *frame, TAGGED *, TAGGED global)
{
  auto *f = (element_frame *)frame;
  element_data *b = f->block;
  dvar_init(&b->dv[0], &b->refbase[0].term, &b->refbase[1].term);
  if (dvar_contains_value_t(&b->dv[0], MakeSmall(f->index)))
    fd_enqueue_global(api, w, global, CODE_ELEMENT);
  return 1;
}

/* The state's shape, checked before a block keeps any of it: false after raising an error. */
bool element_valid(ORVALIS_API_STRUCT *api, worker *w, TAGGED s, int *n, bool *integers)
{
  TAGGED list = deref(StrArg(s, 3)), count = deref(StrArg(s, 4)), flag = deref(StrArg(s, 5));
  QX_globref_ scratch[2];
  if (!fd_entry_refs(StrArg(s, 1), scratch))
    return fd_entry_error(api, "fd_variable", StrArg(s, 1), 1), false;
  if (!fd_entry_refs(StrArg(s, 2), scratch))
    return fd_entry_error(api, "fd_variable", StrArg(s, 2), 2), false;
  if (!IsSmall(count)) return fd_entry_error(api, "integer", count, 4), false;
  if (!IsSmall(flag)) return fd_entry_error(api, "integer", flag, 5), false;
  *n = GetSmall(count);
  *integers = flag != MakeSmall(0);
  if (fd_entry_length(w, list) != *n)
    return fd_entry_error(api, "list_length", fd_entry_length(w, list) < 0 ? list : count, 3, true),
           false;
  for (TAGGED l = list; IsLst(l); l = deref(LstTail(l))) {
    TAGGED e = deref(LstHead(l));
    if (IsSmall(e)) continue;
    if (*integers || !fd_entry_refs(e, scratch))
      return fd_entry_error(api, *integers ? "integer" : "fd_variable", e, 3), false;
  }
  return true;
}

/* The block of a first call: the views of the elements, and a daemon on each variable element. */
element_data *element_block(fd_entry *e, int n, bool integers)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  size_t bytes = sizeof(element_data) + (n + 2) * sizeof(dvar) + n * sizeof(element_frame);
  int nrefs = integers ? 4 : 2 * n + 4;
  QX_globref refs;
  auto *b = (element_data *)fd_entry_block(e, bytes, element_destructor, nullptr, nrefs, &refs);
  b->qxenv = api;
  b->refbase = refs;
  b->nrefs = nrefs;
  b->n = n;
  b->dv = (dvar *)(b + 1);
  b->frames = (element_frame *)(b->dv + n + 2);
  TAGGED s = deref(w->term[0]);
  fd_entry_refs(StrArg(s, 1), &refs[0]);
  fd_entry_refs(StrArg(s, 2), &refs[2]);
  int i = 1;
  for (TAGGED l = deref(StrArg(s, 3)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED x = deref(LstHead(l));
    b->frames[i - 1] = {{nullptr, element_daemon}, b, i};
    if (IsSmall(x))
      dvar_init_temp(&b->dv[1 + i], x, x);
    else if (fd_entry_refs(x, &refs[2 * i + 2]))
      dvar_init(&b->dv[1 + i], &refs[2 * i + 2].term, &refs[2 * i + 3].term);
  }
  TAGGED key = fd_state(api)->functor_dom;
  for (i = 1; i <= n && !integers; i++)
    if (b->dv[1 + i].attr_ref)
      dvar_attach_daemon(api, w, &b->dv[1 + i], &b->frames[i - 1], deref(w->term[1]), key);
  return b;
}

/* Steps 4 to 8 on a block: the outcome. */
int element_run(ORVALIS_API_STRUCT *api, worker *w, element_data *b)
{
  dvar *x = &b->dv[0], *y = &b->dv[1];
  dvar_init(x, &b->refbase[0].term, &b->refbase[1].term);
  dvar_init(y, &b->refbase[2].term, &b->refbase[3].term);
  /* Indexes outside 1..n select nothing. */
  if (dvar_fix_interval_t(x, MakeSmall(1), MakeSmall(b->n)) < 0) return -1;
  TAGGED ys = dvar_set(api, y, w), lo = atom_sup, hi = atom_inf;
  FDCONS gone;
  fdcons_init(&gone);
  DVITER it;
  dviter_init(&it, x);
  while (!dviter_empty(&it)) {
    TAGGED i = dviter_next_value_t(&it);
    dvar *el = &b->dv[1 + GetSmall(i)];
    if (el->attr_ref) dvar_init(el, el->attr_ref, el->var_ref);
    if (dvar_compare_set(api, el, ys, w) == 4) {
      fdcons_add(api, &gone, w, i);
    } else {
      lo = fd_safe_min(lo, el->min);
      hi = fd_safe_max(hi, el->max);
    }
  }
  if (dvar_prune_set(api, x, gone.head, w) < 0 || dvar_fix_interval_t(y, lo, hi) < 0) return -1;
  dvar_pruning_done(api, w, x);
  dvar_pruning_done(api, w, y);
  for (dvar *v : {x, y})
    if (v->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) dvar_export_do(api, w, v);
  if (lo == hi) return 1;
  if (!(x->flags & DV_FIXED)) return 0;
  dvar_export_equal(api, w, y, &b->dv[1 + GetSmall(x->min)]);
  return 1;
}

}  // namespace

void prolog_fd_element_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, ELEMENT_ARITY, false)) return;
  element_data *b;
  if (IsVar(e.handle)) {
    int n;
    bool integers;
    if (!element_valid(api, e.w, deref(e.w->term[0]), &n, &integers)) return;
    if (n == 0) return fd_entry_end(&e, state, actions, -1);
    b = element_block(&e, n, integers);
  } else {
    b = (element_data *)fd_perm_data(e.handle);
  }
  fd_state(api)->gdata = b;
  fd_entry_end(&e, state, actions, element_run(api, e.w, b));
}
