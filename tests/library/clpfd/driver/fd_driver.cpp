/* The search driver: variables, posting, the propagation loop, the attribute hook, the action
 * goals and depth-first search, over the natives the clpfd resource installs. */
#include "fd_driver.h"

#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "database.h"
#include "errors.h"
#include "instance.h"
#include "fd_globals.h"
#include "fd_propagate.h"
#include "foreign.h"
#include "gc.h"
#include "modules.h"
#include "numbers.h"
#include "unify.h"
#include "wam.h"
#include "wam_internal.h"

namespace fd_driver {

namespace {

driver *installed = nullptr;

/* Suspension key and status of each global constraint key (the library's choice is not known;
 * these are guesses that fit what each propagator reads). */
struct key_spec {
  const char *name;
  int arity;
  const char *susp; /* dom, minmax, or null: [] (the first run attaches daemons) */
  int status;
};
const key_spec key_table[] = {
    {"scalar_product", 4, nullptr, 0},
    {"eq_iff", 3, nullptr, 0},
    {"bool", 4, "dom", 0},
    {"in_set_iff", 3, "dom", 0},
    {"oneof", 3, "dom", 0},
    {"abs", 2, "dom", 0},
    {"ac_linear", 3, "dom", 0},
    {"disjoint1", 2, "dom", 0},
    {"cumulative", 2, "dom", 0},
    {"disjoint2", 2, "dom", 0},
    {"cumulatives", 3, "dom", 0},
    {"x*x=y", 2, "minmax", 32},
    {"x*y=z", 3, "minmax", 32},
    {"x/y=z", 3, "minmax", 32},
    {"x mod y=z", 3, "minmax", 32},
    {"x rem y=z", 3, "minmax", 32},
    /* One pass per call: their own prunings queue them again (status 32). element's posting
     * names X and Y (dom); its elements get the entry's daemons. */
    {"element", 3, "dom", 32},
    {"all_different", 1, "val", 32},
    {"pairing", 2, "val", 32},
    {"circuit", 1, "val", 32},
    {"global_cardinality", 3, "dom", 32},
    {"global_cardinality_helper", 2, "dom", 0},
    {"local_cardinality", 2, "dom", 32},
    {"nvalue", 2, "dom", 32},
    {"bc_alldiff", 1, nullptr, 0},
    {"case", 4, nullptr, 0},
    {"lex_chain", 2, nullptr, 0},
    {"all_distinct", 1, nullptr, 0},
    {"sorting", 3, "minmax", 0},
    {"minimum", 2, nullptr, 32},
    {"maximum", 2, nullptr, 32},
    {"relation", 3, nullptr, 32},
    {"assignment", 2, "dom", 0},
    {"assignment_helper", 2, "val", 0},
    {"geost", 4, nullptr, 0},
};

const key_spec *spec_of(const char *name, int arity)
{
  /* the last row found first: a model posts runs of one key */
  static const key_spec *last = nullptr;
  if (last && last->arity == arity && std::strcmp(last->name, name) == 0) return last;
  for (const key_spec &k : key_table)
    if (k.arity == arity && std::strcmp(k.name, name) == 0) return last = &k;
  return nullptr;
}

/* The functor k/1 of a suspension key: the solver's own keys from its instance (which keeps
 * them), others made from the name. */
TAGGED susp_functor(ORVALIS_API_STRUCT *api, const char *k)
{
  static const struct {
    const char *name;
    TAGGED fd_state::*functor;
  } own[] = {{"dom", &fd_state::functor_dom}, {"minmax", &fd_state::functor_minmax},
             {"val", &fd_state::functor_val}, {"min", &fd_state::functor_min},
             {"max", &fd_state::functor_max}, {"none", &fd_state::functor_none}};
  for (const auto &o : own)
    if (std::strcmp(k, o.name) == 0) return fd_state(api)->*o.functor;
  return MakeFunctor(init_atom_check(k, 0), 1);
}

double now()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/* The clock around the native calls: the time-stamp counter, read in a few cycles (the steady
 * clock around every call took a share of the time it measured); its ticks are converted to
 * seconds at the rate seen since the first driver was made. */
uint64_t ticks() { return __rdtsc(); }

struct tick_origin {
  uint64_t ticks;
  double seconds;
};
const tick_origin &origin()
{
  static const tick_origin first{ticks(), now()};
  return first;
}

double seconds_per_tick()
{
  const tick_origin &o = origin();
  uint64_t elapsed = ticks() - o.ticks;
  return elapsed ? (now() - o.seconds) / (double)elapsed : 0;
}

definition *native(const char *name, int arity)
{
  definition *d = QX_predicate(name, arity, "clpfd");
  return d && d->predtyp >= ENTER_FOREIGN ? d : nullptr;
}

/* The variable's clpfd attribute, or 0. */
TAGGED attribute_of(ORVALIS_API_STRUCT *api, TAGGED v)
{
  v = deref(v);
  return IsVar(v) ? get_attributes(v, fd_state(api)->fd_module) : 0;
}

/* qx_heap_room with its usual test in line, for the calls that post and propagate: the heap
 * mostly has the room, and the test alone costs less than the call. */
QX_HOT_INLINE void heap_room(worker *w, uint32_t words)
{
  if (QX_UNLIKELY(w->stack_start - w->global_top < (ptrdiff_t)(words + 256) || qx_gc_stress))
    qx_heap_room(w, words);
}

/* Whether a propagation level is open; in line, as every post and propagation asks. */
QX_HOT_INLINE bool level_open(ORVALIS_API_STRUCT *api)
{
  /* the level mutable's Value names a level (its address + 3) or none (3); read in place when
   * the mutable holds it, as it mostly does */
  TAGGED m = deref(*fd_ref_slot(api, 5)), v = StrArg(m, 1);
  if (!IsSmall(v)) v = fd_mutable_value(m);
  return (v & ~(TAGGED)3) != 0;
}

/* A driver error as the pending exception of the hook or action being run:
 * fd_driver_error(What, Culprit). */
int raise_in_native(worker *w, const char *what, TAGGED culprit)
{
  QX_term_ref ball = QX_new_term_ref();
  fd_ref_put(installed->api(), ball, culprit);
  qx_heap_room(w, 3);
  TAGGED t = qx_make_struct(w, MakeFunctor(init_atom_check("fd_driver_error", 0), 2),
                            {init_atom_check(what, 0), fd_ref_get(installed->api(), ball)});
  fd_ref_put(installed->api(), ball, t);
  QX_raise_exception(ball);
  return 0;
}

}  // namespace

driver *current() { return installed; }

/* ---- the hooks, defined as predicates of module clpfd ---- */

struct hooks {
  /* While a hook runs, a native's error stays as its error node for the engine to throw. */
  struct inside {
    driver *d;
    explicit inside(driver *d) : d(d) { d->in_native_++; }
    ~inside() { d->in_native_--; }
  };

  /* attr_unify_hook(A, V): the engine bound an FD variable with attribute A to V. */
  static int unify_hook(QX_term_ref goal, void *)
  {
    driver *d = installed;
    if (!d) return 0;
    inside guard(d);
    ORVALIS_API_STRUCT *api = d->api_;
    TAGGED g = fd_ref_get(api, goal);
    TAGGED a = deref(StrArg(g, 1)), v = deref(StrArg(g, 2));
    if (IsSmall(v)) {
      TAGGED dom = fd_attr_dom(a);
      if (!dom || !fd_member(v, deref(StrArg(dom, 1)))) return 0;
      if (deref(StrArg(dom, 4)) == MakeSmall(1)) return 1; /* woken when it became fixed */
      TAGGED last = fd_attr_last(a);
      if (d->call(d->n.set_singleton, {v, deref(StrArg(last, 3))}) != 1) return 0;
      g = fd_ref_get(api, goal);
      last = fd_attr_last(deref(StrArg(g, 1)));
      return d->call(d->n.enqueue_all, {deref(StrArg(last, 4))}) == 1;
    }
    if (!IsVar(v)) return 0;
    TAGGED other = attribute_of(api, v);
    if (!other) {
      put_attributes(v, a, fd_state(api)->fd_module);
      return 1;
    }
    return merge(d, goal, other);
  }

