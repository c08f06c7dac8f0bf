/* The solver kernel on a real engine: the built-ins, the clpfd resource linked in and loaded by
 * load_clpfd_resource/0 (so its natives are predicates of module clpfd, called through the
 * foreign glue), goals run once with their variables read back canonically, and the instance's
 * API struct and fd_state.
 *
 * Test globals: add_test_global(name, arity) enters a propagator for name/arity in the
 * instance's dispatch table and answers its record (fd_test_global). Each run counts itself,
 * applies the prunings the test put in the record (argument k of the constraint to Min..Max),
 * ends with the outcome the test chose, and on its first run allocates a persistent block whose
 * destructor counts its runs; with `daemon` set it attaches a daemon to each variable argument,
 * which counts its runs and queues the global again when `daemon_requeues` is set. Records live
 * until the next fixture starts; blocks still alive when the fixture stops are freed then.
 *
 * Collector safety: the fixture keeps no heap term in C++ locals across a goal; the variables of
 * the last goal are collector roots.
 */
#ifndef QX_FD_KERNEL_ENV_H
#define QX_FD_KERNEL_ENV_H

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "fd_kernel.h"
#include "foreign.h"
#include "foreign_interface.h"
#include "hashtab.h"
#include "test_prolog.h"
#include "wam.h"
#include "wam_internal.h"

/* What a test global does, and what it saw. */
struct fd_test_global {
  struct prune {
    int arg; /* argument of the constraint, from 1 */
    TAGGED min, max;
  };
  /* set by the test */
  std::vector<prune> prunes; /* applied on every run */
  int outcome = 0;           /* 1 entailed, 0 suspended, -1 failed */
  bool daemon = false;       /* attach a daemon to each variable argument on the first run */
  bool daemon_requeues = false;
  bool overflow = false; /* raise fd_overflow during the run */
  bool fixpoint = false; /* declare its own fixpoint before its exports */
  TAGGED goal = 0;       /* an atom: an action goal put before the run's other actions */
  /* seen */
  int runs = 0;
  int daemon_runs = 0;
  int destroyed = 0;        /* destructor runs of its blocks */
  int blocks = 0;           /* blocks allocated */
  std::vector<void *> live; /* blocks not destroyed yet: freed when the fixture stops */
  std::vector<int> stamps;  /* the state's Stamp at each run */
};

namespace fd_kernel_env {

/* Records of the test globals of the running fixture, by functor word. */
inline std::deque<fd_test_global> &globals()
{
  static std::deque<fd_test_global> all;
  return all;
}
inline std::map<TAGGED, fd_test_global *> &by_functor()
{
  static std::map<TAGGED, fd_test_global *> map;
  return map;
}

struct test_block {
  daemon_frame frame;
  fd_test_global *spec;
  int32_t stamp;
};

inline void test_block_destructor(void *block)
{
  fd_test_global *spec = ((test_block *)block)->spec;
  spec->destroyed++;
  std::erase(spec->live, block);
  QX_free(block);
}

inline int test_daemon(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref,
                       TAGGED global)
{
  fd_test_global *spec = ((test_block *)block)->spec;
  spec->daemon_runs++;
  if (spec->daemon_requeues) fd_enqueue_global(api, w, global, 3);
  return 1;
}

/* The propagator entry of every test global: the calling convention of the kernel. */
inline void test_global_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                              QX_term_ref actions)
{
  worker *w = fd_worker(api);
  if (!fd_check_global(api, w)) return;
  fd_test_global *spec = by_functor().at(StrFunctor(deref(StrArg(deref(w->term[1]), 2))));
  spec->runs++;
  w->numstack_end = nullptr;
  w->term[2] = atom_nil;
  TAGGED handle;
  int32_t stamp;
  int is_new;
  fd_unify_output_state(api, w, &handle, &stamp, &is_new);
  spec->stamps.push_back(stamp);
  QX_term_ref mark = QX_new_term_refs(0);
  QX_term_ref attr = QX_new_term_ref(), var = QX_new_term_ref();
  bool first = IsVar(deref(handle));
  test_block *block;
  if (first) {
    block = (test_block *)fd_perm_alloc(api, w, sizeof(test_block), handle);
    block->frame.destructor = test_block_destructor;
    block->frame.daemon = test_daemon;
    block->spec = spec;
    spec->blocks++;
    spec->live.push_back(block);
  } else {
    block = (test_block *)fd_perm_data(deref(handle));
  }
  block->stamp = stamp + 1;
  int outcome = spec->outcome;
  if (spec->fixpoint) fd_global_at_fixpoint(api, w);
  TAGGED constraint = deref(StrArg(deref(w->term[1]), 2));
  uint32_t arity = IsStr(constraint) ? Arity(StrFunctor(constraint)) : 0;
  for (uint32_t k = 1; k <= arity; k++) {
    constraint = deref(StrArg(deref(w->term[1]), 2)); /* re-read: the heap may have moved */
    TAGGED x = deref(StrArg(constraint, k));
    if (!IsVar(x)) continue;
    fd_ref_put(api, var, x);
    call_overflow(w, 26 + 128, 3);
    fd_ref_put(api, attr,
               fd_check_argument(api, w, fd_ref_get(api, var), atom_inf, atom_sup, atom_sup));
    dvar d;
    dvar_init(&d, fd_ref_slot(api, attr), fd_ref_slot(api, var));
    if (first && spec->daemon)
      dvar_attach_daemon(api, w, &d, block, deref(w->term[1]), fd_state(api)->functor_dom);
    for (const fd_test_global::prune &p : spec->prunes) {
      if (p.arg != (int)k || outcome < 0) continue;
      int mask = dvar_fix_interval_t(&d, p.min, p.max);
      if (mask < 0)
        outcome = -1;
      else if (mask > 0)
        dvar_pruning_done(api, w, &d);
    }
    if (outcome >= 0) dvar_export_do(api, w, &d);
  }
  if (spec->overflow) fd_state(api)->fd_overflow = 1;
  if (outcome == 1) fd_perm_free(api, w);
  fd_ref_put(api, state, w->term[0]);
  QX_reset_term_refs(mark);
  dvar_export_done(api, w, actions, outcome);
  if (spec->goal && outcome >= 0) {
    call_overflow(w, 2, 3);
    TAGGED *cell = w->global_top;
    w->global_top += 2;
    cell[0] = spec->goal;
    cell[1] = fd_ref_get(api, actions);
    fd_ref_put(api, actions, MakeLst(cell));
  }
}

