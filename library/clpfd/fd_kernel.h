/* The solver's kernel: the resource instance and its tables, domain variables and their views,
 * propagation levels and queues, the global-constraint protocol, statistics and modes.
 *
 * Conventions. Natives take the API handle first and their arguments as term references (or as
 * converted integers and atoms where the foreign declarations say so). Worker term slots 0 to 4
 * (w->term[0..4]) are the kernel's scratch roots: a heap term kept there survives a collection
 * started by call_overflow, so code that allocates on the heap parks live terms there and re-reads
 * them afterwards. Heap addresses are never kept in native memory across an allocation.
 */
#ifndef QX_FD_KERNEL_H
#define QX_FD_KERNEL_H

#include "fd.h"

/* True when `words` heap words lie free below the warning limit, so that making room needs no
 * call_overflow (outside the collector's stress mode, where every check collects). */
static inline bool fd_room_free(const worker *w, uint32_t words)
{
  return !fd_gc_stress && w->global_top + words < w->heap_warn;
}

/* ---- the resource instance (fd_instance.cpp) ---- */

/* A global constraint's propagator: entry(api, State0, State, Actions), term references. On entry
 * w->term[0] holds State0 and w->term[1] the global/5 record. */
typedef void (*fd_global_fn)(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                             QX_term_ref actions);

struct pred_spec {
  const char *name;
  int arity;
  fd_global_fn function;
};

int qx_main_QXENV_clpfd(QX_MAINFUN_PARAMS_STRUCT *p);
/* The resource's Prolog interface (module clpfd), for the engine's table of linked interfaces. */
extern const struct qx_foreign_interface qx_clpfd_interface;
void fd_initialize_qxenv_multi_qx(ORVALIS_API_STRUCT *api, int when);
void fd_deinitialize_qxenv_multi_qx(ORVALIS_API_STRUCT *api, int when);
void fd_define_predicates(ORVALIS_API_STRUCT *api, int enable);

/* The functor word of name/arity: the atom's word with the arity in bits 23 to 30. */
static inline TAGGED fd_functor_word(TAGGED atom, uint32_t arity)
{
  return (atom & 0x807FFFFFu) | (arity << 23);
}

/* The propagator of key (a functor or an atom) as the dispatch table holds it, kept in the cache. */
fd_global_fn fd_global_function_lookup(ORVALIS_API_STRUCT *api, TAGGED key);
/* The propagator of a constraint term (dereferenced) by its functor; null when none is linked in.
 * Inline, as every run asks: a key in the cache (fd_instance.cpp) needs no call. fd is the
 * instance's state, which the loop holds: read through the handle, it is reloaded after every
 * store. */
static inline fd_global_fn fd_global_function(ORVALIS_API_STRUCT *api, struct fd_state *fd,
                                              TAGGED constraint)
{
  TAGGED key;
  if (__builtin_expect(IsStr(constraint), 1))
    key = StrFunctor(constraint);
  else if (IsAtom(constraint))
    key = constraint;
  else
    return nullptr;
  const auto &c = fd->dispatch_cache[fd_dispatch_slot(key)];
  return c.key == key ? (fd_global_fn)(uintptr_t)c.value : fd_global_function_lookup(api, key);
}
/* The same where the caller holds no instance state: fd is the API handle's. */
static inline fd_global_fn fd_global_function(ORVALIS_API_STRUCT *api, TAGGED constraint)
{
  return fd_global_function(api, fd_state(api), constraint);
}
/* Runs the propagator of constraint's functor: 1 ran, 0 no entry or the run overflowed. */
int dispatch_global_fast(ORVALIS_API_STRUCT *api, worker *w, TAGGED constraint, QX_term_ref state0,
                         QX_term_ref state, QX_term_ref actions, QX_term_ref global);
/* For a propagator entry: 1 when w->term[1] holds a global/5 record; else raises an error, fails
 * the native and answers 0 (an entry called from Prolog directly has its State there). */
int fd_check_global(ORVALIS_API_STRUCT *api, worker *w);
long prolog_fd_dispatch_global_fast_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref constraint,
                                                   QX_term_ref state0, QX_term_ref state,
                                                   QX_term_ref actions, QX_term_ref global);

/* The 26-word attribute template v(1, 0, '$mutable'(dom(...), 0), '$mutable'('$fdlists'(...), 0)):
 * pointer words hold offsets from the template start; the functor words of words 11 and 16 are
 * filled in at initialisation. */
constexpr int FD_ATTRIBUTE_WORDS = 26;
extern TAGGED fd_attribute[FD_ATTRIBUTE_WORDS];

/* The name and arity of the native predicate running, for error contexts: "" and 0 when none. */
void fd_running_native(ORVALIS_API_STRUCT *api, const char **name, int *arity);

/* ---- errors (fd_errors.cpp) ----
 * Each records the error through the public table (QX_save_error, whose codes the engine's one
 * table turns into the ISO error term) and raises it for the goal clpfd:Name/Arity of the native
 * predicate running, naming argument `argument` (0: none); the native then fails. All answer 0. */