  /* Two FD variables made one: the older v/4 of the two chains aliases the younger, the
   * younger keeps both sides' suspensions, the domain becomes the intersection and both sides'
   * constraints run again, those waiting for a value too: that X and Y are one is news no
   * domain event carries (eq_iff(X, Y, 0) fails on it). */
  static int merge(driver *d, QX_term_ref goal, TAGGED other_attr)
  {
    ORVALIS_API_STRUCT *api = d->api_;
    worker *w = d->w_;
    QX_term_ref r = QX_new_term_refs(4); /* other attribute, intersection, output, lists */
    fd_ref_put(api, r, other_attr);
    TAGGED g = fd_ref_get(api, goal);
    TAGGED la = fd_attr_last(deref(StrArg(g, 1))), lb = fd_attr_last(other_attr);
    if (la == lb) return 1;
    fd_ref_put(api, r + 2, d->fresh_var());
    g = fd_ref_get(api, goal);
    TAGGED sa = deref(StrArg(fd_attr_dom(deref(StrArg(g, 1))), 1));
    TAGGED sb = deref(StrArg(fd_attr_dom(fd_ref_get(api, r)), 1));
    if (d->call(d->n.dom_intersection, {sa, sb, fd_ref_get(api, r + 2)}) != 1) return 0;
    fd_ref_put(api, r + 1, fd_ref_get(api, r + 2));
    if (fd_ref_get(api, r + 1) == atom_nil) return 0;
    /* Room for the merged record: eight words and a copy of the older side's list cells. */
    g = fd_ref_get(api, goal);
    la = fd_attr_last(deref(StrArg(g, 1)));
    lb = fd_attr_last(fd_ref_get(api, r));
    TAGGED older = la < lb ? la : lb;
    uint32_t cells = 0;
    TAGGED lists = deref(StrArg(older, 4));
    if (IsStr(lists)) {
      TAGGED rec = fd_mutable_value(lists);
      for (int k = FD_LISTS_FIRST; k < FD_LISTS_FIRST + 5; k++)
        for (TAGGED l = deref(StrArg(rec, k)); IsLst(l); l = deref(LstTail(l))) cells++;
    }
    qx_heap_room(w, 8 + 2 * cells);
    g = fd_ref_get(api, goal);
    la = fd_attr_last(deref(StrArg(g, 1)));
    lb = fd_attr_last(fd_ref_get(api, r));
    older = la < lb ? la : lb;
    TAGGED younger = la < lb ? lb : la;
    TAGGED young_lists = deref(StrArg(younger, 4));
    lists = deref(StrArg(older, 4));
    if (IsStr(lists)) {
      TAGGED o = fd_mutable_value(lists), y = fd_mutable_value(young_lists);
      TAGGED *rec = w->global_top;
      w->global_top += 8;
      rec[0] = functor_fdlists7;
      rec[FD_LISTS_COUNT] = MakeSmall(GetSmall(deref(StrArg(o, FD_LISTS_COUNT))) +
                                      GetSmall(deref(StrArg(y, FD_LISTS_COUNT))));
      rec[FD_LISTS_MASK] = deref(StrArg(o, FD_LISTS_MASK)) | deref(StrArg(y, FD_LISTS_MASK));
      for (int k = FD_LISTS_FIRST; k < FD_LISTS_FIRST + 5; k++) {
        TAGGED *tail = &rec[k];
        for (TAGGED l = deref(StrArg(o, k)); IsLst(l); l = deref(LstTail(l))) {
          TAGGED *cell = w->global_top;
          w->global_top += 2;
          cell[0] = LstHead(l);
          *tail = MakeLst(cell);
          tail = &cell[1];
        }
        *tail = StrArg(y, k);
      }
      fd_update_mutable(api, w, MakeStr(rec), young_lists);
    }
    fd_update_mutable(api, w, younger, deref(StrArg(older, 3)));
    fd_ref_put(api, r + 3, young_lists);
    g = fd_ref_get(api, goal);
    if (d->call(d->n.in_set, {deref(StrArg(g, 2)), fd_ref_get(api, r + 1), MakeSmall(1)}) != 1)
      return 0;
    fd_sync(api, w);
    fd_enqueue_all(api, w, FD_WAKE_DOM | FD_WAKE_MIN | FD_WAKE_MAX | FD_WAKE_MINMAX,
                   fd_state(api)->functor_none, fd_ref_get(api, r + 3));
    /* The value list's globals, and those of its daemons, run too (its indexicals wait). */
    lists = fd_mutable_value(fd_ref_get(api, r + 3));
    for (TAGGED l = deref(StrArg(lists, FD_LISTS_FIRST + 4)); IsLst(l); l = deref(LstTail(l))) {
      TAGGED s = deref(StrArg(deref(LstHead(l)), 2));
      if (StrFunctor(s) == functor_daemon5) s = deref(StrArg(s, 1));
      if (StrFunctor(s) == functor_global5 && !fd_dead(s)) fd_enqueue_global(api, w, s, 2);
    }
    return 1;
  }

  /* call_action(G): a goal from a propagator's actions list. */
  static int call_action(QX_term_ref goal, void *)
  {
    driver *d = installed;
    if (!d) return 0;
    inside guard(d);
    TAGGED g = deref(StrArg(fd_ref_get(d->api_, goal), 1));
    TAGGED inner = g;
    if (IsStr(g) && StrFunctor(g) == fd_state(d->api_)->functor_call) inner = deref(StrArg(g, 1));
    TAGGED f = IsStr(inner) ? StrFunctor(inner) : 0;
    if (g == inner && f == fd_state(d->api_)->functor_in_set2)
      return d->call(d->n.in_set, {StrArg(inner, 1), StrArg(inner, 2), MakeSmall(0)}) == 1;
    if (f == fd_state(d->api_)->functor_eq) {
      if (d->n.fd_unify) return d->call(d->n.fd_unify, {StrArg(inner, 1), StrArg(inner, 2)}) == 1;
      return cunify(d->w_, StrArg(inner, 1), StrArg(inner, 2));
    }
    if (IsStr(inner) && StrFunctor(inner) == functor_colon2) {
      inner = deref(StrArg(inner, 2));
      f = IsStr(inner) ? StrFunctor(inner) : 0;
    }
    if (f == fd_state(d->api_)->functor_leqc) return leqc(d, inner);
    if (f == fd_state(d->api_)->functor_alldiff) return distinct(d, inner);
    return raise_in_native(d->w_, "unsupported_action", g);
  }

  /* all_distinct(Xs): all_distinct/1 on the elements of Xs (variables or integers), posted into
   * the level being run with state all_distinct(Entries, 0, 0, 0, dom, Handle, 0). */
  static int distinct(driver *d, TAGGED goal)
  {
    TAGGED list = deref(StrArg(goal, 1));
    int n = fd_entry_length(d->w_, list), first = d->var_count();
    if (n < 0) return raise_in_native(d->w_, "unsupported_action", goal);
    QX_term_ref r = QX_new_term_refs(n + 1);
    std::vector<int> xs;
    for (int i = 0; i < n; i++, list = deref(LstTail(list))) {
      d->set(r + i, deref(LstHead(list)));
      xs.push_back(d->var_count());
      d->vars_.push_back(r + i);
    }
    driver::posting p{"all_distinct", {driver::t_list({})}, {driver::t_entries(xs)}};
    for (int x : xs) p.constraint[0].args.push_back(driver::t_var(x));
    for (int k = 0; k < 3; k++) p.state.push_back(driver::t_int(0));
    p.state.push_back(driver::t_atom("dom"));
    int ok = d->post_posting(p, true);
    d->vars_.resize(first);
    QX_reset_term_refs(r);
    return ok == 1;
  }

  /* 't=<u+c'(X, Y, K): X - Y at most K, posted into the level being run. */
  static int leqc(driver *d, TAGGED goal)
  {
    TAGGED x = deref(StrArg(goal, 1)), y = deref(StrArg(goal, 2)), k = deref(StrArg(goal, 3));
    if (!IsSmall(k)) return raise_in_native(d->w_, "unsupported_action", goal);
    /* A fixed side moves into the constant. */
    int64_t rhs = GetSmall(k) - (IsSmall(x) ? GetSmall(x) : 0) + (IsSmall(y) ? GetSmall(y) : 0);
    QX_term_ref r = QX_new_term_refs(2);
    int first = d->var_count();
    std::vector<driver::lin_term> lin;
    if (!IsSmall(x)) lin.push_back({1, d->var_count()}), d->set(r, x), d->vars_.push_back(r);
    if (!IsSmall(y))
      lin.push_back({-1, d->var_count()}), d->set(r + 1, y), d->vars_.push_back(r + 1);
    int ok = lin.empty() ? rhs >= 0
                         : d->post_args("scalar_product",
                                        {driver::terms(lin), driver::param(1), driver::param(rhs),
                                         driver::param(0)},
                                        nullptr, true);
    d->vars_.resize(first);
    QX_reset_term_refs(r);
    return ok == 1;
  }

