/* Shared set-up of the interpreter benchmarks: one engine with the built-ins, clauses consulted
 * from text. */
#ifndef QX_BENCH_COMMON_H
#define QX_BENCH_COMMON_H

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "../tests/support/test_reader.h"
#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"
#include "wcx.h"

struct BenchEngine {
  worker storage{};
  worker *w = &storage;

  BenchEngine()
  {
    std::memset(&qx_eg, 0, sizeof qx_eg);
    if (memman_init() != 0 || init_atoms() != 0 || init_stacks(w) != 0) {
      std::fprintf(stderr, "engine start failed\n");
      std::exit(1);
    }
    clear_ch_type_hash();
    numstack_init(w);
    qx_w = w;
    init_modules();
    init_database();
    init_wam();
    qx_install_builtins();
  }
  void consult(const std::string &text)
  {
    for (TAGGED clause : TestReader::clauses(w, text)) {
      TAGGED c = deref(clause);
      TAGGED head = c;
      if (IsStr(c) && StrFunctor(c) == MakeFunctor(init_atom_check(":-", 0), 2))
        head = deref(StrArg(c, 1));
      TAGGED key = IsStr(head) ? StrFunctor(head) : head;
      definition *d = find_definition(qx_eg.user_module, key, nullptr, 1);
      if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
      insertz(d, qx_make_clause(w, d, clause));
      qx_eg.def_generation++;
    }
  }
  int run(const std::string &goal)
  {
    TestReader reader(w, goal);
    return qx_call_once(w, reader.read(), qx_eg.user_module);
  }
};

/* Seconds taken by f(). */
template <class F>
double bench_seconds(F f)
{
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#endif