int fd_instantiation_error(ORVALIS_API_STRUCT *api, int argument);
int fd_type_error(ORVALIS_API_STRUCT *api, const char *type, TAGGED culprit, int argument);
int fd_domain_error(ORVALIS_API_STRUCT *api, const char *domain, TAGGED culprit, int argument);
int fd_representation_error(ORVALIS_API_STRUCT *api, const char *what, int argument);
int fd_permission_error(ORVALIS_API_STRUCT *api, const char *action, const char *type,
                        TAGGED culprit, int argument);
int fd_existence_error(ORVALIS_API_STRUCT *api, const char *kind, TAGGED culprit, int argument);
int fd_system_error(ORVALIS_API_STRUCT *api, const char *message);
/* The culprit an error names: the term when small, acyclic and free of variables, else the name
 * of its functor. */
TAGGED fd_error_culprit(TAGGED t);

/* ---- statistics, modes, overflow, incumbents (fd_modes.cpp) ---- */

/* 1 when fd_overflow is clear; else runs the overflow action in error mode, fails the native
 * (QX_fail) and answers 0. */
int fd_check_overflow(ORVALIS_API_STRUCT *api, TAGGED culprit);
long prolog_fd_statistics_qxenv_multi_qx(ORVALIS_API_STRUCT *api, long key);
long prolog_fd_debug_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref old_mode, TAGGED new_mode);
long prolog_fd_overflow_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref old_mode,
                                       TAGGED new_mode);
void prolog_fd_minint_maxint_qxenv_multi_qx(ORVALIS_API_STRUCT *api, long *min, long *max);
void prolog_fd_update_incumbent_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref ref,
                                               QX_term_ref bound, QX_term_ref values);
void prolog_fd_incumbent_bound_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref ref,
                                              QX_term_ref bound);

/* ---- domain variables and their views (fd_dvar.cpp: views; fd_tell.cpp: tells and export) ---- */

/* dvar flags */
constexpr uint32_t DV_SET_TOLD = 1;   /* interior values removed: the set must be told */
constexpr uint32_t DV_MIN_RAISED = 2; /* minimum raised */
constexpr uint32_t DV_MAX_LOWERED = 4;
constexpr uint32_t DV_FIXED = 8;        /* min = max */
constexpr uint32_t DV_SET_CURRENT = 16; /* set is current */
constexpr uint32_t DV_INTERVAL = 32;    /* the domain is one interval */
constexpr uint32_t DV_EXPORTED = 64;

/* Change masks of the pruning operations. */
constexpr int FD_MASK_FAIL = -1;
constexpr int FD_MASK_DOM = 1, FD_MASK_MIN = 2, FD_MASK_MAX = 4, FD_MASK_FIXED = 8;

/* A working view of a domain variable. attr_ref and var_ref are cells that hold the attribute and
 * the variable: term-reference slots (roots), so that they stay valid across a collection. */
struct dvar {
  TAGGED min, max;
  TAGGED set;    /* FD set; valid only with DV_SET_CURRENT; 0 for a temporary view */
  TAGGED cookie; /* the Size word at load time */
  TAGGED *attr_ref;
  TAGGED *var_ref;
  uint32_t flags;
  TAGGED record; /* the dom/4 record it was loaded from (0 when it was not): the export's guess */
};

struct DVITER {
  TAGGED min;   /* next value, or start of the current interval */
  TAGGED max;   /* the view's maximum */
  TAGGED fdset; /* remaining intervals; 0 for one interval; [] when exhausted */
};

/* The untagged stand-ins of the _l forms. */
constexpr int32_t FD_INF_L = (int32_t)0x80000001;
constexpr int32_t FD_SUP_L = 0x7FFFFFFF;

/* The current dom/4 of an attribute, following the alias chain; and the last v/4 of the chain.
 * The common case, a domain mutable that holds the dom/4 itself, is taken inline. */
constexpr TAGGED FD_FUNCTOR_DOM4 = atom_dom | (4u << QX_ARITY_SHIFT);
TAGGED fd_attr_dom_chain(TAGGED attr);
static inline TAGGED fd_attr_dom(TAGGED attr)
{
  TAGGED value = deref(StrArg(deref(StrArg(deref(attr), 3)), 1));
  if (IsStr(value) && StrFunctor(value) == FD_FUNCTOR_DOM4) return value;
  return fd_attr_dom_chain(attr);
}
TAGGED fd_attr_last_chain(TAGGED attr);
/* The dom/4 record the domain mutable of the v/4 record attr holds itself, its words read without
 * dereferencing (the usual attribute, which so ends its alias chain); 0 for any other shape. */