  static int overflow_action(QX_term_ref goal, void *)
  {
    driver *d = installed;
    if (!d) return 0;
    inside guard(d);
    return raise_in_native(d->w_, "overflow", deref(StrArg(fd_ref_get(d->api_, goal), 1)));
  }
};

/* ---- setting up ---- */

driver::driver(ORVALIS_API_STRUCT *api) : api_(api), w_(fd_worker(api))
{
  origin();
  installed = this;
  vars_.reserve(16); /* most models have few variables: one allocation */
  mark_ = QX_new_term_refs(0);
  globals_ = QX_new_term_ref();
  labeling_ = QX_new_term_ref();
  scratch_ = QX_new_term_refs(4);
  set(globals_, atom_nil);
  set(labeling_, atom_nil);
  incumbent_ = QX_new_term_ref();
  set(incumbent_, atom_nil);
  last_ = QX_new_term_ref();
  set(last_, atom_nil);
  /* The natives and the hooks are looked up and defined once per engine: redefining the hooks
   * runs a query each, and a driver per small search would spend most of its time there. */
  static const struct fd_state *engine = nullptr;
  static natives cached{};
  static definition *cached_true0 = nullptr, *cached_hook = nullptr;
  /* The key atoms too: the solver's instance keeps them registered while the engine lives. */
  static std::vector<std::pair<const void *, TAGGED>> cached_keys;
  key_atoms_ = &cached_keys;
  struct fd_state *fd = fd_state(api);
  if (engine != fd || fd->call_action1 != cached_hook || !cached_hook ||
      cached_hook->predtyp < ENTER_FOREIGN) {
    cached_keys.clear();
    cached.arg_attribute = native("$fd_arg_attribute", 3);
    cached.in_interval = native("$fd_in_interval", 4);
    cached.in_set = native("$fd_in_set", 3);
    cached.begin = native("$fd_begin", 0);
    cached.post_global = native("$fd_post_global", 6);
    cached.evaluate = native("$fd_evaluate_indexical", 2);
    cached.dispatch_fast = native("$fd_dispatch_global_fast", 6);
    cached.prune_and_enqueue = native("$fd_prune_and_enqueue", 2);
    cached.dom_intersection = native("$fd_dom_intersection", 3);
    cached.dom_complement = native("$fd_dom_complement", 2);
    cached.debug = native("$fd_debug", 3);
    cached.enqueue_all = native("$fd_enqueue_all", 1);
    cached.fd_unify = native("$fd_unify", 2);
    cached.set_singleton = native("$fd_set_singleton", 2);
    cached.labeling = native("$fd_labeling", 4);
    cached.fd_delete = native("$fd_delete", 3);
    cached.update_incumbent = native("$fd_update_incumbent", 3);
    cached.incumbent_bound = native("$fd_incumbent_bound", 2);
    cached.check_arguments = native("$fd_check_arguments", 2);
    cached_true0 = QX_predicate("true", 0, "prolog");
    QX_define_c_predicate("attr_unify_hook", 2, "clpfd", hooks::unify_hook, nullptr);
    QX_define_c_predicate("call_action", 1, "clpfd", hooks::call_action, nullptr);
    QX_define_c_predicate("overflow_action", 1, "clpfd", hooks::overflow_action, nullptr);
    fd->call_action1 = QX_predicate("call_action", 1, "clpfd");
    fd->overflow_action1 = QX_predicate("overflow_action", 1, "clpfd");
    engine = fd;
    cached_hook = fd->call_action1;
  }
  n = cached;
  true0_ = cached_true0;
}

driver::~driver()
{
  QX_reset_term_refs(mark_);
  installed = nullptr;
}

/* ---- calling the installed natives ---- */

/* call, in line where the driver calls a native on every post and node: each argument is stored
 * straight into its register (copied from a list, the words would be stored and read back). */
template <class... Word>
QX_HOT_INLINE int driver::call_in_line(definition *def, Word... args)
{
  if (!def) {
    error_ = "a native is missing";
    return -1;
  }
  worker *w = w_;
  TAGGED *reg = w->term; /* a local: each store would reload w_ (the build allows aliasing) */
  ((*reg++ = args), ...);
  uint32_t before = qx_node_offset(w, w->node_);
  qx_set_native_goal(def->functor, def->module);
  int ok = __builtin_expect(timing, 0) ? timed_call(def) : qx_call_foreign(w, def);
  if (qx_node_offset(w_, w_->node_) != before) return native_error(ok);
  return ok ? 1 : 0;
}

/* qx_call_foreign with its time counted: out of line, the untimed calls test the flag only. */
[[gnu::noinline]] int driver::timed_call(definition *def)
{
  uint64_t t0 = ticks();
  int ok = qx_call_foreign(w_, def);
  native_ticks_ += ticks() - t0;
  return ok;
}

int driver::call(definition *def, std::initializer_list<TAGGED> args)
{
  TAGGED *reg = w_->term; /* call_in_line answers a missing native */
  for (TAGGED a : args) *reg++ = a;
  return call_in_line(def);
}

/* A native call left a node: its error node raises the error, except inside a hook, where the
 * node stays for the engine to throw when the hook fails. */
int driver::native_error(int ok)
{
  if (NodeAlt(w_->node_)->op != QX_ALT_ERROR) return ok ? 1 : 0;
  if (in_native_) return 0;
  qx_pop_node(w_);
  qx_raise_pending(w_);
  return -1;
}

TAGGED driver::fresh_var()
{
  qx_heap_room(w_, 1);
  TAGGED *p = w_->global_top++;
  *p = MakeRef(p);
  return MakeRef(p);
}

int driver::slow_path()
{
  uint64_t t0 = timing ? ticks() : 0;
  int r = QX_query(true0_);
  if (timing) native_ticks_ += ticks() - t0;
  return r;
}

double driver::native_seconds() const { return (double)native_ticks_ * seconds_per_tick(); }

/* ---- variables ---- */

TAGGED driver::set_of(const std::vector<int32_t> &values)
{
  std::vector<std::pair<int32_t, int32_t>> runs;
  for (int32_t v : values) {
    if (!runs.empty() && runs.back().second + 1 == v)
      runs.back().second = v;
    else if (runs.empty() || runs.back().second < v)
      runs.push_back({v, v});
  }
  qx_heap_room(w_, 4 * (uint32_t)runs.size());
  TAGGED set = atom_nil;
  for (size_t k = runs.size(); k-- > 0;) {
    TAGGED *p = w_->global_top;
    w_->global_top += 4;
    p[0] = MakeSmall(runs[k].first);
    p[1] = MakeSmall(runs[k].second);
    p[2] = MakeLst(p);
    p[3] = set;
    set = MakeLst(p + 2);
  }
  return set;
}

int driver::new_var(int32_t lo, int32_t hi)
{
  QX_term_ref r = QX_new_term_ref();
  vars_.push_back(r);
  set(r, fresh_var());
  /* With no level open the tell's enqueues open one, as $fd_begin would: a fresh variable wakes
   * nothing, and the propagation after it finds no level to run. */
  TAGGED begin = MakeSmall(level_open(api_) ? 1 : 0);
  int ok = call_in_line(n.in_interval, ref(r), MakeSmall(lo), MakeSmall(hi), begin);
  /* the reference holds the attributed variable itself: every later look takes one step less */
  set(r, ref(r));
  if (ok == 1) ok = propagate();
  return ok == 1 ? (int)vars_.size() - 1 : -1;
}

int driver::new_var_in(const std::vector<int32_t> &values)
{
  QX_term_ref r = QX_new_term_ref();
  vars_.push_back(r);
  set(r, fresh_var());
  set(scratch_, set_of(values));
  int ok = call(n.in_set, {ref(r), ref(scratch_), MakeSmall(1)});
  if (ok == 1) ok = propagate();
  return ok == 1 ? (int)vars_.size() - 1 : -1;
}

int driver::new_var_ranges(const std::vector<std::pair<int32_t, int32_t>> &r)
{
  QX_term_ref x = QX_new_term_ref();
  vars_.push_back(x);
  set(x, fresh_var());
  qx_heap_room(w_, 4 * (uint32_t)r.size());
  set(scratch_, build_set(r.data(), r.size()));
  int ok = call(n.in_set, {ref(x), ref(scratch_), MakeSmall(1)});
  if (ok == 1) ok = propagate();
  return ok == 1 ? (int)vars_.size() - 1 : -1;
}

void driver::truncate(int count)
{
  if (count >= (int)vars_.size()) return;
  QX_reset_term_refs(vars_[count]);
  vars_.resize(count);
}

std::vector<std::pair<int64_t, int64_t>> driver::ranges(int x) const
{
  TAGGED t = term(x);
  if (IsSmall(t)) return {{GetSmall(t), GetSmall(t)}};
  std::vector<std::pair<int64_t, int64_t>> out;
  TAGGED a = attribute_of(api_, t);
  if (!a) return out;
  auto end = [](TAGGED b) {
    return b == atom_inf ? INT64_MIN : b == atom_sup ? INT64_MAX : (int64_t)GetSmall(b);
  };
  for (TAGGED s = deref(StrArg(fd_attr_dom(a), 1)); IsLst(s); s = deref(LstTail(s))) {
    TAGGED pair = deref(LstHead(s));
    out.push_back({end(deref(LstHead(pair))), end(deref(LstTail(pair)))});
  }
  return out;
}

TAGGED driver::term(int x) const { return ref(vars_[x]); }
bool driver::bound(int x) const { return IsSmall(term(x)); }
int32_t driver::value(int x) const { return GetSmall(term(x)); }

std::vector<int32_t> driver::domain(int x) const
{
  TAGGED t = term(x);
  if (IsSmall(t)) return {GetSmall(t)};
  std::vector<int32_t> out;
  TAGGED a = attribute_of(api_, t);
  if (!a) return out;
  for (TAGGED s = deref(StrArg(fd_attr_dom(a), 1)); IsLst(s); s = deref(LstTail(s))) {
    TAGGED pair = deref(LstHead(s));
    TAGGED lo = deref(LstHead(pair)), hi = deref(LstTail(pair));
    if (!IsSmall(lo) || !IsSmall(hi)) return {};
    for (int32_t v = GetSmall(lo); v <= GetSmall(hi); v++) out.push_back(v);
  }
  return out;
}

/* ---- posting ---- */

namespace {

/* Up to this many arguments are viewed from an array on the stack. */
constexpr size_t INLINE_ARGS = 8;

TAGGED functor_t(int n);

}  // namespace

int driver::post(const char *name, const std::vector<arg> &args, const char *susp_key)
{
  return post_args(name, args, susp_key, false);
}

/* Views args and posts them with post_global. */
int driver::post_args(const char *name, const std::vector<arg> &args, const char *susp_key,
                      bool nested)
{
  arg_view inline_views[INLINE_ARGS];
  std::vector<arg_view> more;
  arg_view *views = inline_views;
  if (args.size() > INLINE_ARGS) more.resize(args.size()), views = more.data();
  for (size_t i = 0; i < args.size(); i++) {
    const arg &a = args[i];
    views[i] = {a.kind, a.v, a.lin.data(), a.lin.size(), a.ranges.data(), a.ranges.size()};
  }
  return post_global(name, views, args.size(), susp_key, nested);
}

/* post_global's posting of scalar_product(Terms, Rel, RHS, 0) built straight from the terms: the
 * classic models post thousands of these. A few terms with small integers take the short path
 * below, the others post_posted's. */
int driver::post_linear(const lin_term *t, size_t n, int rel, int64_t rhs)
{
  /* the small integers' range, tested on 32 bits */
  auto small = [](int32_t v) {
    return (uint32_t)v - (uint32_t)QX_SMALL_MIN <= (uint32_t)(QX_SMALL_MAX - QX_SMALL_MIN);
  };
  bool short_path = n > 0 && n <= 8 && SmallFits(rhs) && small(rel);
  for (size_t i = 0; short_path && i < n; i++) short_path = small(t[i].a);
  return short_path ? post_short_linear(t, n, rel, (int32_t)rhs)
                    : post_linear_posted(t, n, rel, rhs);
}

/* post_linear of at most eight terms with small coefficients and constants, as post_posted posts
 * it: $fd_check_arguments on the distinct variables in order of first occurrence, then the
 * constraint and state terms sharing the terms list, no suspensions, status 0. */
QX_HOT_INLINE int driver::post_short_linear(const lin_term *t, size_t n, int rel, int32_t rhs)
{
  static const key_spec *const spec = spec_of("scalar_product", 4);
  int xs[8];
  uint8_t at[8]; /* each term's variable among xs */
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    size_t j = 0;
    while (j < k && xs[j] != t[i].x) j++;
    if (j == k) xs[k++] = t[i].x;
    at[i] = (uint8_t)j;
  }
  worker *w = w_; /* a local: each store would reload w_ (the build allows aliasing) */
  QX_term_ref r = QX_new_term_refs(2); /* the attributes' term, then the global's list cell */
  heap_room(w, (uint32_t)k + 2);
  TAGGED *vars = w->global_top;
  w->global_top += k + 2;
  vars[k + 1] = MakeRef(vars + k + 1);
  set(r, vars[k + 1]);
  static const TAGGED arguments = init_atom_check("arguments", 0);
  vars[0] = MakeFunctor(arguments, (int)k);
  for (size_t i = 0; i < k; i++) vars[i + 1] = term(xs[i]);
  int ok = call_in_line(this->n.check_arguments, MakeStr(vars), vars[k + 1]);
  /* With no level open the global's enqueue opens one, as $fd_begin would. */
  if (ok == 1 && level_open(api_)) ok = call(this->n.begin, {});
  if (ok != 1) return QX_reset_term_refs(r), ok;
  TAGGED name = spec == last_key_.first ? last_key_.second : key_atom(spec, "scalar_product");
  /* the terms, the constraint and state terms, the fresh Global and the cell that puts it on
   * the list of posted globals once posted */
  heap_room(w, 6 * (uint32_t)n + 15);
  TAGGED *p = w->global_top;
  w->global_top += 6 * n + 15;
  const TAGGED *attrs = StrArgs(ref(r)) - 1; /* attrs[1 + j]: xs[j]'s */
  TAGGED list = atom_nil, functor = functor_t(3);
  for (size_t i = n; i-- > 0; p += 6) {
    p[0] = functor, p[1] = MakeSmall(t[i].a), p[2] = term(t[i].x), p[3] = deref(attrs[1 + at[i]]);
    p[4] = MakeStr(p), p[5] = list;
    list = MakeLst(p + 4);
  }
  TAGGED *c = p, *st = p + 5;
  c[0] = MakeFunctor(name, 4), c[1] = list, c[2] = MakeSmall(rel), c[3] = MakeSmall(rhs);
  c[4] = MakeSmall(0);
  st[0] = MakeFunctor(name, 6), st[1] = list, st[2] = c[2], st[3] = c[3], st[4] = c[4];
  st[5] = MakeRef(st + 5), st[6] = MakeSmall(0);
  p[12] = MakeRef(p + 12), p[13] = p[12], p[14] = atom_nil;
  set(r + 1, MakeLst(p + 13));
  ok = call_in_line(this->n.post_global, MakeStr(c), MakeStr(st), MakeSmall(spec->status),
                    MakeStr(c), atom_nil, p[12]);
  if (ok == 1) {
    TAGGED cell = ref(r + 1);
    LstPtr(cell)[1] = ref(globals_);
    set(globals_, cell);
    set(last_, deref(LstHead(cell)));
    ok = propagate();
  }
  QX_reset_term_refs(r);
  return ok;
}

