/* An interpreter fixture for the engine tests: TestProlog with test natives of its own in place
 * of the built-ins' =/2 and between/3 (a nondeterministic one written for the tests), note/1
 * (appends a term to a log that tests compare with what they expect), nested queries, and the
 * finite-domain kernel's persistent-block protocol written out as the solver does it. */
#ifndef QX_ENGINE_FIXTURE_H
#define QX_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "builtins.h"
#include "test_natives.h"
#include "test_prolog.h"
#include "unify.h"

namespace engine_test {

inline std::string log_text;
inline std::map<int, int> destroyed; /* persistent block id -> destructor runs */

inline int t_unify(worker *w) { return cunify(w, w->term[0], w->term[1]); }

inline int t_note(worker *w)
{
  if (!log_text.empty()) log_text += ",";
  log_text += TestProlog::show(w->term[0]);
  return 1;
}

/* note(Text) as a goal on the heap. */
inline TAGGED note_goal(worker *w, const char *text)
{
  call_overflow(w, 8, 0);
  TAGGED *g = w->global_top;
  g[0] = MakeFunctor(init_atom_check("note", 0), 1);
  g[1] = init_atom_check(text, 0);
  w->global_top += 2;
  return MakeStr(g);
}

/* The retry step of natives that give X = 1, 2, 3 with the last one in state word `slot`. */
inline int count_to_three(worker *w, int slot)
{
  TAGGED *state = qx_retry_state(w);
  int32_t next = GetSmall(state[slot]) + 1;
  if (next == 3)
    qx_pop_retry(w);
  else
    state[slot] = MakeSmall(next);
  return cunify(w, w->term[0], MakeSmall(next));
}

/* mk_list(N, L): L = [1, ..., N]. */
inline int t_mk_list(worker *w)
{
  uint32_t n = (uint32_t)GetSmall(deref(w->term[0]));
  call_overflow(w, 2 * n + 16, 2);
  TAGGED *p = w->global_top;
  for (uint32_t i = 0; i < n; i++) {
    p[2 * i] = MakeSmall((int32_t)i + 1);
    p[2 * i + 1] = i + 1 < n ? MakeLst(&p[2 * i + 2]) : atom_nil;
  }
  w->global_top += 2 * n;
  return cunify(w, w->term[1], n ? MakeLst(p) : atom_nil);
}

/* Rethrows the exception a nested query left pending. */
inline int rethrow_pending(worker *w) { return raise_exception(qx_exception_term(w)); }

/* nested_once(G): G through qx_call_once. */
inline int t_nested_once(worker *w)
{
  int r = qx_call_once(w, w->term[0], qx_eg.user_module);
  return r < 0 ? rethrow_pending(w) : r;
}

/* nested_do_wam(G): G through do_wam of call/1; the nodes it leaves are cut. */
inline int t_nested_do_wam(worker *w)
{
  uint32_t base = qx_node_offset(w, w->node_);
  definition *call1 = find_definition(qx_eg.prolog_module, MakeFunctor(atom_call, 1), nullptr, 0);
  int r = do_wam(w, 3, call1);
  qx_cut_to(w, qx_offset_node(w, base));
  return r < 0 ? rethrow_pending(w) : r;
}

/* ---- persistent blocks: [V | '$free'(Block)] pairs on the trail, as the solver makes them ---- */
inline void destroy_block(void *block)
{
  destroyed[(int)((intptr_t *)block)[1]]++;
  QX_free(block);
}

/* perm_alloc(Id, Handle): a block whose destructor counts its runs under Id. */
inline int t_perm_alloc(worker *w)
{
  call_overflow(w, 16, 2);
  void **block = (void **)QX_malloc(2 * sizeof(void *));
  block[0] = (void *)destroy_block;
  block[1] = (void *)(intptr_t)GetSmall(deref(w->term[0]));
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(atom_free, 1);
  p[1] = (TAGGED)(uintptr_t)block | 3;
  p[2] = MakeRef(&p[2]); /* V */
  p[3] = MakeStr(&p[0]);
  w->global_top += 4;
  TAGGED pair = MakeLst(&p[2]);
  qx_trail_free(w, pair);
  return cunify(w, w->term[1], pair);
}

/* perm_free(Handle): made since the newest choicepoint -> V = 0 and destroy now (dropping the
 * entry when it is the trail's top); otherwise V = 1, trailed, and the choicepoints are marked. */
inline int t_perm_free(worker *w)
{
  TAGGED pair = deref(w->term[0]);
  TAGGED *cells = LstPtr(pair);
  if (cells >= w->global_uncond) {
    cells[0] = MakeSmall(0);
    if (w->trail_top[-1] == pair) w->trail_top--;
    void **block = (void **)(uintptr_t)(deref(StrArg(deref(cells[1]), 1)) & ~(TAGGED)3);
    ((void (*)(void *))block[0])(block);
    return 1;
  }
  qx_bind_plain(w, &cells[0], MakeSmall(1));
  qx_mark_nodes(w);
  return 1;
}

/* destroyed(Id, N): the destructor of block Id ran N times. */
inline int t_destroyed(worker *w)
{
  return cunify(w, w->term[1], MakeSmall(destroyed[GetSmall(deref(w->term[0]))]));
}

}  // namespace engine_test

class EngineTest : public ::testing::Test {
protected:
  EngineTest()
  {
    using namespace engine_test;
    engine_test::log_text.clear();
    engine_test::destroyed.clear();
    native("=", 2, t_unify);
    native("between", 3, test_between, test_between_retry);
    native("note", 1, t_note);
    native("nested_once", 1, t_nested_once);
    native("nested_do_wam", 1, t_nested_do_wam);
    native("perm_alloc", 2, t_perm_alloc);
    native("perm_free", 1, t_perm_free);
    native("destroyed", 2, t_destroyed);
  }
  ~EngineTest() override { qx_event_hook = nullptr; }

  definition *native(const char *name, uint32_t arity, qx_native_fn fn,
                     qx_native_fn retry = nullptr)
  {
    return qx_define_native(qx_eg.prolog_module, name, arity, fn, retry,
                            retry ? ENTER_C_NONDET : ENTER_C);
  }
  /* Reads a goal whose variables stay reachable through var() across later queries. */
  TAGGED goal(const std::string &text)
  {
    readers.push_back(std::make_unique<TermReader>(p.w, text));
    return readers.back()->read();
  }
  TAGGED var(const std::string &name) { return readers.back()->vars.at(name); }
  int run_goal(TAGGED g) { return qx_call_once(p.w, g, qx_eg.user_module); }
  const std::string &log() const { return engine_test::log_text; }
  std::string exception()
  {
    std::string e = p.exception();
    qx_clear_exception();
    return e;
  }
  int destroyed(int id) { return engine_test::destroyed[id]; }

  TestProlog p;
  std::vector<std::unique_ptr<TermReader>> readers;
};

#endif