static inline TAGGED fd_attr_own_dom(TAGGED attr)
{
  TAGGED m = StrArg(attr, 3);
  if (!IsStr(m) || StrFunctor(m) != functor_mutable2) return 0;
  TAGGED dom = StrArg(m, 1);
  return IsStr(dom) && StrFunctor(dom) == FD_FUNCTOR_DOM4 ? dom : 0;
}
/* The last v/4 of an attribute's alias chain; inline for the usual attribute. */
static inline TAGGED fd_attr_last(TAGGED attr)
{
  attr = deref(attr);
  return fd_attr_own_dom(attr) ? attr : fd_attr_last_chain(attr);
}

/* The clpfd attribute of a dereferenced unbound variable, or 0: the engine's lookup inline. */
static inline TAGGED fd_var_attribute(ORVALIS_API_STRUCT *api, const worker *w, TAGGED var)
{
  return qx_attribute_in_slot(w, var, fd_state(api)->fd_module->attr_no);
}

/* Loads a view of the variable's current domain; inline, as propagators load views on every run. */
static inline void dvar_init(dvar *d, TAGGED *attr_ref, TAGGED *var_ref)
{
  TAGGED record = fd_attr_dom(*attr_ref);
  d->record = record; /* stored first, its register free before the record's words are read */
  const TAGGED *dom = StrPtr(record);
  TAGGED set = deref(dom[1]), min = deref(dom[2]), max = deref(dom[3]);
  d->set = set;
  d->min = min;
  d->max = max;
  d->cookie = deref(dom[4]);
  d->attr_ref = attr_ref;
  d->var_ref = var_ref;
  d->flags = DV_SET_CURRENT | (min == max ? DV_FIXED : 0) | (IsLst(LstTail(set)) ? 0 : DV_INTERVAL);
}
void dvar_init_ix(dvar *d, TAGGED *attr_cell, TAGGED *var_cell);
void dvar_init_temp(dvar *d, TAGGED min, TAGGED max);
TAGGED dvar_get(const dvar *d);
int dvar_is_alias(const dvar *a, const dvar *b);
TAGGED dvar_set(ORVALIS_API_STRUCT *api, dvar *d, worker *w);
void dvar_assign(ORVALIS_API_STRUCT *api, dvar *to, dvar *from, worker *w);
int dvar_contains_value_t(const dvar *d, TAGGED value);
int dvar_compare_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w);
int dvar_compare_interval_t(ORVALIS_API_STRUCT *api, dvar *d, TAGGED min, TAGGED max, worker *w);
TAGGED dvar_predecessor_t(const dvar *d, TAGGED value);
TAGGED dvar_successor_t(const dvar *d, TAGGED value);
int32_t dvar_predecessor_l(const dvar *d, int32_t value);
int32_t dvar_successor_l(const dvar *d, int32_t value);
int dvar_interval_count(const dvar *d);
int dvar_value_count(const dvar *d);
void dviter_init(DVITER *it, const dvar *d);
TAGGED dviter_next_value_t(DVITER *it);
void dviter_next_interval_t(DVITER *it, TAGGED *lo, TAGGED *hi);
void dviter_next_interval_l(DVITER *it, int32_t *lo, int32_t *hi);
void dviter_skip_t(DVITER *it, TAGGED value);
static inline bool dviter_empty(const DVITER *it) { return it->fdset == atom_nil; }

/* Whether both words are small integers. */
static inline bool fd_both_small(TAGGED a, TAGGED b)
{
  return (((a ^ QX_TAG_SMALL) | (b ^ QX_TAG_SMALL)) & 7) == 0;
}
int dvar_fix_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w);
int dvar_fix_interval_general(dvar *d, TAGGED min, TAGGED max);
/* Narrows the view to min..max (inf and sup as well as small integers): the change mask. Inline for
 * an interval view of small bounds told a small bound or an infinity, the usual case of a
 * propagator's bounds pruning; small bound words compare as their values. */
static inline int dvar_fix_interval_t(dvar *d, TAGGED min, TAGGED max)
{
  uint32_t flags = d->flags;
  if (!(flags & DV_INTERVAL) || !fd_both_small(d->min, d->max) ||
      !(IsSmall(min) || min == atom_inf) || !(IsSmall(max) || max == atom_sup))
    return dvar_fix_interval_general(d, min, max);
  SIGNED_TAGGED lo = (SIGNED_TAGGED)d->min, hi = (SIGNED_TAGGED)d->max;
  if (IsSmall(min) && (SIGNED_TAGGED)min > lo) lo = (SIGNED_TAGGED)min;
  if (IsSmall(max) && (SIGNED_TAGGED)max < hi) hi = (SIGNED_TAGGED)max;
  if (lo > hi) return FD_MASK_FAIL;
  int mask = ((TAGGED)lo != d->min ? FD_MASK_DOM | FD_MASK_MIN : 0) |
             ((TAGGED)hi != d->max ? FD_MASK_DOM | FD_MASK_MAX : 0);
  if (!mask) return 0;
  /* the mask's MIN and MAX bits are DV_MIN_RAISED and DV_MAX_LOWERED */
  flags |= (uint32_t)mask & (DV_MIN_RAISED | DV_MAX_LOWERED);
  flags &= ~(DV_FIXED | DV_SET_CURRENT);
  if (lo == hi) {
    flags |= DV_FIXED;
    mask |= FD_MASK_FIXED;
  }
  d->min = (TAGGED)lo;
  d->max = (TAGGED)hi;
  d->flags = flags;
  return mask;
}
int dvar_prune_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w);
int dvar_prune_interval_t(ORVALIS_API_STRUCT *api, dvar *d, TAGGED min, TAGGED max, worker *w);
void dvar_pruning_done_general(ORVALIS_API_STRUCT *api, worker *w, dvar *d);
/* Ends a view's prunings before its export: the set of a view with holes kept in temporary
 * storage. Inline, as an interval view or an exported one has nothing to do. */