/* post_linear's general posting. */
int driver::post_linear_posted(const lin_term *t, size_t n, int rel, int64_t rhs)
{
  static const key_spec *const scalar_product = spec_of("scalar_product", 4);
  posted q{"scalar_product", 4};
  q.spec = scalar_product;
  for (size_t i = 0; i < n; i++) q.add_variable(t[i].x);
  q.words = 2 * 4 + 8 + 3 * 8 + (uint32_t)n * (2 + 4 + 8);
  q.arity_state = 4;
  auto build_args = [&](TAGGED *c, TAGGED *st, QX_term_ref attrs) {
    c[0] = st[0] = terms_list(t, n, false, q, attrs);
    c[1] = st[1] = int_term(rel);
    c[2] = st[2] = int_term(rhs);
    c[3] = st[3] = MakeSmall(0);
  };
  return post_posted(q, false, build_args);
}

namespace {

/* The words a template takes on the heap (an integer: room for a bignum). */
uint32_t words_of(const driver::tmpl &t)
{
  uint32_t n = 0;
  for (const driver::tmpl &a : t.args) n += words_of(a);
  switch (t.kind) {
  case driver::tmpl::entry: return 3;
  case driver::tmpl::integer: return 8;
  case driver::tmpl::unbound: return 1;
  case driver::tmpl::list:
  case driver::tmpl::improper: return n + 2 * (uint32_t)t.args.size();
  case driver::tmpl::structure: return n + 1 + (uint32_t)t.args.size();
  case driver::tmpl::set: return 4 * (uint32_t)t.ranges.size();
  case driver::tmpl::mutable_: return n + 3;
  default: return 0;
  }
}

/* The variables of a template: those with an attribute (entries and attributes) into attrs once
 * each, and those that suspend (entries and variables) into susp, one per occurrence. */
template <class Ints>
void variables_of(const driver::tmpl &t, Ints *attrs, Ints *susp)
{
  if (t.kind == driver::tmpl::entry || t.kind == driver::tmpl::attribute)
    if (attrs->find((int)t.v) == attrs->size()) attrs->push_back((int)t.v);
  if (t.kind == driver::tmpl::entry || t.kind == driver::tmpl::variable) susp->push_back((int)t.v);
  for (const driver::tmpl &a : t.args) variables_of(a, attrs, susp);
}

TAGGED bound_word(int32_t v)
{
  return v == INT32_MIN ? atom_inf : v == INT32_MAX ? atom_sup : MakeSmall(v);
}

TAGGED atom_of(const char *name)
{
  return std::strcmp(name, "[]") == 0 ? atom_nil : init_atom_check(name, 0);
}

/* The functor t/n of linear terms ("t" is a fixed atom). */
TAGGED functor_t(int n) { return MakeFunctor(qx_char_atom_fixed('t'), n); }

}  // namespace

driver::tmpl driver::t_entries(const std::vector<int> &xs)
{
  std::vector<tmpl> e;
  for (int x : xs) e.push_back(t_entry(x));
  return t_list(std::move(e));
}

