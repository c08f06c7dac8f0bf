/* The kernel fixture with what the propagation tests add: clauses for a module, the queue
 * entries and levels of the instance, and the level mutable.
 */
#ifndef QX_FD_PROP_ENV_H
#define QX_FD_PROP_ENV_H

#include <vector>

#include "fd_kernel_env.h"
#include "fd_propagate.h"
#include "gc.h"
#include "unify.h"

class FdPropTest : public FdKernelTest {
protected:
  /* Adds clauses to a module. */
  void consult_in(const char *module, const std::string &text)
  {
    mod_def *m = find_module(init_atom_check(module, 0), 1);
    for (TAGGED clause : TermReader::clauses(w, text)) p.add_clause(clause, m);
  }

  /* The queue entries of the open levels, top level first, queue 0 to 5 (manager hook op 4). */
  std::vector<TAGGED> entries()
  {
    static std::vector<TAGGED> *seen;
    std::vector<TAGGED> out;
    seen = &out;
    fd_manager_hook(
        api, w, 4, (void *)+[](TAGGED *e) { seen->push_back(*e); });
    return out;
  }
  /* Runs the loop until no level is open. */
  void drain()
  {
    while (levels() > 0) ASSERT_EQ(go("'$fd_evaluate_indexical'(_, _)"), 1);
  }
  int levels()
  {
    int n = 0;
    for (propagator *p = fd()->current_propagator; p; p = p->next) n++;
    return n;
  }
  /* The Value of the level mutable (term reference 5). */
  TAGGED level_value()
  {
    TAGGED m = deref(*fd_ref_slot(api, 5));
    return deref(StrArg(m, 1));
  }
};

#endif