static inline void dvar_pruning_done(ORVALIS_API_STRUCT *api, worker *w, dvar *d)
{
  if (!(d->flags & (DV_INTERVAL | DV_EXPORTED))) dvar_pruning_done_general(api, w, d);
}
int dvar_fix_min_safe(ORVALIS_API_STRUCT *api, dvar *d, int32_t value);
int dvar_fix_max_safe(ORVALIS_API_STRUCT *api, dvar *d, int32_t value);

/* Tells to the variable in w->term[4] whose attribute is in w->term[3]; change masks in the
 * waking encoding. */
int fd_tell_value(ORVALIS_API_STRUCT *api, worker *w, TAGGED value);
int fd_tell_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED lo, TAGGED hi, int mask);
/* Tells lo..hi to the variable var whose attribute is attr, its domain one interval of finite size
 * holding lo..hi and more, and wakes for it, as the export of a view with these bounds does;
 * moved holds FD_WAKE_MIN or FD_WAKE_MAX for the bound that moved (nothing for a value). */
void fd_tell_narrowed(ORVALIS_API_STRUCT *api, worker *w, TAGGED attr, TAGGED var, int32_t lo,
                      int32_t hi, int moved);
/* The same for a caller that holds that attribute's current dom/4 record at dom, read since the
 * last thing that could collect: the record is not looked up again. */
void fd_tell_narrowed_dom(ORVALIS_API_STRUCT *api, worker *w, TAGGED attr, TAGGED var, TAGGED *dom,
                          int32_t lo, int32_t hi, int moved);
/* Whether a dom/4 record, its words read as the kernel writes them, is one interval of small
 * bounds and finite size: a domain the direct tells above take. */
static inline bool fd_dom_small_interval(const TAGGED *dom)
{
  return IsSmall(dom[2]) && IsSmall(dom[3]) && IsSmall(dom[4]) && IsLst(dom[1]) &&
         !IsLst(LstTail(dom[1]));
}
int fd_tell(ORVALIS_API_STRUCT *api, worker *w, TAGGED set);
int fd_tell_unsafe(ORVALIS_API_STRUCT *api, worker *w, TAGGED set);
/* Removes the small integer v from that variable's domain, whose bounds and size are small integers
 * and which holds another value: the change mask, 0 when v is not in it; -1, having done nothing,
 * for any other domain. */
int fd_tell_remove_value(ORVALIS_API_STRUCT *api, worker *w, int32_t v);
/* The same for a caller that holds that attribute's current dom/4 record at dom and has found
 * its bounds small integers, distinct, and v between them: the record is not looked up again. */
int fd_tell_remove_inside(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t v);

void dvar_export_do(ORVALIS_API_STRUCT *api, worker *w, dvar *d);
void dvar_export_ix(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED self);
/* An indexical's removal of the small integer value from the variable in var_cell (attribute in
 * attr_cell, its current dom/4 record's words at dom), told and woken as dvar_prune_interval_t and
 * dvar_export_ix do it: the change mask (FD_MASK_FAIL when value was its only one). Term slots 3
 * and 4 take the attribute and variable. */
int dvar_remove_value_ix(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, TAGGED *attr_cell,
                         TAGGED *var_cell, TAGGED value);
void dvar_export_equal(ORVALIS_API_STRUCT *api, worker *w, dvar *x, dvar *y);
void dvar_export_leqc(ORVALIS_API_STRUCT *api, worker *w, dvar *x, dvar *y, int32_t k);
void dvar_export_alldiff(ORVALIS_API_STRUCT *api, worker *w, dvar **views, int n);
void dvar_attach_daemon(ORVALIS_API_STRUCT *api, worker *w, dvar *d, void *block, TAGGED global,
                        TAGGED key);
void dvar_export_done_general(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref actions, int outcome);
/* Ends a run: exit (outcome 1) or fail (-1) consed onto the actions in term slot 2, the list
 * stored in `actions`, an overflow reported. Inline, as every run ends so: the common end, with
 * heap room and no overflow, makes no call. */