driver::tmpl driver::t_vars(const std::vector<int> &xs)
{
  std::vector<tmpl> e;
  for (int x : xs) e.push_back(t_var(x));
  return t_list(std::move(e));
}

/* The template's term; the caller made room for words_of(t). attrs + k holds the attribute of
 * variable xs[k]. */
TAGGED driver::build(const tmpl &t, const small_ints &xs, QX_term_ref attrs)
{
  auto attr = [&](int64_t x) {
    return ref(attrs + (int)xs.find((int)x));
  };
  switch (t.kind) {
  case tmpl::entry: {
    TAGGED *p = w_->global_top;
    w_->global_top += 3;
    p[0] = functor_minus2, p[1] = term((int)t.v), p[2] = attr(t.v);
    return MakeStr(p);
  }
  case tmpl::variable: return term((int)t.v);
  case tmpl::unbound: {
    TAGGED *p = w_->global_top++;
    return *p = MakeRef(p);
  }
  case tmpl::attribute: return attr(t.v);
  case tmpl::integer: return make_int64(w_, t.v);
  case tmpl::atom: return atom_of(t.name.c_str());
  case tmpl::set: return build_set(t.ranges.data(), t.ranges.size());
  case tmpl::mutable_: return build_mutable(build(t.args[0], xs, attrs));
  case tmpl::structure: {
    TAGGED *p = w_->global_top;
    w_->global_top += 1 + t.args.size();
    p[0] = MakeFunctor(atom_of(t.name.c_str()), (int)t.args.size());
    for (size_t k = 0; k < t.args.size(); k++) p[1 + k] = build(t.args[k], xs, attrs);
    return MakeStr(p);
  }
  default: { /* lists */
    bool improper = t.kind == tmpl::improper;
    size_t n = t.args.size() - (improper ? 1 : 0);
    TAGGED *cells = w_->global_top;
    w_->global_top += 2 * n;
    for (size_t k = 0; k < n; k++) {
      cells[2 * k] = build(t.args[k], xs, attrs);
      cells[2 * k + 1] = MakeLst(cells + 2 * k + 2);
    }
    TAGGED tail = improper ? build(t.args.back(), xs, attrs) : atom_nil;
    if (n == 0) return tail;
    cells[2 * n - 1] = tail;
    return MakeLst(cells);
  }
  }
}

TAGGED driver::int_term(int64_t v)
{
  return SmallFits(v) ? MakeSmall((int32_t)v) : make_int64(w_, v);
}

inline void driver::posted::add_variable(int x)
{
  if (xs.find(x) == xs.size()) xs.push_back(x);
  suspended.push_back(x);
}

inline int driver::posted::attr_index(int x) const
{
  return (int)xs.find(x);
}

/* The list of linear terms t(A, X, Attr), or with dead t(A, X, Attr, '$mutable'([], 0)); the
 * caller made room. attrs + k holds the attribute of variable q.xs[k]. */
inline TAGGED driver::terms_list(const lin_term *t, size_t n, bool dead, const posted &q,
                                 QX_term_ref attrs)
{
  worker *w = w_; /* a local: each store would reload w_ (the build allows aliasing) */
  TAGGED list = atom_nil;
  for (size_t i = n; i-- > 0;) {
    const lin_term &lt = t[i];
    TAGGED k = int_term(lt.a);
    TAGGED *f = w->global_top;
    w->global_top += dead ? 5 : 4;
    f[0] = functor_t(dead ? 4 : 3), f[1] = k, f[2] = term(lt.x);
    f[3] = ref(attrs + q.attr_index(lt.x));
    if (dead) f[4] = build_mutable(atom_nil);
    TAGGED *cell = w->global_top;
    w->global_top += 2;
    cell[0] = MakeStr(f), cell[1] = list;
    list = MakeLst(cell);
  }
  return list;
}

/* Each variable argument is X, Attr in the state and X in the constraint; linear terms are
 * t(A, X, Attr) or t(A, X, Attr, '$mutable'([], 0)). Built directly, without templates: the
 * classic models post thousands of constraints. The constraint and the state share every
 * argument but the variables' and the dead terms' (each Dead a mutable of its own), as a Prolog
 * caller's terms would. */
int driver::post_global(const char *name, const arg_view *args, size_t count,
                        const char *susp_key, bool nested, const void *spec)
{
  posted q{name, (int)count};
  q.susp = susp_key;
  q.spec = spec;
  uint32_t words = 2 * (uint32_t)count + 8;
  for (const arg_view *a = args; a < args + count; a++) {
    switch (a->kind) {
    case arg::variable:
      q.add_variable((int)a->v);
      q.arity_state++;
      break;
    case arg::integer: words += 8; break;
    case arg::set: words += 4 * (uint32_t)a->nranges; break;
    case arg::terms:
      for (size_t i = 0; i < a->nlin; i++) q.add_variable(a->lin[i].x);
      words += (uint32_t)a->nlin * (2 + 4 + 8);
      break;
    default:
      for (size_t i = 0; i < a->nlin; i++) q.add_variable(a->lin[i].x);
      words += 2 * (uint32_t)a->nlin * (2 + 5 + 3 + 8);
    }
  }
  q.words = words;
  auto build_args = [&](TAGGED *c, TAGGED *st, QX_term_ref attrs) {
    auto attr = [&](int x) { return ref(attrs + q.attr_index(x)); };
    auto terms_list = [&](const arg_view *a, bool dead) {
      return this->terms_list(a->lin, a->nlin, dead, q, attrs);
    };
    for (const arg_view *a = args; a < args + count; a++) {
      switch (a->kind) {
      case arg::variable:
        *c++ = *st++ = term((int)a->v);
        *st++ = attr((int)a->v);
        continue;
      case arg::integer: *c++ = *st++ = int_term(a->v); continue;
      case arg::set: *c++ = *st++ = build_set(a->ranges, a->nranges); continue;
      case arg::terms: *c++ = *st++ = terms_list(a, false); continue;
      default:
        *c++ = terms_list(a, true);
        *st++ = terms_list(a, true);
      }
    }
  };
  q.arity_state += (int)count;
  return post_posted(q, nested, build_args);
}

/* The template posting of a state row (post_state) or of an action goal. */
int driver::post_posting(const posting &p, bool nested)
{
  posted q{p.key.c_str(), (int)p.constraint.size()};
  q.susp = p.susp;
  q.susp_each = &p.susp_each;
  q.status = p.status;
  small_ints ignored;
  uint32_t words = 8 + (uint32_t)(p.state.size() + p.constraint.size());
  for (const tmpl &t : p.state) variables_of(t, &q.xs, &q.suspended), words += words_of(t);
  for (const tmpl &t : p.constraint) variables_of(t, &q.xs, &ignored), words += words_of(t);
  q.words = words;
  q.arity_state = (int)p.state.size();
  auto build_args = [&](TAGGED *c, TAGGED *st, QX_term_ref attrs) {
    for (const tmpl &t : p.constraint) *c++ = build(t, q.xs, attrs);
    for (const tmpl &t : p.state) *st++ = build(t, q.xs, attrs);
  };
  return post_posted(q, nested, build_args);
}

size_t driver::small_ints::find(int x) const
{
  if (n_ <= 32) return (size_t)(std::find(begin(), end(), x) - begin());
  for (; indexed_ < n_; indexed_++) {
    int v = data_[indexed_];
    if (v < 0) return (size_t)(std::find(begin(), end(), x) - begin());
    if ((size_t)v >= where_.size()) where_.resize(2 * (size_t)v + 1, 0);
    if (where_[(size_t)v] == 0) where_[(size_t)v] = (int)indexed_ + 1;
  }
  return x >= 0 && (size_t)x < where_.size() && where_[(size_t)x] ? (size_t)where_[(size_t)x] - 1 : n_;
}

void driver::small_ints::grow()
{
  std::vector<int> bigger(data_, data_ + n_);
  bigger.resize(2 * cap_);
  more_.swap(bigger);
  data_ = more_.data();
  cap_ *= 2;
}

TAGGED driver::key_atom(const void *row, const char *name)
{
  for (const auto &k : *key_atoms_)
    if (k.first == row) return (last_key_ = k).second;
  TAGGED a = atom_of(name);
  key_atoms_->push_back({row, a});
  last_key_ = {row, a};
  return a;
}

TAGGED driver::build_set(const std::pair<int32_t, int32_t> *ranges, size_t n)
{
  TAGGED out = atom_nil;
  for (size_t r = n; r-- > 0;) {
    TAGGED *p = w_->global_top;
    w_->global_top += 4;
    p[0] = bound_word(ranges[r].first), p[1] = bound_word(ranges[r].second);
    p[2] = MakeLst(p), p[3] = out;
    out = MakeLst(p + 2);
  }
  return out;
}

TAGGED driver::build_mutable(TAGGED v)
{
  TAGGED *p = w_->global_top;
  w_->global_top += 3;
  p[0] = functor_mutable2, p[1] = v, p[2] = MakeSmall(0);
  return MakeStr(p);
}

