/* Engines for unit tests of the core, one at a time (the engine state is global), with helpers
 * that build terms on the worker's heap.
 * TestEngine() is the minimal engine for the layers below the one-time state: the memory manager,
 * atoms, character classes and one worker with only its data areas and number stack, so that
 * tests of atoms, number stacks, unification and the solver's sets see nothing else and count
 * what they make. Subclasses take the whole engine instead (TestEngine(whole_engine{})): started
 * by init_once and create_worker as start-up starts it, taken down by deinit_once. */
#ifndef QX_TEST_ENGINE_H
#define QX_TEST_ENGINE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "atoms.h"
#include "datadefs.h"
#include "engine_start.h"
#include "memman.h"
#include "objareas.h"
#include "wcx.h"

class TestEngine {
public:
  TestEngine() : w(&storage_)
  {
    std::memset(&qx_eg, 0, sizeof qx_eg); /* the engine-global block starts zeroed */
    EXPECT_EQ(memman_init(), 0);
    EXPECT_EQ(init_atoms(), 0);
    clear_ch_type_hash();
    EXPECT_EQ(init_stacks(w), 0);
    numstack_init(w);
    qx_w = w;
  }
  ~TestEngine()
  {
    if (whole_) {
      stop_whole_engine(w);
      return;
    }
    numstack_deinit();
    deinit_stacks(w);
    deinit_atoms();
    memman_deinit();
    qx_w = nullptr;
  }
  TestEngine(const TestEngine &) = delete;
  TestEngine &operator=(const TestEngine &) = delete;

  /* Fresh heap variable. */
  TAGGED var()
  {
    TAGGED *cell = w->global_top++;
    *cell = MakeRef(cell);
    return *cell;
  }
  /* Compound f(args...) on the heap; the functor's name is interned. */
  TAGGED compound(const char *name, std::initializer_list<TAGGED> args)
  {
    TAGGED *p = w->global_top;
    *p = MakeFunctor(init_atom_check(name, 0), (uint32_t)args.size());
    int i = 1;
    for (TAGGED a : args) p[i++] = a;
    w->global_top += args.size() + 1;
    return MakeStr(p);
  }
  TAGGED cons(TAGGED head, TAGGED tail)
  {
    TAGGED *p = w->global_top;
    p[0] = head;
    p[1] = tail;
    w->global_top += 2;
    return MakeLst(p);
  }
  TAGGED list(std::initializer_list<TAGGED> items, TAGGED tail = atom_nil)
  {
    std::vector<TAGGED> v(items);
    for (size_t i = v.size(); i-- > 0;) tail = cons(v[i], tail);
    return tail;
  }
  TAGGED atom(const char *name) { return init_atom_check(name, 0); }

  worker *w;

protected:
  struct whole_engine {};
  explicit TestEngine(whole_engine) : w(start_whole_engine()), whole_(true)
  {
    if (w) return;
    ADD_FAILURE() << "the engine does not start";
    std::abort();
  }

private:
  worker storage_{};
  bool whole_ = false;
};

#endif