static inline void dvar_export_done(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref actions,
                                    int outcome)
{
  bool action = outcome == 1 || outcome == -1;
  if ((action && !fd_room_free(w, 2 + 128)) || fd_state(api)->fd_overflow) {
    dvar_export_done_general(api, w, actions, outcome);
    return;
  }
  if (action) {
    TAGGED *cell = w->global_top;
    w->global_top = cell + 2;
    cell[0] = outcome == 1 ? atom_exit : atom_fail;
    cell[1] = w->term[2];
    w->term[2] = MakeLst(cell);
  }
  fd_ref_put(api, actions, w->term[2]);
}

/* The dom/4 record of a dereferenced attribute of the common shape, as the kernel makes it (no
 * alias, no forwarded mutable, no references, a suspension record with small Count and Mask or, for
 * a constant's, none), else 0. The set is not looked at. */
static inline TAGGED fd_plain_dom(TAGGED attr)
{
  if (!IsStr(attr) || StrFunctor(attr) != functor_v4) return 0;
  TAGGED dom = fd_attr_own_dom(attr), l = StrArg(attr, 4);
  if (!dom || l == MakeSmall(0)) return dom;
  if (!IsStr(l) || StrFunctor(l) != functor_mutable2) return 0;
  TAGGED record = StrArg(l, 1);
  if (!IsStr(record) || StrFunctor(record) != (atom_fdlists | (7u << QX_ARITY_SHIFT)) ||
      !fd_both_small(StrArg(record, 1), StrArg(record, 2)))
    return 0;
  return dom;
}
/* Whether the words d[1..3] of fd_plain_dom's record d, read by the caller into set, min and max,
 * make the usual well-formed domain: one interval of small bounds whose pair is the record's Min
 * and Max words, as the tells make it. */
static inline bool fd_usual_dom_words(const TAGGED *d, TAGGED set, TAGGED min, TAGGED max)
{
  /* small bound words compare as their values */
  return IsLst(set) && LstHead(set) == MakeLst(d + 2) && LstTail(set) == atom_nil &&
         fd_both_small(min, max) && (SIGNED_TAGGED)min <= (SIGNED_TAGGED)max;
}
/* The same, checked in one look, of fd_plain_dom's record dom. */
static inline bool fd_usual_dom(TAGGED dom)
{
  const TAGGED *d = StrPtr(dom);
  return fd_usual_dom_words(d, d[1], d[2], d[3]);
}
/* fd_well_formed_attribute of a dereferenced attribute of any other shape; dom is its
 * fd_plain_dom. */
bool fd_well_formed_attribute_general(TAGGED attr, TAGGED dom);
/* Whether a term in clpfd's attribute slot is an attribute as the kernel makes it (bounded walk).
 * Inline for the usual one: every global checks its arguments on every run. */
static inline bool fd_well_formed_attribute(TAGGED attr)
{
  attr = deref(attr);
  TAGGED dom = fd_plain_dom(attr);
  return (dom && fd_usual_dom(dom)) || fd_well_formed_attribute_general(attr, dom);
}

/* fd_check_argument of an argument that is no variable with an attribute. */
TAGGED fd_check_argument_general(ORVALIS_API_STRUCT *api, worker *w, TAGGED term, TAGGED min,
                                 TAGGED max, TAGGED size);
/* The attribute of a constraint argument (a fresh one with Min..Max and Size when the variable
 * has none), or 0 for an atom or compound term, or for an attribute that is not well-formed. The
 * caller ensured 26 free heap words. Inline for a variable with an attribute. */
static inline TAGGED fd_check_argument(ORVALIS_API_STRUCT *api, worker *w, TAGGED term,
                                       TAGGED min, TAGGED max, TAGGED size)
{
  term = deref(term);
  if (IsVar(term))
    if (TAGGED attr = fd_var_attribute(api, w, term))
      return fd_well_formed_attribute(attr) ? attr : 0;
  return fd_check_argument_general(api, w, term, min, max, size);
}
/* fd_check_argument of the term in *var_ref and dvar_init in one: the attribute stored at
 * *attr_ref and the view d loaded from it. The usual attribute's dom/4 record is read once, its
 * words loaded into the view as the check found them. 0, with nothing loaded, when
 * fd_check_argument answers 0. The caller ensured 26 free heap words. */
static inline TAGGED fd_load_argument(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED *attr_ref,
                                      TAGGED *var_ref, TAGGED min, TAGGED max, TAGGED size)
{
  TAGGED term = deref(*var_ref), attr;
  if (IsVar(term) && (attr = fd_var_attribute(api, w, term))) {
    TAGGED record = fd_plain_dom(attr); /* the engine's lookup dereferenced attr */
    if (record) {
      const TAGGED *p = StrPtr(record);
      TAGGED set = p[1], lo = p[2], hi = p[3];
      if (fd_usual_dom_words(p, set, lo, hi)) {
        TAGGED cookie = deref(p[4]);
        *attr_ref = attr;
        d->min = lo;
        d->max = hi;
        d->set = set;
        d->cookie = cookie;
        d->attr_ref = attr_ref;
        d->var_ref = var_ref;
        d->flags = DV_SET_CURRENT | DV_INTERVAL | (lo == hi ? DV_FIXED : 0);
        d->record = record;
        return attr;
      }
    }
    if (!fd_well_formed_attribute_general(attr, record)) attr = 0;
  } else {
    attr = fd_check_argument_general(api, w, term, min, max, size);
  }
  *attr_ref = attr;
  if (attr) dvar_init(d, attr_ref, var_ref);
  return attr;
}
/* The attribute to link a suspension to: fd_check_argument's, except that an attribute the variable
 * has is checked only for what linking reads (its v/4 chain and suspension record); 0 when it has
 * no suspension record. Whoever reads the domain checks it. */