/* Posts the global: the attributes of q.xs, the constraint and state terms (build_args fills
 * the arguments of both; the state closes with Handle (unbound) and Stamp 0), the suspension
 * list, then $fd_post_global. Nested (from an action goal): the level being run takes the
 * global, and the running propagation loop runs it. */
template <typename F>
int driver::post_posted(posted &q, bool nested, F build_args)
{
  const key_spec *spec = q.spec ? (const key_spec *)q.spec : spec_of(q.key, q.arity);
  const small_ints &xs = q.xs;
  /* the attributes and a scratch reference, then constraint, state, susp and global */
  QX_term_ref attrs = QX_new_term_refs((int)xs.size() + 1 + 4), mark = attrs;
  QX_term_ref out = attrs + (int)xs.size() + 1;
  if (!xs.empty() && xs.size() <= QX_MAX_ARITY) {
    /* one call for all the attributes: $fd_check_arguments on a term of the variables */
    int last = (int)xs.size();
    qx_heap_room(w_, (uint32_t)last + 2); /* the term and the output variable */
    TAGGED *vars = w_->global_top;
    w_->global_top += last + 2;
    vars[last + 1] = MakeRef(vars + last + 1);
    set(attrs + last, vars[last + 1]);
    static const TAGGED name = init_atom_check("arguments", 0);
    vars[0] = MakeFunctor(name, last);
    for (int i = 0; i < last; i++) vars[i + 1] = term(xs[i]);
    int r = call(n.check_arguments, {MakeStr(vars), ref(attrs + last)});
    if (r != 1) return QX_reset_term_refs(mark), r;
    for (int i = 0; i < last; i++) set(attrs + i, deref(StrArg(ref(attrs + last), i + 1)));
  } else {
    for (size_t i = 0; i < xs.size(); i++) {
      set(attrs + (int)i, fresh_var());
      int r = call(n.arg_attribute, {term(xs[i]), MakeSmall(0), ref(attrs + (int)i)});
      if (r != 1) return QX_reset_term_refs(mark), r;
    }
  }
  /* The suspensions: susp_each's, else every suspending variable's with one key. */
  const std::vector<std::pair<int, std::string>> *each =
      q.susp_each && !q.susp_each->empty() ? q.susp_each : nullptr;
  const char *key = q.susp ? q.susp : spec ? spec->susp : "minmax";
  size_t nsusp = each ? each->size() : key && *key ? q.suspended.size() : 0;
  qx_heap_room(w_, q.words + (uint32_t)(q.arity + q.arity_state) + 4 * (uint32_t)nsusp + 9);
  TAGGED *global = w_->global_top++; /* the fresh Global */
  *global = MakeRef(global);
  set(out + 3, *global);
  TAGGED name = !spec                  ? atom_of(q.key)
                : spec == last_key_.first ? last_key_.second
                                          : key_atom(spec, q.key);
  TAGGED *c = w_->global_top;
  w_->global_top += 1 + q.arity;
  c[0] = MakeFunctor(name, q.arity);
  int sn = q.arity_state + 2;
  TAGGED *st = w_->global_top;
  w_->global_top += 1 + sn;
  st[0] = MakeFunctor(name, sn);
  build_args(c + 1, st + 1, attrs);
  set(out, MakeStr(c));
  st[sn - 1] = MakeRef(&st[sn - 1]);
  st[sn] = MakeSmall(0);
  set(out + 1, MakeStr(st));
  TAGGED list = atom_nil;
  const char *last_key = nullptr;
  TAGGED functor = 0;
  for (size_t i = nsusp; i-- > 0;) {
    const char *k = each ? (*each)[i].second.c_str() : key;
    if (!last_key || std::strcmp(k, last_key) != 0)
      functor = susp_functor(api_, k), last_key = k;
    TAGGED *cell = w_->global_top;
    w_->global_top += 4;
    cell[0] = functor;
    cell[1] = term(each ? (*each)[i].first : q.suspended[i]);
    cell[2] = MakeStr(cell);
    cell[3] = list;
    list = MakeLst(cell + 2);
  }
  set(out + 2, list);
  int status = q.status >= 0 ? q.status : spec ? spec->status : 0;
  /* With no level open the global's enqueue opens one, as $fd_begin would. */
  int r = nested || !level_open(api_) ? 1 : call(n.begin, {});
  if (r == 1)
    r = call(n.post_global,
             {ref(out), ref(out + 1), MakeSmall(status), ref(out), ref(out + 2), ref(out + 3)});
  if (r == 1) {
    qx_heap_room(w_, 2);
    TAGGED *cell = w_->global_top;
    w_->global_top += 2;
    cell[0] = ref(out + 3);
    cell[1] = ref(globals_);
    set(globals_, MakeLst(cell));
    if (!nested) set(last_, ref(out + 3));
    if (!nested) r = propagate();
  }
  QX_reset_term_refs(mark);
  return r;
}

/* ---- propagation ---- */

int driver::propagate()
{
  for (;;) {
    if (!level_open(api_)) {
      if (w_->wake_len == 0) return 1;
      int r = slow_path();
      if (r != 1) return r;
      continue;
    }
    heap_room(w_, 2);
    TAGGED *cells = w_->global_top; /* two fresh variables */
    w_->global_top += 2;
    cells[0] = MakeRef(cells), cells[1] = MakeRef(cells + 1);
    set(scratch_, cells[0]);
    set(scratch_ + 1, cells[1]);
    int r = call_in_line(n.evaluate, cells[0], cells[1]);
    if (r != 1) return r;
    switch (GetSmall(ref(scratch_ + 1))) {
    case 1: r = slow_path(); break;
    case 2: r = run_global(ref(scratch_)); break;
    default: r = w_->wake_len ? slow_path() : 1; break;
    }
    if (r != 1) return r;
  }
}

/* Runs global G as the library does when the loop hands it over (debugging mode, or a
 * propagator that overflowed). */
int driver::run_global(TAGGED global)
{
  QX_term_ref r = QX_new_term_refs(4); /* global, state, actions, result */
  set(r, global);
  for (int k = 1; k < 4; k++) set(r + k, fresh_var());
  TAGGED g = ref(r);
  int ok = call(n.dispatch_fast, {deref(StrArg(g, FD_GLOBAL_CONSTRAINT)),
                                  fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)), ref(r + 1),
                                  ref(r + 2), g, ref(r + 3)});
  if (ok == 1 && ref(r + 3) != MakeSmall(1)) {
    error_ = "no native propagator for the key of a global constraint";
    qx_heap_room(w_, 3);
    g = ref(r);
    qx_set_exception(w_, qx_make_struct(w_, MakeFunctor(init_atom_check("fd_driver_error", 0), 2),
                                        {init_atom_check("no_propagator", 0),
                                         deref(StrArg(g, FD_GLOBAL_CONSTRAINT))}));
    ok = -1;
  }
  if (ok == 1) {
    fd_update_mutable(api_, w_, ref(r + 1), StrArg(ref(r), FD_GLOBAL_STATE));
    ok = call(n.prune_and_enqueue, {ref(r + 2), ref(r)});
  }
  QX_reset_term_refs(r);
  return ok;
}

int driver::unify(int x, int y)
{
  int ok = cunify(w_, term(x), term(y)) ? 1 : 0;
  return ok == 1 ? propagate() : 0;
}

int driver::fd_unify_vars(int x, int y)
{
  int ok = call(n.fd_unify, {term(x), term(y)});
  return ok == 1 ? propagate() : ok;
}

int driver::bind(int x, int32_t v, binding how)
{
  int ok = how == binding::fd_unify
               ? call(n.fd_unify, {term(x), MakeSmall(v)})
               : call(n.in_interval, {term(x), MakeSmall(v), MakeSmall(v), MakeSmall(1)});
  return ok == 1 ? propagate() : ok;
}

int driver::exclude(int x, int32_t v)
{
  int ok = exclude_term(term(x), v);
  return ok == 1 ? propagate() : ok;
}

int driver::exclude_term(TAGGED x, int32_t v)
{
  QX_term_ref r = QX_new_term_ref();
  set(r, x);
  qx_heap_room(w_, 8);
  TAGGED *p = w_->global_top;
  w_->global_top += 8;
  /* inf..v-1 and v+1..sup, each left out at its end of the small integers */
  TAGGED above = v < QX_SMALL_MAX ? MakeLst(p + 6) : atom_nil;
  p[0] = atom_inf, p[1] = MakeSmall(v - 1), p[2] = MakeLst(p), p[3] = above;
  p[4] = MakeSmall(v + 1), p[5] = atom_sup, p[6] = MakeLst(p + 4), p[7] = atom_nil;
  int ok = call(n.in_set, {ref(r), v > QX_SMALL_MIN ? MakeLst(p + 2) : above, MakeSmall(1)});
  QX_reset_term_refs(r);
  return ok;
}

