/* A worker with a solver instance for the solver's unit tests: the engine of TestEngine, an
 * fd_state in the stash of an API handle, and a small foreign-interface stack for native calls. */
#ifndef QX_FD_TEST_ENV_H
#define QX_FD_TEST_ENV_H

#include <vector>

#include "fd.h"
#include "gc.h"
#include "test_engine.h"

class FdTestEnv {
public:
  FdTestEnv() : w(engine.w), slots_(2 * 64, atom_nil)
  {
    w->fli_info.fli_stack_start = slots_.data();
    w->fli_info.term = w->term;
    w->fli_data = &w->fli_info;
    api.stash = &state;
    api.fli_data = (qx_fli_info **)w; /* the worker's first word */
    /* the solver calls the engine through the handle's tables */
    const ORVALIS_API_STRUCT *engine = QX_get_dispatch_40102(nullptr);
    api.dispatch_API_ORVALIS_H = engine->dispatch_API_ORVALIS_H;
    api.dispatch_API_SUPPORT_H = engine->dispatch_API_SUPPORT_H;
    fd_engine_tables.dispatch_API_ORVALIS_H = engine->dispatch_API_ORVALIS_H;
    fd_engine_tables.dispatch_API_SUPPORT_H = engine->dispatch_API_SUPPORT_H;
    qx_gc_add_root_range(slots_.data(), slots_.size());
  }
  ~FdTestEnv() { qx_gc_remove_root_range(slots_.data()); }
  FdTestEnv(const FdTestEnv &) = delete;
  FdTestEnv &operator=(const FdTestEnv &) = delete;

  /* A term reference holding t, a root of every collection. The slots grow as needed; the stack
   * start follows them. */
  QX_term_ref ref(TAGGED t)
  {
    QX_term_ref r = next_ref_++;
    if ((size_t)(2 * r + 1) >= slots_.size()) {
      qx_gc_remove_root_range(slots_.data());
      slots_.resize(2 * slots_.size(), atom_nil);
      w->fli_info.fli_stack_start = slots_.data();
      qx_gc_add_root_range(slots_.data(), slots_.size());
    }
    slots_[2 * r] = t;
    return r;
  }
  /* Stores t in an existing reference. */
  void put(QX_term_ref r, TAGGED t) { slots_[2 * r] = t; }
  TAGGED get(QX_term_ref r) const { return deref(slots_[2 * r]); }
  /* Native calls clear the flag to fail. */
  void arm() { w->fli_info.excp_flag = 1; }
  bool failed() const { return w->fli_info.excp_flag == 0; }

  TestEngine engine;
  worker *w;
  struct fd_state state {};
  ORVALIS_API_STRUCT api{};

private:
  std::vector<TAGGED> slots_;
  QX_term_ref next_ref_ = 10;
};

#endif