TAGGED fd_link_attribute(ORVALIS_API_STRUCT *api, worker *w, TAGGED term);

long prolog_fd_arg_attribute_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, long finite,
                                            QX_term_ref attr);
long prolog_fd_dvar_list_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list, long finite);
long prolog_fd_check_arguments_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref goal,
                                              QX_term_ref attrs);
void prolog_fd_in_set_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref set,
                                     long begin);
void prolog_fd_in_interval_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref min,
                                          QX_term_ref max, long begin);
long prolog_fd_tell_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref set);

/* ---- propagation levels, queues, waking and the loop (fd_propagate.cpp) ---- */

struct prop_queue {
  TAGGED *items; /* two words per entry: the term and a reserved word */
  uint32_t first, last, size;
};

constexpr int FD_QUEUES = 6;

struct propagator {
  propagator *next;
  prop_queue queue[FD_QUEUES];
  uint32_t hint;
  /* The level mutable's Stamp at the newest insertion; each entry's reserved word holds the Stamp
   * at its own insertion. A Stamp below them after backtracking marks entries made since. */
  int32_t stamp;
};

/* Status bits of queued records. */
constexpr uint32_t FD_ST_INDEXICAL = 1, FD_ST_GLOBAL = 2, FD_ST_QUEUED = 8, FD_ST_LINKED = 16,
                   FD_ST_REQUEUE = 32, FD_ST_RUNNING = 64;

/* Waking masks. */
constexpr int FD_WAKE_DOM = 1, FD_WAKE_MIN = 2, FD_WAKE_MAX = 4, FD_WAKE_MINMAX = 8,
              FD_WAKE_VAL = 16, FD_WAKE_FIXED = 32;

void fd_update_mutable(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED mutable_term);
/* n new term references; a memory fault where QX_new_term_refs answers 0, a reserved slot. */
QX_term_ref fd_new_refs(ORVALIS_API_STRUCT *api, int n);
void fd_sync(ORVALIS_API_STRUCT *api, worker *w);
void fd_begin(ORVALIS_API_STRUCT *api, worker *w);
void fd_end(ORVALIS_API_STRUCT *api, worker *w);
void fd_dealloc(ORVALIS_API_STRUCT *api);
void fd_link(ORVALIS_API_STRUCT *api, worker *w, TAGGED var, TAGGED key, TAGGED entry);
void fd_told(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self);
/* fd_told for a tell that has just stored dom, the words of the new dom/4 record of the attribute
 * in term slot 3, with a small size. */
void fd_told_dom(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, const TAGGED *dom);
/* fd_told_dom for an attribute known to end its alias chain: its own domain mutable holds dom. */
void fd_told_own(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, const TAGGED *dom);
void fd_enqueue_all(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self,
                    TAGGED lists_mutable);
void fd_enqueue_general(ORVALIS_API_STRUCT *api, worker *w, TAGGED entry, int code);
void fd_enqueue_global(ORVALIS_API_STRUCT *api, worker *w, TAGGED global, int code);
int fd_dequeue(ORVALIS_API_STRUCT *api, worker *w, TAGGED *out);
int fd_prune_and_enqueue(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref temp, QX_term_ref global,
                         QX_term_ref goal);

void prolog_fd_begin_qxenv_multi_qx(ORVALIS_API_STRUCT *api);
void prolog_fd_enqueue_all_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref lists_mutable);
void prolog_fd_global_enqueue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref global);
void prolog_fd_prune_and_enqueue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref actions,
                                                QX_term_ref global);
long prolog_fd_evaluate_indexical_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref global);

/* The collector's callback over the queue entries of the open levels: 1 the heap moved by
 * argument bytes, 2 mark, 3 relocate entries at or above argument, 4 call argument on each.
 * Marking and relocating take the running native's root ranges (fd_roots) too; the heap does
 * not move while a native runs, so 1 and 4 leave them alone. */
int fd_manager_hook(void *api, worker *w, int operation, void *argument);

/* ---- Boolean connectives (fd_bool.cpp) ---- */

/* The propagator of bool/4, also the native '$fd_bool'/3. */
void prolog_fd_bool_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                   QX_term_ref actions);

/* ---- the global-constraint protocol and kernel services (fd_global.cpp) ---- */