void driver::set_debugging(bool on)
{
  set(scratch_, fresh_var());
  set(scratch_ + 1, fresh_var());
  call(n.debug, {ref(scratch_), init_atom_check(on ? "on" : "off", 0), ref(scratch_ + 1)});
}

/* ---- search ---- */

/* The next variable: 1 with it in *chosen, 0 none left, -1 exception. */
int driver::choose(const std::vector<int> &vars, const options &opt, size_t *from, TAGGED *chosen)
{
  if (opt.rule == choice::input) {
    /* The variables before the last one chosen on this branch are bound. */
    for (size_t k = *from; k < vars.size(); k++)
      if (IsVar(term(vars[k]))) return *from = k, *chosen = term(vars[k]), 1;
    return 0;
  }
  set(scratch_ + 2, fresh_var());
  if (opt.rule == choice::min || opt.rule == choice::max || opt.rule == choice::ff) {
    set(scratch_ + 3, fresh_var());
    TAGGED g = ref(labeling_);
    int r = call(n.labeling, {fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)), ref(scratch_ + 3),
                              ref(scratch_ + 2), g});
    if (r != 1) return r < 0 ? -1 : 0;
    fd_update_mutable(api_, w_, ref(scratch_ + 3), StrArg(ref(labeling_), FD_GLOBAL_STATE));
  } else {
    uint32_t count = 0;
    for (int x : vars) count += IsVar(term(x));
    if (count == 0) return 0;
    qx_heap_room(w_, 2 * count);
    TAGGED list = atom_nil;
    for (size_t k = vars.size(); k-- > 0;) {
      if (!IsVar(term(vars[k]))) continue;
      TAGGED *p = w_->global_top;
      w_->global_top += 2;
      p[0] = term(vars[k]);
      p[1] = list;
      list = MakeLst(p);
    }
    int rule = 1 + (int)opt.rule - (int)choice::delete_min;
    int r = call(n.fd_delete, {list, ref(scratch_ + 2), MakeSmall(rule)});
    if (r != 1) return r < 0 ? -1 : 0;
  }
  TAGGED x = ref(scratch_ + 2);
  if (!IsVar(x)) return 0;
  *chosen = x;
  return 1;
}

/* The labeling record: global('$mutable'(State, 0), labeling(Vars), '$mutable'(2, 0), Dead,
 * labeling(Vars)), State = labeling(Vars, Key, Handle, 0); built, never posted. */
static TAGGED labeling_record(worker *w, TAGGED list, int rule)
{
  TAGGED *p = w->global_top;
  w->global_top += 20;
  TAGGED key = init_atom_check(rule == 1 ? "min" : rule == 2 ? "max" : "dom", 0);
  TAGGED lab = init_atom_check("labeling", 0);
  p[0] = MakeFunctor(lab, 4), p[1] = list, p[2] = key, p[3] = MakeRef(&p[3]), p[4] = MakeSmall(0);
  p[5] = functor_mutable2, p[6] = MakeStr(p), p[7] = MakeSmall(0);
  p[8] = functor_mutable2, p[9] = MakeSmall(FD_ST_GLOBAL), p[10] = MakeSmall(0);
  p[11] = MakeFunctor(lab, 1), p[12] = list;
  p[13] = functor_global5, p[14] = MakeStr(p + 5), p[15] = MakeStr(p + 11), p[16] = MakeStr(p + 8),
  p[17] = MakeRef(&p[17]), p[18] = MakeStr(p + 11);
  return MakeStr(p + 13);
}

int driver::search(const std::vector<int> &vars_in, const options &opt,
                   const std::function<bool(driver &)> &on_solution, counts *out)
{
  std::vector<int> vars;
  if (vars_in.empty()) {
    vars.resize(var_count()); /* one allocation */
    for (int x = 0; x < var_count(); x++) vars[x] = x;
  } else {
    vars = vars_in;
  }
  counts c;
  stop_ = false;
  if (opt.cost >= 0 && record_incumbent(vars.size()) != 1) return -1;
  QX_term_ref mark = QX_new_term_refs(0);
  QX_query_ref q = 0;
  node *root = nullptr;
  if (opt.queries) {
    q = QX_open_query(true0_);
    if (QX_next_solution(q) != 1) return QX_close_query(q), -1;
  } else {
    root = qx_push_node(w_, qx_alt(QX_ALT_FAILCODE, 0));
  }
  if (opt.rule == choice::min || opt.rule == choice::max || opt.rule == choice::ff) {
    qx_heap_room(w_, 20 + 2 * (uint32_t)vars.size());
    TAGGED list = atom_nil;
    for (size_t k = vars.size(); k-- > 0;) {
      TAGGED *p = w_->global_top;
      w_->global_top += 2;
      p[0] = term(vars[k]);
      p[1] = list;
      list = MakeLst(p);
    }
    set(labeling_, labeling_record(w_, list, 1 + (int)opt.rule - (int)choice::min));
  }
  path_.clear();
  frames_ = 0, replay_until_ = 0, probe_at_ = SIZE_MAX;
  int r = search_node(vars, 0, opt, on_solution, &c);
  set(labeling_, atom_nil);
  if (opt.queries) {
    QX_close_query(q);
  } else {
    qx_restore_node(w_, root);
    qx_pop_node(w_);
  }
  QX_reset_term_refs(mark);
  if (out) *out = c;
  return r < 0 ? -1 : 1;
}

/* Branch-and-bound with input order keeps the decisions of the open path in path_. After a
 * solution the frames return without trying their right branches up to a probe depth (a multiple
 * of PROBE_DISTANCE): there the bound is told and propagated once. Failing, it abandons every
 * branch below at once and the next probe is that distance higher; holding, the decisions down
 * to the deepest open left branch are replayed (nodes not counted again, each told the bound on
 * entry) and the search goes on from there. */
constexpr size_t PROBE_DISTANCE = 8;

int driver::search_node(const std::vector<int> &vars, size_t from, const options &opt,
                        const std::function<bool(driver &)> &on_solution, counts *c)
{
  size_t depth = frames_;
  bool replaying = depth < replay_until_;
  int r = opt.cost >= 0 ? tell_incumbent_bound(opt) : 1;
  if (r == 1) r = propagate();
  if (!replaying) c->nodes++;
  if (r < 0) return -1;
  if (r == 0) return c->failures++, replay_until_ = 0, 1;
  if (opt.watch && !opt.watch->fixpoint()) return stop_ = true, 1;
  bool probing = opt.cost >= 0 && opt.rule == choice::input && !opt.queries;
  TAGGED chosen;
  int32_t v;
  int first = 1; /* 1 left branch first, 0 right branch only */
  if (replaying) {
    step st = path_[depth];
    from = (size_t)st.k;
    chosen = term(vars[from]);
    v = st.v;
    first = st.left && depth + 1 < replay_until_ ? 1 : 0;
    if (depth + 1 == replay_until_) replay_until_ = 0; /* the deepest open left branch */
  } else {
    r = choose(vars, opt, &from, &chosen);
    if (r < 0) return -1;
    if (r == 0) {
      c->solutions++;
      if (opt.cost >= 0) {
        if (new_incumbent(vars, opt) != 1) return -1;
        if (on_solution && !on_solution(*this)) stop_ = true;
        if (probing && depth > 0) {
          path_.resize(depth);
          probe_at_ = (depth - 1) / PROBE_DISTANCE * PROBE_DISTANCE;
        }
      } else if (!on_solution || !on_solution(*this)) {
        stop_ = true;
      }
      return 1;
    }
    TAGGED dom = fd_attr_dom(attribute_of(api_, chosen));
    bool largest = opt.largest || (opt.rule == choice::input && from < opt.largest_first);
    v = GetSmall(deref(StrArg(dom, largest ? 3 : 2)));
  }
  QX_term_ref x = QX_new_term_refs(2); /* the variable; the posted globals at the push */
  set(x, chosen);
  set(x + 1, ref(globals_));
  for (int left = first; left >= 0 && !stop_; left--) {
    if (probing) {
      if (path_.size() <= depth) path_.resize(depth + 1);
      path_[depth] = {(int)from, v, left == 1};
    }
    QX_query_ref q = 0;
    TAGGED *top = nullptr;
    if (left && opt.queries) {
      q = QX_open_query(true0_);
      if (QX_next_solution(q) != 1) return QX_close_query(q), -1;
      top = w_->current_query->global_top;
    } else if (left) {
      top = qx_push_node(w_, qx_alt(QX_ALT_FAILCODE, 0))->global_top;
    }
    if (left && opt.watch) opt.watch->pushed(w_, top);
    int ok = left ? opt.how == binding::fd_unify
                        ? call(n.fd_unify, {ref(x), MakeSmall(v)})
                        : call(n.in_interval, {ref(x), MakeSmall(v), MakeSmall(v), MakeSmall(1)})
                  : exclude_term(ref(x), v);
    if (ok == 1) {
      frames_ = depth + 1;
      ok = search_node(vars, from, opt, on_solution, c);
      frames_ = depth;
    } else if (ok == 0) {
      if (depth + 1 >= replay_until_) c->nodes++;
      c->failures++, replay_until_ = 0, ok = 1;
    }
    if (left) {
      if (opt.queries) {
        QX_close_query(q);
      } else {
        qx_restore_node(w_, w_->node_);
        qx_pop_node(w_);
      }
      set(globals_, ref(x + 1));
      if (opt.watch) opt.watch->undone(w_, top);
    }
    if (ok < 0) return -1;
    if (probe_at_ != SIZE_MAX && !stop_) {
      if (depth > probe_at_) break; /* the right branch waits for the probe above */
      probe_at_ = SIZE_MAX;
      ok = tell_incumbent_bound(opt);
      if (ok == 1) ok = propagate();
      if (ok < 0) return -1;
      if (ok == 0) {
        /* Every branch below fails the bound too. */
        c->failures++;
        path_.resize(depth);
        if (depth > 0) probe_at_ = depth >= PROBE_DISTANCE ? depth - PROBE_DISTANCE : 0;
        break;
      }
      /* The deepest open left branch below, if any, is replayed from this branch. */
      size_t deepest = 0;
      for (size_t j = path_.size(); j-- > depth + 1;)
        if (path_[j].left) {
          deepest = j;
          break;
        }
      if (deepest) {
        replay_until_ = deepest + 1;
        left++; /* the loop's decrement makes it this branch again */
      }
    }
  }
  QX_reset_term_refs(x);
  return 1;
}