inline int entry_function(void *params)
{
  return qx_main_QXENV_clpfd((QX_MAINFUN_PARAMS_STRUCT *)params);
}
inline const char *const pre_map[] = {"clpfd", nullptr};
inline const QX_pre_linkage_fn pre_linkage[] = {entry_function, nullptr};
inline const qx_foreign_interface *const interfaces[] = {&qx_clpfd_interface, nullptr};

}  // namespace fd_kernel_env

/* Undoes, when it goes, what was done since it was made: the choicepoint pushed then is restored
 * and popped. Goals run in a loop under one keep the heap and the trail from growing. */
struct fd_undo_scope {
  worker *w;
  node *n;
  explicit fd_undo_scope(worker *w, int kind = QX_ALT_BARRIER)
      : w(w), n(qx_push_node(w, qx_alt(kind, 0)))
  {}
  ~fd_undo_scope()
  {
    qx_restore_node(w, n);
    qx_pop_node(w);
  }
  fd_undo_scope(const fd_undo_scope &) = delete;
  fd_undo_scope &operator=(const fd_undo_scope &) = delete;
};

class FdKernelTest : public ::testing::Test {
protected:
  FdKernelTest() : w(p.w)
  {
    fd_kernel_env::globals().clear();
    fd_kernel_env::by_functor().clear();
    qx_set_linked_resources(fd_kernel_env::pre_map, fd_kernel_env::pre_linkage);
    qx_set_linked_interfaces(fd_kernel_env::interfaces);
    EXPECT_TRUE(load()) << exception();
  }
  ~FdKernelTest() override
  {
    if (loaded()) {
      EXPECT_EQ(p.run("unload_clpfd_resource"), 1) << exception();
    }
    qx_set_linked_interfaces(nullptr);
    qx_set_linked_resources(nullptr, nullptr);
    /* blocks whose trail entries are still there when the engine stops */
    for (fd_test_global &g : fd_kernel_env::globals())
      for (void *block : g.live) QX_free(block);
  }

  /* load_clpfd_resource/0 through the engine; api follows the new instance. */
  bool load()
  {
    bool ok = p.run("load_clpfd_resource") == 1;
    api = instance_api();
    return ok && api;
  }
  bool unload()
  {
    bool ok = p.run("unload_clpfd_resource") == 1;
    api = instance_api();
    return ok;
  }
  bool loaded() { return instance_api() != nullptr; }
  static ORVALIS_API_STRUCT *instance_api()
  {
    for (qx_open_resource *r = qx_eg.open_resources; r; r = r->next)
      if (r->rname == atom_clpfd) return &r->qxenv;
    return nullptr;
  }
  struct fd_state *fd() { return fd_state(api); }

  /* Runs a goal once in module user: 1, 0, or -1 with the exception in exception(). */
  int run(const std::string &goal) { return p.run(goal); }
  /* run() with each '$fd_ native of the text called in module clpfd (unless it already is). */
  int go(std::string text)
  {
    for (size_t at = 0; (at = text.find("'$fd_", at)) != std::string::npos; at += 5)
      if (at < 6 || text.compare(at - 6, 6, "clpfd:") != 0) text.insert(at, "clpfd:"), at += 6;
    return run(text);
  }
  /* A variable of the last goal, written canonically ("_" when unbound). */
  std::string var(const std::string &name) { return p.var(name); }
  /* The pending exception, written canonically, and cleared; "<none>" when there is none. */
  std::string exception()
  {
    std::string e = p.exception();
    qx_clear_exception();
    return e;
  }
  /* Adds clauses; a clause of another module is written Module:Clause. */
  void consult(const std::string &text) { p.consult(text); }

  /* Enters fn as the propagator of name/arity; the name is registered, as the resource's own
   * keys are, so that atom collection keeps it. */
  TAGGED enter_global(const char *name, uint32_t arity, fd_global_fn fn)
  {
    TAGGED key = MakeFunctor(init_atom_check(name, 0), arity);
    QX_register_atom(key);
    dyn_puthash(&fd()->dispatch, key)->value = (TAGGED)(uintptr_t)fn;
    return key;
  }
  /* Enters a test global for name/arity in the dispatch table. */
  fd_test_global &add_test_global(const char *name, uint32_t arity)
  {
    fd_kernel_env::globals().emplace_back();
    fd_test_global *g = &fd_kernel_env::globals().back();
    fd_kernel_env::by_functor()[enter_global(name, arity, &fd_kernel_env::test_global_entry)] = g;
    return *g;
  }

  TestProlog p;
  worker *w;
  ORVALIS_API_STRUCT *api = nullptr;
};

#endif