/* The first words of a persistent block. */
struct daemon_frame {
  void (*destructor)(void *block);
  int (*daemon)(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref, TAGGED global);
};

struct size_mem {
  size_t size; /* bytes held for reuse; 0 when none is held */
  void *mem;
};

void prolog_fd_post_global_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref constraint,
                                          QX_term_ref state, long status, QX_term_ref term,
                                          QX_term_ref susp, QX_term_ref global);
TAGGED fd_unify_output_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED *handle, int32_t *stamp,
                             int *is_new);
TAGGED fd_static_output_state(worker *w, TAGGED *handle, int *is_new);
/* fd_unify_output_state for a run that needs only the Stamp of State0 it returns. */
int32_t fd_output_stamp_general(ORVALIS_API_STRUCT *api, worker *w);
/* The same for a state older than the newest choicepoint: the output state is a copy. */
int32_t fd_output_stamp_copy(ORVALIS_API_STRUCT *api, worker *w);
/* The same, inline for a state made since the newest choicepoint: its Stamp bumped in place. */
static inline int32_t fd_output_stamp(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED state = deref(w->term[0]), *cell = StrPtr(state) + Arity(StrFunctor(state));
  if (StrPtr(state) < w->global_uncond) return fd_output_stamp_copy(api, w);
  if (!IsSmall(*cell)) return fd_output_stamp_general(api, w);
  *cell += MakeSmall(1) - MakeSmall(0);
  return GetSmall(*cell) - 1;
}
void *fd_perm_alloc(ORVALIS_API_STRUCT *api, worker *w, size_t size, TAGGED handle);
/* A destructor's block of size bytes, made by fd_perm_alloc, kept for it to hand out again (or
 * freed); the kept blocks are freed when the last solver instance goes (fd_spares_close). */
void fd_perm_release(void *block, size_t size);
void fd_spares_open();
void fd_spares_close(ORVALIS_API_STRUCT *api);
/* The block of a Handle that fd_perm_alloc bound. Inline, as fd_valid_handle: every run asks. */
static inline void *fd_perm_data(TAGGED handle)
{
  TAGGED f = deref(LstTail(deref(handle)));
  return (void *)(uintptr_t)(deref(StrArg(f, 1)) & ~(TAGGED)3);
}
/* A state's Handle as the protocol leaves it: unbound, or [V | '$free'(Block)]. */
static inline bool fd_valid_handle(TAGGED h)
{
  if (IsVar(h)) return true;
  if (!IsLst(h)) return false;
  TAGGED f = deref(LstTail(h));
  return IsStr(f) && StrFunctor(f) == functor_free1 && IsSmall(deref(StrArg(f, 1)));
}
/* Term slot 2 of a run the propagation loop starts: slot 1 holds a queued global/5 record and slot
 * 0 its State0. A small integer no other writer of the slot uses; the run's first step clears it. */
constexpr TAGGED FD_LOOP_RUN = ((TAGGED)(uint32_t)-0x2F1D << 3) | QX_TAG_SMALL;

/* The worker of a propagator entry, set up for the run: term[0] State0, term[2] the empty list of
 * actions, the temporary area empty. Null after raising an error when term[1] holds no global
 * record (see fd_check_global). A run from the loop, which did the checks, only clears its mark. */
static inline worker *fd_global_run(ORVALIS_API_STRUCT *api, QX_term_ref state0)
{
  worker *w = fd_worker(api);
  w->numstack_end = nullptr;
  if (w->term[2] == FD_LOOP_RUN) {
    w->term[2] = atom_nil;
    return w;
  }
  TAGGED g = deref(w->term[1]);
  if (!IsStr(g) || StrFunctor(g) != (atom_global | (5u << QX_ARITY_SHIFT))) {
    fd_check_global(api, w); /* raises the error */
    return nullptr;
  }
  w->term[0] = fd_ref_get(api, state0);
  w->term[2] = atom_nil;
  return w;
}
void fd_perm_free_general(ORVALIS_API_STRUCT *api, worker *w);
/* Ends the life of the block of the state in term slot 0, if it has one: destroyed when it was made
 * since the newest choicepoint, else marked dead (V bound to 1) for backtracking to undo. Inline
 * for the usual entailment of a constraint posted before the newest choicepoint: its V, the
 * unbound first cell of the Handle's pair, is bound in place and trailed. */
static inline void fd_perm_free(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED state = deref(w->term[0]);
  TAGGED pair = deref(StrArg(state, (int)Arity(StrFunctor(state)) - 1));
  if (!IsLst(pair)) return; /* no block was made */
  TAGGED *cells = LstPtr(pair);
  if (cells[0] != MakeRef(cells) || cells >= w->global_uncond) {
    fd_perm_free_general(api, w);
    return;
  }
  cells[0] = MakeSmall(1);
  fd_trail_push(api, w, MakeRef(cells));
  fd_mark_choicepoints(w);
}
TAGGED fd_daemon_copy_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED *global);
/* The same for a daemon that has just read State, the value of the record's state mutable: a
 * State newer than the newest choicepoint only has its Stamp bumped, without a call. */