/* ---- branch-and-bound ---- */

namespace {

definition *incumbent_definition() { return QX_predicate("incumbent", 2, "user"); }

}  // namespace

/* incumbent(sup, [0, ..., 0]) with count values as the only clause of user:incumbent/2, and its
 * database reference in incumbent_. */
int driver::record_incumbent(size_t count)
{
  QX_term_ref r = QX_new_term_refs(2);
  qx_heap_room(w_, 2 * (uint32_t)count + 6);
  TAGGED list = atom_nil;
  for (size_t k = 0; k < count; k++) {
    TAGGED *p = w_->global_top;
    w_->global_top += 2;
    p[0] = MakeSmall(0), p[1] = list;
    list = MakeLst(p);
  }
  TAGGED functor = MakeFunctor(init_atom_check("incumbent", 0), 2);
  TAGGED user = init_atom_check("user", 0);
  TAGGED *t = w_->global_top;
  w_->global_top += 6;
  t[0] = functor, t[1] = atom_sup, t[2] = list;
  t[3] = functor_colon2, t[4] = user, t[5] = MakeStr(t);
  set(r, MakeStr(t + 3));
  int ok;
  do { /* the records of earlier searches go */
    qx_heap_room(w_, 6);
    t = w_->global_top;
    w_->global_top += 6;
    t[0] = functor, t[1] = MakeRef(&t[1]), t[2] = MakeRef(&t[2]);
    t[3] = functor_colon2, t[4] = user, t[5] = MakeStr(t);
    set(r + 1, MakeStr(t + 3));
  } while ((ok = QX_query(QX_predicate("retract", 1, "prolog"), r + 1)) == 1);
  if (ok == 0) ok = QX_query(QX_predicate("assertz", 1, "prolog"), r);
  instance *live = nullptr;
  if (ok == 1)
    for (instance *ins = incumbent_definition()->first_clause; ins; ins = ins->next)
      if (ins->death == QX_CLOCK_ALIVE) live = ins;
  if (live) {
    qx_heap_room(w_, 8);
    set(incumbent_, cons_dbref(w_, live, 0));
  }
  QX_reset_term_refs(r);
  return live ? 1 : -1;
}

/* Cost at most the incumbent's bound less one (nothing before the first solution). */
int driver::tell_incumbent_bound(const options &opt)
{
  set(scratch_, fresh_var());
  int r = call(n.incumbent_bound, {ref(incumbent_), ref(scratch_)});
  if (r != 1) return r;
  TAGGED b = ref(scratch_);
  if (!IsSmall(b)) return 1;
  /* Nothing to tell when the cost's maximum is below the bound already. */
  TAGGED cost = term(opt.cost);
  TAGGED attr = attribute_of(api_, cost);
  TAGGED dom = attr ? fd_attr_dom(attr) : 0;
  TAGGED max = IsSmall(cost) ? cost : dom ? deref(StrArg(dom, 3)) : 0;
  if (IsSmall(max) && GetSmall(max) < GetSmall(b)) return 1;
  if (GetSmall(b) == QX_SMALL_MIN) return 0; /* no cost below the smallest integer */
  return call(n.in_interval, {term(opt.cost), atom_inf, MakeSmall(GetSmall(b) - 1), MakeSmall(1)});
}

int driver::new_incumbent(const std::vector<int> &vars, const options &opt)
{
  qx_heap_room(w_, 2 * (uint32_t)vars.size());
  TAGGED list = atom_nil;
  for (size_t k = vars.size(); k-- > 0;) {
    TAGGED *p = w_->global_top;
    w_->global_top += 2;
    p[0] = term(vars[k]), p[1] = list;
    list = MakeLst(p);
  }
  /* Every search variable fixed: the cost's minimum is its value (a makespan is only bounded
   * below by the ends). */
  TAGGED cost = term(opt.cost);
  if (IsVar(cost)) cost = deref(StrArg(fd_attr_dom(attribute_of(api_, cost)), 2));
  return call(n.update_incumbent, {ref(incumbent_), cost, list});
}

/* The record's words as the kernel writes them: the bound after the functor, then the list's
 * cells, linked by offsets from the instance's start. */
bool driver::incumbent(TAGGED *bound, std::vector<int32_t> *values)
{
  if (!IsStr(ref(incumbent_))) return false;
  const instance *ins = decode_dbref(ref(incumbent_));
  if (!ins || ins->death != QX_CLOCK_ALIVE) return false;
  const TAGGED *words = (const TAGGED *)ins;
  *bound = words[QX_INSTANCE_HEADER_WORDS + 1];
  values->clear();
  for (uint32_t link = QX_INSTANCE_HEADER_WORDS + 2; IsLst(words[link]);) {
    uint32_t cell = (words[link] - QX_TAG_LST) / sizeof(TAGGED);
    values->push_back(IsSmall(words[cell]) ? GetSmall(words[cell]) : INT32_MIN);
    link = cell + 1;
  }
  return true;
}

/* ---- checks ---- */

int driver::rerun_globals()
{
  QX_term_ref r = QX_new_term_refs(5); /* rest, global, state, actions, result */
  set(r, ref(globals_));
  int pruning = 0;
  while (IsLst(ref(r))) {
    set(r + 1, deref(LstHead(ref(r))));
    set(r, deref(LstTail(ref(r))));
    if (fd_dead(ref(r + 1))) continue;
    for (int k = 2; k < 5; k++) set(r + k, fresh_var());
    qx_push_node(w_, qx_alt(QX_ALT_FAILCODE, 0));
    int ok = call(n.begin, {});
    TAGGED g = ref(r + 1);
    if (ok == 1)
      ok = call(n.dispatch_fast, {deref(StrArg(g, FD_GLOBAL_CONSTRAINT)),
                                  fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)), ref(r + 2),
                                  ref(r + 3), g, ref(r + 4)});
    if (ok == 1 && ref(r + 4) == MakeSmall(1)) {
      for (TAGGED a = ref(r + 3); IsLst(a); a = deref(LstTail(a)))
        if (deref(LstHead(a)) != atom_exit) {
          pruning++;
          break;
        }
    } else if (ok >= 0) {
      pruning++;
    }
    qx_restore_node(w_, w_->node_);
    qx_pop_node(w_);
    if (ok < 0) return QX_reset_term_refs(r), -1;
  }
  QX_reset_term_refs(r);
  return pruning;
}

/* ---- the tests' oracle ---- */

undo_scope::undo_scope(worker *w) : w(w), n(qx_push_node(w, qx_alt(QX_ALT_FAILCODE, 0))) {}

undo_scope::~undo_scope()
{
  qx_restore_node(w, n);
  qx_pop_node(w);
}

void checker::pushed(worker *w, TAGGED *top)
{
  if (!heap) return;
  starts.push_back(copies.size());
  copies.insert(copies.end(), (char *)w->heap_start, (char *)top);
  collections.push_back(qx_gc_statistics()->collections);
}

void checker::undone(worker *w, TAGGED *top)
{
  if (!heap) return;
  size_t start = starts.back(), size = copies.size() - start;
  if (collections.back() == qx_gc_statistics()->collections) {
    compared++;
    differing += size != (size_t)((char *)top - (char *)w->heap_start) ||
                 std::memcmp(copies.data() + start, w->heap_start, size) != 0;
  }
  copies.resize(start);
  starts.pop_back();
  collections.pop_back();
}

bool checker::fixpoint()
{
  if (rerun) pruning += d->rerun_globals() != 0;
  return true;
}

}  // namespace fd_driver