static inline TAGGED fd_daemon_copy_read_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED *global,
                                               TAGGED state)
{
  TAGGED *stamp = StrPtr(state) + Arity(StrFunctor(state));
  if (StrPtr(state) < w->global_uncond || !IsSmall(*stamp))
    return fd_daemon_copy_state(api, w, global);
  *stamp += MakeSmall(1) - MakeSmall(0);
  return state;
}
void *fd_malloc(ORVALIS_API_STRUCT *api, size_t size);
void *fd_perm_alloc2(ORVALIS_API_STRUCT *api, size_t size, size_mem *held);
void fd_perm_free2(ORVALIS_API_STRUCT *api, void *pointer, size_mem *held);
TAGGED fd_globalize_unsafe(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, uint32_t extra,
                           int live);
int fd_list_length(TAGGED list);
/* More steps than this along a list on the heap mean a cyclic list. */
uint32_t fd_list_bound(const worker *w);
void fd_get_var_and_attr(TAGGED susp, worker *w);
void prolog_fd_coref_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list);

/* ---- labeling support (fd_labeling.cpp) ---- */

/* Narrows the domain held by the domain mutable m to {value}: 1, or 0 (nothing changed) when value
 * is not in it. The caller made 7 heap words free. */
int set_singleton(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED m);
void prolog_fd_labeling_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                       QX_term_ref state, QX_term_ref var, QX_term_ref global);
void prolog_fd_delete_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list, QX_term_ref var,
                                     long rule);
void prolog_fd_set_singleton_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref value,
                                            QX_term_ref dom_mutable);
void prolog_fd_unify_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref y);

/* ---- nonlinear arithmetic (fd_nonlinear.cpp) ---- */

/* The propagators of x*y=z, x*x=y, x/y=z, x mod y=z and x rem y=z, also the natives
 * '$fd_product'/3, '$fd_square'/3, '$fd_quotient'/3, '$fd_modulo'/3 and '$fd_remainder'/3. */
void prolog_fd_product_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions);
void prolog_fd_square_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
void prolog_fd_quotient_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                       QX_term_ref state, QX_term_ref actions);
void prolog_fd_modulo_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
void prolog_fd_remainder_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

/* ---- reified and related constraints (fd_reified.cpp) ---- */

/* The propagators of le_iff/3, eq_iff/3, in_set_iff/3, oneof/3 and abs/2, also the natives
 * '$fd_le_iff'/3, '$fd_eq_iff'/3, '$fd_in_set_iff'/3, '$fd_oneof'/3 and '$fd_abs'/3. */
void prolog_fd_le_iff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
void prolog_fd_eq_iff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
void prolog_fd_in_set_iff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);
void prolog_fd_oneof_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                    QX_term_ref actions);
void prolog_fd_abs_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);

/* ---- linear constraints (fd_linear.cpp) ---- */

/* The propagator of scalar_product/4, also the native '$fd_linear'/3. */
void prolog_fd_linear_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
/* The first run of a linear global at its post, for a state made since the newest choicepoint
 * whose first run only makes the global wait, a disequation of two unfixed variables that the gcd
 * of their coefficients does not entail, or ends it entailed, a disequation of one term. w->term[0]
 * holds the state and w->term[1] the global/5 record; the run links the global, or removes the
 * forbidden value and marks the global entailed, as the queued run would. False, having done
 * nothing, for any other state (the queued run decides). */
bool fd_linear_post_run(ORVALIS_API_STRUCT *api, worker *w);
/* A later run of a linear global from the loop whose state s (dereferenced) is a linked two-term
 * disequation, as its propagator would run it (w->term[0] s, w->term[1] the record): the outcome,
 * 1 entailed, 0 suspended, -1 failed, with the state unchanged and no actions. 2, having done
 * nothing, for any other state or a run that needs the general work (the propagator runs it). */
int fd_linear_linked_run(ORVALIS_API_STRUCT *api, worker *w, TAGGED s);

/* ---- arc-consistent linear equations (fd_ac_linear.cpp) ---- */

/* The propagator of ac_linear/3, also the native '$fd_ac_linear'/3. */
void prolog_fd_ac_linear_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

/* ---- a global's own fixpoint (fd_propagate.cpp) ---- */

/* Status bit of a global run with bit 32 that declared its own fixpoint during the run: its
 * queued bit then stays set until the run ends, so its own prunings do not queue it again. */
constexpr uint32_t FD_ST_AT_FIXPOINT = 128;
/* Called by a running global (term slot 1) before its exports when one more run on the domains
 * it is about to tell would prune nothing: a global with status bit 32 is then not queued again
 * by these prunings. Does nothing for other globals. */
void fd_global_at_fixpoint(ORVALIS_API_STRUCT *api, worker *w);

#endif
